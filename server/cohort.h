// Staged rollout: every client falls in a cohort from 0 to 9999, a keyed hash of its report's
// machine facts. The key comes from the release's version text, so one release keeps each
// client's cohort while its percentage rises (nobody falls back), and the next release draws
// new cohorts (the same machines are not always first).
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>

#include "protocol/client_report.h"
#include "protocol/version_text.h"

namespace server {

constexpr uint32_t COHORTS = 10000;

using CohortKey = std::array<uint8_t, crypto_shorthash_KEYBYTES>;

// BLAKE2b of the version text "A.B.C", cut to SipHash's key size.
CohortKey cohortKeyFor(const protocol::Version& release);
// SipHash-2-4 over the facts, each field with its length so no two reports run together.
uint32_t cohortOf(const client_report::MachineFacts& facts, const CohortKey& key);

}  // namespace server
