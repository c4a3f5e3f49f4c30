// The data handler component ('dhlr' / 'MTSI' / 'KELV'): serves the bytes of
// the virtual byte space qt_offset that the movie importer's sample
// references point into, by looking each request up in the shared frame
// index and re-reading and demultiplexing the transport stream.
#pragma once

#include <cstdio>

#include "AC3Decoder.h"
#include "Components.h"
#include "DataHandler.h"
#include "MTS_SharedMemory.h"
#include "MacTypes.h"
#include "TSDemuxer.h"


constexpr OSType kMTSComponentSubType = FOUR_CHAR_CODE("MTSI");
constexpr OSType kMTSManufacturer = FOUR_CHAR_CODE("KELV");
constexpr OSType kAvchdDataRefType = kMTSComponentSubType;  // data-reference type of AvchdDataRef
constexpr ComponentResult kMTSDataHVersion = 0x00010000;

// Bytes the data handler reads from the file at a time (960 source packets).
constexpr int32_t kMTSReadChunkSize = 0x2D000;
// Bytes of PCM one AC-3 frame may decode into.
constexpr int32_t kMTSAC3OutputSize = 0x20000;

// Audio kinds, decided by the first sound frame an instance reads.
enum { kMTSAudioUnknown = 0, kMTSAudioLPCM = 1, kMTSAudioAC3 = 2 };

// Arguments of a read handed to a worker (workerThread); the block is kept
// for every instance.
struct ThreadArgsRecord {
  void* globals;
  Ptr placeToPutDataPtr;
  const wide* fileOffset;
  SInt32 dataSize;
  RefCon refCon;
  void* unused;
  DataHCompleteUPP completionRtn;
};

// What an instance keeps from one read to the next (MTS_DataHandlerRead.cpp):
// its output buffers, the frame made last, and where the demultiplexer and
// the AC-3 decoder stand, so that the read of the sample that follows goes
// on from there instead of starting over at the sample's packet.
struct MTS_DataHReadState;

// One per component instance, zero-filled at Open.
struct MTS_DataHGlobalsRecord {
  ComponentInstance self;
  ComponentInstance target;      // addressee of calls; self until a target call
  ComponentInstance delegate;    // pointer data handler for delegated selectors
  Handle dataRef;                // the caller's handle last given to SetDataRef
  ThreadArgsRecord* threadArgs;
  TSDemuxContext* demux;
  UInt8* pTSbuffer;              // kMTSReadChunkSize bytes
  TSDemuxOutput* pTSInfo;        // status 2 (needs input) at Open
  AC3DecState* ac3Decoder;
  ::ac3decInfo ac3decInfo;      // the AC-3 decoder's input/output record
  SInt64 position;               // file offset of the next byte to demultiplex
  SInt32 audioKind;              // kMTSAudio*
  UInt32 type;                   // kAvchdDataRef*: sound, video, timecode
  FILE* file;                    // the imported file, read-only
  SInt32 frameHint;              // frame-index slot remembered by lookups; -1 after SetDataRef
  UInt32 recordID;
  AvchdDataRecord* pRec;         // NULL until SetDataRef maps the record
  AvchdRecordDirectory* pARec;   // NULL until SetDataRef maps the directory
  MTS_DataHReadState* readState; // made by the first sound or video read
};

// Component entry point: dispatches on the selector of `params`.
ComponentResult MTS_DataHComponentDispatch(ComponentParameters* params, Handle storage);

// Standard component calls.
ComponentResult MTS_DataHOpen(MTS_DataHGlobalsRecord* globals, ComponentInstance self);
ComponentResult MTS_DataHClose(MTS_DataHGlobalsRecord* globals);
ComponentResult MTS_DataHVersion();
ComponentResult MTS_DataHTarget(MTS_DataHGlobalsRecord* globals, ComponentInstance target);
ComponentResult MTS_DataHCanDo(MTS_DataHGlobalsRecord* globals, SInt16 selector);
ComponentResult MTS_DataHRegister();

// Data references.
ComponentResult MTS_DataHSetDataRef(MTS_DataHGlobalsRecord* globals, Handle dataRef);
ComponentResult MTS_DataHGetDataRef(MTS_DataHGlobalsRecord* globals, Handle* dataRef);
ComponentResult MTS_DataHCompareDataRef(MTS_DataHGlobalsRecord* globals, Handle dataRef, Boolean* equal);
ComponentResult MTS_DataHCanUseDataRef(MTS_DataHGlobalsRecord* globals, Handle dataRef, SInt32* useFlags);

// Reads. `fileOffset` is the qt_offset of the first byte wanted. Every read
// completes inside the call; `completionRtn` (when not NULL) is called with
// 0 before a successful return and not at all when the read fails.
ComponentResult MTS_DataHScheduleData64(MTS_DataHGlobalsRecord* globals, Ptr placeToPutDataPtr,
                                        const wide* fileOffset, SInt32 dataSize, RefCon refCon,
                                        DataHSchedulePtr scheduleRec, DataHCompleteUPP completionRtn);
// As above, for an offset of 32 bits read as unsigned.
ComponentResult MTS_DataHScheduleData(MTS_DataHGlobalsRecord* globals, Ptr placeToPutDataPtr,
                                      SInt32 fileOffset, SInt32 dataSize, RefCon refCon,
                                      DataHSchedulePtr scheduleRec, DataHCompleteUPP completionRtn);

// Checks that the record is still mapped whole and that the open file is
// still the one imported (a read that starts anew or serves the frame made
// last checks first; every chunk read from the file is checked after it is
// read): 0, or kMTSErrMap / kMTSErrFileChanged after one report.
ComponentResult MTS_DataHCheckFile(MTS_DataHGlobalsRecord* globals);

// Frees the read state of an instance (at Close).
void MTS_DataHFreeReadState(MTS_DataHGlobalsRecord* globals);

// Restarts the demultiplexer (its buffers are kept): 0, or -23 when none
// exists and a new one cannot be opened.
ComponentResult MTS_DH_StartTSdemuxer(MTS_DataHGlobalsRecord* globals);

// A read run by a worker thread (a pthread start routine): the read of
// MTS_DataHScheduleData64 with the arguments of the ThreadArgsRecord at
// `args` (its `globals` is the instance record). The completion routine, when
// set, is called in every case: with 0 after the request was filled, with the
// read's error otherwise. Nothing else may use the instance while it runs.
// Returns NULL.
void* workerThread(void* args);

// Converts an H.264 byte stream of `len` bytes into NAL units each preceded
// by its 4-byte big-endian length; returns the bytes written (at most twice
// `len`). Only three-byte prefixes 00 00 01 start a unit, so the leading zero
// of a four-byte start code ends the unit before it; whatever precedes the
// opening prefix is skipped, as are units of type 0, 2, 4 and 10 to 31; a
// type-3 prefix is kept inside the running unit.
int MTS_copy_buffer(UInt8* dst, const UInt8* src, int len);

// Frame-index lookups of a data handler instance (its directory and hint).
// Returns 0 with the entry serving `qt_offset`, or kMTSErrNotFound.
int MTS_GetFrameOffset(MTS_DataHGlobalsRecord* instance, AvchdDataRecord* pRec, SInt64 qt_offset,
                       FrameOffsetEntry* outEntry, Boolean* outExact);
// The entry after that one; reports and leaves *outEntry unchanged when there
// is none. Returns 0.
int MTS_GetNextFrameOffset(MTS_DataHGlobalsRecord* instance, AvchdDataRecord* pRec, SInt64 qt_offset,
                           FrameOffsetEntry* outEntry);
