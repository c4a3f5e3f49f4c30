// Plain reference of the packed-row kernels, pixel pair by pixel pair.
#include "packed_line_dsp.h"

namespace {

inline uint8_t interpolate(uint32_t a, uint32_t b, uint32_t w0, uint32_t w1) {
  int32_t s = static_cast<int32_t>(w0 * a + w1 * b);
  if (s > 1024)
    s += 4;
  else if (s < 1024)
    s -= 4;
  s >>= 3;
  return static_cast<uint8_t>(s < 1 ? 1 : (s > 254 ? 254 : s));
}

template <bool kUyvy>
void c_line(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint16_t width, uint8_t* out, uint8_t w0,
            uint8_t w1, uint16_t next) {
  for (uint32_t x = 0; x + 2 <= width; x += 2) {
    const uint8_t u = interpolate(cb[x / 2], cb[x / 2 + next], w0, w1);
    const uint8_t v = interpolate(cr[x / 2], cr[x / 2 + next], w0, w1);
    uint8_t* o = out + 2 * x;
    if (kUyvy) {
      o[0] = u; o[1] = y[x]; o[2] = v; o[3] = y[x + 1];
    } else {
      o[0] = y[x]; o[1] = u; o[2] = y[x + 1]; o[3] = v;
    }
  }
}

}  // namespace

const PackedLineDsp c_packed_line_dsp = {c_line<false>, c_line<true>};
