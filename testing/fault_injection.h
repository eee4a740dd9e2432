// Makes any one call through the platform seam fail on demand. Every entry
// of `os` is wrapped with a counter and a failure switch, generically from
// the one list of entries, so a new entry is counted and wrapped with no code
// here; only how it can fail is written per entry (standardFailures()).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

enum SeamEntry {
#define SEAM_ENTRY_ID(result, name, parameters) kSeam_##name,
  PLATFORM_OPERATIONS(SEAM_ENTRY_ID)
#undef SEAM_ENTRY_ID
      kSeamEntryCount
};

const char* seamEntryName(int entry);

// One way an entry can fail: a label and a stand-in with the entry's own
// signature that fails as the host would (result, last error or errno).
template <typename Operation>
struct Failure {
  const char* label;
  Operation fail;
};

// The failures of each entry, by name. An entry left empty must be one of
// those that cannot fail (seamEntryCannotFail).
struct FailureTable {
#define SEAM_FAILURE_LIST(result, name, parameters) std::vector<Failure<decltype(Platform::name)>> name;
  PLATFORM_OPERATIONS(SEAM_FAILURE_LIST)
#undef SEAM_FAILURE_LIST
};

const FailureTable& standardFailures();
size_t failureCount(const FailureTable& table, int entry);
const char* failureLabel(const FailureTable& table, int entry, size_t failure);
bool seamEntryCannotFail(int entry);

// For failures and fakes: the code that GetLastError reports until the next
// call through the seam.
void setInjectedLastError(uint32_t code);
// The operations the wrappers stand in front of, for a failure that does part
// of the real work (a close that fails after closing).
const Platform& seamBase();

// What a failing CreateProcessA leaves in its caller's record: the contract
// says the record must not be used then, and these make a use visible.
extern const Handle kPoisonedHandle;
const uint32_t kPoisonedProcessId = 0x0BADF00Du;

// One call that went through the seam.
struct SeamCall {
  int entry;
  int ordinal;          // the entry's n-th call in this run, from 1
  std::string subject;  // the path, command line, or what a handle, stream or descriptor was opened on
  bool subjectIsPath;   // the subject is a path that the call acts on
  bool failed;          // this call was the injected failure
  bool nullResult;      // it returned a null or invalid handle or stream
  int64_t value;        // what it returned, for an integer result
  uint32_t error;       // for the failed call: the last error or errno it left
};

// Thrown out of the seam when a run goes past its limits (a hang).
struct RunAborted {
  std::string why;
};

// Wraps every entry of `os` around base for its lifetime, and restores `os`
// after. Between begin() and end() it records every call and makes call
// number target (counted from 0) fail with the entry's failure of that index.
class FaultInjector {
 public:
  FaultInjector(const Platform& base, const FailureTable& failures);
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  // target -1 injects nothing: the run counts calls only.
  void begin(int target, size_t failure, size_t callLimit);
  void end();
  const std::vector<SeamCall>& calls() const;
  // Whether the target call was reached and failed.
  bool injected() const;
  // What a handle was opened on; describeHandle answers for handles the
  // seam never returned itself (those of a fake's process record).
  void setHandleDescriber(std::string (*describeHandle)(Handle));

 private:
  Platform saved_;
};
