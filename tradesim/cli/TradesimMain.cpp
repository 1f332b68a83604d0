#include <iostream>

#include "tradesim/cli/Commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tradesim::cli::runCommand(args, std::cout, std::cerr);
}
