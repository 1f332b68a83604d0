#include "stomp/Completion.h"

namespace stomp::detail {

std::shared_ptr<Error> copyError(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const BrokerError& x) {
    return std::make_shared<BrokerError>(std::string(x.what()), std::string(x.brokerMessage()),
                                         std::string(x.details()));
  } catch (const ProtocolError& x) {
    return std::make_shared<ProtocolError>(std::string(x.what()));
  } catch (const TimeoutError& x) {
    return std::make_shared<TimeoutError>(std::string(x.what()));
  } catch (const ConnectError& x) {
    return std::make_shared<ConnectError>(std::string(x.what()));
  } catch (const ConnectionLostError& x) {
    return std::make_shared<ConnectionLostError>(std::string(x.what()));
  } catch (const UriError& x) {
    return std::make_shared<UriError>(std::string(x.what()));
  } catch (const std::exception& x) {
    return std::make_shared<Error>(std::string(x.what()));
  } catch (...) {
    return std::make_shared<Error>("unknown error");
  }
}

void throwCopy(const Error& e) {
  const std::string what = e.what();
  if (auto x = dynamic_cast<const BrokerError*>(&e)) throw BrokerError(what, x->brokerMessage(), x->details());
  if (dynamic_cast<const ProtocolError*>(&e)) throw ProtocolError(what);
  if (dynamic_cast<const TimeoutError*>(&e)) throw TimeoutError(what);
  if (dynamic_cast<const ConnectError*>(&e)) throw ConnectError(what);
  if (dynamic_cast<const ConnectionLostError*>(&e)) throw ConnectionLostError(what);
  if (dynamic_cast<const UriError*>(&e)) throw UriError(what);
  throw Error(what);
}

}  // namespace stomp::detail
