#pragma once
// Bringing the service up and down, all on the main thread.
#include "host/ServiceObjects.h"

// In this order: prints the server, login and masked password; logs in to
// the trading server; configures the four producers, then opens them (the
// first failure stops); configures and starts each consumer in turn (a
// failure stops); then "init success\n" on the console and in the daily log.
// Returns 1 when up; -1 after a failure, with cleanupService already run.
int initService(ServiceObjects& service);

// After a failed start: closes the consumers, the producers, shuts the
// manager down, then "cleanup success\n" on the console and in the log.
void cleanupService(ServiceObjects& service);

// A normal stop: closes the consumers first (a request being handled is
// finished and acknowledged), then the producers, then shuts the manager
// down. Prints nothing.
void stopService(ServiceObjects& service);
