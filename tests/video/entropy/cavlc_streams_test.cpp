// Real CAVLC streams through the slice-data walk: every macroblock's type,
// partition, field flag and QP against the reference decoder's per-
// macroblock dump (tests/data/entropy/NAME.mbinfo.gz, made by make.sh).
// A small slice-header reader stands in for the decoder engine; pictures are
// told apart by their first slice (first_mb_in_slice 0), the two fields of
// a frame by their parity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "annexb.h"
#include "cavlc_tables.h"
#include "decoder_state.h"
#include "parameter_sets.h"
#include "slice_data.h"
#include "testsupport.h"
#include "transforms.h"

namespace {

struct SliceHeader {
  uint32_t first_mb;
  uint32_t type;  // 0 P, 1 B, 2 I
  bool field;
  bool bottom;
  uint8_t numRef[2];
  int32_t qp;
  uint8_t deblockIdc;
};

// Reads the slice header of a CAVLC slice up to slice_data(); false for what
// this reader does not cover (slice groups, SP/SI).
bool read_slice_header(BitReaderCabac* r, const NalUnit& nal, const SequenceParameterSet* sps,
                       const PictureParameterSet* pps, SliceHeader* h) {
  h->type = ue_v(r) % 5;
  if (h->type > 2) return false;
  ue_v(r);  // pic_parameter_set_id, already looked up
  ReadNBits(r, sps->log2_max_frame_num);
  h->field = false;
  h->bottom = false;
  if (!sps->frame_mbs_only_flag) {
    h->field = ReadOneBit(r) != 0;
    if (h->field) h->bottom = ReadOneBit(r) != 0;
  }
  const bool idr = nal.nal_unit_type == 5;
  if (idr) ue_v(r);
  if (sps->pic_order_cnt_type == 0) {
    ReadNBits(r, sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
    if (pps->pic_order_present_flag && !h->field) se_v(r);
  }
  if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
    se_v(r);
    if (pps->pic_order_present_flag && !h->field) se_v(r);
  }
  if (pps->redundant_pic_cnt_present_flag) ue_v(r);
  if (h->type == 1) ReadOneBit(r);  // direct_spatial_mv_pred_flag
  h->numRef[0] = pps->num_ref_idx_l0_active_minus1;
  h->numRef[1] = pps->num_ref_idx_l1_active_minus1;
  if (h->type != 2 && ReadOneBit(r)) {
    h->numRef[0] = static_cast<uint8_t>(ue_v(r));
    if (h->type == 1) h->numRef[1] = static_cast<uint8_t>(ue_v(r));
  }
  for (uint32_t list = 0; list < (h->type == 0 ? 1u : h->type == 1 ? 2u : 0u); ++list) {
    if (!ReadOneBit(r)) continue;
    for (int n = 0; n < 100; ++n) {
      if (ue_v(r) == 3) break;
      ue_v(r);
    }
  }
  if ((pps->weighted_pred_flag && h->type == 0) || (pps->weighted_bipred_idc == 1 && h->type == 1)) {
    ue_v(r);
    if (sps->chroma_format_idc != 0) ue_v(r);
    for (uint32_t list = 0; list < (h->type == 1 ? 2u : 1u); ++list)
      for (uint32_t i = 0; i <= h->numRef[list]; ++i) {
        if (ReadOneBit(r)) {
          se_v(r);
          se_v(r);
        }
        if (sps->chroma_format_idc != 0 && ReadOneBit(r))
          for (int k = 0; k < 4; ++k) se_v(r);
      }
  }
  if (nal.nal_ref_idc != 0) {
    if (idr) {
      ReadNBits(r, 2);
    } else if (ReadOneBit(r)) {
      for (int n = 0; n < 100; ++n) {
        const uint32_t op = ue_v(r);
        if (op == 0) break;
        if (op == 1 || op == 3) ue_v(r);
        if (op == 2) ue_v(r);
        if (op == 3 || op == 6) ue_v(r);
        if (op == 4) ue_v(r);
      }
    }
  }
  h->qp = 26 + pps->pic_init_qp_minus26 + se_v(r);
  h->deblockIdc = 0;
  if (pps->deblocking_filter_control_present_flag) {
    h->deblockIdc = static_cast<uint8_t>(ue_v(r));
    if (h->deblockIdc != 1) {
      se_v(r);
      se_v(r);
    }
  }
  return pps->num_slice_groups_minus1 == 0 && !r->overrun;
}

// The reference decoder's cell of a macroblock record.
std::string cell_of(const MacroblockRecord& m, bool field, bool bSlice) {
  char type = '?', part = ' ';
  const uint8_t t = m.mb_type;
  if (t == MbP_Skip) {
    type = 'S';
  } else if (t == MbB_Skip) {
    type = 'd';
  } else if (t == MbB_Direct_16x16) {
    type = 'D';
  } else if (t == MbI_NxN) {
    type = 'i';
  } else if (t >= MbI_16x16_First && t <= MbI_16x16_Last) {
    type = 'I';
  } else if (t == MbI_PCM) {
    type = 'P';
  } else {
    const int shape = t & 3;
    part = "+-|+"[shape] == '+' && shape == 0 ? ' ' : " -|+"[shape];
    int lists = 0;
    if (shape == 3) {
      for (int q = 0; q < 4; ++q)
        lists |= m.sub_mb_type[q] == SubMbB_Direct_8x8 ? 3 : (m.sub_mb_type[q] >> 3) & 3;
    } else {
      lists = ((t >> 4) & 3) | (shape == 0 ? 0 : (t >> 2) & 3);
    }
    type = lists == 3 ? 'X' : lists == 2 ? '<' : '>';
    // The reference summarises the lists of B_8x8 macroblocks its own way
    // (direct quadrants take theirs from derived motion): not compared.
    if (shape == 3 && bSlice) type = '*';
  }
  char buf[8];
  std::snprintf(buf, sizeof(buf), "%2d%c%c%c", m.qp_y, type, part, field ? '=' : ' ');
  std::string s(buf);
  const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

// A cell of ours against the reference's. What only motion derivation
// decides is not compared: the partition letter of B_Direct_16x16 and the
// partition letter of B_Skip and B_Direct_16x16 and the list letter of
// B_8x8 macroblocks ('*' in ours).
bool cells_match(const std::string& got, const std::string& want) {
  if (got == want) return true;
  size_t q = 0;
  while (q < got.size() && got[q] >= '0' && got[q] <= '9') ++q;
  if (q == 0 || q >= got.size() || want.size() <= q || want.compare(0, q, got, 0, q) != 0) return false;
  const bool gotField = got.back() == '=', wantField = want.back() == '=';
  if (gotField != wantField) return false;
  if (got[q] == 'D' || got[q] == 'd') return want[q] == got[q];
  if (got[q] == '*') return (want[q] == '<' || want[q] == '>' || want[q] == 'X') && got.substr(q + 1) == want.substr(q + 1);
  return false;
}

// The cells of a picture line, rows (';') and macroblocks (',') alike.
std::vector<std::string> cells_of(std::string s) {
  std::replace(s.begin(), s.end(), ';', ',');
  std::vector<std::string> out;
  for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = s.find(',', start);
    out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  return out;
}

// Expectation lines (one per picture) of a stream, without their prefix.
std::vector<std::string> expectations(const std::string& name) {
  const std::string cmd = "gzip -dc '" + testsupport::local_data_file("entropy/" + name + ".mbinfo.gz") + "'";
  std::vector<std::string> lines;
  FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return lines;
  std::string all(1 << 16, '\0');
  size_t size = 0, n;
  while ((n = fread(&all[size], 1, all.size() - size, f)) > 0)
    if ((size += n) == all.size()) all.resize(2 * size);
  pclose(f);
  for (size_t start = 0, end; start < size; start = end + 1) {
    end = std::min(all.find('\n', start), size);
    if (end > start) lines.push_back(all.substr(std::min(start + 2, end), end - std::min(start + 2, end)));
  }
  return lines;
}

struct StreamResult {
  int fieldSlices = 0;
  int pictures = 0;
  int mismatches = 0;
  int failedSlices = 0;
  std::string firstMismatch;
};

StreamResult check_stream(const std::string& rel, const std::string& name) {
  StreamResult res;
  const std::vector<uint8_t> data = testsupport::read_file(testsupport::testdata_file(rel));
  const std::vector<std::string> expect = expectations(name);
  EXPECT_FALSE(expect.empty()) << name;

  DecoderState ds;
  std::memset(static_cast<void*>(&ds), 0, sizeof(ds));
  ThreadBuffer tb;
  std::memset(static_cast<void*>(&tb), 0, sizeof(tb));
  NalUnit nal;
  std::memset(&nal, 0, sizeof(nal));
  const uint32_t bytes = nal_payload_allocation(static_cast<uint32_t>(data.size()));
  std::unique_ptr<uint8_t, decltype(&std::free)> payload(static_cast<uint8_t*>(std::aligned_alloc(16, (bytes + 15) & ~15u)),
                                                          &std::free);
  std::memset(payload.get(), 0, bytes);
  nal.payload = payload.get();
  nal.capacity = bytes - 4u;
  ds.parseReadPtr = data.data();
  ds.parseBytesLeft = static_cast<int32_t>(data.size());
  ds.wholeNalUnits = 1;
  tb.decoderState = &ds;
  static SequenceParameterSet spsHead;
  static PictureParameterSet ppsHead;
  InitSequenceParameterSetHead(&spsHead);
  InitPictureParameterSetHead(&ppsHead);
  ds.spsList = &spsHead;
  ds.ppsList = &ppsHead;

  MacroblockRecord* records = nullptr;
  uint32_t width = 0, count = 0;
  bool mbaff = false, open = false, fieldPicture = false;
  uint32_t fieldsSeen = 0;
  static int32_t ls4[6][6][16], ls8[2][6][64];
  std::vector<uint8_t> bSliceOf;

  // The reference prints pictures in output order: each decoded picture
  // must equal one not yet matched expectation line.
  std::vector<bool> used(expect.size(), false);
  auto finish_picture = [&]() {
    if (!open) return;
    open = false;
    ++res.pictures;
    std::vector<std::string> got;
    for (uint32_t y = 0; y < count / width; ++y)
      for (uint32_t x = 0; x < width; ++x) {
        // Field pictures: the top field's rows are the frame's even rows.
        const uint32_t addr = fieldPicture ? (y & 1) * (count / 2) + (y / 2) * width + x
                              : mbaff      ? 2 * (width * (y / 2) + x) + (y & 1)
                                           : y * width + x;
        const bool field = fieldPicture || (mbaff && records[addr].mb_field_decoding_flag);
        got.push_back(cell_of(records[addr], field, bSliceOf[addr] != 0));
      }
    size_t best = expect.size(), bestDiff = SIZE_MAX;
    std::string bestNote;
    for (size_t i = 0; i < expect.size(); ++i) {
      if (used[i]) continue;
      const std::vector<std::string> want = cells_of(expect[i]);
      size_t diff = want.size() == got.size() ? 0 : SIZE_MAX / 2;
      std::string note;
      for (size_t k = 0; k < got.size() && k < want.size(); ++k)
        if (!cells_match(got[k], want[k]) && diff++ == 0)
          note = "cell " + std::to_string(k) + " got '" + got[k] + "' want '" + want[k] + "'";
      if (diff == 0) {
        used[i] = true;
        return;
      }
      if (diff < bestDiff) bestDiff = diff, best = i, bestNote = note;
    }
    if (res.mismatches == 0)
      res.firstMismatch = "picture " + std::to_string(res.pictures - 1) + " (closest line " + std::to_string(best) +
                          ", " + std::to_string(bestDiff) + " cells differ: " + bestNote + ")";
    ++res.mismatches;
  };

  while (ByteStreamParser_AnnexB(&ds, &nal) == kAnnexBUnitReady) {
    bs_init(&tb.reader, nal.payload, nal.length);
    const uint32_t type = nal.nal_unit_type;
    if (type == 7) {
      DecodeSequenceParameterSet(&tb);
    } else if (type == 8) {
      DecodePictureParameterSet(&tb, 0);
    } else if (type == 1 || type == 5) {
      BitReaderCabac* r = &tb.reader;
      const uint32_t firstMb = ue_v(r);
      BitReaderCabac peek = *r;
      ue_v(&peek);
      const uint32_t ppsId = ue_v(&peek);
      const PictureParameterSet* pps = FindPictureParameterSet(&ppsHead, ppsId);
      if (pps == nullptr || pps->sps == nullptr) continue;
      const SequenceParameterSet* sps = pps->sps;
      SliceHeader h;
      h.first_mb = firstMb;
      if (!read_slice_header(r, nal, sps, pps, &h) || pps->entropy_coding_mode_flag) continue;
      const uint32_t parity = h.bottom ? 1 : 0;
      if (h.field) ++res.fieldSlices;
      const bool secondField = h.field && open && fieldPicture && (fieldsSeen & (1u << parity)) == 0;
      if (firstMb == 0 && !secondField) {
        finish_picture();
        fieldPicture = h.field;
        fieldsSeen = 0;
        width = sps->PicWidthInMbs;
        const uint32_t need = width * sps->FrameHeightInMbs;
        if (need != count) {
          std::free(records);
          count = need;
          records = static_cast<MacroblockRecord*>(std::aligned_alloc(16, sizeof(MacroblockRecord) * count));
        }
        std::memset(records, 0, sizeof(MacroblockRecord) * count);
        bSliceOf.assign(count, 0);
        open = true;
      }
      if (h.field != fieldPicture) continue;  // a field beside a frame: not tracked
      if (h.field) fieldsSeen |= 1u << parity;
      mbaff = sps->mb_adaptive_frame_field_flag != 0 && !h.field;
      const uint32_t base = h.field ? parity * (count / 2) : 0;
      const uint32_t sliceCount = h.field ? count / 2 : count;
      build_level_scale(pps->ScalingList4x4, pps->ScalingList8x8, ls4, ls8);
      SliceDataState s{};
      s.records = records + base;
      s.widthInMbs = width;
      s.mbCount = sliceCount;
      s.structure = h.field ? static_cast<uint8_t>(parity) : 2;
      s.chroma_format_idc = sps->chroma_format_idc;
      s.sliceType = static_cast<uint8_t>(h.type);
      s.MbaffFrameFlag = mbaff;
      s.constrained_intra_pred_flag = pps->constrained_intra_pred_flag;
      s.transform_8x8_mode_flag = pps->transform_8x8_mode_flag;
      s.direct_8x8_inference_flag = sps->direct_8x8_inference_flag;
      s.num_ref_idx_l0_active_minus1 = h.numRef[0];
      s.num_ref_idx_l1_active_minus1 = h.numRef[1];
      s.chroma_qp_index_offset = pps->chroma_qp_index_offset;
      s.second_chroma_qp_index_offset = pps->second_chroma_qp_index_offset;
      s.QPY = h.qp;
      s.firstMbAddr = firstMb * (mbaff ? 2 : 1);
      s.CurrMbAddr = s.firstMbAddr;
      if (s.firstMbAddr >= sliceCount) continue;
      s.firstMb = s.currentMb = s.records + s.firstMbAddr;
      s.ls4x4 = ls4;
      s.ls8x8 = ls8;
      r->overrun = 0;
      if (decode_slice_data_cavlc(r, &s) != kSliceDone) {
        ++res.failedSlices;
        continue;
      }
      for (uint32_t k = 0; k < s.firstMb->slice_mb_count; ++k) bSliceOf[base + s.firstMbAddr + k] = h.type == 1;
    }
  }
  finish_picture();
  EXPECT_EQ(static_cast<size_t>(res.pictures), expect.size()) << name;
  std::free(records);
  FreeSequenceParameterSets(&spsHead);
  FreePictureParameterSets(&ppsHead);
  return res;
}

class CavlcStreams : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_EQ(AllocateCAVLCTables(), 0u); }
  void TearDown() override { FreeCAVLCTables(); }
};

TEST_P(CavlcStreams, MacroblockTypesAndQpsMatchTheReference) {
  const std::string rel = GetParam();
  AVCHD_REQUIRE_TESTDATA(path, rel);
  if (rel.rfind("h264-features/", 0) == 0) AVCHD_REQUIRE_SHARED_MATERIAL();
  std::string name = rel.substr(rel.rfind('/') + 1);
  name = name.substr(0, name.rfind('.'));
  const StreamResult res = check_stream(rel, name);
  EXPECT_EQ(res.failedSlices, 0) << name;
  EXPECT_EQ(res.mismatches, 0) << name << ": " << res.firstMismatch;
  EXPECT_GT(res.pictures, 0) << name;
}

INSTANTIATE_TEST_SUITE_P(Features, CavlcStreams,
                         ::testing::Values("h264-features/01_cavlc_main.264", "h264-features/04_cavlc_high_8x8.264",
                                           "h264-features/13_slice_max_mbs37_cavlc.264",
                                           "h264-features/22_ipcm_cavlc.264",
                                           "h264-features/25_noise_lowqp_cavlc.264",
                                           "h264-features/15_mbaff_bff_cavlc.264"));

// Conformance streams whose picture parameter sets are all CAVLC (the
// streams make.sh found).
INSTANTIATE_TEST_SUITE_P(Conformance, CavlcStreams,
                         ::testing::Values(
    "h264-conformance/AUD_MW_E.264", "h264-conformance/BA1_FT_C.264", "h264-conformance/BAMQ1_J_C.264",
    "h264-conformance/BAMQ2_J_C.264", "h264-conformance/BANM_MW_D.264", "h264-conformance/BA_MW_D.264",
    "h264-conformance/CI1_FT_B.264", "h264-conformance/CI_MW_D.264", "h264-conformance/CVFI1_SVA_C.264",
    "h264-conformance/FREXT02_J_C.264", "h264-conformance/FRExt1_P.avc", "h264-conformance/FRExt2_P.avc",
    "h264-conformance/Freh1_B.264", "h264-conformance/HCBP2_HHI_A.264", "h264-conformance/HCMP1_HHI_A.264",
    "h264-conformance/HPCVFLNL_BRCM_A.264", "h264-conformance/HPCVMOLQ_BRCM_B.264",
    "h264-conformance/HPCVNL_BRCM_A.264", "h264-conformance/HPCV_BRCM_A.264", "h264-conformance/LS_SVA_D.264",
    "h264-conformance/MIDR_MW_D.264", "h264-conformance/MPS_MW_A.264", "h264-conformance/MR1_MW_A.264",
    "h264-conformance/MR2_MW_A.264", "h264-conformance/MR2_TANDBERG_E.264", "h264-conformance/MR3_TANDBERG_B.264",
    "h264-conformance/MR4_TANDBERG_C.264", "h264-conformance/MR5_TANDBERG_C.264", "h264-conformance/NL3_SVA_E.264",
    "h264-conformance/NLMQ1_J_C.264", "h264-conformance/NLMQ2_J_C.264", "h264-conformance/NRF_MW_E.264",
    "h264-conformance/SL1_SVA_B.264", "h264-conformance/SVA_BA1_B.264", "h264-conformance/SVA_BA2_D.264",
    "h264-conformance/SVA_Base_B.264", "h264-conformance/SVA_CL1_E.264", "h264-conformance/SVA_FM1_E.264",
    "h264-conformance/SVA_NL1_B.264", "h264-conformance/SVA_NL2_E.264", "h264-conformance/freh6.264"));

}  // namespace
