// Sound descriptions made from a stream description and a channel layout.
// Fields are in host byte order; the channel layout follows the record as a
// 'chan' extension atom {big-endian size, 'chan', version/flags 0, tag,
// bitmap, 0 descriptions}, counted in descSize.
#pragma once

#include "MacTypes.h"

typedef double Float64;
typedef float Float32;

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40, "layout");

constexpr UInt32 kAudioFormatLinearPCM = FOUR_CHAR_CODE("lpcm");
enum : UInt32 {
  kAudioFormatFlagIsFloat = 1u << 0,
  kAudioFormatFlagIsBigEndian = 1u << 1,
  kAudioFormatFlagIsSignedInteger = 1u << 2,
  kAudioFormatFlagIsPacked = 1u << 3,
};

struct AudioChannelDescription {
  UInt32 mChannelLabel;
  UInt32 mChannelFlags;
  Float32 mCoordinates[3];
};
struct AudioChannelLayout {
  UInt32 mChannelLayoutTag;
  UInt32 mChannelBitmap;
  UInt32 mNumberChannelDescriptions;
  AudioChannelDescription mChannelDescriptions[1];
};
static_assert(sizeof(AudioChannelLayout) == 32, "layout with room for one description");

constexpr UInt32 kAudioChannelLayoutTag_Mono = (100u << 16) | 1;
constexpr UInt32 kAudioChannelLayoutTag_Stereo = (101u << 16) | 2;
constexpr UInt32 kAudioChannelLayoutTag_MPEG_5_1_A = (121u << 16) | 6;
constexpr UInt32 kAudioChannelLayoutTag_AudioUnit_5_1 = (123u << 16) | 6;

#pragma pack(push, 2)
// Version 0 (36 bytes): 8- and 16-bit integer PCM.
struct SoundDescription {
  SInt32 descSize;
  OSType dataFormat;  // 'twos' big-endian / 'sowt' little-endian signed; 'raw ' 8-bit unsigned
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;
  SInt16 revlevel;
  SInt32 vendor;
  SInt16 numChannels;
  SInt16 sampleSize;
  SInt16 compressionID;
  SInt16 packetSize;
  UInt32 sampleRate;  // 16.16 unsigned
};
// Version 2 (72 bytes): any linear PCM ('lpcm').
struct SoundDescriptionV2 {
  SInt32 descSize;
  OSType dataFormat;
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;
  SInt16 revlevel;
  SInt32 vendor;
  SInt16 always3;
  SInt16 always16;
  SInt16 alwaysMinus2;
  SInt16 always0;
  UInt32 always65536;
  UInt32 sizeOfStructOnly;
  Float64 audioSampleRate;
  UInt32 numAudioChannels;
  SInt32 always7F000000;
  UInt32 constBitsPerChannel;
  UInt32 formatSpecificFlags;
  UInt32 constBytesPerAudioPacket;
  UInt32 constLPCMFramesPerAudioPacket;
};
#pragma pack(pop)
static_assert(sizeof(SoundDescription) == 36, "version 0 sound description is 36 bytes");
static_assert(offsetof(SoundDescription, sampleRate) == 32, "layout");
static_assert(sizeof(SoundDescriptionV2) == 72, "version 2 sound description is 72 bytes");
static_assert(offsetof(SoundDescriptionV2, audioSampleRate) == 40, "layout");
static_assert(offsetof(SoundDescriptionV2, constLPCMFramesPerAudioPacket) == 68, "layout");

typedef Handle SoundDescriptionHandle;
typedef OSType QTSoundDescriptionKind;
constexpr QTSoundDescriptionKind kQTSoundDescriptionKind_Movie_Version0 = FOUR_CHAR_CODE("mvv0");
constexpr QTSoundDescriptionKind kQTSoundDescriptionKind_Movie_Version2 = FOUR_CHAR_CODE("mvv2");
constexpr QTSoundDescriptionKind kQTSoundDescriptionKind_Movie_LowestPossibleVersion = FOUR_CHAR_CODE("mvlo");

// Makes a sound description of linear PCM. The lowest version that can
// express the format: version 0 for packed signed 16-bit integers ('twos'
// big-endian, 'sowt' little-endian) and packed unsigned 8-bit ('raw '),
// version 2 ('lpcm') for everything else. paramErr for a NULL argument, a
// format other than linear PCM, zero channels, rate or bytes per frame, or a
// kind that cannot express the format. A layout, when given with
// `layoutSize` of at least 12 bytes, is appended as the 'chan' extension.
OSStatus QTSoundDescriptionCreate(const AudioStreamBasicDescription* asbd, const AudioChannelLayout* layout,
                                  ByteCount layoutSize, const void* magicCookie, ByteCount magicCookieSize,
                                  QTSoundDescriptionKind kind, SoundDescriptionHandle* outDesc);
