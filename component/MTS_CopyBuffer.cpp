// Start-code to length-prefix conversion of an H.264 access unit.
#include <cstring>

#include "MTS_DataHandler.h"
#include "MTS_MovieImport.h"

namespace {

// First j in [from, last] with src[j..j+2] == 00 00 01, or -1: the
// importer's vector scan, which sees the same prefixes.
int find_prefix(const UInt8* src, int from, int last) {
  const int j = mts_import::NextStartCode(src, from, last + 4);
  return j <= last ? j : -1;
}

void put_be32(UInt8* p, UInt32 v) {
  p[0] = UInt8(v >> 24);
  p[1] = UInt8(v >> 16);
  p[2] = UInt8(v >> 8);
  p[3] = UInt8(v);
}

bool starts_unit(int nalType) {
  switch (nalType) {
    case 1:  // non-IDR slice
    case 5:  // IDR slice
    case 6:  // SEI
    case 7:  // SPS
    case 8:  // PPS
    case 9:  // access unit delimiter
      return true;
    default:
      return false;
  }
}

}  // namespace

int MTS_copy_buffer(UInt8* dst, const UInt8* src, int len) {
  if (len <= 0) return 0;
  UInt8* out = dst;
  UInt8* unit = nullptr;  // the open unit's 4 reserved length bytes
  bool copying = false;

  auto close_unit = [&] {
    if (unit != nullptr) put_be32(unit, UInt32(out - unit - 4));
    unit = nullptr;
  };
  auto append = [&](int from, int to) {
    if (copying && to > from) {
      std::memcpy(out, src + from, static_cast<size_t>(to - from));
      out += to - from;
    }
  };

  // A prefix is tested only where 4 bytes remain: the last three bytes are
  // never the start of one.
  const int last = len - 4;
  int i = 0;
  while (i <= last) {
    int j = find_prefix(src, i, last);
    if (j < 0) break;
    append(i, j);
    int nalType = src[j + 3] & 0x1F;
    if (starts_unit(nalType)) {
      close_unit();
      unit = out;
      out += 4;
      *out++ = src[j + 3];  // the header byte
      copying = true;
    } else if (nalType == 3) {
      append(j, j + 4);  // kept as data of the running unit
    } else {
      close_unit();
      copying = false;  // dropped up to the next prefix
    }
    i = j + 4;
  }
  append(i, len);
  close_unit();
  return static_cast<int>(out - dst);
}
