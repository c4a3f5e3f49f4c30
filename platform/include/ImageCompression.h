// Image descriptions (the 86-byte video sample description) and their
// extensions. Fields are in host byte order; extensions follow the record as
// atoms {big-endian size, big-endian type, bytes}, counted in idSize.
#pragma once

#include "MacTypes.h"

#pragma pack(push, 2)
struct ImageDescription {
  SInt32 idSize;  // record plus extensions
  OSType cType;   // codec, e.g. 'avc1'
  SInt32 resvd1;
  SInt16 resvd2;
  SInt16 dataRefIndex;
  SInt16 version;
  SInt16 revisionLevel;
  SInt32 vendor;
  UInt32 temporalQuality;
  UInt32 spatialQuality;
  SInt16 width;
  SInt16 height;
  Fixed hRes;
  Fixed vRes;
  SInt32 dataSize;
  SInt16 frameCount;
  UInt8 name[32];  // length-prefixed
  SInt16 depth;
  SInt16 clutID;
};
#pragma pack(pop)

static_assert(offsetof(ImageDescription, idSize) == 0, "layout");
static_assert(offsetof(ImageDescription, cType) == 4, "layout");
static_assert(offsetof(ImageDescription, resvd1) == 8, "layout");
static_assert(offsetof(ImageDescription, resvd2) == 12, "layout");
static_assert(offsetof(ImageDescription, dataRefIndex) == 14, "layout");
static_assert(offsetof(ImageDescription, version) == 16, "layout");
static_assert(offsetof(ImageDescription, revisionLevel) == 18, "layout");
static_assert(offsetof(ImageDescription, vendor) == 20, "layout");
static_assert(offsetof(ImageDescription, temporalQuality) == 24, "layout");
static_assert(offsetof(ImageDescription, spatialQuality) == 28, "layout");
static_assert(offsetof(ImageDescription, width) == 32, "layout");
static_assert(offsetof(ImageDescription, height) == 34, "layout");
static_assert(offsetof(ImageDescription, hRes) == 36, "layout");
static_assert(offsetof(ImageDescription, vRes) == 40, "layout");
static_assert(offsetof(ImageDescription, dataSize) == 44, "layout");
static_assert(offsetof(ImageDescription, frameCount) == 48, "layout");
static_assert(offsetof(ImageDescription, name) == 50, "layout");
static_assert(offsetof(ImageDescription, depth) == 82, "layout");
static_assert(offsetof(ImageDescription, clutID) == 84, "layout");
static_assert(sizeof(ImageDescription) == 86, "an image description is 86 bytes");

typedef Handle ImageDescriptionHandle;

constexpr OSType kICMImageDescriptionPropertyClass = FOUR_CHAR_CODE("idsc");
constexpr OSType kICMImageDescriptionPropertyID_FieldInfo = FOUR_CHAR_CODE("fiel");
constexpr OSType kICMImageDescriptionPropertyID_PixelAspectRatio = FOUR_CHAR_CODE("pasp");

// Value of the field-information property: 2 bytes.
struct FieldInfoImageDescriptionExtension2 {
  UInt8 fields;
  UInt8 detail;
};
// Value of the pixel-aspect property: two host-order u32.
struct PixelAspectRatioImageDescriptionExtension {
  UInt32 hSpacing;
  UInt32 vSpacing;
};

// Appends the extension's bytes as an atom of type `idType`.
OSErr AddImageDescriptionExtension(ImageDescriptionHandle desc, Handle extension, OSType idType);
// Number of extensions of the type (0 = any type).
OSErr CountImageDescriptionExtensionType(ImageDescriptionHandle desc, OSType idType, SInt32* count);
// A new handle with the bytes of the `index`th (1-based) extension of the type.
OSErr GetImageDescriptionExtension(ImageDescriptionHandle desc, Handle* extension, OSType idType, SInt32 index);
// Sets 'fiel' (2 bytes) or 'pasp' (8 bytes) of class 'idsc': stored as the
// extension atom of that type (replacing one already there), pasp values
// big-endian. kQTPropertyNotSupportedErr for other properties, paramErr for
// a wrong size.
OSStatus ICMImageDescriptionSetProperty(ImageDescriptionHandle desc, OSType propClass, OSType propID,
                                        ByteCount propValueSize, const void* propValueAddress);
