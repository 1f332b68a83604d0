#include "tradesim/ManagerObject.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <thread>
#include <type_traits>

#include "tradesim/Journal.h"
#include "tradesim/Store.h"
#include "tradesim/UserRecord.h"
#include "tradesim/WideText.h"

namespace tradesim {

ManagerObject::ManagerObject()
    : databasePath_(databasePathFromEnvironment()),
      journalPath_(journalPathFor(databasePath_)),
      thread_(databasePath_, session_, deals_) {}

ManagerObject::~ManagerObject() = default;

void ManagerObject::Release() {
  session_.stop();
  deals_.stop();
  // Released by a sink on the library thread: the thread ends once the
  // notification returns, and deletes the object then.
  if (thread_.stop([this] { delete this; })) delete this;
}

Store* ManagerObject::store() {
  std::lock_guard lock(storeMutex_);
  if (!store_) {
    try {
      store_ = std::make_unique<Store>(databasePath_);
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  return store_.get();
}

namespace {

void sleepMs(uint32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void fillDealRecord(const DealRecord& from, MTDealRecord& to) {
  to.deal = from.id;
  to.login = from.login;
  to.dealer = from.manager;
  to.action = from.action;
  to.amount = moneyToDouble(from.amount);
  to.timeMs = from.timeMs;
  // The store keeps the whole text; the record holds what fits, terminated.
  const std::wstring comment = widen(from.comment);
  constexpr size_t room = MTDealCommentSize - 1;
  static_assert(sizeof(to.comment) / sizeof(to.comment[0]) == MTDealCommentSize);
  const size_t length = std::min(comment.size(), room);
  std::copy_n(comment.begin(), length, to.comment);
  to.comment[length] = L'\0';
}

void fillAccountTimes(const AccountTimesRecord& from, MTAccountTimes& to) {
  to.login = from.login;
  to.registeredMs = from.registeredMs;
  to.masterPasswordChangedMs = from.masterChangedMs;
  to.investorPasswordChangedMs = from.investorChangedMs;
}

uint32_t countOf(size_t size) { return static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX)); }

}  // namespace

ManagerObject::FaultPlan ManagerObject::takeFault(Store& store, const Store::CallCheck& check, const char* name) {
  FaultPlan plan;
  if (!check.faultArmed) return plan;
  const auto fault = store.takeFault(name);
  if (!fault) return plan;
  sleepMs(fault->delayMs);
  plan.delayed = fault->delayMs > 0;
  plan.instead = fault->code;
  plan.delayAfterMs = fault->delayAfterMs;
  plan.after = fault->codeAfter;
  return plan;
}

void ManagerObject::drop(const Session::Login& login) {
  if (session_.drop(login)) thread_.wake();
}

bool ManagerObject::stillServed(Store& store, const Session::Login& login) {
  const ServerState state = store.serverState();
  if (login.manager == 0 ? state.running : Session::servedBy(state, login)) return true;
  drop(login);
  return false;
}

template <typename Body>
MTAPIRES ManagerObject::operation(const char* name, Body&& body) {
  const Session::Login login = session_.current();
  try {
    Store* s = store();
    if (!s) return login.manager == 0 ? mtret::NotConnected : mtret::Network;
    const Store::CallCheck check = s->checkCall(name);
    // A stopped server answers nobody; a session it no longer serves is gone.
    if (!Session::servedBy(check.server, login)) {
      drop(login);
      return check.server.running ? mtret::NotConnected : mtret::Network;
    }
    const FaultPlan fault = takeFault(*s, check, name);
    // Stopped during the delay: the call never reached it.
    if (fault.delayed && !stillServed(*s, login)) return mtret::Network;
    if (fault.instead) return *fault.instead;
    MTAPIRES result = mtret::Ok;
    if constexpr (std::is_invocable_v<Body, Store&, uint64_t>) {
      result = body(*s, login.manager);
    } else {
      result = body(*s);
    }
    // The effect is committed; the caller learns the result only now, or
    // never, when the answer is replaced (as if it was lost on the way) or
    // the session went while the answer was on its way.
    sleepMs(fault.delayAfterMs);
    if (fault.delayAfterMs > 0 && !stillServed(*s, login)) return mtret::Network;
    return fault.after.value_or(result);
  } catch (const std::exception&) {
    return mtret::Error;
  }
}

MTAPIRES ManagerObject::OpenSession(const wchar_t* server, uint64_t login, const wchar_t* password,
                                    uint64_t /*option1*/, uint64_t /*option2*/, uint64_t /*option3*/,
                                    uint32_t /*timeoutMs*/) {
  if (!server || !password) return mtret::InvalidParams;
  const Session::Login before = session_.current();
  try {
    Store* s = store();
    if (!s) return mtret::Network;
    const Store::CallCheck check = s->checkCall("OpenSession");
    if (!Session::servedBy(check.server, before)) drop(before);
    if (!check.server.running) return mtret::Network;
    const FaultPlan fault = takeFault(*s, check, "OpenSession");
    if (fault.delayed && !stillServed(*s, before)) return mtret::Network;
    if (fault.instead) return *fault.instead;
    const auto open = [&] {
      if (narrow(server) != s->serverAddress()) return mtret::Network;
      const MTAPIRES checked = s->checkManager(login, narrow(password));
      if (checked == mtret::Ok) {
        // The run it opens in, read after any delay: a session of an
        // earlier run would be dropped at once.
        session_.open(login, s->serverState().run);
        thread_.start();
        thread_.wake();
      } else if (session_.dropAny()) {
        thread_.wake();
      }
      return checked;
    };
    const MTAPIRES result = open();
    sleepMs(fault.delayAfterMs);
    if (fault.delayAfterMs > 0 && !stillServed(*s, session_.current())) return mtret::Network;
    return fault.after.value_or(result);
  } catch (const std::exception&) {
    return mtret::Error;
  }
}

MTAPIRES ManagerObject::WriteJournal(uint32_t type, const wchar_t* format, ...) {
  std::string text;
  va_list args;
  va_start(args, format);
  const MTAPIRES formatted = formatJournalText(format, args, text);
  va_end(args);
  if (formatted != mtret::Ok) return formatted;
  // The journal goes through the session: a stopped server takes no entry.
  // It needs no session open, nor a database to write to.
  try {
    if (Store* s = store(); s && !s->serverState().running) {
      drop(session_.current());
      return mtret::Network;
    }
  } catch (const std::exception&) {
    return mtret::Error;
  }
  return appendJournalLine(journalPath_, type, text);
}

MTAPIRES ManagerObject::AttachDealSink(IMTDealSink* sink) {
  if (!sink) return mtret::InvalidParams;
  int64_t afterSeq = 0;
  try {
    // Without a database yet, everything that appears later is new.
    if (Store* s = store()) afterSeq = s->lastEventSeq();
  } catch (const std::exception&) {
    return mtret::Error;
  }
  const MTAPIRES attached = deals_.attach(sink, afterSeq);
  if (attached == mtret::Ok) thread_.start();
  return attached;
}

MTAPIRES ManagerObject::DetachDealSink(IMTDealSink* sink) {
  if (!sink) return mtret::InvalidParams;
  return deals_.detach(sink);
}

MTAPIRES ManagerObject::Subscribe(IMTManagerSink* sink) {
  const MTAPIRES subscribed = session_.subscribe(sink);
  if (subscribed == mtret::Ok) thread_.start();
  return subscribed;
}

MTAPIRES ManagerObject::Unsubscribe(IMTManagerSink* sink) { return session_.unsubscribe(sink); }

IMTUser* ManagerObject::NewUserRecord() {
  try {
    return new UserRecord();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

MTAPIRES ManagerObject::AddAccount(IMTUser* user, const wchar_t* masterPassword, const wchar_t* investorPassword) {
  if (!user || !masterPassword || !investorPassword) return mtret::InvalidParams;
  return operation("AddAccount", [&](Store& s) {
    AccountRecord account = accountFrom(*user);
    const MTAPIRES added = s.addAccount(account, narrow(masterPassword), narrow(investorPassword));
    if (added == mtret::Ok) user->Login(account.login);
    return added;
  });
}

MTAPIRES ManagerObject::LoadAccount(uint64_t login, IMTUser* user) {
  // Balance and credit have no setters: only records from NewUserRecord
  // can be filled.
  auto* own = dynamic_cast<UserRecord*>(user);
  if (!own) return mtret::InvalidParams;
  return operation("LoadAccount", [&](Store& s) {
    AccountRecord account;
    const MTAPIRES loaded = s.loadAccount(login, account);
    if (loaded != mtret::Ok) return loaded;
    own->assign(account);
    return mtret::Ok;
  });
}

MTAPIRES ManagerObject::SaveAccount(IMTUser* user) {
  if (!user) return mtret::InvalidParams;
  return operation("SaveAccount", [&](Store& s) { return s.saveAccount(accountFrom(*user)); });
}

MTAPIRES ManagerObject::VerifyPassword(uint32_t kind, uint64_t login, const wchar_t* password) {
  if (!password) return mtret::InvalidParams;
  return operation("VerifyPassword", [&](Store& s) { return s.verifyPassword(kind, login, narrow(password)); });
}

MTAPIRES ManagerObject::SetPassword(uint32_t kind, uint64_t login, const wchar_t* password) {
  if (!password) return mtret::InvalidParams;
  return operation("SetPassword", [&](Store& s) { return s.setPassword(kind, login, narrow(password)); });
}

MTAPIRES ManagerObject::PostBalanceDeal(uint64_t login, double amount, uint32_t action, const wchar_t* comment,
                                        uint64_t* dealId) {
  if (!dealId) return mtret::InvalidParams;
  const auto money = moneyFromDouble(amount);
  if (!money) return mtret::InvalidParams;
  uint64_t id = 0;
  const MTAPIRES result = operation("PostBalanceDeal", [&](Store& s, uint64_t manager) {
    const MTAPIRES posted = s.postBalanceDeal(login, *money, action, narrow(comment), manager, id);
    if (posted == mtret::RequestDone) thread_.wake();
    return posted;
  });
  // The id travels with the answer: a replaced answer does not carry it.
  if (result == mtret::RequestDone) *dealId = id;
  return result;
}

MTAPIRES ManagerObject::DealRequest(uint64_t login, int64_t fromMs, int64_t toMs, MTDealRecord* deals,
                                    uint32_t capacity, uint32_t* total) {
  if (!total || (capacity > 0 && !deals) || fromMs > toMs) return mtret::InvalidParams;
  *total = 0;
  return operation("DealRequest", [&](Store& s) {
    const std::vector<DealRecord> found = s.dealsBetween(login, fromMs, toMs);
    const size_t filled = std::min<size_t>(found.size(), capacity);
    for (size_t i = 0; i < filled; ++i) fillDealRecord(found[i], deals[i]);
    *total = countOf(found.size());
    return mtret::Ok;
  });
}

MTAPIRES ManagerObject::ServerTime(int64_t* nowMs) {
  if (!nowMs) return mtret::InvalidParams;
  return operation("ServerTime", [&](Store&) {
    *nowMs = nowEpochMs();
    return mtret::Ok;
  });
}

MTAPIRES ManagerObject::AccountRequest(int64_t fromMs, int64_t toMs, MTAccountTimes* accounts, uint32_t capacity,
                                       uint32_t* total) {
  if (!total || (capacity > 0 && !accounts) || fromMs > toMs) return mtret::InvalidParams;
  *total = 0;
  return operation("AccountRequest", [&](Store& s) {
    const std::vector<AccountTimesRecord> found = s.accountsRegisteredBetween(fromMs, toMs);
    const size_t filled = std::min<size_t>(found.size(), capacity);
    for (size_t i = 0; i < filled; ++i) fillAccountTimes(found[i], accounts[i]);
    *total = countOf(found.size());
    return mtret::Ok;
  });
}

MTAPIRES ManagerObject::AccountTimes(uint64_t login, MTAccountTimes* times) {
  if (!times) return mtret::InvalidParams;
  return operation("AccountTimes", [&](Store& s) {
    AccountTimesRecord found;
    const MTAPIRES result = s.accountTimes(login, found);
    if (result == mtret::Ok) fillAccountTimes(found, *times);
    return result;
  });
}

}  // namespace tradesim
