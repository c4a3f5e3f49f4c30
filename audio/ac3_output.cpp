// Block gain (dynamic range, heavy compression, dialogue normalisation),
// windowing, overlap-add and conversion to interleaved 16-bit PCM.
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
  alignas(32) float win[256];
  for (int i = 0; i < 256; ++i) win[i] = TransformWindow[i] * g;
  for (int c = 0; c < nch; ++c) {
    float* p = s->outChannels[c];
    float* d = s->overlap[c];
    for (int i = 0; i < 256; ++i) {
      const float head = p[i] * win[i] + d[i];
      d[i] = p[256 + i] * win[255 - i];
      p[i] = head;
    }
  }
  vpsJoin_32f16s_D2L(s->outChannels, nch, 256, out);
  return nch * 256;
}

}  // namespace ac3dec
