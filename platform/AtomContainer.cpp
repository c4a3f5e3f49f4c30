// Atom containers in the movie file's format, and wired actions.
#include <exception>
#include <cstring>
#include <vector>

#include "MacMemory.h"
#include "MovieInternal.h"
#include "Movies.h"

namespace {

constexpr size_t kContainerHeader = 10;
constexpr size_t kAtomHeader = 20;
constexpr QTAtomType kRootType = FOUR_CHAR_CODE("sean");

struct AtomView {
  size_t offset;
  UInt32 size;
  QTAtomType type;
  QTAtomID id;
  UInt16 childCount;
};

UInt16 get_be16(const UInt8* p) { return UInt16((p[0] << 8) | p[1]); }
void put_be16(UInt8* p, UInt16 v) {
  p[0] = UInt8(v >> 8);
  p[1] = UInt8(v);
}

AtomView view_at(const UInt8* base, size_t offset) {
  const UInt8* p = base + offset;
  return {offset, get_be32(p), get_be32(p + 4), QTAtomID(get_be32(p + 8)), get_be16(p + 14)};
}

// Checks the atom at `offset` and everything inside it against `end`.
bool well_formed(const UInt8* base, size_t offset, size_t end, int depth) {
  if (depth > 64 || offset + kAtomHeader > end) return false;
  AtomView a = view_at(base, offset);
  if (a.size < kAtomHeader || a.size > end - offset) return false;
  if (a.childCount == 0) return true;  // a leaf: the rest is its data
  size_t at = offset + kAtomHeader;
  size_t atomEnd = offset + a.size;
  for (UInt16 i = 0; i < a.childCount; ++i) {
    if (!well_formed(base, at, atomEnd, depth + 1)) return false;
    at += view_at(base, at).size;
  }
  return at == atomEnd;
}

bool container_ok(QTAtomContainer c) {
  if (c == nullptr) return false;
  Size n = GetHandleSize(c);
  if (MemError() != noErr || size_t(n) < kContainerHeader + kAtomHeader) return false;
  auto* base = reinterpret_cast<const UInt8*>(*c);
  return view_at(base, kContainerHeader).size == size_t(n) - kContainerHeader &&
         well_formed(base, kContainerHeader, size_t(n), 0);
}

size_t atom_offset(QTAtom a) { return a == kParentAtomIsContainer ? kContainerHeader : size_t(a); }

// Offsets of the atoms from the root down to `target`; empty when `target`
// is not the start of an atom.
bool path_to(const UInt8* base, size_t at, size_t target, std::vector<size_t>* path) {
  path->push_back(at);
  if (at == target) return true;
  AtomView a = view_at(base, at);
  size_t child = at + kAtomHeader;
  for (UInt16 i = 0; i < a.childCount; ++i) {
    if (target >= child && target < child + view_at(base, child).size && path_to(base, child, target, path))
      return true;
    child += view_at(base, child).size;
  }
  path->pop_back();
  return false;
}

std::vector<AtomView> children(const UInt8* base, size_t parent) {
  std::vector<AtomView> out;
  AtomView p = view_at(base, parent);
  size_t at = parent + kAtomHeader;
  for (UInt16 i = 0; i < p.childCount; ++i) {
    out.push_back(view_at(base, at));
    at += out.back().size;
  }
  return out;
}

bool find_parent(QTAtomContainer c, QTAtom parent, std::vector<size_t>* path) {
  if (!container_ok(c)) return false;
  return path_to(reinterpret_cast<const UInt8*>(*c), kContainerHeader, atom_offset(parent), path);
}

}  // namespace

OSErr QTNewAtomContainer(QTAtomContainer* container) {
  if (container == nullptr) return paramErr;
  Handle h = NewHandleClear(Size(kContainerHeader + kAtomHeader));
  if (h == nullptr) return MemError();
  auto* root = reinterpret_cast<UInt8*>(*h) + kContainerHeader;
  put_be32(root, kAtomHeader);
  put_be32(root + 4, kRootType);
  put_be32(root + 8, 1);
  *container = h;
  return noErr;
}

OSErr QTDisposeAtomContainer(QTAtomContainer container) {
  if (container == nullptr) return nilHandleErr;
  DisposeHandle(container);
  return MemError();
}

OSErr QTInsertChild(QTAtomContainer container, QTAtom parent, QTAtomType type, QTAtomID id, SInt16 index,
                    SInt32 dataSize, const void* data, QTAtom* newAtom) try {
  if (container == nullptr) return nilHandleErr;
  if (dataSize < 0 || (data == nullptr && dataSize > 0) || index < 0 || id < 0) return paramErr;
  std::vector<size_t> path;
  if (!find_parent(container, parent, &path)) return invalidAtomErr;
  auto* base = reinterpret_cast<UInt8*>(*container);
  size_t parentAt = path.back();
  AtomView p = view_at(base, parentAt);
  if (p.childCount == 0 && p.size != kAtomHeader) return invalidAtomErr;  // a leaf with data
  std::vector<AtomView> siblings = children(base, parentAt);
  if (index > SInt16(siblings.size()) + 1) return paramErr;
  auto taken = [&](QTAtomID candidate) {
    for (const AtomView& s : siblings)
      if (s.type == type && s.id == candidate) return true;
    return false;
  };
  if (id == 0) {
    id = 1;
    while (taken(id)) ++id;
  } else if (taken(id)) {
    return paramErr;  // ids are unique among siblings of a type
  }
  size_t insertAt = (index == 0 || size_t(index) > siblings.size()) ? parentAt + p.size : siblings[size_t(index - 1)].offset;
  size_t grow = kAtomHeader + size_t(dataSize);
  Size oldSize = GetHandleSize(container);
  if (size_t(oldSize) + grow > size_t(INT32_MAX)) return memFullErr;
  SetHandleSize(container, Size(size_t(oldSize) + grow));
  if (MemError() != noErr) return MemError();
  base = reinterpret_cast<UInt8*>(*container);
  std::memmove(base + insertAt + grow, base + insertAt, size_t(oldSize) - insertAt);
  UInt8* atom = base + insertAt;
  std::memset(atom, 0, kAtomHeader);
  put_be32(atom, UInt32(grow));
  put_be32(atom + 4, type);
  put_be32(atom + 8, UInt32(id));
  if (dataSize > 0) std::memcpy(atom + kAtomHeader, data, size_t(dataSize));
  for (size_t ancestor : path) put_be32(base + ancestor, get_be32(base + ancestor) + UInt32(grow));
  put_be16(base + parentAt + 14, UInt16(p.childCount + 1));
  if (newAtom) *newAtom = QTAtom(insertAt);
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

SInt16 QTCountChildrenOfType(QTAtomContainer container, QTAtom parent, QTAtomType type) try {
  std::vector<size_t> path;
  if (!find_parent(container, parent, &path)) return 0;
  SInt16 count = 0;
  for (const AtomView& a : children(reinterpret_cast<const UInt8*>(*container), path.back()))
    count += (type == 0 || a.type == type) ? 1 : 0;
  return count;
} catch (const std::exception&) {
  return 0;
}

QTAtom QTFindChildByIndex(QTAtomContainer container, QTAtom parent, QTAtomType type, SInt16 index, QTAtomID* id) try {
  std::vector<size_t> path;
  if (index < 1 || !find_parent(container, parent, &path)) return 0;
  SInt16 seen = 0;
  for (const AtomView& a : children(reinterpret_cast<const UInt8*>(*container), path.back())) {
    if ((type == 0 || a.type == type) && ++seen == index) {
      if (id) *id = a.id;
      return QTAtom(a.offset);
    }
  }
  return 0;
} catch (const std::exception&) {
  return 0;
}

OSErr QTCopyAtomDataToPtr(QTAtomContainer container, QTAtom atom, Boolean sizeOrLessOK, SInt32 maxSize,
                          void* dataPtr, SInt32* actualSize) try {
  std::vector<size_t> path;
  if (atom == kParentAtomIsContainer || !find_parent(container, atom, &path)) return invalidAtomErr;
  auto* base = reinterpret_cast<const UInt8*>(*container);
  AtomView a = view_at(base, path.back());
  if (a.childCount != 0) return invalidAtomErr;
  SInt32 size = SInt32(a.size - kAtomHeader);
  if (maxSize < 0 || (dataPtr == nullptr && maxSize > 0)) return paramErr;
  if (size > maxSize && !sizeOrLessOK) return paramErr;
  SInt32 copy = size < maxSize ? size : maxSize;
  if (copy > 0) std::memcpy(dataPtr, base + a.offset + kAtomHeader, size_t(copy));
  if (actualSize) *actualSize = copy;
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

OSErr MovieExecuteWiredActions(Movie m, SInt32, QTAtomContainer actions) try {
  if (m == nullptr) return invalidMovie;
  if (!container_ok(actions)) return invalidAtomContainerErr;
  auto* base = reinterpret_cast<const UInt8*>(*actions);
  std::vector<WiredActionRecord> found;
  for (const AtomView& action : children(base, kContainerHeader)) {
    if (action.type != FOUR_CHAR_CODE("actn")) continue;
    WiredActionRecord r = {0, action.id, 0};
    bool haveWhich = false;
    for (const AtomView& part : children(base, action.offset)) {
      if (part.type == FOUR_CHAR_CODE("whic") && part.childCount == 0 && part.size == kAtomHeader + 4) {
        r.which = SInt32(get_be32(base + part.offset + kAtomHeader));
        haveWhich = true;
      } else {
        ++r.parameterCount;
      }
    }
    if (!haveWhich) return invalidAtomErr;
    found.push_back(r);
  }
  m->wiredActions.insert(m->wiredActions.end(), found.begin(), found.end());
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

SInt32 GetMovieWiredActionCount(Movie m) { return m ? SInt32(m->wiredActions.size()) : 0; }

OSErr GetMovieWiredAction(Movie m, SInt32 index, WiredActionRecord* out) {
  if (m == nullptr) return invalidMovie;
  if (out == nullptr || index < 0 || size_t(index) >= m->wiredActions.size()) return paramErr;
  *out = m->wiredActions[size_t(index)];
  return noErr;
}
