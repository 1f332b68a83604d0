#pragma once
// The user record handed out by NewUserRecord: every attribute held as the
// caller set it, plus balance and credit as the last load found them.
#include <string>

#include "manager/ManagerApi.h"
#include "tradesim/Records.h"

namespace tradesim {

class UserRecord final : public IMTUser {
 public:
  void Release() override { delete this; }

  MTAPIRES Login(uint64_t login) override { return set(login_, login); }
  uint64_t Login() const override { return login_; }
  MTAPIRES Agent(uint64_t agent) override { return set(agent_, agent); }
  uint64_t Agent() const override { return agent_; }
  MTAPIRES Rights(uint64_t rights) override { return set(rights_, rights); }
  uint64_t Rights() const override { return rights_; }
  MTAPIRES Leverage(uint32_t leverage) override { return set(leverage_, leverage); }
  uint32_t Leverage() const override { return leverage_; }

  MTAPIRES Name(const wchar_t* v) override { return set(name_, v); }
  const wchar_t* Name() const override { return name_.c_str(); }
  MTAPIRES Group(const wchar_t* v) override { return set(group_, v); }
  const wchar_t* Group() const override { return group_.c_str(); }
  MTAPIRES Country(const wchar_t* v) override { return set(country_, v); }
  const wchar_t* Country() const override { return country_.c_str(); }
  MTAPIRES City(const wchar_t* v) override { return set(city_, v); }
  const wchar_t* City() const override { return city_.c_str(); }
  MTAPIRES ZIPCode(const wchar_t* v) override { return set(zip_, v); }
  const wchar_t* ZIPCode() const override { return zip_.c_str(); }
  MTAPIRES Address(const wchar_t* v) override { return set(address_, v); }
  const wchar_t* Address() const override { return address_.c_str(); }
  MTAPIRES Phone(const wchar_t* v) override { return set(phone_, v); }
  const wchar_t* Phone() const override { return phone_.c_str(); }
  MTAPIRES EMail(const wchar_t* v) override { return set(email_, v); }
  const wchar_t* EMail() const override { return email_.c_str(); }
  MTAPIRES ID(const wchar_t* v) override { return set(id_, v); }
  const wchar_t* ID() const override { return id_.c_str(); }
  MTAPIRES Comment(const wchar_t* v) override { return set(comment_, v); }
  const wchar_t* Comment() const override { return comment_.c_str(); }
  MTAPIRES LeadSource(const wchar_t* v) override { return set(leadSource_, v); }
  const wchar_t* LeadSource() const override { return leadSource_.c_str(); }

  double Balance() const override;
  double Credit() const override;

  // Fills every attribute, balance and credit from a stored account.
  void assign(const AccountRecord& account);

 private:
  template <typename T>
  static MTAPIRES set(T& field, T value) {
    field = value;
    return mtret::Ok;
  }
  static MTAPIRES set(std::wstring& field, const wchar_t* value) {
    field = value ? value : L"";
    return mtret::Ok;
  }

  uint64_t login_ = 0, agent_ = 0, rights_ = 0;
  uint32_t leverage_ = 0;
  std::wstring name_, group_, country_, city_, zip_, address_, phone_, email_, id_, comment_, leadSource_;
  Money balance_ = 0, credit_ = 0;

 protected:
  ~UserRecord() = default;
};

// Reads any user record through the interface; balance and credit stay 0.
AccountRecord accountFrom(const IMTUser& user);

}  // namespace tradesim
