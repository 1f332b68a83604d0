// Loading the Manager API, logging in and letting both go again.
#include <chrono>
#include <string>

#include "manager/CManager.h"
#include "support/Console.h"

namespace {

int64_t localNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

CManager::~CManager() { Shutdown(); }

bool CManager::Start(const wchar_t* server, int64_t login, const wchar_t* password) {
  if (!server || !*server || login == 0 || !password || !*password) {
    consolePrint("Dealer: starting failed with bad arguments\n");
    return false;
  }
  if (!Initialize()) return false;
  return Connect(server, login, password);
}

bool CManager::Initialize() {
  Shutdown();  // a second start begins from nothing, never reloads under a live object
  MTAPIRES res = library_.Load();
  if (res != mtret::Ok) {
    consolePrint("loading manager API failed (%u)\n", res);
    return false;
  }
  uint32_t version = 0;
  res = library_.QueryVersion(version);
  if (res != mtret::Ok) {
    consolePrint("getting version failed (%u)\n", res);
    return false;
  }
  consolePrint("Manager API version %u has been loaded\n", version);
  if (version < MTManagerAPIVersion) {
    consolePrint("wrong Manager API version, version %u required\n", MTManagerAPIVersion);
    return false;
  }
  IMTManagerAPI* manager = nullptr;
  res = library_.NewManagerObject(MTManagerAPIVersion, &manager);
  manager_.reset(manager);  // owned even when the library reports a failure
  if (res != mtret::Ok) {
    consolePrint("creating manager interface failed (%u)\n", res);
    return false;
  }
  if (!manager_) {  // success without an object is no success
    consolePrint("creating manager interface failed (%u)\n", mtret::Error);
    return false;
  }
  if (manager_->AttachDealSink(this) != mtret::Ok) return false;
  // Without the session sink a lost session is still learned from results.
  sessionSink_ = library_.HasSessionSink() && library_.Subscribe(manager_.get(), this) == mtret::Ok;
  return true;
}

bool CManager::Connect(const wchar_t* server, int64_t login, const wchar_t* password) {
  if (!manager_) return false;
  MTAPIRES res = manager_->OpenSession(server, static_cast<uint64_t>(login), password, 0, 0, 0, kConnectTimeoutMs);
  if (res == mtret::Ok) {
    server_ = server;
    password_ = password;
    login_ = static_cast<uint64_t>(login);
    MeasureServerClock();
    session_.opened();
    return true;
  }
  manager_->WriteJournal(MT_JOURNAL_ERROR, L"Connection failed (%u)", res);
  return false;
}

MTAPIRES CManager::Reopen() {
  if (!manager_ || login_ == 0) return mtret::Error;
  const MTAPIRES res = manager_->OpenSession(server_.c_str(), login_, password_.c_str(), 0, 0, 0, kConnectTimeoutMs);
  if (res != mtret::Ok) return res;
  // Attaching an attached sink keeps one subscription; a library that
  // dropped it with the session gets it back. Without it deal events would
  // be missed: the reopen has failed.
  const MTAPIRES attached = Seen(manager_->AttachDealSink(this), "AttachDealSink");
  if (attached != mtret::Ok) return attached;
  MeasureServerClock();
  return res;
}

void CManager::MeasureServerClock() {
  int64_t serverNow = 0;
  const int64_t before = localNowMs();
  const bool known = library_.HasServerTime() && library_.ServerTime(manager_.get(), serverNow) == mtret::Ok;
  if (known) serverOffsetMs_ = serverNow - (before + localNowMs()) / 2;
  serverClock_ = known;
}

void CManager::OnDisconnect() { session_.lost("the trading server ended the session"); }

MTAPIRES CManager::Seen(MTAPIRES result, const char* call) const {
  if (mtret::sessionLost(result)) session_.lost(std::string(call) + " answered " + std::to_string(result));
  return result;
}

int64_t CManager::ServerTimeEstimateMs() const { return serverClock_ ? localNowMs() + serverOffsetMs_ : 0; }

int64_t CManager::ServerNowMs() const {
  int64_t now = 0;
  if (manager_ && library_.HasServerTime() && Seen(library_.ServerTime(manager_.get(), now), "ServerTime") == mtret::Ok)
    return now;
  return localNowMs() + serverOffsetMs_;
}

int64_t CManager::PasswordChangedMs(uint32_t kind, uint64_t login) const {
  MTAccountTimes times{};
  if (!manager_ || !library_.HasAccountTimes() ||
      Seen(library_.AccountTimes(manager_.get(), login, times), "AccountTimes") != mtret::Ok)
    return 0;
  return kind == MT_PASS_MAIN ? times.masterPasswordChangedMs : times.investorPasswordChangedMs;
}

void CManager::Shutdown() {
  login_ = 0;
  serverClock_ = false;
  if (manager_) {
    if (sessionSink_) library_.Unsubscribe(manager_.get(), this);
    sessionSink_ = false;
    manager_->DetachDealSink(this);
    manager_.reset();
  }
  password_.clear();
  library_.Unload();
}
