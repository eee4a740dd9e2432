// The stop sequence and the stop subcommand's handler.
#pragma once

// stop: stops the server of the instance directory argv[2]; 0 when it
// counts as stopped, -1 otherwise.
int stopCommand(int argc, char** argv);

// Terminates the process in the PID file, waits for the server lock to be
// released and removes the PID file. 0 when the server counts as stopped,
// -1 otherwise.
int stopServer(const char* instanceDir);

// Probes the lock on the first byte of the server lock file, up to 30 times
// one second apart. 1 when the server counts as stopped; 0 when it still
// held the lock at the last probe, or no lock file name could be composed.
int waitForLockRelease(const char* instanceDir);

// Removes the PID file, trying up to 10 times half a second apart. 1 when
// this call removed it.
int deletePidFile(const char* instanceDir);
