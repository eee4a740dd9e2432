// A sample server for start and stop: given an instance directory, it holds
// the lock on the first byte of <instanceDir>/locks/server.lock until it is
// terminated. With a second argument it lets go after that many
// milliseconds and exits.
#include <cstdio>
#include <cstdlib>

#include "platform/format.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: sample-server <instanceDir> [holdMilliseconds]\n", stderr);
    return 2;
  }
  char name[1024];
  formatText(name, sizeof name, "%s" PATH_SEP "locks", argv[1]);
  os.makeDirectory(name);
  formatText(name, sizeof name, "%s" PATH_SEP "locks" PATH_SEP "server.lock", argv[1]);
  FILE* create = fopen(name, "a");
  if (create != nullptr) fclose(create);
  int fd = os.openReadWrite(name);
  if (fd == -1 || os.lockFirstByte(fd) != 0) {
    printError("sample-server: cannot lock '%s'\n", name);
    return 1;
  }
  long holdMilliseconds = argc > 2 ? strtol(argv[2], nullptr, 10) : -1;
  for (long held = 0; holdMilliseconds < 0 || held < holdMilliseconds; held += 100) os.Sleep(100);
  os.unlockFirstByte(fd);
  os.closeDescriptor(fd);
  return 0;
}
