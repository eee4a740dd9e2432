// The instance directory of start and stop, and the names of its files.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// The size of every buffer that a name of a file under the instance
// directory is composed into, terminator included.
const size_t kFileNameSize = 1024;

// The instance directory named on the command line, as an absolute path of
// at most 259 characters that named an existing directory: a heap string the
// caller releases with free, or null when refused (the reason is logged).
char* resolveInstanceDir(const char* path);

// resolveInstanceDir for start and stop: a refusal is also reported, with
// the argument as typed, in the log and on standard error.
char* getInstanceDirArgument(const char* argument);

// 1 when path is not null and holds no "..", anywhere; else 0.
int isSafePath(const char* path);

// instanceDir followed by suffix into buffer (size bytes, terminator
// included): the one composition of the names of the files under an
// instance directory. 1 when composed; 0 when the directory is unsafe or the
// name does not fit, the buffer then untouched. Logs nothing.
int composeInstanceFileName(const char* instanceDir, const char* suffix, char* buffer, size_t size);

// Opens instanceDir once for the operation under way (a stop, the writing of
// a PID file), until releaseInstanceDir: openInstanceFolder then names its
// folders relative to it. instanceDir must stay valid meanwhile.
void holdInstanceDir(const char* instanceDir);
void releaseInstanceDir();

// The folder folderName ("logs", "locks") of instanceDir, opened relative to
// the held instance directory (else to instanceDir opened for this call) and
// as itself (see openFolderAt), for its files to be named through it: null
// when it cannot be, with its last error in *openError; a link or a file at
// its name is logged as refused.
Handle openInstanceFolder(const char* instanceDir, const char* folderName, uint32_t* openError = nullptr);
