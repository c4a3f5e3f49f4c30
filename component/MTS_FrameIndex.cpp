// The frame index of a shared record: an open-addressing hash table with
// linear probing whose entries are also chained in the order of adding.
//
// The index lives in memory that other processes write, and may shrink. The
// store reaches it through the region's file (pread/pwrite under the lock)
// or lets the kernel copy into its own mapping (process_vm_writev), never
// touching the mapping itself, so a region that another process truncates
// gives an error instead of SIGBUS. Nothing read from it is trusted: the
// capacity used is the one this process mapped, every slot number read back
// is range-checked, and every walk is bounded by the capacity, so damaged
// contents give an error, never a stray access or an endless walk while the
// lock is held.
//
// Costs: the importer, the one writer of its index, knows which slots it has
// taken and writes its entries as runs, each under one lock with one call.
// A reader reads the whole table once and keeps the entries of its chain
// (an entry never changes once written); it reads again only what was added,
// when a key is not found and the index's tail has moved. Every writer keeps
// the count and the sum of the entries' check terms in the record's checks,
// in the same write as its entries; a reader verifies each run it takes in
// against them, so an entry another process changed is answered as damage
// (-2000), never served. No sample costs a system call.
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

constexpr int64_t kEmptyKey = -1;
constexpr int kSingleReadsBeforeTable = 32;

inline bool valid_slot(int64_t slot, int32_t capacity) { return slot >= 0 && slot < capacity; }

// An index in this process's memory: a copy, or a test's region.
struct MemoryIndex {
  AvchdDataRecord* record;
  int32_t capacity;
  unsigned char* seal_words() {
    return reinterpret_cast<unsigned char*>(record) + kMTSRecordHeaderSize + kMTSFrameEntrySize * capacity +
           offsetof(MTS_RecordSeal, entryCount);
  }
  bool seal(uint32_t* countSum) {
    std::memcpy(countSum, seal_words(), 2 * sizeof(uint32_t));
    return true;
  }
  bool set_seal(const uint32_t* countSum) {
    std::memcpy(seal_words(), countSum, 2 * sizeof(uint32_t));
    return true;
  }
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

// An index read and written through its region's file, under the store
// lock. A walk that reads many entries reads the whole table once instead.
// The head and tail are read once (or taken from the lock's read of the
// header) and kept as this process writes them: the lock keeps every other
// writer out.
struct FileIndex {
  FileIndex(int file, int32_t entries, const MTS_IndexEnds* known = nullptr) : fd(file), capacity(entries) {
    if (known != nullptr) ends = *known;
  }
  int fd;
  int32_t capacity;
  int reads = 0;
  bool failed = false;  // a read or write fell short: the region shrank
  std::vector<FrameOffsetEntry> table;
  MTS_IndexEnds ends;

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
    MTS_SetProblem(0,
                   "the frame index of this import (shared memory) was cut short by another process (%lld bytes "
                   "of %zu): import the recording again",
                   static_cast<long long>(st.st_size), MTS_RecordRegionSize(capacity));
  }
  static off_t entry_offset(int32_t slot) {
    return static_cast<off_t>(kMTSRecordHeaderSize) + static_cast<off_t>(kMTSFrameEntrySize) * slot;
  }
  // The entry count and sum of the record's checks.
  off_t seal_offset() const {
    return entry_offset(capacity) + static_cast<off_t>(offsetof(MTS_RecordSeal, entryCount));
  }
  // The header check, the entry count and the entry sum.
  bool checks(uint32_t* three) {
    uint32_t words[3];
    if (!read_at(entry_offset(capacity), &words)) return false;
    std::memcpy(three, words, sizeof words);
    return true;
  }
  bool seal(uint32_t* countSum) {
    uint32_t both[2];
    if (!read_at(seal_offset(), &both)) return false;
    countSum[0] = both[0];
    countSum[1] = both[1];
    return true;
  }
  bool set_seal(const uint32_t* countSum) {
    const uint32_t both[2] = {countSum[0], countSum[1]};
    return write_at(seal_offset(), both);
  }
  bool head_tail(int32_t* head, int32_t* tail) {
    if (failed) return false;
    if (!ends.known) {
      int32_t both[2];
      if (!read_at(offsetof(AvchdDataRecord, head), &both)) return false;
      ends = MTS_IndexEnds{true, both[0], both[1]};
    }
    *head = ends.head;
    *tail = ends.tail;
    return true;
  }
  // The head and tail the region holds after a write made otherwise.
  void written_ends(int32_t head, int32_t tail) { ends = MTS_IndexEnds{true, head, tail}; }
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
    if (!write_at(offsetof(AvchdDataRecord, head), both)) return false;
    written_ends(head, tail);
    return true;
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
    uint32_t seal[2];  // the checks of the index go with every entry written
    if (e.qt_offset == kEmptyKey) {
      e.qt_offset = qt_offset;
      e.value = value;
      e.next = -1;
      if (!index.seal(seal)) return kMTSErrMap;
      seal[0] += 1;
      seal[1] += MTS_EntryCheckTerm(slot, qt_offset, value);
      bool written = index.put(slot, e) && (head == -1 || index.link(tail, slot)) &&
                     index.set_head_tail(head == -1 ? slot : head, slot) && index.set_seal(seal);
      return written ? 0 : kMTSErrMap;
    }
    if (e.qt_offset == qt_offset) {
      // The first value stays; an end entry gets its sample's value.
      if (e.value != kMTSNotYetValue) return 0;
      if (!index.seal(seal)) return kMTSErrMap;
      seal[1] += MTS_EntryCheckTerm(slot, qt_offset, value) - MTS_EntryCheckTerm(slot, qt_offset, e.value);
      e.value = value;
      return index.put(slot, e) && index.set_seal(seal) ? 0 : kMTSErrMap;
    }
    slot = MTS_HashTable_ReHash(capacity, slot);
  }
  return kMTSErrTableFull;
}

// The result of a search that found `e`: the end entry of an index still
// being filled serves no sample.
int found(const FrameOffsetEntry& e, bool wantNext, FrameOffsetEntry* outEntry) {
  if (e.value == kMTSNotYetValue) return wantNext ? kMTSErrNotFound : kMTSErrNotYet;
  *outEntry = e;
  return 0;
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
      return found(e, wantNext, outEntry);
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
    return found(wantNext ? n : h, wantNext, outEntry);
  }

  // Past the entry added last (which ends the chain): no walk needed.
  FrameOffsetEntry t;
  if (!wantNext && valid_slot(tail, capacity) && index.get(tail, &t) && t.next == -1 && t.qt_offset < qt_offset) {
    return found(t, wantNext, outEntry);
  }

  // Walk the chain, which is sorted by key.
  int32_t next = -1;
  int32_t slot = walk_chain(index, capacity, head, qt_offset, &next);
  if (slot < 0 || (wantNext && next < 0)) return kMTSErrNotFound;
  FrameOffsetEntry e;
  return index.get(wantNext ? next : slot, &e) ? found(e, wantNext, outEntry) : kMTSErrNotFound;
}

// An index as this process last took it in: the entries on its chain, with
// the head and tail it had, each run of entries verified against the index's
// checks (count and sum of the entries' terms) when it was taken in. The
// importer only adds entries and gives end entries their values, so what
// was taken in stays true: added entries show as a moved tail, and only the
// end entries kept here are read again. An entry another process changes
// after it was taken in is served as it was written.
struct SnapshotIndex {
  std::unordered_map<int32_t, FrameOffsetEntry> slots;
  std::vector<int32_t> notYet;  // slots of the end entries kept
  int32_t head = -1;
  int32_t tail = -1;
  int32_t capacity = 0;  // of the table taken in: its slots are slots of a table that size
  uint32_t count = 0;  // entries kept, and the sum of their terms
  uint32_t sum = 0;
  bool read = false;  // the table has been read once
  bool head_tail(int32_t* h, int32_t* t) {
    *h = head;
    *t = tail;
    return true;
  }
  bool get(int32_t slot, FrameOffsetEntry* out) {
    auto it = slots.find(slot);
    if (it != slots.end()) {
      *out = it->second;
    } else {
      std::memset(out, 0xFF, sizeof *out);
    }
    return true;
  }
  // Keeps entry `e` at `slot`, in place of the entry kept there before.
  void keep(int32_t slot, const FrameOffsetEntry& e) {
    FrameOffsetEntry& kept = slots[slot];
    if (kept.value == kMTSNotYetValue && e.value != kMTSNotYetValue) {
      auto it = std::find(notYet.begin(), notYet.end(), slot);
      if (it != notYet.end()) notYet.erase(it);
    } else if (e.value == kMTSNotYetValue && kept.value != kMTSNotYetValue) {
      notYet.push_back(slot);
    }
    kept = e;
  }
  // Takes in entry `e` at `slot` of the chain: kept and counted.
  void take(int32_t slot, const FrameOffsetEntry& e) {
    auto it = slots.find(slot);
    if (it != slots.end()) {
      --count;
      sum -= MTS_EntryCheckTerm(slot, it->second.qt_offset, it->second.value);
    }
    ++count;
    sum += MTS_EntryCheckTerm(slot, e.qt_offset, e.value);
    keep(slot, e);
  }
};

constexpr int32_t kTableReadEntries = 65536;  // entries per read of a whole table
constexpr int32_t kEntriesFollowed = 1024;    // added entries read one by one before the table is read again

// How taking an index in ended.
enum class TakenIn { kCurrent, kUnreadable, kDamaged };

// Whether what `snap` took in of `file` agrees with the index's checks and
// ends where the index does. Every record carries its checks: a header
// check of 0 (the check bytes zeroed, or the region cut and given its size
// back) is damage.
TakenIn verify(FileIndex& file, const SnapshotIndex& snap, int32_t tail, int32_t lastSlot) {
  uint32_t checks[3];
  if (!file.checks(checks)) return TakenIn::kUnreadable;
  if (checks[0] == 0) return TakenIn::kDamaged;
  return checks[1] == snap.count && checks[2] == snap.sum && lastSlot == tail ? TakenIn::kCurrent : TakenIn::kDamaged;
}

// Reads the whole table of `file` a piece at a time and hands `keep` the
// used entries, slot and entry (unused ones are all 0xFF, a negative key).
// False when the table cannot be read.
template <class Keep>
bool read_used(FileIndex& file, Keep keep) {
  std::unique_ptr<FrameOffsetEntry[]> piece(new FrameOffsetEntry[static_cast<size_t>(kTableReadEntries)]);
  for (int32_t first = 0; first < file.capacity; first += kTableReadEntries) {
    const int32_t n = std::min(kTableReadEntries, file.capacity - first);
    const size_t bytes = static_cast<size_t>(n) * kMTSFrameEntrySize;
    file.failed |= ::pread(file.fd, piece.get(), bytes, FileIndex::entry_offset(first)) != static_cast<ssize_t>(bytes);
    if (file.failed) return false;
    for (int32_t i = 0; i < n; ++i)
      if (piece[static_cast<size_t>(i)].qt_offset >= 0) keep(first + i, piece[static_cast<size_t>(i)]);
  }
  return true;
}

// Reads the whole table of `file` and takes in the entries of its chain,
// verified, into `snap` (lock held).
TakenIn read_table(FileIndex& file, SnapshotIndex* snap) {
  SnapshotIndex fresh;
  fresh.capacity = file.capacity;
  if (!file.head_tail(&fresh.head, &fresh.tail)) return TakenIn::kUnreadable;
  std::unordered_map<int32_t, FrameOffsetEntry> used;
  if (!read_used(file, [&](int32_t slot, const FrameOffsetEntry& e) { used.emplace(slot, e); })) {
    return TakenIn::kUnreadable;
  }
  int32_t last = 0;  // the region's tail while the index is empty
  for (int32_t slot = fresh.head, steps = 0; slot != -1; ++steps) {
    if (!valid_slot(slot, file.capacity) || steps == file.capacity) return TakenIn::kDamaged;
    const auto found = used.find(slot);
    // A slot on the chain whose entry is unused or has a negative key is damage.
    if (found == used.end() || fresh.slots.count(slot) != 0) return TakenIn::kDamaged;
    const FrameOffsetEntry& e = found->second;
    fresh.take(slot, e);
    last = slot;
    slot = e.next;
  }
  const TakenIn taken = verify(file, fresh, fresh.tail, last);
  if (taken != TakenIn::kCurrent) return taken;
  fresh.read = true;
  *snap = std::move(fresh);
  return TakenIn::kCurrent;
}

// Brings `snap` up to the table of `file` (lock held): the end entries it
// keeps and the entries added behind its tail are read one by one along the
// chain and verified; when the head moved or many were added, the whole
// table is read again.
TakenIn catch_up(FileIndex& file, SnapshotIndex* snap) {
  int32_t head = -1, tail = -1;
  if (!file.head_tail(&head, &tail)) return TakenIn::kUnreadable;
  if (!snap->read || head == -1 || head != snap->head || snap->capacity != file.capacity ||
      !valid_slot(snap->tail, file.capacity)) {
    return read_table(file, snap);
  }
  SnapshotIndex& s = *snap;
  const std::vector<int32_t> ends = s.notYet;
  for (int32_t slot : ends) {
    FrameOffsetEntry e;
    if (!file.read_at(FileIndex::entry_offset(slot), &e)) return TakenIn::kUnreadable;
    if (e.qt_offset != s.slots[slot].qt_offset) return TakenIn::kDamaged;
    s.take(slot, e);
  }
  // The kept tail's link leads to what was added; the rest of it is kept
  // as taken in.
  FrameOffsetEntry t = s.slots[s.tail];
  if (std::find(ends.begin(), ends.end(), s.tail) == ends.end()) {
    if (!file.read_at(FileIndex::entry_offset(s.tail), &t)) return TakenIn::kUnreadable;
    s.slots[s.tail].next = t.next;
  }
  int32_t slot = s.tail;
  for (int32_t steps = 0; t.next != -1; ++steps) {
    if (steps == kEntriesFollowed) return read_table(file, snap);
    slot = t.next;
    if (!valid_slot(slot, file.capacity) || s.slots.count(slot) != 0) return TakenIn::kDamaged;
    if (!file.read_at(FileIndex::entry_offset(slot), &t)) return TakenIn::kUnreadable;
    if (t.qt_offset < 0) return TakenIn::kDamaged;
    s.take(slot, t);
  }
  s.tail = slot;
  return verify(file, s, tail, slot);
}

// What the importer's process knows of a record it fills: the slots taken,
// the largest key added, the head and tail it last wrote, and the entries
// added since then, which are written as one run under one lock. Valid while
// no other process adds to the same index (the head and tail found at the
// write are the ones written last); otherwise the run is added entry by entry
// through the file, and the mapping is filled that way from then on.
//
// The importer's writer (`ending`) ends every write with an end entry at the
// key up to which the samples are known to be complete: the entry of the
// sample that begins there is kept back as that end entry until a later
// write knows where its sample ends, and then takes the end entry's slot.
// Links a new last entry into a chain being built: the entry before it
// points at its slot.
void chain_entry(std::vector<FrameOffsetEntry>& entries, std::vector<int32_t>& slots, int64_t key, int64_t value,
                 int32_t slot) {
  if (!entries.empty()) entries.back().next = slot;
  FrameOffsetEntry e;
  e.qt_offset = key;
  e.value = value;
  e.next = -1;
  entries.push_back(e);
  slots.push_back(slot);
}

// The fill (percent of slots) at which a growable index grows, and to how
// many slots: twice the entries, so that it holds from about half to
// kGrowAtLoad percent, and the region stays under twice what its entries take.
constexpr int kGrowAtLoad = 75;
inline int32_t grown_capacity(int64_t entries, int32_t limit) {
  return static_cast<int32_t>(std::min<int64_t>(limit, 2 * entries));
}

struct Writer {
  AvchdRecordDirectory* pARec = nullptr;
  AvchdDataRecord* pRec = nullptr;
  int32_t capacity = 0;
  int32_t limit = 0;   // the most entries the index may grow to
  bool fixed = false;  // grows no more (another process writes into it)
  std::vector<uint64_t> taken;  // a bit per slot
  int32_t used = 0;             // slots taken
  int64_t maxKey = -1;
  int32_t head = -1;
  uint32_t tail = 0;  // as the region holds it (0 while empty)
  std::vector<int32_t> runSlots;
  std::vector<FrameOffsetEntry> run;
  bool ending = false;
  int64_t knownEnd = -1;  // the samples added end here, as far as known
  int64_t endKey = -1;    // the end entry in the region (-1: none)
  int32_t endSlot = -1;
  bool held = false;      // run.front() is the entry at endKey, written as the end entry
  // The index's checks as this writer last wrote them, and the end entry it
  // wrote last (slot -1: none), whose term they hold.
  uint32_t sealCount = 0;
  uint32_t sealSum = 0;
  int32_t heldSlot = -1;
  int64_t heldKey = -1;
  bool pending = false;   // counted in g_pendingRuns
  // What the next write puts into the region: entries at their slots.
  std::vector<int32_t> outSlots;
  std::vector<FrameOffsetEntry> out;

  bool is_taken(int32_t slot) const { return (taken[static_cast<size_t>(slot) >> 6] >> (slot & 63)) & 1; }
  void take(int32_t slot) {
    taken[static_cast<size_t>(slot) >> 6] |= uint64_t(1) << (slot & 63);
    ++used;
  }
  // True when the index should grow before another key is placed: a new
  // entry and the end entry behind it would fill it past kGrowAtLoad.
  bool needs_growth() const {
    return !fixed && capacity < limit && (static_cast<int64_t>(used) + 2) * 100 > static_cast<int64_t>(capacity) * kGrowAtLoad;
  }
  // Takes the first free slot of `key`'s probe sequence; -1 when full.
  // The probe sequence goes slot by slot (MTS_HashTable_ReHash); the free
  // slot it meets first is found a word of the bitmap at a time, as keys
  // a few bytes apart (time codes) fill runs of neighbouring slots.
  int32_t take_slot(int64_t key) {
    if (used >= capacity) return -1;
    const int32_t home = MTS_HashTable_Hash(capacity, key);
    const size_t words = taken.size();
    size_t w = static_cast<size_t>(home) >> 6;
    uint64_t free = ~taken[w] & (~uint64_t(0) << (home & 63));  // from the home slot on
    for (size_t n = 0; n <= words; ++n) {
      if (free != 0) {
        const int32_t slot = static_cast<int32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(free)));
        if (slot < capacity) {
          take(slot);
          return slot;
        }
      }
      w = w + 1 < words ? w + 1 : 0;  // past the last slot: on from slot 0
      free = ~taken[w];
    }
    return -1;
  }
  // True when the region lacks something this writer knows.
  bool needs_write() const {
    if (!ending) return !run.empty();
    return run.size() > (held ? 1u : 0u) || std::max(knownEnd, maxKey) > endKey;
  }
};

// The frame-index state this process keeps per record mapping.
struct KeptIndex {
  uint64_t serial = 0;  // of the mapping it belongs to
  // Shared by every mapping of the same region in this process: read once
  // for all of them, and kept up by the runs an import here writes.
  std::shared_ptr<SnapshotIndex> snapshot;
  std::unique_ptr<Writer> writer;
  bool slowWrites = false;  // the mapping is filled entry by entry
};

std::mutex g_indexLock;
std::atomic<int> g_pendingRuns{0};  // writers of this process holding entries not yet written
std::unordered_map<const void*, KeptIndex>& kept_indexes() {
  static std::unordered_map<const void*, KeptIndex> m;
  return m;
}

// The snapshot of the region open on `fd`, shared with the other mappings
// of that region in this process (g_indexLock held).
std::shared_ptr<SnapshotIndex> shared_snapshot(int fd) {
  static std::map<std::pair<dev_t, ino_t>, std::weak_ptr<SnapshotIndex>> regions;
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::make_shared<SnapshotIndex>();
  for (auto it = regions.begin(); it != regions.end();) it = it->second.expired() ? regions.erase(it) : std::next(it);
  std::weak_ptr<SnapshotIndex>& kept = regions[{st.st_dev, st.st_ino}];
  std::shared_ptr<SnapshotIndex> snap = kept.lock();
  if (snap == nullptr) {
    snap = std::make_shared<SnapshotIndex>();
    kept = snap;
  }
  return snap;
}

// Writes `bytes` of `local` at the addresses of `remote` in this process's
// own mappings. The kernel does the copy: a page its file no longer reaches
// gives a short count, never SIGBUS. Without that call (refused by the
// system), through the file instead.
bool write_scattered(int fd, const AvchdDataRecord* pRec, const struct iovec* local, int localCount,
                     const struct iovec* remote, int remoteCount) {
  static std::atomic<bool> unavailable{false};
  size_t bytes = 0;
  for (int i = 0; i < remoteCount; ++i) bytes += remote[i].iov_len;
  if (!unavailable.load(std::memory_order_relaxed)) {
    const ssize_t n = ::process_vm_writev(::getpid(), local, static_cast<unsigned long>(localCount), remote,
                                          static_cast<unsigned long>(remoteCount), 0);
    if (n == static_cast<ssize_t>(bytes)) return true;
    if (n >= 0 || (errno != ENOSYS && errno != EPERM)) return false;
    unavailable.store(true, std::memory_order_relaxed);
  }
  // The same bytes through the file: the local pieces as one stream.
  std::vector<unsigned char> stream;
  stream.reserve(bytes);
  for (int i = 0; i < localCount; ++i) {
    const unsigned char* p = static_cast<const unsigned char*>(local[i].iov_base);
    stream.insert(stream.end(), p, p + local[i].iov_len);
  }
  size_t at = 0;
  const unsigned char* base = reinterpret_cast<const unsigned char*>(pRec);
  for (int i = 0; i < remoteCount; ++i) {
    const off_t offset = static_cast<const unsigned char*>(remote[i].iov_base) - base;
    if (::pwrite(fd, stream.data() + at, remote[i].iov_len, offset) != static_cast<ssize_t>(remote[i].iov_len)) {
      return false;
    }
    at += remote[i].iov_len;
  }
  return true;
}

// Counts `w` in g_pendingRuns while the region lacks something it knows.
void update_pending(Writer* w) {
  const bool pending = w->needs_write();
  if (pending == w->pending) return;
  g_pendingRuns.fetch_add(pending ? 1 : -1, std::memory_order_relaxed);
  w->pending = pending;
}

// Plans what the next write of `w` puts into the region: the run, and for
// the importer's writer the end entry behind it.
void plan_write(Writer* w) {
  w->out = w->run;
  w->outSlots = w->runSlots;
  if (!w->ending) return;
  const int64_t end = std::max(w->knownEnd, w->maxKey);
  if (!w->out.empty() && w->out.back().qt_offset == end) {
    w->out.back().value = kMTSNotYetValue;  // where its sample ends is not known yet
    return;
  }
  const int32_t slot = end == w->endKey ? w->endSlot : w->take_slot(end);
  if (slot < 0) {
    w->ending = false;  // no room for it: the index is written without from now on
    return;
  }
  chain_entry(w->out, w->outSlots, end, kMTSNotYetValue, slot);
}

// True when the write of `w` links the entry added last before it to the
// first one it writes (not when it rewrites that entry itself).
bool links_tail(const Writer& w) { return w.head != -1 && static_cast<uint32_t>(w.outSlots.front()) != w.tail; }

// Writes what plan_write planned (store lock held, the record's file on
// `fd`, the index's head and tail as known in `*ends`, which follow the
// write). Returns 0, or kMTSErrMap when the region shrank, or 1 when another
// process has added entries since this one last wrote (nothing written then).
int write_run(Writer* w, int fd, MTS_IndexEnds* ends) {
  FileIndex file(fd, w->capacity, ends);
  int32_t head = -1, tail = -1;
  if (!file.head_tail(&head, &tail)) return kMTSErrMap;
  if (head != w->head || static_cast<uint32_t>(tail) != w->tail) return 1;
  const size_t n = w->out.size();
  // Each entry at its slot, then the link from the entry added before, then
  // head and tail.
  std::vector<struct iovec> remote;
  remote.reserve(n + 3);
  unsigned char* base = reinterpret_cast<unsigned char*>(w->pRec);
  for (size_t i = 0; i < n; ++i) {
    remote.push_back({base + FileIndex::entry_offset(w->outSlots[i]), kMTSFrameEntrySize});
  }
  const int32_t first = w->outSlots.front();
  const int32_t last = w->outSlots.back();
  const bool linked = links_tail(*w);
  if (linked) {
    remote.push_back({base + FileIndex::entry_offset(static_cast<int32_t>(w->tail)) + offsetof(FrameOffsetEntry, next),
                      sizeof(int32_t)});
  }
  int32_t link = first;
  int32_t headTail[2] = {w->head == -1 ? first : w->head, last};
  remote.push_back({base + offsetof(AvchdDataRecord, head), sizeof headTail});
  // The checks: the end entry rewritten gives its term back, every entry
  // written adds its own.
  uint32_t seal[2] = {w->sealCount, w->sealSum};
  bool endRewritten = false;
  for (size_t i = 0; i < n; ++i) {
    if (w->outSlots[i] == w->heldSlot) {
      endRewritten = true;
      seal[0] -= 1;
      seal[1] -= MTS_EntryCheckTerm(w->heldSlot, w->heldKey, kMTSNotYetValue);
    }
    seal[0] += 1;
    seal[1] += MTS_EntryCheckTerm(w->outSlots[i], w->out[i].qt_offset, w->out[i].value);
  }
  remote.push_back({base + file.seal_offset(), sizeof seal});
  struct iovec local[4] = {{w->out.data(), n * kMTSFrameEntrySize},
                           {&link, sizeof link},
                           {headTail, sizeof headTail},
                           {seal, sizeof seal}};
  if (!linked) {
    local[1] = local[2];
    local[2] = local[3];
  }
  if (!write_scattered(fd, w->pRec, local, linked ? 4 : 3, remote.data(), static_cast<int>(remote.size()))) {
    file.failed = true;
    file.report("MTS_PutFrameOffset");
    return kMTSErrMap;
  }
  w->head = headTail[0];
  w->tail = static_cast<uint32_t>(last);
  *ends = MTS_IndexEnds{true, headTail[0], last};
  w->sealCount = seal[0];
  w->sealSum = seal[1];
  if (w->out.back().value == kMTSNotYetValue) {
    w->heldSlot = last;
    w->heldKey = w->out.back().qt_offset;
  } else if (endRewritten) {
    w->heldSlot = -1;
  }
  return 0;
}

// After a write of `w`: what stays of its run is the entry written as the
// end entry, if any.
void settle_run(Writer* w) {
  const bool keep = w->ending && !w->run.empty() && w->out.back().value == kMTSNotYetValue &&
                    w->out.back().qt_offset == w->run.back().qt_offset;
  if (w->ending) {
    w->endKey = w->out.back().qt_offset;
    w->endSlot = w->outSlots.back();
  }
  if (keep) {
    FrameOffsetEntry e = w->run.back();
    e.next = -1;
    w->run.assign(1, e);
    w->runSlots.assign(1, w->endSlot);
  } else {
    w->run.clear();
    w->runSlots.clear();
  }
  w->held = keep;
  update_pending(w);
}

void clear_run(Writer* w) {
  w->run.clear();
  w->runSlots.clear();
  w->held = false;
  w->ending = false;  // the writer is dropped
  update_pending(w);
}

// A region that shrank: what was kept of it is read again (and fails) at the
// next lookup, as every other reader of it would.
void distrust(KeptIndex* k) {
  if (k->snapshot != nullptr) *k->snapshot = SnapshotIndex();
}

// Puts what `w` just wrote into `snap` when it was up to the index before
// (head and tail as the writer found them).
void note_run(SnapshotIndex* snap, const Writer& w, int32_t head, int32_t tail, bool linked, uint32_t count,
              uint32_t sum) {
  if (snap == nullptr || !snap->read || snap->head != head || snap->tail != tail || snap->count != count ||
      snap->sum != sum) {
    return;
  }
  if (linked) {
    FrameOffsetEntry last;
    snap->get(tail, &last);
    last.next = w.outSlots.front();
    snap->keep(tail, last);
  }
  for (size_t i = 0; i < w.out.size(); ++i) snap->take(w.outSlots[i], w.out[i]);
  snap->head = w.head;
  snap->tail = static_cast<int32_t>(w.tail);
}

// Plans the next write of the writer of kept index `k` (g_indexLock held);
// false when the region lacks nothing it knows.
bool plan_flush(KeptIndex* k) {
  Writer* w = k->writer.get();
  if (w == nullptr || !w->needs_write()) return false;
  plan_write(w);
  if (w->out.empty()) {
    update_pending(w);
    return false;
  }
  return true;
}

// Writes what plan_flush planned, under the store lock (the index's
// capacity, file and head and tail as the lock found them; `*ends` follows
// the write). When another process has written into the index, the run's
// entries are added one by one through the file instead, and `*stale` says
// so.
int flush_locked(KeptIndex* k, int32_t capacity, int fd, MTS_IndexEnds* ends, bool* stale) {
  Writer* w = k->writer.get();
  const int32_t head = w->head;
  const int32_t tail = static_cast<int32_t>(w->tail);
  const bool linked = links_tail(*w);
  const uint32_t count = w->sealCount, sum = w->sealSum;
  int result = write_run(w, fd, ends);
  *stale = result == 1;
  if (result == 0) note_run(k->snapshot.get(), *w, head, tail, linked, count, sum);
  if (*stale) {
    FileIndex file(fd, capacity, ends);
    result = 0;
    for (const FrameOffsetEntry& e : w->run) {
      int r = put_entry(file, capacity, e.qt_offset, e.value);
      if (result == 0) result = r;
    }
    file.report("MTS_PutFrameOffset");
  }
  return result;
}

// After a flush (the store lock released): the run settled, or, when it
// failed or another process writes into the index, the writer dropped and
// the mapping filled entry by entry from then on.
int end_flush(KeptIndex* k, int result, bool stale) {
  Writer* w = k->writer.get();
  if (result == 0 && !stale) {
    settle_run(w);
    return 0;
  }
  clear_run(w);
  if (result == kMTSErrMap) distrust(k);
  k->writer.reset();
  k->slowWrites = true;
  return result;
}

// Runs `work` under the store lock the caller took on `pARec`: memory that
// runs out inside releases the lock before the failure goes on, so that the
// caller's caller can still give its regions back.
template <class Work>
auto under_lock(AvchdRecordDirectory* pARec, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (...) {
    MTS_LockUnlock(&pARec->lock);
    throw;
  }
}

// The store as the writer of a kept index found it under the lock.
struct LockedStore {
  int32_t capacity = 0;
  int fd = -1;
  MTS_IndexEnds ends;
};

// Takes the store lock for the writer of kept index `k` and, when
// `planned` (plan_flush said so), writes its run under it (g_indexLock
// held). Returns the write's result and `*stale` (flush_locked); the lock
// stays held only when it was taken and the run, if any, went in as
// planned (0, not stale): the caller then goes on under the same hold and
// releases it. Otherwise it is released here. Either way the caller ends
// the run with end_flush after releasing the lock.
int lock_and_flush(KeptIndex* k, bool planned, LockedStore* s, bool* stale) {
  Writer* w = k->writer.get();
  *stale = false;
  int result = MTS_LockAvchdStore(w->pARec, w->pRec, &s->capacity, &s->fd, &s->ends);
  if (result != 0 || !planned) return result;
  result = under_lock(w->pARec, [&] { return flush_locked(k, s->capacity, s->fd, &s->ends, stale); });
  if (result != 0 || *stale) MTS_LockUnlock(&w->pARec->lock);
  return result;
}

// Writes what kept index `k` holds of a run (g_indexLock held).
int flush_run(KeptIndex* k) {
  if (!plan_flush(k)) return 0;
  LockedStore s;
  bool stale = false;
  int result = lock_and_flush(k, true, &s, &stale);
  if (result == 0 && !stale) MTS_LockUnlock(&k->writer->pARec->lock);
  return end_flush(k, result, stale);
}

// Forgets a kept index whose mapping is gone (g_indexLock held).
void forget(KeptIndex* k) {
  if (k->writer != nullptr) clear_run(k->writer.get());
  *k = KeptIndex();
}

// The state kept for record mapping `pRec` (g_indexLock held), made afresh
// for a new mapping at that address; NULL when `pRec` is no record mapping
// of this store. `*fd` receives the region's descriptor.
KeptIndex* kept_index(const AvchdDataRecord* pRec, int* fd) {
  uint64_t serial = 0;
  if (!MTS_RecordMapping(pRec, fd, &serial)) return nullptr;
  KeptIndex& k = kept_indexes()[pRec];
  if (k.serial != serial) {
    forget(&k);
    k.serial = serial;
    k.snapshot = shared_snapshot(*fd);
  }
  return &k;
}

void flush_all_runs() {
  if (g_pendingRuns.load(std::memory_order_relaxed) == 0) return;
  for (auto& it : kept_indexes()) {
    int fd = -1;
    uint64_t serial = 0;
    if (MTS_RecordMapping(static_cast<const AvchdDataRecord*>(it.first), &fd, &serial) && serial == it.second.serial) {
      flush_run(&it.second);
    } else {
      forget(&it.second);
    }
  }
}

// The writer of `pRec` in this process, made at its first entry when the
// index is still empty (`ending`: the importer's writer); NULL when the
// mapping is filled entry by entry.
Writer* writer_of(KeptIndex* k, AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, bool ending) {
  if (k->writer != nullptr || k->slowWrites) return k->writer.get();
  int32_t capacity = 0;
  int fd = -1;
  MTS_IndexEnds ends;
  if (MTS_LockAvchdStore(pARec, pRec, &capacity, &fd, &ends) != 0) return nullptr;
  FileIndex file(fd, capacity, &ends);
  int32_t head = -1, tail = -1;
  const bool empty = file.head_tail(&head, &tail) && head == -1;
  MTS_LockUnlock(&pARec->lock);
  k->slowWrites = !empty;
  if (!empty) return nullptr;
  auto w = std::make_unique<Writer>();
  w->pARec = pARec;
  w->pRec = pRec;
  w->capacity = capacity;
  w->limit = std::max(capacity, MTS_FrameIndexLimit(pRec));
  w->taken.assign((static_cast<size_t>(capacity) + 63) / 64, 0);
  w->tail = static_cast<uint32_t>(tail);
  w->ending = ending;
  k->writer = std::move(w);
  return k->writer.get();
}

int report_damaged_index(int fd);

// Reads the entries of the index on `file` into `chain` in the order of
// their keys, when that is the order of its chain (an import adds its samples
// in the order of their keys): the table a piece at a time, keeping its used
// entries, and the links, head, tail and checks verified as read_table
// verifies them; the record's checks as read into `*seal`. kDamaged also
// when the chain has another order.
TakenIn read_sorted_chain(FileIndex& file, std::vector<FrameOffsetEntry>* chain, MTS_RecordSeal* seal) {
  int32_t head = -1, tail = -1;
  if (!file.head_tail(&head, &tail)) return TakenIn::kUnreadable;
  struct Used {
    int32_t slot;
    FrameOffsetEntry e;
  };
  std::vector<Used> used;
  if (!read_used(file, [&](int32_t slot, const FrameOffsetEntry& e) { used.push_back({slot, e}); })) {
    return TakenIn::kUnreadable;
  }
  std::sort(used.begin(), used.end(), [](const Used& a, const Used& b) { return a.e.qt_offset < b.e.qt_offset; });
  uint32_t sum = 0;
  for (size_t i = 0; i < used.size(); ++i) {
    const bool linked = used[i].e.next == (i + 1 < used.size() ? used[i + 1].slot : -1) &&
                        (i + 1 == used.size() || used[i].e.qt_offset < used[i + 1].e.qt_offset);
    if (!linked) return TakenIn::kDamaged;
    sum += MTS_EntryCheckTerm(used[i].slot, used[i].e.qt_offset, used[i].e.value);
  }
  if (!file.read_at(FileIndex::entry_offset(file.capacity), seal)) return TakenIn::kUnreadable;
  const bool ends = used.empty() ? head == -1 : head == used.front().slot && tail == used.back().slot;
  if (seal->headerCheck == 0 || seal->entryCount != used.size() || seal->entrySum != sum || !ends) {
    return TakenIn::kDamaged;
  }
  chain->resize(used.size());
  for (size_t i = 0; i < used.size(); ++i) (*chain)[i] = used[i].e;
  return TakenIn::kCurrent;
}

// An index after growth: its entries in the order of the chain (which is
// the order of their keys) and the slot each took.
struct GrownIndex {
  std::vector<int64_t> keys;
  std::vector<int32_t> slots;
  uint32_t sum = 0;  // of the entries' check terms
  // The slot of `key`; the keys asked for are the last ones added.
  int32_t slot_of(int64_t key) const {
    for (size_t i = keys.size(); i-- > 0;)
      if (keys[i] == key) return slots[i];
    return -1;
  }
};

// Grows the index of `pRec` on `file` to `capacity` entries (store lock
// held): the entries of its chain are taken in (verified against its checks),
// the region made larger, and the larger table written a piece at a time,
// every entry at its slot in it and chained in the same order, then its
// checks behind it, then capacity, head and tail together. A reader learns
// the capacity from the header under the lock and reads the table afresh.
int grow_table(FileIndex& file, AvchdDataRecord* pRec, int32_t capacity, GrownIndex* grown) {
  std::vector<FrameOffsetEntry> chain;
  MTS_RecordSeal seal;
  TakenIn taken = read_sorted_chain(file, &chain, &seal);
  bool sealRead = taken == TakenIn::kCurrent;
  if (taken == TakenIn::kDamaged) {
    // Not a chain in the order of its keys: taken in link by link.
    SnapshotIndex old;
    taken = read_table(file, &old);
    chain.clear();
    if (taken == TakenIn::kCurrent)
      for (int32_t slot = old.head; slot != -1; slot = chain.back().next) chain.push_back(old.slots[slot]);
  }
  if (taken == TakenIn::kDamaged) return report_damaged_index(file.fd);
  if (taken != TakenIn::kCurrent || (!sealRead && !file.read_at(FileIndex::entry_offset(file.capacity), &seal))) {
    file.report("MTS_PutFrameOffset");
    return kMTSErrMap;
  }
  const int grownRegion = MTS_GrowRecordRegion(pRec, capacity);
  if (grownRegion != 0) return grownRegion;

  std::vector<uint64_t> used((static_cast<size_t>(capacity) + 63) / 64, 0);
  grown->keys.resize(chain.size());
  grown->slots.resize(chain.size());
  seal.entryCount = 0;
  seal.entrySum = 0;
  for (size_t i = 0; i < chain.size(); ++i) {
    int32_t slot = MTS_HashTable_Hash(capacity, chain[i].qt_offset);
    while ((used[static_cast<size_t>(slot) >> 6] >> (slot & 63)) & 1) slot = MTS_HashTable_ReHash(capacity, slot);
    used[static_cast<size_t>(slot) >> 6] |= uint64_t(1) << (slot & 63);
    grown->keys[i] = chain[i].qt_offset;
    grown->slots[i] = slot;
    seal.entryCount += 1;
    seal.entrySum += MTS_EntryCheckTerm(slot, chain[i].qt_offset, chain[i].value);
  }
  // The entries in the order of their slots, linked to their successors.
  std::vector<uint32_t> order(chain.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return grown->slots[a] < grown->slots[b]; });
  std::vector<FrameOffsetEntry> piece(static_cast<size_t>(std::min(capacity, kTableReadEntries)));
  size_t next = 0;
  for (int32_t first = 0; first < capacity; first += kTableReadEntries) {
    const int32_t n = std::min(kTableReadEntries, capacity - first);
    std::memset(piece.data(), 0xFF, static_cast<size_t>(n) * kMTSFrameEntrySize);
    for (; next < order.size() && grown->slots[order[next]] < first + n; ++next) {
      const uint32_t i = order[next];
      FrameOffsetEntry& e = piece[static_cast<size_t>(grown->slots[i] - first)];
      e = chain[i];
      e.next = i + 1 < chain.size() ? grown->slots[i + 1] : -1;
    }
    // The checks, which lie right behind the table, go with its last piece.
    const bool last = first + n == capacity;
    struct iovec out[2] = {{piece.data(), static_cast<size_t>(n) * kMTSFrameEntrySize}, {&seal, sizeof seal}};
    const size_t bytes = out[0].iov_len + (last ? out[1].iov_len : 0);
    file.failed |= ::pwritev(file.fd, out, last ? 2 : 1, FileIndex::entry_offset(first)) != static_cast<ssize_t>(bytes);
  }
  grown->sum = seal.entrySum;
  const int32_t header[3] = {capacity, chain.empty() ? -1 : grown->slots.front(),
                             chain.empty() ? 0 : grown->slots.back()};
  if (file.failed || !file.write_at(offsetof(AvchdDataRecord, capacity), header)) {
    file.report("MTS_PutFrameOffset");
    return kMTSErrMap;
  }
  file.written_ends(header[1], header[2]);
  return 0;
}

// Grows the index of the writer of kept index `k` to twice its entries, its
// run written first under the same hold of the store lock, and takes the
// slots of the larger table. 0 also when another process writes into the
// index (the writer then grows no more, or is dropped).
int grow_writer(KeptIndex* k) {
  Writer* w = k->writer.get();
  const bool flushing = plan_flush(k);
  LockedStore s;
  bool stale = false;
  int result = lock_and_flush(k, flushing, &s, &stale);
  if (result != 0 || stale) return flushing ? end_flush(k, result, stale) : result;
  FileIndex file(s.fd, s.capacity, &s.ends);
  int32_t head = -1, tail = -1;
  GrownIndex grown;
  const int32_t target = grown_capacity(static_cast<int64_t>(w->used) + 2, w->limit);
  const bool alone = s.capacity == w->capacity && file.head_tail(&head, &tail) && head == w->head &&
                     static_cast<uint32_t>(tail) == w->tail;
  if (alone) result = under_lock(w->pARec, [&] { return grow_table(file, w->pRec, target, &grown); });
  MTS_LockUnlock(&w->pARec->lock);
  if (flushing) end_flush(k, 0, false);  // the run went in: settled before its slots move
  distrust(k);  // its slots are gone
  // Another process writes into the index: it grows no more. A growth that
  // failed is tried again at the next entry (and fails again with its
  // words, whatever the caller did with the first failure).
  w->fixed = !alone;
  if (!alone || result != 0) return result;
  w->capacity = target;
  w->taken.assign((static_cast<size_t>(target) + 63) / 64, 0);
  w->used = 0;
  for (int32_t slot : grown.slots) w->take(slot);
  w->head = grown.slots.empty() ? -1 : grown.slots.front();
  w->tail = grown.slots.empty() ? 0 : static_cast<uint32_t>(grown.slots.back());
  w->sealCount = static_cast<uint32_t>(grown.slots.size());
  w->sealSum = grown.sum;
  if (w->endKey >= 0) w->endSlot = grown.slot_of(w->endKey);
  if (w->heldSlot >= 0) w->heldSlot = grown.slot_of(w->heldKey);
  for (size_t i = 0; i < w->run.size(); ++i) w->runSlots[i] = grown.slot_of(w->run[i].qt_offset);
  for (size_t i = 0; i < w->run.size(); ++i) w->run[i].next = i + 1 < w->run.size() ? w->runSlots[i + 1] : -1;
  return 0;
}

// Adds one entry through the file under the lock, entry by entry (the road of
// MTS_PutFrameOffset, and of a writer that finds another process in the index).
// An index that may grow grows when it is full.
int put_through_file(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset, int64_t value) {
  int32_t capacity = 0;
  int fd = -1;
  MTS_IndexEnds ends;
  int locked = MTS_LockAvchdStore(pARec, pRec, &capacity, &fd, &ends);
  if (locked != 0) return locked;
  FileIndex index(fd, capacity, &ends);
  int result = put_entry(index, capacity, qt_offset, value);
  uint32_t seal[2];
  const int32_t limit = MTS_FrameIndexLimit(pRec);
  if (result == kMTSErrTableFull && limit > capacity && index.seal(seal)) {
    GrownIndex grown;
    const int32_t target = grown_capacity(static_cast<int64_t>(seal[0]) + 2, limit);
    result = target > capacity ? under_lock(pARec, [&] { return grow_table(index, pRec, target, &grown); })
                               : kMTSErrTableFull;
    if (result == 0) {
      FileIndex larger(fd, target, &index.ends);
      result = put_entry(larger, target, qt_offset, value);
      larger.report("MTS_PutFrameOffset");
    }
  }
  MTS_LockUnlock(&pARec->lock);
  index.report("MTS_PutFrameOffset");
  return result;
}

// Adds an entry to the writer's run. Returns 0 (added, or the key is already
// present), kMTSErrTableFull, kMTSErrParam, 1 when the writer cannot tell
// (a key not above every key added: the file decides), or 2 when the index
// is to grow first.
int add_to_run(Writer* w, int64_t qt_offset, int64_t value) {
  if (qt_offset < 0) return kMTSErrParam;
  if (w->capacity < 1) return kMTSErrTableFull;
  int32_t slot = -1;
  if (qt_offset == w->endKey && qt_offset > w->maxKey) {
    slot = w->endSlot;  // the sample the end entry waits for
  } else {
    if (qt_offset == w->maxKey) return 0;  // the first value stays
    if (qt_offset < w->maxKey || qt_offset < w->endKey) return 1;
    if (w->needs_growth()) return 2;
    slot = w->take_slot(qt_offset);
    if (slot < 0) return kMTSErrTableFull;
  }
  w->maxKey = qt_offset;
  w->knownEnd = std::max(w->knownEnd, qt_offset);  // every sample added before ends here
  chain_entry(w->run, w->runSlots, qt_offset, value, slot);
  update_pending(w);
  return 0;
}

// Entries of one run: the scattered write takes at most IOV_MAX pieces,
// four of them the end entry, the link, head/tail and the checks.
constexpr size_t kRunEntries = 1000;

// Adds an entry; `writeNow` writes it at once, else it waits in a run that
// ends with an end entry when written.
int add_entry(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset, int64_t value, bool writeNow) {
  std::lock_guard<std::mutex> guard(g_indexLock);
  int fd = -1;
  KeptIndex* kept = kept_index(pRec, &fd);
  if (kept == nullptr) return put_through_file(pARec, pRec, qt_offset, value);  // reports the bad mapping
  KeptIndex& k = *kept;
  Writer* w = writer_of(&k, pARec, pRec, !writeNow);
  int result = w != nullptr ? add_to_run(w, qt_offset, value) : 1;
  if (result == 2) {
    // The index grows first: a failure to grow ends the import, with words
    // that say what the store lacks.
    result = grow_writer(&k);
    if (result != 0) return result;
    w = k.writer.get();
    result = w != nullptr ? add_to_run(w, qt_offset, value) : 1;
  }
  if (result == 1) {
    // The file decides: what the run holds goes first.
    int flushed = flush_run(&k);
    result = put_through_file(pARec, pRec, qt_offset, value);
    if (flushed != 0) result = flushed;
    if (result == kMTSErrMap) distrust(&k);
    if (w != nullptr && k.writer != nullptr) {
      // The writer saw every key up to here; the new key (if taken) must be
      // known to it before it places another.
      k.writer.reset();
      k.slowWrites = true;
    }
    return result;
  }
  if (result != 0) return result;
  if (writeNow || w->run.size() >= kRunEntries) return flush_run(&k);
  return 0;
}

// Says that the frame index open on `fd` no longer holds what its writers
// wrote; its result code.
int report_damaged_index(int fd) {
  PrintLog("MTS_GetFrameOffset", __LINE__,
           "[ERR]frame index of shared memory (fd=%d) changed after it was written (its checks fail): not used\n",
           fd);
  return MTS_SayRecordDamaged("its frame index no longer holds what the import wrote; import the recording again");
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
  MemoryIndex index{record, capacity};
  return put_entry(index, capacity, qt_offset, value);
}

int MTS_PutFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset,
                       int64_t value) {
  if (pARec == nullptr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset argument error(pARec=NULL)\n");
    return kMTSErrControl;
  }
  return add_entry(pARec, pRec, qt_offset, value, true);
}

int MTS_AddFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset, int64_t value) {
  if (pARec == nullptr) {
    PrintLog("MTS_PutFrameOffset", __LINE__, "[ERR]MTS_PutFrameOffset argument error(pARec=NULL)\n");
    return kMTSErrControl;
  }
  return add_entry(pARec, pRec, qt_offset, value, false);
}

int MTS_WriteFrameOffsets(AvchdDataRecord* pRec, int64_t end) {
  std::lock_guard<std::mutex> guard(g_indexLock);
  if (kept_indexes().find(pRec) == kept_indexes().end()) return 0;
  int fd = -1;
  KeptIndex* k = kept_index(pRec, &fd);
  if (k == nullptr) return 0;
  if (Writer* w = k->writer.get()) {
    w->knownEnd = std::max(w->knownEnd, end);
    update_pending(w);
  }
  return flush_run(k);
}

int MTS_CloseFrameIndex(AvchdDataRecord* pRec) {
  std::lock_guard<std::mutex> guard(g_indexLock);
  if (kept_indexes().find(pRec) == kept_indexes().end()) return 0;
  int fd = -1;
  KeptIndex* k = kept_index(pRec, &fd);
  int result = k == nullptr ? 0 : flush_run(k);
  kept_indexes().erase(pRec);
  return result;
}

int MTS_FindFrameOffsetUnlocked(AvchdDataRecord* record, int32_t capacity, int32_t* frameHint,
                                int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                                bool wantNext) {
  MemoryIndex index{record, capacity};
  return find_entry(index, capacity, frameHint, qt_offset, outEntry, outExact, wantNext);
}

int MTS_FindFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int32_t* frameHint,
                        int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                        bool wantNext) {
  *outExact = true;
  if (pARec == nullptr) return kMTSErrNotFound;
  std::lock_guard<std::mutex> guard(g_indexLock);
  // Entries this process has added are in the index before it is read.
  flush_all_runs();
  int fd = -1;
  KeptIndex* kept = kept_index(pRec, &fd);
  SnapshotIndex none;
  SnapshotIndex& snap = kept != nullptr ? *kept->snapshot : none;
  int32_t hint = *frameHint;
  int result = kMTSErrNotFound;
  if (snap.read) {
    result = find_entry(snap, snap.capacity, &hint, qt_offset, outEntry, outExact, wantNext);
    if (result == 0 && *outExact) {
      *frameHint = hint;
      return 0;
    }
    // Not found as a sample's start: unless the index has grown since it
    // was read, that is the answer. (Capacity, head and tail read without
    // the lock: a torn view only costs a catch-up.)
    int32_t now[3];
    if (::pread(fd, now, sizeof now, offsetof(AvchdDataRecord, capacity)) == sizeof now &&
        now[0] == snap.capacity && now[1] == snap.head && now[2] == snap.tail) {
      *frameHint = hint;
      return result;
    }
  }
  int32_t capacity = 0;
  MTS_IndexEnds ends;
  if (MTS_LockAvchdStore(pARec, pRec, &capacity, &fd, &ends) != 0) return kMTSErrNotFound;
  FileIndex file(fd, capacity, &ends);
  const TakenIn taken = under_lock(pARec, [&] { return catch_up(file, &snap); });
  MTS_LockUnlock(&pARec->lock);
  file.report(__func__);
  if (taken != TakenIn::kCurrent) {
    snap = SnapshotIndex();  // read afresh next time
    if (taken == TakenIn::kDamaged) return report_damaged_index(fd);
    return kMTSErrNotFound;
  }
  *outExact = true;
  hint = *frameHint;
  result = find_entry(snap, snap.capacity, &hint, qt_offset, outEntry, outExact, wantNext);
  *frameHint = hint;
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
