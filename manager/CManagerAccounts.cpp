// The account requests: create, update and password change.
#include <string>

#include "manager/AccountSnapshot.h"
#include "manager/CManager.h"
#include "manager/ResultCode.h"
#include "messages/PasswordUpdateRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Console.h"
#include "support/TextConversions.h"

namespace {

uint64_t rightsFor(int32_t valid) { return valid == 1 ? CManager::kRightsEnabled : CManager::kRightsDisabled; }

// The record keeps one city: the town when one is given, else the city.
const std::wstring& cityOf(const std::wstring& city, const std::wstring& town) { return town.empty() ? city : town; }

// The descriptive texts both account requests carry, decoded from UTF-8 in
// this order.
struct AccountTexts {
  template <typename Record>
  explicit AccountTexts(const Record& r)
      : name(UTF8ToUnicode(r.name)),
        group(UTF8ToUnicode(r.group)),
        country(UTF8ToUnicode(r.country)),
        city(UTF8ToUnicode(r.city)),
        town(UTF8ToUnicode(r.town)),
        address(UTF8ToUnicode(r.addressLine)),
        postalCode(UTF8ToUnicode(r.postalCode)),
        email(UTF8ToUnicode(r.email)),
        phone(UTF8ToUnicode(r.phone)),
        id(UTF8ToUnicode(r.id)),
        comment(UTF8ToUnicode(r.comment)) {}

  // Name to address, in the order the server gets them.
  void applyTo(IMTUser& user, int32_t leverage) const {
    user.Name(name.c_str());
    user.Leverage(static_cast<uint32_t>(leverage));
    user.Group(group.c_str());
    user.EMail(email.c_str());
    user.Phone(phone.c_str());
    user.ID(id.c_str());
    user.Country(country.c_str());
    user.City(cityOf(city, town).c_str());
    user.ZIPCode(postalCode.c_str());
    user.Address(address.c_str());
  }

  std::wstring name, group, country, city, town, address, postalCode, email, phone, id, comment;
};

PlannedChange accountChange(PlannedChange::Kind kind, uint64_t login) {
  PlannedChange change;
  change.kind = kind;
  change.login = login;
  return change;
}

}  // namespace

void CManager::CreateUser(Json::Value request, ReplySender* sender, ChangeGate* gate) {
  UserRecordCreateRequest record(request);
  if (!manager_) {
    consolePrint("CreateUser manager is null\n");
    sender->send(record.BuildReply(replycode::NoManager));
    return;
  }
  UserRecord user(manager_->NewUserRecord());
  if (!user) {
    sender->send(record.BuildReply(replycode::negated(mtret::Error)));
    return;
  }
  const AccountTexts texts(record);
  const std::wstring leadSource = UTF8ToUnicode(record.leadSource);

  user->Rights(rightsFor(record.valid));
  user->Login(record.login);
  texts.applyTo(*user, record.leverage);
  user->Comment(texts.comment.c_str());
  user->LeadSource(leadSource.c_str());
  user->Agent(record.agent);

  const std::wstring investorPass = stringToLPCWSTR(record.investorPass);
  const std::wstring masterPass = stringToLPCWSTR(record.masterPass);
  PlannedChange change = accountChange(PlannedChange::Kind::CreateAccount, record.login);
  // What tells this request's account from others (never a password).
  change.values = {{"name", record.name}, {"group", record.group}, {"email", record.email}};
  change.serverTimeMs = ServerTimeEstimateMs();
  if (!permitChange(gate, change)) {
    sender->send(record.BuildReply(replycode::NotRecorded));
    return;
  }
  MTAPIRES res = Seen(manager_->AddAccount(user.get(), masterPass.c_str(), investorPass.c_str()), "AddAccount");
  reportChange(gate, res, replycode::requestDone(res) ? user->Login() : 0);
  sender->send(replycode::requestDone(res) ? record.BuildReply() : record.BuildReply(replycode::negated(res)));
}

void CManager::UpdateUser(Json::Value request, ReplySender* sender, ChangeGate* gate) {
  UserRecordUpdateRequest record(request);
  if (!manager_) {
    consolePrint("UpdateUser manager is null\n");
    sender->send(record.BuildReply(replycode::NoManager));
    return;
  }
  int32_t failure = 0;
  UserRecord user = LoadUser(record.login, failure);
  if (!user) {
    sender->send(record.BuildReply(failure));
    return;
  }
  const AccountTexts texts(record);
  PlannedChange change = accountChange(PlannedChange::Kind::UpdateAccount, record.login);
  change.before = accountValues(*user);

  // groupType 2 keeps the comment the server has.
  if (record.groupType != 2) user->Comment(texts.comment.c_str());
  texts.applyTo(*user, record.leverage);
  user->Agent(record.agent);
  user->Rights(rightsFor(record.valid));
  change.values = accountValues(*user);

  if (!permitChange(gate, change)) {
    sender->send(record.BuildReply(replycode::NotRecorded));
    return;
  }
  const MTAPIRES res = Seen(manager_->SaveAccount(user.get()), "SaveAccount");
  reportChange(gate, res);
  sender->send(replycode::requestDone(res) ? record.BuildReply() : record.BuildReply(replycode::negated(res)));
}

void CManager::UpdatePassWord(Json::Value request, ReplySender* sender, ChangeGate* gate) {
  PasswordUpdateRequest record(request);
  if (!manager_) {
    consolePrint("UpdatePassWord manager is null\n");
    sender->send(record.BuildReply(replycode::NoManager));
    return;
  }
  // type 1: master, old one verified; 2: master, unverified; 3: investor,
  // master verified. Any other type names no password: refused untouched.
  uint32_t kind;
  bool verify;
  switch (record.type) {
    case 1:
      kind = MT_PASS_MAIN;
      verify = true;
      break;
    case 2:
      kind = MT_PASS_MAIN;
      verify = false;
      break;
    case 3:
      kind = MT_PASS_INVESTOR;
      verify = true;
      break;
    default:
      sender->send(record.BuildReply(replycode::negated(mtret::InvalidParams)));
      return;
  }
  if (verify) {
    const std::wstring masterPass = stringToLPCWSTR(record.masterPass);
    MTAPIRES res = Seen(manager_->VerifyPassword(MT_PASS_MAIN, record.login, masterPass.c_str()), "VerifyPassword");
    if (!replycode::requestDone(res)) {
      sender->send(record.BuildReply(replycode::negated(res)));
      return;
    }
  }
  const std::wstring newPass = stringToLPCWSTR(record.newPass);
  PlannedChange change = accountChange(PlannedChange::Kind::SetPassword, record.login);
  change.action = kind;
  change.passwordChangedMs = PasswordChangedMs(kind, record.login);
  if (!permitChange(gate, change)) {
    sender->send(record.BuildReply(replycode::NotRecorded));
    return;
  }
  MTAPIRES res = Seen(manager_->SetPassword(kind, record.login, newPass.c_str()), "SetPassword");
  reportChange(gate, res);
  sender->send(replycode::requestDone(res) ? record.BuildReply() : record.BuildReply(replycode::negated(res)));
}
