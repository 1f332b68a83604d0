// mqbridge-journal: the request journal for operators reconciling it.
#include <iostream>
#include <string>
#include <vector>

#include "tools/JournalTool.h"

int main(int argc, char** argv) {
  return runJournalTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
