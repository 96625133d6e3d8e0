// Starts a program that opens the centred 500 x 200 progress window and watches the screen:
// the time from the start of the process to its first drawn frame (the window's background
// colour at the screen centre), optionally the wait for the full bar, then the processor share
// of the process over an unchanging window (process CPU time from /proc).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr unsigned long kBackground = 0x151515;
constexpr unsigned long kBarGreen = 0x00A800;

unsigned long pixelAt(Display* display, int x, int y) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
  if (image == nullptr) return ~0ul;
  unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF;
  XDestroyImage(image);
  return pixel;
}

bool waitForPixel(Display* display, int x, int y, unsigned long colour, double seconds) {
  auto end = clock_type::now() + std::chrono::duration<double>(seconds);
  while (clock_type::now() < end) {
    if (pixelAt(display, x, y) == colour) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return false;
}

long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the parenthesised name: state is field 3, utime 14 and stime 15.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  size_t pos = close + 2;
  while (pos < text.size()) {
    size_t space = text.find(' ', pos);
    if (space == std::string::npos) space = text.size();
    fields.push_back(text.substr(pos, space - pos));
    pos = space + 1;
  }
  if (fields.size() < 13) return -1;
  return std::atol(fields[11].c_str()) + std::atol(fields[12].c_str());
}

// Context switches of every thread of the process: how often its threads went to sleep and woke.
long wakeUps(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  long total = 0;
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        total += std::atol(line.c_str() + line.find(':') + 1);
      }
    }
  }
  closedir(dir);
  return total;
}

int usage(FILE* to, int status) {
  std::fprintf(to,
               "usage: bench_window_watch [--until-complete] [--seconds N] APP_DIR PROGRAM\n"
               "Runs PROGRAM in APP_DIR on $DISPLAY; prints the first frame's delay after the\n"
               "process start, then (after the full bar with --until-complete) the process's\n"
               "processor share over N seconds (default 10) of an unchanging window.\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  bool untilComplete = false;
  double seconds = 10;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) return usage(stdout, 0);
    if (std::strcmp(argv[i], "--until-complete") == 0) {
      untilComplete = true;
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      return usage(stderr, 2);
    }
  }
  if (argc - i != 2) return usage(stderr, 2);
  const char* appDir = argv[i];
  const char* program = argv[i + 1];

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "bench_window_watch: cannot open the display\n");
    return 2;
  }
  const int cx = DisplayWidth(display, DefaultScreen(display)) / 2;
  const int cy = DisplayHeight(display, DefaultScreen(display)) / 2;
  if (pixelAt(display, cx, cy) == kBackground) {
    std::fprintf(stderr, "bench_window_watch: the screen centre already shows the colour\n");
    return 2;
  }

  auto started = clock_type::now();
  pid_t child = fork();
  if (child == 0) {
    if (chdir(appDir) != 0) _exit(127);
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return 2;
  int status = 0;
  bool shown = waitForPixel(display, cx, cy, kBackground, 10);
  auto firstFrame = clock_type::now();
  if (!shown) {
    std::fprintf(stderr, "bench_window_watch: no frame within 10 s\n");
  } else {
    std::printf("first frame %.1f ms after the process start\n",
                std::chrono::duration<double, std::milli>(firstFrame - started).count());
    // The bar's last column, x 429 of the window, turns green only at 100%.
    if (untilComplete && !waitForPixel(display, cx - 250 + 429, cy - 100 + 135, kBarGreen, 60)) {
      std::fprintf(stderr, "bench_window_watch: the bar did not fill within 60 s\n");
      shown = false;
    }
  }
  if (shown) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long before = cpuTicks(child);
    long wakesBefore = wakeUps(child);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    long after = cpuTicks(child);
    long wakesAfter = wakeUps(child);
    std::printf("%s: %.2f%% of one core, %.1f thread wake-ups a second, over %.0f s\n",
                untilComplete ? "after \"Update completed.\"" : "waiting for the server",
                100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / seconds,
                double(wakesAfter - wakesBefore) / seconds, seconds);
  }
  kill(child, SIGTERM);
  waitpid(child, &status, 0);
  XCloseDisplay(display);
  return shown ? 0 : 1;
}
