// Basic types and result codes of the platform layer that the components are
// written against. Integer widths are fixed: the components rely on 32-bit
// arithmetic for times, sizes and flags, so nothing here is `long`.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

typedef UInt8 Boolean;           // 0 false, anything else true
typedef UInt32 OSType;           // four-character code, first character in the high byte
typedef UInt32 FourCharCode;
typedef SInt16 OSErr;            // 16-bit result code
typedef SInt32 OSStatus;         // 32-bit result code
typedef SInt32 ComponentResult;  // a component's answer; OSErr values are sign-extended
typedef SInt32 Fixed;            // 16.16 fixed point
typedef SInt32 Size;             // byte count of a block
typedef SInt32 TimeValue;        // time in the units of a time scale
typedef SInt32 TimeScale;        // time units per second
typedef SInt64 TimeValue64;
typedef SInt64 wide;             // 64-bit value handed by address (file offsets)
typedef SInt32 ByteCount;        // byte count of a buffer or value
typedef SInt32 HandlerError;     // a media handler's answer
typedef UInt8 Str255[256];       // length byte, then up to 255 characters
typedef UInt8* StringPtr;

typedef char* Ptr;
typedef Ptr* Handle;  // movable block: *h is the data; the block knows its size

// Procedure pointer of unspecified signature, as stored in dispatch tables.
typedef void (*ProcPtr)(void);
typedef UInt32 ProcInfoType;

constexpr Boolean kTrue = 1;
constexpr Boolean kFalse = 0;

// Four-character code from its text: FOUR_CHAR_CODE("avc1") == 0x61766331.
constexpr OSType FOUR_CHAR_CODE(const char (&code)[5]) {
  return (OSType(UInt8(code[0])) << 24) | (OSType(UInt8(code[1])) << 16) | (OSType(UInt8(code[2])) << 8) |
         OSType(UInt8(code[3]));
}

constexpr Fixed fixed1 = 0x00010000;
constexpr Fixed Long2Fix(SInt32 x) { return Fixed(UInt32(x) << 16); }
constexpr SInt32 Fix2Long(Fixed x) { return x >> 16; }

// Result codes.
enum : OSErr {
  noErr = 0,
  paramErr = -50,        // a bad argument
  eofErr = -39,          // read past the end of the data
  fnfErr = -43,          // file (or entry) not found
  ioErr = -36,           // read or write failed
  notAFileErr = -1302,   // a directory, device or pipe where a file is needed
  memFullErr = -108,     // no memory for the block
  nilHandleErr = -109,   // a NULL handle where one is needed
  memWZErr = -111,       // operation on a block that is not a live handle
  procNotFound = -600,   // no such process
  badDataRefIndex = -2049,      // no data reference or description at that index
  invalidMovie = -2010,         // NULL movie
  invalidTrack = -2009,         // NULL track or no track at that index
  invalidMedia = -2008,         // NULL media, or a track without one
  invalidDataRef = -2029,       // a data reference the handler cannot use
  invalidDuration = -2014,      // a duration of 0 or less, or past the media
  invalidTime = -2015,          // a negative time
  cantFindHandler = -2048,      // no data handler for the data-reference type
  couldNotResolveDataRef = -2000,  // a data reference naming nothing
  invalidAtomErr = -2101,       // no atom there, or a leaf where a parent is needed
  invalidAtomContainerErr = -2102,  // malformed atom container
  kQTPropertyNotSupportedErr = -2195,  // property not known to the call
  itemNotFoundErr = -2150,     // no such metadata item or atom
  invalidComponentID = -3000,   // no such (registered) component
  kQTMetaDataInvalidKeyFormatErr = -2197,  // key format unknown or key of the wrong size
};

// Component manager answers (32-bit).
constexpr ComponentResult badComponentInstance = SInt32(0x80008001u);
constexpr ComponentResult badComponentSelector = SInt32(0x80008002u);
