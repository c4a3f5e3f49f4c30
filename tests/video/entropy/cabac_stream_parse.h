// Parses every slice of a CABAC Annex B stream through the slice-data walk
// (no reconstruction: parsing needs none) and reports per picture, in
// display order, the macroblocks' QPs and type classes. Shared by the stream
// test and the parsing benchmark.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "annexb.h"
#include "cabac_slice.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "transforms.h"

namespace cabacstream {

struct ParsedPicture {
  int32_t order;  // display order key
  std::string qp, types;
};

inline const PictureParameterSet* find_pps(const PictureParameterSet* head, uint32_t id) {
  const PictureParameterSet* e = head;
  while (e && e->pic_parameter_set_id != id) e = e->nextId;
  while (e && e->nextVersion) e = e->nextVersion;
  return e;
}

// 'I' Intra16x16, 'i' Intra 4x4 or 8x8, 'P' I_PCM, 'S' P_Skip or B_Skip,
// '.' other; a field macroblock of an MBAFF picture has 'J', 'j', 'Q', 's',
// ':' instead.
inline char type_class(uint8_t t, bool field) {
  const char* c = field ? "JjQs:" : "IiPS.";
  if (t == MbI_PCM) return c[2];
  if (t >= MbI_16x16_First && t <= MbI_16x16_Last) return c[0];
  if (t == MbI_NxN) return c[1];
  return c[mb_is_skipped(t) ? 3 : 4];
}

// Parses the slice header fields the walk needs; false for what this
// harness does not follow (field pictures).
struct SliceHeader {
  uint32_t first_mb, slice_type, idr;
  uint32_t poc_lsb;
  uint8_t field;
  uint32_t l0, l1, cabac_init_idc;
  int32_t qp_delta;
  uint32_t deblock_idc;
  int32_t alpha, beta;
};

inline bool parse_header(BitReaderCabac* r, uint32_t nalType, uint32_t refIdc, const PictureParameterSet* pps,
                  SliceHeader* h) {
  const SequenceParameterSet* sps = pps->sps;
  h->first_mb = ue_v(r);
  h->slice_type = ue_v(r) % 5;
  ue_v(r);  // pps id, already looked at
  u_n(r, sps->log2_max_frame_num);
  h->field = 0;
  if (!sps->frame_mbs_only_flag) {
    h->field = static_cast<uint8_t>(u_n(r, 1));
    if (h->field) u_n(r, 1);
  }
  h->idr = nalType == 5;
  if (h->idr) ue_v(r);
  h->poc_lsb = 0;
  if (sps->pic_order_cnt_type == 0) {
    h->poc_lsb = u_n(r, sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
    if (pps->pic_order_present_flag && !h->field) se_v(r);
  } else if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
    se_v(r);
    if (pps->pic_order_present_flag && !h->field) se_v(r);
  }
  if (pps->redundant_pic_cnt_present_flag) ue_v(r);
  const bool b = h->slice_type == 1, p = h->slice_type == 0;
  if (b) u_n(r, 1);
  h->l0 = pps->num_ref_idx_l0_active_minus1;
  h->l1 = pps->num_ref_idx_l1_active_minus1;
  if (p || b) {
    if (u_n(r, 1)) {
      h->l0 = ue_v(r);
      if (b) h->l1 = ue_v(r);
    }
    for (int list = 0; list < (b ? 2 : 1); ++list) {
      if (!u_n(r, 1)) continue;
      for (uint32_t idc = ue_v(r); idc != 3 && !r->overrun; idc = ue_v(r)) ue_v(r);
    }
  }
  if ((pps->weighted_pred_flag && p) || (pps->weighted_bipred_idc == 1 && b)) {
    ue_v(r);
    if (sps->chroma_format_idc != 0) ue_v(r);
    for (int list = 0; list < (b ? 2 : 1); ++list) {
      for (uint32_t i = 0; i <= (list ? h->l1 : h->l0); ++i) {
        if (u_n(r, 1)) se_v(r), se_v(r);
        if (sps->chroma_format_idc != 0 && u_n(r, 1))
          for (int k = 0; k < 4; ++k) se_v(r);
      }
    }
  }
  if (refIdc != 0) {
    if (h->idr) {
      u_n(r, 2);
    } else if (u_n(r, 1)) {
      for (uint32_t op = ue_v(r); op != 0 && !r->overrun; op = ue_v(r)) {
        if (op == 1 || op == 3) ue_v(r);
        if (op == 2) ue_v(r);
        if (op == 3 || op == 6) ue_v(r);
        if (op == 4) ue_v(r);
      }
    }
  }
  h->cabac_init_idc = (h->slice_type != 2) ? ue_v(r) : 0;
  h->qp_delta = se_v(r);
  h->deblock_idc = 0;
  h->alpha = h->beta = 0;
  if (pps->deblocking_filter_control_present_flag) {
    h->deblock_idc = ue_v(r);
    if (h->deblock_idc != 1) {
      h->alpha = se_v(r);
      h->beta = se_v(r);
    }
  }
  return !h->field && !r->overrun;
}

// Parses every slice of an Annex B stream; pictures in display order.
inline std::vector<ParsedPicture> parse_stream(const std::vector<uint8_t>& file, int* failedSlices) {
  DecoderState ds;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  SequenceParameterSet spsHead;
  PictureParameterSet ppsHead;
  InitSequenceParameterSetHead(&spsHead);
  InitPictureParameterSetHead(&ppsHead);
  DecodedPicture pic;
  FrameBuffer fb;
  std::memset(static_cast<void*>(&pic), 0, sizeof(pic));
  std::memset(static_cast<void*>(&fb), 0, sizeof(fb));
  pic.frameBuffer = &fb;
  ds.spsList = &spsHead;
  ds.ppsList = &ppsHead;
  ds.currentPicture = &pic;
  const uint32_t capacity = 4u << 20;
  const uint32_t bytes = nal_payload_allocation(capacity);
  std::vector<uint8_t> payload(bytes, 0);
  NalUnit nal{};
  nal.payload = payload.data();
  nal.capacity = bytes - 4;
  ds.parseReadPtr = file.data();
  ds.parseBytesLeft = static_cast<int32_t>(file.size());
  ds.wholeNalUnits = 1;
  ThreadBuffer tb;
  std::memset(static_cast<void*>(&tb), 0, sizeof(tb));
  tb.decoderState = &ds;

  static int32_t ls4[6][6][16];
  static int32_t ls8[2][6][64];
  uint8_t w4[6][16], w8[2][64];
  std::memset(w4, 16, sizeof(w4));
  std::memset(w8, 16, sizeof(w8));
  build_level_scale(w4, w8, ls4, ls8);

  std::vector<ParsedPicture> out;
  std::vector<MacroblockRecord> records;
  MacroblockRecord* rec = nullptr;
  uint32_t width = 0, height = 0, mbaff = 0;
  int32_t idrBase = 0, pocMsb = 0, prevLsb = 0, maxLsb = 1;
  CabacContext contexts[kCabacContextCount];
  auto flush = [&]() {
    if (!rec) return;
    ParsedPicture& p = out.back();
    p.qp.assign(width * height, '?');
    p.types.assign(width * height, '?');
    for (uint32_t a = 0; a < width * height; ++a) {
      uint32_t x = a % width, y = a / width;
      if (mbaff) x = (a / 2) % width, y = 2 * ((a / 2) / width) + (a & 1);
      p.qp[y * width + x] = static_cast<char>('0' + rec[a].qp_y);
      p.types[y * width + x] = type_class(rec[a].mb_type, mbaff && rec[a].mb_field_decoding_flag);
    }
  };
  while (ByteStreamParser_AnnexB(&ds, &nal) == kAnnexBUnitReady) {
    bs_init(&tb.reader, nal.payload, nal.length);
    if (nal.nal_unit_type == 7) {
      DecodeSequenceParameterSet(&tb);
      ++ds.accessUnitCounter;
      continue;
    }
    if (nal.nal_unit_type == 8) {
      DecodePictureParameterSet(&tb, 0);
      continue;
    }
    if (nal.nal_unit_type != 1 && nal.nal_unit_type != 5) continue;
    BitReaderCabac probe = tb.reader;
    ue_v(&probe);
    ue_v(&probe);
    const PictureParameterSet* pps = find_pps(&ppsHead, ue_v(&probe));
    if (!pps || !pps->entropy_coding_mode_flag) continue;
    const SequenceParameterSet* sps = pps->sps;
    SliceHeader h{};
    if (!parse_header(&tb.reader, nal.nal_unit_type, nal.nal_ref_idc, pps, &h)) {
      ++*failedSlices;
      continue;
    }
    if (h.first_mb == 0) {
      flush();
      width = sps->PicWidthInMbs;
      height = sps->FrameHeightInMbs;
      mbaff = sps->mb_adaptive_frame_field_flag;
      records.assign(width * height, MacroblockRecord{});
      rec = records.data();
      maxLsb = 1 << (sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
      if (h.idr) {
        idrBase += 1 << 20;
        pocMsb = 0;
        prevLsb = 0;
      }
      // Picture order count, type 0: the most significant part follows the
      // previous reference picture's.
      const int32_t lsb = static_cast<int32_t>(h.poc_lsb);
      int32_t msb = pocMsb;
      if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2) msb += maxLsb;
      if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2) msb -= maxLsb;
      if (nal.nal_ref_idc) {
        pocMsb = msb;
        prevLsb = lsb;
      }
      const int32_t poc = msb + lsb;
      out.push_back({sps->pic_order_cnt_type == 2 ? idrBase + static_cast<int32_t>(out.size()) : idrBase + poc, "", ""});
    }
    if (!rec) continue;
    SliceDataState s{};
    s.records = rec;
    s.widthInMbs = width;
    s.mbCount = width * height;
    s.structure = 2;
    s.chroma_format_idc = sps->chroma_format_idc;
    s.sliceType = static_cast<uint8_t>(h.slice_type == 2 ? 2 : h.slice_type);
    s.MbaffFrameFlag = static_cast<uint8_t>(mbaff);
    s.entropy_coding_mode_flag = 1;
    s.constrained_intra_pred_flag = pps->constrained_intra_pred_flag;
    s.transform_8x8_mode_flag = pps->transform_8x8_mode_flag;
    s.direct_8x8_inference_flag = sps->direct_8x8_inference_flag;
    s.num_ref_idx_l0_active_minus1 = static_cast<uint8_t>(h.l0);
    s.num_ref_idx_l1_active_minus1 = static_cast<uint8_t>(h.l1);
    s.chroma_qp_index_offset = pps->chroma_qp_index_offset;
    s.second_chroma_qp_index_offset = pps->second_chroma_qp_index_offset;
    const int8_t sliceQp = static_cast<int8_t>(26 + pps->pic_init_qp_minus26 + h.qp_delta);
    s.QPY = sliceQp;
    s.ls4x4 = ls4;
    s.ls8x8 = ls8;
    s.firstMbAddr = h.first_mb * (1 + mbaff);
    s.CurrMbAddr = s.firstMbAddr;
    s.firstMb = s.currentMb = s.firstMbAddr < s.mbCount ? rec + s.firstMbAddr : rec;
    if (s.sliceType == 2)
      cabac_init_contexts_i_slice(sliceQp, contexts);
    else if (s.sliceType == 0)
      cabac_init_contexts_p_slice(sliceQp, contexts, static_cast<uint8_t>(h.cabac_init_idc));
    else
      cabac_init_contexts_b_slice(sliceQp, contexts, static_cast<uint8_t>(h.cabac_init_idc));
    if (decode_slice_data_cabac(&tb, &s, contexts) != kSliceDone) ++*failedSlices;
  }
  flush();
  FreeSequenceParameterSets(&spsHead);
  FreePictureParameterSets(&ppsHead);
  std::stable_sort(out.begin(), out.end(), [](const ParsedPicture& a, const ParsedPicture& b) { return a.order < b.order; });
  return out;
}

}  // namespace cabacstream
