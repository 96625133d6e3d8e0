// The manifest schema: what is taken, what is refused and the field the refusal names; and the
// writer, which must read back to the same manifest.
#include <gtest/gtest.h>

#include "server/release_manifest.h"

namespace {

using release_manifest::Manifest;
using release_manifest::parseManifest;

std::string withRelease(const std::string& release, const std::string& rest = "") {
  return R"({"format": 1, "release": {)" + release + "}" + rest + "}";
}
const std::string kRelease = R"("version": "3.11.0", "package_bytes": 73811821)";

TEST(ReleaseManifest, ValidManifestsAndTheirRoundTrip) {
  const struct {
    std::string json;
    uint32_t hundredths;
    bool fallback;
  } cases[] = {
      {withRelease(kRelease + R"(, "rollout_percent": 25)",
                   R"(, "fallback": {"version": "3.10.0", "package_bytes": 70913454})"),
       2500, true},
      {withRelease(kRelease), 10000, false},
      {withRelease(kRelease + R"(, "rollout_percent": 0.29)"), 29, false},
      {withRelease(kRelease + R"(, "rollout_percent": 0)"), 0, false},
      {withRelease(kRelease + R"(, "rollout_percent": 100.0)"), 10000, false},
      {withRelease(R"("version": "4294967295.0.0", "package_bytes": 18446744073709551615)"), 10000,
       false},
  };
  for (const auto& c : cases) {
    std::string error;
    auto m = parseManifest(c.json, &error);
    ASSERT_TRUE(m) << c.json << ": " << error;
    EXPECT_EQ(m->rolloutHundredths, c.hundredths) << c.json;
    EXPECT_EQ(m->fallback.has_value(), c.fallback) << c.json;
    auto again = parseManifest(release_manifest::manifestJson(*m), &error);
    ASSERT_TRUE(again) << release_manifest::manifestJson(*m) << ": " << error;
    EXPECT_EQ(*again, *m);
  }
  auto full = parseManifest(cases[0].json, nullptr);
  EXPECT_EQ(full->release, (release_manifest::Release{{3, 11, 0}, 73811821}));
  EXPECT_EQ(full->fallback, (release_manifest::Release{{3, 10, 0}, 70913454}));
}

TEST(ReleaseManifest, RefusalsNameTheField) {
  const struct {
    std::string json, field;
  } cases[] = {
      {"{", "manifest"},
      {"[]", "manifest"},
      {std::string(70000, ' ') + withRelease(kRelease), "manifest"},
      {R"({"format": 2, "release": {"version": "1.0.0", "package_bytes": 1}})", "format"},
      {R"({"release": {"version": "1.0.0", "package_bytes": 1}})", "format"},
      {R"({"format": "1", "release": {"version": "1.0.0", "package_bytes": 1}})", "format"},
      {withRelease(kRelease, R"(, "rollout": 5)"), "rollout"},
      {R"({"format": 1})", "release"},
      {withRelease(R"("version": "3.11.00", "package_bytes": 1)"), "release.version"},
      {withRelease(R"("version": 3, "package_bytes": 1)"), "release.version"},
      {withRelease(R"("package_bytes": 1)"), "release.version"},
      {withRelease(R"("version": "1.0.0", "package_bytes": 0)"), "release.package_bytes"},
      {withRelease(R"("version": "1.0.0", "package_bytes": -5)"), "release.package_bytes"},
      {withRelease(R"("version": "1.0.0", "package_bytes": 1.5)"), "release.package_bytes"},
      {withRelease(R"("version": "1.0.0")"), "release.package_bytes"},
      {withRelease(kRelease + R"(, "rollout_percent": 100.01)"), "release.rollout_percent"},
      {withRelease(kRelease + R"(, "rollout_percent": -1)"), "release.rollout_percent"},
      {withRelease(kRelease + R"(, "rollout_percent": 12.345)"), "release.rollout_percent"},
      {withRelease(kRelease + R"(, "rollout_percent": "25")"), "release.rollout_percent"},
      {withRelease(kRelease + R"(, "rollout_percnt": 25)"), "release.rollout_percnt"},
      {withRelease(kRelease, R"(, "fallback": {"version": "1.0.0", "package_bytes": 1,
                                               "rollout_percent": 5})"),
       "fallback.rollout_percent"},
      {withRelease(kRelease, R"(, "fallback": null)"), "fallback"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parseManifest(c.json, &error)) << c.json;
    EXPECT_EQ(error.substr(0, error.find(':')), c.field) << c.json << " -> " << error;
  }
}

TEST(ReleaseManifest, PercentTextAndItsParser) {
  const std::pair<const char*, uint32_t> taken[] = {
      {"25", 2500}, {"12.5", 1250}, {"0.01", 1}, {"100.00", 10000}, {"0", 0}};
  for (const auto& [text, hundredths] : taken)
    EXPECT_EQ(release_manifest::parsePercent(text), hundredths) << text;
  for (const char* text : {"100.01", "05", ".5", "5.", "1e2", "-1", "", "1.234", " 1", "1000"})
    EXPECT_EQ(release_manifest::parsePercent(text), std::nullopt) << text;
  for (uint32_t h = 0; h <= release_manifest::FULL_ROLLOUT; ++h)
    ASSERT_EQ(release_manifest::parsePercent(release_manifest::percentText(h)), h);
}

}  // namespace
