#include "tradesim/UserRecord.h"

#include "tradesim/WideText.h"

namespace tradesim {

double UserRecord::Balance() const { return moneyToDouble(balance_); }
double UserRecord::Credit() const { return moneyToDouble(credit_); }

void UserRecord::assign(const AccountRecord& a) {
  login_ = a.login;
  agent_ = a.agent;
  rights_ = a.rights;
  leverage_ = a.leverage;
  name_ = widen(a.name);
  group_ = widen(a.group);
  country_ = widen(a.country);
  city_ = widen(a.city);
  zip_ = widen(a.zip);
  address_ = widen(a.address);
  phone_ = widen(a.phone);
  email_ = widen(a.email);
  id_ = widen(a.id);
  comment_ = widen(a.comment);
  leadSource_ = widen(a.leadSource);
  balance_ = a.balance;
  credit_ = a.credit;
}

AccountRecord accountFrom(const IMTUser& user) {
  AccountRecord a;
  a.login = user.Login();
  a.agent = user.Agent();
  a.rights = user.Rights();
  a.leverage = user.Leverage();
  a.name = narrow(user.Name());
  a.group = narrow(user.Group());
  a.country = narrow(user.Country());
  a.city = narrow(user.City());
  a.zip = narrow(user.ZIPCode());
  a.address = narrow(user.Address());
  a.phone = narrow(user.Phone());
  a.email = narrow(user.EMail());
  a.id = narrow(user.ID());
  a.comment = narrow(user.Comment());
  a.leadSource = narrow(user.LeadSource());
  return a;
}

}  // namespace tradesim
