#include "host/ServiceObjects.h"

#include "host/RequestMetering.h"
#include "support/Metrics.h"

namespace {

AsyncConsumer::RequestHandler routeThrough(ServiceObjects& service) {
  return [&service](const std::string& queue, const std::string& text, const std::string& correlationId) {
    routeMetered(service.routes(), queue, text, correlationId, serviceMetrics());
  };
}

// A reply queue whose connection is gone for good ends the service like a
// request queue's would: carrying out requests whose replies can no longer
// be delivered would only pile up replies to reconcile.
AsyncProducer::LostHandler endOnLoss(AsyncConsumer::FatalHandler onFatal) {
  return [onFatal](const stomp::Error& error) {
    if (onFatal) onFatal(error);
    terminateOnBrokerError(error);
  };
}

}  // namespace

ServiceObjects::ServiceObjects(const ServiceConfig& serviceConfig, AsyncConsumer::FatalHandler onFatal)
    : config(serviceConfig),
      manager(),
      consumers{{AsyncConsumer(config, routeThrough(*this), onFatal),
                 AsyncConsumer(config, routeThrough(*this), onFatal),
                 AsyncConsumer(config, routeThrough(*this), onFatal),
                 AsyncConsumer(config, routeThrough(*this), onFatal)}},
      producers{{AsyncProducer(config, endOnLoss(onFatal)), AsyncProducer(config, endOnLoss(onFatal)),
                 AsyncProducer(config, endOnLoss(onFatal)), AsyncProducer(config, endOnLoss(onFatal))}} {}

ServiceObjects::~ServiceObjects() {
  for (AsyncConsumer& consumer : consumers) consumer.close();
  for (AsyncProducer& producer : producers) producer.close();
}

Routes ServiceObjects::routes() {
  return Routes{config, manager, producers[0], producers[1], producers[2], producers[3]};
}

std::array<std::string, 4> requestQueues(const ServiceConfig& c) {
  return {c.userRecordCreate, c.userRecordUpdate, c.userRecordPasswordUpdate, c.tradeTransInfo};
}

std::array<std::string, 4> callbackQueues(const ServiceConfig& c) {
  return {c.userRecordCreateCallback, c.userRecordUpdateCallback, c.userRecordPasswordUpdateCallback,
          c.tradeTransInfoCallback};
}
