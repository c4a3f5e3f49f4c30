// Sample descriptions: extension atoms, image description properties, and
// sound descriptions made from a stream description.
#include <exception>
#include <cmath>
#include <cstring>

#include "ImageCompression.h"
#include "MacMemory.h"
#include "MovieInternal.h"
#include "Sound.h"

namespace {

constexpr size_t kAtomHeader = 8;

SInt32 read_size_field(Handle desc) {
  SInt32 v;
  std::memcpy(&v, *desc, 4);
  return v;
}

void write_size_field(Handle desc, SInt32 v) { std::memcpy(*desc, &v, 4); }

bool image_description_ok(ImageDescriptionHandle desc) {
  if (desc == nullptr) return false;
  Size n = GetHandleSize(desc);
  return MemError() == noErr && n >= Size(sizeof(ImageDescription)) && read_size_field(desc) == n;
}

}  // namespace

std::vector<ExtensionAtom> description_extensions(const UInt8* bytes, size_t total, size_t recordSize) {
  std::vector<ExtensionAtom> out;
  size_t at = recordSize;
  while (at + kAtomHeader <= total) {
    UInt32 size = get_be32(bytes + at);
    if (size < kAtomHeader || size > total - at) break;
    out.push_back({get_be32(bytes + at + 4), at, size});
    at += size;
  }
  return out;
}

OSErr append_description_atom(Handle desc, OSType type, const void* data, size_t size) {
  if (size > size_t(INT32_MAX) - kAtomHeader) return paramErr;
  UInt8 header[kAtomHeader];
  put_be32(header, UInt32(size + kAtomHeader));
  put_be32(header + 4, type);
  Size old = GetHandleSize(desc);
  if (MemError() != noErr) return MemError();
  OSErr err = PtrAndHand(header, desc, Size(kAtomHeader));
  if (err == noErr && size > 0) err = PtrAndHand(data, desc, Size(size));
  if (err != noErr) {
    SetHandleSize(desc, old);
    return err;
  }
  write_size_field(desc, GetHandleSize(desc));
  return noErr;
}

OSErr remove_description_atoms(Handle desc, OSType type, size_t recordSize) try {
  std::vector<UInt8> bytes = handle_bytes(desc);
  std::vector<UInt8> kept(bytes.begin(), bytes.begin() + long(recordSize));
  size_t end = recordSize;
  for (const ExtensionAtom& a : description_extensions(bytes.data(), bytes.size(), recordSize)) {
    if (a.type != type) kept.insert(kept.end(), bytes.begin() + long(a.offset), bytes.begin() + long(a.offset + a.size));
    end = a.offset + a.size;
  }
  kept.insert(kept.end(), bytes.begin() + long(end), bytes.end());  // bytes after the last atom stay
  SetHandleSize(desc, Size(kept.size()));
  if (MemError() != noErr) return MemError();
  std::memcpy(*desc, kept.data(), kept.size());
  write_size_field(desc, Size(kept.size()));
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

// ---- image descriptions ----

OSErr AddImageDescriptionExtension(ImageDescriptionHandle desc, Handle extension, OSType idType) try {
  if (!image_description_ok(desc)) return paramErr;
  if (extension == nullptr) return nilHandleErr;
  std::vector<UInt8> bytes = handle_bytes(extension);
  return append_description_atom(desc, idType, bytes.data(), bytes.size());
} catch (const std::exception&) {
  return memFullErr;
}

OSErr CountImageDescriptionExtensionType(ImageDescriptionHandle desc, OSType idType, SInt32* count) try {
  if (!image_description_ok(desc) || count == nullptr) return paramErr;
  std::vector<UInt8> bytes = handle_bytes(desc);
  *count = 0;
  for (const ExtensionAtom& a : description_extensions(bytes.data(), bytes.size(), sizeof(ImageDescription)))
    *count += (idType == 0 || a.type == idType) ? 1 : 0;
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

OSErr GetImageDescriptionExtension(ImageDescriptionHandle desc, Handle* extension, OSType idType, SInt32 index) try {
  if (!image_description_ok(desc) || extension == nullptr) return paramErr;
  *extension = nullptr;
  std::vector<UInt8> bytes = handle_bytes(desc);
  SInt32 seen = 0;
  for (const ExtensionAtom& a : description_extensions(bytes.data(), bytes.size(), sizeof(ImageDescription))) {
    if ((idType == 0 || a.type == idType) && ++seen == index)
      return PtrToHand(bytes.data() + a.offset + kAtomHeader, extension, Size(a.size - kAtomHeader));
  }
  return paramErr;
} catch (const std::exception&) {
  return memFullErr;
}

OSStatus ICMImageDescriptionSetProperty(ImageDescriptionHandle desc, OSType propClass, OSType propID,
                                        ByteCount propValueSize, const void* propValueAddress) {
  if (!image_description_ok(desc) || propValueAddress == nullptr) return paramErr;
  if (propClass != kICMImageDescriptionPropertyClass) return kQTPropertyNotSupportedErr;
  UInt8 atom[8];
  size_t size;
  if (propID == kICMImageDescriptionPropertyID_FieldInfo) {
    if (propValueSize != 2) return paramErr;
    std::memcpy(atom, propValueAddress, 2);
    size = 2;
  } else if (propID == kICMImageDescriptionPropertyID_PixelAspectRatio) {
    if (propValueSize != 8) return paramErr;
    PixelAspectRatioImageDescriptionExtension pasp;
    std::memcpy(&pasp, propValueAddress, 8);
    put_be32(atom, pasp.hSpacing);
    put_be32(atom + 4, pasp.vSpacing);
    size = 8;
  } else {
    return kQTPropertyNotSupportedErr;
  }
  OSErr err = remove_description_atoms(desc, propID, sizeof(ImageDescription));
  if (err == noErr) err = append_description_atom(desc, propID, atom, size);
  return err;
}

// ---- sound descriptions ----

OSStatus QTSoundDescriptionCreate(const AudioStreamBasicDescription* asbd, const AudioChannelLayout* layout,
                                  ByteCount layoutSize, const void*, ByteCount, QTSoundDescriptionKind kind,
                                  SoundDescriptionHandle* outDesc) {
  if (outDesc == nullptr) return paramErr;
  *outDesc = nullptr;
  if (asbd == nullptr || asbd->mFormatID != kAudioFormatLinearPCM || asbd->mChannelsPerFrame == 0 ||
      asbd->mChannelsPerFrame > 0x7FFF || asbd->mBytesPerFrame == 0 || !(asbd->mSampleRate > 0) ||
      asbd->mSampleRate >= 65536.0 * 65536.0 || asbd->mBitsPerChannel == 0)
    return paramErr;
  if (kind != kQTSoundDescriptionKind_Movie_LowestPossibleVersion && kind != kQTSoundDescriptionKind_Movie_Version0 &&
      kind != kQTSoundDescriptionKind_Movie_Version2)
    return paramErr;
  const UInt32 flags = asbd->mFormatFlags;
  const bool packed = (flags & kAudioFormatFlagIsPacked) != 0 || asbd->mBytesPerFrame * 8 == asbd->mBitsPerChannel * asbd->mChannelsPerFrame;
  const bool isInt = (flags & kAudioFormatFlagIsFloat) == 0;
  const bool signedInt = (flags & kAudioFormatFlagIsSignedInteger) != 0;
  const bool whole = asbd->mBytesPerFrame == asbd->mChannelsPerFrame * asbd->mBitsPerChannel / 8;
  const bool rateFits = std::floor(asbd->mSampleRate) == asbd->mSampleRate && asbd->mSampleRate < 65536.0;
  OSType v0Format = 0;
  if (isInt && packed && whole && rateFits && asbd->mFramesPerPacket == 1) {
    if (asbd->mBitsPerChannel == 16 && signedInt)
      v0Format = (flags & kAudioFormatFlagIsBigEndian) ? FOUR_CHAR_CODE("twos") : FOUR_CHAR_CODE("sowt");
    else if (asbd->mBitsPerChannel == 8 && !signedInt)
      v0Format = FOUR_CHAR_CODE("raw ");
  }
  bool version0 = kind == kQTSoundDescriptionKind_Movie_Version0 ||
                  (kind == kQTSoundDescriptionKind_Movie_LowestPossibleVersion && v0Format != 0);
  if (version0 && v0Format == 0) return paramErr;

  Handle h;
  if (version0) {
    SoundDescription d;
    std::memset(&d, 0, sizeof d);
    d.descSize = sizeof d;
    d.dataFormat = v0Format;
    d.numChannels = SInt16(asbd->mChannelsPerFrame);
    d.sampleSize = SInt16(asbd->mBitsPerChannel);
    d.sampleRate = UInt32(asbd->mSampleRate) << 16;
    OSErr err = PtrToHand(&d, &h, sizeof d);
    if (err != noErr) return err;
  } else {
    SoundDescriptionV2 d;
    std::memset(&d, 0, sizeof d);
    d.descSize = sizeof d;
    d.dataFormat = kAudioFormatLinearPCM;
    d.version = 2;
    d.always3 = 3;
    d.always16 = 16;
    d.alwaysMinus2 = -2;
    d.always65536 = 65536;
    d.sizeOfStructOnly = sizeof d;
    d.audioSampleRate = asbd->mSampleRate;
    d.numAudioChannels = asbd->mChannelsPerFrame;
    d.always7F000000 = 0x7F000000;
    d.constBitsPerChannel = asbd->mBitsPerChannel;
    d.formatSpecificFlags = flags;
    d.constBytesPerAudioPacket = asbd->mBytesPerPacket;
    d.constLPCMFramesPerAudioPacket = asbd->mFramesPerPacket;
    OSErr err = PtrToHand(&d, &h, sizeof d);
    if (err != noErr) return err;
  }
  if (layout != nullptr && layoutSize >= 12) {
    UInt8 chan[16] = {};
    put_be32(chan + 4, layout->mChannelLayoutTag);
    put_be32(chan + 8, layout->mChannelBitmap);
    OSErr err = append_description_atom(h, FOUR_CHAR_CODE("chan"), chan, sizeof chan);
    if (err != noErr) {
      DisposeHandle(h);
      return err;
    }
  }
  *outDesc = h;
  return noErr;
}
