// main's work: traces the arguments, picks the subcommand's handler and returns its result.
#include "app/launcher.h"

#include <cstdio>
#include <cstring>

#include "child/launch.h"
#include "instance/start.h"
#include "instance/stop.h"
#include "log/log.h"
#include "platform/format.h"

namespace {

struct Subcommand {
  const char* name;
  int (*handler)(int argc, char** argv);
};

// Looked up in this order, by exact match: case matters and no prefix or
// surrounding space is accepted.
const Subcommand kSubcommands[] = {
    {"start", startCommand},
    {"stop", stopCommand},
    {"launch", launchCommand},
    {"run", runCommand},
};

const Subcommand* findSubcommand(const char* name) {
  for (const Subcommand& subcommand : kSubcommands) {
    if (strcmp(subcommand.name, name) == 0) return &subcommand;
  }
  return nullptr;
}

}  // namespace

int runLauncher(int argc, char** argv) {
  logMessage("main called.");
  for (int i = 0; i < argc; i++) logMessage("  argv[%d] = '%s'", i, argv[i]);
  if (argc < 3) {
    const char* kMessage = "Expected command line args of [subcommand], but got %d arguments.\n";
    logError(kMessage, argc - 1);
    printError(kMessage, argc - 1);
    return -1;
  }
  int result = -1;
  const Subcommand* subcommand = findSubcommand(argv[1]);
  if (subcommand != nullptr) {
    result = subcommand->handler(argc, argv);
  } else {
    const char* kMessage = "Unknown subcommand: [%s]\n";
    logError(kMessage, argv[1]);
    printError(kMessage, argv[1]);
  }
  logMessage("main finished. Returning %d", result);
  return result;
}
