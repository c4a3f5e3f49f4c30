// A damaged stream never makes the decoder wait for work that cannot come,
// and damage is not taken for syntax the decoder refuses: a stream with
// nothing decodable ends at once with the reason; a slice that reads as
// refused syntax among decodable ones is dropped and concealed; a parameter
// set with refused syntax that no slice uses ends nothing, one cut short is
// used as read; a non-IDR slice typed IDR is read as the non-IDR slice it
// is; a spliced stream
// whose pictures fill the pools ends, also when they are ordered before
// the first picture output, and one whose stray pictures a delimiter closes
// at the end of the input ends the same on every run; a second IDR picture asking to drop
// the pictures before it still lets them out; smaller pictures joined on
// are each output at their own size; the pictures of a stream joined on
// without its IDR picture, before its start, are left out and counted,
// whatever their size; a field that what follows it leaves without its
// second field (a first field sent again far later) is output alone at the
// end. The outcome is the same for every worker count.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "engine_streams.h"
#include "engine_test_util.h"
#include "testsupport.h"

namespace {

using namespace enginetest;

// The units of a hand-made stream but those of one NAL unit type.
std::vector<uint8_t> without_type(const std::vector<uint8_t>& s, uint8_t type) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t next = i + 3;
    while (next + 2 < s.size() && !(s[next] == 0 && s[next + 1] == 0 && s[next + 2] == 1)) ++next;
    if (next + 2 >= s.size()) next = s.size();
    const size_t header = i + 3;  // the writers use three-byte start codes
    if (header >= s.size() || (s[header] & 31) != type) out.insert(out.end(), s.begin() + i, s.begin() + next);
    i = next;
  }
  return out;
}

// Decodes `data` with 1, 2 and 8 workers (or `usual`, or those the test
// run asks for): the same outcome and the same damage each time, which is
// returned, with the damage in `*damage` when asked for. A wait cut short by
// the time-out is a stall.
DecodeRun decode_everywhere(const std::string& what, const std::vector<uint8_t>& data, VideoDamage* damage = nullptr,
                            std::initializer_list<uint32_t> usual = {1u, 2u, 8u}) {
  DecodeRun first;
  const std::vector<uint32_t> counts = enginetest::worker_counts(usual);
  for (uint32_t threads : counts) {
    DecodeOptions opt;
    opt.threads = threads;
    opt.timeoutMs = 10000;
    const DecodeRun r = decode_buffer(data, opt);
    EXPECT_NE(kVideoErrorTimeout, r.errorCode) << what << ", " << threads << " workers: stalled";
    if (threads == counts.front()) {
      first = r;
      continue;
    }
    EXPECT_EQ(first.errorCode, r.errorCode) << what << ", " << threads << " workers";
    EXPECT_EQ(first.md5s, r.md5s) << what << ", " << threads << " workers";
    EXPECT_EQ(first.finished, r.finished) << what << ", " << threads << " workers";
    EXPECT_EQ(damage_words(first.damage), damage_words(r.damage)) << what << ", " << threads << " workers";
  }
  if (damage) *damage = first.damage;
  return first;
}

// More access units than the pools hold at 8 workers, none decodable: the
// end of the input ends the stream at once, with why its slices were dropped.
TEST(DamageRecovery, NothingDecodableEndsAtOnceWithTheReason) {
  StreamShape shape;
  const std::vector<uint8_t> intact = ip_stream(shape, 60);
  const struct {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t error;
  } cases[] = {
      {"picture parameter set lost", without_type(intact, 8), kVideoErrorNoPps},
      {"IDR picture lost", without_type(intact, 5), kVideoErrorNoReference},
  };
  for (const auto& c : cases) {
    const DecodeRun run = decode_everywhere(c.name, c.data);
    EXPECT_EQ(c.error, run.errorCode) << c.name;
    EXPECT_TRUE(run.md5s.empty()) << c.name;
  }
}

// One slice among decodable ones reads as refused syntax (more than 32
// active references, an SP slice): it is dropped, the picture it opened
// withdrawn, and the stream goes on to its end; the damage is reported once.
TEST(DamageRecovery, RefusedSyntaxInOneSliceIsDamage) {
  StreamShape shape;
  SliceShape idr;
  idr.idr = true;
  std::vector<SliceShape> manyRefs = {idr}, spSlice = {idr};
  for (uint32_t n = 1; n <= 5; ++n) {
    SliceShape p;
    p.sliceType = 5;
    p.frameNum = n;
    SliceShape damaged = p;
    if (n == 3) damaged.overrideL0Minus1 = 40;
    manyRefs.push_back(damaged);
    damaged = p;
    if (n == 3) damaged.sliceType = 8;  // 8 mod 5 = 3: SP
    spSlice.push_back(damaged);
  }
  const DecodeRun refs = decode_everywhere("33 active references once", stream_of(shape, manyRefs));
  EXPECT_TRUE(refs.finished) << "error " << refs.errorCode << " " << refs.refusal;
  EXPECT_EQ(5u, refs.md5s.size());  // the picture its slice opened is withdrawn
  const DecodeRun sp = decode_everywhere("an SP slice once", stream_of(shape, spSlice));
  EXPECT_TRUE(sp.finished) << "error " << sp.errorCode << " " << sp.refusal;
  EXPECT_EQ(5u, sp.md5s.size());
  // The damage is reported, with what the dropped slice read as (beside the
  // hand-made slices' empty data, which every picture's slice counts).
  VideoDamage damage{};
  DecodeOptions opt;
  opt.beforeClose = [&](const VideoDecoder* d) { AVCHDVideoDecoderGetDamageLib(const_cast<VideoDecoder*>(d), &damage); };
  decode_buffer(stream_of(shape, spSlice), opt);
  EXPECT_EQ(6u, damage.slicesDropped);
  EXPECT_EQ(kVideoRefusalSpSiSlices, damage.suspect.reason);
  EXPECT_STREQ("SP or SI slices", damage.suspect.text);
  EXPECT_EQ(2, AVCHDVideoDecoderGetDamageLib(nullptr, &damage));
}

// A sequence parameter set that declares what the decoder refuses (here a
// larger picture) but that no slice uses is damage, not the stream's syntax.
TEST(DamageRecovery, UnusedParameterSetWithRefusedSyntaxEndsNothing) {
  StreamShape shape;
  StreamShape large = shape;
  large.widthMbs = 4;
  std::vector<uint8_t> data = ip_stream(shape, 3);
  add(&data, sps_unit(large));
  for (uint32_t n = 4; n <= 6; ++n) {
    SliceShape p;
    p.sliceType = 5;
    p.frameNum = n;
    add(&data, slice_unit(shape, p));
  }
  const DecodeRun run = decode_everywhere("larger SPS unused", data);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_EQ(7u, run.md5s.size());
}

// A picture parameter set whose last byte was lost to damage runs past its
// NAL unit: the fields it still holds are used, those beyond its end count
// as absent, and every slice is decoded (here as from the intact set).
TEST(DamageRecovery, ParameterSetCutShortIsUsedAsRead) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/CAFI1_SVA_C.264");
  const std::vector<uint8_t> intact = testsupport::read_file(path);
  std::vector<uint8_t> damaged = intact;
  ASSERT_EQ(0x68, damaged[18]);  // the PPS: 68 fe 38 80
  damaged[21] = 0;
  const DecodeRun reference = decode_buffer(intact, DecodeOptions{});
  const DecodeRun run = decode_everywhere("PPS cut short", damaged);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode;
  EXPECT_EQ(reference.md5s, run.md5s);
}

// A smaller stream joined on: its pictures leave part of the buffer the
// decoder was opened for unwritten, which must not show what the buffer held
// before (that depends on the worker count).
TEST(DamageRecovery, SmallerStreamJoinedOnDecodesTheSameEverywhere) {
  AVCHD_REQUIRE_TESTDATA(large, "h264-features/25_noise_lowqp_cavlc.264");      // 352x288
  AVCHD_REQUIRE_TESTDATA(small, "h264-features/26_mandelbrot_320x240.264");
  std::vector<uint8_t> joined = testsupport::read_file(large);
  const std::vector<uint8_t> tail = testsupport::read_file(small);
  joined.insert(joined.end(), tail.begin(), tail.end());
  const DecodeRun run = decode_everywhere("320x240 after 352x288", joined);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
}

// Smaller pictures joined on, a frame stream after an MBAFF stream and
// after a camera's field pictures timed by their SEI: each picture at its own
// size (predicted from beyond its own edge where its vectors point there) and
// in its place, as the reference decoder gives them.
TEST(DamageRecovery, SmallerStreamJoinedOnGivesTheReferencePictures) {
  const std::string conformance = testsupport::local_data_file("conformance/");
  const struct {
    const char* first;
    const char* second;
    std::string firstReference, secondReference;
  } cases[] = {{"h264-features/14_mbaff_tff_cabac.264", "h264-conformance/MIDR_MW_D.264",
                testsupport::testdata_file("h264-features/14_mbaff_tff_cabac.framemd5"), conformance + "MIDR_MW_D.md5s"},
               {"avchd/camera_1080i50_paff.264", "h264-features/01_cavlc_main.264",
                testsupport::testdata_file("avchd/camera_1080i50_paff.video.framemd5"),
                testsupport::testdata_file("h264-features/01_cavlc_main.framemd5")}};
  for (const auto& c : cases) {
    AVCHD_REQUIRE_TESTDATA(first, c.first);
    AVCHD_REQUIRE_TESTDATA(second, c.second);
    std::vector<uint8_t> joined = testsupport::read_file(first);
    const std::vector<uint8_t> tail = testsupport::read_file(second);
    joined.insert(joined.end(), tail.begin(), tail.end());
    std::vector<std::string> expected = framemd5_column(testsupport::read_text(c.firstReference));
    for (const std::string& md5 : framemd5_column(testsupport::read_text(c.secondReference))) expected.push_back(md5);
    const DecodeRun run = decode_everywhere(std::string(c.second) + " after " + c.first, joined);
    EXPECT_TRUE(run.finished) << c.second << ": error " << run.errorCode << " " << run.refusal;
    EXPECT_EQ(expected, run.md5s) << c.second << " after " << c.first;
  }
}

// Where each NAL unit of a stream begins (at its start code).
std::vector<size_t> unit_starts(const std::vector<uint8_t>& s) {
  std::vector<size_t> out;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    out.push_back(i > 0 && s[i - 1] == 0 ? i - 1 : i);
    i += 2;
  }
  return out;
}

// The start of a NAL unit's header byte (after its start code).
size_t header_at(const std::vector<uint8_t>& s, size_t start) { return start + (s[start + 2] == 1 ? 3 : 4); }

// The first two Exp-Golomb values of a slice header: first_mb_in_slice and
// slice_type (whose bits come before any emulation prevention byte can).
std::pair<uint32_t, uint32_t> slice_start(const std::vector<uint8_t>& s, size_t header) {
  size_t bit = 0;
  auto ue = [&] {
    auto next = [&] { const uint32_t b = s[header + 1 + bit / 8] >> (7 - bit % 8) & 1; ++bit; return b; };
    uint32_t zeros = 0, value = 0;
    while (zeros < 16 && next() == 0) ++zeros;
    for (uint32_t i = 0; i < zeros; ++i) value = value << 1 | next();
    return (1u << zeros) - 1 + value;
  };
  const uint32_t firstMb = ue();
  return {firstMb, ue() % 5};
}

// Non-IDR slices whose NAL unit type reads IDR (one bit: type 1 to 5) while
// their frame_num, or a nal_ref_idc of 0, says they continue the stream: the
// first non-reference B slice, the first reference I slice and the first
// reference P slice after it, found by parsing the first 20 pictures. Each is
// read as the non-IDR slice it is (and counted), so the pictures are the intact stream's
// (ffmpeg outputs 18 of the 20). Read as IDR, each reference slice's header
// seemed to ask for a long-term reference, and the second ended the stream.
TEST(DamageRecovery, SliceTypedIdrThatContinuesTheStreamIsReadAsNonIdr) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/30_open_gop_sei_aud.264");
  std::vector<uint8_t> intact = testsupport::read_file(path);
  const std::vector<size_t> u = unit_starts(intact);
  std::vector<size_t> chosen;  // the B, I and P slices' header bytes
  size_t pictures = 0, end = intact.size();
  for (size_t i = 0; i < u.size() && end == intact.size(); ++i) {
    const size_t header = header_at(intact, u[i]);
    const uint32_t type = intact[header] & 31, ref = intact[header] >> 5 & 3;
    if (type != 1 && type != 5) continue;
    const auto [firstMb, sliceType] = slice_start(intact, header);
    if (firstMb == 0 && ++pictures == 21) end = u[i];
    const bool wanted = type == 1 && (chosen.size() == 0 ? ref == 0 && sliceType == 1
                                      : chosen.size() == 1 ? ref != 0 && sliceType == 2
                                      : chosen.size() == 2 && ref != 0 && sliceType == 0);
    if (wanted && end == intact.size()) chosen.push_back(header);
  }
  ASSERT_EQ(3u, chosen.size()) << "a non-reference B, a reference I and a reference P slice in 20 pictures";
  intact.resize(end);
  std::vector<uint8_t> retyped = intact;
  for (size_t header : chosen) retyped[header] ^= 4;
  const DecodeRun expected = decode_everywhere("intact", intact);
  VideoDamage damage{};
  const DecodeRun run = decode_everywhere("three slices typed IDR", retyped, &damage);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_EQ(20u, run.md5s.size());
  EXPECT_EQ(expected.md5s, run.md5s);
  EXPECT_EQ(3u, damage.slicesRepaired);  // no IDR slice can have their frame_num or nal_ref_idc
}

// A non-reference B slice whose NAL unit header reads IDR with nal_ref_idc 3:
// read as the non-IDR slice its frame_num says it is, and counted. Taken for
// a reference picture it ended an older one, and the P pictures after it
// were predicted from other pictures (exit 0); the next picture's frame_num
// shows it is none, so only its own picture may differ. Of a CABREF3 first
// field (unit 6), the non-reference field of its frame after it shows the
// same (every picture after it differed).
TEST(DamageRecovery, NonReferenceSliceTypedIdrEndsNoReference) {
  for (const auto& [file, unit] : {std::pair<const char*, size_t>{"h264-features/01_cavlc_main.264", 37},
                                   std::pair<const char*, size_t>{"h264-conformance/CABREF3_Sand_D.264", 6}}) {
    AVCHD_REQUIRE_TESTDATA(path, file);
    const std::vector<uint8_t> intact = testsupport::read_file(path);
    std::vector<uint8_t> damaged = intact;
    const size_t header = header_at(intact, unit_starts(intact).at(unit));
    ASSERT_EQ(1u, intact[header]) << file;  // a non-reference slice
    ASSERT_EQ(1u, slice_start(intact, header).second) << file;  // B
    damaged[header] = 0x65;
    const DecodeRun expected = decode_everywhere("intact", intact);
    VideoDamage damage{};
    const DecodeRun run = decode_everywhere("a B slice typed IDR", damaged, &damage);
    ASSERT_EQ(expected.md5s.size(), run.md5s.size()) << file;
    size_t differing = 0;
    for (size_t i = 0; i < run.md5s.size(); ++i) differing += run.md5s[i] != expected.md5s[i];
    EXPECT_LE(differing, 1u) << file;
    EXPECT_EQ(1u, damage.slicesRepaired) << file;
  }
}

// Non-reference B slices typed IDR with nal_ref_idc 3, of a CABAC frame
// stream and the second field of a field pair: their headers end whole only
// without the marking a reference slice's would hold, so they are read as
// the non-reference slices they are. Read with it, the rest of the header
// was misread: the slice was dropped, or the field stood alone beside the
// first field of its frame, and pictures after it differed.
TEST(DamageRecovery, NonReferenceSliceTypedIdrIsReadWithoutMarking) {
  const struct {
    const char* path;
    size_t unit;
  } cases[] = {{"h264-features/02_cabac_main.264", 6},
               {"h264-conformance/CABREF3_Sand_D.264", 7},
               // ends whole with the marking too, after its frame's non-reference first field
               {"h264-conformance/CABREF3_Sand_D.264", 19}};
  for (const auto& c : cases) {
    AVCHD_REQUIRE_TESTDATA(path, c.path);
    const std::vector<uint8_t> intact = testsupport::read_file(path);
    std::vector<uint8_t> damaged = intact;
    const size_t header = header_at(intact, unit_starts(intact).at(c.unit));
    ASSERT_EQ(1u, intact[header]) << c.path;                       // a non-reference slice
    ASSERT_EQ(1u, slice_start(intact, header).second) << c.path;  // B
    damaged[header] = 0x65;
    const DecodeRun expected = decode_everywhere(c.path, intact);
    VideoDamage damage{};
    const DecodeRun run = decode_everywhere(std::string(c.path) + " with a B slice typed IDR", damaged, &damage);
    EXPECT_EQ(expected.md5s, run.md5s) << c.path;
    EXPECT_EQ("1 slices repaired", damage_words(damage)) << c.path;
  }
}

// The second and third slices of the first non-reference picture of
// 12_slices4, each typed IDR with nal_ref_idc 3, stay in their picture as no
// reference (each started a new one, leaving both parts incomplete).
TEST(DamageRecovery, LaterSliceOfANonReferencePictureTypedIdrStaysInIt) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/12_slices4.264");
  const std::vector<uint8_t> intact = testsupport::read_file(path);
  std::vector<size_t> later;  // header bytes of the later slices of the first non-reference picture
  for (size_t u : unit_starts(intact)) {
    const size_t header = header_at(intact, u);
    if (intact[header] != 1) continue;  // a non-reference slice
    if (slice_start(intact, header).first == 0 && !later.empty()) break;
    if (slice_start(intact, header).first != 0) later.push_back(header);
  }
  ASSERT_LE(2u, later.size());
  const DecodeRun expected = decode_everywhere("intact", intact);
  for (size_t k = 0; k < 2; ++k) {
    std::vector<uint8_t> damaged = intact;
    damaged[later[k]] = 0x65;
    VideoDamage damage{};
    const DecodeRun run = decode_everywhere("slice " + std::to_string(k + 2) + " typed IDR", damaged, &damage);
    EXPECT_EQ(expected.md5s, run.md5s) << k;
    EXPECT_EQ("1 slices repaired", damage_words(damage)) << k;
  }
}

// Whether `part` is `whole` with some entries left out, in the same order.
bool in_order_within(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t at = 0;
  for (const std::string& md5 : part) {
    while (at < whole.size() && whole[at] != md5) ++at;
    if (at++ == whole.size()) return false;
  }
  return true;
}

// A picture or field lost is reported as what it costs the pictures output:
// a lost reference leaves later pictures without a picture they refer to, a
// lost non-reference field leaves its frame's other field alone, and a
// reference picture lost before an I picture leaves a frame_num gap that no
// picture names. A lost non-reference frame leaves no trace a legal stream
// could not leave too (the order counts of the pictures may step unevenly):
// the stream is undamaged, its other pictures those of the intact stream.
TEST(DamageRecovery, LostReferencePictureIsReported) {
  AVCHD_REQUIRE_TESTDATA(camera, "avchd/camera_1080i50_paff.264");
  AVCHD_REQUIRE_TESTDATA(frames, "h264-features/11_multiref8.264");
  AVCHD_REQUIRE_TESTDATA(bframes, "h264-features/01_cavlc_main.264");
  AVCHD_REQUIRE_TESTDATA(intra, "h264-conformance/NLMQ1_J_C.264");
  // The n-th slice (counted from 0) of reference pictures (or of
  // non-reference ones) taken out.
  const auto without_slice = [](std::vector<uint8_t> s, size_t n, bool reference) {
    const std::vector<size_t> u = unit_starts(s);
    for (size_t i = 0; i < u.size(); ++i) {
      const uint8_t head = s[header_at(s, u[i])];
      if (((head & 31) != 1 && (head & 31) != 5) || (head >> 5 != 0) != reference || n-- != 0) continue;
      s.erase(s.begin() + static_cast<std::ptrdiff_t>(u[i]),
              i + 1 < u.size() ? s.begin() + static_cast<std::ptrdiff_t>(u[i + 1]) : s.end());
      break;
    }
    return s;
  };
  const std::vector<uint8_t> cameraStream = testsupport::read_file(camera);
  struct Case {
    std::string name;
    std::vector<uint8_t> stream;
    uint32_t VideoDamage::*counter;
  };
  const Case cases[] = {
      {"camera without its 10th field", without_slice(cameraStream, 10, true), &VideoDamage::picturesMissingReferences},
      {"11_multiref8 without its 5th picture", without_slice(testsupport::read_file(frames), 4, true),
       &VideoDamage::picturesMissingReferences},
      {"01_cavlc_main without a non-reference picture", without_slice(testsupport::read_file(bframes), 3, false),
       nullptr},
      {"01_cavlc_main without its first non-reference picture", without_slice(testsupport::read_file(bframes), 0, false),
       nullptr},
      {"camera without a non-reference field", without_slice(cameraStream, 2, false), &VideoDamage::fieldsAlone},
      {"NLMQ1_J_C (I pictures) without its 3rd picture", without_slice(testsupport::read_file(intra), 2, true),
       &VideoDamage::picturesLost}};
  const std::vector<std::string> intact =
      framemd5_column(testsupport::read_text(testsupport::testdata_file("h264-features/01_cavlc_main.framemd5")));
  for (const Case& c : cases) {
    const DecodeRun run = decode_everywhere(c.name, c.stream);
    EXPECT_TRUE(run.finished) << c.name;
    if (c.counter) {
      EXPECT_GT(run.damage.*c.counter, 0u) << c.name << ": " << damage_words(run.damage);
      continue;
    }
    EXPECT_EQ("", damage_words(run.damage)) << c.name;
    EXPECT_EQ(intact.size() - 1, run.md5s.size()) << c.name;
    EXPECT_TRUE(in_order_within(run.md5s, intact)) << c.name;
  }
}

// An I picture (not IDR) whose frame_num has its top bit damaged: the gap
// it leaves is no loss, since the pictures after it follow on from the ones
// before it. The P and B pictures after it are reported (their lists lack a
// reference of that frame_num); counted as lost as well, the gap gave 8
// pictures that never were, and with a longer frame_num up to 32,767.
TEST(DamageRecovery, IPictureWithADamagedFrameNumLosesNoPicture) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/06_bpyramid_strict.264");
  std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<size_t> u = unit_starts(s);
  ASSERT_GT(u.size(), 15u);
  const size_t header = header_at(s, u[15]);
  ASSERT_EQ(0x41, s[header]);       // a reference slice, not IDR
  ASSERT_EQ(0x88, s[header + 1]);   // first_mb_in_slice 0, slice_type 7
  ASSERT_EQ(0xAB, s[header + 2]);   // pic_parameter_set_id 0, frame_num 5
  s[header + 2] ^= 0x40;            // frame_num 13
  const DecodeRun run = decode_everywhere("I picture with frame_num 13 for 5", s);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_EQ(0u, run.damage.picturesLost) << damage_words(run.damage);
  EXPECT_GT(run.damage.picturesMissingReferences, 0u) << damage_words(run.damage);
}

// An IDR slice whose slice_type reads 9 (SI) for 7 (I), one damaged bit, in
// a stream whose profile has no SI slices: it is read as the I slice it is,
// so the stream decodes as the intact one. Refused as SI, the stream's only
// IDR picture was lost and with it every picture.
TEST(DamageRecovery, IdrSliceReadAsSiOutsideTheExtendedProfileIsI) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/14_mbaff_tff_cabac.264");
  const std::vector<uint8_t> intact = testsupport::read_file(path);
  std::vector<uint8_t> damaged = intact;
  const std::vector<size_t> u = unit_starts(intact);
  ASSERT_GT(u.size(), 4u);
  const size_t header = u[4] + (intact[u[4] + 2] == 1 ? 3 : 4);
  ASSERT_EQ(5, intact[header] & 31);
  ASSERT_EQ(0x88, intact[header + 1]);  // first_mb_in_slice 0, slice_type 7
  damaged[header + 1] = 0x8A;           // slice_type 9
  const DecodeRun expected = decode_everywhere("intact", intact);
  const DecodeRun run = decode_everywhere("IDR slice read as SI", damaged);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_EQ(expected.md5s, run.md5s);
}

// The only IDR picture of a field stream with one bit of its header damaged
// after the picture's identity (slice_qp_delta out of range): the slice is
// dropped, but its picture still starts the stream, concealed, and the
// fields predicted from it decode. It was withdrawn, and with it every
// picture of the stream.
TEST(DamageRecovery, DamagedFirstIdrHeaderStillStartsTheStream) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/camera_1080i50_paff.264");
  std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<size_t> u = unit_starts(s);
  ASSERT_GT(u.size(), 39u);
  s.resize(u[39]);  // the IDR frame, two B frames, a P frame: all field pairs
  const size_t header = u[10] + (s[u[10] + 2] == 1 ? 3 : 4);
  ASSERT_EQ(5, s[header] & 31);
  s[header + 3] ^= 1;
  const DecodeRun run = decode_everywhere("first IDR header damaged", s);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_EQ(4u, run.md5s.size());
}

// The stream's first IDR slice with one bit of its frame_num, nal_ref_idc
// or slice_type damaged, in a field stream: the I slice typed IDR is read as
// the IDR slice it is (frame_num 0, a reference, I), counted as repaired, and
// every picture is the clean stream's. Read as a non-IDR slice, its header
// was misread and the stream lost its start (every picture, or the first
// frame); read as B, it was decoded as one. With a damaged order count
// (pic_order_cnt_lsb; a frame's least count must be 0) it came out after the
// pictures that follow it, silently. Typed 1, its header misread lost every
// picture (BAMQ2_J_C, order count type 1; SVA_BA2_D) or those up to the
// next I picture (AUD_MW_E); where it read whole as non-IDR too, the first
// picture's order count put the pictures after it before it in output,
// silently (CAPA1_T_B, HCAFR1_HHI): the next picture, far before it, tells.
TEST(DamageRecovery, FirstIdrSliceWithADamagedIdentityBitIsReadAsTheIdrSliceItIs) {
  const struct {
    const char* name;
    const char* file;
    size_t payloadByte;  // of the first IDR slice (0: its NAL header byte)
    uint8_t mask;
    uint8_t before;  // what that byte holds undamaged
  } cases[] = {
      {"camera, frame_num bit 0", "avchd/camera_1080i50_paff.264", 2, 0x08, 0x85},
      {"camera, nal_ref_idc 0", "avchd/camera_1080i50_paff.264", 0, 0x20, 0x25},
      {"CAFI1_SVA_C, frame_num bit 0", "h264-conformance/CAFI1_SVA_C.264", 4, 0x80, 0x50},
      {"CAFI1_SVA_C, slice_type read as B", "h264-conformance/CAFI1_SVA_C.264", 1, 0x04, 0x88},
      {"01_cavlc_main, pic_order_cnt_lsb 8", "h264-features/01_cavlc_main.264", 3, 0x80, 0x00},
      {"15_mbaff_bff_cavlc, pic_order_cnt_lsb 0 (bottom -1)", "h264-features/15_mbaff_bff_cavlc.264", 3, 0x08, 0x0B},
      {"AUD_MW_E, nal_unit_type 1", "h264-conformance/AUD_MW_E.264", 0, 0x04, 0x65},
      {"CAPA1_T_B, nal_unit_type 1", "h264-conformance/CAPA1_T_B.264", 0, 0x04, 0x25},
      {"HCAFR1_HHI, nal_unit_type 1", "h264-conformance/HCAFR1_HHI.264", 0, 0x04, 0x65},
      {"BAMQ2_J_C, nal_unit_type 1", "h264-conformance/BAMQ2_J_C.264", 0, 0x04, 0x25},
      {"SVA_BA2_D, nal_unit_type 1", "h264-conformance/SVA_BA2_D.264", 0, 0x04, 0x65},
  };
  for (const auto& c : cases) {
    AVCHD_REQUIRE_TESTDATA(path, c.file);
    std::vector<uint8_t> s = testsupport::read_file(path);
    const DecodeRun clean = decode_buffer(s, DecodeOptions{});
    ASSERT_FALSE(clean.md5s.empty()) << c.name;
    size_t header = 0;
    for (size_t u : unit_starts(s))
      if ((s[header = header_at(s, u)] & 31) == 5) break;
    ASSERT_EQ(c.before, s[header + c.payloadByte]) << c.name;
    s[header + c.payloadByte] ^= c.mask;
    for (uint32_t threads : enginetest::worker_counts({1u, 2u, 4u, 8u})) {
      DecodeOptions options;
      options.threads = threads;
      const DecodeRun run = decode_buffer(s, options);
      EXPECT_TRUE(run.finished) << c.name << ", " << threads << " workers: error " << run.errorCode;
      EXPECT_EQ(clean.md5s, run.md5s) << c.name << ", " << threads << " workers";
      EXPECT_EQ(1u, run.damage.slicesRepaired) << c.name << ", " << threads << " workers";
      EXPECT_EQ(0u, run.damage.slicesDropped) << c.name << ", " << threads << " workers";
    }
  }
}

// A stream spliced into another after its parameter sets: the second
// stream's slices, read with the first one's sets, give pictures that keep
// their marking and share output keys. The pools fill with them; neither
// parsing nor output may wait for the other.
TEST(DamageRecovery, SplicedStreamEndsWithoutAStall) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-features/06_bpyramid_strict.264");
  AVCHD_REQUIRE_TESTDATA(second, "h264-features/07_weightp.264");
  const std::vector<uint8_t> a = testsupport::read_file(first), b = testsupport::read_file(second);
  const std::vector<size_t> ua = unit_starts(a), ub = unit_starts(b);
  ASSERT_GT(ua.size(), 64u);
  ASSERT_GT(ub.size(), 8u);
  std::vector<uint8_t> spliced(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(ua[64]));
  spliced.insert(spliced.end(), b.begin() + static_cast<std::ptrdiff_t>(ub[8]), b.end());
  const DecodeRun run = decode_everywhere("06 spliced into 07", spliced);
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_GE(run.md5s.size(), 50u);
}

// The part of a damaged splice that comes before the second stream's
// larger parameter sets: two of its pictures, read with the first stream's
// sets, are dropped and concealed, and a delimiter ends the input. The
// delimiter closes the last of them as the input runs out; that picture is
// finished and output, the same way on every run.
TEST(DamageRecovery, StrayPicturesBeforeAClosingDelimiterEndTheSameEveryRun) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-conformance/NRF_MW_E.264");  // 176x144
  AVCHD_REQUIRE_TESTDATA(second, "h264-features/30_open_gop_sei_aud.264");
  const std::vector<uint8_t> b = testsupport::read_file(second);
  const std::vector<size_t> ub = unit_starts(b);
  ASSERT_GT(ub.size(), 13u);
  ASSERT_EQ(9, b[header_at(b, ub[0])] & 31);
  ASSERT_EQ(9, b[header_at(b, ub[7])] & 31);
  // Two pictures of the second stream, each with its delimiter and SEI, and
  // the delimiter of the access unit its sets open.
  std::vector<uint8_t> spliced = testsupport::read_file(first);
  spliced.insert(spliced.end(), b.begin() + static_cast<std::ptrdiff_t>(ub[7]),
                 b.begin() + static_cast<std::ptrdiff_t>(ub[13]));
  spliced.insert(spliced.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(ub[1]));
  DecodeRun once;
  bool first_run = true;
  for (uint32_t threads : enginetest::worker_counts({1u, 2u, 4u, 8u})) {
    for (int run = 0; run < 10; ++run) {
      DecodeOptions opt;
      opt.threads = threads;
      opt.timeoutMs = 10000;
      const DecodeRun r = decode_buffer(spliced, opt);
      if (first_run) {
        once = r;
        first_run = false;
        EXPECT_TRUE(r.finished) << threads << " workers: error " << r.errorCode << " " << r.refusal;
        continue;
      }
      ASSERT_EQ(once.errorCode, r.errorCode) << threads << " workers, run " << run;
      ASSERT_EQ(once.finished, r.finished) << threads << " workers, run " << run;
      ASSERT_EQ(once.md5s, r.md5s) << threads << " workers, run " << run;
    }
  }
}

// Pictures whose order counts fall below the IDR picture's (a stream's
// slices read with another stream's sets): more of them than the pools
// hold, all ordered before the first picture output. Each is output after
// it, and its frame buffer is free again once it is.
TEST(DamageRecovery, PicturesOrderedBeforeTheFirstGiveTheirBuffersBack) {
  StreamShape shape;
  shape.pocType = 0;
  SliceShape idr;
  idr.idr = true;
  std::vector<SliceShape> pictures{idr};
  for (uint32_t n = 1; n <= 100; ++n) {
    SliceShape p;
    p.sliceType = 5;
    p.frameNum = n & 15;
    p.pocLsb = 60;  // 4 before the IDR picture's count
    pictures.push_back(p);
  }
  const DecodeRun run = decode_everywhere("order counts below the first picture's", stream_of(shape, pictures));
  EXPECT_TRUE(run.finished) << "error " << run.errorCode;
  EXPECT_EQ(101u, run.md5s.size());
}

// An IDR picture of 2x2 macroblocks coded as I_PCM: every luma sample
// `luma`, and for a colour picture every Cb sample `cb` and Cr sample `cr`.
std::vector<uint8_t> pcm_idr(const StreamShape& st, uint8_t luma, uint8_t cb, uint8_t cr, uint32_t idrPicId) {
  h264test::BitWriter w;
  w.ue(0);  // first_mb_in_slice
  w.ue(7);  // I
  w.ue(0);  // pic_parameter_set_id
  w.bits(0, 4);
  w.ue(idrPicId);
  w.bit(0);  // no_output_of_prior_pics_flag
  w.bit(0);  // long_term_reference_flag
  w.se(0);   // slice_qp_delta
  w.ue(1);   // disable_deblocking_filter_idc
  for (int mb = 0; mb < 4; ++mb) {
    w.ue(25);  // I_PCM
    while (!w.aligned()) w.bit(0);
    for (int i = 0; i < 256; ++i) w.byte(luma);
    if (st.chromaFormatIdc == 0) continue;
    for (int i = 0; i < 64; ++i) w.byte(cb);
    for (int i = 0; i < 64; ++i) w.byte(cr);
  }
  w.trailing();
  return h264test::annexb_unit(0x65, w.bytes());
}

// A colour stream that changes to monochrome sets and back: the IDR
// picture after the change back is lost and concealed from the monochrome
// IDR picture before it, whose chroma no slice writes. It reads mid-grey
// there whatever the buffer the monochrome picture got held before. (A P
// picture there would belong to a stream joined on without its IDR
// picture, and be left out.)
TEST(DamageRecovery, ChromaOfAMonochromePictureIsGreyForThoseConcealedFromIt) {
  StreamShape colour;
  colour.profile = 100;
  StreamShape mono = colour;
  mono.chromaFormatIdc = 0;
  std::vector<uint8_t> data;
  // Colour pictures first, so that the buffers the monochrome one may get
  // have held colour.
  for (uint32_t n = 0; n < 40; ++n) {
    add(&data, sps_unit(colour));
    add(&data, pps_unit(colour));
    add(&data, pcm_idr(colour, 60, 20, 230, n & 1));
  }
  add(&data, sps_unit(mono));
  add(&data, pps_unit(mono));
  add(&data, pcm_idr(mono, 100, 0, 0, 0));
  add(&data, sps_unit(colour));
  add(&data, pps_unit(colour));
  SliceShape lost;
  lost.idr = true;
  add(&data, slice_unit(colour, lost));  // no slice data: concealed
  for (uint32_t threads : enginetest::worker_counts({1u, 2u, 8u})) {
    DecodeOptions opt;
    opt.threads = threads;
    opt.keepPictures = true;
    const DecodeRun run = decode_buffer(data, opt);
    ASSERT_TRUE(run.finished) << threads << " workers: error " << run.errorCode;
    ASSERT_EQ(42u, run.pictures.size()) << threads << " workers";
    const std::vector<uint8_t>& last = run.pictures.back();
    ASSERT_EQ(32u * 32u * 3u / 2u, last.size());
    for (size_t i = 0; i < 32u * 32u; ++i) ASSERT_EQ(100, last[i]) << "luma " << i << ", " << threads << " workers";
    for (size_t i = 32u * 32u; i < last.size(); ++i)
      ASSERT_EQ(128, last[i]) << "chroma byte " << i - 32u * 32u << ", " << threads << " workers";
  }
}

// A second IDR picture with no_output_of_prior_pics_flag while pictures
// before it wait (a stream joined to another): nothing decoded is dropped.
TEST(DamageRecovery, NoOutputOfPriorPicsStillOutputsThem) {
  StreamShape shape;
  shape.pocType = 0;
  std::vector<SliceShape> pictures;
  for (int copy = 0; copy < 2; ++copy) {
    SliceShape idr;
    idr.idr = true;
    idr.noOutputOfPriorPics = copy == 1;
    pictures.push_back(idr);
    // Output order differs from decode order: pictures wait for output.
    for (uint32_t n = 1; n <= 4; ++n) {
      SliceShape p;
      p.sliceType = 5;
      p.frameNum = n;
      p.pocLsb = (n % 2) ? 2 * n + 2 : 2 * n - 2;
      pictures.push_back(p);
    }
  }
  const DecodeRun run = decode_everywhere("no_output_of_prior_pics_flag", stream_of(shape, pictures));
  EXPECT_TRUE(run.finished) << "error " << run.errorCode << " " << run.refusal;
  EXPECT_EQ(10u, run.md5s.size());
}

// A stream's NAL units from `from` on, but its IDR slices.
std::vector<uint8_t> without_idr_slices(const std::vector<uint8_t>& s, size_t from = 0) {
  const std::vector<size_t> u = unit_starts(s);
  std::vector<uint8_t> out;
  for (size_t i = from; i < u.size(); ++i) {
    const size_t end = i + 1 < u.size() ? u[i + 1] : s.size();
    if ((s[header_at(s, u[i])] & 31) != 5) out.insert(out.end(), s.begin() + u[i], s.begin() + end);
  }
  return out;
}

std::vector<uint8_t> joined(const char* first, const std::vector<uint8_t>& second) {
  std::vector<uint8_t> out = testsupport::read_file(testsupport::testdata_file(first));
  out.insert(out.end(), second.begin(), second.end());
  return out;
}

// The pictures and the damage counted, the same with 1, 2, 4 and 8 workers;
// decoded to the end.
DecodeRun decode_counting(const std::string& what, const std::vector<uint8_t>& data, VideoDamage* damage) {
  const DecodeRun run = decode_everywhere(what, data, damage, {1u, 2u, 4u, 8u});
  EXPECT_TRUE(run.finished) << what << ": error " << run.errorCode << " " << run.refusal;
  return run;
}

std::vector<std::string> reference_md5s(const std::string& file) {
  return framemd5_column(testsupport::read_text(file));
}

// A stream joined on without its IDR pictures (only its parameter sets and
// P pictures): none of its pictures is predicted from the first stream's,
// which were their references; they are left out and counted. Joined whole,
// the same streams are undamaged and give the reference decoder's pictures.
TEST(DamageRecovery, StreamJoinedOnWithoutItsIdrPicturesIsLeftOut) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-features/01_cavlc_main.264");
  AVCHD_REQUIRE_TESTDATA(second, "h264-features/02_cabac_main.264");
  const std::vector<std::string> firstPictures =
      reference_md5s(testsupport::testdata_file("h264-features/01_cavlc_main.framemd5"));
  VideoDamage damage{};
  DecodeRun run = decode_counting("02 without IDR after 01",
                                  joined("h264-features/01_cavlc_main.264", without_idr_slices(testsupport::read_file(second))),
                                  &damage);
  EXPECT_EQ(firstPictures, run.md5s);
  EXPECT_EQ(45u, damage.picturesBeforeStart);
  EXPECT_EQ(0u, damage.picturesOtherSize);

  std::vector<std::string> both = firstPictures;
  for (const std::string& md5 : reference_md5s(testsupport::testdata_file("h264-features/02_cabac_main.framemd5")))
    both.push_back(md5);
  run = decode_counting("02 after 01", joined("h264-features/01_cavlc_main.264", testsupport::read_file(second)), &damage);
  EXPECT_EQ(both, run.md5s);
  EXPECT_EQ(0u, damage.picturesBeforeStart);
  EXPECT_EQ(0u, damage.picturesOtherSize);
}

// Smaller pictures joined on without their IDR pictures are not cut from
// the larger ones before them; larger ones, which the decoder's buffers
// cannot hold, do not end the stream. Both are left out and counted.
TEST(DamageRecovery, PicturesOfAnotherSizeWithoutTheirIdrPicturesAreLeftOut) {
  AVCHD_REQUIRE_TESTDATA(large, "h264-features/01_cavlc_main.264");  // 352x288
  AVCHD_REQUIRE_TESTDATA(small, "h264-conformance/BA_MW_D.264");     // 176x144
  const std::string conformance = testsupport::local_data_file("conformance/");
  VideoDamage damage{};
  DecodeRun run = decode_counting("BA_MW_D without IDR after 01",
                                  joined("h264-features/01_cavlc_main.264", without_idr_slices(testsupport::read_file(small))),
                                  &damage);
  EXPECT_EQ(reference_md5s(testsupport::testdata_file("h264-features/01_cavlc_main.framemd5")), run.md5s);
  EXPECT_EQ(96u, damage.picturesOtherSize);
  EXPECT_EQ(0u, damage.picturesBeforeStart);

  run = decode_counting("01 without IDR after BA_MW_D",
                        joined("h264-conformance/BA_MW_D.264", without_idr_slices(testsupport::read_file(large))), &damage);
  EXPECT_EQ(reference_md5s(conformance + "BA_MW_D.md5s"), run.md5s);
  EXPECT_EQ(45u, damage.picturesOtherSize);

  // A stream of I pictures only starts again at its first I picture: its
  // lost IDR picture is all that is missing, and said.
  AVCHD_REQUIRE_TESTDATA(intra, "h264-conformance/NLMQ1_J_C.264");
  run = decode_counting("NLMQ1_J_C without IDR after 01",
                        joined("h264-features/01_cavlc_main.264", without_idr_slices(testsupport::read_file(intra))),
                        &damage);
  EXPECT_EQ(1u, damage.picturesLost);
  EXPECT_EQ(0u, damage.picturesOtherSize);
}

// A stream joined on at an open GOP's I picture with its recovery point (no
// IDR picture): it starts there as a stream that begins there does, its
// leading pictures left out and none predicted from the stream before.
TEST(DamageRecovery, StreamJoinedOnAtARecoveryPointStartsThere) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-features/01_cavlc_main.264");
  AVCHD_REQUIRE_TESTDATA(second, "h264-features/30_open_gop_sei_aud.264");
  const std::vector<uint8_t> b = testsupport::read_file(second);
  const std::vector<size_t> u = unit_starts(b);
  size_t gop = 0;  // the delimiter of the second access unit with a sequence parameter set
  for (size_t i = 1, sets = 0; i < u.size() && gop == 0; ++i)
    if ((b[header_at(b, u[i])] & 31) == 7 && ++sets == 2) gop = i - 1;
  ASSERT_GT(gop, 0u);
  ASSERT_EQ(9, b[header_at(b, u[gop])] & 31);
  const std::vector<uint8_t> cut(b.begin() + static_cast<std::ptrdiff_t>(u[gop]), b.end());
  VideoDamage damage{};
  const DecodeRun alone = decode_counting("30 from its second GOP", cut, &damage);
  EXPECT_EQ(38u, alone.md5s.size());
  std::vector<std::string> expected =
      reference_md5s(testsupport::testdata_file("h264-features/01_cavlc_main.framemd5"));
  expected.insert(expected.end(), alone.md5s.begin(), alone.md5s.end());
  const DecodeRun run = decode_counting("30 from its second GOP after 01", joined("h264-features/01_cavlc_main.264", cut), &damage);
  EXPECT_EQ(expected, run.md5s);
  EXPECT_EQ(0u, damage.picturesBeforeStart);
  EXPECT_EQ(0u, damage.picturesOtherSize);
}

// A stream that begins with P pictures, its first IDR picture lost: they
// are left out as before, and now counted.
TEST(DamageRecovery, PicturesBeforeTheFirstStartAreCounted) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/02_cabac_main.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<size_t> u = unit_starts(s);
  size_t idr = 0;
  while (idr < u.size() && (s[header_at(s, u[idr])] & 31) != 5) ++idr;
  ASSERT_LT(idr, u.size());
  std::vector<uint8_t> damaged(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(u[idr]));
  damaged.insert(damaged.end(), s.begin() + static_cast<std::ptrdiff_t>(u[idr + 1]), s.end());
  VideoDamage damage{};
  const DecodeRun run = decode_counting("02 without its first IDR picture", damaged, &damage);
  const std::vector<std::string> all = reference_md5s(testsupport::testdata_file("h264-features/02_cabac_main.framemd5"));
  ASSERT_EQ(50u, all.size());
  EXPECT_EQ(std::vector<std::string>(all.begin() + 12, all.end()), run.md5s);
  EXPECT_EQ(11u, damage.picturesBeforeStart);
}

// Order counts that step unevenly are legal: an encoder that writes them
// from capture times steps by 2, 4, 2, 4 ..., and a stream without its
// non-reference pictures (every reference kept, so no frame_num gap) steps
// by what was left out. Neither is a picture lost.
TEST(DamageRecovery, UnevenOrderCountStepsAreNoLoss) {
  StreamShape shape;
  shape.pocType = 0;
  std::vector<SliceShape> pictures;
  for (uint32_t n = 0; n < 12; ++n) {
    SliceShape p;
    p.idr = n == 0;
    p.sliceType = n == 0 ? 7 : 5;
    p.frameNum = n;
    p.pocLsb = (3 * n - n % 2) % 64;  // 0, 2, 6, 8, 12, ...
    pictures.push_back(p);
  }
  VideoDamage damage{};
  DecodeRun run = decode_counting("P pictures with order counts stepping 2, 4, 2, 4", stream_of(shape, pictures), &damage);
  EXPECT_EQ(12u, run.md5s.size());
  EXPECT_EQ(0u, damage.picturesLost) << damage_words(damage);

  AVCHD_REQUIRE_TESTDATA(path, "h264-features/01_cavlc_main.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<size_t> u = unit_starts(s);
  std::vector<uint8_t> references;
  for (size_t i = 0; i < u.size(); ++i) {
    const uint8_t head = s[header_at(s, u[i])];
    if (((head & 31) == 1 || (head & 31) == 5) && head >> 5 == 0) continue;
    references.insert(references.end(), s.begin() + static_cast<std::ptrdiff_t>(u[i]),
                      i + 1 < u.size() ? s.begin() + static_cast<std::ptrdiff_t>(u[i + 1]) : s.end());
  }
  run = decode_counting("01_cavlc_main without its non-reference pictures", references, &damage);
  const std::vector<std::string> intact = reference_md5s(testsupport::testdata_file("h264-features/01_cavlc_main.framemd5"));
  EXPECT_EQ(34u, run.md5s.size());
  EXPECT_TRUE(in_order_within(run.md5s, intact));
  EXPECT_EQ("", damage_words(damage));
}

// A stream joined on whose sequence parameter set asks for a larger buffer
// (a higher level, more reference frames) than the stream before it: its
// IDR picture activates that buffer, and its pictures come out in their
// order, as the stream alone gives them.
TEST(DamageRecovery, StreamJoinedOnWithALargerBufferKeepsItsOrder) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-features/07_weightp.264");        // level 1.3, 3 reference frames
  AVCHD_REQUIRE_TESTDATA(second, "h264-features/11_multiref8.264");     // level 2.1, 8 reference frames
  std::vector<std::string> expected = reference_md5s(testsupport::testdata_file("h264-features/07_weightp.framemd5"));
  for (const std::string& md5 : reference_md5s(testsupport::testdata_file("h264-features/11_multiref8.framemd5")))
    expected.push_back(md5);
  VideoDamage damage{};
  const DecodeRun run =
      decode_counting("11_multiref8 after 07_weightp", joined("h264-features/07_weightp.264", testsupport::read_file(second)), &damage);
  EXPECT_EQ(expected, run.md5s);
  EXPECT_EQ("", damage_words(damage));
}

// A stream joined on that starts at an I picture begins its own frame_num
// history: the frame_num of the stream before it shows no gap in it, and no
// count wraps (65534 pictures lost, said for a field stream joined on).
TEST(DamageRecovery, StreamJoinedOnBeginsItsOwnFrameNumHistory) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-conformance/CVFI1_SVA_C.264");
  AVCHD_REQUIRE_TESTDATA(second, "h264-conformance/CABREF3_Sand_D.264");
  VideoDamage damage{};
  decode_counting("CABREF3_Sand_D after CVFI1_SVA_C", joined("h264-conformance/CVFI1_SVA_C.264", testsupport::read_file(second)),
                  &damage);
  EXPECT_EQ("", damage_words(damage));
}

// Where each access unit of a stream begins: at the slice whose
// first_mb_in_slice is 0, or at the units that are not slices before it.
std::vector<size_t> access_unit_starts(const std::vector<uint8_t>& s) {
  const std::vector<size_t> u = unit_starts(s);
  std::vector<size_t> out;
  size_t lead = s.size();
  for (size_t i = 0; i < u.size(); ++i) {
    const size_t header = header_at(s, u[i]);
    const uint32_t type = s[header] & 31;
    if (type != 1 && type != 5) {
      if (lead == s.size()) lead = u[i];
      continue;
    }
    if (slice_start(s, header).first == 0) out.push_back(lead != s.size() ? lead : u[i]);
    lead = s.size();
  }
  return out;
}

// The stream's access units in the order given (indexes; each may repeat).
std::vector<uint8_t> access_units(const std::vector<uint8_t>& s, const std::vector<size_t>& order) {
  const std::vector<size_t> a = access_unit_starts(s);
  std::vector<uint8_t> out;
  for (size_t i : order) {
    const size_t end = i + 1 < a.size() ? a[i + 1] : s.size();
    out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(a[i]), s.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return out;
}

// Indexes first to last.
std::vector<size_t> span(size_t first, size_t last) {
  std::vector<size_t> out;
  for (size_t i = first; i <= last; ++i) out.push_back(i);
  return out;
}

// Legal joins of field streams, each beginning with its IDR picture: the
// second stream's first IDR field has the identity of the first stream's
// (frame_num 0, top, order count 0, idr_pic_id 0) and is no field sent
// again. A camera's short clip joined before a recording of the same camera
// does the same with all its fields. Every picture of both, in order.
TEST(DamageRecovery, LegalJoinsOfFieldStreamsKeepEveryPicture) {
  const std::string conformance = testsupport::local_data_file("conformance/");
  const struct {
    const char* first;
    const char* second;
    const char* firstMd5s;
    const char* secondMd5s;
  } cases[] = {{"h264-conformance/CVFI1_SVA_C.264", "h264-conformance/CAFI1_SVA_C.264", "CVFI1_SVA_C.md5s",
                "CAFI1_SVA_C.md5s"},
               {"h264-conformance/HCAFF1_HHI.264", "h264-conformance/CABREF3_Sand_D.264", "HCAFF1_HHI_B.md5s",
                "CABREF3_Sand_D.md5s"}};
  for (const auto& c : cases) {
    AVCHD_REQUIRE_TESTDATA(second, c.second);
    std::vector<std::string> expected = reference_md5s(conformance + c.firstMd5s);
    for (const std::string& md5 : reference_md5s(conformance + c.secondMd5s)) expected.push_back(md5);
    VideoDamage damage{};
    const std::string what = std::string(c.second) + " after " + c.first;
    const DecodeRun run = decode_counting(what, joined(c.first, testsupport::read_file(second)), &damage);
    EXPECT_EQ(expected, run.md5s) << what;
    EXPECT_EQ(0u, damage.fieldsRepeated) << what;
    EXPECT_EQ(0u, damage.picturesBeforeStart) << what;
  }
  AVCHD_REQUIRE_TESTDATA(camera, "avchd/camera_1080i50_paff.264");
  const std::vector<uint8_t> clip = access_units(testsupport::read_file(camera), span(0, 7));
  std::vector<std::string> expected = decode_buffer(clip, DecodeOptions{}).md5s;  // the clip alone
  ASSERT_EQ(4u, expected.size());
  for (const std::string& md5 : reference_md5s(testsupport::testdata_file("avchd/camera_1080i50_paff.video.framemd5")))
    expected.push_back(md5);
  std::vector<uint8_t> both = clip;
  const std::vector<uint8_t> whole = testsupport::read_file(camera);
  both.insert(both.end(), whole.begin(), whole.end());
  VideoDamage damage{};
  const DecodeRun run = decode_counting("the camera after its first 8 fields", both, &damage);
  EXPECT_EQ(expected, run.md5s);
  EXPECT_EQ(0u, damage.fieldsRepeated);
}

// Two reference P fields received in swapped order (the bottom field of a
// frame before its top field): each pairs as a field pair may, but the
// first now names a list entry past the references it has. Reported.
TEST(DamageRecovery, ReferenceFieldsInSwappedOrderAreReported) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/CVFI1_SVA_C.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  ASSERT_EQ(14u, access_unit_starts(s).size());
  std::vector<size_t> order = {0, 1, 3, 2};
  for (size_t i : span(4, 13)) order.push_back(i);
  VideoDamage damage{};
  const DecodeRun run = decode_counting("CVFI1_SVA_C with fields 2 and 3 swapped", access_units(s, order), &damage);
  EXPECT_EQ(7u, run.md5s.size());
  EXPECT_EQ(1u, damage.picturesMissingReferences);
}

// The two reference P fields of one frame exchanged, its bottom field now
// before its top field, in streams whose pairs come top field first: the
// first to come was predicted without the other field of its frame. Its
// list has as many entries as there are references (CAFI1_SVA_C), or both
// fields have one order count (HPCAFL_BRCM_C): nothing else shows it.
TEST(DamageRecovery, ReferenceFieldsOfOneFrameExchangedAreReported) {
  const struct {
    const char* path;
    size_t first, units;
  } cases[] = {{"h264-conformance/CAFI1_SVA_C.264", 26, 66}, {"h264-conformance/HPCAFL_BRCM_C.264", 8, 60}};
  for (const auto& c : cases) {
    AVCHD_REQUIRE_TESTDATA(path, c.path);
    const std::vector<uint8_t> s = testsupport::read_file(path);
    std::vector<size_t> order = span(0, c.units - 1);
    VideoDamage damage{};
    decode_counting(c.path, access_units(s, order), &damage);
    EXPECT_EQ(0u, damage.picturesMissingReferences) << c.path << " in its order";
    std::swap(order[c.first], order[c.first + 1]);
    const DecodeRun run = decode_counting(c.path, access_units(s, order), &damage);
    EXPECT_EQ(c.units / 2, run.md5s.size()) << c.path;
    EXPECT_EQ(1u, damage.picturesMissingReferences) << c.path;
  }
}

// The access unit of a field slice, its parity bit inverted: the field
// made the frame's other field, its content unchanged. frame_num takes
// `frameNumBits`; the header's first bytes hold no emulation prevention.
std::vector<uint8_t> other_parity(std::vector<uint8_t> au, uint32_t frameNumBits) {
  const size_t header = header_at(au, unit_starts(au).back());
  size_t bit = 8 * (header + 1);
  const auto next = [&] { const uint32_t b = au[bit / 8] >> (7 - bit % 8) & 1; ++bit; return b; };
  for (int k = 0; k < 3; ++k) {  // first_mb_in_slice, slice_type, pic_parameter_set_id
    uint32_t zeros = 0;
    while (next() == 0) ++zeros;
    bit += zeros;
  }
  bit += frameNumBits;
  EXPECT_EQ(1u, next());  // field_pic_flag
  au[bit / 8] ^= static_cast<uint8_t>(0x80 >> bit % 8);
  return au;
}

// A reference frame of two intra fields, either field first, where the
// stream's pairs come top field first and both fields have one order
// count: a legal stream (neither field refers to the other, and no later
// picture's lists change), so no exchange is reported and both orders give
// the same pictures (ffmpeg's). The frame at access units 26/27 of
// HPCAFL_BRCM_C (an I top field, its P bottom field) becomes its I field as
// the bottom field and as the top field.
TEST(DamageRecovery, IntraFieldPairInEitherOrderIsNoExchange) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/HPCAFL_BRCM_C.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<uint8_t> top = access_units(s, {26});
  const std::vector<uint8_t> bottom = other_parity(top, 16);
  std::vector<std::string> md5s[2];
  for (int bottomFirst = 0; bottomFirst < 2; ++bottomFirst) {
    std::vector<uint8_t> stream = access_units(s, span(0, 25));
    const std::vector<uint8_t>& first = bottomFirst ? bottom : top;
    const std::vector<uint8_t>& second = bottomFirst ? top : bottom;
    stream.insert(stream.end(), first.begin(), first.end());
    stream.insert(stream.end(), second.begin(), second.end());
    const std::vector<uint8_t> rest = access_units(s, span(28, 37));
    stream.insert(stream.end(), rest.begin(), rest.end());
    VideoDamage damage{};
    const std::string what = bottomFirst ? "intra fields bottom first" : "intra fields top first";
    md5s[bottomFirst] = decode_counting(what, stream, &damage).md5s;
    EXPECT_EQ("", damage_words(damage)) << what;
    EXPECT_EQ(19u, md5s[bottomFirst].size()) << what;
  }
  EXPECT_EQ(md5s[0], md5s[1]);
}

// The second field of CAFI1's IDR frame with nal_ref_idc 0 does not pair
// with its first field, yet came: the count of pictures missing references
// is the same in every run, however far output has got (it varied with the
// worker count and from run to run).
TEST(DamageRecovery, NonReferenceSecondFieldCountsTheSameEveryRun) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/CAFI1_SVA_C.264");
  std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<size_t> a = access_unit_starts(s);
  for (size_t u : unit_starts(s)) {
    const size_t header = header_at(s, u);
    if (u < a.at(1) || u >= a.at(2) || (s[header] & 31) != 1) continue;
    ASSERT_NE(0, s[header] & 0x60);
    s[header] &= 0x9F;
  }
  VideoDamage first{};
  const DecodeRun expected = decode_counting("second field no reference", s, &first);
  EXPECT_NE(0u, first.picturesMissingReferences);
  for (int run = 0; run < 4; ++run) {
    VideoDamage damage{};
    EXPECT_EQ(expected.md5s, decode_counting("run " + std::to_string(run), s, &damage).md5s);
    EXPECT_EQ(damage_words(first), damage_words(damage)) << "run " << run;
  }
}

// Two pictures may share a frame_num only as the two fields of a frame. A
// non-reference picture whose nal_ref_idc was damaged to 3 reads as a
// reference picture: where its header ends whole only without the marking
// (06_bpyramid_strict, access unit 3) it is read as the non-reference
// picture it is, and every picture is the clean stream's; where it ends
// whole either way (01_cavlc_main, access unit 30) the next reference
// picture, repeating its frame_num, shows it was none, so that only its own
// picture differs. A non-reference frame exchanged with the reference frame
// after it (FRExt2_P, access units 5 and 6) now repeats that frame's
// frame_num: reported, and decoded from the references it had in its own
// place, as the clean stream's picture.
TEST(DamageRecovery, RepeatedFrameNumOfAReferencePictureIsReported) {
  const struct {
    const char* path;
    size_t unit, changed;
  } cases[] = {{"h264-features/06_bpyramid_strict.264", 3, 0}, {"h264-features/01_cavlc_main.264", 30, 1}};
  for (const auto& c : cases) {
    AVCHD_REQUIRE_TESTDATA(path, c.path);
    std::vector<uint8_t> s = testsupport::read_file(path);
    const std::vector<std::string> clean = decode_buffer(s, DecodeOptions{}).md5s;
    const std::vector<size_t> a = access_unit_starts(s);
    for (size_t u : unit_starts(s)) {
      const size_t header = header_at(s, u);
      if (u < a[c.unit] || u >= a[c.unit + 1] || (s[header] & 31) != 1) continue;
      ASSERT_EQ(0, s[header] & 0x60) << c.path;
      s[header] |= 0x60;
    }
    VideoDamage damage{};
      const DecodeRun run = decode_counting(c.path, s, &damage);
    EXPECT_EQ(1u, damage.slicesRepaired) << c.path;
    ASSERT_EQ(clean.size(), run.md5s.size()) << c.path;
    size_t changed = 0;
    for (size_t i = 0; i < clean.size(); ++i) changed += clean[i] != run.md5s[i];
    EXPECT_EQ(c.changed, changed) << c.path;
  }

  AVCHD_REQUIRE_TESTDATA(frext, "h264-conformance/FRExt2_P.avc");
  const std::vector<uint8_t> f = testsupport::read_file(frext);
  std::vector<size_t> order = span(0, access_unit_starts(f).size() - 1);
  std::swap(order[5], order[6]);
  VideoDamage damage{};
  const DecodeRun run = decode_counting("FRExt2_P with access units 5 and 6 exchanged", access_units(f, order), &damage);
  EXPECT_EQ(1u, damage.picturesMissingReferences);
  EXPECT_EQ(decode_buffer(f, DecodeOptions{}).md5s, run.md5s);
}

// Pictures of a frame/field stream sent again a few access units after
// themselves: a reference P frame (its frame_num no longer follows on), a
// non-reference B frame and a reference field. Each is left out and
// reported; no picture of the clean stream is lost or added.
TEST(DamageRecovery, PicturesSentAgainAreLeftOutAndReported) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/CAPA1_T_B.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  VideoDamage damage{};
  const DecodeRun clean = decode_counting("CAPA1_T_B, 62 access units", access_units(s, span(0, 61)), &damage);
  ASSERT_EQ(42u, clean.md5s.size());
  const struct {
    size_t unit, after;
    uint32_t fields;
    const char* what;
  } cases[] = {{32, 35, 2, "reference P frame"}, {17, 20, 2, "non-reference B frame"}, {11, 13, 1, "reference field"}};
  for (const auto& c : cases) {
    std::vector<size_t> order = span(0, c.after);
    order.push_back(c.unit);
    for (size_t i : span(c.after + 1, 61)) order.push_back(i);
    const std::string what = std::string(c.what) + " sent again after unit " + std::to_string(c.after);
    const DecodeRun run = decode_counting(what, access_units(s, order), &damage);
    EXPECT_EQ(clean.md5s, run.md5s) << what;
    EXPECT_EQ(c.fields, damage.fieldsRepeated) << what;
  }
}

// The camera's first access unit (its IDR field, with the parameter sets)
// sent again far later: taken as a new IDR field, it is followed only by
// pictures left out (the picture parameter set changed since) or out of
// place, so no second field comes for it. At the end of the input it is
// output alone: the damage is reported, and every picture decoded before the
// copy (all but the eighth) is output as in the clean stream.
TEST(DamageRecovery, FirstFieldSentAgainFarLaterEndsWithoutAStall) {
  AVCHD_REQUIRE_TESTDATA(path, "avchd/camera_1080i50_paff.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  std::vector<size_t> order = span(0, 15);
  order.push_back(0);
  for (size_t i : span(16, 25)) order.push_back(i);
  VideoDamage damage{};
  const DecodeRun run = decode_everywhere("the first access unit sent again", access_units(s, order), &damage, {1u, 8u});
  EXPECT_TRUE(run.finished) << "error " << run.errorCode;
  EXPECT_NE(0u, damage.fieldsAlone);
  std::vector<std::string> kept = reference_md5s(testsupport::testdata_file("avchd/camera_1080i50_paff.video.framemd5"));
  ASSERT_EQ(13u, kept.size());
  kept.resize(9);
  kept.erase(kept.begin() + 7);
  EXPECT_TRUE(in_order_within(kept, run.md5s));
}

// A frame/field stream with its non-reference pictures taken out (a sound
// stream) wraps frame_num and the order counts so that fields come again
// with the identity of fields 20 pictures before: each follows on from the
// reference before it and is no field sent again. Every picture is the
// intact stream's, in its order.
TEST(DamageRecovery, IdentitiesThatComeAgainWhereTheStreamMayRepeatThemAreKept) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-conformance/CAPA1_T_B.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  const std::vector<size_t> a = access_unit_starts(s);
  const std::vector<size_t> u = unit_starts(s);
  std::vector<size_t> references;
  for (size_t i = 0, k = 0; i < a.size(); ++i) {
    while (k < u.size() && u[k] < a[i]) ++k;
    while (k < u.size() && (s[header_at(s, u[k])] & 31) != 1 && (s[header_at(s, u[k])] & 31) != 5) ++k;
    if (k < u.size() && (s[header_at(s, u[k])] >> 5 & 3) != 0) references.push_back(i);
  }
  ASSERT_EQ(43u, references.size());  // 30 frames
  VideoDamage damage{};
  const DecodeRun run = decode_counting("CAPA1_T_B's reference pictures", access_units(s, references), &damage);
  EXPECT_EQ(30u, run.md5s.size());
  EXPECT_EQ(0u, damage.fieldsRepeated);
  EXPECT_EQ(0u, damage.picturesBeforeStart);
  EXPECT_EQ(0u, damage.picturesMissingReferences);
  const std::vector<std::string> all = reference_md5s(testsupport::local_data_file("conformance/CAPA1_T_B.md5s"));
  size_t at = 0;
  for (const std::string& md5 : run.md5s) {
    while (at < all.size() && all[at] != md5) ++at;
    EXPECT_LT(at, all.size()) << "a picture not of the intact stream, or out of its order";
  }
}

// An MBAFF stream cut inside a slice and a field stream of another size
// joined on inside one of its slices (without its parameter sets): pictures
// withdrawn there give their access-unit index again, and a picture's own
// marking must not be taken for another's. The same pictures and the same
// damage (references never received among them) at every worker count.
TEST(DamageRecovery, SpliceInsideSlicesDecodesTheSameEverywhere) {
  AVCHD_REQUIRE_TESTDATA(first, "h264-features/42_explicit_b_mbaff_cabac.264");
  AVCHD_REQUIRE_TESTDATA(second, "h264-conformance/CAFI1_SVA_C.264");
  std::vector<uint8_t> spliced = testsupport::read_file(first);
  const std::vector<uint8_t> tail = testsupport::read_file(second);
  ASSERT_GT(spliced.size(), 152987u);
  ASSERT_GT(tail.size(), 101965u);
  spliced.resize(152987);
  spliced.insert(spliced.end(), tail.begin() + 101965, tail.end());
  VideoDamage damage{};
  decode_counting("42 cut inside a slice, CAFI1_SVA_C from inside one", spliced, &damage);
  EXPECT_NE(0u, damage.picturesMissingReferences);
}


// Two non-reference B pictures of a strict B pyramid exchanged (access units
// 3 and 4): the first to come is output before the other, whose order count
// puts it before it. That one is left out and reported, as ffmpeg leaves it
// out; the others are the intact stream's, in order. In their own order, in
// the legal streams of deep pyramids and open groups of pictures, and in a
// stream joined on whose pictures after its IDR picture have negative order
// counts (keys below those of the stream before), nothing is reported.
TEST(DamageRecovery, PictureSentAfterOneThatFollowsItIsLeftOutAndReported) {
  AVCHD_REQUIRE_TESTDATA(path, "h264-features/06_bpyramid_strict.264");
  const std::vector<uint8_t> s = testsupport::read_file(path);
  std::vector<size_t> order = span(0, access_unit_starts(s).size() - 1);
  VideoDamage damage{};
  const DecodeRun intact = decode_counting("06_bpyramid_strict", access_units(s, order), &damage);
  EXPECT_EQ("", damage_words(damage));
  std::swap(order[3], order[4]);
  const DecodeRun run = decode_counting("06_bpyramid_strict, access units 3 and 4 exchanged", access_units(s, order),
                                        &damage);
  EXPECT_EQ(1u, damage.picturesOutOfOrder);
  ASSERT_EQ(intact.md5s.size() - 1, run.md5s.size());
  EXPECT_TRUE(in_order_within(run.md5s, intact.md5s));
  for (const char* legal : {"h264-features/05_bpyramid_normal.264", "h264-features/30_open_gop_sei_aud.264",
                            "h264-features/41_explicit_b_pyramid.264"}) {
    AVCHD_REQUIRE_TESTDATA(other, legal);
    decode_counting(legal, testsupport::read_file(other), &damage);
    EXPECT_EQ("", damage_words(damage)) << legal;
  }
  AVCHD_REQUIRE_TESTDATA(capa1, "h264-conformance/CAPA1_T_B.264");
  const DecodeRun twice =
      decode_counting("CAPA1_T_B twice", joined("h264-conformance/CAPA1_T_B.264", testsupport::read_file(capa1)), &damage);
  EXPECT_EQ("", damage_words(damage));
  EXPECT_EQ(180u, twice.md5s.size());
}

// A stream cut at access unit `au`, its first two units (its sequence and
// picture parameter sets) in front, as a recording cut there reads.
std::vector<uint8_t> cut_at(const std::vector<uint8_t>& s, size_t au) {
  const std::vector<size_t> u = unit_starts(s);
  std::vector<uint8_t> out(s.begin() + static_cast<std::ptrdiff_t>(u[0]), s.begin() + static_cast<std::ptrdiff_t>(u[2]));
  out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(access_unit_starts(s)[au]), s.end());
  return out;
}

// Streams cut at the I picture after their IDR picture: the first P
// picture's list modification names the IDR picture, which no macroblock
// predicts from. Every picture is the whole stream's; nothing is missing.
// Cut at an I picture whose B pictures after it come before it in output
// order (an open group of pictures), those are left out and counted.
TEST(DamageRecovery, StreamCutAtAnIPictureDecodesAsTheWholeStreamDoes) {
  for (const char* name : {"40_explicit_b_cabac", "07_weightp"}) {
    const std::string base = std::string("h264-features/") + name;
    AVCHD_REQUIRE_TESTDATA(path, base + ".264");
    VideoDamage damage{};
    const DecodeRun run = decode_counting(base + " from its I picture", cut_at(testsupport::read_file(path), 1), &damage);
    const std::vector<std::string> all = reference_md5s(testsupport::testdata_file(base + ".framemd5"));
    EXPECT_EQ(std::vector<std::string>(all.begin() + 1, all.end()), run.md5s) << name;
    EXPECT_EQ("", damage_words(damage)) << name;
  }
  AVCHD_REQUIRE_TESTDATA(open, "h264-features/06_bpyramid_strict.264");
  VideoDamage damage{};
  const DecodeRun run = decode_counting("06 from its second I picture", cut_at(testsupport::read_file(open), 9), &damage);
  const std::vector<std::string> all = reference_md5s(testsupport::testdata_file("h264-features/06_bpyramid_strict.framemd5"));
  EXPECT_EQ(std::vector<std::string>(all.begin() + 12, all.end()), run.md5s);
  EXPECT_EQ(3u, damage.picturesBeforeStart);
  EXPECT_EQ(0u, damage.picturesMissingReferences);
}

// An intra-refresh stream cut at a recovery point on a P picture: it starts
// there, its first six pictures (recovery_frame_cnt) left out and counted,
// the rest the reference decoder's. With recovery_frame_cnt 0 (its SEI
// payload rewritten) the first pictures are output too, and said to refer
// to pictures never received.
TEST(DamageRecovery, StreamCutAtARecoveryPointStartsThere) {
  const std::vector<uint8_t> cut = testsupport::read_file(testsupport::local_data_file("recovery/intra_refresh_cut.264"));
  const std::vector<std::string> reference =
      reference_md5s(testsupport::local_data_file("recovery/intra_refresh_cut.framemd5"));
  ASSERT_EQ(14u, reference.size());
  VideoDamage damage{};
  DecodeRun run = decode_counting("intra refresh from a recovery point", cut, &damage);
  EXPECT_EQ(reference, run.md5s);
  EXPECT_EQ(6u, damage.picturesBeforeStart);
  EXPECT_EQ(0u, damage.picturesMissingReferences);

  std::vector<uint8_t> now = cut;
  const std::vector<uint8_t> sei = {0, 0, 1, 6, 6, 2};  // recovery point, 2 bytes
  auto at = std::search(now.begin(), now.end(), sei.begin(), sei.end());
  ASSERT_NE(now.end(), at);
  at[6] = 0xC4;  // recovery_frame_cnt 0, exact_match_flag 1, broken_link_flag 0, changing_slice_group_idc 0
  at[7] = 0;
  run = decode_counting("intra refresh from a recovery point of no frames", now, &damage);
  ASSERT_EQ(20u, run.md5s.size());
  EXPECT_EQ(reference, std::vector<std::string>(run.md5s.begin() + 6, run.md5s.end()));
  EXPECT_EQ(0u, damage.picturesBeforeStart);
  EXPECT_NE(0u, damage.picturesMissingReferences);
}

}  // namespace
