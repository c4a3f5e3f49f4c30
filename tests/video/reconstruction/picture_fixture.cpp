#include "picture_fixture.h"

#include <cstring>

TestPicture::TestPicture(int w, int h)
    : widthMbs(w), heightMbs(h), lumaPitch(16 * w + 64), chromaPitch(8 * w + 16),
      y(static_cast<size_t>(lumaPitch) * 16 * h), cb(static_cast<size_t>(chromaPitch) * 8 * h),
      cr(static_cast<size_t>(chromaPitch) * 8 * h), mbs(static_cast<size_t>(w * h)) {
  fb.Y = lumaOrigin();
  fb.Cb = cbOrigin();
  fb.Cr = crOrigin();
  pic.macroblocks = mbs.data();
  pic.frameBuffer = &fb;
  pic.widthInMbs = static_cast<uint32_t>(w);
  pic.mbCount = static_cast<uint32_t>(w * h);
  pic.lumaPitch = static_cast<uint16_t>(lumaPitch);
  pic.chromaPitch = static_cast<uint16_t>(chromaPitch);
  pic.lumaHeight = static_cast<uint16_t>(16 * h);
  pic.chromaHeight = static_cast<uint16_t>(8 * h);
  pic.chroma_format_idc = 1;
  pic.structure = 2;
  std::memset(static_cast<void*>(mbs.data()), 0, mbs.size() * sizeof(MacroblockRecord));
}

void TestPicture::set_slices(const std::vector<int>& starts, uint8_t sliceType, uint8_t constrainedIntra) {
  const int total = widthMbs * heightMbs;
  slices.clear();
  sliceOf.assign(static_cast<size_t>(total), 0);
  for (size_t s = 0; s < starts.size(); ++s) {
    auto ctx = std::make_unique<SliceDecodeContext>();
    std::memset(static_cast<void*>(ctx.get()), 0, sizeof(SliceDecodeContext));
    const int first = starts[s];
    const int end = s + 1 < starts.size() ? starts[s + 1] : total;
    ctx->firstMbAddr = static_cast<uint32_t>(first);
    ctx->firstMb = &mbs[static_cast<size_t>(first)];
    ctx->picture = &pic;
    ctx->slice_type = sliceType;
    ctx->constrained_intra_pred_flag = constrainedIntra;
    for (int n = first; n < end; ++n) sliceOf[static_cast<size_t>(n)] = static_cast<int>(s);
    MacroblockRecord& head = mbs[static_cast<size_t>(first)];
    head.slice_first_flag = 1;
    head.slice_mb_count = static_cast<uint32_t>(end - first);
    slices.push_back(std::move(ctx));
  }
  for (int n = 0; n < total; ++n) {
    MacroblockRecord& mb = mbs[static_cast<size_t>(n)];
    const int col = n % widthMbs, row = n / widthMbs, s = sliceOf[static_cast<size_t>(n)];
    auto link = [&](int dx, int dy) -> MacroblockRecord* {
      const int c = col + dx, r = row + dy;
      if (c < 0 || c >= widthMbs || r < 0) return nullptr;
      const int m = r * widthMbs + c;
      return sliceOf[static_cast<size_t>(m)] == s ? &mbs[static_cast<size_t>(m)] : nullptr;
    };
    mb.neighbour_a = link(-1, 0);
    mb.neighbour_b = link(0, -1);
    mb.neighbour_c = link(1, -1);
    mb.neighbour_d = link(-1, -1);
    mb.mb_addr = static_cast<uint32_t>(n);
    mb.mb_structure = 2;
    mb.slice = slices[static_cast<size_t>(s)].get();
  }
}

void TestPicture::fill_random(std::mt19937& rng) {
  std::uniform_int_distribution<int> any(0, 255);
  for (auto* plane : {&y, &cb, &cr})
    for (auto& v : *plane) v = static_cast<uint8_t>(any(rng));
}
