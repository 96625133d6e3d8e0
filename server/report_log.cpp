#include "server/report_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace server {

namespace {

constexpr auto kWriteInterval = std::chrono::milliseconds(20);

void jsonString(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  out += '"';
}

}  // namespace

std::string reportLine(std::string_view peer, const client_report::MachineFacts& facts,
                       uint32_t cohort, std::string_view version) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  // Sized for any int fields, so the text is never cut (a year past 9999 only widens it).
  char time[96];
  std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000000);
  std::string line = "{\"time\":\"";
  line += time;
  line += "\",\"peer\":";
  jsonString(line, peer);
  line += ",\"packageCount\":" + std::to_string(facts.packageCount);
  line += ",\"logicalProcessors\":" + std::to_string(facts.logicalProcessors);
  line += ",\"cpuMhz\":" + std::to_string(facts.cpuMhz);
  line += ",\"memoryMb\":" + std::to_string(facts.memoryMb);
  line += ",\"publicAddress\":";
  jsonString(line, facts.publicAddress);
  line += ",\"cpuVendor\":";
  jsonString(line, facts.cpuVendor);
  line += ",\"cohort\":" + std::to_string(cohort);
  line += ",\"version\":";
  jsonString(line, version);
  line += "}\n";
  return line;
}

ReportRing::ReportRing(size_t capacity) : bytes_(capacity) {}

bool ReportRing::push(std::string_view line) {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  const uint64_t tail = tail_.load(std::memory_order_acquire);
  if (line.size() > bytes_.size() - (head - tail)) return false;
  size_t at = size_t(head % bytes_.size());
  for (char c : line) {
    bytes_[at] = c;
    if (++at == bytes_.size()) at = 0;
  }
  head_.store(head + line.size(), std::memory_order_release);
  return true;
}

bool ReportLog::open(const std::string& path, unsigned loops, size_t ringBytes,
                     std::string* error) {
  path_ = path;
  fd_ = path == "-" ? dup(STDOUT_FILENO)
                    : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    *error = "--reports " + path + ": " + std::strerror(errno);
    return false;
  }
  for (unsigned i = 0; i < loops; ++i) rings_.push_back(std::make_unique<ReportRing>(ringBytes));
  return true;
}

void ReportLog::start() {
  if (enabled()) thread_ = std::thread([this] { run(); });
}

void ReportLog::stop() {
  stopping_ = true;
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

ReportLog::~ReportLog() {
  stop();
  if (fd_ >= 0) close(fd_);
}

void ReportLog::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses lines, never the server
    bytes.remove_prefix(size_t(n));
  }
}

void ReportLog::run() {
  for (;;) {
    const bool last = stopping_.load();
    if (reopen_.exchange(false) && path_ != "-") {
      int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
      if (fd >= 0) {
        dup2(fd, fd_);  // the same descriptor number now names the new file
        close(fd);
      } else {
        std::fprintf(stderr, "kelvora-server: reopening --reports %s: %s\n", path_.c_str(),
                     std::strerror(errno));
      }
    }
    for (auto& ring : rings_) ring->drain([this](std::string_view bytes) { writeAll(bytes); });
    if (last) return;
    std::unique_lock<std::mutex> lock(wakeLock_);
    wake_.wait_for(lock, kWriteInterval, [this] { return stopping_.load(); });
  }
}

}  // namespace server
