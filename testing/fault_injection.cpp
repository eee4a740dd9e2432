// Wrapping of every platform entry with a call counter and a failure switch,
// and the table of how each entry plausibly fails.
#include "testing/fault_injection.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>
#include <type_traits>

namespace {

// Windows error codes the failures report; the launcher logs them as they are.
const uint32_t kErrorInvalidHandle = 6;
const uint32_t kErrorTooManyOpenFiles = 4;
const uint32_t kErrorDiskFull = 112;
const uint32_t kErrorInsufficientBuffer = 122;
const uint32_t kErrorInvalidName = 123;
const uint32_t kErrorNotEnoughQuota = 1816;
const uint32_t kErrorNotSupported = 50;

const char* const kEntryNames[] = {
#define SEAM_ENTRY_NAME(result, name, parameters) #name,
    PLATFORM_OPERATIONS(SEAM_ENTRY_NAME)
#undef SEAM_ENTRY_NAME
};

char poisonTarget;

Platform base;
uint32_t (*baseLastError)() = nullptr;
const FailureTable* failures = nullptr;
std::string (*describeUnknownHandle)(Handle) = nullptr;

bool lastErrorInjected = false;
uint32_t injectedLastError = 0;

struct RunState {
  bool active = false;
  int target = -1;
  size_t failure = 0;
  size_t callLimit = 0;
  bool injected = false;
  std::vector<SeamCall> calls;
  int ordinals[kSeamEntryCount] = {};
  std::map<Handle, std::string> handles;
  std::map<FILE*, std::string> streams;
  std::map<int, std::string> descriptors;
};
RunState run;

uint32_t lastErrorSeenByTheProduct() { return lastErrorInjected ? injectedLastError : baseLastError(); }

std::string handleSubject(Handle handle) {
  if (describeUnknownHandle != nullptr) {
    std::string text = describeUnknownHandle(handle);
    if (!text.empty()) return text;
  }
  auto found = run.handles.find(handle);
  return found != run.handles.end() ? found->second : "unknown handle";
}

[[maybe_unused]] std::string streamSubject(FILE* stream) {
  auto found = run.streams.find(stream);
  return found != run.streams.end() ? found->second : "unknown stream";
}

std::string descriptorSubject(int fd) {
  auto found = run.descriptors.find(fd);
  return found != run.descriptors.end() ? found->second : "descriptor " + std::to_string(fd);
}

struct Subject {
  std::string text;
  bool isPath = false;
  bool found = false;
};

// The first argument that names what the call acts on.
template <typename T>
void describe(Subject& subject, T value) {
  if (subject.found) return;
  if constexpr (std::is_same_v<T, const char*>) {
    subject = {value != nullptr ? value : "(null)", true, true};
  } else if constexpr (std::is_same_v<T, char*>) {
    subject = {value != nullptr ? value : "(null)", false, true};
  } else if constexpr (std::is_same_v<T, Handle>) {
    subject = {handleSubject(value), false, true};
  } else if constexpr (std::is_same_v<T, FILE*>) {
    subject = {streamSubject(value), false, true};
  }
}

template <typename... A>
Subject subjectOf(A... args) {
  Subject subject;
  if constexpr (sizeof...(A) > 0) {
    // An entry whose first parameter is a plain int takes a descriptor.
    if constexpr (std::is_same_v<std::tuple_element_t<0, std::tuple<A...>>, int>) {
      subject = {descriptorSubject(std::get<0>(std::forward_as_tuple(args...))), false, true};
      return subject;
    }
  }
  // A folder handle and a name in it: the file's path.
  if constexpr (sizeof...(A) >= 2) {
    if constexpr (std::is_same_v<std::tuple_element_t<0, std::tuple<A...>>, Handle> &&
                  std::is_same_v<std::tuple_element_t<1, std::tuple<A...>>, const char*>) {
      auto tuple = std::forward_as_tuple(args...);
      // Without a folder, the name is a path of its own.
      std::string folder = std::get<0>(tuple) != nullptr ? handleSubject(std::get<0>(tuple)) + PATH_SEP : "";
      subject = {folder + std::get<1>(tuple), true, true};
      return subject;
    }
  }
  (describe(subject, args), ...);
  return subject;
}

// Remembers what an opened handle, stream or descriptor stands for.
template <typename R>
void noteResult(R result, const Subject& subject, int entry, size_t index) {
  std::string what = subject.found ? subject.text : std::string(kEntryNames[entry]) + " result";
  SeamCall& call = run.calls[index];
  if constexpr (std::is_same_v<R, Handle>) {
    call.nullResult = result == nullptr || result == kInvalidHandle;
    if (!call.nullResult) run.handles[result] = what;
  } else if constexpr (std::is_same_v<R, FILE*>) {
    call.nullResult = result == nullptr;
    if (result != nullptr) run.streams[result] = what;
  } else if constexpr (std::is_integral_v<R>) {
    call.value = static_cast<int64_t>(result);
    if (std::is_same_v<R, int> && subject.isPath && result > 2) run.descriptors[static_cast<int>(result)] = what;
  }
}

size_t beginCall(int entry, const Subject& subject) {
  if (entry != kSeam_GetLastError) lastErrorInjected = false;
  if (run.calls.size() >= run.callLimit) {
    run.active = false;  // the seam stays usable for whatever the unwinding calls
    throw RunAborted{"more than " + std::to_string(run.callLimit) + " calls through the platform seam"};
  }
  run.calls.push_back({entry, ++run.ordinals[entry], subject.text, subject.isPath, false, false, 0, 0});
  return run.calls.size() - 1;
}

template <int Id, auto Slot, auto List, typename Operation>
struct Thunk;

template <int Id, auto Slot, auto List, typename R, typename... A>
struct Thunk<Id, Slot, List, R (*)(A...)> {
  static R call(A... args) {
    if (!run.active) return (base.*Slot)(args...);
    Subject subject = subjectOf(args...);
    size_t index = beginCall(Id, subject);
    const auto& list = (*failures).*List;
    if (static_cast<int>(index) == run.target && run.failure < list.size()) {
      run.injected = true;
      run.calls[index].failed = true;
      errno = 0;
      if constexpr (std::is_void_v<R>) {
        list[run.failure].fail(args...);
        return;
      } else {
        R result = list[run.failure].fail(args...);
        run.calls[index].error = lastErrorInjected ? injectedLastError : static_cast<uint32_t>(errno);
        noteResult(result, subject, Id, index);
        return result;
      }
    }
    if constexpr (std::is_void_v<R>) {
      (base.*Slot)(args...);
    } else {
      R result = (base.*Slot)(args...);
      noteResult(result, subject, Id, index);
      return result;
    }
  }
};

template <typename T>
T failWith(uint32_t code, T result) {
  setInjectedLastError(code);
  return result;
}

int failErrno(int code) {
  errno = code;
  return -1;
}

// A process record as a failed creation might leave it: not to be used.
int failCreation(ProcessInformation* info, uint32_t code) {
  info->process = kPoisonedHandle;
  info->thread = kPoisonedHandle;
  info->processId = kPoisonedProcessId;
  info->threadId = kPoisonedProcessId;
  return failWith(code, 0);
}

// Each entry fails as its host would: Windows-named entries with their
// failure result and a last error, runtime functions with -1 or null and
// errno. Runtime opens report a sharing violation as EACCES, like access
// denied, so the two are one failure there. Every entry is named, those that
// cannot fail with no failures, so that a new entry left out is a warning.
const FailureTable kStandardFailures = {
    .GetModuleFileNameA =
        {
            {"fails", [](char*, uint32_t) -> uint32_t { return failWith(kErrorAccessDenied, 0); }},
            {"truncated without terminator",
             [](char* buffer, uint32_t size) -> uint32_t {
               memset(buffer, 'x', size);
               return failWith(kErrorInsufficientBuffer, size);
             }},
        },
    .GetFullPathNameA =
        {
            {"invalid name", [](const char*, uint32_t, char*) -> uint32_t { return failWith(kErrorInvalidName, 0); }},
            {"needs a bigger buffer", [](const char*, uint32_t size, char*) -> uint32_t { return size + 40; }},
        },
    .GetFileAttributesA =
        {
            {"not found", [](const char*) { return failWith(kErrorFileNotFound, kInvalidFileAttributes); }},
            {"access denied", [](const char*) { return failWith(kErrorAccessDenied, kInvalidFileAttributes); }},
        },
    .GetTempPathA =
        {
            {"fails", [](uint32_t, char*) -> uint32_t { return failWith(kErrorAccessDenied, 0); }},
            {"needs a bigger buffer", [](uint32_t size, char*) -> uint32_t { return size + 40; }},
        },
    .CloseHandle =
        {
            {"fails after closing",
             [](Handle handle) {
               seamBase().CloseHandle(handle);
               return failWith(kErrorInvalidHandle, 0);
             }},
        },
    .GetCurrentProcessId = {},
    .GetStdHandle =
        {
            {"no handle", [](uint32_t) -> Handle { return nullptr; }},
            {"invalid handle", [](uint32_t) { return failWith(kErrorInvalidHandle, kInvalidHandle); }},
        },
    .SetHandleInformation =
        {
            {"invalid handle", [](Handle, uint32_t, uint32_t) { return failWith(kErrorInvalidHandle, 0); }},
        },
    .CreateProcessA =
        {
            {"not found", [](char*, int, uint32_t, const StartupInfo*, ProcessInformation* info) {
               return failCreation(info, kErrorFileNotFound);
             }},
            {"access denied",
             [](char*, int, uint32_t, const StartupInfo*, ProcessInformation* info) {
               return failCreation(info, kErrorAccessDenied);
             }},
            {"job refusal",
             [](char*, int, uint32_t, const StartupInfo*, ProcessInformation* info) {
               return failCreation(info, kErrorNotEnoughQuota);
             }},
        },
    .GetLastError = {},
    .OpenProcess =
        {
            {"access denied", [](uint32_t, int, uint32_t) -> Handle { return failWith(kErrorAccessDenied, nullptr); }},
            {"no such process", [](uint32_t, int, uint32_t) -> Handle { return failWith(kErrorInvalidParameter, nullptr); }},
        },
    .TerminateProcess =
        {
            {"access denied", [](Handle, uint32_t) { return failWith(kErrorAccessDenied, 0); }},
        },
    .GetExitCodeProcess =
        {
            {"access denied", [](Handle, uint32_t*) { return failWith(kErrorAccessDenied, 0); }},
        },
    .Sleep = {},
    .GetTickCount64 = {},
    .getProcessCreationTime =
        {
            {"unknown", [](Handle, int64_t*) { return -1; }},
        },
    .getFileWriteTime =
        {
            {"unknown", [](int, int64_t*) { return -1; }},
        },
    .getCurrentTime =
        {
            {"fails", []() -> int64_t { return -1; }},
        },
    .toLocalTime =
        {
            {"fails", [](int64_t, struct tm*) { return -1; }},
        },
    .openLog =
        {
            {"path not found", [](Handle, const char*) { return failWith(kErrorPathNotFound, -1); }},
            {"access denied", [](Handle, const char*) { return failWith(kErrorAccessDenied, -1); }},
            {"sharing violation", [](Handle, const char*) { return failWith(kErrorSharingViolation, -1); }},
        },
    .tryLockLog =
        {
            {"held by another run", [](int) -> int { return kLogLockedByARun; }},
            {"held by another program", [](int) -> int { return kLogLockedByAStranger; }},
        },
    .getLogFileInfo =
        {
            {"fails", [](int, LogFileInfo*) { return failWith(kErrorInvalidHandle, -1); }},
        },
    .appendToLog =
        {
            {"disk full", [](int, const char*, uint32_t) { return failWith(kErrorDiskFull, -1); }},
            {"disk full after part of the entry",
             [](int fd, const char* text, uint32_t length) {
               seamBase().appendToLog(fd, text, length / 2);
               return failWith(kErrorDiskFull, -1);
             }},
        },
    .truncateFile =
        {
            {"fails", [](int, uint64_t) { return failWith(kErrorInvalidHandle, -1); }},
        },
    .closeLog =
        {
            {"fails after closing",
             [](int fd) {
               seamBase().closeLog(fd);
               return failWith(kErrorInvalidHandle, -1);
             }},
        },
    .deleteLogOverCap =
        {
            {"sharing violation", [](Handle, const char*, uint32_t) { return failWith(kErrorSharingViolation, 0); }},
            {"access denied", [](Handle, const char*, uint32_t) { return failWith(kErrorAccessDenied, 0); }},
        },
    .isPrivateFolder =
        {
            {"cannot tell", [](Handle) { return failWith(kErrorAccessDenied, 0); }},
        },
    .makeDirectory =
        {
            {"access denied", [](const char*) { return failErrno(EACCES); }},
            {"disk full", [](const char*) { return failErrno(ENOSPC); }},
        },
    .openReadWrite =
        {
            {"not found", [](const char*) { return failErrno(ENOENT); }},
            {"access denied or sharing violation", [](const char*) { return failErrno(EACCES); }},
            {"too many open files", [](const char*) { return failErrno(EMFILE); }},
        },
    .lockFirstByte =
        {
            {"lock violation", [](int) { return failErrno(EACCES); }},
            {"bad descriptor", [](int) { return failErrno(EBADF); }},
        },
    .unlockFirstByte =
        {
            {"fails", [](int) { return failErrno(EBADF); }},
        },
    .probeFirstByteLock =
        {
            {"held", [](int) { return 1; }},
            {"no byte locks there", [](int) { return failErrno(EINVAL); }},
        },
    .closeDescriptor =
        {
            {"fails after closing",
             [](int fd) {
               seamBase().closeDescriptor(fd);
               return failErrno(EIO);
             }},
        },
    .GetProcessId =
        {
            {"cannot tell", [](Handle) { return failWith(kErrorInvalidHandle, 0u); }},
        },
    .getInstanceFileInfo =
        {
            {"fails", [](int, InstanceFileInfo*) { return failWith(kErrorInvalidHandle, -1); }},
        },
    .readText =
        {
            {"read error", [](int, char*, uint32_t) { return failWith(kErrorInvalidHandle, -1); }},
        },
    .writeText =
        {
            {"disk full", [](int, const char*, uint32_t) { return failWith(kErrorDiskFull, -1); }},
            {"disk full after part of the text",
             [](int fd, const char* text, uint32_t length) {
               seamBase().writeText(fd, text, length / 2);
               return failWith(kErrorDiskFull, -1);
             }},
        },
    .openFolder =
        {
            {"not found", [](const char*) { return failWith(kErrorPathNotFound, Handle(nullptr)); }},
            {"a link at the name", [](const char*) { return failWith(kErrorReparsePoint, Handle(nullptr)); }},
            {"access denied", [](const char*) { return failWith(kErrorAccessDenied, Handle(nullptr)); }},
        },
    .openFolderAt =
        {
            {"not found", [](Handle, const char*) { return failWith(kErrorPathNotFound, Handle(nullptr)); }},
            {"a link at the name", [](Handle, const char*) { return failWith(kErrorReparsePoint, Handle(nullptr)); }},
            {"access denied", [](Handle, const char*) { return failWith(kErrorAccessDenied, Handle(nullptr)); }},
        },
    .openFileInFolder =
        {
            {"not found", [](Handle, const char*, int) { return failWith(kErrorFileNotFound, -1); }},
            {"access denied", [](Handle, const char*, int) { return failWith(kErrorAccessDenied, -1); }},
            {"sharing violation", [](Handle, const char*, int) { return failWith(kErrorSharingViolation, -1); }},
            {"too many open files", [](Handle, const char*, int) { return failWith(kErrorTooManyOpenFiles, -1); }},
            {"a link at the name", [](Handle, const char*, int) { return failWith(kErrorReparsePoint, -1); }},
        },
    .fileExistsInFolder =
        {
            {"cannot tell", [](Handle, const char*) { return failWith(kErrorAccessDenied, 0); }},
        },
    .removeFileInFolder =
        {
            {"access denied or sharing violation",
             [](Handle, const char*) { return failWith(kErrorAccessDenied, -1); }},
        },
    .renameInFolder =
        {
            {"access denied or sharing violation",
             [](Handle, const char*, const char*) { return failWith(kErrorAccessDenied, -1); }},
        },
    .listFolder =
        {
            {"access denied",
             [](Handle, void (*)(const char*, void*), void*) { return failWith(kErrorAccessDenied, -1); }},
        },
    .stampFileWriteTime =
        {
            {"access denied", [](int) { return failWith(kErrorAccessDenied, -1); }},
        },
    .getRandomBytes =
        {
            {"no random source", [](void*, uint32_t) { return failWith(kErrorNotSupported, -1); }},
        },
    .isProcessUsingFile =
        {
            // Wine's answer, and a share's that refuses the query.
            {"cannot tell", [](int, uint32_t) { return failWith(kErrorNotSupported, -1); }},
        },
};

}  // namespace

const Handle kPoisonedHandle = &poisonTarget;

const char* seamEntryName(int entry) {
  return entry >= 0 && entry < kSeamEntryCount ? kEntryNames[entry] : "(no entry)";
}

const FailureTable& standardFailures() { return kStandardFailures; }

size_t failureCount(const FailureTable& table, int entry) {
  switch (entry) {
#define SEAM_FAILURE_COUNT(result, name, parameters) \
  case kSeam_##name:                                 \
    return table.name.size();
    PLATFORM_OPERATIONS(SEAM_FAILURE_COUNT)
#undef SEAM_FAILURE_COUNT
  }
  return 0;
}

const char* failureLabel(const FailureTable& table, int entry, size_t failure) {
  switch (entry) {
#define SEAM_FAILURE_LABEL(result, name, parameters) \
  case kSeam_##name:                                 \
    return failure < table.name.size() ? table.name[failure].label : "(none)";
    PLATFORM_OPERATIONS(SEAM_FAILURE_LABEL)
#undef SEAM_FAILURE_LABEL
  }
  return "(none)";
}

bool seamEntryCannotFail(int entry) {
  return entry == kSeam_GetCurrentProcessId || entry == kSeam_GetLastError || entry == kSeam_Sleep ||
         entry == kSeam_GetTickCount64;
}

void setInjectedLastError(uint32_t code) {
  lastErrorInjected = true;
  injectedLastError = code;
}

const Platform& seamBase() { return base; }

FaultInjector::FaultInjector(const Platform& wrapped, const FailureTable& table) : saved_(os) {
  base = wrapped;
  baseLastError = wrapped.GetLastError;
  base.GetLastError = lastErrorSeenByTheProduct;
  failures = &table;
  run = RunState();
#define SEAM_WRAP(result, name, parameters) \
  os.name = Thunk<kSeam_##name, &Platform::name, &FailureTable::name, decltype(Platform::name)>::call;
  PLATFORM_OPERATIONS(SEAM_WRAP)
#undef SEAM_WRAP
}

FaultInjector::~FaultInjector() {
  os = saved_;
  run = RunState();
  describeUnknownHandle = nullptr;
}

void FaultInjector::begin(int target, size_t failure, size_t callLimit) {
  run = RunState();
  run.target = target;
  run.failure = failure;
  run.callLimit = callLimit;
  run.active = true;
  lastErrorInjected = false;
}

void FaultInjector::end() { run.active = false; }

const std::vector<SeamCall>& FaultInjector::calls() const { return run.calls; }

bool FaultInjector::injected() const { return run.injected; }

void FaultInjector::setHandleDescriber(std::string (*describeHandle)(Handle)) {
  describeUnknownHandle = describeHandle;
}
