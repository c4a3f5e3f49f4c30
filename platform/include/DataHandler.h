// Data handlers: components of type 'dhlr' that read the bytes a data
// reference names. The subtype of a data handler is the data-reference type
// it serves. Built in: 'ptr ' (a PointerDataRefRecord naming memory) and
// 'alis' (an alias record naming a file by its full path). The call
// wrappers below work on any data handler instance.
#pragma once

#include "CFString.h"
#include "Components.h"

constexpr OSType kDataHandlerComponentType = FOUR_CHAR_CODE("dhlr");
constexpr OSType kPointerDataHandlerSubType = FOUR_CHAR_CODE("ptr ");
constexpr OSType kAliasDataHandlerSubType = FOUR_CHAR_CODE("alis");
constexpr OSType rAliasType = FOUR_CHAR_CODE("alis");
constexpr OSType PointerDataHandlerSubType = kPointerDataHandlerSubType;

// Data-handler selectors.
enum : SInt16 {
  kDataHGetDataSelect = 0x02,
  kDataHPutDataSelect = 0x03,
  kDataHFlushDataSelect = 0x04,
  kDataHOpenForWriteSelect = 0x05,
  kDataHCloseForWriteSelect = 0x06,
  kDataHOpenForReadSelect = 0x08,         // ()
  kDataHCloseForReadSelect = 0x09,        // ()
  kDataHSetDataRefSelect = 0x0A,          // (Handle dataRef)
  kDataHGetDataRefSelect = 0x0B,          // (Handle* dataRef)
  kDataHCompareDataRefSelect = 0x0C,      // (Handle dataRef, Boolean* equal)
  kDataHTaskSelect = 0x0D,                // ()
  kDataHScheduleDataSelect = 0x0E,        // (Ptr, SInt32 offset, SInt32 size, RefCon, DataHSchedulePtr, DataHCompleteUPP)
  kDataHFinishDataSelect = 0x0F,          // (Ptr, Boolean cancel)
  kDataHFlushCacheSelect = 0x10,
  kDataHResolveDataRefSelect = 0x11,
  kDataHGetFileSizeSelect = 0x12,         // (SInt32* size)
  kDataHCanUseDataRefSelect = 0x13,       // (Handle dataRef, SInt32* useFlags)
  kDataHPreextendSelect = 0x16,
  kDataHSetFileSizeSelect = 0x17,
  kDataHGetFreeSpaceSelect = 0x18,
  kDataHCreateFileSelect = 0x19,
  kDataHGetPreferredBlockSizeSelect = 0x1A,
  kDataHGetFileNameSelect = 0x25,
  kDataHGetInfoFlagsSelect = 0x2D,
  kDataHScheduleData64Select = 0x2E,      // (Ptr, const wide* offset, SInt32 size, RefCon, DataHSchedulePtr, DataHCompleteUPP)
  kDataHWrite64Select = 0x2F,
  kDataHGetFileSize64Select = 0x30,       // (wide* size)
  kDataHPlaybackHintsSelect = 0x103,
  kDataHPlaybackHints64Select = 0x10E,
  kDataHGetDataRateSelect = 0x110,
  kDataHSetTimeHintsSelect = 0x111,
};

// Use flags of DataHCanUseDataRef and access flags of OpenADataHandler.
enum : SInt32 {
  kDataHCanRead = 1L << 0,
  kDataHSpecialRead = 1L << 1,
  kDataHSpecialReadFile = 1L << 2,
  kDataHCanWrite = 1L << 3,
};

// A reference constant handed back unchanged to a completion routine;
// pointer-sized so that it can carry an address.
typedef intptr_t RefCon;

struct DataHScheduleRecord {
  TimeValue timeNeededBy;
  SInt32 extendedID;
  SInt32 extendedVers;
  Fixed priority;
};
typedef DataHScheduleRecord* DataHSchedulePtr;

// Called when a scheduled read is complete (synchronously, before the read
// call returns, in every data handler here).
typedef void (*DataHCompleteUPP)(Ptr request, RefCon refcon, OSErr err);

// Data reference of the pointer data handler.
struct PointerDataRefRecord {
  void* data;
  Size dataLength;
};

// ---- files and data references -------------------------------------------

// A file named by its full path (a relative path given to FSPathMakeFSSpec
// is completed from the current directory).
struct FSSpec {
  char path[1024];
};
typedef Handle AliasHandle;  // the full path, UTF-8, NUL-terminated

OSErr FSPathMakeFSSpec(const char* path, FSSpec* fileSpec);
// An alias record of the file (minimal or not: the path either way).
OSErr QTNewAlias(const FSSpec* file, AliasHandle* alias, Boolean minimal);

typedef UInt32 QTPathStyle;
constexpr QTPathStyle kQTNativeDefaultPathStyle = ~0u;
constexpr QTPathStyle kQTPOSIXPathStyle = 0;

// An 'alis' data reference for a full path.
OSErr QTNewDataReferenceFromFullPathCFString(CFStringRef path, QTPathStyle style, UInt32 flags, Handle* outDataRef,
                                             OSType* outDataRefType);
// A 'ptr ' data reference for `size` bytes at `data` (not copied).
OSErr NewPointerDataRef(const void* data, Size size, Handle* outDataRef);

// The full path of the file a data handler instance is set to: 'alis'
// handlers only (invalidDataRef otherwise). The caller releases the string.
OSErr QTGetDataHandlerFullPathCFString(ComponentInstance dh, QTPathStyle style, CFStringRef* outPath);

// ---- finding and opening -------------------------------------------------

// The data handler for a data-reference type (the 'dhlr' component of that
// subtype); NULL when there is none.
Component GetDataHandler(Handle dataRef, OSType dataRefType, SInt32 flags);
// Opens the data handler of the type, sets the data reference and, with
// kDataHCanRead in `flags`, opens it for reading. On failure nothing stays
// open and *dh is NULL.
OSErr OpenADataHandler(Handle dataRef, OSType dataRefType, Handle anchorDataRef, OSType anchorDataRefType,
                       void* timeBase, SInt32 flags, ComponentInstance* dh);

// ---- calls -----------------------------------------------------------------

ComponentResult DataHOpenForRead(ComponentInstance dh);
ComponentResult DataHCloseForRead(ComponentInstance dh);
ComponentResult DataHSetDataRef(ComponentInstance dh, Handle dataRef);
ComponentResult DataHGetDataRef(ComponentInstance dh, Handle* dataRef);
ComponentResult DataHCompareDataRef(ComponentInstance dh, Handle dataRef, Boolean* equal);
ComponentResult DataHTask(ComponentInstance dh);
ComponentResult DataHScheduleData(ComponentInstance dh, Ptr placeToPutDataPtr, SInt32 fileOffset, SInt32 dataSize,
                                  RefCon refCon, DataHSchedulePtr scheduleRec, DataHCompleteUPP completionRtn);
ComponentResult DataHScheduleData64(ComponentInstance dh, Ptr placeToPutDataPtr, const wide* fileOffset,
                                    SInt32 dataSize, RefCon refCon, DataHSchedulePtr scheduleRec,
                                    DataHCompleteUPP completionRtn);
ComponentResult DataHFinishData(ComponentInstance dh, Ptr placeToPutDataPtr, Boolean cancel);
ComponentResult DataHGetFileSize(ComponentInstance dh, SInt32* fileSize);
ComponentResult DataHGetFileSize64(ComponentInstance dh, wide* fileSize);
ComponentResult DataHCanUseDataRef(ComponentInstance dh, Handle dataRef, SInt32* useFlags);
