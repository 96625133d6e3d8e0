// Start-up: the single-instance rule, the machine facts, the settings block, then the window,
// the worker and the progress loop.
#pragma once

namespace startup {

// Processes of this user running this very program file (this one included).
int countUpdaterProcesses();

// True when this copy may run: it holds the lock of the application directory and, once the
// copies that lost the lock have ended, no other process runs this program file.
bool isOnlyCopy();

// Loads config.cfg into the settings block, or creates it on the first run, and leaves the file
// enciphered with a fresh key where it can. A file that is neither a container nor a plain block
// is moved aside and replaced as on a first run, whose version is the one the kept signature of
// the installed release vouches for (with publisher keys built in), so that lost settings never
// let an older release in. False, said on standard error, when config.cfg is not a regular file
// or cannot be opened for writing (a read-only file system), or cannot be moved aside.
bool loadSettingsBlock();

// loadSettingsBlock, then the end of an install a killed run left unfinished, then the removal of
// what such a run left behind. False as loadSettingsBlock.
bool prepareApplicationDirectory();

// The whole program; returns the process's exit status.
int runUpdater();

}  // namespace startup
