#include "MovieImport.h"

ComponentResult MovieImportFile(MovieImportComponent ci, const FSSpec* theFile, Movie theMovie, Track targetTrack,
                                Track* usedTrack, TimeValue atTime, TimeValue* addedDuration, SInt32 inFlags,
                                SInt32* outFlags) {
  return CallComponentSelector(ci, kMovieImportFileSelect, theFile, theMovie, targetTrack, usedTrack, atTime,
                               addedDuration, inFlags, outFlags);
}

ComponentResult MovieImportValidate(MovieImportComponent ci, const FSSpec* theFile, Handle theData, Boolean* valid) {
  return CallComponentSelector(ci, kMovieImportValidateSelect, theFile, theData, valid);
}

ComponentResult MovieImportDataRef(MovieImportComponent ci, Handle dataRef, OSType dataRefType, Movie theMovie,
                                   Track targetTrack, Track* usedTrack, TimeValue atTime, TimeValue* addedDuration,
                                   SInt32 inFlags, SInt32* outFlags) {
  return CallComponentSelector(ci, kMovieImportDataRefSelect, dataRef, dataRefType, theMovie, targetTrack, usedTrack,
                               atTime, addedDuration, inFlags, outFlags);
}

ComponentResult MovieImportGetMIMETypeList(MovieImportComponent ci, QTAtomContainer* mimeInfo) {
  return CallComponentSelector(ci, kMovieImportGetMIMETypeListSelect, mimeInfo);
}

ComponentResult MovieImportIdle(MovieImportComponent ci, SInt32 inFlags, SInt32* outFlags) {
  return CallComponentSelector(ci, kMovieImportIdleSelect, inFlags, outFlags);
}

ComponentResult MovieImportValidateDataRef(MovieImportComponent ci, Handle dataRef, OSType dataRefType,
                                           UInt8* valid) {
  return CallComponentSelector(ci, kMovieImportValidateDataRefSelect, dataRef, dataRefType, valid);
}

ComponentResult MovieImportGetMaxLoadedTime(MovieImportComponent ci, TimeValue* time) {
  return CallComponentSelector(ci, kMovieImportGetMaxLoadedTimeSelect, time);
}

ComponentResult MovieImportSetIdleManager(MovieImportComponent ci, IdleManager im) {
  return CallComponentSelector(ci, kMovieImportSetIdleManagerSelect, im);
}
