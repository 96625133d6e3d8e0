// The observability listener: GET /metrics (Prometheus text) and GET /healthz (200 with a
// manifest loaded, 503 otherwise or when stopping), one request per connection, on a thread of
// its own with a bounded number of clients, each with a bounded head and a deadline.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace server {

class MetricsServer {
 public:
  MetricsServer(int listenFd, unsigned maxClients, std::function<std::string()> metricsText,
                std::function<bool()> healthy);
  ~MetricsServer();
  void start();
  void stop();

 private:
  void run();
  const int listenFd_;
  const unsigned maxClients_;
  std::function<std::string()> metricsText_;
  std::function<bool()> healthy_;
  int wakeFd_ = -1;
  std::thread thread_;
};

// The whole response to one request head (the bytes received so far; "" while it is incomplete).
std::string metricsResponse(std::string_view received, const std::function<std::string()>& metrics,
                            bool healthy, bool* done);

}  // namespace server
