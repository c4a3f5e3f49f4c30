// The shared-memory record store that connects the movie importer and the data
// handler across processes, and the frame index kept in each record.
//
// A single directory region, "/QORVEXImporterShm", keeps a user count for
// each of at most 1000 record regions "/QORVEXImporterShm%04d", an import
// using one each. Each user has a
// store of its own: the names carry the user id ("-%u"), the regions are
// created 0600 and a region that is not the user's own is never used. A record holds the
// imported file's size and full path and a frame index: an open-addressing
// hash table from the qt_offset of each sample to the file offset of the
// frame's first packet (ts_offset) or, for timecode samples, the frame number.
// The directory carries one spin lock, held for any change to the directory
// and for every read or write of a frame index in any record.
//
// Both regions are a format shared between processes: native byte order,
// packed exactly as laid out below (checked at compile time).
#pragma once

#include "Components.h"
#include "MacTypes.h"
#include "OSSpinLock.h"

#include <cstddef>
#include <cstdint>

struct MTS_DataHGlobalsRecord;

// ---------------------------------------------------------------------------
// Names and limits

#define MTS_SHM_DIRECTORY_NAME "/QORVEXImporterShm"
#define MTS_SHM_RECORD_NAME_FORMAT "/QORVEXImporterShm%04d"
// Appended to both names: the effective user id.
#define MTS_SHM_USER_SUFFIX_FORMAT "-%u"
// Set only by tests: a prefix put in front of every region name (letters,
// digits, '.', '_', '-'; at most 64), so that tests never meet the
// machine's real regions nor each other.
#define MTS_SHM_TEST_PREFIX_VARIABLE "AVCHD_SHM_TEST_PREFIX"

// Builds the name of the directory (`recordID` -1) or of record `recordID`
// for this user. False when it does not fit `size`.
bool MTS_ShmRegionName(char* out, size_t size, int32_t recordID);

enum {
  kMTSRecordCount = 1000,        // record ids 0..999
  kMTSPathSize = 1024,           // bytes of the path field, terminator included
  kMTSDirectorySize = 4008,      // bytes of the directory region
  kMTSRecordHeaderSize = 1044,   // bytes before the first frame-index entry
  kMTSRecordFixedSize = 1064,    // header plus the 20 spare bytes at the end
  kMTSFrameEntrySize = 20
};

// Result codes of the store (the host's names in comments).
enum {
  kMTSErrControl = -17,      // controlErr: frame-index entry without directory
  kMTSErrOpen = -23,         // openErr: a region cannot be opened
  kMTSErrTableFull = -29,    // unitTblFullErr: the frame index is full
  kMTSErrMap = -41,          // mFulErr: a region cannot be mapped
  kMTSErrNoFreeId = -42,     // tmfoErr: all 1000 record ids are in use
  kMTSErrNotFound = -43,     // fnfErr: no directory, or a failed frame lookup
  kMTSErrBusy = -47,         // fBsyErr: a live process kept the store's lock too long
  kMTSErrParam = -50,        // paramErr: bad id, no record, bad contents
  kMTSErrNotYet = -2149,     // notEnoughDataErr: the sample's entry is not in the index yet
  kMTSErrFileChanged = -2000 // couldNotResolveDataRef: the imported file changed on disk
};

// ---------------------------------------------------------------------------
// Layouts shared between processes

// The directory region "/QORVEXImporterShm".
struct AvchdRecordDirectory {
  uint32_t recordsInUse;              // record ids currently claimed
  uint32_t refCount[kMTSRecordCount]; // users of each id; 0 = free
  OSSpinLock lock;                    // the store's one lock; 0 = free
};
static_assert(sizeof(AvchdRecordDirectory) == kMTSDirectorySize, "directory layout");
static_assert(offsetof(AvchdRecordDirectory, refCount) == 4, "directory layout");
static_assert(offsetof(AvchdRecordDirectory, lock) == 4004, "directory layout");

// One frame-index entry. Packed: natural alignment would pad it to 24 bytes.
#pragma pack(push, 4)
struct FrameOffsetEntry {
  int64_t qt_offset;  // the key; -1 marks an empty slot
  int64_t value;      // ts_offset of the frame, or the timecode frame number
  int32_t next;       // slot of the entry added right after; -1 for the last
};
#pragma pack(pop)
static_assert(sizeof(FrameOffsetEntry) == kMTSFrameEntrySize, "frame-index entry layout");
static_assert(offsetof(FrameOffsetEntry, value) == 8, "frame-index entry layout");
static_assert(offsetof(FrameOffsetEntry, next) == 16, "frame-index entry layout");

// The value of the entry that ends the chain of an index an import is still
// filling: its key is where the samples whose entries are written end, so a
// request at or past it is for a sample not there yet. The entry of the
// sample that begins there later takes its slot and its place in the chain.
constexpr int64_t kMTSNotYetValue = INT64_MIN;

// The head of a record region "/QORVEXImporterShm%04d". The region is
// kMTSRecordFixedSize + 20 * capacity bytes: this header, `capacity` entries
// starting at offset 1044 (see MTS_RecordEntries), then 20 spare zero bytes.
#pragma pack(push, 4)
struct AvchdDataRecord {
  int64_t fileSize;          // size of the imported file in bytes
  char path[kMTSPathSize];   // its full path, UTF-8, NUL-terminated
  int32_t capacity;          // number of frame-index entries
  int32_t head;              // slot of the entry added first; -1 when empty
  uint32_t tail;             // slot of the entry added last; 0 when empty
};
#pragma pack(pop)
static_assert(sizeof(AvchdDataRecord) == kMTSRecordHeaderSize, "record layout");
static_assert(offsetof(AvchdDataRecord, path) == 8, "record layout");
static_assert(offsetof(AvchdDataRecord, capacity) == 1032, "record layout");
static_assert(offsetof(AvchdDataRecord, head) == 1036, "record layout");
static_assert(offsetof(AvchdDataRecord, tail) == 1040, "record layout");

// The checks of a record, kept in the 20 spare bytes behind the frame index.
// Every record carries them: a `headerCheck` of 0 (spare bytes zeroed, or
// the region cut and given its size back) is damage like any other.
//
// `fileIdentity` folds the device, inode, modification and change time of the
// imported file when its record was made into one word (0: none recorded).
// With the file size in the header it tells whether the file on disk is
// still the one imported: writing or replacing a file moves its change time,
// which no user can set back.
//
// `headerCheck` covers the file size, the path and `fileIdentity`, so that a
// reader tells a damaged record from a changed recording.
//
// `entryCount` and `entrySum` cover the frame index: the number of entries
// on the chain from `head` and the sum of their check terms
// (MTS_EntryCheckTerm: slot, key and value). Every writer updates them with
// its entries under the store's lock; a reader verifies them once for each
// run of entries it takes in, so an entry changed after it was written is
// found before it is served.
#pragma pack(push, 4)
struct MTS_RecordSeal {
  uint32_t headerCheck;
  uint32_t entryCount;
  uint32_t entrySum;
  uint64_t fileIdentity;
};
#pragma pack(pop)
static_assert(sizeof(MTS_RecordSeal) == kMTSRecordFixedSize - kMTSRecordHeaderSize, "spare bytes");
static_assert(offsetof(MTS_RecordSeal, entryCount) == 4, "spare bytes");
static_assert(offsetof(MTS_RecordSeal, fileIdentity) == 12, "spare bytes");

// A 64-bit mixing function (bijective): each input bit changes about half of
// the output bits.
inline uint64_t MTS_Mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

// The check term of frame-index entry {key, value} at `slot`: a change of
// any one of the three changes it (the mixes are bijective), to a value that
// the other entries' terms do not make up for.
inline uint32_t MTS_EntryCheckTerm(int32_t slot, int64_t key, int64_t value) {
  const uint64_t k = MTS_Mix64(static_cast<uint64_t>(key) + static_cast<uint64_t>(slot) * 0x9E3779B97F4A7C15ull);
  return static_cast<uint32_t>(MTS_Mix64(k ^ static_cast<uint64_t>(value)) >> 32);
}

inline FrameOffsetEntry* MTS_RecordEntries(AvchdDataRecord* record) {
  return reinterpret_cast<FrameOffsetEntry*>(reinterpret_cast<unsigned char*>(record) +
                                             kMTSRecordHeaderSize);
}

// Bytes of a record region whose frame index holds `capacity` entries.
inline size_t MTS_RecordRegionSize(int32_t capacity) {
  return static_cast<size_t>(kMTSRecordFixedSize) +
         static_cast<size_t>(kMTSFrameEntrySize) * static_cast<size_t>(capacity);
}

// The most entries the frame index of a file of `fileSize` bytes can need:
// every sample begins in a packet of its own, a timecode sample goes with
// each video sample, and one end entry. A growing index never grows past it.
inline int32_t MTS_FrameIndexBound(int64_t fileSize) {
  const int64_t packets = fileSize > 0 ? fileSize / 192 : 0;
  const int64_t bound = 2 * packets + 1;
  return bound > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bound);
}

// The data reference through which the host gives a data handler its
// record: an 8-byte handle of data-reference type 'MTSI', native byte order.
// Two data references match when their two fields match.
struct AvchdDataRef {
  uint32_t recordID;  // record id, 0..999
  uint32_t type;      // kind of samples read through it (below)
};
static_assert(sizeof(AvchdDataRef) == 8, "data reference layout");

enum {
  kAvchdDataRefSound = 1,
  kAvchdDataRefVideo = 2,
  kAvchdDataRefTimecode = 3
};

// ---------------------------------------------------------------------------
// Directory and records

// Supplies the full path of the imported file into `path` (room for
// `capacity` bytes, terminator included). Returns 0, or the code to fail with
// after reporting the failure itself.
typedef int (*MTS_RecordPathSource)(void* context, char* path, size_t capacity);

// Maps (creating it when none exists) the directory, claims the lowest free
// record id, creates and maps its record with a frame index of `capacity`
// entries, and stores the file size and the path that `pathSource` gives.
// Every step from the claim on runs under the directory lock. On failure
// nothing stays claimed, mapped or created, and the out values are untouched.
// With `growable` the frame index starts at `capacity` entries and grows
// (MTS_GrowRecordRegion) when the importer's entries need it, up to
// MTS_FrameIndexBound(fileSize): the importer's mapping covers that much
// address space from the start, so it never moves.
int MTS_CreateAvchdDataRecord(uint32_t* outRecordID, AvchdRecordDirectory** outDirectory,
                              AvchdDataRecord** outRecord, int64_t fileSize, int32_t capacity,
                              MTS_RecordPathSource pathSource, void* context, bool growable = false);

// MTS_CreateAvchdDataRecord with the full path of `dataHandler`, the data
// handler the importer opened on the file. Reports name MTS_SetDataHandler.
int MTS_SetDataHandler(UInt32* outRecordID, AvchdRecordDirectory** outDirectory, AvchdDataRecord** outRecord,
                       ComponentInstance dataHandler, SInt64 fileSize, SInt32 capacity, bool growable = false);

// The claiming step on its own: takes the lowest free id, creates and maps its
// record (index empty, every entry byte 0xFF). The caller holds the lock. A
// failure gives the id back. With `limit` above `capacity` the index may grow
// to `limit` entries (MTS_GrowRecordRegion): the mapping covers that much
// address space from the start; else it keeps `capacity` entries.
int MTS_GetOneAvchdDataRecord(AvchdRecordDirectory* pARec, AvchdDataRecord** outRecord,
                              uint32_t* outRecordID, int32_t capacity, int32_t limit = 0);

// Opens and maps the existing directory for a data handler (never creates
// it), waiting until its creator has given it its full size, and takes its
// lock. Reports name `reporter`. On success the caller holds the lock.
int MTS_MapAndLockAvchdRecordDirectory(AvchdRecordDirectory** outDirectory, const char* reporter);

// Unmaps a directory mapping made by this store.
void MTS_UnmapAvchdRecordDirectory(AvchdRecordDirectory* pARec);

// Takes one reference to the claimed record `recordID` and maps it whole.
// The caller holds the lock. A failure takes no reference.
int MTS_GetAvchdDataRecordByID(AvchdRecordDirectory* pARec, AvchdDataRecord** outRecord,
                               int32_t recordID);

// Gives one reference back. The last one unlinks the record, and the
// directory when no record remains, under the lock. The caller's mappings of
// the record and the directory are always unmapped: the caller must not use
// them afterwards. Returns 0, or 1 for bad arguments (nothing changes then).
int MTS_ReleaseOneAvchdDataRecord(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec,
                                  int32_t recordID);

// Number of entries of the frame index as this process last found it (when
// it mapped the record, or at its last MTS_LockAvchdStore); -1 when `pRec`
// is not a record mapping of this store.
int32_t MTS_MappedCapacity(const AvchdDataRecord* pRec);

// The most entries the frame index of mapping `pRec` may grow to in this
// process: more than MTS_MappedCapacity only for the importer's own mapping
// of a growable record; -1 when `pRec` is no record mapping of this store.
int32_t MTS_FrameIndexLimit(const AvchdDataRecord* pRec);

// Makes the region of record mapping `pRec` large enough for `capacity`
// entries (the store's lock held), its new pages taken now so that a full
// /dev/shm fails here, with words naming it, the size needed and the room
// left. The frame index writes the larger table and then its capacity.
// Returns 0, kMTSErrParam (not a growable mapping, or `capacity` past its
// limit) or kMTSErrMap.
int MTS_GrowRecordRegion(const AvchdDataRecord* pRec, int32_t capacity);

// After a failed growth: gives the region of `pRec` its size for
// `capacity` entries back.
void MTS_ShrinkRecordRegion(const AvchdDataRecord* pRec, int32_t capacity);

// The descriptor of the region behind record mapping `pRec` (kept open with
// the mapping) and the mapping's serial number, which no later mapping at
// the same address shares. False when `pRec` is not a record mapping of this
// store.
bool MTS_RecordMapping(const AvchdDataRecord* pRec, int* outFd, uint64_t* outSerial);

// The file size and the path of the imported file as the record held them
// when this process mapped it (kept in this process: another process may
// shrink the region, which makes its bytes unreadable through the mapping).
// -1 and NULL when `pRec` is not a record mapping of this store.
int64_t MTS_RecordFileSize(const AvchdDataRecord* pRec);
const char* MTS_RecordPath(const AvchdDataRecord* pRec);

// The head and tail of a frame index as read together with its capacity
// (`known` false when they could not be read).
struct MTS_IndexEnds {
  bool known = false;
  int32_t head = -1;
  int32_t tail = -1;
};

// Takes the store's lock for a frame-index access to `pRec`, then checks
// that the directory has not shrunk (another process may truncate it; a
// shrunk record shows in short reads and writes of its file). Returns 0 with
// `*outCapacity` the index's capacity now (the importer may have grown it:
// a capacity in the header larger than the one last found is taken when it
// stays within MTS_FrameIndexBound of the file, and a region that does not
// hold it shows in short reads; any other keeps the one last found, and the
// index's checks then fail), `*outRecordFd` the descriptor of the record's
// region, through which the index is read and written, and, when `outEnds`
// is given, the index's head and tail, read in the same call as the
// capacity; or kMTSErrParam (not a mapping of this store), kMTSErrMap (a
// region shrank) or kMTSErrBusy (lock not taken), each reported; the lock is
// then not held.
int MTS_LockAvchdStore(AvchdRecordDirectory* pARec, const AvchdDataRecord* pRec, int32_t* outCapacity,
                       int* outRecordFd, MTS_IndexEnds* outEnds = nullptr);

// Checks that the file open on `fd` is the one the record `pRec` was made
// from (same device, inode, modification and change time, and size), from
// what this process kept of the record. Returns 0, kMTSErrMap or
// kMTSErrFileChanged, reported under `reporter`.
int MTS_CheckAvchdDataRecordFile(const AvchdDataRecord* pRec, int fd, const char* reporter);

// Checks that the header of `pRec` (file size, path, file identity) holds
// what the import wrote, from what this process kept of it. Returns 0,
// kMTSErrMap or kMTSErrFileChanged (the record was damaged), reported under
// `reporter`.
int MTS_CheckAvchdDataRecordHeader(const AvchdDataRecord* pRec, const char* reporter);

// Writes `path` into `out` (room for `size` bytes, terminator included) with
// every byte that is no printable character (controls, broken UTF-8) as \xNN
// and a backslash as \\, so that words quoting a path read back as it is.
void MTS_EscapePath(const char* path, char* out, size_t size);

// The words for a record changed or damaged after its import ("the record
// of this import in the record store (shared memory) was changed or damaged
// after the import: " and `detailFormat`, which says what was found and what
// to do), set for kMTSErrFileChanged; returns kMTSErrFileChanged.
int MTS_SayRecordDamaged(const char* detailFormat, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// Frame index

int MTS_HashTable_Hash(int capacity, long long key);
int MTS_HashTable_ReHash(int capacity, long long slot);

// Adds one entry (key `qt_offset`, value `value`); readers in every process
// see it on return. An existing key keeps its first value. Returns 0,
// kMTSErrControl without directory, kMTSErrTableFull when the index is full,
// kMTSErrParam for a negative key or a record whose links are damaged,
// kMTSErrMap when the region shrank.
int MTS_PutFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset,
                       int64_t value);

// The importer's form: adds the entry to a run kept in this process, which
// is written into the region under one lock when it is full, by
// MTS_WriteFrameOffsets, by the next lookup in this process and when the
// record is released. A process that fills an index it created knows which
// slots are taken, so the run costs no reads. Every write ends the chain
// with an end entry (kMTSNotYetValue) at the key up to which the samples are
// known to be complete: the key of the last entry added, or the end given to
// MTS_WriteFrameOffsets. A lookup at or past it finds no other sample's
// entry but kMTSErrNotYet. Results as MTS_PutFrameOffset; a failure to write
// the run is returned by the call that writes it.
int MTS_AddFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset, int64_t value);

// Writes the run of entries this process holds for `pRec`, so that other
// processes see them; `end` is where the samples added so far end (-1: not
// known beyond the last key added). Returns 0 or the failure of the write.
int MTS_WriteFrameOffsets(AvchdDataRecord* pRec, int64_t end);

// Writes what this process holds of a run for `pRec` and forgets what it
// kept of its index (before the mapping goes).
int MTS_CloseFrameIndex(AvchdDataRecord* pRec);

// Finds the entry that serves `qt_offset`: the entry with that key (exact),
// else the entry whose sample holds it, else the last entry. The index is
// read in large pieces and kept in this process (per mapping): an entry
// never changes once written, and what was added since is read when a key
// is not found and the index's tail has moved.
// `frameHint` is the caller's remembered slot (-1 for none); an exact hit
// updates it. With `wantNext` the entry after the one found is given
// instead. Returns 0, or
// kMTSErrNotFound when the index is empty, damaged or (wantNext) has no next
// entry, or kMTSErrNotYet when the entry found is the end entry of an index
// still being filled; `*outEntry` is written only on success.
int MTS_FindFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int32_t* frameHint,
                        int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                        bool wantNext);

// The same search without locking, on an index of `capacity` entries at
// `record` (which must hold that many). Used under the lock by the calls above.
int MTS_FindFrameOffsetUnlocked(AvchdDataRecord* record, int32_t capacity, int32_t* frameHint,
                                int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                                bool wantNext);
int MTS_PutFrameOffsetUnlocked(AvchdDataRecord* record, int32_t capacity, int64_t qt_offset,
                               int64_t value);
