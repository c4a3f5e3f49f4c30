// Arbitrary bytes as an atom container (wired actions, child search and
// insertion) and as an image description with extension atoms.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ImageCompression.h"
#include "MacMemory.h"
#include "Movies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Handle h = nullptr;
  if (PtrToHand(data, &h, Size(size)) != noErr) return 0;
  Movie movie = NewMovie(0);
  MovieExecuteWiredActions(movie, 0, h);
  QTAtomID id = 0;
  QTAtom first = QTFindChildByIndex(h, kParentAtomIsContainer, 0, 1, &id);
  QTCountChildrenOfType(h, first, 0);
  UInt8 buffer[16];
  SInt32 got = 0;
  QTCopyAtomDataToPtr(h, first, 1, sizeof buffer, buffer, &got);
  QTInsertChild(h, first, FOUR_CHAR_CODE("fuzz"), 0, 1, 4, "abcd", nullptr);
  MovieExecuteWiredActions(movie, 0, h);
  DisposeMovie(movie);

  // The same bytes behind an image description's 86-byte record.
  if (size >= sizeof(ImageDescription)) {
    SInt32 n = SInt32(size);
    std::memcpy(*h, &n, 4);
    SInt32 count = 0;
    CountImageDescriptionExtensionType(h, 0, &count);
    Handle ext = nullptr;
    if (GetImageDescriptionExtension(h, &ext, 0, 1) == noErr) DisposeHandle(ext);
    PixelAspectRatioImageDescriptionExtension pasp = {4, 3};
    ICMImageDescriptionSetProperty(h, kICMImageDescriptionPropertyClass, FOUR_CHAR_CODE("pasp"), 8, &pasp);
  }
  DisposeHandle(h);
  return 0;
}
