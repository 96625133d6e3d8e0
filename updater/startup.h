// Start-up: the single-instance rule, the machine facts, the settings block, then the window,
// the worker and the progress loop.
#pragma once

// Processes whose executable name is exactly "Update.exe" (this one included).
int countUpdaterProcesses();

// Loads .\config.cfg into the settings block, or creates it on the first run; leaves the file
// enciphered. False when an existing file cannot be opened after decryption.
bool loadSettingsBlock();

// The whole program; returns the process's exit status.
int runUpdater();
