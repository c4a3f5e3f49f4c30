// Concealment from a reference picture: the macroblocks of a picture that no
// slice reconstructed take the samples at their place in an earlier picture,
// moved by the motion of the neighbouring macroblocks that were decoded (or
// concealed before them) where that motion refers to the same picture. What
// no earlier picture stands in for is filled from the decoded macroblocks
// above and below it (mid-grey when none was decoded), and a finished
// picture is deblocked here.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoder_engine.h"
#include "engine_internal.h"
#include "mb_record.h"
#include "reconstruction.h"
#include "weighting.h"

namespace {

struct Plane {
  uint8_t* base;
  uint32_t pitch;
  uint32_t width;
  uint32_t height;
};

// Lines of the source a line of the picture reads: the same line when both
// are frames or both fields, the line of the picture's parity when a field
// reads a frame, every line twice when a frame reads a field.
struct LineMap {
  int shift;   // -1: y/2, 0: y, 1: 2y + parity
  int parity;
};

uint32_t source_line(const LineMap& m, int32_t y, uint32_t height) {
  int32_t s = m.shift == 0 ? y : m.shift < 0 ? (y < 0 ? -((1 - y) / 2) : y / 2) : 2 * y + m.parity;
  if (s < 0) s = m.shift > 0 ? m.parity : 0;
  if (s >= static_cast<int32_t>(height)) s = static_cast<int32_t>(height) - (m.shift > 0 ? 2 - m.parity : 1);
  return s < 0 ? 0u : static_cast<uint32_t>(s);
}

// Copies a block of `w` x `h` samples at (x0, y0) of `dst` from the source
// at (x0 + dx, y0 + dy), positions clamped into the source; `margin` samples
// beside the picture's left and right edge are filled with the edge sample.
void copy_block(const Plane& dst, const Plane& src, const LineMap& map, uint32_t x0, uint32_t y0, uint32_t w,
                uint32_t h, int32_t dx, int32_t dy, uint32_t margin) {
  const int32_t sx = static_cast<int32_t>(x0) + dx;
  const bool inside = sx >= 0 && sx + static_cast<int32_t>(w) <= static_cast<int32_t>(src.width);
  for (uint32_t y = y0; y < y0 + h && y < dst.height; ++y) {
    uint8_t* d = dst.base + static_cast<size_t>(y) * dst.pitch;
    const uint8_t* s = src.base + static_cast<size_t>(source_line(map, static_cast<int32_t>(y) + dy, src.height)) * src.pitch;
    if (inside) {
      std::memcpy(d + x0, s + sx, w);
    } else {
      for (uint32_t x = 0; x < w; ++x) {
        const int32_t at = std::min(std::max(sx + static_cast<int32_t>(x), 0), static_cast<int32_t>(src.width) - 1);
        d[x0 + x] = s[at];
      }
    }
    if (x0 == 0) std::memset(d - margin, d[0], margin);
    if (x0 + w == dst.width) std::memset(d + dst.width, d[dst.width - 1], margin);
  }
}

struct Motion {
  int16_t x, y;
  bool known;
};

// The motion of a decoded macroblock towards the source, from its block
// nearest to the concealed one (`block`); false when it has none there.
bool motion_toward(const MacroblockRecord& mb, const DecodedPicture* from, bool frame, int block, Motion* m) {
  if (mb_is_intra(mb.mb_type) || (frame && mb.mb_structure != kFrame)) return false;
  const int q = block / 4;
  DecodedPicture* ref = mb.ref_pic_l0[q];
  if (!mb.pred_flag_l0[q] || !ref || frame_record(ref) != frame_record(const_cast<DecodedPicture*>(from))) return false;
  m->x = mb.mv_l0[block][0];
  m->y = mb.mv_l0[block][1];
  m->known = true;
  return true;
}

// The median of up to four values (the mean of the middle two for an even
// count).
int32_t middle(int32_t* v, int n) {
  std::sort(v, v + n);
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Motion toward `from` that the source's own motion toward its first
// reference at cell `c` gives, carried on at the same speed over the
// distance in display order from the source to the picture (as temporal
// direct prediction scales it); false when the source, a P picture, has
// none there.
bool motion_carried_on(const DecodedPicture* p, const DecodedPicture* from, uint32_t c, Motion* m) {
  if (!from->colocated || !from->decoded || !from->firstRefKnown || from->sliceType != kSliceTypeP) return false;
  const ColocatedMotion& col = from->colocated[c];
  // Distances in display order as temporal direct prediction scales them:
  // from the source to the picture over the source's own distance to its
  // reference, differences taken in 64 bits (order counts of a damaged
  // stream may lie far apart) and kept within the range that still clips.
  const auto distance = [](int32_t a, int32_t b) {
    return static_cast<int32_t>(std::clamp<int64_t>(int64_t{a} - b, -256, 256));
  };
  int32_t td;
  const int32_t scale = dist_scale_factor(distance(frame_order_count(p), frame_order_count(from)), 0,
                                          distance(frame_order_count(from), from->firstRefOrderCount), &td);
  if (col.mb_structure != kFrame || td == 0) return false;
  int32_t xs[4], ys[4];
  int n = 0;
  for (int q = 0; q < 4; ++q) {
    if (!(col.found >> q & 1) || col.ref_idx[q] != 0) continue;
    xs[n] = (scale * col.mv[4 * q][0] + 128) >> 8;
    ys[n] = (scale * col.mv[4 * q][1] + 128) >> 8;
    ++n;
  }
  if (n == 0) return false;
  *m = Motion{static_cast<int16_t>(middle(xs, n)), static_cast<int16_t>(middle(ys, n)), true};
  return true;
}

// How badly a block of `w` x `h` luma samples at (x0, y0), taken from the
// source moved by (dx, dy) whole samples, joins the samples beside it:
// the sum of absolute differences between its edge samples and the
// picture's samples across each edge that `sides` (left, right, top,
// bottom) marks as decoded or already concealed.
uint32_t border_cost(const Plane& dst, const Plane& src, const LineMap& map, uint32_t x0, uint32_t y0, uint32_t w,
                     uint32_t h, int32_t dx, int32_t dy, const bool sides[4]) {
  auto at = [&](uint32_t x, uint32_t y) {
    const uint8_t* s = src.base + static_cast<size_t>(source_line(map, static_cast<int32_t>(y) + dy, src.height)) * src.pitch;
    return s[std::min(std::max(static_cast<int32_t>(x) + dx, 0), static_cast<int32_t>(src.width) - 1)];
  };
  auto own = [&](uint32_t x, uint32_t y) { return dst.base[static_cast<size_t>(y) * dst.pitch + x]; };
  h = std::min(h, dst.height - y0);
  uint32_t cost = 0;
  for (uint32_t k = 0; k < h; ++k) {
    if (sides[0]) cost += std::abs(at(x0, y0 + k) - own(x0 - 1, y0 + k));
    if (sides[1]) cost += std::abs(at(x0 + w - 1, y0 + k) - own(x0 + w, y0 + k));
  }
  for (uint32_t k = 0; k < w; ++k) {
    if (sides[2]) cost += std::abs(at(x0 + k, y0) - own(x0 + k, y0 - 1));
    if (sides[3]) cost += std::abs(at(x0 + k, y0 + h - 1) - own(x0 + k, y0 + h));
  }
  return cost;
}

}  // namespace

bool conceal_from_reference(DecodedPicture* p, const DecodedPicture* from, const uint8_t* decoded, uint8_t* written) {
  const uint32_t w = p->widthInMbs;
  if (!from || !p->frameBuffer || !from->frameBuffer || w == 0 || from->widthInMbs != w) return false;
  const bool pField = p->structure != kFrame, fField = from->structure != kFrame;
  LineMap luma{0, p->structure == kBottomField ? 1 : 0};
  if (pField && !fField) luma.shift = 1;
  if (!pField && fField) luma.shift = -1;
  // Pictures of another size (a new sequence) are no source.
  const uint32_t expect = luma.shift > 0 ? 2 * p->lumaHeight : luma.shift < 0 ? p->lumaHeight / 2 : p->lumaHeight;
  if (from->lumaHeight != expect) return false;
  const uint32_t width = 16 * w;
  const Plane dy{picture_luma(p), p->lumaPitch, width, p->lumaHeight};
  const Plane sy{picture_luma(from), from->lumaPitch, width, from->lumaHeight};
  const Plane dcb{picture_cb(p), p->chromaPitch, width / 2, p->chromaHeight};
  const Plane scb{picture_cb(from), from->chromaPitch, width / 2, from->chromaHeight};
  const Plane dcr{picture_cr(p), p->chromaPitch, width / 2, p->chromaHeight};
  const Plane scr{picture_cr(from), from->chromaPitch, width / 2, from->chromaHeight};
  const bool pairs = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t unit = pairs ? 2 : 1;
  const uint32_t cells = p->mbCount / unit;
  // Motion of each cell towards the source: of its decoded macroblocks, or
  // estimated when it was concealed.
  std::vector<Motion> motion(cells, Motion{0, 0, false});
  const MacroblockRecord* records = p->macroblocks;
  auto decoded_cell = [&](uint32_t c) { return decoded[c * unit] && decoded[c * unit + unit - 1]; };
  // Blocks facing the concealed macroblock: of the left neighbour its right
  // column, of the right one its left column, of the one above its bottom
  // row, of the one below its top row.
  constexpr int kFacing[4] = {5, 0, 10, 0};
  for (uint32_t c = 0; c < cells; ++c) {
    if (decoded_cell(c)) continue;
    const uint32_t col = c % w, row = c / w;
    const int64_t at = c;
    const int64_t around[4] = {col > 0 ? at - 1 : -1, col + 1 < w ? at + 1 : -1, row > 0 ? at - w : -1,
                               at + w < cells ? at + w : -1};
    int32_t xs[4], ys[4];
    int n = 0;
    for (int k = 0; k < 4; ++k) {
      if (around[k] < 0) continue;
      const uint32_t nc = static_cast<uint32_t>(around[k]);
      Motion m{0, 0, false};
      if (decoded_cell(nc)) {
        if (!records) continue;
        // Of a pair, the macroblock nearer to this one.
        const uint32_t a = nc * unit + (unit == 2 && k == 2 ? 1 : 0);
        motion_toward(records[a], from, p->structure == kFrame, kFacing[k], &m);
      } else if (nc < c) {
        m = motion[nc];
      }
      if (!m.known) continue;
      xs[n] = m.x;
      ys[n] = m.y;
      ++n;
    }
    Motion& own = motion[c];
    if (n > 0) own = Motion{static_cast<int16_t>(middle(xs, n)), static_cast<int16_t>(middle(ys, n)), true};
    // Of the neighbours' motion, the source's own motion carried on and no
    // motion, the one whose block joins best the samples around it that are
    // decoded or concealed already (the first of equals).
    Motion carried{0, 0, false};
    if (unit == 1 && !pField && !fField && motion_carried_on(p, from, c, &carried)) {
      const bool sides[4] = {col > 0, col + 1 < w && decoded_cell(c + 1), row > 0, c + w < cells && decoded_cell(c + w)};
      const Motion candidates[3] = {own, carried, Motion{0, 0, false}};
      uint32_t best = ~0u;
      Motion chosen = own;
      for (const Motion& m : candidates) {
        const uint32_t cost =
            border_cost(dy, sy, luma, 16 * col, 16 * row, 16, 16, (m.x + 2) >> 2, (m.y + 2) >> 2, sides);
        if (cost < best) {
          best = cost;
          chosen = m;
        }
      }
      own = chosen;
    }
    // Whole samples: luma from quarter samples, chroma from eighth samples.
    const int32_t lx = (own.x + 2) >> 2, ly = (own.y + 2) >> 2;
    const int32_t cx = (own.x + 4) >> 3, cy = (own.y + 4) >> 3;
    const uint32_t rows = 16 * unit;
    copy_block(dy, sy, luma, 16 * col, rows * row, 16, rows, lx, ly, 32);
    copy_block(dcb, scb, luma, 8 * col, rows / 2 * row, 8, rows / 2, cx, cy, 8);
    copy_block(dcr, scr, luma, 8 * col, rows / 2 * row, 8, rows / 2, cx, cy, 8);
    for (uint32_t k = 0; k < unit; ++k) written[c * unit + k] = 1;
  }
  return true;
}

namespace {

// Fills block (x0, y0, w x h) of a plane from the line above it and, when
// `below` is set, the line below it, blended by distance; without a line
// above (the top row), from the line below, else from the column left of it
// when `left` is set, else mid-grey. The edge samples fill the `margin`
// beside the picture.
void fill_between(const Plane& d, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, bool below, bool left,
                  uint32_t margin) {
  const uint8_t* top = y0 > 0 ? d.base + static_cast<size_t>(y0 - 1) * d.pitch + x0 : nullptr;
  const uint8_t* bottom = below ? d.base + static_cast<size_t>(y0 + h) * d.pitch + x0 : nullptr;
  for (uint32_t k = 0; k < h && y0 + k < d.height; ++k) {
    uint8_t* line = d.base + static_cast<size_t>(y0 + k) * d.pitch;
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t v = 128;
      if (top && bottom)
        v = (top[x] * (h - k) + bottom[x] * (k + 1) + (h + 1) / 2) / (h + 1);
      else if (top)
        v = top[x];
      else if (bottom)
        v = bottom[x];
      else if (left)
        v = line[x0 - 1];
      line[x0 + x] = static_cast<uint8_t>(v);
    }
    if (x0 == 0) std::memset(line - margin, line[0], margin);
    if (x0 + w == d.width) std::memset(line + d.width, line[d.width - 1], margin);
  }
}

}  // namespace

bool conceal_spatially(DecodedPicture* p, const uint8_t* decoded, uint8_t* written) {
  const uint32_t w = p->widthInMbs;
  if (!p->frameBuffer || w == 0) return false;
  const bool pairs = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t unit = pairs ? 2 : 1;
  const uint32_t cells = p->mbCount / unit;
  auto decoded_cell = [&](uint32_t c) { return decoded[c * unit] && decoded[c * unit + unit - 1]; };
  // Nothing decoded: nothing to fill from.
  bool any = false;
  for (uint32_t c = 0; c < cells && !any; ++c) any = decoded_cell(c);
  if (!any) return false;
  const uint32_t width = 16 * w;
  const Plane planes[3] = {{picture_luma(p), p->lumaPitch, width, p->lumaHeight},
                           {picture_cb(p), p->chromaPitch, width / 2, p->chromaHeight},
                           {picture_cr(p), p->chromaPitch, width / 2, p->chromaHeight}};
  // In raster order, so that the cells above and left of a missing one are
  // decoded or filled before it. The lines read are of decoded macroblocks
  // whose rows are not filtered yet (a row is filtered only once the row
  // below it is complete) or of cells filled here: the same on every run.
  for (uint32_t c = 0; c < cells; ++c) {
    if (decoded_cell(c)) continue;
    const uint32_t col = c % w, row = c / w;
    const bool below = c + w < cells && decoded_cell(c + w);
    const bool left = col > 0;
    for (int k = 0; k < 3; ++k) {
      const uint32_t size = k == 0 ? 16 : 8;
      fill_between(planes[k], size * col, size * unit * row, size, size * unit, below, left, k == 0 ? 32 : 8);
    }
    for (uint32_t k = 0; k < unit; ++k) written[c * unit + k] = 1;
  }
  return true;
}

namespace {

// A concealed macroblock: intra without residual, so that direct prediction
// of later pictures finds no motion in it; each run of them is one
// unfiltered slice for the deblocking walk. Nothing of a record used before
// survives, so the picture is the same whichever record array it got.
void conceal_record(MacroblockRecord* mb, uint32_t addr, uint8_t structure, uint8_t qp) {
  std::memset(static_cast<void*>(mb), 0, offsetof(MacroblockRecord, luma_coeff));
  mb->mb_type = MbI_16x16_First;
  mb->qp_y = qp;
  mb->qp_cb = static_cast<int8_t>(qp);
  mb->qp_cr = static_cast<int8_t>(qp);
  std::memset(mb->intra_pred_mode, 2, sizeof(mb->intra_pred_mode));
  mb->luma_nonzero_mask = 0;
  mb->luma_dc_nonzero = 0;
  mb->chroma_nonzero_mask = 0;
  mb->chroma_ac_cbf_mask = 0;
  std::memset(mb->ref_idx_l0, -1, sizeof(mb->ref_idx_l0));
  std::memset(mb->ref_idx_l1, -1, sizeof(mb->ref_idx_l1));
  std::memset(mb->ref_pic_l0, 0, sizeof(mb->ref_pic_l0));
  std::memset(mb->ref_pic_l1, 0, sizeof(mb->ref_pic_l1));
  std::memset(mb->sub_mb_type, 0, sizeof(mb->sub_mb_type));
  std::memset(mb->pred_flag_l0, 0, sizeof(mb->pred_flag_l0));
  std::memset(mb->pred_flag_l1, 0, sizeof(mb->pred_flag_l1));
  std::memset(mb->mv_l0, 0, sizeof(mb->mv_l0));
  std::memset(mb->mv_l1, 0, sizeof(mb->mv_l1));
  std::memset(mb->mvd_l0, 0, sizeof(mb->mvd_l0));
  std::memset(mb->mvd_l1, 0, sizeof(mb->mvd_l1));
  std::memset(mb->ref_id_l0, 0, sizeof(mb->ref_id_l0));
  std::memset(mb->ref_id_l1, 0, sizeof(mb->ref_id_l1));
  mb->mb_structure = structure;
  mb->mb_addr = addr;
  mb->slice_first_flag = 0;
  mb->deblock_idc = 1;
  mb->slice_mb_count = 0;
  mb->slice = nullptr;
}

// Macroblocks of a picture that no slice reconstructed (a slice lost, or
// given up) and that no earlier picture could stand in for become mid-grey,
// margins included, with concealed records, so that the picture and those
// predicted from it are the same on every run.
void conceal_unwritten(DecodedPicture* p) {
  const uint32_t w = p->widthInMbs;
  if (!p->mbWritten || w == 0 || !p->frameBuffer) return;
  uint8_t* const luma = picture_luma(p);
  uint8_t* const cb = picture_cb(p);
  uint8_t* const crp = picture_cr(p);
  // In a frame with frame/field macroblock pairs both of a pair are filled.
  const bool pairs = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t unit = pairs ? 2 : 1;
  for (uint32_t a = 0; a + unit <= p->mbCount; a += unit) {
    if (p->mbWritten[a] && p->mbWritten[a + unit - 1]) continue;
    const uint32_t cell = a / unit;
    const uint32_t col = cell % w;
    const uint32_t rows = 16 * unit;
    const uint32_t y0 = (cell / w) * rows;
    // Columns to fill: the macroblock, and the margin beside it at a picture edge.
    const int32_t left = col == 0 ? -32 : static_cast<int32_t>(col * 16);
    const int32_t right = col + 1 == w ? static_cast<int32_t>(w * 16 + 32) : static_cast<int32_t>(col * 16 + 16);
    for (uint32_t y = y0; y < y0 + rows && y < p->lumaHeight; ++y)
      std::memset(luma + static_cast<size_t>(y) * p->lumaPitch + left, 128, static_cast<size_t>(right - left));
    for (uint32_t y = y0 / 2; y < (y0 + rows) / 2 && y < p->chromaHeight; ++y) {
      const int32_t cl = left < 0 ? -8 : left / 2;
      const int32_t cr = col + 1 == w ? static_cast<int32_t>(w * 8 + 8) : right / 2;
      std::memset(cb + static_cast<size_t>(y) * p->chromaPitch + cl, 128, static_cast<size_t>(cr - cl));
      std::memset(crp + static_cast<size_t>(y) * p->chromaPitch + cl, 128, static_cast<size_t>(cr - cl));
    }
    for (uint32_t k = 0; k < unit; ++k) p->mbWritten[a + k] = 1;
  }
}

// Marks the concealed macroblocks' records: each run is a slice the
// deblocking walk passes over.
void conceal_records(DecodedPicture* p, const uint8_t* wasWritten) {
  const bool pairs = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t unit = pairs ? 2 : 1;
  const uint8_t qp = 26;
  MacroblockRecord* runStart = nullptr;
  for (uint32_t a = 0; a + unit <= p->mbCount; a += unit) {
    if (wasWritten[a] && wasWritten[a + unit - 1]) {
      runStart = nullptr;
      continue;
    }
    for (uint32_t k = 0; k < unit; ++k)
      conceal_record(&p->macroblocks[a + k], a + k, pairs ? uint8_t{kFrame} : p->structure, qp);
    if (!runStart) {
      runStart = &p->macroblocks[a];
      runStart->slice_first_flag = 1;
    }
    runStart->slice_mb_count += unit;
  }
}

}  // namespace

// Conceals what no slice brought and deblocks the picture; runs without the
// instance lock, once per picture, after every slice of it is over. True
// when macroblocks were concealed.
bool finish_picture(VideoDecoder* dec, DecodedPicture* p, uint32_t decodeFlags) {
  const DecoderStages* stages = dec->stages;
  PictureProgress* g = dec->progress && progress_of(dec, p)->setUpOrder == p->setUpOrder ? progress_of(dec, p) : nullptr;
  if (g) {
    // Every slice is over; a worker still filtering rows lets go first.
    pthread_mutex_lock(&dec->mbLock);
    while (g->filtering) {
      pthread_mutex_unlock(&dec->mbLock);
      sched_yield();
      pthread_mutex_lock(&dec->mbLock);
    }
    g->filtering = 1;
    pthread_mutex_unlock(&dec->mbLock);
  }
  bool concealed = false;
  if (p->mbsLeft != 0 && p->mbWritten) {
    // Which macroblocks were concealed: the copy from the reference and the
    // grey fill where there is none mark them written.
    uint8_t* before = p->mbFlags;  // reused: the slice ranges are settled
    for (uint32_t a = 0; a < p->mbCount; ++a) before[a] = p->mbWritten[a];
    if (!conceal_from_reference(p, p->concealFrom, before, p->mbWritten)) conceal_spatially(p, before, p->mbWritten);
    conceal_unwritten(p);
    if (p->macroblocks) conceal_records(p, before);
    keep_concealed_motion(p, before);
    p->damaged = 1;
    concealed = true;
  }
  if ((decodeFlags & kDecodeNoDeblocking) || (g && g->noFilter) || !p->macroblocks) return concealed;
  const bool mbaff = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  if (g && g->started) {
    // Rows filtered while the picture was reconstructed stay as they are:
    // the pass goes on from where it stopped.
    if (g->rowsFiltered < g->rows)
      (mbaff ? stages->deblockRowsMbaff : stages->deblockRows)(p, g->pass, g->rowsFiltered, g->rows);
    return concealed;
  }
  if (mbaff)
    stages->deblockMbaff(p);
  else
    stages->deblock(p);
  return concealed;
}
