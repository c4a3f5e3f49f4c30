// Timecode: definitions, the 38-byte timecode sample description, and the
// conversions of the timecode media handler between time codes and frame
// numbers (SMPTE 12M drop-frame numbering when the definition asks for it).
#pragma once

#include "MacTypes.h"
#include "Movies.h"

enum : SInt32 {
  tcDropFrame = 1 << 0,
  tc24HourMax = 1 << 1,
  tcNegTimesOK = 1 << 2,
  tcCounter = 1 << 3,
};

#pragma pack(push, 2)
struct TimeCodeDef {
  SInt32 flags;
  TimeScale fTimeScale;
  TimeValue frameDuration;
  UInt8 numFrames;  // frames per second, rounded up
  UInt8 padding;
};

struct TimeCodeDescription {
  SInt32 descSize;  // 38
  OSType dataFormat;  // 'tmcd'
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt32 flags;
  TimeCodeDef timeCodeDef;
  SInt32 srcRef[1];
};
#pragma pack(pop)

static_assert(sizeof(TimeCodeDef) == 14, "a timecode definition is 14 bytes");
static_assert(offsetof(TimeCodeDef, fTimeScale) == 4, "layout");
static_assert(offsetof(TimeCodeDef, frameDuration) == 8, "layout");
static_assert(offsetof(TimeCodeDef, numFrames) == 12, "layout");
static_assert(offsetof(TimeCodeDef, padding) == 13, "layout");
static_assert(offsetof(TimeCodeDescription, descSize) == 0, "layout");
static_assert(offsetof(TimeCodeDescription, dataFormat) == 4, "layout");
static_assert(offsetof(TimeCodeDescription, resvd1) == 8, "layout");
static_assert(offsetof(TimeCodeDescription, resvd2) == 12, "layout");
static_assert(offsetof(TimeCodeDescription, dataRefIndex) == 14, "layout");
static_assert(offsetof(TimeCodeDescription, flags) == 16, "layout");
static_assert(offsetof(TimeCodeDescription, timeCodeDef) == 20, "layout");
static_assert(offsetof(TimeCodeDescription, srcRef) == 34, "layout");
static_assert(sizeof(TimeCodeDescription) == 38, "a timecode description is 38 bytes");

typedef Handle TimeCodeDescriptionHandle;

struct TimeCodeTime {
  UInt8 hours;
  UInt8 minutes;
  UInt8 seconds;
  UInt8 frames;
};
union TimeCodeRecord {
  TimeCodeTime t;
  SInt32 c;
};

constexpr HandlerError invalidTimeCode = -2070;

// Frames from 00:00:00:00 to the time code at def->numFrames frames per
// second; with tcDropFrame the frame numbers that drop-frame time code skips
// (the first numFrames/15 of every minute not divisible by ten) are left
// out. Only timecode media handlers answer (badComponentSelector otherwise);
// paramErr for NULL arguments or numFrames 0; invalidTimeCode for a time
// code that does not exist (fields out of range, a dropped frame number,
// drop frame at a rate that is not a multiple of 30).
HandlerError TCTimeCodeToFrameNumber(MediaHandler mh, const TimeCodeDef* def, const TimeCodeRecord* tcrec,
                                     SInt32* frameNumber);
// The inverse: the time code of a frame number (0 or more).
HandlerError TCFrameNumberToTimeCode(MediaHandler mh, SInt32 frameNumber, const TimeCodeDef* def,
                                     TimeCodeRecord* tcrec);
