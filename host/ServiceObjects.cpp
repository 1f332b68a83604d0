#include "host/ServiceObjects.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "bus/ProcessOwner.h"
#include "support/SqlDb.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Metrics.h"

namespace {

// Requests in hand get this long to reach "done" before a fatal exit.
constexpr std::chrono::seconds kDrainBound{5};

AsyncConsumer::RequestHandler processThrough(ServiceObjects& service) {
  return [&service](const Delivery& delivery) {
    // No journal yet (start-up failed half-way): nothing is carried out.
    return service.processor ? service.processor->process(delivery) : Settlement::leave();
  };
}

AsyncConsumer::ReplyLedger recordInJournal(ServiceObjects& service) {
  AsyncConsumer::ReplyLedger ledger;
  ledger.confirmed = [&service](const std::string& queue, const ReplyConfirmer::Batch& batch,
                                std::function<void(bool)> done) {
    if (!service.processor) return done(false);
    service.processor->confirmed(queue, batch, std::move(done));
  };
  ledger.acknowledged = [&service](const std::string& queue, const std::string& messageId) {
    if (service.processor) service.processor->acknowledged(queue, messageId);
  };
  ledger.refused = [&service](const std::string& queue, const ReplyConfirmer::Item& item, const std::string& why,
                              std::function<void(bool)> done) {
    if (!service.processor) return done(false);
    service.processor->refused(queue, item, why, std::move(done));
  };
  return ledger;
}

AsyncConsumer::FatalHandler drainFirst(ServiceObjects& service, AsyncConsumer::FatalHandler onFatal) {
  return [&service, onFatal](const stomp::Error& error) {
    service.drain();
    if (onFatal) onFatal(error);
  };
}

// A reply queue whose connection is gone for good ends the service like a
// request queue's would: carrying out requests whose replies can no longer
// be delivered would only pile up replies to resend.
AsyncProducer::LostHandler endOnLoss(AsyncConsumer::FatalHandler onFatal) {
  return [onFatal](const stomp::Error& error) {
    if (onFatal) onFatal(error);
    terminateOnBrokerError(error);
  };
}

// The journal's location as the journal opens it: a server's URI gets the
// password of journalPasswordFile as a parameter (never shown: the journal
// names its location without parameters).
std::string journalLocation(const ServiceConfig& config) {
  if (config.journal.empty()) return config.journalPath;
  if (config.journalPasswordFile.empty()) return config.journal;
  try {
    return sqldb::withPasswordFile(config.journal, config.journalPasswordFile);
  } catch (const std::runtime_error& e) {
    throw JournalError(e.what());
  }
}

}  // namespace

ServiceObjects::ServiceObjects(const ServiceConfig& serviceConfig, AsyncConsumer::FatalHandler onFatal)
    : config(serviceConfig),
      manager(),
      consumers{
          {AsyncConsumer(config, inFlight, processThrough(*this), drainFirst(*this, onFatal), recordInJournal(*this)),
           AsyncConsumer(config, inFlight, processThrough(*this), drainFirst(*this, onFatal), recordInJournal(*this)),
           AsyncConsumer(config, inFlight, processThrough(*this), drainFirst(*this, onFatal), recordInJournal(*this)),
           AsyncConsumer(config, inFlight, processThrough(*this), drainFirst(*this, onFatal), recordInJournal(*this))}},
      producers{{AsyncProducer(config, endOnLoss(drainFirst(*this, onFatal))),
                 AsyncProducer(config, endOnLoss(drainFirst(*this, onFatal))),
                 AsyncProducer(config, endOnLoss(drainFirst(*this, onFatal))),
                 AsyncProducer(config, endOnLoss(drainFirst(*this, onFatal)))}} {}

ServiceObjects::~ServiceObjects() {
  intakeWatch.reset();  // it uses the consumers and the journal
  inFlight.stop();
  sessionKeeper.reset();
  for (AsyncConsumer& consumer : consumers) consumer.close();
  for (AsyncProducer& producer : producers) producer.close();
  closeJournal();
}

Routes ServiceObjects::routes() {
  return Routes{config, manager, producers[0], producers[1], producers[2], producers[3]};
}

bool ServiceObjects::openJournal() {
  try {
    const bool shared = !config.journal.empty();
    const std::string key = !config.journalKeyFile.empty() ? config.journalKeyFile
                            : shared                       ? ServiceConfig::kDefaultSharedKeyFile
                                                           : "";
    journal =
        std::make_unique<RequestJournal>(journalLocation(config), config.journalRetentionDays, thisProcessOwner(), key);
  } catch (const JournalError& e) {
    consolePrint("Request journal: %s\n", e.what());
    writeLog("Request journal: %s\n", e.what());
    return false;
  }
  RequestJournal* opened = journal.get();
  serviceMetrics().setJournalCounts([opened] {
    JournalCounts counts;
    counts.writable = opened->usable();
    try {
      const RequestJournal::Counts c = opened->counts();
      counts.unconfirmed = c.unconfirmed;
      counts.inDoubt = c.inDoubt;
    } catch (const std::exception&) {
      // A busy journal shows the counts as zero for this scrape.
    }
    return counts;
  });
  RequestProcessor::Settings settings;
  settings.retrySafeSerials = config.retrySafeSerials;
  processor = std::make_unique<RequestProcessor>(routes(), *journal, inFlight, settings);
  return true;
}

void ServiceObjects::closeJournal() {
  intakeWatch.reset();
  serviceMetrics().setJournalCounts({});
  processor.reset();
  journal.reset();
}

void ServiceObjects::drain() {
  inFlight.stop();
  if (!inFlight.waitIdle(kDrainBound))
    writeLog("Stopping with requests still in the trading server's hands; the next start resolves them\n");
  if (journal) journal->flush();
}

void ServiceObjects::endForSession(const std::string& line) {
  drain();
  tellLine(line);
  std::fflush(stdout);
  if (beforeFatalExit) beforeFatalExit();
  ::_exit(kStartFailedStatus);
}

std::array<std::string, 4> requestQueues(const ServiceConfig& c) {
  return {c.userRecordCreate, c.userRecordUpdate, c.userRecordPasswordUpdate, c.tradeTransInfo};
}

std::array<std::string, 4> callbackQueues(const ServiceConfig& c) {
  return {c.userRecordCreateCallback, c.userRecordUpdateCallback, c.userRecordPasswordUpdateCallback,
          c.tradeTransInfoCallback};
}
