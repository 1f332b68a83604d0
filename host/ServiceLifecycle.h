#pragma once
// Bringing the service up and down, all on the main thread.
#include <chrono>
#include <functional>

#include "host/MetricsServer.h"
#include "host/ServiceObjects.h"
#include "support/Metrics.h"

// In this order: prints the server, login and masked password; logs in to
// the trading server; configures the four producers, then opens them (the
// first failure stops); configures and starts each consumer in turn (a
// failure stops); then "init success\n" on the console and in the daily log.
// Each connection opened is reported up in serviceMetrics(). Returns 1 when up; -1 after a failure, with cleanupService
// already run.
int initService(ServiceObjects& service);

// Starts the consumers; false after a failure, with cleanupService run.
bool startConsumers(ServiceObjects& service);

// A standby (the service's `standingBy` set by initService) waits until no
// other live instance serves the queues, asking pause(delay) between looks,
// then starts the consumers: 1 then, 0 when pause answered false (the
// service is stopping), -1 after a consumer failed (cleanupService run).
int standBy(ServiceObjects& service, const std::function<bool(std::chrono::milliseconds)>& pause);

// After a failed start: closes the consumers, the producers, shuts the
// manager down, then "cleanup success\n" on the console and in the log.
void cleanupService(ServiceObjects& service);

// A normal stop: closes the consumers first (a request being handled is
// finished and acknowledged), then the producers, then shuts the manager
// down. Prints nothing.
void stopService(ServiceObjects& service);

// What is down, read from serviceMetrics() and the manager's login state
// (never from the broker objects, which the main thread changes): the
// trading-server session, then each of the eight connections by its queue.
HealthReport serviceHealth(const ServiceObjects& service);
// "running" when nothing is down, else what is being waited for.
std::string serviceStatus(const HealthReport& report);
