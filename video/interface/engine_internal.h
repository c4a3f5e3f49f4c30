// The worker engine's own functions that its files share: the scheduler
// (worker_threads.cpp), row-wise deblocking (row_deblocking.cpp), reference
// waits (reference_waits.cpp), concealment (concealment.cpp) and output
// release (output_release.cpp). Declared for those files only.
#pragma once

#include <cstdint>

#include "decoder_engine.h"

// Scheduler.
void InformManager(uint32_t bits, VideoDecoder* dec);
void unpark_all(VideoDecoder* dec);

// ---- Progressive filtering: pictures are filtered and published row by
// row while they are reconstructed, so that pictures predicting from them
// can start on the rows that are final.

// Pictures are filtered row by row when the instance's stages deblock row by
// row and it runs several workers (its progress records are made only then).
inline bool deblocks_rows(const DecoderStages* stages) {
  return stages->deblockRows != nullptr && stages->deblockRowsMbaff != nullptr;
}
inline bool progressive(const VideoDecoder* dec) { return dec->progress != nullptr; }

inline PictureProgress* progress_of(VideoDecoder* dec, const DecodedPicture* p) {
  return &dec->progress[p - dec->state.pictures];
}

void publish_rows(VideoDecoder* dec, DecodedPicture* p, uint32_t rows);
bool start_progress(VideoDecoder* dec, DecodedPicture* p);
void slice_row_done(ThreadBuffer* tb, uint32_t row);
void slice_rows_end(VideoDecoder* dec, SliceDecodeContext* s, uint32_t first, uint32_t end);

// Reference waits. A slice reconstructed before its references are final
// waits for their rows through await_reference_rows_slow, stored as its
// awaitRows.
void await_reference_rows_slow(const SliceDecodeContext* s, const DecodedPicture* ref, uint32_t rows);
bool references_decoded(const SliceDecodeContext* s, uint32_t lists);
void pin_colocated(SliceDecodeContext* s, uint32_t lists);
void unpin_colocated(VideoDecoder* dec, SliceDecodeContext* s);
bool references_underway(VideoDecoder* dec, const SliceDecodeContext* s, uint32_t lists);
bool defer_slice_data(VideoDecoder* dec, const SliceDecodeContext* s, uint32_t lists);

// Concealment and the picture's last deblocking.
bool finish_picture(VideoDecoder* dec, DecodedPicture* p, uint32_t decodeFlags);

// Output release.
bool release_first(VideoDecoder* dec);
DecodedPicture* next_released(VideoDecoder* dec);
void picture_done(VideoDecoder* dec, DecodedPicture* p);
int32_t output_picture(VideoDecoder* dec, DecodeTask* t);
bool output_released(VideoDecoder* dec);
