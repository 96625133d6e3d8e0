// The entry of Update.exe. It takes no command line: the arguments are ignored on purpose.
#include "updater/startup.h"

int main(int, char**) {
  return runUpdater();
}
