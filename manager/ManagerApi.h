#pragma once
// The Manager API contract: the one thing the service and a trading-server
// library share. The library is found and loaded at run time and exports the
// C entry points below; everything else is reached through the abstract
// interfaces it hands out.
//
// Wide texts are wchar_t, NUL-terminated. Journal formats follow the Manager
// API's own convention, in which "%s" takes a wide text.
#include <cstdint>

#include "manager/ResultCodes.h"

// The API version this service is written against; older libraries are refused.
constexpr uint32_t MTManagerAPIVersion = 2280;

// Password kinds of VerifyPassword and SetPassword.
enum MTPasswordType : uint32_t {
  MT_PASS_MAIN = 0,
  MT_PASS_INVESTOR = 1,
};

// Deal actions of PostBalanceDeal.
enum MTDealAction : uint32_t {
  MT_DEAL_BALANCE = 2,
  MT_DEAL_CREDIT = 3,
};

// Message types of WriteJournal.
enum MTJournalType : uint32_t {
  MT_JOURNAL_INFO = 0,
  MT_JOURNAL_ERROR = 2,
};

// Buffer size, in wide characters, that IMTDeal::Describe fills.
constexpr uint32_t MTDealDescribeSize = 260;

// A deal, lent to a sink notification for the duration of the call.
class IMTDeal {
 public:
  virtual uint64_t Deal() const = 0;
  virtual uint64_t Login() const = 0;
  virtual uint32_t Action() const = 0;
  virtual double Profit() const = 0;
  virtual const wchar_t* Comment() const = 0;
  // Writes the deal's one-line text into buffer (size wide characters,
  // always NUL-terminated) and returns buffer.
  virtual const wchar_t* Describe(wchar_t* buffer, uint32_t size) const = 0;

 protected:
  ~IMTDeal() = default;
};

// A user (account) record, created by IMTManagerAPI::NewUserRecord and owned
// by the caller until Release.
class IMTUser {
 public:
  virtual void Release() = 0;

  virtual MTAPIRES Login(uint64_t login) = 0;
  virtual uint64_t Login() const = 0;
  virtual MTAPIRES Agent(uint64_t agent) = 0;
  virtual uint64_t Agent() const = 0;
  virtual MTAPIRES Rights(uint64_t rights) = 0;
  virtual uint64_t Rights() const = 0;
  virtual MTAPIRES Leverage(uint32_t leverage) = 0;
  virtual uint32_t Leverage() const = 0;

  virtual MTAPIRES Name(const wchar_t* name) = 0;
  virtual const wchar_t* Name() const = 0;
  virtual MTAPIRES Group(const wchar_t* group) = 0;
  virtual const wchar_t* Group() const = 0;
  virtual MTAPIRES Country(const wchar_t* country) = 0;
  virtual const wchar_t* Country() const = 0;
  virtual MTAPIRES City(const wchar_t* city) = 0;
  virtual const wchar_t* City() const = 0;
  virtual MTAPIRES ZIPCode(const wchar_t* zip) = 0;
  virtual const wchar_t* ZIPCode() const = 0;
  virtual MTAPIRES Address(const wchar_t* address) = 0;
  virtual const wchar_t* Address() const = 0;
  virtual MTAPIRES Phone(const wchar_t* phone) = 0;
  virtual const wchar_t* Phone() const = 0;
  virtual MTAPIRES EMail(const wchar_t* email) = 0;
  virtual const wchar_t* EMail() const = 0;
  virtual MTAPIRES ID(const wchar_t* id) = 0;
  virtual const wchar_t* ID() const = 0;
  virtual MTAPIRES Comment(const wchar_t* comment) = 0;
  virtual const wchar_t* Comment() const = 0;
  virtual MTAPIRES LeadSource(const wchar_t* source) = 0;
  virtual const wchar_t* LeadSource() const = 0;

  virtual double Balance() const = 0;
  virtual double Credit() const = 0;

 protected:
  ~IMTUser() = default;
};

// Receives the server's deal events, on the library's own thread. The last
// three notifications exist in the interface and are left empty here.
class IMTDealSink {
 public:
  virtual void OnDealAdd(const IMTDeal* deal) { (void)deal; }
  virtual void OnDealUpdate(const IMTDeal* deal) { (void)deal; }
  virtual void OnDealDelete(const IMTDeal* deal) { (void)deal; }
  virtual void OnDealClean(uint64_t login) { (void)login; }
  virtual void OnDealSync() {}
  virtual void OnDealPerform(uint64_t login, uint32_t flags) {
    (void)login;
    (void)flags;
  }

 protected:
  ~IMTDealSink() = default;
};

// The manager object: one per process, safe to call from several threads.
class IMTManagerAPI {
 public:
  virtual void Release() = 0;

  virtual MTAPIRES OpenSession(const wchar_t* server, uint64_t login, const wchar_t* password, uint64_t option1,
                               uint64_t option2, uint64_t option3, uint32_t timeoutMs) = 0;
  virtual MTAPIRES WriteJournal(uint32_t type, const wchar_t* format, ...) = 0;

  virtual MTAPIRES AttachDealSink(IMTDealSink* sink) = 0;
  virtual MTAPIRES DetachDealSink(IMTDealSink* sink) = 0;

  virtual IMTUser* NewUserRecord() = 0;
  virtual MTAPIRES AddAccount(IMTUser* user, const wchar_t* masterPassword, const wchar_t* investorPassword) = 0;
  virtual MTAPIRES LoadAccount(uint64_t login, IMTUser* user) = 0;
  virtual MTAPIRES SaveAccount(IMTUser* user) = 0;
  virtual MTAPIRES VerifyPassword(uint32_t kind, uint64_t login, const wchar_t* password) = 0;
  virtual MTAPIRES SetPassword(uint32_t kind, uint64_t login, const wchar_t* password) = 0;
  virtual MTAPIRES PostBalanceDeal(uint64_t login, double amount, uint32_t action, const wchar_t* comment,
                                   uint64_t* dealId) = 0;

 protected:
  ~IMTManagerAPI() = default;
};

// The library's entry points, looked up by these names.
extern "C" {
typedef MTAPIRES (*MTManagerVersion_t)(uint32_t* version);
typedef MTAPIRES (*MTManagerCreate_t)(uint32_t apiVersion, IMTManagerAPI** manager);
typedef MTAPIRES (*MTManagerCreateExt_t)(uint32_t apiVersion, void* reserved, IMTManagerAPI** manager);
typedef MTAPIRES (*MTAdminCreate_t)(uint32_t apiVersion, void** admin);
typedef MTAPIRES (*MTAdminCreateExt_t)(uint32_t apiVersion, void* reserved, void** admin);
}

// Wide characters a deal record's comment holds, its terminating NUL
// included: a longer comment is cut to fit, and a comment with an embedded
// NUL reads as the text before it, as the server keeps it.
constexpr uint32_t MTDealCommentSize = 64;

// One deal as the optional deal lookup reports it.
struct MTDealRecord {
  uint64_t deal;  // deal id
  uint64_t login;
  uint64_t dealer;                     // the manager login whose session posted it; 0: the server itself
  uint32_t action;                     // MTDealAction
  double amount;                       // as the server keeps it (rounded to its money precision)
  int64_t timeMs;                      // when it was posted, on the server's clock, ms since the epoch
  wchar_t comment[MTDealCommentSize];  // NUL-terminated, cut to fit
};

// Optional entry point "MTManagerDealRequest": the deals of `login` posted in
// [fromMs, toMs], oldest first, as seen by the session of `manager` (an object
// this library created). Fills up to `capacity` records (`deals` may be null
// when capacity is 0) and sets *total to how many deals match, which may
// exceed capacity. Results: 0 done, 3 bad arguments, 1103 no session, 2 other
// errors. It is a separate entry point rather than a virtual function so that
// the interfaces' layout stays as libraries built against them expect; a
// library without it cannot look up deals. The optional entry points below
// follow the same rules.
extern "C" {
typedef MTAPIRES (*MTManagerDealRequest_t)(IMTManagerAPI* manager, uint64_t login, int64_t fromMs, int64_t toMs,
                                           MTDealRecord* deals, uint32_t capacity, uint32_t* total);
}

// Optional entry point "MTManagerServerTime": the trading server's clock, ms
// since the epoch, through the session of `manager`. 0 done, 3 bad
// arguments, 1103 no session.
extern "C" {
typedef MTAPIRES (*MTManagerServerTime_t)(IMTManagerAPI* manager, int64_t* nowMs);
}

// One account's times as the server keeps them, on its clock, ms since the
// epoch; a password never changed since registration reads as registeredMs.
struct MTAccountTimes {
  uint64_t login;
  int64_t registeredMs;
  int64_t masterPasswordChangedMs;
  int64_t investorPasswordChangedMs;
};

// Optional entry point "MTManagerAccountRequest": the accounts registered in
// [fromMs, toMs], oldest first (then by login), filled as the deal lookup
// fills deals. Results as for the deal lookup.
// Optional entry point "MTManagerAccountTimes": one account's times. 0 done,
// 13 no such account, 3 bad arguments, 1103 no session.
extern "C" {
typedef MTAPIRES (*MTManagerAccountRequest_t)(IMTManagerAPI* manager, int64_t fromMs, int64_t toMs,
                                              MTAccountTimes* accounts, uint32_t capacity, uint32_t* total);
typedef MTAPIRES (*MTManagerAccountTimes_t)(IMTManagerAPI* manager, uint64_t login, MTAccountTimes* times);
}

// Receives the state of a manager object's session, on the library's own
// thread (never inside a call the service made).
class IMTManagerSink {
 public:
  // A session was opened (OpenSession succeeded).
  virtual void OnConnect() {}
  // The session is gone: the server went away, closed it, or the network
  // failed. Every call answers Network or NotConnected until OpenSession
  // succeeds again. Attached deal sinks stay attached; what the server
  // records meanwhile reaches them once a session is open again.
  virtual void OnDisconnect() {}

 protected:
  ~IMTManagerSink() = default;
};

// Optional entry points "MTManagerSubscribe" and "MTManagerUnsubscribe": the
// sink is told of the session of `manager` until it is unsubscribed.
// Subscribing twice keeps one subscription. Unsubscribe returns once no
// notification to the sink is running or will start (from inside a
// notification it only unsubscribes). 0 done, 3 bad arguments, 13 not
// subscribed (unsubscribe). A library without them tells nothing: the
// caller learns of a lost session from the results of its calls.
extern "C" {
typedef MTAPIRES (*MTManagerSubscribe_t)(IMTManagerAPI* manager, IMTManagerSink* sink);
typedef MTAPIRES (*MTManagerUnsubscribe_t)(IMTManagerAPI* manager, IMTManagerSink* sink);
}

// File name of the library in a 64-bit build (MT5APIManager.so in a 32-bit one).
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define MT_MANAGER_LIBRARY_NAME "MT5APIManager64.so"
#else
#define MT_MANAGER_LIBRARY_NAME "MT5APIManager.so"
#endif
