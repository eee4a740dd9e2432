// Handlers of the launch and run subcommands.
#pragma once

// launch: starts argv[2..] as a detached child; returns its PID, or -1.
int launchCommand(int argc, char** argv);

// run: starts argv[2..] as a detached child and polls its exit code for
// about 30 seconds; returns the code, 259 if it still runs, or -1.
int runCommand(int argc, char** argv);
