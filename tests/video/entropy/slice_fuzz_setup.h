// What the slice-data fuzz targets share: level scales with varied weights,
// and a small picture whose slice set-up the first input bytes choose.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "slice_data.h"
#include "transforms.h"

namespace slicefuzz {

struct LevelScales {
  LevelScales() {
    uint8_t w4[6][16], w8[2][64];
    for (int t = 0; t < 6; ++t)
      for (int i = 0; i < 16; ++i) w4[t][i] = static_cast<uint8_t>(4 + (t * 37 + i * 11) % 250);
    for (int t = 0; t < 2; ++t)
      for (int i = 0; i < 64; ++i) w8[t][i] = static_cast<uint8_t>(4 + (t * 53 + i * 7) % 250);
    build_level_scale(w4, w8, ls4, ls8);
  }
  int32_t ls4[6][6][16];
  int32_t ls8[2][6][64];
};

// Header bytes h[0..4] choose the picture (1 to 8 macroblocks each way, rows
// doubled for MBAFF), the slice type, structure and flags, the reference
// counts and the chroma QP offsets; the caller sets the slice QP and where
// the slice starts, whose rules differ between the entropy modes.
struct Slice {
  Slice(const uint8_t* h, const LevelScales& scales) {
    const uint8_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    const uint32_t width = 1 + (a & 7);
    mbaff = (a & 8) != 0;
    count = width * (1 + ((a >> 4) & 7)) * (mbaff ? 2 : 1);
    records = static_cast<MacroblockRecord*>(std::aligned_alloc(16, sizeof(MacroblockRecord) * count));
    std::memset(records, 0, sizeof(MacroblockRecord) * count);
    s.records = records;
    s.widthInMbs = width;
    s.mbCount = count;
    s.structure = mbaff ? 2 : static_cast<uint8_t>((a >> 7) ? 2 : (b & 1));
    s.chroma_format_idc = (b & 2) ? 0 : 1;
    s.sliceType = static_cast<uint8_t>(b >> 6) % 3;
    s.MbaffFrameFlag = mbaff;
    s.constrained_intra_pred_flag = (b >> 2) & 1;
    s.transform_8x8_mode_flag = (b >> 3) & 1;
    s.direct_8x8_inference_flag = (b >> 4) & 1;
    s.num_ref_idx_l0_active_minus1 = c & 15;
    s.num_ref_idx_l1_active_minus1 = c >> 4;
    s.chroma_qp_index_offset = static_cast<int8_t>(static_cast<int>(d % 25) - 12);
    s.second_chroma_qp_index_offset = static_cast<int8_t>(static_cast<int>(e % 25) - 12);
    s.ls4x4 = scales.ls4;
    s.ls8x8 = scales.ls8;
  }
  ~Slice() { std::free(records); }
  Slice(const Slice&) = delete;
  Slice& operator=(const Slice&) = delete;

  void start_at(uint32_t first) {
    s.firstMbAddr = first;
    s.CurrMbAddr = first;
    s.firstMb = s.currentMb = records + first;
  }

  MacroblockRecord* records;
  uint32_t count;
  bool mbaff;
  SliceDataState s{};
};

}  // namespace slicefuzz
