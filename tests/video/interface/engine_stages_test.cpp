// The engine through the real stages: one, two and eight workers give the
// same output (fields, frame/field macroblock pairs, B pyramids, several
// references), and a slice whose entropy decoding fails still completes its
// picture (the macroblocks no slice wrote concealed from its reference) without an
// error, the same with every worker count, keeping the macroblocks it decoded
// before its damage; slices reconstructed alongside
// their entropy decoding give the pictures of separate passes; deblocking,
// whole or row by row, runs through the stage table.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "decoder_engine.h"
#include "engine_test_util.h"
#include "reconstruction.h"
#include "testsupport.h"

namespace {

constexpr size_t kLost = ~size_t{0};

// Cuts the payload of the n-th slice NAL unit (counted from 0) to `keep`
// bytes after its header; kLost drops the unit with its start code.
std::vector<uint8_t> cut_slice(const std::vector<uint8_t>& in, int n, size_t keep) {
  std::vector<size_t> starts;  // first byte after each start code
  for (size_t i = 0; i + 3 <= in.size(); ++i)
    if (in[i] == 0 && in[i + 1] == 0 && in[i + 2] == 1) starts.push_back(i += 3);
  int slice = -1;
  for (size_t k = 0; k < starts.size(); ++k) {
    const uint32_t type = in[starts[k]] & 31;
    if ((type != 1 && type != 5) || ++slice != n) continue;
    const size_t end = k + 1 < starts.size() ? starts[k + 1] - 4 : in.size();
    std::vector<uint8_t> out(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(keep == kLost ? starts[k] - 3 : starts[k] + 1 + keep));
    out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(end), in.end());
    return out;
  }
  return in;
}

// The stream decoded with `threads` workers, its pictures kept.
enginetest::DecodeRun decode_keeping(const std::vector<uint8_t>& data, uint32_t threads) {
  enginetest::DecodeOptions options;
  options.threads = threads;
  options.keepPictures = true;
  return enginetest::decode_buffer(data, options);
}

// Luma PSNR of rows [y0, y1) of a picture against the same rows of another
// (or against a flat grey when `other` is null).
double rows_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>* other, size_t width, size_t y0, size_t y1) {
  double sum = 0;
  for (size_t i = y0 * width; i < y1 * width; ++i) {
    const double d = static_cast<double>(a[i]) - (other ? (*other)[i] : 128);
    sum += d * d;
  }
  const double mse = sum / static_cast<double>((y1 - y0) * width);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The macroblocks no slice wrote are taken from the reference picture (moved
// by the motion of the decoded ones around them): far nearer the intact
// picture than grey.
TEST(EngineConcealment, APictureWhoseSliceFailsCompletesFromItsReference) {
  const std::vector<uint8_t> intactStream = testsupport::read_file(testsupport::local_data_file("inter/p_cavlc.264"));
  const std::vector<std::string> want =
      enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file("inter/p_cavlc.framemd5")));
  ASSERT_EQ(12u, want.size());
  enginetest::DecodeOptions keep;
  keep.keepPictures = true;
  const enginetest::DecodeRun intact = enginetest::decode_buffer(intactStream, keep);
  ASSERT_EQ(12u, intact.pictures.size());
  // The slice of picture 6 (805 bytes) cut in its first row, and past its
  // middle.
  for (size_t kept : {40u, 500u}) {
    const std::vector<uint8_t> data = cut_slice(intactStream, 6, kept);
    std::vector<std::string> first;
    for (uint32_t threads : enginetest::worker_counts({1u, 2u, 8u})) {
      const enginetest::DecodeRun run = decode_keeping(data, threads);
      ASSERT_TRUE(run.finished) << "error " << run.errorCode;
      ASSERT_EQ(12u, run.pictures.size()) << threads << " workers";
      for (size_t i = 0; i < 6; ++i) EXPECT_EQ(want[i], run.md5s[i]) << "picture " << i;
      EXPECT_NE(want[6], run.md5s[6]);
      // The last macroblock row of the cut picture lies in macroblocks no
      // slice wrote.
      const size_t width = static_cast<size_t>(run.params.outputWidth);
      const size_t height = static_cast<size_t>(run.params.outputHeight);
      const double concealed = rows_psnr(run.pictures[6], &intact.pictures[6], width, height - 16, height);
      const double grey = rows_psnr(intact.pictures[6], nullptr, width, height - 16, height);
      EXPECT_GT(concealed, grey + 10.0) << kept << " bytes, " << threads << " workers";
      if (first.empty()) first = run.md5s;
      EXPECT_EQ(first, run.md5s) << kept << " bytes, " << threads << " workers";
    }
  }
}

// A slice whose data break off keeps the macroblocks decoded before the
// damage: the rows above it are the intact picture's (CAVLC and CABAC,
// whether the slice was reconstructed alongside its walk or after it). Of
// an IDR picture's missing macroblocks, the first picture of a stream fills
// them from the decoded ones around them; a later IDR picture takes them
// from the picture before it, although that one is no reference any more.
// Where the damage begins, the picture is far nearer the intact one than
// grey; the same with every worker count and on every run.
TEST(EngineConcealment, ADamagedSliceKeepsWhatItDecodedAndFillsTheRestFromWhatIsKnown) {
  struct Case {
    const char* name;
    int slice;           // the damaged slice, in decode order
    size_t cut;          // bytes of it kept
    size_t picture;      // its picture's place in output order
    size_t intactLines;  // lines before the damage
    double better;       // dB above grey at least where the damage begins
  };
  for (const Case& c : {Case{"inter/p_cavlc", 6, 450, 6, 48, 10.0}, Case{"inter/p_cabac_ref4", 6, 450, 6, 48, 10.0},
                        Case{"inter/p_cavlc", 0, 1200, 0, 16, 6.0}, Case{"leading/lead_before_idr", 6, 150, 8, 0, 10.0}}) {
    const std::vector<uint8_t> intactStream =
        testsupport::read_file(testsupport::local_data_file(std::string(c.name) + ".264"));
    const enginetest::DecodeRun intact = decode_keeping(intactStream, 1);
    ASSERT_EQ(12u, intact.pictures.size()) << c.name;
    const std::vector<uint8_t> data = cut_slice(intactStream, c.slice, c.cut);
    std::vector<std::string> first;
    for (uint32_t threads : enginetest::worker_counts({1u, 2u, 8u, 2u, 8u})) {
      const enginetest::DecodeRun run = decode_keeping(data, threads);
      ASSERT_TRUE(run.finished) << "error " << run.errorCode;
      ASSERT_EQ(12u, run.pictures.size()) << c.name << ", " << threads << " workers";
      const size_t width = static_cast<size_t>(run.params.outputWidth);
      const size_t height = static_cast<size_t>(run.params.outputHeight);
      const std::vector<uint8_t>& got = run.pictures[c.picture];
      const std::vector<uint8_t>& want = intact.pictures[c.picture];
      if (c.intactLines > 0) {
        EXPECT_EQ(99.0, rows_psnr(got, &want, width, 0, c.intactLines)) << c.name;
      }
      // The first macroblock row that differs from the intact picture.
      size_t y0 = 0;
      while (y0 < height && rows_psnr(got, &want, width, y0, y0 + 16) == 99.0) y0 += 16;
      ASSERT_LT(y0, height) << c.name;
      const double concealed = rows_psnr(got, &want, width, y0, y0 + 16);
      EXPECT_GT(concealed, rows_psnr(want, nullptr, width, y0, y0 + 16) + c.better) << c.name << ", row at " << y0;
      if (first.empty()) first = run.md5s;
      EXPECT_EQ(first, run.md5s) << c.name << ", " << threads << " workers";
    }
  }
}

// The picture of a lost slice in decode order `slice` of a clip of the
// material, at output place `picture`, against the intact one: luma PSNR of
// rows [y0, y1), the same with every worker count.
double psnr_after_loss(const char* clip, int slice, size_t picture, size_t y0, size_t y1) {
  const std::vector<uint8_t> intactStream = testsupport::read_file(testsupport::testdata_file(clip));
  const enginetest::DecodeRun intact = decode_keeping(intactStream, 1);
  const std::vector<uint8_t> data = cut_slice(intactStream, slice, kLost);
  double psnr = 0;
  std::vector<std::string> first;
  for (uint32_t threads : enginetest::worker_counts({1u, 2u, 8u})) {
    const enginetest::DecodeRun run = decode_keeping(data, threads);
    EXPECT_TRUE(run.finished && run.pictures.size() > picture) << clip << ", " << threads << " workers";
    if (run.pictures.size() <= picture || intact.pictures.size() <= picture) return 0;
    psnr = rows_psnr(run.pictures[picture], &intact.pictures[picture], size_t(run.params.outputWidth), y0, y1);
    if (first.empty()) first = run.md5s;
    EXPECT_EQ(first, run.md5s) << clip << ", " << threads << " workers";
  }
  return psnr;
}

// The last of four slices of a picture lost, where a bar moves through it:
// the motion the reference had there, carried on, places the bar as the
// neighbours above it (still background) cannot.
TEST(EngineConcealment, ALostSliceOverMovingContentFollowsTheReferencesMotion) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/12_slices4.264");
  EXPECT_GT(psnr_after_loss("h264-features/12_slices4.264", 63, 15, 224, 288), 37.0);
}

// A lost reference picture whose successors name it in their list
// modifications (duplicates with their own weights): it stands for the
// reference before it, so they decode instead of being concealed whole.
TEST(EngineConcealment, AListModificationNamingALostPictureTakesTheReferenceBeforeIt) {
  AVCHD_REQUIRE_SHARED_MATERIAL();
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/07_weightp.264");
  EXPECT_GT(psnr_after_loss("h264-features/07_weightp.264", 7, 7, 0, 288), 38.0);
}

TEST(EngineThreads, OneTwoAndEightWorkersGiveTheSameOutput) {
  for (const char* rel : {"h264-conformance/CVFI1_SVA_C.264", "h264-conformance/CAMA3_Sand_E.264",
                          "h264-conformance/HCAFF1_HHI.264", "h264-conformance/CAPA1_T_B.264",
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer: the field, MBAFF and PAFF streams above
                          "h264-conformance/FRExt2_P.avc", "h264-conformance/MR1_MW_A.264",
                          "h264-features/05_bpyramid_normal.264", "h264-features/14_mbaff_tff_cabac.264"
#endif
                         }) {
    const std::string path = testsupport::testdata_file(rel);
    if (path.empty()) GTEST_SKIP() << "test material missing: " << rel;
    const std::vector<uint8_t> data = testsupport::read_file(path);
    enginetest::DecodeOptions opt;
    opt.threads = 1;
    const enginetest::DecodeRun one = enginetest::decode_buffer(data, opt);
    ASSERT_TRUE(one.finished) << rel;
    for (uint32_t n : enginetest::worker_counts({2u, 8u})) {
      opt.threads = n;
      opt.chunk = n == 8 ? 4096 : 0;
      const enginetest::DecodeRun many = enginetest::decode_buffer(data, opt);
      EXPECT_TRUE(many.finished) << rel;
      EXPECT_EQ(one.md5s, many.md5s) << rel << " with " << n << " workers";
    }
  }
}

// The real stages with reconstruction drivers that the slice-data step does
// not know: every slice is then reconstructed in a pass of its own after its
// whole walk, as when its references are not decoded yet.
uint32_t separate_i(ThreadBuffer* tb) { return predict_and_combine_I_unit_8bit(tb); }
uint32_t separate_i_mbaff(ThreadBuffer* tb) { return predict_and_combine_I_unit_8bit_luma_mbaff(tb); }
uint32_t separate_p(ThreadBuffer* tb) { return predict_and_combine_P_unit_8bit_luma(tb); }
uint32_t separate_p_mbaff(ThreadBuffer* tb) { return predict_and_combine_P_unit_8bit_luma_mbaff(tb); }
uint32_t separate_b(ThreadBuffer* tb) { return predict_and_combine_B_unit_8bit_luma(tb); }
uint32_t separate_b_mbaff(ThreadBuffer* tb) { return predict_and_combine_B_unit_8bit_luma_mbaff(tb); }
const DecoderStages kSeparatePasses = {binari_decode_i_unit, binari_decode_p_unit, binari_decode_b_unit,
                                       separate_i,           separate_i_mbaff,     separate_p,
                                       separate_p_mbaff,     separate_b,           separate_b_mbaff,
                                       DeblockingFilter,     DeblockingFilter_mbaff, deblock_rows,
                                       deblock_rows_mbaff};

// With one worker every slice finds its references decoded and is
// reconstructed alongside its walk, in steps across rows, pairs and slice
// starts; the pictures are those of separate passes, also where a cut slice
// is given up after part of it was reconstructed. The CABAC streams with
// direct prediction catch a walk that reads what reconstruction derived.
TEST(EngineReconstructionAlongside, GivesThePicturesOfSeparatePasses) {
  struct Case {
    const char* path;  // under the test material, or local when `local`
    bool local;
    int cutSlice;  // slice cut to `keep` bytes, -1 none
    size_t keep;
  };
  const Case cases[] = {
      {"inter/p_cavlc.264", true, -1, 0},
      {"inter/p_cavlc.264", true, 6, 603},
      {"h264-features/09_direct_spatial.264", false, -1, 0},
      {"h264-features/10_direct_temporal.264", false, -1, 0},
      {"h264-features/11_multiref8.264", false, -1, 0},
      {"h264-features/13_slice_max_mbs37_cavlc.264", false, -1, 0},
      {"h264-features/14_mbaff_tff_cabac.264", false, -1, 0},
      {"h264-features/14_mbaff_tff_cabac.264", false, 5, 2000},
      {"h264-features/15_mbaff_bff_cavlc.264", false, 4, 3000},
      {"h264-conformance/CVFI1_SVA_C.264", false, -1, 0},
      {"h264-conformance/CAPA1_T_B.264", false, -1, 0},
  };
  for (const Case& c : cases) {
    const std::string path = c.local ? testsupport::local_data_file(c.path) : testsupport::testdata_file(c.path);
    if (path.empty()) GTEST_SKIP() << "test material missing: " << c.path;
    std::vector<uint8_t> data = testsupport::read_file(path);
    if (c.cutSlice >= 0) data = cut_slice(data, c.cutSlice, c.keep);
    enginetest::DecodeOptions opt;
    const enginetest::DecodeRun alongside = enginetest::decode_buffer(data, opt);
    set_decoder_stages(&kSeparatePasses);
    const enginetest::DecodeRun separate = enginetest::decode_buffer(data, opt);
    set_decoder_stages(nullptr);
    ASSERT_TRUE(alongside.finished) << c.path;
    EXPECT_FALSE(alongside.md5s.empty()) << c.path;
    EXPECT_EQ(separate.md5s, alongside.md5s) << c.path << " cut at slice " << c.cutSlice;
  }
}

// Deblocking stages that count their calls and filter through the decoder's
// own. A picture record's row-wise calls must go on from where its pass
// stood, from row 0 to the picture's last row.
struct DeblockCalls {
  std::mutex lock;
  std::map<const DecodedPicture*, uint32_t> passAt;  // rows filtered by the record's open pass
  uint32_t whole[2] = {};     // whole-picture calls: frame or field, MBAFF
  uint32_t rowCalls[2] = {};  // row-wise calls
  uint32_t passesEnded = 0;   // row-wise passes that reached the picture's last row
  uint32_t outOfOrder = 0;    // row-wise calls that did not go on from where the pass stood
};
DeblockCalls gCalls;

template <bool kMbaff>
uint32_t counted_whole(DecodedPicture* p) {
  {
    std::lock_guard<std::mutex> hold(gCalls.lock);
    ++gCalls.whole[kMbaff];
  }
  return (kMbaff ? kDecoderStages.deblockMbaff : kDecoderStages.deblock)(p);
}

template <bool kMbaff>
uint32_t counted_rows(DecodedPicture* p, DeblockPass* pass, uint32_t first, uint32_t end) {
  {
    std::lock_guard<std::mutex> hold(gCalls.lock);
    ++gCalls.rowCalls[kMbaff];
    uint32_t& at = gCalls.passAt[p];
    if (first != at || end <= first) ++gCalls.outOfOrder;
    at = end;
    if (end == p->mbCount / ((kMbaff ? 2 : 1) * p->widthInMbs)) {
      ++gCalls.passesEnded;
      at = 0;
    }
  }
  return (kMbaff ? kDecoderStages.deblockRowsMbaff : kDecoderStages.deblockRows)(p, pass, first, end);
}

// With several workers the table's row-wise entries filter the pictures
// (the frame/field or the MBAFF entry by picture), each pass running from
// row 0 to the picture's last row, and the picture entries take only the
// pictures no pass started on; with one worker, or with a table without row
// entries, the picture entries filter every picture whole. The pictures are
// the reference decoder's every time.
TEST(EngineDeblockingStages, RowWiseDeblockingRunsThroughTheTable) {
  DecoderStages rowWise = kDecoderStages;
  rowWise.deblock = counted_whole<false>;
  rowWise.deblockMbaff = counted_whole<true>;
  rowWise.deblockRows = counted_rows<false>;
  rowWise.deblockRowsMbaff = counted_rows<true>;
  DecoderStages wholeOnly = rowWise;
  wholeOnly.deblockRows = nullptr;
  wholeOnly.deblockRowsMbaff = nullptr;
  struct Case {
    const char* stream;
    int mbaff;  // every picture an MBAFF frame
  };
  for (const Case& c : {Case{"inter/b_temporal_cabac", 0}, Case{"mbaff/tff_all_cabac", 1}}) {
    const std::string base = c.stream;
    const std::vector<uint8_t> data = testsupport::read_file(testsupport::local_data_file(base + ".264"));
    const std::vector<std::string> want =
        enginetest::framemd5_column(testsupport::read_text(testsupport::local_data_file(base + ".framemd5")));
    ASSERT_FALSE(want.empty()) << base;
    for (const DecoderStages* table : {&rowWise, &wholeOnly}) {
      for (uint32_t threads : {1u, 4u}) {
        const bool rows = table == &rowWise && threads > 1;
        SCOPED_TRACE(base + (table == &rowWise ? ", row entries, " : ", no row entries, ") +
                     std::to_string(threads) + " workers");
        {
          std::lock_guard<std::mutex> hold(gCalls.lock);
          gCalls.passAt.clear();
          gCalls.whole[0] = gCalls.whole[1] = gCalls.rowCalls[0] = gCalls.rowCalls[1] = 0;
          gCalls.passesEnded = gCalls.outOfOrder = 0;
        }
        enginetest::DecodeOptions options;
        options.threads = threads;
        set_decoder_stages(table);
        const enginetest::DecodeRun run = enginetest::decode_buffer(data, options);
        set_decoder_stages(nullptr);
        EXPECT_EQ(want, run.md5s);
        std::lock_guard<std::mutex> hold(gCalls.lock);
        EXPECT_EQ(want.size(), gCalls.whole[c.mbaff] + gCalls.passesEnded);
        EXPECT_EQ(0u, gCalls.whole[1 - c.mbaff] + gCalls.rowCalls[1 - c.mbaff]);
        EXPECT_EQ(0u, gCalls.outOfOrder);
        if (rows)
          EXPECT_GT(gCalls.passesEnded, 0u);
        else
          EXPECT_EQ(0u, gCalls.rowCalls[c.mbaff]);
      }
    }
  }
}

}  // namespace
