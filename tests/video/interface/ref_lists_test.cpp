// Reference picture lists and marking on picture records linked by hand.
#include <gtest/gtest.h>

#include <cstring>
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
      p.structure = 2;
      p.decoded = 1;
      p.releaseKey = 1000;
      if (i > 0) {
        p.prevInDecodeOrder = &pics[i - 1];
        pics[i - 1].nextInDecodeOrder = &p;
      }
    }
  }
  // Links the records into output order by their keys (given in order).
  void output_order(std::initializer_list<int> order) {
    DecodedPicture* prev = nullptr;
    for (int i : order) {
      pics[i].prevInOutputOrder = prev;
      if (prev) prev->nextInOutputOrder = &pics[i];
      prev = &pics[i];
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

TEST(RefLists, BFrameBetweenTwoReferences) {
  Pictures p(3);  // decode order: POC 0, POC 8, B at POC 4
  p.pics[0].referenceMarking = 3;
  p.pics[1].referenceMarking = 3;
  p.output_order({0, 2, 1});
  SliceDecodeContext s = slice_for(&p.pics[2], 1, 2);
  ASSERT_EQ(0, build_reference_lists(nullptr, &s));
  EXPECT_EQ(&p.pics[0], s.RefPicList0[0]);
  EXPECT_EQ(&p.pics[1], s.RefPicList0[1]);
  EXPECT_EQ(&p.pics[1], s.RefPicList1[0]);
  EXPECT_EQ(&p.pics[0], s.RefPicList1[1]);
  EXPECT_EQ(nullptr, s.RefPicList0[2]);
}

TEST(RefLists, BPictureAfterAllItsReferencesSwapsListOne) {
  Pictures p(3);
  p.pics[0].referenceMarking = 3;
  p.pics[1].referenceMarking = 3;
  p.output_order({0, 1, 2});
  SliceDecodeContext s = slice_for(&p.pics[2], 1, 2);
  ASSERT_EQ(0, build_reference_lists(nullptr, &s));
  EXPECT_EQ(&p.pics[1], s.RefPicList0[0]);
  EXPECT_EQ(&p.pics[0], s.RefPicList0[1]);
  EXPECT_EQ(&p.pics[0], s.RefPicList1[0]);
  EXPECT_EQ(&p.pics[1], s.RefPicList1[1]);
}

TEST(RefLists, PSliceWithoutPredecessorHasNoReference) {
  Pictures p(1);
  SliceDecodeContext s = slice_for(&p.pics[0], 0, 0);
  EXPECT_EQ(kStepNoReference, build_reference_lists(nullptr, &s));
}

TEST(RefLists, SecondFieldReferencesTheFirstFieldOfItsFrame) {
  Pictures p(4);  // frame 0 as two fields, then frame 1 as two fields
  const uint8_t structure[4] = {0, 1, 0, 1};
  for (int i = 0; i < 4; ++i) {
    p.pics[i].structure = structure[i];
    p.pics[i].frameNum = i / 2;
    p.pics[i].referenceMarking = 3;
  }
  p.pics[2].pairedField = &p.pics[3];
  p.pics[3].pairedField = &p.pics[2];
  SliceDecodeContext s = slice_for(&p.pics[3], 0, 1);
  s.field_pic_flag_coded = 1;
  s.bottom_field_flag = 1;
  ASSERT_EQ(0, build_reference_lists(nullptr, &s));
  EXPECT_EQ(&p.pics[1], s.RefPicList0[0]);  // same parity first
  EXPECT_EQ(&p.pics[2], s.RefPicList0[1]);  // then this frame's first field
  EXPECT_EQ(&p.pics[0], s.RefPicList0[2]);
}

// A frame whose fields were coded as separate pictures is one entry of a
// frame slice's list.
TEST(RefLists, FramePictureReferencesAFieldPairOnce) {
  Pictures p(3);
  p.pics[0].structure = 0;
  p.pics[1].structure = 1;
  p.pics[0].pairedField = &p.pics[1];
  p.pics[1].pairedField = &p.pics[0];
  p.pics[0].referenceMarking = p.pics[1].referenceMarking = 3;
  SliceDecodeContext s = slice_for(&p.pics[2], 0, 1);
  ASSERT_EQ(0, build_reference_lists(nullptr, &s));
  EXPECT_EQ(&p.pics[1], s.RefPicList0[0]);
  EXPECT_EQ(nullptr, s.RefPicList0[1]);
}

// Marking reads from a reader built over the given RBSP bits.
struct Reader {
  std::vector<uint8_t> payload;
  ThreadBuffer tb{};
  explicit Reader(const std::vector<uint8_t>& rbsp) {
    payload.assign(((rbsp.size() + 3) / 4) * 4 + 8, 0);
    for (size_t k = 0; k < rbsp.size(); ++k) payload[rbsp_byte_offset(static_cast<uint32_t>(k))] = rbsp[k];
    bs_init(&tb.reader, payload.data(), static_cast<uint32_t>(rbsp.size()));
  }
};

TEST(RefMarking, OneReferenceFrameKeepsOnlyTheNewest) {
  Pictures p(3);
  p.sps.num_ref_frames = 1;
  p.pics[0].referenceMarking = 3;
  p.pics[1].referenceMarking = 3;
  p.pics[2].referenceMarking = 3;
  h264test::BitWriter w;
  w.bit(0);  // sliding window
  w.trailing();
  Reader r(w.bytes());
  SliceDecodeContext s = slice_for(&p.pics[2], 0, 2);
  ASSERT_EQ(0, dec_ref_pic_marking(&r.tb, &s, 1, 2));
  EXPECT_EQ(0, p.pics[0].referenceMarking);
  EXPECT_EQ(0, p.pics[1].referenceMarking);
  EXPECT_EQ(3, p.pics[2].referenceMarking);
  // The current picture's own later slices still see what it unmarked.
  EXPECT_TRUE(is_reference_for(&p.pics[1], &p.pics[2]));
}

TEST(RefMarking, OperationThreeUnmarksAndLeavesTheReaderAtTheNextOperation) {
  Pictures p(3);
  for (auto& q : p.pics) q.referenceMarking = 3;
  p.pics[0].frameNum = 0;
  p.pics[1].frameNum = 1;
  h264test::BitWriter w;
  w.bit(1);  // adaptive
  w.ue(3);   // operation 3
  w.ue(1);   // difference_of_pic_nums_minus1: picNumX = 2 - 2 = 0
  w.ue(5);   // long_term_frame_idx
  w.ue(1);   // operation 1
  w.ue(0);   // picNumX = 1
  w.ue(0);   // end
  w.trailing();
  Reader r(w.bytes());
  SliceDecodeContext s = slice_for(&p.pics[2], 0, 2);
  ASSERT_EQ(0, dec_ref_pic_marking(&r.tb, &s, 1, 2));
  EXPECT_EQ(0, p.pics[0].referenceMarking);
  EXPECT_EQ(0, p.pics[1].referenceMarking);
  EXPECT_EQ(0u, r.tb.reader.overrun);
}

}  // namespace
