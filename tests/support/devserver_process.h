// kelvora-devserver as a child process, ready once it has said so: on the fixed loopback ports
// the loopback Update.exe speaks to, or on free ones ("--http-port 0 --update-port 0"). It signs
// every package it serves with the loopback test key, which the loopback Update.exe trusts.
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
  int httpPort() const { return httpPort_; }  // as the server announced it
  std::string log() const;

 private:
  std::filesystem::path log_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
  int httpPort_ = 0;
};

}  // namespace testsupport
