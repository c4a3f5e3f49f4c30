// The AC-3 frames of an audio PES, shared by the importer and the data
// handler. A PES may carry several AC-3 frames (muxers commonly pack three
// or more): each becomes its own sound sample, and both sides must count
// them the same way.
#pragma once

#include <cstdint>

#include "AC3Decoder.h"

// PCM sample frames of one AC-3 frame.
constexpr int32_t kMTSAC3SamplesPerFrame = 1536;

// Frame-index value of a sound sample: the file offset at which the read
// restarts the demultiplexer, with the sample's AC-3 frame position inside
// its PES in bits 48 to 62 (file offsets stay below 2^48, so those bits are
// otherwise 0). Position 0 leaves the offset as it is.
constexpr int kMTSFrameInPesShift = 48;
constexpr int32_t kMTSFrameInPesMax = 0x7FFF;
constexpr int64_t kMTSFileOffsetMask = (int64_t(1) << kMTSFrameInPesShift) - 1;

// Packs offset and position; false when they cannot be packed (an offset
// outside 0..2^48-1 with a position above 0, or a position too large).
bool MTS_PackSoundValue(int64_t tsOffset, int32_t frameInPes, int64_t* value);
// The file offset and the frame position of a packed value.
int64_t MTS_SoundValueOffset(int64_t value);
int32_t MTS_SoundValueFrame(int64_t value);

// One AC-3 frame inside a PES payload.
struct MTS_AC3Frame {
  int32_t offset;         // of its sync word
  int32_t size;           // bytes, from its header
  int32_t channels;       // full-bandwidth channels plus LFE
  int32_t channelConfig;  // channel code of its header
  int32_t sampleRate;     // Hz
};

// The first AC-3 frame at or after byte `from` of `payload`: a sync word
// 0B 77 whose header reads (AC3DecGetInputInfoLib with `info`, which keeps
// the header's words 0 to 3) and whose frame lies whole in the payload. A
// sync word whose header does not read, or whose frame would run past the
// payload, is passed over and the search goes on behind it. False when no
// frame is left (also without a decoder).
bool MTS_NextAC3Frame(AC3DecState* decoder, ac3decInfo* info, const uint8_t* payload, int32_t size, int32_t from,
                      MTS_AC3Frame* frame);
