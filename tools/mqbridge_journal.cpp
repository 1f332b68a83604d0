// mqbridge-journal: the request journal for operators reconciling it.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/JournalTool.h"

int main(int argc, char** argv) {
  // A database server that does not answer is an error after 10 s, not a
  // hang; PGCONNECT_TIMEOUT or connect_timeout in the URI say otherwise.
  ::setenv("PGCONNECT_TIMEOUT", "10", 0);
  return runJournalTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
