// The one line of text an import leaves in the movie's metadata: the
// importer's name and, for a qualifying camera, the kind of audio.
#include <cstring>

#include "MTS_MovieImport.h"

OSErr MTS_add_metadata(MTS_MovieImportGlobalsRecord* store) {
  QTMetaDataRef metaData = nullptr;
  OSStatus err = QTCopyMovieMetaData(store->theMovie, &metaData);
  if (err != noErr) return static_cast<OSErr>(err);
  const char* text = !store->isCamera ? "QORVEX Importer : ----------------------"
                     : store->isLPCM  ? "QORVEX Importer : QORVEX (LPCM)         "
                                      : "QORVEX Importer : QORVEX (Dolby Digital)";
  const OSType key = FOUR_CHAR_CODE("desc");
  QTMetaDataItem item = 0;
  err = QTMetaDataAddItem(metaData, FOUR_CHAR_CODE("mdta"), FOUR_CHAR_CODE("comn"),
                          reinterpret_cast<const UInt8*>(&key), sizeof key, reinterpret_cast<const UInt8*>(text),
                          static_cast<ByteCount>(std::strlen(text)), 1, &item);
  QTMetaDataRelease(metaData);
  return static_cast<OSErr>(err);
}
