// kelvora-devserver as a child process on the fixed loopback ports that the loopback Update.exe
// speaks to, ready once it has said so. It signs every package it serves with the loopback test
// key, which the loopback Update.exe trusts.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

class DevServerProcess {
 public:
  DevServerProcess(const std::filesystem::path& root, const std::vector<std::string>& extra,
                   const std::filesystem::path& log);
  bool ready() const { return ready_; }
  std::string log() const;

 private:
  std::filesystem::path log_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
};

}  // namespace testsupport
