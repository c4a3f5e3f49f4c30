#include "DataHandler.h"

#include <exception>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "MacMemory.h"
#include "PlatformInternal.h"

namespace {

enum class Kind { Pointer, File };

// Instance record of the built-in data handlers.
struct BuiltinDataHGlobals {
  ComponentInstance self;
  ComponentInstance target;
  Kind kind;
  Handle dataRef;  // own copy of the data reference
  int fd;          // file handler: open for reading, or -1
};

bool valid_pointer_ref(Handle ref) {
  return ref != nullptr && GetHandleSize(ref) >= Size(sizeof(PointerDataRefRecord));
}

PointerDataRefRecord pointer_ref(Handle ref) {
  PointerDataRefRecord r;
  std::memcpy(&r, *ref, sizeof r);
  return r;
}

// The path an alias record holds, or "" when the handle holds none.
std::string alias_path(Handle ref) {
  if (ref == nullptr) return std::string();
  Size n = GetHandleSize(ref);
  if (MemError() != noErr || n <= 0) return std::string();
  const char* text = *ref;
  size_t length = strnlen(text, size_t(n));
  return std::string(text, length);
}

OSErr open_file(BuiltinDataHGlobals* g) {
  if (g->fd >= 0) return noErr;
  std::string path = alias_path(g->dataRef);
  if (path.empty()) return couldNotResolveDataRef;
  g->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return g->fd >= 0 ? noErr : fnfErr;
}

OSErr source_size(BuiltinDataHGlobals* g, SInt64* size) {
  if (g->dataRef == nullptr) return invalidDataRef;
  if (g->kind == Kind::Pointer) {
    if (!valid_pointer_ref(g->dataRef)) return invalidDataRef;
    *size = pointer_ref(g->dataRef).dataLength;
    return noErr;
  }
  OSErr err = open_file(g);
  if (err != noErr) return err;
  struct stat st;
  if (fstat(g->fd, &st) != 0) return ioErr;
  *size = st.st_size;
  return noErr;
}

OSErr source_read(BuiltinDataHGlobals* g, SInt64 offset, SInt32 size, char* dst) {
  if (size < 0 || offset < 0 || (dst == nullptr && size > 0)) return paramErr;
  SInt64 total = 0;
  OSErr err = source_size(g, &total);
  if (err != noErr) return err;
  if (offset > total || SInt64(size) > total - offset) return eofErr;
  if (size == 0) return noErr;
  if (g->kind == Kind::Pointer) {
    std::memcpy(dst, static_cast<const char*>(pointer_ref(g->dataRef).data) + offset, size_t(size));
    return noErr;
  }
  SInt64 done = 0;
  while (done < size) {
    ssize_t n = pread(g->fd, dst + done, size_t(size - done), off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ioErr;
    if (n == 0) return eofErr;
    done += n;
  }
  return noErr;
}

// ---- handlers ----

ComponentResult DHOpen(BuiltinDataHGlobals*, ComponentInstance self) {
  auto* g = reinterpret_cast<BuiltinDataHGlobals*>(NewPtrClear(sizeof(BuiltinDataHGlobals)));
  if (g == nullptr) return MemError();
  g->self = self;
  g->target = self;
  g->fd = -1;
  ComponentDescription cd;
  GetComponentInfo(self, &cd, nullptr, nullptr, nullptr);
  g->kind = cd.componentSubType == kAliasDataHandlerSubType ? Kind::File : Kind::Pointer;
  SetComponentInstanceStorage(self, reinterpret_cast<Handle>(g));
  return noErr;
}

ComponentResult DHClose(BuiltinDataHGlobals* g, ComponentInstance) {
  if (g == nullptr) return noErr;
  if (g->fd >= 0) ::close(g->fd);
  DisposeHandle(g->dataRef);
  DisposePtr(reinterpret_cast<Ptr>(g));
  return noErr;
}

ComponentResult DHVersion() { return 0x00010000; }

ComponentResult DHTarget(BuiltinDataHGlobals* g, ComponentInstance target) {
  g->target = target;
  return noErr;
}

ComponentResult DHCanDo(BuiltinDataHGlobals*, SInt16 selector);

ComponentResult DHSetDataRef(BuiltinDataHGlobals* g, Handle dataRef) {
  if (dataRef == nullptr) return paramErr;
  Handle copy = dataRef;
  OSErr err = HandToHand(&copy);
  if (err != noErr) return err;
  if (g->fd >= 0) {
    ::close(g->fd);
    g->fd = -1;
  }
  DisposeHandle(g->dataRef);
  g->dataRef = copy;
  return noErr;
}

ComponentResult DHGetDataRef(BuiltinDataHGlobals* g, Handle* dataRef) {
  if (dataRef == nullptr) return paramErr;
  *dataRef = nullptr;
  if (g->dataRef == nullptr) return invalidDataRef;
  Handle copy = g->dataRef;
  OSErr err = HandToHand(&copy);
  if (err == noErr) *dataRef = copy;
  return err;
}

ComponentResult DHCompareDataRef(BuiltinDataHGlobals* g, Handle dataRef, Boolean* equal) {
  if (equal == nullptr) return paramErr;
  *equal = 0;
  if (g->dataRef == nullptr || dataRef == nullptr) return invalidDataRef;
  Size a = GetHandleSize(g->dataRef), b = GetHandleSize(dataRef);
  *equal = a == b && (a == 0 || std::memcmp(*g->dataRef, *dataRef, size_t(a)) == 0);
  return noErr;
}

ComponentResult DHOpenForRead(BuiltinDataHGlobals* g) try {
  if (g->dataRef == nullptr) return invalidDataRef;
  if (g->kind == Kind::Pointer) return valid_pointer_ref(g->dataRef) ? noErr : invalidDataRef;
  return open_file(g);
} catch (const std::exception&) {
  return memFullErr;
}

ComponentResult DHCloseForRead(BuiltinDataHGlobals* g) {
  if (g->fd >= 0) {
    ::close(g->fd);
    g->fd = -1;
  }
  return noErr;
}

ComponentResult DHNothing(BuiltinDataHGlobals*) { return noErr; }

ComponentResult DHScheduleData64(BuiltinDataHGlobals* g, Ptr place, const wide* fileOffset, SInt32 dataSize,
                                 RefCon refCon, DataHSchedulePtr, DataHCompleteUPP completion) try {
  if (fileOffset == nullptr) return paramErr;
  OSErr err = source_read(g, *fileOffset, dataSize, place);
  if (completion != nullptr) completion(place, refCon, err);
  return err;
} catch (const std::exception&) {
  return memFullErr;
}

ComponentResult DHScheduleData(BuiltinDataHGlobals* g, Ptr place, SInt32 fileOffset, SInt32 dataSize, RefCon refCon,
                               DataHSchedulePtr schedule, DataHCompleteUPP completion) {
  wide offset = wide(UInt32(fileOffset));
  return DHScheduleData64(g, place, &offset, dataSize, refCon, schedule, completion);
}

ComponentResult DHFinishData(BuiltinDataHGlobals*, Ptr, Boolean) { return noErr; }

ComponentResult DHGetFileSize64(BuiltinDataHGlobals* g, wide* size) try {
  if (size == nullptr) return paramErr;
  SInt64 total = 0;
  OSErr err = source_size(g, &total);
  *size = err == noErr ? total : 0;
  return err;
} catch (const std::exception&) {
  return memFullErr;
}

ComponentResult DHGetFileSize(BuiltinDataHGlobals* g, SInt32* size) {
  if (size == nullptr) return paramErr;
  wide total = 0;
  OSErr err = DHGetFileSize64(g, &total);
  *size = total > INT32_MAX ? INT32_MAX : SInt32(total);
  return err;
}

ComponentResult DHCanUseDataRef(BuiltinDataHGlobals* g, Handle dataRef, SInt32* useFlags) try {
  if (useFlags == nullptr) return paramErr;
  *useFlags = 0;
  if (g->kind == Kind::Pointer) {
    if (valid_pointer_ref(dataRef)) *useFlags = kDataHCanRead;
  } else {
    std::string path = alias_path(dataRef);
    if (!path.empty() && access(path.c_str(), R_OK) == 0) *useFlags = kDataHCanRead;
  }
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

struct Row {
  SInt16 selector;
  ProcPtr proc;
  ProcInfoType procInfo;
};

const Row kRows[] = {
    {kComponentOpenSelect, ComponentFunctionEntry(DHOpen), 0x3F0},
    {kComponentCloseSelect, ComponentFunctionEntry(DHClose), 0x3F0},
    {kComponentCanDoSelect, ComponentFunctionEntry(DHCanDo), 0x2F0},
    {kComponentVersionSelect, ComponentFunctionEntry(DHVersion), 0xF0},
    {kComponentTargetSelect, ComponentFunctionEntry(DHTarget), 0x3F0},
    {kDataHOpenForReadSelect, ComponentFunctionEntry(DHOpenForRead), 0xF0},
    {kDataHCloseForReadSelect, ComponentFunctionEntry(DHCloseForRead), 0xF0},
    {kDataHSetDataRefSelect, ComponentFunctionEntry(DHSetDataRef), 0x3F0},
    {kDataHGetDataRefSelect, ComponentFunctionEntry(DHGetDataRef), 0x3F0},
    {kDataHCompareDataRefSelect, ComponentFunctionEntry(DHCompareDataRef), 0xFF0},
    {kDataHTaskSelect, ComponentFunctionEntry(DHNothing), 0xF0},
    {kDataHScheduleDataSelect, ComponentFunctionEntry(DHScheduleData), 0xFFFF0},
    {kDataHFinishDataSelect, ComponentFunctionEntry(DHFinishData), 0x3F0 | (1u << 10)},
    {kDataHGetFileSizeSelect, ComponentFunctionEntry(DHGetFileSize), 0x3F0},
    {kDataHCanUseDataRefSelect, ComponentFunctionEntry(DHCanUseDataRef), 0xFF0},
    {kDataHScheduleData64Select, ComponentFunctionEntry(DHScheduleData64), 0xFFFF0},
    {kDataHGetFileSize64Select, ComponentFunctionEntry(DHGetFileSize64), 0x3F0},
};

const Row* find_row(SInt16 selector) {
  for (const Row& row : kRows)
    if (row.selector == selector) return &row;
  return nullptr;
}

ComponentResult DHCanDo(BuiltinDataHGlobals*, SInt16 selector) { return find_row(selector) != nullptr ? 1 : 0; }

ComponentResult BuiltinDataHDispatch(ComponentParameters* params, Handle storage) {
  const Row* row = find_row(params->what);
  if (row == nullptr) return badComponentSelector;
  return CallComponentFunctionWithStorageProcInfo(storage, params, row->proc, row->procInfo);
}

}  // namespace

const std::vector<BuiltinComponent>& BuiltinDataHandlers() {
  static const std::vector<BuiltinComponent> handlers = {
      {{kDataHandlerComponentType, kPointerDataHandlerSubType, FOUR_CHAR_CODE("appl"), 0, 0}, BuiltinDataHDispatch},
      {{kDataHandlerComponentType, kAliasDataHandlerSubType, FOUR_CHAR_CODE("appl"), 0, 0}, BuiltinDataHDispatch},
  };
  return handlers;
}

// ---- files and data references ----

OSErr FSPathMakeFSSpec(const char* path, FSSpec* fileSpec) try {
  if (path == nullptr || fileSpec == nullptr || path[0] == '\0') return paramErr;
  // A relative path is completed from the current directory, so that the
  // record names the same file in any process.
  std::string full = path;
  if (full[0] != '/') {
    char cwd[sizeof fileSpec->path];
    if (getcwd(cwd, sizeof cwd) == nullptr) return fnfErr;
    full = std::string(cwd) + "/" + full;
  }
  if (full.size() >= sizeof fileSpec->path) return paramErr;
  std::memcpy(fileSpec->path, full.c_str(), full.size() + 1);
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

OSErr QTNewAlias(const FSSpec* file, AliasHandle* alias, Boolean) {
  if (file == nullptr || alias == nullptr) return paramErr;
  size_t n = strnlen(file->path, sizeof file->path);
  if (n == 0 || n == sizeof file->path) return paramErr;
  return PtrToHand(file->path, alias, Size(n + 1));
}

OSErr QTNewDataReferenceFromFullPathCFString(CFStringRef path, QTPathStyle, UInt32, Handle* outDataRef,
                                             OSType* outDataRefType) {
  if (path == nullptr || outDataRef == nullptr) return paramErr;
  FSSpec fileSpec;
  OSErr err = FSPathMakeFSSpec(CFStringGetCStringPtr(path, kCFStringEncodingUTF8), &fileSpec);
  if (err == noErr) err = QTNewAlias(&fileSpec, outDataRef, 1);
  if (err == noErr && outDataRefType != nullptr) *outDataRefType = rAliasType;
  return err;
}

OSErr NewPointerDataRef(const void* data, Size size, Handle* outDataRef) {
  if (outDataRef == nullptr || size < 0 || (data == nullptr && size > 0)) return paramErr;
  PointerDataRefRecord record = {const_cast<void*>(data), size};
  return PtrToHand(&record, outDataRef, Size(sizeof record));
}

OSErr QTGetDataHandlerFullPathCFString(ComponentInstance dh, QTPathStyle, CFStringRef* outPath) try {
  if (outPath == nullptr) return paramErr;
  *outPath = nullptr;
  ComponentDescription cd;
  OSErr err = GetComponentInfo(dh, &cd, nullptr, nullptr, nullptr);
  if (err != noErr) return err;
  if (cd.componentSubType != kAliasDataHandlerSubType) return invalidDataRef;
  Handle ref = nullptr;
  err = OSErr(DataHGetDataRef(dh, &ref));
  if (err != noErr) return err;
  std::string path = alias_path(ref);
  DisposeHandle(ref);
  if (path.empty()) return invalidDataRef;
  *outPath = CFStringCreateWithCString(kCFAllocatorDefault, path.c_str(), kCFStringEncodingUTF8);
  return *outPath != nullptr ? noErr : invalidDataRef;
} catch (const std::exception&) {
  return memFullErr;
}

// ---- finding and opening ----

Component GetDataHandler(Handle, OSType dataRefType, SInt32) {
  ComponentDescription want = {kDataHandlerComponentType, dataRefType, 0, 0, 0};
  return FindNextComponent(nullptr, &want);
}

OSErr OpenADataHandler(Handle dataRef, OSType dataRefType, Handle, OSType, void*, SInt32 flags,
                       ComponentInstance* dh) {
  if (dh == nullptr) return paramErr;
  *dh = nullptr;
  Component c = GetDataHandler(dataRef, dataRefType, flags);
  if (c == nullptr) return cantFindHandler;
  ComponentInstance instance = nullptr;
  OSErr err = OpenAComponent(c, &instance);
  if (err != noErr) return err;
  err = OSErr(DataHSetDataRef(instance, dataRef));
  if (err == noErr && (flags & kDataHCanRead) != 0) err = OSErr(DataHOpenForRead(instance));
  if (err != noErr) {
    CloseComponent(instance);
    return err;
  }
  *dh = instance;
  return noErr;
}

// ---- calls ----

ComponentResult DataHOpenForRead(ComponentInstance dh) { return CallComponentSelector(dh, kDataHOpenForReadSelect); }
ComponentResult DataHCloseForRead(ComponentInstance dh) { return CallComponentSelector(dh, kDataHCloseForReadSelect); }
ComponentResult DataHSetDataRef(ComponentInstance dh, Handle dataRef) {
  return CallComponentSelector(dh, kDataHSetDataRefSelect, dataRef);
}
ComponentResult DataHGetDataRef(ComponentInstance dh, Handle* dataRef) {
  return CallComponentSelector(dh, kDataHGetDataRefSelect, dataRef);
}
ComponentResult DataHCompareDataRef(ComponentInstance dh, Handle dataRef, Boolean* equal) {
  return CallComponentSelector(dh, kDataHCompareDataRefSelect, dataRef, equal);
}
ComponentResult DataHTask(ComponentInstance dh) { return CallComponentSelector(dh, kDataHTaskSelect); }
ComponentResult DataHScheduleData(ComponentInstance dh, Ptr placeToPutDataPtr, SInt32 fileOffset, SInt32 dataSize,
                                  RefCon refCon, DataHSchedulePtr scheduleRec, DataHCompleteUPP completionRtn) {
  return CallComponentSelector(dh, kDataHScheduleDataSelect, placeToPutDataPtr, fileOffset, dataSize, refCon,
                               scheduleRec, completionRtn);
}
ComponentResult DataHScheduleData64(ComponentInstance dh, Ptr placeToPutDataPtr, const wide* fileOffset,
                                    SInt32 dataSize, RefCon refCon, DataHSchedulePtr scheduleRec,
                                    DataHCompleteUPP completionRtn) {
  return CallComponentSelector(dh, kDataHScheduleData64Select, placeToPutDataPtr, fileOffset, dataSize, refCon,
                               scheduleRec, completionRtn);
}
ComponentResult DataHFinishData(ComponentInstance dh, Ptr placeToPutDataPtr, Boolean cancel) {
  return CallComponentSelector(dh, kDataHFinishDataSelect, placeToPutDataPtr, cancel);
}
ComponentResult DataHGetFileSize(ComponentInstance dh, SInt32* fileSize) {
  return CallComponentSelector(dh, kDataHGetFileSizeSelect, fileSize);
}
ComponentResult DataHGetFileSize64(ComponentInstance dh, wide* fileSize) {
  return CallComponentSelector(dh, kDataHGetFileSize64Select, fileSize);
}
ComponentResult DataHCanUseDataRef(ComponentInstance dh, Handle dataRef, SInt32* useFlags) {
  return CallComponentSelector(dh, kDataHCanUseDataRefSelect, dataRef, useFlags);
}
