// The data handler component: selector dispatch, instance lifetime, the
// standard component calls and the data-reference calls. The reads are in
// MTS_DataHandlerRead.cpp.
#include "MTS_DataHandler.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MTS_Log.h"
#include "MacMemory.h"

namespace {

// What the dispatcher does with a selector.
enum class RowKind {
  kDelegate,       // handed to the pointer data handler
  kUnimplemented,  // badComponentSelector
  kNothing,        // 0, nothing done
  kHandler,        // our own handler
};

struct SelectorRow {
  RowKind kind;
  ProcPtr proc;
  ProcInfoType procInfo;
};

SelectorRow handler(ProcPtr proc, ProcInfoType procInfo) { return {RowKind::kHandler, proc, procInfo}; }

// The dispatch table. Selectors -6..-1, 0..79 and 128..145 have rows; every
// row and selector not named here is delegated.
SelectorRow row_for(SInt16 selector) {
  switch (selector) {
    case kComponentTargetSelect: return handler(ComponentFunctionEntry(MTS_DataHTarget), 0x3F0);
    case kComponentRegisterSelect: return handler(ComponentFunctionEntry(MTS_DataHRegister), 0xF0);
    case kComponentVersionSelect: return handler(ComponentFunctionEntry(MTS_DataHVersion), 0xF0);
    case kComponentCanDoSelect: return handler(ComponentFunctionEntry(MTS_DataHCanDo), 0x2F0);
    case kComponentCloseSelect: return handler(ComponentFunctionEntry(MTS_DataHClose), 0x3F0);
    case kComponentOpenSelect: return handler(ComponentFunctionEntry(MTS_DataHOpen), 0x3F0);
    case kDataHSetDataRefSelect: return handler(ComponentFunctionEntry(MTS_DataHSetDataRef), 0x3F0);
    case kDataHGetDataRefSelect: return handler(ComponentFunctionEntry(MTS_DataHGetDataRef), 0x3F0);
    case kDataHCompareDataRefSelect: return handler(ComponentFunctionEntry(MTS_DataHCompareDataRef), 0xFF0);
    case kDataHScheduleDataSelect: return handler(ComponentFunctionEntry(MTS_DataHScheduleData), 0xFFFF0);
    case kDataHCanUseDataRefSelect: return handler(ComponentFunctionEntry(MTS_DataHCanUseDataRef), 0xFF0);
    case kDataHScheduleData64Select: return handler(ComponentFunctionEntry(MTS_DataHScheduleData64), 0xFFFF0);

    // Open and close for read, task, finish: nothing to do, all reads are
    // synchronous.
    case 8: case 9: case 13: case 15:
      return {RowKind::kNothing, nullptr, 0};

    case 0: case 1: case 7: case 56: case 57: case 63: case 74: case 75: case 76: case 77:
    case 128: case 129: case 130: case 132: case 133: case 134: case 135: case 136: case 137:
    case 138: case 139: case 140: case 141: case 143:
      return {RowKind::kUnimplemented, nullptr, 0};

    default:
      return {RowKind::kDelegate, nullptr, 0};
  }
}

MTS_DataHGlobalsRecord* globals_of(Handle storage) {
  return reinterpret_cast<MTS_DataHGlobalsRecord*>(storage);
}

bool is_data_ref(Handle h) { return h != nullptr && *h != nullptr && GetHandleSize(h) >= Size(sizeof(AvchdDataRef)); }

AvchdDataRef read_data_ref(Handle h) {
  AvchdDataRef ref;
  std::memcpy(&ref, *h, sizeof ref);
  return ref;
}

void close_file(MTS_DataHGlobalsRecord* globals) {
  if (globals->file != nullptr) {
    std::fclose(globals->file);
    globals->file = nullptr;
  }
}

}  // namespace

ComponentResult MTS_DataHComponentDispatch(ComponentParameters* params, Handle storage) {
  if (params == nullptr) return paramErr;
  MTS_DataHGlobalsRecord* globals = globals_of(storage);
  SelectorRow row = row_for(params->what);
  switch (row.kind) {
    case RowKind::kUnimplemented:
      return badComponentSelector;
    case RowKind::kNothing:
      return noErr;
    case RowKind::kHandler:
      if (row.procInfo == 0) return badComponentSelector;
      return CallComponentFunctionWithStorageProcInfo(storage, params, row.proc, row.procInfo);
    case RowKind::kDelegate:
      break;
  }
  // Without a delegate (a failed open) the component manager answers.
  return DelegateComponentCall(params, globals != nullptr ? globals->delegate : nullptr);
}

ComponentResult MTS_DataHOpen(MTS_DataHGlobalsRecord*, ComponentInstance self) {
  MTS_DataHGlobalsRecord* globals =
      reinterpret_cast<MTS_DataHGlobalsRecord*>(NewPtrClear(Size(sizeof(MTS_DataHGlobalsRecord))));
  if (globals == nullptr) {
    OSErr err = MemError();
    MTS_LOG("[ERR]NewPtrClear(sizeof(MTS_DataHGlobalsRecord). err=%d\n", err);
    return err;
  }
  globals->self = self;
  globals->target = self;
  globals->frameHint = -1;
  SetComponentInstanceStorage(self, reinterpret_cast<Handle>(globals));

  // From here on a failure leaves the instance to Close, which the component
  // manager runs after a failed Open: everything is released there, once.
  OSErr err = OpenADefaultComponent(kDataHandlerComponentType, kPointerDataHandlerSubType, &globals->delegate);
  if (err != noErr) {
    MTS_LOG("[ERR]OpenADefaultComponent. err=%d\n", err);
    return err;
  }
  globals->threadArgs = reinterpret_cast<ThreadArgsRecord*>(NewPtrClear(Size(sizeof(ThreadArgsRecord))));
  if (globals->threadArgs == nullptr) {
    err = MemError();
    MTS_LOG("[ERR]NewPtrClear(sizeof(ThreadArgsRecord). err=%d\n", err);
    return err;
  }
  globals->demux = TSOpenDemuxLib();
  if (globals->demux == nullptr) {
    MTS_LOG("[ERR]failed to TSOpenDemuxLib xxxxxxxxxxxxxxx\n");
    MTS_SayOutOfMemory("the data handler's demultiplexer");
    return 1;
  }
  globals->pTSInfo = static_cast<TSDemuxOutput*>(std::calloc(1, sizeof(TSDemuxOutput)));
  if (globals->pTSInfo == nullptr) {
    MTS_LOG("[ERR]failed to malloc pTSInfo xxxxxxxxxxxxxxx\n");
    return memFullErr;
  }
  globals->pTSInfo->status = kTSStatusNeedInput;
  globals->pTSbuffer = static_cast<UInt8*>(std::malloc(kMTSReadChunkSize));
  if (globals->pTSbuffer == nullptr) {
    MTS_LOG("[ERR]failed to malloc pTSbuffer xxxxxxxxxxxxxxx\n");
    return memFullErr;
  }
  globals->ac3Decoder = AC3DecInitLib();  // NULL is kept: AC-3 reads then fail
  std::memset(&globals->ac3decInfo, 0, sizeof globals->ac3decInfo);
  globals->position = 0;
  globals->pARec = nullptr;
  return noErr;
}

ComponentResult MTS_DataHClose(MTS_DataHGlobalsRecord* globals) {
  if (globals == nullptr) return noErr;
  MTS_DataHFreeReadState(globals);
  if (globals->ac3Decoder != nullptr) AC3DecCloseLib(globals->ac3Decoder);
  if (globals->demux != nullptr) TSCloseDemuxLib(globals->demux);
  std::free(globals->pTSInfo);
  std::free(globals->pTSbuffer);
  close_file(globals);
  if (globals->pRec != nullptr) {
    MTS_ReleaseOneAvchdDataRecord(globals->pARec, globals->pRec, SInt32(globals->recordID));
  } else if (globals->pARec != nullptr) {
    MTS_UnmapAvchdRecordDirectory(globals->pARec);  // mapped by a SetDataRef that failed later
  }
  if (globals->delegate != nullptr) CloseComponent(globals->delegate);
  DisposePtr(reinterpret_cast<Ptr>(globals->threadArgs));
  if (globals->self != nullptr) SetComponentInstanceStorage(globals->self, nullptr);
  DisposePtr(reinterpret_cast<Ptr>(globals));
  return noErr;
}

ComponentResult MTS_DataHVersion() { return kMTSDataHVersion; }

ComponentResult MTS_DataHTarget(MTS_DataHGlobalsRecord* globals, ComponentInstance target) {
  if (globals == nullptr) return paramErr;
  globals->target = target;
  return noErr;
}

ComponentResult MTS_DataHCanDo(MTS_DataHGlobalsRecord* globals, SInt16 selector) {
  RowKind kind = row_for(selector).kind;
  if (kind == RowKind::kHandler || kind == RowKind::kNothing) return 1;
  if (globals == nullptr || globals->delegate == nullptr) return 0;
  return CallComponentCanDo(globals->delegate, selector);
}

ComponentResult MTS_DataHRegister() {
  ComponentDescription cd = {kDataHandlerComponentType, kMTSComponentSubType, kMTSManufacturer, 0, 0};
  RegisterComponent(&cd, MTS_DataHComponentDispatch, 0, nullptr, nullptr, nullptr);
  return noErr;
}

ComponentResult MTS_DataHSetDataRef(MTS_DataHGlobalsRecord* globals, Handle dataRef) {
  if (globals == nullptr) return paramErr;
  globals->dataRef = dataRef;
  // Only the first data reference that maps a record counts.
  if (dataRef == nullptr || globals->pARec != nullptr) return noErr;
  if (!is_data_ref(dataRef)) {
    MTS_LOG("[ERR]data reference of %d bytes is no AvchdDataRef\n", int(GetHandleSize(dataRef)));
    return paramErr;
  }
  AvchdDataRef ref = read_data_ref(dataRef);
  globals->type = ref.type;
  globals->recordID = ref.recordID;

  int err = MTS_MapAndLockAvchdRecordDirectory(&globals->pARec, __func__);
  if (err != 0) {
    globals->pARec = nullptr;
    return err;
  }
  err = MTS_GetAvchdDataRecordByID(globals->pARec, &globals->pRec, SInt32(globals->recordID));
  if (err != 0) {
    MTS_LOG("[ERR]failed to MTS_GetAvchdDataRecordByID(store->recordID=%d). err=%d\n",
            SInt32(globals->recordID), err);
    globals->pRec = nullptr;
    MTS_LockUnlock(&globals->pARec->lock);
    return err;
  }
  // The path comes from another process: it must end inside its field.
  const char* path = MTS_RecordPath(globals->pRec);
  if (path == nullptr || std::memchr(path, 0, kMTSPathSize) == nullptr) {
    MTS_LOG("[ERR]unterminated path in AvchdDataRecord(recordID=%d)\n", SInt32(globals->recordID));
    MTS_LockUnlock(&globals->pARec->lock);
    return paramErr;
  }
  // A path another process changed names no file of the import's.
  err = MTS_CheckAvchdDataRecordHeader(globals->pRec, __func__);
  if (err != 0) {
    MTS_LockUnlock(&globals->pARec->lock);
    return err;
  }
  globals->file = std::fopen(path, "r");
  if (globals->file == nullptr) {
    const int error = errno;
    MTS_LOG("[ERR]failed to open(%s). errno=%d\n", path, error);
    MTS_SayOutOfDescriptors(error, "the recording");
    MTS_LockUnlock(&globals->pARec->lock);
    return kMTSErrOpen;
  }
  // A file replaced or rewritten since the import is not read at the old
  // offsets.
  err = MTS_CheckAvchdDataRecordFile(globals->pRec, fileno(globals->file), __func__);
  MTS_LockUnlock(&globals->pARec->lock);
  if (err != 0) {
    close_file(globals);
    return err;
  }
  globals->frameHint = -1;
  return noErr;
}

ComponentResult MTS_DataHCheckFile(MTS_DataHGlobalsRecord* globals) {
  if (globals->file == nullptr || globals->pRec == nullptr) return noErr;
  return MTS_CheckAvchdDataRecordFile(globals->pRec, fileno(globals->file), "MTS_DataHScheduleData64");
}

ComponentResult MTS_DataHGetDataRef(MTS_DataHGlobalsRecord* globals, Handle* dataRef) {
  if (globals == nullptr || dataRef == nullptr) return paramErr;
  *dataRef = globals->dataRef;
  return noErr;
}

ComponentResult MTS_DataHCompareDataRef(MTS_DataHGlobalsRecord* globals, Handle dataRef, Boolean* equal) {
  if (equal == nullptr) return paramErr;
  *equal = kFalse;
  if (globals == nullptr || globals->dataRef == nullptr) return -1;
  // A handle that is no AvchdDataRef equals none.
  if (!is_data_ref(globals->dataRef) || !is_data_ref(dataRef)) return noErr;
  AvchdDataRef kept = read_data_ref(globals->dataRef);
  AvchdDataRef given = read_data_ref(dataRef);
  *equal = kept.recordID == given.recordID && kept.type == given.type ? kTrue : kFalse;
  return noErr;
}

ComponentResult MTS_DataHCanUseDataRef(MTS_DataHGlobalsRecord*, Handle, SInt32* useFlags) {
  if (useFlags == nullptr) return paramErr;
  *useFlags = kDataHCanRead | kDataHSpecialRead;
  return noErr;
}
