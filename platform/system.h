// Processes and system facts: the process snapshot, memory status, processor count, affinity,
// priorities and system times of the design, read from /proc and the scheduler here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Processes of this user whose executable is the very file `executable` names (the same device
// and inode as /proc/<pid>/exe), the caller included when it runs that file. A copy of the file
// elsewhere, another program of the same name, a process of another user and one that has ended
// but is not yet reaped never count.
int countProcessesRunning(const char* executable);

// Total physical memory in bytes, or nothing when the query fails.
std::optional<uint64_t> totalPhysicalMemory();

// Logical processors the system has online.
uint32_t logicalProcessorCount();

// The process's processor affinity as a 64-bit mask of processor indices (bit i = processor i).
std::optional<uint64_t> processAffinity();
// Pins the calling process's threads to the processors of mask; false when the system refuses.
bool setProcessAffinity(uint64_t mask);

// Raises the process and thread to the highest priority the system grants, and back. A refusal
// leaves things as they were; the state to restore is kept by the caller.
struct PrioritySnapshot {
  int niceValue = 0;
  int policy = 0;
  int schedPriority = 0;
};
PrioritySnapshot currentPriority();
void raisePriority();
void restorePriority(const PrioritySnapshot& snapshot);

// Idle, kernel and user time of all processors in 100-nanosecond units, from /proc/stat.
struct SystemTimes {
  uint64_t idle = 0;
  uint64_t kernel = 0;  // includes idle, as the times it stands in for do
  uint64_t user = 0;
};
std::optional<SystemTimes> systemTimes();

}  // namespace platform
