// mqbridge-send: puts one request on the service's queues and prints the
// reply; for operators and demos.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "stomp/Client.h"
#include "support/Json.h"
#include "tools/SendOptions.h"
#include "tools/SendRequest.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailureCode = 1;
constexpr int kError = 2;

int fail(const std::string& message) {
  std::fprintf(stderr, "mqbridge-send: %s\n", message.c_str());
  return kError;
}

int run(const std::vector<std::string>& args) {
  SendOptions options;
  try {
    options = parseSendOptions(args);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "mqbridge-send: %s\n%s", e.what(), sendUsage());
    return kError;
  }
  if (options.help) {
    std::fputs(sendUsage(), stdout);
    return kSuccess;
  }

  std::string json;
  if (options.json) {
    json = *options.json;
  } else {
    json.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  // The service drops anything but an object without a reply: say so now
  // instead of waiting for a reply that cannot come.
  Json::Value request;
  try {
    if (!parseJson(json, request) || !request.isObject()) return fail("the request is not a JSON object");
  } catch (const Json::Exception& e) {
    return fail(std::string("the request is not usable JSON: ") + e.what());
  }

  try {
    const ServiceConfig config = loadSendConfig(options.configPath);
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(std::ceil(options.timeoutSeconds * 1000)));
    const std::string reply = exchange(config, options.kind, json, freshCorrelationId(), timeout);
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    if (reply.empty() || reply.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
    long long code = 0;
    return replyCode(reply, code) && code == 200 ? kSuccess : kFailureCode;
  } catch (const SendError& e) {
    return fail(e.what());
  } catch (const stomp::Error& e) {
    return fail(std::string("broker: ") + e.what());
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace

int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }
