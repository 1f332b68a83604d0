#pragma once
// The service's long-lived objects, constructed in this order: the manager,
// the four request consumers, the four reply producers. Constructors only
// set fields; start-up opens them, stop and clean-up close them.
#include <array>
#include <atomic>
#include <string>

#include "bus/AsyncConsumer.h"
#include "bus/AsyncProducer.h"
#include "bus/RouteRequest.h"
#include "host/ServiceConfig.h"
#include "manager/CManager.h"

struct ServiceObjects {
  // onFatal runs before the process ends on a consumer's or a producer's
  // connection lost for good.
  explicit ServiceObjects(const ServiceConfig& config, AsyncConsumer::FatalHandler onFatal = {});
  // Closes the consumers before the producers they send through.
  ~ServiceObjects();

  ServiceObjects(const ServiceObjects&) = delete;
  ServiceObjects& operator=(const ServiceObjects&) = delete;

  // Every request runs through the router with the reply channels below.
  Routes routes();

  const ServiceConfig& config;
  CManager manager;
  // Request queues userRecordCreate, userRecordUpdate,
  // userRecordPasswordUpdate, tradeTransInfo, in this order.
  std::array<AsyncConsumer, 4> consumers;
  // Their callback queues, in the same order.
  std::array<AsyncProducer, 4> producers;
  // Whether the manager is logged in; set by start and stop on the main
  // thread, read by the health check on others.
  std::atomic<bool> managerLoggedIn{false};
};

// The configured request queue names, in the order of the consumers.
std::array<std::string, 4> requestQueues(const ServiceConfig& config);
// The configured callback queue names, in the order of the producers.
std::array<std::string, 4> callbackQueues(const ServiceConfig& config);
