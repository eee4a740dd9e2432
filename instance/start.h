// Handler of the start subcommand.
#pragma once

// start: starts argv[3..] detached as the server of the instance directory
// argv[2] and records its PID; returns the PID, or -1.
int startCommand(int argc, char** argv);
