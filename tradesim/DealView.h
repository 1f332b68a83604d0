#pragma once
// A deal lent to a sink notification.
#include <string>

#include "manager/ManagerApi.h"
#include "tradesim/Records.h"

namespace tradesim {

class DealView final : public IMTDeal {
 public:
  explicit DealView(const DealRecord& deal);
  ~DealView() = default;

  uint64_t Deal() const override { return deal_.id; }
  uint64_t Login() const override { return deal_.login; }
  uint32_t Action() const override { return deal_.action; }
  double Profit() const override;
  const wchar_t* Comment() const override { return comment_.c_str(); }
  // "#12 login 1001 balance 100.00 'Deposit'", cut to fit the buffer.
  const wchar_t* Describe(wchar_t* buffer, uint32_t size) const override;

 private:
  DealRecord deal_;
  std::wstring comment_;
};

}  // namespace tradesim
