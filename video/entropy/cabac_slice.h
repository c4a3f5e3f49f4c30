// The slice-data walk of CABAC slices and their macroblock layers. The walk
// shares the record set-up, neighbour links, skipped macroblocks, QP update
// and transforms of the CAVLC walk (slice_data.h); the syntax comes from
// the CABAC engine with the slice's context array.
#pragma once

#include <cstdint>

#include "cabac_engine.h"
#include "slice_data.h"

// Decodes the macroblocks of one CABAC slice. The reader stands at
// slice_data() (the alignment bits before the engine start are skipped
// here); the contexts were initialised for the slice type and SliceQPY.
// 0 when end_of_slice_flag ended the slice at the end of the payload (see
// cabac_slice_ends_here); 14 when the slice ran past the picture, its data
// ran past the payload, a value was out of its range, or the data went on
// after the end. Finished macroblocks go to the sink when there is one.
uint32_t decode_slice_data_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* contexts,
                                 MacroblockSink* sink = nullptr);

// The macroblock layers; always 0 (a damaged value marks the reader with
// kCabacDamaged and the walk gives the slice up).
uint32_t decode_macroblock_layer_I_slice_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                               MacroblockRecord* mb);
uint32_t decode_macroblock_layer_P_slice(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx, MacroblockRecord* mb);
uint32_t decode_macroblock_layer_B_slice(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx, MacroblockRecord* mb);

// The macroblock layer after mb_type (already in the record), on the
// caller's engine held in registers; the engine is stored back into the
// reader before the layer returns.
void cabac_layer_after_type(CabacLocal& e, ThreadBuffer* tb, CabacContext* ctx, SliceDataState* s, MacroblockRecord* mb,
                            bool bSlice);

// 1 when the engine, after end_of_slice_flag 1, stands at the end of the
// payload: what follows up to the end is at most the stop bit within the
// current byte (an encoder's flush may leave it unread; the standard's flush
// ends exactly on it), then only zero bits (alignment and cabac_zero_words).
uint32_t cabac_slice_ends_here(const BitReaderCabac* r);
