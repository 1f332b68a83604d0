#pragma once
// The service's long-lived objects, constructed in this order: the manager,
// the four request consumers, the four reply producers. Constructors only
// set fields; start-up opens them (and the request journal), stop and
// clean-up close them.
#include <array>
#include <memory>
#include <atomic>
#include <functional>
#include <string>

#include "bus/AsyncConsumer.h"
#include "bus/AsyncProducer.h"
#include "bus/InFlight.h"
#include "bus/RequestJournal.h"
#include "bus/RequestProcessor.h"
#include "bus/RouteRequest.h"
#include "host/IntakeWatch.h"
#include "host/ServiceConfig.h"
#include "host/SessionKeeper.h"
#include "manager/CManager.h"

// The exit status of a start that failed, and of a service that ends
// because its trading-server session cannot be reopened.
constexpr int kStartFailedStatus = 255;

struct ServiceObjects {
  // onFatal runs before the process ends on a consumer's or a producer's
  // connection lost for good, after the requests in hand reached "done".
  explicit ServiceObjects(const ServiceConfig& config, AsyncConsumer::FatalHandler onFatal = {});
  // Closes the consumers before the producers they send through.
  ~ServiceObjects();

  ServiceObjects(const ServiceObjects&) = delete;
  ServiceObjects& operator=(const ServiceObjects&) = delete;

  // Every request runs through the router with the reply channels below.
  Routes routes();
  // Opens the request journal and the processor that uses it. Prints the
  // reason and returns false when the journal cannot be used.
  bool openJournal();
  // Releases the processor and the journal (after the consumers closed).
  void closeJournal();
  // Stops taking requests and waits (bounded) until those in hand are done
  // in the journal: what a fatal broker error leaves is finished by the
  // next start.
  void drain();
  // The session cannot be reopened: the requests in hand are left as a
  // fatal broker error leaves them, line is reported, and the process ends
  // with the failed start's status.
  [[noreturn]] void endForSession(const std::string& line);

  const ServiceConfig& config;
  CManager manager;
  // The requests in hand; stopping it ends the taking of new ones.
  InFlight inFlight;
  // Request queues userRecordCreate, userRecordUpdate,
  // userRecordPasswordUpdate, tradeTransInfo, in this order.
  std::array<AsyncConsumer, 4> consumers;
  // Their callback queues, in the same order.
  std::array<AsyncProducer, 4> producers;
  std::unique_ptr<RequestJournal> journal;
  std::unique_ptr<RequestProcessor> processor;
  // Whether the manager is logged in; set by start and stop on the main
  // thread, read by the health check on others.
  std::atomic<bool> managerLoggedIn{false};
  // A standby that waits, holding no consumer, while another instance
  // serves the queues; set by start, cleared on the main thread, and set
  // and cleared by the intake watch once serving.
  std::atomic<bool> standingBy{false};
  // Gives the request queues up while the journal cannot record, and takes
  // them again after; from the consumers' start to stop.
  std::unique_ptr<IntakeWatch> intakeWatch;
  // Reopens a lost trading-server session; from start to stop.
  std::unique_ptr<SessionKeeper> sessionKeeper;
  // Runs right before the process ends because the session cannot be
  // reopened (the console's settings are put back).
  std::function<void()> beforeFatalExit;
};

// The configured request queue names, in the order of the consumers.
std::array<std::string, 4> requestQueues(const ServiceConfig& config);
// The configured callback queue names, in the order of the producers.
std::array<std::string, 4> callbackQueues(const ServiceConfig& config);
