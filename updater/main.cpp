// The entry of Update.exe. It takes no command line: the arguments are ignored on purpose.
#include <cstdio>
#include <exception>

#include "updater/startup.h"

int main(int, char**) {
  try {
    return startup::runUpdater();
  } catch (const std::exception& e) {
    // Nothing should throw this far; if something does, end with a line rather than an abort.
    std::fprintf(stderr, "Update.exe: %s\n", e.what());
    return 0;
  }
}
