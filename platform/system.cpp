#include "platform/system.h"

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace platform {

int countProcessesRunning(const char* executable) {
  struct stat wanted {};
  if (stat(executable, &wanted) != 0) return 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  int count = 0;
  while (dirent* entry = readdir(proc)) {
    const char* pid = entry->d_name;
    if (!std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
    const std::string dir = std::string("/proc/") + pid;
    // The owner of /proc/<pid> is the process's effective user. The executable of a process
    // that has ended (a zombie, not yet reaped) cannot be read: it runs nothing.
    struct stat owner {};
    struct stat running {};
    if (stat(dir.c_str(), &owner) == 0 && owner.st_uid == geteuid() &&
        stat((dir + "/exe").c_str(), &running) == 0 && running.st_dev == wanted.st_dev &&
        running.st_ino == wanted.st_ino)
      ++count;
  }
  closedir(proc);
  return count;
}

std::optional<uint64_t> totalPhysicalMemory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.totalram) * info.mem_unit;
}

uint32_t logicalProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint32_t>(n) : 1u;
}

std::optional<uint64_t> processAffinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    if (CPU_ISSET(i, &set)) mask |= uint64_t{1} << i;
  }
  return mask;
}

bool setProcessAffinity(uint64_t mask) {
  if (mask == 0) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < 64; ++i) {
    if (mask & (uint64_t{1} << i)) CPU_SET(i, &set);
  }
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

PrioritySnapshot currentPriority() {
  PrioritySnapshot s;
  errno = 0;
  s.niceValue = getpriority(PRIO_PROCESS, 0);
  s.policy = sched_getscheduler(0);
  sched_param param{};
  if (sched_getparam(0, &param) == 0) s.schedPriority = param.sched_priority;
  return s;
}

void raisePriority() {
  // Real-time first; an unprivileged process is refused and falls back to the lowest nice value
  // it may take. Both refusals are silent by design.
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) setpriority(PRIO_PROCESS, 0, -20);
}

void restorePriority(const PrioritySnapshot& snapshot) {
  sched_param param{};
  param.sched_priority = snapshot.schedPriority;
  if (snapshot.policy >= 0) sched_setscheduler(0, snapshot.policy, &param);
  setpriority(PRIO_PROCESS, 0, snapshot.niceValue);
}

std::optional<SystemTimes> systemTimes() {
  std::ifstream stat("/proc/stat");
  std::string line;
  if (!stat || !std::getline(stat, line) || line.rfind("cpu ", 0) != 0) return std::nullopt;
  std::istringstream fields(line.substr(4));
  uint64_t user = 0, nice = 0, system = 0, idle = 0;
  if (!(fields >> user >> nice >> system >> idle)) return std::nullopt;
  // /proc/stat counts clock ticks; one tick is 10^7 / CLK_TCK hundreds of nanoseconds.
  const uint64_t unit = 10'000'000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  SystemTimes t;
  t.idle = idle * unit;
  t.kernel = (system + idle) * unit;
  t.user = (user + nice) * unit;
  return t;
}

}  // namespace platform
