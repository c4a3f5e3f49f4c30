// Reference picture lists and marking on picture records linked by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "decoder_engine.h"
#include "h264_test_util.h"

namespace {

struct Pictures {
  SequenceParameterSet sps{};
  std::vector<DecodedPicture> pics;
  explicit Pictures(size_t n) : pics(n) {
    sps.MaxFrameNum = 16;
    sps.num_ref_frames = 4;
    for (size_t i = 0; i < n; ++i) {
      DecodedPicture& p = pics[i];
      p.sps = &sps;
      p.accessUnitIndex = static_cast<uint32_t>(i);
      p.setUpOrder = static_cast<uint32_t>(i + 1);  // set up in stream order
      p.structure = 2;
      p.decoded = 1;
      p.releaseKey = 1000;
      if (i > 0) {
        p.prevInDecodeOrder = &pics[i - 1];
        pics[i - 1].nextInDecodeOrder = &p;
      }
    }
  }
};

SliceDecodeContext slice_for(DecodedPicture* cur, uint8_t type, uint32_t frameNum) {
  SliceDecodeContext s;
  std::memset(static_cast<void*>(&s), 0, sizeof(s));
  s.picture = cur;
  s.slice_type = type;
  s.frame_num = frameNum;
  s.CurrPicNum = frameNum;
  return s;
}

// Lists of P and B slices built from records linked by hand (decode order is
// record order; the current picture is the last record). Entries of field
// lists are record and parity: a frame coded as one picture serves as both
// of its fields; a field pair is one frame entry, named by its first field.
struct ListCase {
  const char* name;
  std::vector<uint8_t> structure;  // per record: 2 frame, 0 top field, 1 bottom field
  std::vector<int> refs;           // records marked as references
  std::vector<int> pocs;           // per record (frames: both fields; empty: all 0)
  uint8_t sliceType;               // 0 P, 1 B
  std::vector<int> l0;             // expected entries, then a null one
  std::vector<int> l1;
  std::vector<int> l0Parity;       // expected parities of a field slice's list 0 (empty: not checked)
};

TEST(RefLists, ListsOfHandLinkedPictures) {
  const ListCase cases[] = {
      // A B frame between two references in order count.
      {"B between references", {2, 2, 2}, {0, 1}, {0, 8, 4}, 1, {0, 1}, {1, 0}, {}},
      // A B frame after all its references: list 1 equals list 0 and swaps.
      {"B after its references", {2, 2, 2}, {0, 1}, {0, 4, 8}, 1, {1, 0}, {0, 1}, {}},
      // Same parity first, then this frame's first field, then the older one.
      {"second field", {0, 1, 0, 1}, {0, 1, 2}, {}, 0, {1, 2, 0}, {}, {1, 0, 0}},
      // A frame whose fields were coded as separate pictures is one entry.
      {"frame after a field pair", {0, 1, 2}, {0, 1}, {}, 0, {0}, {}, {}},
      // A field referencing a frame coded as one picture: both its fields,
      // the current parity first.
      {"field after a frame", {2, 2, 1}, {0, 1}, {}, 0, {1, 1, 0, 0}, {}, {1, 0, 1, 0}},
      // A bottom B field between the frames: lower counts first in list 0.
      {"B field between frames", {2, 2, 1}, {0, 1}, {0, 8, 5}, 1, {0, 0, 1, 1}, {1, 1, 0, 0}, {1, 0, 1, 0}},
  };
  for (const ListCase& c : cases) {
    Pictures p(c.structure.size());
    for (size_t i = 0; i < c.structure.size(); ++i) {
      DecodedPicture& q = p.pics[i];
      q.structure = c.structure[i];
      q.frameNum = c.structure[i] == 2 ? i : i / 2;
      q.pictureOrderCount = c.pocs.empty() ? 0 : c.pocs[i];
      q.topFieldOrderCnt = q.pictureOrderCount;
      q.bottomFieldOrderCnt = q.pictureOrderCount + (q.structure == 2 ? 1 : 0);
    }
    for (size_t i = 0; i + 1 < c.structure.size(); ++i) {
      if (c.structure[i] == 0 && c.structure[i + 1] == 1) {
        p.pics[i].pairedField = &p.pics[i + 1];
        p.pics[i + 1].pairedField = &p.pics[i];
      }
    }
    for (int r : c.refs) p.pics[r].referenceMarking = 3;
    DecodedPicture* cur = &p.pics.back();
    SliceDecodeContext s = slice_for(cur, c.sliceType, static_cast<uint32_t>(cur->frameNum));
    s.field_pic_flag_coded = cur->structure != 2;
    s.bottom_field_flag = cur->structure == 1;
    ASSERT_EQ(0, build_reference_lists(nullptr, &s)) << c.name;
    for (int list = 0; list < 2; ++list) {
      const std::vector<int>& want = list == 0 ? c.l0 : c.l1;
      DecodedPicture* const* got = list == 0 ? s.RefPicList0 : s.RefPicList1;
      for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(&p.pics[want[k]], got[k]) << c.name << " list " << list;
      EXPECT_EQ(nullptr, got[want.size()]) << c.name << " list " << list;
    }
    for (size_t k = 0; k < c.l0Parity.size(); ++k) EXPECT_EQ(c.l0Parity[k], s.refParity[0][k]) << c.name << " " << k;
  }
  Pictures alone(1);
  SliceDecodeContext s = slice_for(&alone.pics[0], 0, 0);
  EXPECT_EQ(kStepNoReference, build_reference_lists(nullptr, &s)) << "P slice without a predecessor";
}

// Points the reader at the bits written (with the trailing bits), held in
// payload.
void read_from(h264test::BitWriter& w, std::vector<uint8_t>* payload, ThreadBuffer* tb) {
  w.trailing();
  const std::vector<uint8_t> rbsp = w.bytes();
  payload->assign(((rbsp.size() + 3) / 4) * 4 + 8, 0);
  for (size_t k = 0; k < rbsp.size(); ++k) (*payload)[rbsp_byte_offset(static_cast<uint32_t>(k))] = rbsp[k];
  bs_init(&tb->reader, payload->data(), static_cast<uint32_t>(rbsp.size()));
}

// Marking of the last of three reference frames (frame_num 2), read from a
// reader built over the given bits.
struct Marking {
  Pictures p{3};
  std::vector<uint8_t> payload;
  ThreadBuffer tb{};
  std::unique_ptr<VideoDecoder> dec = std::make_unique<VideoDecoder>();  // keeps why a stream was refused
  SliceDecodeContext s{};
  int32_t run(h264test::BitWriter& w) {
    tb.decoderState = &dec->state;
    read_from(w, &payload, &tb);
    for (auto& q : p.pics) q.referenceMarking = 3;
    s = slice_for(&p.pics[2], 0, 2);
    return dec_ref_pic_marking(&tb, &s, 1, 2);
  }
};

TEST(RefMarking, OneReferenceFrameKeepsOnlyTheNewest) {
  Marking m;
  Pictures& p = m.p;
  p.sps.num_ref_frames = 1;
  h264test::BitWriter w;
  w.bit(0);  // sliding window
  ASSERT_EQ(0, m.run(w));
  EXPECT_EQ(0, p.pics[0].referenceMarking);
  EXPECT_EQ(0, p.pics[1].referenceMarking);
  EXPECT_EQ(3, p.pics[2].referenceMarking);
  // The current picture's own later slices still see what it unmarked.
  EXPECT_TRUE(is_reference_for(&p.pics[1], &p.pics[2]));
}

// The window counts frames: a field pair whose second field is no reference
// is one frame, so with two reference frames the older frame goes.
TEST(RefMarking, SlidingWindowCountsAPairAsOneFrame) {
  Pictures p(4);
  p.sps.num_ref_frames = 2;
  p.pics[0].referenceMarking = 3;
  p.pics[1].structure = 0;
  p.pics[1].referenceMarking = 3;
  p.pics[2].structure = 1;
  p.pics[1].pairedField = &p.pics[2];
  p.pics[2].pairedField = &p.pics[1];
  h264test::BitWriter w;
  w.bit(0);  // sliding window
  std::vector<uint8_t> payload;
  ThreadBuffer tb{};
  read_from(w, &payload, &tb);
  SliceDecodeContext s = slice_for(&p.pics[3], 0, 3);
  ASSERT_EQ(0, dec_ref_pic_marking(&tb, &s, 1, 2));
  EXPECT_EQ(0, p.pics[0].referenceMarking);
  EXPECT_EQ(3, p.pics[1].referenceMarking);
}

TEST(RefMarking, OperationOneUnmarksLongTermOperationsAreRefused) {
  {
    Marking m;
    m.p.pics[0].frameNum = 0;
    m.p.pics[1].frameNum = 1;
    h264test::BitWriter w;
    w.bit(1);  // adaptive
    w.ue(1);   // operation 1
    w.ue(1);   // difference_of_pic_nums_minus1: picNumX = 2 - 2 = 0
    w.ue(1);   // operation 1
    w.ue(0);   // picNumX = 1
    w.ue(0);   // end
    ASSERT_EQ(0, m.run(w));
    EXPECT_EQ(0, m.p.pics[0].referenceMarking);
    EXPECT_EQ(0, m.p.pics[1].referenceMarking);
    EXPECT_EQ(0u, m.tb.reader.overrun);
  }
  // Operation 3 would make a long-term reference that later pictures read.
  // The operation is noted for the slice header's end to refuse (or drop the
  // slice as damaged), and its fields are read past: the end is found.
  for (uint32_t op : {2u, 3u, 4u, 6u}) {
    Marking m;
    h264test::BitWriter w;
    w.bit(1);
    w.ue(op);
    w.ue(0);
    if (op == 3) w.ue(0);
    w.ue(0);  // end
    w.bit(1);
    EXPECT_EQ(0, m.run(w)) << "operation " << op;
    EXPECT_EQ(kVideoRefusalMemoryManagement, m.s.refusedSyntax) << "operation " << op;
    EXPECT_EQ(op, m.s.refusedOperation);
    EXPECT_EQ(1u, ReadOneBit(&m.tb.reader)) << "operation " << op << ": the marking's end was not found";
    EXPECT_EQ(0u, m.tb.reader.overrun);
  }
}

// Adaptive marking that frees too little (damage: the mode flag read as
// set) still leaves no more reference frames than the stream keeps.
TEST(RefMarking, AdaptiveMarkingKeepsWithinTheReferenceFrames) {
  Marking m;
  m.p.sps.num_ref_frames = 2;
  h264test::BitWriter w;
  w.bit(1);  // adaptive
  w.ue(0);   // end, nothing freed
  ASSERT_EQ(0, m.run(w));
  EXPECT_EQ(0, m.p.pics[0].referenceMarking);
  EXPECT_EQ(3, m.p.pics[1].referenceMarking);
  EXPECT_EQ(3, m.p.pics[2].referenceMarking);
}

// A field slice unmarks one field of a frame coded as one picture: the other
// field stays a reference, and the current picture still sees both.
TEST(RefMarking, FieldOperationUnmarksOneFieldOfAFrame) {
  Pictures p(2);
  p.pics[0].frameNum = 0;
  p.pics[0].referenceMarking = 3;
  p.pics[1].structure = 0;
  p.pics[1].frameNum = 1;
  h264test::BitWriter w;
  w.bit(1);
  w.ue(1);  // operation 1
  w.ue(2);  // picNumX = 3 - 3 = 0: the frame's bottom field (the other parity)
  w.ue(0);
  std::vector<uint8_t> payload;
  ThreadBuffer tb{};
  read_from(w, &payload, &tb);
  SliceDecodeContext s = slice_for(&p.pics[1], 0, 1);
  s.field_pic_flag_coded = 1;
  s.CurrPicNum = 3;
  ASSERT_EQ(0, dec_ref_pic_marking(&tb, &s, 1, 2));
  EXPECT_EQ(1, p.pics[0].referenceMarking);
  EXPECT_EQ(3, p.pics[0].markingBefore);
  DecodedPicture later{};
  later.accessUnitIndex = 2;
  EXPECT_TRUE(is_reference_for(&p.pics[0], &later));
}

}  // namespace

namespace {

// Records of one pool, as the decoder opens them: each knows its place and
// has its set of records read.
struct PooledPictures : Pictures {
  std::vector<uint64_t> refSets;
  explicit PooledPictures(size_t n) : Pictures(n), refSets(n * ref_set_words(static_cast<uint32_t>(n))) {
    for (size_t i = 0; i < n; ++i) {
      pics[i].poolIndex = static_cast<uint32_t>(i);
      pics[i].poolSize = static_cast<uint32_t>(n);
      pics[i].refsRead = &refSets[i * ref_set_words(static_cast<uint32_t>(n))];
    }
  }
};

// A B slice with temporal direct prediction holds the records its co-located
// picture's motion refers to, which its own lists need not name, and lets
// go of exactly what it took: the other field of a field pair its lists
// name stays held once, whatever became of the pair meanwhile.
TEST(RefLists, SlicesHoldWhatTheirPredictionReads) {
  PooledPictures set(6);
  std::vector<DecodedPicture>& p = set.pics;
  // Records 0 and 1 are references of the co-located picture 2.
  SliceDecodeContext col = slice_for(&p[2], 0, 2);
  col.RefPicList0[0] = &p[1];
  col.RefPicList0[1] = &p[0];
  hold_slice_pictures(&col);
  release_slice_pictures(&col);
  for (int i : {0, 1, 2}) EXPECT_EQ(0u, p[i].users) << i;

  SliceDecodeContext b = slice_for(&p[3], 1, 3);
  b.RefPicList0[0] = &p[2];
  b.RefPicList1[0] = &p[2];
  hold_slice_pictures(&b);
  // Held through the co-located picture, which holds what it read.
  EXPECT_NE(0u, p[0].users + p[0].readBy);
  EXPECT_NE(0u, p[1].users + p[1].readBy);
  release_slice_pictures(&b);
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(0u, p[i].users + p[i].readBy) << i;

  // Spatial direct prediction reads no reference through the motion.
  b.direct_spatial_mv_pred_flag = 1;
  hold_slice_pictures(&b);
  EXPECT_EQ(0u, p[0].users);
  release_slice_pictures(&b);

  // A frame slice naming the first field of a pair; the pair is undone
  // (its second field's record reused) before the slice ends.
  p[4].structure = 0;
  p[5].structure = 1;
  p[4].pairedField = &p[5];
  p[5].pairedField = &p[4];
  SliceDecodeContext frame = slice_for(&p[3], 0, 3);
  frame.RefPicList0[0] = &p[4];
  frame.RefPicList0[1] = &p[4];
  hold_slice_pictures(&frame);
  EXPECT_EQ(1u, p[5].users);
  p[4].pairedField = nullptr;
  release_slice_pictures(&frame);
  EXPECT_EQ(0u, p[4].users);
  EXPECT_EQ(0u, p[5].users);
}

}  // namespace
