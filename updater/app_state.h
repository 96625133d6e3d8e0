// The process-wide values of the application, in one record with one owner (the process).
// Each value is written by one thread at a time and polled by the others, so the scalars are
// atomics and the texts sit behind their own small locks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "protocol/client_report.h"

namespace app_state {

// The update state word.
constexpr int32_t UPDATE_WAITING = 1;
constexpr int32_t UPDATE_NONE = 0;
constexpr int32_t UPDATE_PENDING = 2;
constexpr int32_t UPDATE_DONE = -1;

constexpr size_t SETTINGS_BLOCK_SIZE = 2048;
constexpr size_t CLIENT_REPORT_SIZE = client_report::REPORT_SIZE;
constexpr size_t STATUS_LINE_SIZE = 128;

// A fixed-size 8-bit text that one thread writes and another reads whole every frame.
template <size_t N>
class SharedText {
 public:
  void set(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::strncpy(text_.data(), text, N - 1);
    text_[N - 1] = '\0';
  }
  std::string get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::string(text_.data());
  }

 private:
  mutable std::mutex mutex_;
  std::array<char, N> text_{};
};

struct AppState {
  // The settings block: start-up fills it before any other thread exists; afterwards the receive
  // thread sets the version fields before it publishes UPDATE_PENDING, and the worker reads them
  // after it sees that state, so the state word orders every access.
  std::array<uint8_t, SETTINGS_BLOCK_SIZE> settingsBlock{};
  // The client report: start-up fills it, the worker adds the public address before connecting.
  std::array<uint8_t, CLIENT_REPORT_SIZE> clientReport{};

  std::atomic<int32_t> updateState{UPDATE_WAITING};
  SharedText<STATUS_LINE_SIZE> statusLine;
  std::atomic<float> expectedPackageSize{1.0f};
  std::atomic<float> downloadedByteCount{0.0f};
  SharedText<64> packageKey;
  std::atomic<uint32_t> packageSize{0};
  std::atomic<uint32_t> receivedCount{0};
};

AppState& appState();

}  // namespace app_state
