#include "TimeCode.h"

#include "MovieInternal.h"

namespace {

// Frames dropped at the start of each minute that is not a multiple of ten;
// -1 when drop-frame counting does not exist at this rate.
SInt32 dropped_per_minute(const TimeCodeDef* def) {
  if ((def->flags & tcDropFrame) == 0) return 0;
  if (def->numFrames % 30 != 0) return -1;
  return def->numFrames / 15;
}

HandlerError check_handler(MediaHandler mh, const TimeCodeDef* def) {
  if (mh == nullptr || mh->media == nullptr || mh->media->mediaType != TimeCodeMediaType) return badComponentSelector;
  if (def == nullptr || def->numFrames == 0) return paramErr;
  return noErr;
}

}  // namespace

HandlerError TCTimeCodeToFrameNumber(MediaHandler mh, const TimeCodeDef* def, const TimeCodeRecord* tcrec,
                                     SInt32* frameNumber) {
  HandlerError err = check_handler(mh, def);
  if (err != noErr) return err;
  if (tcrec == nullptr || frameNumber == nullptr) return paramErr;
  const SInt32 fps = def->numFrames;
  if ((def->flags & tcCounter) != 0) {
    *frameNumber = tcrec->c;
    return noErr;
  }
  const TimeCodeTime& t = tcrec->t;
  SInt32 drop = dropped_per_minute(def);
  if (drop < 0) return invalidTimeCode;
  if (t.frames >= fps || t.seconds >= 60 || t.minutes >= 60 || ((def->flags & tc24HourMax) && t.hours >= 24))
    return invalidTimeCode;
  if (drop > 0 && t.seconds == 0 && t.minutes % 10 != 0 && t.frames < drop) return invalidTimeCode;
  SInt32 totalMinutes = t.hours * 60 + t.minutes;
  SInt32 frames = ((totalMinutes * 60) + t.seconds) * fps + t.frames;
  frames -= drop * (totalMinutes - totalMinutes / 10);
  *frameNumber = frames;
  return noErr;
}

HandlerError TCFrameNumberToTimeCode(MediaHandler mh, SInt32 frameNumber, const TimeCodeDef* def,
                                     TimeCodeRecord* tcrec) {
  HandlerError err = check_handler(mh, def);
  if (err != noErr) return err;
  if (tcrec == nullptr || frameNumber < 0) return paramErr;
  if ((def->flags & tcCounter) != 0) {
    tcrec->c = frameNumber;
    return noErr;
  }
  const SInt32 fps = def->numFrames;
  SInt32 drop = dropped_per_minute(def);
  if (drop < 0) return invalidTimeCode;
  SInt32 n = frameNumber;
  if (drop > 0) {
    // Put the skipped numbers back: each ten-minute block holds
    // 10 minutes of frames less 9 minutes' worth of drops.
    const SInt32 perMinute = fps * 60 - drop;
    const SInt32 perTenMinutes = fps * 600 - drop * 9;
    SInt32 blocks = n / perTenMinutes;
    SInt32 rest = n % perTenMinutes;
    n += drop * 9 * blocks;
    if (rest >= fps * 60) n += drop * ((rest - fps * 60) / perMinute + 1);
  }
  SInt32 hours = n / (fps * 3600);
  if ((def->flags & tc24HourMax) != 0) hours %= 24;
  if (hours > 255) return invalidTimeCode;
  tcrec->t.hours = UInt8(hours);
  tcrec->t.minutes = UInt8((n / (fps * 60)) % 60);
  tcrec->t.seconds = UInt8((n / fps) % 60);
  tcrec->t.frames = UInt8(n % fps);
  return noErr;
}
