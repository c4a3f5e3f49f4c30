// Saving a movie as a self-contained QuickTime movie file (.mov).
#pragma once

#include <string>

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
// written), flushed to the disk and then renamed over `path`; a symbolic
// link is followed to where it leads, whether a file is there or not. A file
// replaced keeps its permissions without set-user-id and set-group-id, and
// its owner and group where the saver may set them. Until the rename, and
// after any failure, what was at `path` is untouched and the new file is
// removed. A file whose directory takes no new file (the saver may not
// write it, or it has the sticky bit and another user owns the file) is
// written over in place when the saver may write the file: the movie is
// made among the temporary files ($TMPDIR, else /tmp) first and copied over
// it once complete, with its space reserved before the first byte changes.
//
// Results: paramErr for NULL or empty arguments, notAFileErr when `path`
// names something other than a regular file (a directory, a device, a
// pipe), ioErr when the file cannot be made or written, the data handler's
// error (or ioErr when it reports no completion) when a sample cannot be
// read, cantFindHandler when a media's data reference type has no data
// handler. For the failures of the file system, `problem` (when given)
// says in words what could not be done where, and why ("cannot create a
// file in DIR: permission denied"); it is empty for the others.
OSErr SaveMovieAsQuickTimeFile(Movie m, const char* path, std::string* problem = nullptr);

// What SaveMovieAsQuickTimeFile checks before it writes anything: whether
// `path` is a regular file or nothing, in a directory that exists and takes
// the file (or whose file may be written over in place). noErr when a save
// can be tried; else its result and words, as a save would give them.
OSErr CheckMovieSaveDestination(const char* path, std::string* problem);
