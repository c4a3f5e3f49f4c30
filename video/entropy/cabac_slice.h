// The slice-data walk of CABAC slices and their macroblock layers. The walk
// shares the record set-up, neighbour links, skipped macroblocks, QP update
// and transforms of the CAVLC walk (slice_data.h); the syntax comes from
// the CABAC engine with the slice's context array.
#pragma once

#include <cstdint>

#include "cabac_engine.h"
#include "cabac_syntax.h"
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

// The macroblock layers, from mb_type on (the walk has decoded
// mb_skip_flag and mb_field_decoding_flag); always 0 (a damaged value marks
// the reader with kCabacDamaged and the walk gives the slice up).
uint32_t decode_macroblock_layer_I_slice_cabac(ThreadBuffer* tb, SliceDataState* s, CabacContext* ctx,
                                               MacroblockRecord* mb);

// The macroblock layer after mb_type (already in the record), on the
// caller's engine held in registers; the engine is stored back into the
// reader before the layer returns.
void cabac_layer_after_type(CabacLocal& e, ThreadBuffer* tb, CabacContext* ctx, SliceDataState* s, MacroblockRecord* mb,
                            bool bSlice);

// The layers of P and B slices on the walk's engine `e`, held in registers
// since mb_skip_flag: mb_type there, the rest on a copy of it, stored back
// into the reader when the layer returns.
__attribute__((always_inline)) inline uint32_t decode_macroblock_layer_P_slice(CabacLocal& e, ThreadBuffer* tb,
                                                                               SliceDataState* s, CabacContext* ctx,
                                                                               MacroblockRecord* mb) {
  mb->mb_type = cabac_mb_type_P_slice(e, ctx + kCtxMbType);
  CabacLocal engine = e;  // the layer's; e itself stays in registers
  cabac_layer_after_type(engine, tb, ctx, s, mb, false);
  return 0;
}
__attribute__((always_inline)) inline uint32_t decode_macroblock_layer_B_slice(CabacLocal& e, ThreadBuffer* tb,
                                                                               SliceDataState* s, CabacContext* ctx,
                                                                               MacroblockRecord* mb) {
  mb->mb_type = cabac_mb_type_B_slice(e, ctx + kCtxMbType, mb);
  CabacLocal engine = e;
  cabac_layer_after_type(engine, tb, ctx, s, mb, true);
  return 0;
}

// 1 when the engine, after end_of_slice_flag 1, stands at the end of the
// payload: what follows up to the end is at most the stop bit within the
// current byte (an encoder's flush may leave it unread; the standard's flush
// ends exactly on it), then only zero bits (alignment and cabac_zero_words).
uint32_t cabac_slice_ends_here(const BitReaderCabac* r);
