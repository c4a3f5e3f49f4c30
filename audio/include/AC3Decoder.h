// AC-3 (ATSC A/52) decoder library: one syncframe in, interleaved signed
// 16-bit PCM out (1536 sample frames per syncframe).
//
// All exchange goes through one record, ac3decInfo, which the caller fills and
// the library completes. Every call returns 0 or a small negative code:
//   -1 NULL state, record, input or output pointer
//   -2 unsupported stream or a broken stream rule (dual mono, frame size code
//      above 37, a switch out of range, a block rule broken, no channel code)
//   -3 too little input, no sync word, a frame that the input holds only in
//      part, or audio blocks that ran past the end of their frame
//   -4 the PCM would exceed the output capacity
//   -5 the frame ends beyond the input
//   -6 no output layout
//   -7 reserved value (sample rate code 3, bsid above 8 such as E-AC-3,
//      delta bit allocation strategy 3)
//   -8 CRC failure
#pragma once

#include <cstddef>
#include <cstdint>

// Channel codes used by inChannelConfig and by the output layout field:
// 0 1/0 (C), 1 2/0 (L R), 2 3/0 (L C R), 3 2/1 (L R S), 4 3/1 (L C R S),
// 5 2/2 (L R Ls Rs), 6 3/2 (L C R Ls Rs), 7 3/2+LFE (L C R Ls Rs LFE).
enum {
  AC3_CHANNELS_1_0 = 0,
  AC3_CHANNELS_2_0 = 1,
  AC3_CHANNELS_3_0 = 2,
  AC3_CHANNELS_2_1 = 3,
  AC3_CHANNELS_3_1 = 4,
  AC3_CHANNELS_2_2 = 5,
  AC3_CHANNELS_3_2 = 6,
  AC3_CHANNELS_3_2_LFE = 7,
};

// The sixteen words of the interface record, in their fixed order. Words 0 to
// 13 are 32-bit integers; words 14 and 15 are pointers (pointer-sized on a
// 64-bit build, so the record is 72 bytes there).
struct ac3decInfo {
  int32_t sampleRate;          //  0 out: 48000, 44100 or 32000 (query)
  int32_t nChannels;           //  1 out: full-bandwidth channels + LFE (query)
  int32_t inChannelConfig;     //  2 out: channel code of the stream (query)
  int32_t nAC3FrameByteSize;   //  3 out: frame size in bytes (query, decode)
  int32_t outFollowsStream;    //  4 in: 1 = output in the stream's own layout
  int32_t outChannelConfig;    //  5 in: output channel code when word 4 is 0
  int32_t stereoMode;          //  6 in: 1 = Lt/Rt instead of Lo/Ro for 2/0
  int32_t dynamicRange;        //  7 in: apply the dynamic range words
  int32_t heavyCompression;    //  8 in: heavy compression (RF) mode
  int32_t dialogNormalization; //  9 in: apply dialogue normalisation
  int32_t nInputBytesUsed;     // 10 out: input bytes consumed, garbage included
  int32_t nOutputBytes;        // 11 out: PCM bytes written by the decode
  int32_t nInputBytes;         // 12 in: input size in bytes
  int32_t nOutputCapacity;     // 13 in: output capacity in bytes
  const uint8_t* pInput;       // 14 in: AC-3 bytes, at or before a sync word
  int16_t* pOutput;            // 15 in: interleaved 16-bit samples, host order
};

struct AC3DecState;

// Creates a decoder instance (one zero-filled block); NULL when there is no
// memory for it or the inverse transform could not be prepared. Also selects
// the processor
// variant of the signal-processing primitives.
AC3DecState* AC3DecInitLib();

// Releases the instance; NULL is accepted. Returns 0.
int32_t AC3DecCloseLib(AC3DecState* state);

// Returns the audio history (coefficients, overlap, exponent strategies,
// dither) to its state right after creation. -1 for NULL.
int32_t AC3DecResetLib(AC3DecState* state);

// Reads the header of the first frame in words 14/12 and writes words 0 to 3.
int32_t AC3DecGetInputInfoLib(AC3DecState* state, ac3decInfo* info);

// Decodes the first frame found in words 14/12 into PCM at word 15, whose
// room in bytes word 13 gives and is never overrun; writes words 3, 10 and
// 11. Word 11 counts the
// bytes this call wrote: 0 when it fails before the first audio block, the
// blocks already written when it fails later.
int32_t AC3DecodeAFrameLib(AC3DecState* state, ac3decInfo* info);
