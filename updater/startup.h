// Start-up: the single-instance rule, the machine facts, the settings block, then the window,
// the worker and the progress loop. Returns the process's exit status.
#pragma once

int runUpdater();
