// The launcher's whole run, from the argument vector to the exit code.
#pragma once

// The whole command-line interface: traces the arguments, picks the
// subcommand's handler and returns what becomes the exit code.
int runLauncher(int argc, char** argv);
