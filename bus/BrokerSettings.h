#pragma once
// How the service's consumers and producers open their broker connections.
#include <string>

#include "host/ServiceConfig.h"
#include "stomp/Client.h"

// Connection options with the configured credentials, given only when both
// the user name and the password are set (otherwise none at all). Every
// connection made with them runs on one I/O thread of the process: their
// send callbacks must neither block nor make blocking calls on any of them.
stomp::ConnectionOptions brokerOptions(const ServiceConfig& config);

// The queue, or the topic when useTopic is set, called name.
stomp::Destination brokerDestination(const std::string& name, bool useTopic);
