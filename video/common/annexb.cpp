// Annex B byte-stream parser and the parameter-set id peek.
#include "annexb.h"

#include <algorithm>
#include <cstring>

#include "decoder_state.h"

namespace {

// Zero runs are only compared with 2 while scanning and only taken back off
// the payload while copying; they saturate below the 0xFF "header next" mark.
constexpr uint8_t kMaxZeroRun = 0xFE;

inline void reverse_group(uint8_t* g) {
  uint8_t t = g[0];
  g[0] = g[3];
  g[3] = t;
  t = g[1];
  g[1] = g[2];
  g[2] = t;
}

struct Copy {
  uint8_t* buf;
  uint32_t len;
  uint32_t cap;
  uint32_t fill;

  void store(uint8_t b) {
    if (len >= cap) return;  // a unit longer than the buffer is cut short
    buf[len++] = b;
    if (++fill == 4) {
      reverse_group(buf + len - 4);
      fill = 0;
    }
  }
  // A run of bytes that holds no zero: whole groups go in one swap each.
  void store_run(const uint8_t* src, size_t n) {
    while (n > 0 && fill != 0) {
      store(*src++);
      --n;
    }
    // Sixteen bytes a step: an 8-byte word reversed whole has its two groups
    // reversed and swapped, and a rotation by 32 bits swaps them back.
    for (size_t steps = std::min<size_t>(n, cap - len) / 16; steps > 0; --steps) {
      uint64_t a, b;
      std::memcpy(&a, src, 8);
      std::memcpy(&b, src + 8, 8);
      a = __builtin_bswap64(a);
      b = __builtin_bswap64(b);
      a = (a >> 32) | (a << 32);
      b = (b >> 32) | (b << 32);
      std::memcpy(buf + len, &a, 8);
      std::memcpy(buf + len + 8, &b, 8);
      len += 16;
      src += 16;
      n -= 16;
    }
    while (n >= 4 && len + 4 <= cap) {
      uint32_t w;
      std::memcpy(&w, src, 4);
      w = __builtin_bswap32(w);
      std::memcpy(buf + len, &w, 4);
      len += 4;
      src += 4;
      n -= 4;
    }
    while (n > 0 && len < cap) {
      store(*src++);
      --n;
    }
  }
  // Puts the incomplete last group in word order too.
  void finish() {
    if (fill != 0) reverse_group(buf + len - fill);
    fill = 0;
  }
  // Zeroes the bytes after the payload that the bit reader may load (the
  // rest of the last group and the word after it, inside the capacity): a
  // damaged unit read past its end then reads the same bits whichever task's
  // buffer it is in.
  void clear_tail() {
    uint32_t end = ((len + 3u) & ~3u) + 4u;
    if (end > cap) end = cap;
    for (uint32_t k = len; k < end; ++k) buf[rbsp_byte_offset(k)] = 0;
  }
  // Takes the zeros of the next start code back off the end (after finish).
  // Only stored zeros are taken: a unit cut at the buffer's end keeps its bytes.
  void drop_trailing_zeros(uint32_t zeros) {
    while (zeros > 0 && len > 0 && buf[rbsp_byte_offset(len - 1)] == 0) {
      --len;
      --zeros;
    }
  }
};

}  // namespace

int32_t ByteStreamParser_AnnexB(DecoderState* ds, NalUnit* nal) {
  const uint8_t* in = ds->parseReadPtr;
  int32_t left = ds->parseBytesLeft > 0 ? ds->parseBytesLeft : 0;
  uint8_t zeroRun = ds->zeroRun;
  uint8_t copying = ds->copying;
  Copy copy{nal->payload, copying ? nal->length : 0u, nal->capacity & ~3u, copying ? ds->wordFill : 0u};
  bool unitEnded = false;

  auto header = [&](uint8_t h) {
    const uint8_t type = h & 31u;
    const uint8_t refIdc = (h >> 5) & 3u;
    nal->nal_unit_type = type;
    switch (type) {
      case 1:
      case 5:
      case 7:
      case 8:
        nal->nal_ref_idc = refIdc;
        if (ds->currentPicture) ds->currentPicture->lastNalType = type;
        copying = 1;
        break;
      case 6:
        copying = 1;
        break;
      case 9:
        if (ds->prevNalType >= 1 && ds->prevNalType <= 5 && ds->openAccessUnit) ds->openAccessUnit(ds);
        ds->prevNalType = 9;
        ds->prevNalRefIdc = refIdc;
        break;
      case 10:
      case 11:
        // End of sequence, or of a stream that another may follow (streams
        // joined end to end): what comes next starts a new sequence. Only
        // the caller ends the input.
        ds->sequenceBase = ds->currentPicture ? ds->currentPicture->accessUnitIndex + 1u : 0u;
        break;
      default:
        break;
    }
    if (copying) {
      copy.len = 0;
      copy.fill = 0;
    }
  };

  if (zeroRun == 0xFF && left > 0) {
    header(*in++);
    --left;
    zeroRun = 0;
  }
  while (left > 0) {
    if (zeroRun == 0 && *in != 0) {
      // No start code or emulation-prevention byte can begin before the next
      // zero byte: skip or copy straight up to it.
      const void* zero = std::memchr(in, 0, static_cast<size_t>(left));
      const size_t run = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - in) : static_cast<size_t>(left);
      if (copying) copy.store_run(in, run);
      in += run;
      left -= static_cast<int32_t>(run);
      continue;
    }
    if (!copying) {
      const uint8_t b = *in++;
      --left;
      if (b == 0) {
        if (zeroRun < kMaxZeroRun) ++zeroRun;
      } else if (b == 1 && zeroRun >= 2) {
        if (left == 0) {
          zeroRun = 0xFF;
          break;
        }
        header(*in++);
        --left;
        zeroRun = 0;
      } else {
        zeroRun = 0;
      }
      continue;
    }
    const uint8_t b = *in;
    if (b == 0) {
      copy.store(0);
      if (zeroRun < kMaxZeroRun) ++zeroRun;
    } else if (zeroRun < 2) {
      copy.store(b);
      zeroRun = 0;
    } else if (b == 3) {
      zeroRun = 0;  // emulation prevention: dropped
    } else if (b == 1) {
      // Start code of the next unit: the read position stays on this byte
      // with zeroRun kept, so the next call finds the start code at once.
      copy.finish();
      copy.drop_trailing_zeros(zeroRun);
      copy.clear_tail();
      copying = 0;
      unitEnded = true;
      break;
    } else {
      copy.store(b);
      zeroRun = 0;
    }
    ++in;
    --left;
  }

  if (!unitEnded && left == 0 && copying && ds->wholeNalUnits) {
    // The unit ends with the input; zero bytes at its end are kept.
    copy.finish();
    copy.clear_tail();
    zeroRun = 0;
    copying = 0;
    unitEnded = true;
  }
  nal->length = copy.len;
  ds->parseReadPtr = in;
  ds->parseBytesLeft = left;
  ds->zeroRun = zeroRun;
  ds->copying = copying;
  ds->wordFill = copy.fill;
  if (unitEnded) return kAnnexBUnitReady;
  return (zeroRun == 0 && !copying) ? kAnnexBNeedInput : kAnnexBPending;
}

uint32_t GetParameterSetID(const uint8_t* p) {
  // RBSP bytes run downwards inside a four-byte group, and from the first
  // byte of a group on to the last byte of the next one.
  auto nextByte = [](const uint8_t* q) {
    return (reinterpret_cast<uintptr_t>(q) & 3u) == 0 ? q + 7 : q - 1;
  };
  const uint8_t* q = p;
  int bit = 7;
  auto readBit = [&]() {
    const uint32_t v = (*q >> bit) & 1u;
    if (--bit < 0) {
      bit = 7;
      q = nextByte(q);
    }
    return v;
  };
  uint32_t zeros = 0;
  while (readBit() == 0) {
    if (++zeros > 16) return 0xFFFFFFFFu;
  }
  uint32_t bits = 0;
  for (uint32_t i = 0; i < zeros; ++i) bits = (bits << 1) | readBit();
  return (1u << zeros) - 1u + bits;
}
