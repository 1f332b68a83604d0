// The store's deals and deal events: posting, changing and removing deals,
// each with its event in the same transaction.
#include "tradesim/Store.h"

#include "tradesim/Journal.h"

namespace tradesim {
namespace {

const char* kindName(DealEventKind kind) {
  switch (kind) {
    case DealEventKind::Add:
      return "add";
    case DealEventKind::Update:
      return "update";
    case DealEventKind::Delete:
      return "delete";
  }
  return "add";
}

DealEventKind kindFromName(const std::string& name) {
  if (name == "update") return DealEventKind::Update;
  if (name == "delete") return DealEventKind::Delete;
  return DealEventKind::Add;
}

DealRecord readDeal(const sqlite::Statement& row, int first) {
  DealRecord d;
  d.id = row.uint64(first);
  d.login = row.uint64(first + 1);
  d.action = static_cast<uint32_t>(row.int64(first + 2));
  d.amount = row.int64(first + 3);
  d.comment = row.text(first + 4);
  d.timeMs = row.int64(first + 5);
  d.manager = row.uint64(first + 6);
  return d;
}

constexpr const char* kDealColumns = "id, login, action, amount, comment, time, manager";

bool validAction(uint32_t action) { return action == 2 || action == 3; }

}  // namespace

MTAPIRES Store::moveAccount(uint64_t login, uint32_t action, Money delta) {
  const char* column = action == 2 ? "balance" : "credit";
  sqlite::Statement query(*db_, (std::string("SELECT ") + column + " FROM accounts WHERE login = ?").c_str());
  if (!query.bind(1, login).step()) return mtret::NotFound;
  const auto moved = addMoney(query.int64(0), delta);
  if (!moved) return mtret::InvalidParams;
  sqlite::Statement(*db_, (std::string("UPDATE accounts SET ") + column + " = ? WHERE login = ?").c_str())
      .bind(1, *moved)
      .bind(2, login)
      .run();
  return mtret::Ok;
}

void Store::insertEvent(DealEventKind kind, const DealRecord& deal) {
  sqlite::Statement(*db_,
                    "INSERT INTO deal_events (kind, deal, login, action, amount, comment, time, manager) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(1, kindName(kind))
      .bind(2, deal.id)
      .bind(3, deal.login)
      .bind(4, deal.action)
      .bind(5, deal.amount)
      .bind(6, deal.comment)
      .bind(7, deal.timeMs)
      .bind(8, deal.manager)
      .run();
}

std::optional<DealRecord> Store::findDeal(uint64_t id) {
  sqlite::Statement query(*db_, (std::string("SELECT ") + kDealColumns + " FROM deals WHERE id = ?").c_str());
  if (!query.bind(1, id).step()) return std::nullopt;
  return readDeal(query, 0);
}

MTAPIRES Store::postBalanceDeal(uint64_t login, Money amount, uint32_t action, std::string_view comment,
                                uint64_t manager, uint64_t& dealId) {
  if (!validAction(action) || amount < -kMaxAmount || amount > kMaxAmount) return mtret::InvalidParams;
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  const MTAPIRES moved = moveAccount(login, action, amount);
  if (moved != mtret::Ok) return moved;
  DealRecord deal;
  deal.login = login;
  deal.action = action;
  deal.amount = amount;
  deal.comment = std::string(comment);
  deal.timeMs = nowEpochMs();
  deal.manager = manager;
  sqlite::Statement(*db_, "INSERT INTO deals (login, action, amount, comment, time, manager) VALUES (?, ?, ?, ?, ?, ?)")
      .bind(1, deal.login)
      .bind(2, deal.action)
      .bind(3, deal.amount)
      .bind(4, deal.comment)
      .bind(5, deal.timeMs)
      .bind(6, deal.manager)
      .run();
  deal.id = static_cast<uint64_t>(db_->lastInsertRowid());
  insertEvent(DealEventKind::Add, deal);
  tx.commit();
  dealId = deal.id;
  return mtret::RequestDone;
}

MTAPIRES Store::updateDeal(uint64_t id, std::optional<Money> amount, std::optional<std::string> comment) {
  if (amount && (*amount < -kMaxAmount || *amount > kMaxAmount)) return mtret::InvalidParams;
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  auto deal = findDeal(id);
  if (!deal) return mtret::NotFound;
  if (amount) {
    const MTAPIRES moved = moveAccount(deal->login, deal->action, *amount - deal->amount);
    if (moved != mtret::Ok) return moved;
    deal->amount = *amount;
  }
  if (comment) deal->comment = *comment;
  sqlite::Statement(*db_, "UPDATE deals SET amount = ?, comment = ? WHERE id = ?")
      .bind(1, deal->amount)
      .bind(2, deal->comment)
      .bind(3, id)
      .run();
  insertEvent(DealEventKind::Update, *deal);
  tx.commit();
  return mtret::Ok;
}

MTAPIRES Store::deleteDeal(uint64_t id) {
  std::lock_guard lock(mutex_);
  sqlite::Transaction tx(*db_);
  const auto deal = findDeal(id);
  if (!deal) return mtret::NotFound;
  const MTAPIRES moved = moveAccount(deal->login, deal->action, -deal->amount);
  if (moved != mtret::Ok) return moved;
  sqlite::Statement(*db_, "DELETE FROM deals WHERE id = ?").bind(1, id).run();
  insertEvent(DealEventKind::Delete, *deal);
  tx.commit();
  return mtret::Ok;
}

std::vector<DealRecord> Store::listDeals(std::optional<uint64_t> login) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(
      *db_, (std::string("SELECT ") + kDealColumns + " FROM deals" + (login ? " WHERE login = ?" : "") + " ORDER BY id")
                .c_str());
  if (login) query.bind(1, *login);
  std::vector<DealRecord> deals;
  while (query.step()) deals.push_back(readDeal(query, 0));
  return deals;
}

std::vector<DealRecord> Store::dealsBetween(uint64_t login, int64_t fromMs, int64_t toMs) {
  std::lock_guard lock(mutex_);
  // Ids break ties between deals of the same millisecond in posting order.
  sqlite::Statement query(*db_, (std::string("SELECT ") + kDealColumns +
                                 " FROM deals WHERE login = ? AND time BETWEEN ? AND ? ORDER BY time, id")
                                    .c_str());
  query.bind(1, login).bind(2, fromMs).bind(3, toMs);
  std::vector<DealRecord> deals;
  while (query.step()) deals.push_back(readDeal(query, 0));
  return deals;
}

int64_t Store::lastEventSeq() {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_, "SELECT COALESCE(MAX(seq), 0) FROM deal_events");
  query.step();
  return query.int64(0);
}

std::vector<DealEvent> Store::eventsAfter(int64_t seq, int limit) {
  std::lock_guard lock(mutex_);
  sqlite::Statement query(*db_,
                          "SELECT seq, kind, deal, login, action, amount, comment, time, manager FROM deal_events "
                          "WHERE seq > ? ORDER BY seq LIMIT ?");
  query.bind(1, seq).bind(2, limit);
  std::vector<DealEvent> events;
  while (query.step()) {
    DealEvent event;
    event.seq = query.int64(0);
    event.kind = kindFromName(query.text(1));
    event.deal = readDeal(query, 2);
    events.push_back(std::move(event));
  }
  return events;
}

}  // namespace tradesim
