// The frame index of a shared record: an open-addressing hash table with
// linear probing whose entries are also chained in the order of adding.
//
// The index lives in memory that other processes write. Nothing read from it
// is trusted: the capacity used is the one this process mapped, every slot
// number read back is range-checked, and every walk is bounded by the
// capacity, so damaged contents give an error, never a stray access or an
// endless walk while the lock is held.
#include "MTS_DataHandler.h"
#include "MTS_Log.h"
#include "MTS_SharedMemory.h"

namespace {

constexpr int64_t kEmptyKey = -1;

inline bool valid_slot(int64_t slot, int32_t capacity) { return slot >= 0 && slot < capacity; }

// The slot holding `key`, -1 when absent (probing stops at the first empty
// slot, as nothing is ever removed).
int32_t probe_exact(const FrameOffsetEntry* entries, int32_t capacity, int64_t key) {
  int32_t slot = MTS_HashTable_Hash(capacity, key);
  for (int32_t probes = 0; probes < capacity; ++probes) {
    int64_t k = entries[slot].qt_offset;
    if (k == kEmptyKey) return -1;
    if (k == key) return slot;
    slot = MTS_HashTable_ReHash(capacity, slot);
  }
  return -1;
}

// Walks the chain from `head` for the entry e, followed by n, with
// e.key < key < n.key. Returns e's slot and sets *nextSlot to n's; when no
// pair matches, returns the last entry's slot with *nextSlot -1. -2 when the
// chain leaves the table or does not end within `capacity` steps.
int32_t walk_chain(const FrameOffsetEntry* entries, int32_t capacity, int32_t head, int64_t key,
                   int32_t* nextSlot) {
  int32_t slot = head;
  for (int32_t steps = 0; steps < capacity; ++steps) {
    int32_t next = entries[slot].next;
    if (next == -1) {
      *nextSlot = -1;
      return slot;
    }
    if (!valid_slot(next, capacity)) return -2;
    if (entries[slot].qt_offset < key && key < entries[next].qt_offset) {
      *nextSlot = next;
      return slot;
    }
    slot = next;
  }
  return -2;  // a loop: more links than slots
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
  if (capacity < 1) return kMTSErrTableFull;
  if (qt_offset < 0) return kMTSErrParam;  // -1 is the empty mark; keys are offsets
  FrameOffsetEntry* entries = MTS_RecordEntries(record);
  int32_t head = record->head;
  int32_t tail = static_cast<int32_t>(record->tail);
  if (head != -1 && (!valid_slot(head, capacity) || !valid_slot(tail, capacity))) {
    return kMTSErrParam;
  }

  int32_t slot = MTS_HashTable_Hash(capacity, qt_offset);
  for (int32_t probes = 0; probes < capacity; ++probes) {
    FrameOffsetEntry& e = entries[slot];
    if (e.qt_offset == kEmptyKey) {
      e.qt_offset = qt_offset;
      e.value = value;
      e.next = -1;
      if (head == -1) {
        record->head = slot;
      } else {
        entries[tail].next = slot;
      }
      record->tail = static_cast<uint32_t>(slot);
      return 0;
    }
    if (e.qt_offset == qt_offset) return 0;  // the first value stays
    slot = MTS_HashTable_ReHash(capacity, slot);
  }
  return kMTSErrTableFull;
}

int MTS_PutFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int64_t qt_offset,
                       int64_t value) {
  if (pARec == nullptr) {
    MTS_LOG("[ERR]MTS_PutFrameOffset argument error(pARec=NULL)\n");
    return kMTSErrControl;
  }
  int32_t capacity = MTS_MappedCapacity(pRec);
  if (capacity < 1) return kMTSErrParam;
  int locked = MTS_LockAvchdStore(pARec, pRec, &capacity);
  if (locked != 0) return locked;
  int result = MTS_PutFrameOffsetUnlocked(pRec, capacity, qt_offset, value);
  MTS_LockUnlock(&pARec->lock);
  return result;
}

int MTS_FindFrameOffsetUnlocked(AvchdDataRecord* record, int32_t capacity, int32_t* frameHint,
                                int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                                bool wantNext) {
  *outExact = true;
  if (capacity < 1) return kMTSErrNotFound;
  const FrameOffsetEntry* entries = MTS_RecordEntries(record);
  int32_t head = record->head;
  if (!valid_slot(head, capacity)) return kMTSErrNotFound;  // empty or damaged

  // Exact hit: the request starts a sample.
  if (qt_offset >= 0) {
    int32_t slot = probe_exact(entries, capacity, qt_offset);
    if (slot >= 0) {
      *frameHint = slot;
      if (!wantNext) {
        *outEntry = entries[slot];
        return 0;
      }
      int32_t next = entries[slot].next;
      if (!valid_slot(next, capacity)) return kMTSErrNotFound;
      *outEntry = entries[next];
      return 0;
    }
  }
  *outExact = false;

  // The remembered sample holds the request.
  int32_t hint = *frameHint;
  if (valid_slot(hint, capacity)) {
    int32_t next = entries[hint].next;
    if (entries[hint].qt_offset < qt_offset && valid_slot(next, capacity) &&
        qt_offset < entries[next].qt_offset) {
      *outEntry = entries[wantNext ? next : hint];
      return 0;
    }
  }

  // Walk the chain, which is sorted by key.
  int32_t next = -1;
  int32_t slot = walk_chain(entries, capacity, head, qt_offset, &next);
  if (slot < 0) return kMTSErrNotFound;
  if (!wantNext) {
    *outEntry = entries[slot];
    return 0;
  }
  if (next < 0) return kMTSErrNotFound;
  *outEntry = entries[next];
  return 0;
}

int MTS_FindFrameOffset(AvchdRecordDirectory* pARec, AvchdDataRecord* pRec, int32_t* frameHint,
                        int64_t qt_offset, FrameOffsetEntry* outEntry, bool* outExact,
                        bool wantNext) {
  *outExact = true;
  int32_t capacity = MTS_MappedCapacity(pRec);
  if (pARec == nullptr || capacity < 1) return kMTSErrNotFound;
  if (MTS_LockAvchdStore(pARec, pRec, &capacity) != 0) return kMTSErrNotFound;
  int result = MTS_FindFrameOffsetUnlocked(pRec, capacity, frameHint, qt_offset, outEntry,
                                           outExact, wantNext);
  MTS_LockUnlock(&pARec->lock);
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
