#include "server/release_board.h"

namespace server {

ReleaseSnapshot::Choice ReleaseSnapshot::choose(const client_report::MachineFacts& facts) const {
  const uint32_t cohort = cohortOf(facts, cohortKey);
  if (cohort < manifest.rolloutHundredths) return {&releaseAnswer, releaseCounter, cohort, true};
  return {&fallbackAnswer, fallbackCounter, cohort, false};
}

std::shared_ptr<const ReleaseSnapshot> makeSnapshot(const release_manifest::Manifest& m,
                                                    Metrics& metrics) {
  auto s = std::make_shared<ReleaseSnapshot>();
  s->manifest = m;
  s->releaseAnswer = protocol::versionAnswerMessage(
      {m.release.version, protocol::sizeInThousandthsOfMiB(m.release.packageBytes)});
  // Without a fallback the others hear 0.0.0 with size 0: "No new version.".
  protocol::VersionAnswer fallback;
  if (m.fallback)
    fallback = {m.fallback->version, protocol::sizeInThousandthsOfMiB(m.fallback->packageBytes)};
  s->fallbackAnswer = protocol::versionAnswerMessage(fallback);
  s->cohortKey = cohortKeyFor(m.release.version);
  s->releaseCounter = metrics.answers(protocol::versionText(m.release.version));
  s->fallbackCounter = metrics.answers(protocol::versionText(fallback.version));
  return s;
}

void ReleaseBoard::publish(std::shared_ptr<const ReleaseSnapshot> snapshot) {
  std::lock_guard<std::mutex> lock(lock_);
  current_ = std::move(snapshot);
  generation_.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<const ReleaseSnapshot> ReleaseBoard::current() const {
  std::lock_guard<std::mutex> lock(lock_);
  return current_;
}

}  // namespace server
