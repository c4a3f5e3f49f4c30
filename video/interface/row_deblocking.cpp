// Row-wise deblocking: pictures are filtered and published row by row while
// they are reconstructed, so that pictures predicting from them can start on
// the rows that are final.
#include <cstdlib>
#include <cstring>
#include <new>

#include "deblock_edges.h"
#include "engine_internal.h"

void publish_rows(VideoDecoder* dec, DecodedPicture* p, uint32_t rows) {
  const uint64_t v = static_cast<uint64_t>(p->setUpOrder) << 32 | rows;
  pthread_mutex_lock(&dec->progressLock);
  __atomic_store_n(&p->readyRows, v, __ATOMIC_RELEASE);
  if (dec->progressWaiters > 0) pthread_cond_broadcast(&dec->progressCond);
  pthread_mutex_unlock(&dec->progressLock);
}

// Readies a record's progress for the use it was set up for (under the
// instance lock, when its first slice is taken); false without memory,
// with a single worker or with stages that filter whole pictures only, when
// the picture is filtered whole at its end.
bool start_progress(VideoDecoder* dec, DecodedPicture* p) {
  DecoderState* ds = &dec->state;
  if (!deblocks_rows(dec->stages) || p->widthInMbs == 0 || p->mbCount == 0) return false;
  // A single worker never starts a picture before its references are
  // finished: nothing reads rows early, and the whole-picture filter at the
  // end costs less than row by row.
  if (dec->threadCount <= 1) return false;
  if (!dec->progress) {
    dec->progress = static_cast<PictureProgress*>(std::calloc(ds->pictureCount, sizeof(PictureProgress)));
    if (!dec->progress) return false;
  }
  PictureProgress* g = progress_of(dec, p);
  if (g->setUpOrder == p->setUpOrder) return true;
  const bool mbaff = p->structure == kFrame && p->sps && p->sps->mb_adaptive_frame_field_flag;
  const uint32_t perRow = (mbaff ? 2 : 1) * p->widthInMbs;
  const uint32_t rows = p->mbCount / perRow;
  if (g->rowCapacity < rows) {
    std::free(g->rowMbs);
    g->rowMbs = static_cast<uint16_t*>(std::malloc(rows * sizeof(uint16_t)));
    g->rowCapacity = g->rowMbs ? rows : 0;
  }
  if (!g->pass) g->pass = new (std::nothrow) DeblockPass;
  if (!g->rowMbs || !g->pass) {
    g->setUpOrder = 0;
    return false;
  }
  std::memset(g->rowMbs, 0, rows * sizeof(uint16_t));
  g->setUpOrder = p->setUpOrder;
  g->rows = rows;
  g->perRow = perRow;
  g->rowsDone = g->rowsFiltered = 0;
  g->mbaff = mbaff ? 1 : 0;
  g->filtering = 0;
  g->started = 0;
  g->noFilter = (dec->decodeFlags & kDecodeNoDeblocking) ? 1 : 0;
  g->reconStarted = 0;
  publish_rows(dec, p, 0);
  return true;
}

namespace {

// Rows that may be filtered once `done` rows are reconstructed: a row waits
// for the one below it, whose intra prediction reads its unfiltered samples.
uint32_t filterable_rows(const PictureProgress* g, uint32_t done) {
  if (done >= g->rows) return g->rows;
  return done > 0 ? done - 1 : 0;
}

// Filters the rows that have become filterable and publishes those the
// stages' row-wise deblocking reports final. One worker at a time filters a
// picture; it looks again before it lets go, so rows that others completed
// meanwhile are not left behind.
void advance_filter(VideoDecoder* dec, DecodedPicture* p, PictureProgress* g) {
  pthread_mutex_lock(&dec->mbLock);
  if (g->filtering) {
    pthread_mutex_unlock(&dec->mbLock);
    return;
  }
  g->filtering = 1;
  for (;;) {
    const uint32_t target = g->noFilter ? g->rowsDone : filterable_rows(g, g->rowsDone);
    const uint32_t filtered = g->rowsFiltered;
    if (target <= filtered) break;
    pthread_mutex_unlock(&dec->mbLock);
    uint32_t finalRows = target;
    if (!g->noFilter) {
      const DeblockRowsFn deblockRows = g->mbaff ? dec->stages->deblockRowsMbaff : dec->stages->deblockRows;
      finalRows = deblockRows(p, g->pass, filtered, target);
      g->started = 1;
    }
    publish_rows(dec, p, g->mbaff ? 2 * finalRows : finalRows);
    pthread_mutex_lock(&dec->mbLock);
    g->rowsFiltered = target;
  }
  g->filtering = 0;
  pthread_mutex_unlock(&dec->mbLock);
}

// Counts `count` macroblocks of row `row` as reconstructed.
void count_row(VideoDecoder* dec, PictureProgress* g, uint32_t row, uint32_t count) {
  pthread_mutex_lock(&dec->mbLock);
  if (row < g->rows) {
    const uint32_t n = g->rowMbs[row] + count;
    g->rowMbs[row] = static_cast<uint16_t>(n < g->perRow ? n : g->perRow);
    while (g->rowsDone < g->rows && g->rowMbs[g->rowsDone] >= g->perRow) ++g->rowsDone;
  }
  pthread_mutex_unlock(&dec->mbLock);
}

// Macroblocks of the slice's run [first, end) that lie in row `row`.
uint32_t row_share(const PictureProgress* g, uint32_t row, uint32_t first, uint32_t end) {
  const uint32_t a = row * g->perRow > first ? row * g->perRow : first;
  const uint32_t b = (row + 1) * g->perRow < end ? (row + 1) * g->perRow : end;
  return b > a ? b - a : 0;
}

}  // namespace

// The reconstruction drivers' report of a completed row of the slice.
void slice_row_done(ThreadBuffer* tb, uint32_t row) {
  keep_row_motion(tb, row);
  SliceDecodeContext* s = tb->slice;
  VideoDecoder* dec = s->decoder;
  DecodedPicture* p = s->picture;
  PictureProgress* g = progress_of(dec, p);
  if (g->setUpOrder != p->setUpOrder || row < s->rowsReported) return;
  count_row(dec, g, row, row_share(g, row, s->firstMbAddr, (row + 1) * g->perRow));
  s->rowsReported = row + 1;
  advance_filter(dec, p, g);
}

// After a slice's reconstruction: the rows of its run [first, end) that the
// drivers did not report (the last one, when the run ends inside it).
void slice_rows_end(VideoDecoder* dec, SliceDecodeContext* s, uint32_t first, uint32_t end) {
  DecodedPicture* p = s->picture;
  PictureProgress* g = progress_of(dec, p);
  if (g->setUpOrder != p->setUpOrder || end <= first) return;
  const uint32_t lastRow = (end - 1) / g->perRow;
  for (uint32_t row = s->rowsReported > first / g->perRow ? s->rowsReported : first / g->perRow; row <= lastRow; ++row)
    count_row(dec, g, row, row_share(g, row, first, end));
  s->rowsReported = lastRow + 1;
  advance_filter(dec, p, g);
}

void reset_progress(VideoDecoder* dec) {
  DecoderState* ds = &dec->state;
  for (uint32_t i = 0; ds->pictures && i < ds->pictureCount; ++i) {
    __atomic_store_n(&ds->pictures[i].readyRows, 0, __ATOMIC_RELEASE);
    if (dec->progress) dec->progress[i].setUpOrder = 0;
  }
}

void free_progress(VideoDecoder* dec) {
  if (!dec->progress) return;
  for (uint32_t i = 0; i < dec->state.pictureCount; ++i) {
    std::free(dec->progress[i].rowMbs);
    delete dec->progress[i].pass;
  }
  std::free(dec->progress);
  dec->progress = nullptr;
}
