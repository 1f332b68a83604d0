#pragma once
// The service's one connection to the trading server: loads the Manager API,
// logs in, carries out the account and balance requests and writes every deal
// event to the Manager API journal.
#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "manager/ChangeGate.h"
#include "manager/EarlierChange.h"
#include "manager/ManagerApi.h"
#include "manager/ManagerApiLibrary.h"
#include "manager/ReplySender.h"
#include "manager/SessionState.h"

class CManager : public IMTDealSink, public IMTManagerSink {
 public:
  // Library objects are handed back through Release, never deleted.
  struct Releaser {
    template <typename T>
    void operator()(T* object) const {
      object->Release();
    }
  };
  using UserRecord = std::unique_ptr<IMTUser, Releaser>;
  using ManagerObject = std::unique_ptr<IMTManagerAPI, Releaser>;

  static constexpr uint32_t kConnectTimeoutMs = 30000;
  static constexpr uint64_t kRightsEnabled = 0x163;   // "valid" 1
  static constexpr uint64_t kRightsDisabled = 0x167;  // any other "valid"
  static constexpr double kBalanceTolerance = -1e-05;

  CManager() = default;
  // Searches the Manager API library from `executablePath` instead of the
  // running executable (tests lay out their own trees).
  explicit CManager(std::string executablePath) : library_(std::move(executablePath)) {}
  // A manager object still live at the end is taken down as Shutdown does, so
  // the library is never unloaded under it.
  ~CManager();

  CManager(const CManager&) = delete;
  CManager& operator=(const CManager&) = delete;

  bool Start(const wchar_t* server, int64_t login, const wchar_t* password);
  bool Initialize();
  bool Connect(const wchar_t* server, int64_t login, const wchar_t* password);
  void Shutdown();
  // Opens the session again with the credentials of the last Connect, then
  // measures the server's clock and attaches the deal sink again. The
  // library's result (Error without a manager object).
  MTAPIRES Reopen();

  // Request operations: exactly one reply through `sender` for every request
  // whose record could be built. A wrongly typed member raises Json::LogicError
  // before any server call, and nothing is sent. `gate`, when given, is asked
  // right before the one call that changes the server and told its result.
  void CreateUser(Json::Value request, ReplySender* sender, ChangeGate* gate = nullptr);
  void UpdateUser(Json::Value request, ReplySender* sender, ChangeGate* gate = nullptr);
  void UpdatePassWord(Json::Value request, ReplySender* sender, ChangeGate* gate = nullptr);
  void FinanceBalance(Json::Value request, ReplySender* sender, ChangeGate* gate = nullptr);
  // Posts `amount` with `action` for the request's login and replies.
  void ApplyBalance(double amount, Json::Value request, UserRecord user, uint32_t action, ReplySender* sender,
                    ChangeGate* gate = nullptr);

  // Whether an earlier attempt at `request` changed the trading server (the
  // rules are in CManagerRecovery.cpp). A wrongly typed member raises
  // Json::LogicError.
  EarlierChange FindEarlierChange(const Json::Value& request, const EarlierAttempt& attempt);
  // The create's part of it, with the attempt's window on the server's clock.
  EarlierChange FindEarlierAccount(const Json::Value& request, const EarlierAttempt& attempt, int64_t fromMs,
                                   int64_t toMs);

  // The session's state, on the Manager API's threads.
  void OnDisconnect() override;

  // Deal events, on the Manager API's threads.
  void OnDealAdd(const IMTDeal* deal) override;
  void OnDealUpdate(const IMTDeal* deal) override;
  void OnDealDelete(const IMTDeal* deal) override;

  bool HasManager() const { return manager_ != nullptr; }
  // The manager login of the open session (0: none).
  uint64_t ManagerLogin() const { return login_.load(); }
  // Whether the session is open, as calls and the library last told it.
  SessionState& Session() { return session_; }
  const SessionState& Session() const { return session_; }
  const ManagerApiLibrary& Library() const { return library_; }

 private:
  // A new user record filled from the server for login; null on failure, with
  // the reply code to send in failureCode.
  UserRecord LoadUser(uint64_t login, int32_t& failureCode);
  void WriteDealLine(const wchar_t* format, const IMTDeal* deal);
  // Every result of a server call passes here: one that means the session
  // is gone marks it lost. Returns result.
  MTAPIRES Seen(MTAPIRES result, const char* call) const;
  // Reads the server's clock against this host's.
  void MeasureServerClock();
  // The trading server's clock now, as this side estimates it from the
  // offset measured at login (0: the library cannot tell the server's time).
  int64_t ServerTimeEstimateMs() const;
  // The server's clock asked now, else this host's (offset known or not).
  int64_t ServerNowMs() const;
  // When the kind's password of login last changed (0: cannot be told).
  int64_t PasswordChangedMs(uint32_t kind, uint64_t login) const;

  ManagerApiLibrary library_;
  ManagerObject manager_;  // declared after the library: released before it
  // The last Connect's credentials, for reopening (never logged).
  std::wstring server_;
  std::wstring password_;
  std::atomic<uint64_t> login_{0};
  // Server clock minus this host's, measured when the session opened.
  std::atomic<int64_t> serverOffsetMs_{0};
  std::atomic<bool> serverClock_{false};
  bool sessionSink_ = false;  // subscribed to the library's session notifications
  mutable SessionState session_;
};
