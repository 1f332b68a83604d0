#include "host/ServiceLifecycle.h"

#include <chrono>
#include <cstdint>
#include <string>

#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/TextConversions.h"

namespace {

// How often a standby looks whether the serving instance's lease ended.
constexpr std::chrono::milliseconds kStandbyPoll{500};

void reportDown(const std::string& queue) {
  if (!queue.empty()) serviceMetrics().connectionUp(queue, false);  // empty: never configured
}

// How long a stop waits for the requests in hand to be answered, their
// replies confirmed and the requests acknowledged.
constexpr std::chrono::seconds kStopBound{5};

// No request is taken any more; those in hand are finished, and the replies
// waiting for confirmation confirmed and acknowledged, within kStopBound,
// before the consumers close. What is not acknowledged by then is delivered
// again to the next start, which answers it from the journal.
void closeAll(ServiceObjects& service) {
  if (service.intakeWatch) service.intakeWatch->stop();  // no consumer subscribes again
  service.inFlight.stop();
  const auto deadline = std::chrono::steady_clock::now() + kStopBound;
  service.inFlight.waitIdle(kStopBound);
  bool drained = true;
  for (AsyncConsumer& consumer : service.consumers) drained = consumer.drain(deadline) && drained;
  if (!drained) writeLog("Stopping with replies not yet confirmed; the next start sends them again\n");
  for (AsyncConsumer& consumer : service.consumers) {
    consumer.close();
    reportDown(consumer.destination());
  }
  for (AsyncProducer& producer : service.producers) {
    producer.close();
    reportDown(producer.destination());
  }
  service.closeJournal();
}

void shutdownManager(ServiceObjects& service) {
  service.sessionKeeper.reset();  // no reopen under the shutdown
  service.managerLoggedIn = false;
  service.manager.Shutdown();
}

}  // namespace

int initService(ServiceObjects& service) {
  const ServiceConfig& config = service.config;
  const std::string brokerURI = config.brokerURI;

  const std::wstring server = stringToLPCWSTR(config.server);
  const int64_t login = config.login;
  const std::wstring password = stringToLPCWSTR(config.password);
  consolePrint("Server: %s\n", narrow(server).c_str());
  consolePrint("Login: %d\n", static_cast<int>(config.login));
  consolePrint("Password: ********\n");  // never the password, nor its length

  if (!service.manager.Start(server.c_str(), login, password.c_str())) {
    cleanupService(service);
    return -1;
  }
  service.managerLoggedIn = true;
  Metrics& metrics = serviceMetrics();
  SessionPolicy::Settings reopen;
  reopen.maxDelay = std::chrono::milliseconds(static_cast<int64_t>(config.sessionReopenMaxSeconds * 1000));
  service.sessionKeeper = std::make_unique<SessionKeeper>(
      service.manager, reopen, [&service](const std::string& line) { service.endForSession(line); });
  service.sessionKeeper->start();

  // Before any request is taken: what an earlier run left in hand is
  // resolved from it.
  if (!service.openJournal()) {
    cleanupService(service);
    return -1;
  }

  const auto callbacks = callbackQueues(config);
  for (std::size_t i = 0; i < service.producers.size(); ++i)
    service.producers[i].configure(brokerURI, callbacks[i], false, false);
  for (AsyncProducer& producer : service.producers) {
    if (producer.init() < 1) {
      cleanupService(service);
      return -1;
    }
    metrics.connectionUp(producer.destination(), true);
  }

  const auto requests = requestQueues(config);
  for (std::size_t i = 0; i < service.consumers.size(); ++i)
    service.consumers[i].configure(brokerURI, requests[i], false, false);
  // A standby takes up the queues later, once no other instance serves them.
  if (config.standby && !service.journal->claimActive(false)) {
    service.standingBy = true;
  } else {
    if (!config.standby) service.journal->claimActive(true);
    if (!startConsumers(service)) return -1;
  }

  consolePrint("init success\n");
  writeLog("init success\n");
  if (service.standingBy) tellLine("Standby: another instance serves the queues; waiting until its lease ends");
  return 1;
}

bool startConsumers(ServiceObjects& service) {
  Metrics& metrics = serviceMetrics();
  for (AsyncConsumer& consumer : service.consumers) {
    metrics.addQueue(consumer.destination());
    // A queue nobody reads would leave its requests unanswered while the
    // service looks healthy: a consumer that cannot start stops start-up.
    if (!consumer.start()) {
      cleanupService(service);
      return false;
    }
    metrics.connectionUp(consumer.destination(), true);
  }
  service.intakeWatch =
      std::make_unique<IntakeWatch>(*service.journal, service.consumers, service.config.standby, service.standingBy);
  service.intakeWatch->start();
  return true;
}

int standBy(ServiceObjects& service, const std::function<bool(std::chrono::milliseconds)>& pause) {
  while (!service.journal->claimActive(false)) {
    if (!pause(kStandbyPoll)) return 0;
  }
  tellLine("Standby: no other instance serves the queues any more; taking them over");
  if (!startConsumers(service)) return -1;
  service.standingBy = false;
  return 1;
}

void cleanupService(ServiceObjects& service) {
  closeAll(service);
  shutdownManager(service);
  consolePrint("cleanup success\n");
  writeLog("cleanup success\n");
}

void stopService(ServiceObjects& service) {
  closeAll(service);
  shutdownManager(service);
}

HealthReport serviceHealth(const ServiceObjects& service) {
  HealthReport report;
  if (!service.managerLoggedIn || !service.manager.Session().up()) report.down.push_back("trading server session");
  if (service.journal && !service.journal->usable()) report.down.push_back("request journal");
  const auto reported = serviceMetrics().connections();
  const auto isUp = [&reported](const std::string& queue) {
    for (const auto& [name, up] : reported)
      if (name == queue) return up;
    return false;  // not opened yet
  };
  // A standby holds no consumer on purpose.
  report.standby = service.standingBy;
  if (!report.standby) {
    for (const std::string& queue : requestQueues(service.config))
      if (!isUp(queue)) report.down.push_back("broker connection " + queue);
  }
  for (const std::string& queue : callbackQueues(service.config))
    if (!isUp(queue)) report.down.push_back("broker connection " + queue);
  return report;
}

std::string serviceStatus(const HealthReport& report) {
  if (report.healthy()) return report.standby ? "standby: another instance serves the queues" : "running";
  std::string text = "reconnecting: ";
  for (std::size_t i = 0; i < report.down.size(); ++i) text += (i ? ", " : "") + report.down[i];
  return text + " down";
}
