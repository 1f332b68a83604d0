// The account requests: create, update and password change.
#include <string>

#include "manager/CManager.h"
#include "manager/ResultCode.h"
#include "messages/PasswordUpdateRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Console.h"
#include "support/TextConversions.h"

namespace {

uint64_t rightsFor(int32_t valid) {
  return valid == 1 ? CManager::kRightsEnabled : CManager::kRightsDisabled;
}

// The record keeps one city: the town when one is given, else the city.
const std::wstring& cityOf(const std::wstring& city, const std::wstring& town) {
  return town.empty() ? city : town;
}

}  // namespace

void CManager::CreateUser(Json::Value request, ReplySender* sender) {
  UserRecordCreateRequest record(std::move(request));
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
  const std::wstring name = UTF8ToUnicode(record.name);
  const std::wstring group = UTF8ToUnicode(record.group);
  const std::wstring country = UTF8ToUnicode(record.country);
  const std::wstring city = UTF8ToUnicode(record.city);
  const std::wstring town = UTF8ToUnicode(record.town);
  const std::wstring address = UTF8ToUnicode(record.addressLine);
  const std::wstring postalCode = UTF8ToUnicode(record.postalCode);
  const std::wstring email = UTF8ToUnicode(record.email);
  const std::wstring phone = UTF8ToUnicode(record.phone);
  const std::wstring id = UTF8ToUnicode(record.id);
  const std::wstring comment = UTF8ToUnicode(record.comment);
  const std::wstring leadSource = UTF8ToUnicode(record.leadSource);

  user->Rights(rightsFor(record.valid));
  user->Login(record.login);
  user->Name(name.c_str());
  user->Leverage(static_cast<uint32_t>(record.leverage));
  user->Group(group.c_str());
  user->EMail(email.c_str());
  user->Phone(phone.c_str());
  user->ID(id.c_str());
  user->Country(country.c_str());
  user->City(cityOf(city, town).c_str());
  user->ZIPCode(postalCode.c_str());
  user->Address(address.c_str());
  user->Comment(comment.c_str());
  user->LeadSource(leadSource.c_str());
  user->Agent(record.agent);

  const std::wstring investorPass = stringToLPCWSTR(record.investorPass);
  const std::wstring masterPass = stringToLPCWSTR(record.masterPass);
  MTAPIRES res = manager_->AddAccount(user.get(), masterPass.c_str(), investorPass.c_str());
  sender->send(replycode::requestDone(res) ? record.BuildReply()
                                           : record.BuildReply(replycode::negated(res)));
}

void CManager::UpdateUser(Json::Value request, ReplySender* sender) {
  UserRecordUpdateRequest record(std::move(request));
  if (!manager_) {
    consolePrint("UpdateUser manager is null\n");
    sender->send(record.BuildReply(replycode::NoManager));
    return;
  }
  UserRecord user(manager_->NewUserRecord());
  if (!user) {
    sender->send(record.BuildReply(replycode::negated(mtret::Error)));
    return;
  }
  MTAPIRES res = manager_->LoadAccount(record.login, user.get());
  if (!replycode::requestDone(res)) {
    user.reset();
    sender->send(record.BuildReply(replycode::negated(res)));
    return;
  }
  const std::wstring name = UTF8ToUnicode(record.name);
  const std::wstring group = UTF8ToUnicode(record.group);
  const std::wstring country = UTF8ToUnicode(record.country);
  const std::wstring city = UTF8ToUnicode(record.city);
  const std::wstring town = UTF8ToUnicode(record.town);
  const std::wstring address = UTF8ToUnicode(record.addressLine);
  const std::wstring postalCode = UTF8ToUnicode(record.postalCode);
  const std::wstring email = UTF8ToUnicode(record.email);
  const std::wstring phone = UTF8ToUnicode(record.phone);
  const std::wstring id = UTF8ToUnicode(record.id);
  const std::wstring comment = UTF8ToUnicode(record.comment);

  // groupType 2 keeps the comment the server has.
  if (record.groupType != 2) user->Comment(comment.c_str());
  user->Name(name.c_str());
  user->Leverage(static_cast<uint32_t>(record.leverage));
  user->Group(group.c_str());
  user->EMail(email.c_str());
  user->Phone(phone.c_str());
  user->ID(id.c_str());
  user->Country(country.c_str());
  user->City(cityOf(city, town).c_str());
  user->ZIPCode(postalCode.c_str());
  user->Address(address.c_str());
  user->Agent(record.agent);
  user->Rights(rightsFor(record.valid));

  res = manager_->SaveAccount(user.get());
  sender->send(replycode::requestDone(res) ? record.BuildReply()
                                           : record.BuildReply(replycode::negated(res)));
}

void CManager::UpdatePassWord(Json::Value request, ReplySender* sender) {
  PasswordUpdateRequest record(std::move(request));
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
    case 1: kind = MT_PASS_MAIN; verify = true; break;
    case 2: kind = MT_PASS_MAIN; verify = false; break;
    case 3: kind = MT_PASS_INVESTOR; verify = true; break;
    default:
      sender->send(record.BuildReply(replycode::negated(mtret::InvalidParams)));
      return;
  }
  if (verify) {
    const std::wstring masterPass = stringToLPCWSTR(record.masterPass);
    MTAPIRES res = manager_->VerifyPassword(MT_PASS_MAIN, record.login, masterPass.c_str());
    if (!replycode::requestDone(res)) {
      sender->send(record.BuildReply(replycode::negated(res)));
      return;
    }
  }
  const std::wstring newPass = stringToLPCWSTR(record.newPass);
  MTAPIRES res = manager_->SetPassword(kind, record.login, newPass.c_str());
  sender->send(replycode::requestDone(res) ? record.BuildReply()
                                           : record.BuildReply(replycode::negated(res)));
}
