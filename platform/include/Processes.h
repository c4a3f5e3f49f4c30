// Process information: enough to learn the name of a process, in particular
// of the parent of the calling one. Names come from /proc/<pid>/comm, so a
// process can choose the name others see (prctl PR_SET_NAME).
#pragma once

#include <sys/types.h>

#include "MacTypes.h"

struct ProcessSerialNumber {
  UInt32 highLongOfPSN;
  UInt32 lowLongOfPSN;  // the process id
};

// Information record. `processInfoLength` must be set by the caller to the
// size of the record it passes (sizeof(ProcessInfoRec), or the legacy 60 of
// 32-bit builds); `processName`, when not NULL, receives the name as a
// length-prefixed string (Str255). The other fields are filled as far as
// they are known here and zero otherwise.
struct ProcessInfoRec {
  UInt32 processInfoLength;
  StringPtr processName;
  ProcessSerialNumber processNumber;
  UInt32 processType;
  OSType processSignature;
  UInt32 processMode;
  Ptr processLocation;
  UInt32 processSize;
  UInt32 processFreeMem;
  ProcessSerialNumber processLauncher;  // the parent process
  UInt32 processLaunchDate;
  UInt32 processActiveTime;
  void* processAppSpec;
};

constexpr UInt32 kProcessInfoLegacyLength = 60;

// The serial number of process `pid`; procNotFound when it does not exist.
OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn);
// Fills `info` for the process; paramErr for a NULL argument or a length
// other than the two accepted, procNotFound when the process is gone.
OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info);
