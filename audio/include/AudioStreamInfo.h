// Header parsers for the audio payloads of an AVCHD recording (LPCM with its
// 4-byte header, AC-3) and the conversion of 16-bit LPCM to host-order PCM.
// They keep no state: any thread may call them at any time.
#pragma once

#include <cstdint>

// Result of AVCHDAudioGetLPCMStreamInfoLib.
struct LPCMStreamInfo {
  uint32_t sampleRate;     // Hz: 48000, 96000 or 192000
  uint32_t channels;       // coded channels (always even: mono is carried in two)
  uint32_t bitsPerSample;  // 16, 20 or 24
  uint32_t channelCode;    // 0 to 9: 1/0, 2/0, 3/0, 2/1, 3/1, 2/2, 3/2, 3/2+LFE, 3/4, 3/4+LFE
};

// Result of AVCHDAudioGetAC3StreamInfoLib.
struct AC3StreamInfo {
  uint32_t sampleRate;   // Hz: 48000, 44100 or 32000
  uint32_t channels;     // full-bandwidth channels plus LFE
  uint32_t kbps;         // nominal bit rate
  uint32_t channelCode;  // 0 to 7: 1/0, 2/0, 3/0, 2/1, 3/1, 2/2, 3/2, 3/2+LFE
};

// Conversion record of LPCM2PCMLib.
struct LPCMConvertInfo {
  int32_t sampleRate;      // in: 48000, 96000 or 192000
  int32_t bitsPerSample;   // in: only 16
  int32_t channelCode;     // in: 0 (mono) or 1 (stereo)
  int32_t outputBytes;     // out: bytes written
  int32_t inputBytes;      // in
  int32_t outputCapacity;  // in: bytes
  const uint8_t* pInput;   // in: big-endian samples
  uint8_t* pOutput;        // in: receives host-order samples
};

// Reads the LPCM audio header at the start of a PES payload. Returns 0; -1
// when size is below 4; -2 for a NULL argument or an unlisted channel
// assignment, rate or sample width. On a rate or width failure the fields
// read before it stay written; later fields keep their contents.
int32_t AVCHDAudioGetLPCMStreamInfoLib(LPCMStreamInfo* info, const uint8_t* payload, uint32_t size);

// Finds the first AC-3 sync word at an even offset of data and reads the
// stream's format from the frame header. Returns 0; -1 when no sync word has
// 8 bytes after its start; -2 for a NULL argument, a reserved sample rate, a
// frame size code above 37, dual mono (acmod 0) or an LFE channel with any
// layout but 3/2. Fields written before a failure keep their values.
int32_t AVCHDAudioGetAC3StreamInfoLib(AC3StreamInfo* info, const uint8_t* data, uint32_t size);

// Converts 16-bit big-endian LPCM (mono or stereo) to host-order samples;
// mono drops the filler channel. Returns 0; -1 a NULL pointer; -2 an
// unsupported rate, width or channel code; -3 input not whole sample frames;
// -4 output too small; -5 empty input. Nothing is written past the capacity.
int32_t LPCM2PCMLib(LPCMConvertInfo* info);
