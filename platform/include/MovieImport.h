// Movie import components (type 'eat '): selectors, flags and the calls a
// host makes on an importer instance.
#pragma once

#include "Components.h"
#include "DataHandler.h"
#include "Movies.h"

typedef ComponentInstance MovieImportComponent;

constexpr OSType MovieImportType = FOUR_CHAR_CODE("eat ");

enum : SInt16 {
  kMovieImportFileSelect = 2,
  kMovieImportValidateSelect = 14,
  kMovieImportDataRefSelect = 16,
  kMovieImportGetMIMETypeListSelect = 18,
  kMovieImportIdleSelect = 23,
  kMovieImportValidateDataRefSelect = 24,
  kMovieImportGetMaxLoadedTimeSelect = 26,
  kMovieImportSetIdleManagerSelect = 30,
};

// inFlags.
enum : SInt32 {
  movieImportCreateTrack = 1,
  movieImportInParallel = 2,
  movieImportMustUseTrack = 4,
  movieImportWithIdle = 16,
};
// outFlags.
enum : SInt32 {
  movieImportResultUsedMultipleTracks = 8,
  movieImportResultNeedIdles = 32,
  movieImportResultComplete = 64,
};

ComponentResult MovieImportFile(MovieImportComponent ci, const FSSpec* theFile, Movie theMovie, Track targetTrack,
                                Track* usedTrack, TimeValue atTime, TimeValue* addedDuration, SInt32 inFlags,
                                SInt32* outFlags);
ComponentResult MovieImportValidate(MovieImportComponent ci, const FSSpec* theFile, Handle theData, Boolean* valid);
ComponentResult MovieImportDataRef(MovieImportComponent ci, Handle dataRef, OSType dataRefType, Movie theMovie,
                                   Track targetTrack, Track* usedTrack, TimeValue atTime, TimeValue* addedDuration,
                                   SInt32 inFlags, SInt32* outFlags);
ComponentResult MovieImportGetMIMETypeList(MovieImportComponent ci, QTAtomContainer* mimeInfo);
ComponentResult MovieImportIdle(MovieImportComponent ci, SInt32 inFlags, SInt32* outFlags);
ComponentResult MovieImportValidateDataRef(MovieImportComponent ci, Handle dataRef, OSType dataRefType,
                                           UInt8* valid);
ComponentResult MovieImportGetMaxLoadedTime(MovieImportComponent ci, TimeValue* time);
ComponentResult MovieImportSetIdleManager(MovieImportComponent ci, IdleManager im);
