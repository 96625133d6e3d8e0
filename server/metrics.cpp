#include "server/metrics.h"

namespace server {

const char* closeReasonName(CloseReason reason) {
  switch (reason) {
    case CloseReason::HelloTimeout:
      return "hello_timeout";
    case CloseReason::IdleTimeout:
      return "idle_timeout";
    case CloseReason::Protocol:
      return "protocol";
    case CloseReason::Limit:
      return "limit";
    case CloseReason::Peer:
      return "peer";
    case CloseReason::Stop:
      return "stop";
    case CloseReason::COUNT:
      break;
  }
  return "?";
}

Metrics::Metrics(unsigned loops)
    : loopCount_(loops), loops_(std::make_unique<LoopCounters[]>(loops)) {}

AnswerCounter* Metrics::answers(const std::string& version) {
  std::lock_guard<std::mutex> lock(answersLock_);
  for (AnswerCounter& a : answers_)
    if (a.version == version) return &a;
  AnswerCounter& a = answers_.emplace_back();
  a.version = version;
  a.perLoop = std::make_unique<AnswerCounter::Slot[]>(loopCount_);
  return &a;
}

std::string Metrics::text(const ManifestStatus& manifest) {
  uint64_t accepted = 0, hellos = 0, dropped = 0, closed[size_t(CloseReason::COUNT)] = {};
  for (unsigned i = 0; i < loopCount_; ++i) {
    accepted += loops_[i].accepted.get();
    hellos += loops_[i].hellos.get();
    dropped += loops_[i].reportsDropped.get();
    for (size_t r = 0; r < size_t(CloseReason::COUNT); ++r) closed[r] += loops_[i].closed[r].get();
  }
  std::string out;
  auto metric = [&](const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  auto sample = [&](const std::string& name, uint64_t value) {
    out += name + " " + std::to_string(value) + "\n";
  };
  metric("kelvora_server_connections", "gauge", "Connections open now.");
  sample("kelvora_server_connections", uint64_t(std::max<int64_t>(0, open.load())));
  metric("kelvora_server_connections_total", "counter", "Connections accepted.");
  sample("kelvora_server_connections_total", accepted);
  metric("kelvora_server_hellos_total", "counter", "Hellos received whole.");
  sample("kelvora_server_hellos_total", hellos);
  metric("kelvora_server_answers_total", "counter", "Version answers sent, by version.");
  {
    std::lock_guard<std::mutex> lock(answersLock_);
    for (const AnswerCounter& a : answers_) {
      uint64_t sum = 0;
      for (unsigned i = 0; i < loopCount_; ++i) sum += a.perLoop[i].count.get();
      sample("kelvora_server_answers_total{version=\"" + a.version + "\"}", sum);
    }
  }
  metric("kelvora_server_closed_total", "counter",
         "Connections closed by the server or the peer, by reason.");
  for (size_t r = 0; r < size_t(CloseReason::COUNT); ++r)
    sample(std::string("kelvora_server_closed_total{reason=\"") + closeReasonName(CloseReason(r)) +
               "\"}",
           closed[r]);
  metric("kelvora_server_manifest_reloads_total", "counter", "Manifest loads, by result.");
  sample("kelvora_server_manifest_reloads_total{result=\"ok\"}", reloadsOk.load());
  sample("kelvora_server_manifest_reloads_total{result=\"error\"}", reloadsError.load());
  metric("kelvora_server_manifest_not_modified_total", "counter",
         "Polls of the manifest object answered 304 Not Modified.");
  sample("kelvora_server_manifest_not_modified_total", notModified.load());
  metric("kelvora_server_manifest_info", "gauge", "The manifest being served.");
  if (!manifest.release.empty())
    sample("kelvora_server_manifest_info{release=\"" + manifest.release + "\",rollout_percent=\"" +
               manifest.rolloutPercent + "\"}",
           1);
  metric("kelvora_server_reports_dropped_total", "counter",
         "Report lines dropped because the log could not keep up.");
  sample("kelvora_server_reports_dropped_total", dropped);
  return out;
}

}  // namespace server
