#pragma once
// Runs a test in a fresh working directory "<tmp>/work", so that "../log"
// resolves to "<tmp>/log" and parallel test processes never share files.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempWorkDir {
 public:
  TempWorkDir() {
    char pattern[] = "/tmp/mqb-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    root_ = made;
    std::filesystem::create_directory(root_ / "work");
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(root_ / "work");
  }
  ~TempWorkDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  std::filesystem::path logDir() const { return root_ / "log"; }
  std::filesystem::path work() const { return root_ / "work"; }

  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path previous_;
};
