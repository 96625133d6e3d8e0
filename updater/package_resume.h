// What a cut-off download keeps for the next run: the package file "A.B.C.BIN" with the bytes
// received so far, and beside it "A.B.C.BIN.etag" holding the object's strong ETag. The next
// run for the same version asks for the rest with Range and If-Range: that ETag, so the two
// parts always come from one object. A package file without its ETag file (a push, or a
// download whose object had no strong ETag) is never resumed.
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
};
// The kept part of packageFile, when it and a valid ETag file are both there.
std::optional<KeptPart> keptPart(const std::string& packageFile);

// Records the ETag of the object whose bytes packageFile is about to hold (flushed and renamed
// into place, so a kill leaves either no ETag file or this one).
bool rememberEtag(const std::string& packageFile, const std::string& etag);

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
