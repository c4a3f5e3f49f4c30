// Saving a movie as a self-contained QuickTime movie file (.mov).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Movies.h"

// Saves put in place together. A save given a group is written to its new
// file beside its destination and flushed to the disk as any save is, but
// takes the destination's place only at Commit, once every save of the group
// has been written: a run that fails after one of its outputs is written
// (another one's disk full, its memory gone) leaves every destination as it
// was. A group dropped without Commit removes the new files it holds.
struct SaveGroup {
  // One complete new file waiting for its rename (`named`: its hidden name
  // beside the destination, empty while it has none).
  struct Waiting {
    FILE* file;
    std::string destination, dir, base, what, named;
  };
  std::vector<Waiting> waiting;

  SaveGroup() = default;
  SaveGroup(const SaveGroup&) = delete;
  SaveGroup& operator=(const SaveGroup&) = delete;
  ~SaveGroup();
  // Renames every new file over its destination, in the order the saves were
  // made, with the signals that end a run held back meanwhile (Ctrl-C does
  // not put one output in place without the others). On failure `problem`
  // says which could not be put in place and why; the destinations renamed
  // before it hold their new files.
  OSErr Commit(std::string* problem = nullptr);
};

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
// A track of more than one edit (after any empty ones at its start) is
// written so that a single edit plays it as the movie does: a sound track
// as its edits play it, sample frame by sample frame (with the media before
// its first edit), silence for an empty edit; any other track with every
// sample, the last one decoded before an empty edit lasting on to the next
// edit's start. A track whose edits cannot be so written (a rate other than
// 1, pictures whose media does not follow on from one edit to the next)
// keeps them.
//
// The movie is written to a new file beside `path` (owner-only while it is
// written), flushed to the disk and then renamed over `path`; a symbolic
// link is followed to where it leads, whether a file is there or not. A file
// replaced keeps its permissions without set-user-id and set-group-id, and
// its owner and group where the saver may set them. Until the rename, and
// after any failure, what was at `path` is untouched and the new file is
// removed. Nothing is ever written into an existing file, so a save killed
// at any moment leaves either what was at `path` or the complete new movie:
// a file that cannot be replaced by a rename (its directory takes no new
// file, it is another user's in a directory with the sticky bit, or it or
// its directory is immutable or append-only) is refused with ioErr and
// words that say why and what to do (save elsewhere, or make the directory
// writable).
//
// Results: paramErr for NULL or empty arguments, notAFileErr when `path`
// names something other than a regular file (a directory, a device, a
// pipe), ioErr when the file cannot be made or written, the data handler's
// error (or ioErr when it reports no completion) when a sample cannot be
// read, cantFindHandler when a media's data reference type has no data
// handler. For the failures of the file system, `problem` (when given)
// says in words what could not be done where, and why ("cannot create a
// file in DIR: permission denied"); it is empty for the others.
// With `group`, the movie takes its place only at the group's Commit.
OSErr SaveMovieAsQuickTimeFile(Movie m, const char* path, std::string* problem = nullptr,
                               SaveGroup* group = nullptr);

// What SaveMovieAsQuickTimeFile checks before it writes anything: whether
// `path` is a regular file or nothing, in a directory that exists and takes
// the file, which then replaces what is there. noErr when a save
// can be tried; else its result and words, as a save would give them.
// `what` names what is saved in the words ("the dump" for
// SaveFileByReplacing's).
OSErr CheckMovieSaveDestination(const char* path, std::string* problem, const char* what = "the movie");

// Saves `bytes` to `path` the way SaveMovieAsQuickTimeFile saves a movie: in
// a new file beside it, renamed over it once complete and on the disk, with
// the same checks and results; after any failure what was at `path` is
// untouched and nothing of the new file is left. `what` names the file in
// the words ("the dump").
OSErr SaveFileByReplacing(const char* path, const std::string& bytes, const char* what,
                          std::string* problem = nullptr, SaveGroup* group = nullptr);
