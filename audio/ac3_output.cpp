// Block gain (dynamic range, heavy compression, dialogue normalisation),
// windowing, overlap-add and conversion to interleaved 16-bit PCM.
#include <cstring>

#include "AC3DecState.h"
#include "AC3Tables.h"
#include "vpCore.h"

namespace ac3dec {
namespace {

constexpr float kHeavyCompressionGain = 3.6665f;
constexpr float kOutputScale = -16777216.0f;  // -2^24

// (32 + Y) × 2^(X - 5) with X the signed top 3 bits and Y the low 5 bits.
inline float DynamicRangeGain(uint8_t v) {
  const int32_t x = int32_t(int8_t(v)) >> 5;  // -4..3
  const int32_t y = v & 31;
  return float((32 + y) * 8192) * scaleFactor[3 - x];
}

// (16 + Y) × 2^(X - 4) with X the signed top 4 bits and Y the low 4 bits.
inline float CompressionGain(uint8_t v) {
  const int32_t x = int32_t(int8_t(v)) >> 4;  // -8..7
  const int32_t y = v & 15;
  return float((16 + y) * 262144) * scaleFactor[7 - x];
}

}  // namespace

float dynamicRange(uint8_t compre, uint8_t compr, uint8_t dynrng, uint8_t dialnorm,
                   const AC3DecState* s) {
  float g;
  if (!s->outFormat.heavyCompression)
    g = s->outFormat.dynamicRange ? DynamicRangeGain(dynrng) : 1.0f;
  else if (!compre)
    g = DynamicRangeGain(dynrng);
  else if (compr != 0)
    g = CompressionGain(compr) * kHeavyCompressionGain;
  else
    g = DynamicRangeGain(dynrng) * kHeavyCompressionGain;
  if (s->outFormat.dialNorm) g *= DialnormTab[dialnorm & 31];
  return g;
}

int32_t WindowOverlap(AC3DecState* s, int16_t* out) {
  const int nch = NFCHANS[s->outFormat.acmod & 7] + s->outFormat.lfe;
  if (!s->bsi.lfeon && s->outFormat.lfe) vpsZero_32f(s->outChannels[nch - 1], 512);

  const float g = dynamicRange(s->bsi.compre, s->bsi.compr, s->audblk.dynrng, s->bsi.dialnorm, s) *
                  kOutputScale;
  // The window rising (first half) and falling (second half), gain applied.
  alignas(16) float rise[256];
  alignas(16) float fall[256];
  for (int i = 0; i < 256; ++i) rise[i] = TransformWindow[i] * g;
  for (int i = 0; i < 256; ++i) fall[i] = rise[255 - i];
  // Four samples at a time (the compiler's generic vector type: SSE2 on
  // x86-64): multiply, then add; the same single-precision operations as one
  // sample at a time.
  typedef float Floats4 __attribute__((vector_size(16)));
  for (int c = 0; c < nch; ++c) {
    float* p = s->outChannels[c];
    float* d = s->overlap[c];
    for (int i = 0; i < 256; i += 4) {
      Floats4 now, later, kept, up, down;
      std::memcpy(&now, p + i, 16);
      std::memcpy(&later, p + 256 + i, 16);
      std::memcpy(&kept, d + i, 16);
      std::memcpy(&up, rise + i, 16);
      std::memcpy(&down, fall + i, 16);
      const Floats4 head = now * up + kept;
      const Floats4 tail = later * down;
      std::memcpy(d + i, &tail, 16);
      std::memcpy(p + i, &head, 16);
    }
  }
  vpsJoin_32f16s_D2L(s->outChannels, nch, 256, out);
  return nch * 256;
}

}  // namespace ac3dec
