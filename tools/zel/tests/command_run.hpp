#pragma once

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zel/commands.hpp"

namespace zel::testing {

struct CommandRun {
  int status;
  std::string out;
  std::string err;
};

// `zel ARGUMENTS...` in-process, its standard output to `out`; the signal mask a run sets is
// put back afterwards.
inline CommandRun zel_to(std::vector<std::string> arguments, std::ostream& out) {
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  std::ostringstream err;
  const int status = main(arguments, out, err);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return {status, "", err.str()};
}

inline CommandRun zel(std::vector<std::string> arguments) {
  std::ostringstream out;
  CommandRun run = zel_to(std::move(arguments), out);
  run.out = out.str();
  return run;
}

// A fresh directory, removed afterwards.
class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zel-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDirectory() { std::filesystem::remove_all(path_); }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  std::string path(const std::string& name) const { return (path_ / name).string(); }
  std::string directory() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

}  // namespace zel::testing
