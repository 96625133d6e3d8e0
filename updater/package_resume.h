// What a cut-off download keeps for the next run: the package file "A.B.C.BIN" with the bytes
// received so far, and beside it "A.B.C.BIN.etag" holding the object's strong ETag. The next
// run for the same version asks for the rest with Range and If-Range: that ETag, so the two
// parts always come from one object. A package file without its ETag file (a push, or a
// download whose object had no strong ETag) is never resumed. The ETag file may add, after a line
// feed, the number of runs in a row that asked for the rest and got none of it (docs/FORMATS.md
// section 5.3); after MAX_IDLE_RUNS such runs the kept part is dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace package_resume {

std::string etagFileFor(const std::string& packageFile);

// Only a strong, quoted ETag of printable characters can vouch for a byte range.
bool isStrongEtag(const std::string& etag);

struct KeptPart {
  uint64_t size;
  std::string etag;
  unsigned idleRuns = 0;
};
constexpr unsigned MAX_IDLE_RUNS = 2;
// The kept part of packageFile, when it and a valid ETag file are both there.
std::optional<KeptPart> keptPart(const std::string& packageFile);

// Records the ETag of the object whose bytes packageFile holds or is about to hold, with the
// count of idle runs when it is not 0 (flushed and renamed into place, so a kill leaves either
// the old ETag file or this one). The caller flushes packageFile first.
bool rememberEtag(const std::string& packageFile, const std::string& etag, unsigned idleRuns = 0);

// What the answer to "Range: bytes=<kept size>-" with "If-Range: <kept ETag>" means for the kept
// part. Shared by Update.exe and kelvora-storage get --continue.
enum class ResumeAnswer {
  kContinues,    // a 206 of the kept ETag from the kept length: the body follows the kept part
  kReplaces,     // another 2xx: the body is the whole object, the kept part goes
  kKeptIsWhole,  // a 416 "bytes */N" with N the kept length (and no other ETag): nothing is missing
  kStartOver,    // a 206 of another object or offset, or another 416: ask for the whole object
  kFailed,       // anything else: the kept part waits for the next run
};
ResumeAnswer judgeResumeAnswer(const KeptPart& kept, int status, const std::string& etag,
                               int64_t rangeFirst, int64_t objectSize);

// Deletes packageFile and its ETag file, the ETag file first: a package file left alone by a
// kill in between is then one without an ETag, which nothing resumes.
void discard(const std::string& packageFile);

// Whether a file of the application directory belongs to a package kept for resuming:
// "A.B.C.BIN" beside its ETag file, or that ETag file beside its package. Which version it is
// for is known only once the server has answered; the download then drops the others.
bool isKeptForResume(const std::string& name);
// An ETag file, or the temporary file it is written through.
bool isResumeFile(const std::string& name);

// Before a download of packageFile: every other package file of the directory and its ETag
// file go (another version's, or an unfinished push), and so does packageFile when it lacks its
// ETag file. With an empty name every one goes.
void discardAllBut(const std::string& packageFile);

}  // namespace package_resume
