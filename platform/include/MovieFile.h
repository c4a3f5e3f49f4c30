// Saving a movie as a self-contained QuickTime movie file (.mov).
#pragma once

#include "Movies.h"

// Writes `m` to `path`: one 'mdat' holding every sample, read through the
// data handler of each media's own data reference (one chunk per sample
// reference), then the 'moov' atom: per track with a media 'tkhd', an edit
// list, a 'tmcd' track reference from each video track to the first
// timecode track, 'mdhd', 'hdlr', the media header, a self-reference
// 'dinf', and 'stbl' with stsd (descriptions in file byte order), stts,
// ctts (version 1 when an offset is negative), stss (when some sample is
// not a sync sample), stsc, stsz and stco (co64 past 4 GiB). Tracks
// without a media or without samples are left out.
//
// The movie is written to a new file beside `path` (owner-only while it is
// written), flushed to the disk and then renamed over `path` (over the
// target of a symbolic link), which keeps its permissions; until then, and
// after any failure, what was at `path` is untouched and the new file is
// removed.
//
// Results: paramErr for NULL or empty arguments, notAFileErr when `path`
// names something other than a regular file (a directory, a device, a
// pipe), ioErr when the file cannot be written, the data handler's error
// (or ioErr when it reports no completion) when a sample cannot be read,
// cantFindHandler when a media's data reference type has no data handler.
OSErr SaveMovieAsQuickTimeFile(Movie m, const char* path);
