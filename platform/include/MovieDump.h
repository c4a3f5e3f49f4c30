// A movie as JSON text, for tests and tools to see exactly what was built:
//
// {"timeScale": n, "duration": n,
//  "tracks": [{"id", "enabled", "width", "height" (16.16 as numbers),
//              "volume", "duration" (movie time),
//              "edits": [{"trackStart", "trackDuration", "mediaTime", "rate"}],
//              "media": {"type", "timeScale", "decodeDuration",
//                        "displayStart", "displayEnd", "sampleCount",
//                        "dataRef": {"type", "hex"},
//                        "descriptions": [{"index", "format", "hex"}],
//                        "samples": [{"offset", "size", "count",
//                                     "duration", "displayOffset", "flags",
//                                     "description"}]}}],
//  "metadata": [{"storage", "keyFormat", "key", "keyHex", "dataType",
//                "value" (UTF-8 items), "valueHex"}],
//  "wiredActions": [{"which", "id", "parameters"}]}
//
// Four-character codes are text when printable, else "0x" and 8 hex digits;
// common metadata keys are read as host-order codes. Description bytes are
// as held in memory (record fields in host order, extension atoms
// big-endian). Sample offsets are in the data reference's byte space;
// durations and offsets in the media's time scale; "media" is null for a
// track without one.
#pragma once

#include <string>

#include "MovieFile.h"
#include "Movies.h"

std::string MovieToJSON(Movie m);
// Writes MovieToJSON to a file; ioErr when it cannot be written, with the
// cause in words in `problem` when given ("no space left on device"). A
// regular file, or a path where nothing is yet, is saved as
// SaveFileByReplacing saves (a new file renamed over it once complete:
// after a failure nothing of the dump is left); a device or a pipe is
// written through.
// With `group`, a file takes its place only at the group's Commit.
OSErr WriteMovieJSON(Movie m, const char* path, std::string* problem = nullptr, SaveGroup* group = nullptr);
// Text of a four-character code as the dump writes it.
std::string OSTypeText(OSType code);
