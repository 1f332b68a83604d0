// mqbridge-bench: load and ceiling measurements for the service (see usageText).
#include <iostream>

#include "bench/BenchOptions.h"
#include "bench/EchoResponder.h"
#include "bench/LoadRun.h"
#include "stomp/Error.h"

int main(int argc, char** argv) {
  using namespace bench;
  Command command;
  BrokerSettings settings;
  try {
    command = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (command.kind == Command::Kind::Help) {
      std::cout << usageText();
      return 0;
    }
    settings =
        readBrokerSettings(command.kind == Command::Kind::Echo ? command.echo.configPath : command.run.configPath);
  } catch (const UsageError& e) {
    std::cerr << "mqbridge-bench: " << e.what() << "\nTry 'mqbridge-bench --help'.\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "mqbridge-bench: " << e.what() << "\n";
    return 2;
  }

  try {
    if (command.kind == Command::Kind::Echo) return runEcho(command.echo, settings);
    const RunResult result = runLoad(command.run, settings);
    printTable(std::cout, result);
    if (!command.run.jsonPath.empty()) writeJsonFile(command.run.jsonPath, result);
    return result.faultsFound() ? 3 : 0;
  } catch (const std::exception& e) {
    std::cerr << "mqbridge-bench: " << e.what() << "\n";
    return 1;
  }
}
