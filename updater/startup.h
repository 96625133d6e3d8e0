// Start-up: the single-instance rule, the machine facts, the settings block, then the window,
// the worker and the progress loop.
#pragma once

namespace startup {

// Processes whose executable name is exactly "Update.exe" (this one included).
int countUpdaterProcesses();

// True when this copy may run: it holds the lock of the application directory and, once the
// copies that lost the lock have ended, no other process named Update.exe remains.
bool isOnlyCopy();

// Loads config.cfg into the settings block, or creates it on the first run, and leaves the file
// enciphered with a fresh key where it can. A file that is neither a container nor a plain block
// is moved aside and replaced as on a first run. False when an existing config.cfg cannot be
// opened for writing (a read-only file system, a directory of that name).
bool loadSettingsBlock();

// The whole program; returns the process's exit status.
int runUpdater();

}  // namespace startup
