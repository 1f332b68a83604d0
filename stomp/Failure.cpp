#include "stomp/Failure.h"

namespace stomp {

Failure Failure::of(const std::exception& e) {
  const std::string what = e.what();
  if (auto x = dynamic_cast<const BrokerError*>(&e)) {
    Failure f(Kind::Broker, what);
    f.brokerMessage = x->brokerMessage();
    f.details = x->details();
    return f;
  }
  if (dynamic_cast<const ProtocolError*>(&e)) return Failure(Kind::Protocol, what);
  if (dynamic_cast<const TimeoutError*>(&e)) return Failure(Kind::Timeout, what);
  if (dynamic_cast<const ConnectError*>(&e)) return Failure(Kind::Connect, what);
  if (dynamic_cast<const ConnectionLostError*>(&e)) return Failure(Kind::ConnectionLost, what);
  if (dynamic_cast<const UriError*>(&e)) return Failure(Kind::Uri, what);
  if (dynamic_cast<const LimitError*>(&e)) return Failure(Kind::Limit, what);
  return Failure(Kind::General, what);
}

Failure Failure::ofCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return of(e);
  } catch (...) {
    return Failure(Kind::General, "unknown error");
  }
}

Failure Failure::within(const std::string& context) const {
  Failure f = *this;
  f.what = context + ": " + what;
  return f;
}

void raise(const Failure& f) {
  switch (f.kind) {
    case Failure::Kind::Uri:
      throw UriError(f.what);
    case Failure::Kind::Connect:
      throw ConnectError(f.what);
    case Failure::Kind::Broker:
      throw BrokerError(f.what, f.brokerMessage, f.details);
    case Failure::Kind::Timeout:
      throw TimeoutError(f.what);
    case Failure::Kind::ConnectionLost:
      throw ConnectionLostError(f.what);
    case Failure::Kind::Protocol:
      throw ProtocolError(f.what);
    case Failure::Kind::Limit:
      throw LimitError(f.what);
    case Failure::Kind::General:
      break;
  }
  throw Error(f.what);
}

std::exception_ptr toException(const Failure& f) {
  try {
    raise(f);
  } catch (...) {
    return std::current_exception();
  }
}

std::shared_ptr<Error> errorFor(const Failure& f) {
  switch (f.kind) {
    case Failure::Kind::Uri:
      return std::make_shared<UriError>(f.what);
    case Failure::Kind::Connect:
      return std::make_shared<ConnectError>(f.what);
    case Failure::Kind::Broker:
      return std::make_shared<BrokerError>(f.what, f.brokerMessage, f.details);
    case Failure::Kind::Timeout:
      return std::make_shared<TimeoutError>(f.what);
    case Failure::Kind::ConnectionLost:
      return std::make_shared<ConnectionLostError>(f.what);
    case Failure::Kind::Protocol:
      return std::make_shared<ProtocolError>(f.what);
    case Failure::Kind::Limit:
      return std::make_shared<LimitError>(f.what);
    case Failure::Kind::General:
      break;
  }
  return std::make_shared<Error>(f.what);
}

}  // namespace stomp
