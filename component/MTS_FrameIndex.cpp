// The frame index of a shared record: an open-addressing hash table with
// linear probing whose entries are also chained in the order of adding.
//
// The index lives in memory that other processes write, and may shrink. The
// store reaches it through the region's file (pread/pwrite under the lock),
// never through the mapping, so a region that another process truncates
// gives an error instead of SIGBUS. Nothing read from it is trusted: the
// capacity used is the one this process mapped, every slot number read back
// is range-checked, and every walk is bounded by the capacity, so damaged
// contents give an error, never a stray access or an endless walk while the
// lock is held.
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

namespace {

constexpr int64_t kEmptyKey = -1;
constexpr int kSingleReadsBeforeTable = 32;

inline bool valid_slot(int64_t slot, int32_t capacity) { return slot >= 0 && slot < capacity; }

// An index in this process's memory: a copy, or a test's region.
struct MemoryIndex {
  AvchdDataRecord* record;
  bool head_tail(int32_t* head, int32_t* tail) {
    *head = record->head;
    *tail = static_cast<int32_t>(record->tail);
    return true;
  }
  bool get(int32_t slot, FrameOffsetEntry* out) {
    *out = MTS_RecordEntries(record)[slot];
    return true;
  }
  bool put(int32_t slot, const FrameOffsetEntry& e) {
    MTS_RecordEntries(record)[slot] = e;
    return true;
  }
  bool link(int32_t slot, int32_t next) {
    MTS_RecordEntries(record)[slot].next = next;
    return true;
  }
  bool set_head_tail(int32_t head, int32_t tail) {
    record->head = head;
    record->tail = static_cast<uint32_t>(tail);
    return true;
  }
};

// An index read and written through its region's file. A walk that reads
// many entries reads the whole table once instead.
struct FileIndex {
  FileIndex(int file, int32_t entries) : fd(file), capacity(entries) {}
  int fd;
  int32_t capacity;
  int reads = 0;
  bool failed = false;  // a read or write fell short: the region shrank
  std::vector<FrameOffsetEntry> table;

  template <class T>
  bool read_at(off_t offset, T* out) {
    failed |= ::pread(fd, out, sizeof *out, offset) != static_cast<ssize_t>(sizeof *out);
    return !failed;
  }
  template <class T>
  bool write_at(off_t offset, const T& v) {
    failed |= ::pwrite(fd, &v, sizeof v, offset) != static_cast<ssize_t>(sizeof v);
    return !failed;
  }
  // Says, once the access is over, that the region shrank under it.
  void report(const char* reporter) const {
    struct stat st;
    if (!failed || ::fstat(fd, &st) != 0) return;
    PrintLog(reporter, __LINE__, "[ERR]shared memory (fd=%d) has %lld bytes, not %zu: not used\n", fd,
             static_cast<long long>(st.st_size), MTS_RecordRegionSize(capacity));
  }
  static off_t entry_offset(int32_t slot) {
    return static_cast<off_t>(kMTSRecordHeaderSize) + static_cast<off_t>(kMTSFrameEntrySize) * slot;
  }
  bool head_tail(int32_t* head, int32_t* tail) {
    int32_t both[2];
    if (!read_at(offsetof(AvchdDataRecord, head), &both)) return false;
    *head = both[0];
    *tail = both[1];
    return true;
  }
  bool get(int32_t slot, FrameOffsetEntry* out) {
    if (table.empty() && ++reads > kSingleReadsBeforeTable) {
      const size_t bytes = static_cast<size_t>(kMTSFrameEntrySize) * static_cast<size_t>(capacity);
      table.resize(static_cast<size_t>(capacity));
      failed |= ::pread(fd, table.data(), bytes, entry_offset(0)) != static_cast<ssize_t>(bytes);
      if (failed) return false;
    }
    if (!table.empty()) {
      *out = table[static_cast<size_t>(slot)];
      return true;
    }
    return read_at(entry_offset(slot), out);
  }
  bool put(int32_t slot, const FrameOffsetEntry& e) { return write_at(entry_offset(slot), e); }
  bool link(int32_t slot, int32_t next) {
    return write_at(entry_offset(slot) + static_cast<off_t>(offsetof(FrameOffsetEntry, next)), next);
  }
  bool set_head_tail(int32_t head, int32_t tail) {
    const int32_t both[2] = {head, tail};
    return write_at(offsetof(AvchdDataRecord, head), both);
  }
};

// The slot holding `key` (its entry in *found), -1 when absent (probing
// stops at the first empty slot, as nothing is ever removed), -2 when the
// index cannot be read.
template <class Index>
int32_t probe_exact(Index& index, int32_t capacity, int64_t key, FrameOffsetEntry* found) {
  int32_t slot = MTS_HashTable_Hash(capacity, key);
  for (int32_t probes = 0; probes < capacity; ++probes) {
    FrameOffsetEntry& e = *found;
    if (!index.get(slot, &e)) return -2;
    if (e.qt_offset == kEmptyKey) return -1;
    if (e.qt_offset == key) return slot;
    slot = MTS_HashTable_ReHash(capacity, slot);
  }
  return -1;
}

// Walks the chain from `head` for the entry e, followed by n, with
// e.key < key < n.key. Returns e's slot and sets *nextSlot to n's; when no
// pair matches, returns the last entry's slot with *nextSlot -1. -2 when the
// chain leaves the table, does not end within `capacity` steps or cannot be
// read.
template <class Index>
int32_t walk_chain(Index& index, int32_t capacity, int32_t head, int64_t key, int32_t* nextSlot) {
  int32_t slot = head;
  FrameOffsetEntry e;
  if (!index.get(slot, &e)) return -2;
  for (int32_t steps = 0; steps < capacity; ++steps) {
    if (e.next == -1) {
      *nextSlot = -1;
      return slot;
    }
    if (!valid_slot(e.next, capacity)) return -2;
    FrameOffsetEntry n;
    if (!index.get(e.next, &n)) return -2;
    if (e.qt_offset < key && key < n.qt_offset) {
      *nextSlot = e.next;
      return slot;
    }
    slot = e.next;
    e = n;
  }
  return -2;  // a loop: more links than slots
}

template <class Index>
int put_entry(Index& index, int32_t capacity, int64_t qt_offset, int64_t value) {
  if (capacity < 1) return kMTSErrTableFull;
  if (qt_offset < 0) return kMTSErrParam;  // -1 is the empty mark; keys are offsets
  int32_t head = -1, tail = -1;
  if (!index.head_tail(&head, &tail)) return kMTSErrMap;
  if (head != -1 && (!valid_slot(head, capacity) || !valid_slot(tail, capacity))) {
    return kMTSErrParam;
  }

  int32_t slot = MTS_HashTable_Hash(capacity, qt_offset);
  for (int32_t probes = 0; probes < capacity; ++probes) {
    FrameOffsetEntry e;
    if (!index.get(slot, &e)) return kMTSErrMap;
    if (e.qt_offset == kEmptyKey) {
      e.qt_offset = qt_offset;
      e.value = value;
      e.next = -1;
      bool written = index.put(slot, e) && (head == -1 || index.link(tail, slot)) &&
                     index.set_head_tail(head == -1 ? slot : head, slot);
      return written ? 0 : kMTSErrMap;
    }
    if (e.qt_offset == qt_offset) return 0;  // the first value stays
    slot = MTS_HashTable_ReHash(capacity, slot);
  }
  return kMTSErrTableFull;
}

template <class Index>
int find_entry(Index& index, int32_t capacity, int32_t* frameHint, int64_t qt_offset, FrameOffsetEntry* outEntry,
               bool* outExact, bool wantNext) {
  *outExact = true;
  if (capacity < 1) return kMTSErrNotFound;

  // Exact hit: the request starts a sample.
  if (qt_offset >= 0) {
    FrameOffsetEntry e;
    int32_t slot = probe_exact(index, capacity, qt_offset, &e);
    if (slot == -2) return kMTSErrNotFound;
    if (slot >= 0) {
      *frameHint = slot;
      if (wantNext && (!valid_slot(e.next, capacity) || !index.get(e.next, &e))) return kMTSErrNotFound;
      *outEntry = e;
      return 0;
    }
  }
  *outExact = false;
  int32_t head = -1, tail = -1;
  if (!index.head_tail(&head, &tail) || !valid_slot(head, capacity)) return kMTSErrNotFound;  // empty or damaged

  // The remembered sample holds the request.
  int32_t hint = *frameHint;
  FrameOffsetEntry h, n;
  if (valid_slot(hint, capacity) && index.get(hint, &h) && h.qt_offset < qt_offset && valid_slot(h.next, capacity) &&
      index.get(h.next, &n) && qt_offset < n.qt_offset) {
    *outEntry = wantNext ? n : h;
    return 0;
  }

  // Walk the chain, which is sorted by key.
  int32_t next = -1;
  int32_t slot = walk_chain(index, capacity, head, qt_offset, &next);
  if (slot < 0 || (wantNext && next < 0)) return kMTSErrNotFound;
  return index.get(wantNext ? next : slot, outEntry) ? 0 : kMTSErrNotFound;
}

}  // namespace

int MTS_HashTable_Hash(int capacity, long long key) {
  if (capacity < 1) return -1;
  return static_cast<int>(key % capacity);
}

int MTS_HashTable_ReHash(int capacity, long long slot) {
  if (capacity < 1) return -1;
  return static_cast<int>((slot + 1) % capacity);
}

int MTS_PutFrameOffsetUnlocked(AvchdDataRecord* record, int32_t capacity, int64_t qt_offset,
                               int64_t value) {
  MemoryIndex index{record};
  return put_entry(index, capacity, qt_offset, value);
}

int MTS_PutFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset,
                       int64_t value) {
  if (pARec == nullptr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset argument error(pARec=NULL)\n");
    return kMTSErrControl;
  }
  int32_t capacity = 0;
  int fd = -1;
  int locked = MTS_LockAvchdStore(pARec, pRec, &capacity, &fd);
  if (locked != 0) return locked;
  FileIndex index(fd, capacity);
  int result = put_entry(index, capacity, qt_offset, value);
  MTS_LockUnlock(&pARec->lock);
  index.report(__func__);
  return result;
}

int MTS_FindFrameOffsetUnlocked(AvchdDataRecord* record, int32_t capacity, int32_t* frameHint,
                                int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                                bool wantNext) {
  MemoryIndex index{record};
  return find_entry(index, capacity, frameHint, qt_offset, outEntry, outExact, wantNext);
}

int MTS_FindFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int32_t* frameHint,
                        int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                        bool wantNext) {
  *outExact = true;
  int32_t capacity = 0;
  int fd = -1;
  if (pARec == nullptr || MTS_LockAvchdStore(pARec, pRec, &capacity, &fd) != 0) return kMTSErrNotFound;
  FileIndex index(fd, capacity);
  int result = find_entry(index, capacity, frameHint, qt_offset, outEntry, outExact, wantNext);
  MTS_LockUnlock(&pARec->lock);
  index.report(__func__);
  return result;
}

int MTS_GetFrameOffset(MTS_DataHGlobalsRecord* instance, AvchdDataRecord* pRec, SInt64 qt_offset,
                       FrameOffsetEntry* outEntry, Boolean* outExact) {
  bool exact = true;
  int result = MTS_FindFrameOffset(instance->pARec, pRec, &instance->frameHint, qt_offset, outEntry, &exact,
                                   false);
  *outExact = exact ? kTrue : kFalse;
  return result;
}

int MTS_GetNextFrameOffset(MTS_DataHGlobalsRecord* instance, AvchdDataRecord* pRec, SInt64 qt_offset,
                           FrameOffsetEntry* outEntry) {
  bool exact = true;
  if (MTS_FindFrameOffset(instance->pARec, pRec, &instance->frameHint, qt_offset, outEntry, &exact, true) != 0) {
    MTS_LOG("[ERR]NO next. pRec=%p, type=%d, qt_offset=%lld\n", static_cast<void*>(pRec),
            static_cast<int>(instance->type), static_cast<long long>(qt_offset));
  }
  return 0;
}
