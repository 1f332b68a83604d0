// Loading the Manager API, logging in and letting both go again.
#include "manager/CManager.h"
#include "support/Console.h"

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
  return manager_->AttachDealSink(this) == mtret::Ok;
}

bool CManager::Connect(const wchar_t* server, int64_t login, const wchar_t* password) {
  if (!manager_) return false;
  MTAPIRES res = manager_->OpenSession(server, static_cast<uint64_t>(login), password, 0, 0, 0, kConnectTimeoutMs);
  if (res == mtret::Ok) return true;
  manager_->WriteJournal(MT_JOURNAL_ERROR, L"Connection failed (%u)", res);
  return false;
}

void CManager::Shutdown() {
  if (manager_) {
    manager_->DetachDealSink(this);
    manager_.reset();
  }
  library_.Unload();
}
