#include "Processes.h"

#include <exception>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string proc_path(UInt32 pid, const char* leaf) { return "/proc/" + std::to_string(pid) + "/" + leaf; }

bool read_first_line(const std::string& path, std::string* line) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  char buffer[512];
  bool ok = std::fgets(buffer, sizeof buffer, f) != nullptr;
  std::fclose(f);
  if (!ok) return false;
  line->assign(buffer);
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

// Parent id from /proc/<pid>/stat: the field after the state, behind the
// parenthesised command (which may itself contain blanks or parentheses).
UInt32 parent_of(UInt32 pid) {
  std::string stat;
  if (!read_first_line(proc_path(pid, "stat"), &stat)) return 0;
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  char state = 0;
  unsigned ppid = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %u", &state, &ppid) != 2) return 0;
  return ppid;
}

}  // namespace

OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) try {
  if (psn == nullptr || pid <= 0) return paramErr;
  if (access(proc_path(UInt32(pid), "").c_str(), F_OK) != 0) return procNotFound;
  psn->highLongOfPSN = 0;
  psn->lowLongOfPSN = UInt32(pid);
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info) try {
  if (psn == nullptr || info == nullptr) return paramErr;
  if (info->processInfoLength != sizeof(ProcessInfoRec) && info->processInfoLength != kProcessInfoLegacyLength)
    return paramErr;
  UInt32 pid = psn->lowLongOfPSN;
  std::string name;
  if (!read_first_line(proc_path(pid, "comm"), &name)) return procNotFound;
  if (info->processName != nullptr) {
    size_t n = name.size() > 255 ? 255 : name.size();
    info->processName[0] = UInt8(n);
    std::memcpy(info->processName + 1, name.data(), n);
  }
  StringPtr keepName = info->processName;
  UInt32 keepLength = info->processInfoLength;
  std::memset(static_cast<void*>(info), 0, sizeof(ProcessInfoRec));
  info->processInfoLength = keepLength;
  info->processName = keepName;
  info->processNumber = *psn;
  info->processLauncher.lowLongOfPSN = parent_of(pid);
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}
