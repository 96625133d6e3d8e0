// The application directory: every file Update.exe opens, creates, truncates, renames or removes
// there goes through this unit. A name is used through a descriptor of the directory and never by
// following a link, and what is opened is checked on its descriptor: a regular file, with one
// link where it will be written. So a symbolic link, hard link, FIFO or device planted under one
// of the program's names can neither make it change or create a file outside the directory nor
// make it wait. What stands in the way of a write is removed as the stale file of a killed run
// (the link itself, never its target); what cannot be removed (a directory) fails the step with
// one line on standard error. Names are single components of the current directory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace app_directory {

// One line on standard error: "Update.exe: <name>: <problem>".
void report(const std::string& name, const std::string& problem);

// What stands under a name, not following a link: "a directory", "a symbolic link", "a FIFO",
// "a hard link of N names", ... ; "" for a regular file of one link or nothing at all.
std::string oddity(const char* name);

enum class Open {
  kRead,    // an existing regular file, read only (hard links allowed: nothing is written)
  kUpdate,  // read and write, kept when it is a regular file of one link, else made anew
  kLock,    // read only, kept or made anew as kUpdate (a lock file, never written); quiet, as
            // the process count decides where there can be no lock
  kFresh,   // read and write, always a new empty file
};
// A descriptor (close-on-exec, blocking), or -1. kRead gives -1 with errno ENOENT for a missing
// name and EINVAL for anything but a regular file. The others report their failure on standard
// error, except for a missing application directory.
int open(const char* name, Open how, mode_t mode = 0644);

// Up to maxBytes from the start of a regular file (kRead); nothing when it cannot be read.
std::optional<std::vector<uint8_t>> readHead(const char* name, size_t maxBytes);

// Writes bytes to a new temporary file ".<name>.XXXXXX", flushes it, renames it over name and
// flushes the directory. An existing regular file's permission bits are kept, a new file gets
// 0644. False (reported, with no temporary left) when any step fails.
bool replaceAtomically(const char* name, std::span<const uint8_t> bytes);
// Whether name is such a temporary of `of` (a killed run's left-over).
bool isTemporaryOf(std::string_view name, std::string_view of);

// Removes the name itself (never what a link points to). Nothing there counts as removed.
// Quiet; false for what cannot be removed (a directory).
bool remove(const char* name);
bool removeOrReport(const char* name);
// renameat within the directory; reported when it fails.
bool rename(const char* from, const char* to);
// Like rename, but never replaces an existing name (false, errno EEXIST); quiet.
bool renameToFreeName(const char* from, const char* to);
// A second name for what stands under `from` (linkat: a link gets linked, not its target);
// quiet, as callers fall back.
bool link(const char* from, const char* to);
// fsync of the directory itself, so that renames and new names survive a crash; reported.
bool flush();

// Whether a regular file of that name may be opened for writing (not following links); quiet.
bool writable(const char* name);

// Whether name stands for a regular file of one link (not following links), with its size.
std::optional<uint64_t> plainFileSize(const char* name);

// Every name of the directory but "." and "..".
std::vector<std::string> names();

}  // namespace app_directory
