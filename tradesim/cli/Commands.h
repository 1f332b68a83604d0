#pragma once
// The tradesim command: seeds and inspects a trading-server database, posts
// deals as another manager would and arms faults for a running service.
#include <iosfwd>
#include <string>
#include <vector>

namespace tradesim::cli {

// Runs one command line (without the program name). Exit status: 0 done,
// 1 the operation failed, 2 bad arguments.
int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tradesim::cli
