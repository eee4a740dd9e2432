#pragma once

// The whole command-line interface: traces the arguments, picks the
// subcommand's handler and returns what becomes the exit code.
int runLauncher(int argc, char** argv);
