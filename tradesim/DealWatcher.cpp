#include "tradesim/DealWatcher.h"

#include <algorithm>

#include "tradesim/DealView.h"
#include "tradesim/Store.h"

namespace tradesim {
namespace {
constexpr int kBatch = 256;
}  // namespace

MTAPIRES DealWatcher::attach(IMTDealSink* sink, int64_t afterSeq) {
  if (!sink) return mtret::InvalidParams;
  sinks_.add(sink, afterSeq);
  return mtret::Ok;
}

MTAPIRES DealWatcher::detach(IMTDealSink* sink) { return sinks_.remove(sink); }

void DealWatcher::stop() { sinks_.clear(); }

void DealWatcher::poll(Store& store, const std::function<bool()>& keepGoing) {
  // Events older than every subscription are of no interest.
  const auto lowest = sinks_.lowestAfter();
  if (!lowest) return;
  cursor_ = std::max(cursor_, *lowest);
  for (;;) {
    const auto events = store.eventsAfter(cursor_, kBatch);
    for (const auto& event : events) {
      if (!keepGoing()) return;
      deliver(event);
      cursor_ = event.seq;
    }
    if (events.size() < static_cast<size_t>(kBatch)) return;
  }
}

void DealWatcher::deliver(const DealEvent& event) {
  const DealView deal(event.deal);
  sinks_.notify(event.seq, [&](IMTDealSink* sink) {
    switch (event.kind) {
      case DealEventKind::Add:
        sink->OnDealAdd(&deal);
        break;
      case DealEventKind::Update:
        sink->OnDealUpdate(&deal);
        break;
      case DealEventKind::Delete:
        sink->OnDealDelete(&deal);
        break;
    }
  });
}

}  // namespace tradesim
