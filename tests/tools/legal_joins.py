#!/usr/bin/env python3
"""Legal joins against mtsimport: nothing said, every part in place.

Joins the AVCHD recordings in $AVCHD_TESTDATA/avchd end to end, 2 to 4
parts each, every part after the first with time stamps that go back, jump
ahead (1.5-30 s), run on (seamlessly, or 0.05-0.95 s after the part before
ends) or wrap past 2^33 (the part's stamps straddle it), made by remuxing
the recording with ffmpeg -output_ts_offset (-c copy, PIDs 0x1011/0x1100,
192-byte packets); parts of other picture sizes and sound kinds come first,
in the middle and last. Each join is imported with `mtsimport --mov --dump`
and checked:
  warning   exit 0 and nothing on standard error
  pictures  the saved movie's pictures (ffmpeg's decode, framemd5) are the
            reference pictures of the parts of the track's size, in order
  rate      the saved movie's picture rate (ffprobe r_frame_rate) is the
            stream's (25, 29.97)
  played    every part of the sound track's kind is played
  sync      ... its sound where its own time stamps put it beside its first
            picture, within one sound frame (AC-3 1536, LPCM 240 samples:
            the track's sound starts with a whole frame), and for a part
            after the first half a movie unit more (its edit starts on a
            whole unit of the movie's time scale)
  partsync  ../shared/tools/part-sync finds every part's pictures in order
            and its sound beside them within one sound frame (bad 0)
  copy      ffmpeg -c copy of the saved movie to .mkv and .mov holds each
            picture and each sound sample once (Matroska: plus the media
            before the sound's first edit; QuickTime: but the last
            millisecond, ffmpeg writing the copy's edit in milliseconds;
            an edit inside one sound frame, which ffmpeg decodes short,
            against the media it plays)
and counted per check, per kind of step between the parts, and per place
(first, middle, last) of a part of another size or sound kind.

--wide joins every combination instead, chosen so that every pair of values
of these dimensions appears within a run of --count 150 or so:
  parts     2, 3-5, 6-15 or 16-40 parts (--parts narrows it); joins of
            more than 5 parts are of cuts of 7-25 pictures, so that they
            stay quick to import
  base      the recording of the first part and of the parts like it
  short     where a part of 1 or of 2-6 pictures stands (none, first,
            middle, last)
  soundless where a part without sound stands
  change    where a part of another picture size, or of the same size with
            sound of another kind (AC-3 for LPCM and back; now and then
            other channels only), stands
  step      one seam's stamps go back, jump ahead 0.1-1, 1-10 or 10-60 s,
            run on 0.05-0.95 s after, run on seamlessly, or wrap (the other
            seams any step)
  method    parts cut at PES bounds and restamped in place (restamp: the
            packets as the camera wrote them) or by ffmpeg (remux: -frames:v,
            -map 0:v, -output_ts_offset)
Cuts start at the recording's start or at a group's tables and IDR picture
in its middle. Each part's first picture stands on a whole frame as ffmpeg
reads the stamps: part-sync rounds picture times to the frame rate, and a
part off that grid would be measured up to half a frame wrong. Where a part
or the movie's pictures still stand off that grid (a loss, a movie laid out
on its own scale), the check takes each of part-sync's sound figures back by
the rounding of the part's own pictures less that of the movie's picture
part-sync found it by, both read exactly from ffmpeg, and judges that.
A part part-sync does not find among the movie's pictures (another size)
it places after the part before by its own length of that part (the
span of its rounded pictures and their middle step, 40 ms for one
picture); its figures are taken back as well by how far those lengths of
the parts since the last one found fall from their lengths by the stamps
(first picture shown to one frame after the last), which differ for one
picture at 29.97 and for a short cut whose pictures leave a gap when shown.
A figure still out of place after that is measured again by part-sync's
own match nearest where the part's stamps put the window (judge_stamped):
part-sync takes the match nearest its own place, and where the part's
sound repeats (a steady tone) within the grid's share, that is a repeat of
the window, as far from where the window plays as the share.
A figure whose window starts right at a short part's first picture, where
the movie's edit may start a sample off, is measured again 1 ms on, and
where the part before's sound runs on into that picture, from where it
ends, within a sound frame, just at its place (judge_edge). A window of
the last part that lies past the end of the movie's sound by less than a
sound packet (the movie ends with its video track, on whole units of its
time scale) is measured again moved back to end there (judge_end).
A window in a part's last picture or sound frame, where another part
follows (its sound may lead its first picture by that much and then plays
there by its own stamps), is measured again moved back before that
stretch (judge_tail).
An AC-3 part's sound part-sync finds out of place is measured again at the
same windows over 16 ms (less where a part of one picture ends sooner)
against the sound's own size (judge_dither): two
AC-3 decoders differ by their dither noise, and part-sync's fixed bound per
sample can miss sound that is in place and take a like stretch of another
part for it; that search keeps to one frame around the part's own place,
since cuts of one recording carry the same sound and a copy nearer
part-sync's place would hide it. A part of another sound kind that
part-sync heard sound over, where it took the part for one before it (the
same pictures), is heard again over its own stretch (judge_left_out).
Checked: warning, pictures, rate, partsync, copy.

--losses (with --wide) adds one loss to each join, inside a part or at a
seam, a dimension of its own:
  sound     one sound PES taken out (LPCM 5 ms; AC-3 one frame, ffmpeg's
            remux packs three)
  cat       a part's tables, IDR (or I) picture and the 1-3 pictures after
            taken out, as `cat` of a cut recording joins it
  gop       the one video PES right before a group's tables and I picture
  head      a part without its first N bytes (`tail -c +961`; N 960, a
            multiple of 192 or any); "in" is the recording's own start
  pinned    whole PESs (from a P picture on, with the sound PES begun among
            them) lost up to where tables and an IDR picture begin, the
            stamps running on: no loss anyone can tell from a join
A loss at a seam is put at the seam with the join's chosen step. The last
sound PES, or the last video PES of a part that keeps a picture, taken out
before a seam leaves a part byte for byte as a legal cut one PES earlier
makes it: like pinned, it takes the legal checks. A loss
must be told (exit 0 with a warning on standard error, and the
saved movie opens in ffmpeg: check `told`); a loss only in what the movie
leaves out anyway (a part of another picture size, sound of another kind)
is counted apart. The pinned case is legal and takes the checks above, its
part counted as the two pieces it becomes; inside a part, a warning that
tells just the time of the pictures taken out as video lost passes too (the
recording's tables run on across the gap, which may tell it from a join).

usage: legal_joins.py MTSIMPORT [--count N] [--jobs J] [--seed S] [--keep DIR]
         [--wide [--losses] [--parts LO-HI] [--index N,...]] [--pat-on]
--pat-on makes every seam's PAT counter run on (the streams' counters
break there), as one join in sixteen has it by chance.
--keep keeps each failing join's recording, dump, part files and a script
(NAME.sh) that makes it again from the material with ffmpeg and python.
Exits 1 when any join fails a check.
"""
import argparse
import array
import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import join_parts as J  # noqa: E402

WRAP = 1 << 33
TICKS = 90000
STEPS = ["back", "jump", "on", "seamless", "wrap"]
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PART_SYNC = os.path.join(os.path.dirname(ROOT), "shared", "tools", "part-sync")
if not os.path.exists(PART_SYNC):
    PART_SYNC = "/work/shared/tools/part-sync"
REMUX = ["-streamid", "0:0x1011", "-streamid", "1:0x1100", "-mpegts_m2ts_mode", "1", "-f", "mpegts"]


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=900, **kw)


def probe(path):
    """Stamps and sizes of a recording: video PTS range, frames and frame
    ticks, picture size, rate; the first sound PTS, its kind and sample
    frames."""
    out = run(["ffprobe", "-v", "error", "-show_entries",
               "stream=index,codec_type,codec_name,width,height,channels,sample_rate,r_frame_rate",
               "-show_entries", "packet=stream_index,pts,duration", "-of", "json", path]).stdout
    info = json.loads(out)
    streams = {s["index"]: s for s in info["streams"]}
    video = next(s for s in streams.values() if s["codec_type"] == "video")
    audio = next((s for s in streams.values() if s["codec_type"] == "audio"), None)
    num, den = (int(x) for x in video["r_frame_rate"].split("/"))
    frame = round(TICKS * den / num)
    vpts = [int(p["pts"]) for p in info["packets"] if p["stream_index"] == video["index"] and "pts" in p]
    r = {"size": (video["width"], video["height"]), "frame": frame, "frames": len(vpts), "fps": num / den,
         "vlow": min(vpts), "span": max(vpts) + frame - min(vpts)}
    apk = [p for p in info["packets"] if audio and p["stream_index"] == audio["index"] and "pts" in p]
    if apk:
        rate = int(audio["sample_rate"])
        r["kind"] = ("ac3" if audio["codec_name"] == "ac3" else "lpcm", int(audio["channels"]))
        r["rate"] = rate
        r["alow"] = int(apk[0]["pts"])
        r["samples"] = sum(round(int(p["duration"]) * rate / TICKS) for p in apk)
        durations = sorted(int(p["duration"]) for p in apk if "duration" in p)
        r["sound_packet"] = durations[len(durations) // 2] / TICKS if durations else 0.032
    return r


def framemd5(path):
    f = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
             "-f", "framemd5", "-"])
    return [l.split(",")[-1].strip() for l in f.stdout.decode().splitlines() if l.strip() and not l.startswith("#")]


def reference_pictures(path):
    ref = path[:-len(".m2ts")] + ".video.framemd5"
    return [l.split(",")[-1].strip() for l in open(ref) if l.strip() and not l.startswith("#")]


def short(src):
    return os.path.basename(src)[:-len("_avchd.m2ts")]


# ---------------------------------------------------------------- the parts

class Material:
    """The recordings, their probes, and the cut parts made from them (made
    once each, whichever join asks first)."""

    def __init__(self, sources, workdir):
        self.sources = sources
        self.workdir = workdir
        self.data = {s: open(s, "rb").read() for s in sources}
        self.stats = {}
        self.recs = {}
        self.lock = threading.Lock()
        self.key_locks = {}
        self.cuts = {}
        for s in sources:
            st = probe(s)
            st["pictures"] = reference_pictures(s)
            self.stats[s] = st
            self.recs[s] = J.Recording(self.data[s])

    def groups(self, src, any_intra=False):
        """Packets where a cut may start: the file's start, and each group
        with tables and an IDR picture (the pictures before it); with
        `any_intra` each group with tables and an I picture, IDR or not: a
        recording cut there begins with B pictures whose references were
        cut off. Such a cut begins a join only: after another part a
        decoder, ours as ffmpeg, orders its pictures by picture order
        counts that go on from that part's, and ffmpeg's own decode of a
        short one leaves out pictures by rules of its own."""
        rec = self.recs[src]
        if not any_intra:
            return [(0, 0)] + [(at, k) for k, at in rec.gop_starts() if k]
        return [(0, 0)] + [(group_packet(rec, k), k) for k in rec.group_starts() if k]

    def pictures(self, path):
        """framemd5 hashes of part `path`'s pictures as a movie that goes on
        into a later part shows them. ffmpeg's decode of a part alone that
        begins with an open group (B pictures after its first I picture
        that show before it) may leave out its last P picture (seen at 4
        and 6 pictures): followed by a recording's first IDR picture of its
        size, which outputs every picture before it, the part shows them
        all."""
        data = open(path, "rb").read()
        video = [p for p in J.Recording(data).video if p["pts"] is not None]
        shown = J.shown_pictures(video)
        if len(shown) == len(video):
            return framemd5(path)
        size = probe(path)["size"]
        head = next((s for s in self.sources if self.stats[s]["size"] == size and self.recs[s].video and
                     5 in self.recs[s].video[0]["kinds"]), None)
        if head is None:
            return framemd5(path)
        after = path + ".idr.m2ts"
        open(after, "wb").write(data + J.cut(self.data[head], 0, 1))
        try:
            return framemd5(after)[:len(shown)]
        finally:
            os.remove(after)

    def _key_lock(self, key):
        with self.lock:
            return self.key_locks.setdefault(key, threading.Lock())

    def cut(self, src, start, pictures, soundless, method):
        """The cut part (stamps as in the recording) and its stats."""
        key = (src, start, pictures, soundless, method)
        with self._key_lock(key):
            if key in self.cuts:
                return self.cuts[key]
            name = os.path.join(self.workdir, "cut_%s_%d_%d_%d_%s.m2ts" % (
                short(src), start, pictures, soundless, method))
            whole = not start and not pictures
            if method == "restamp":
                data = self.data[src] if whole else J.cut(self.data[src], start, pictures)
                if soundless:
                    data = J.without_sound(data)
                open(name, "wb").write(data)
            else:
                source = src
                if start:
                    source = name + ".from.m2ts"
                    open(source, "wb").write(J.cut(self.data[src], start, 0))
                cmd = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", source, "-map", "0:v" if soundless else "0",
                       "-c", "copy"] + (["-frames:v", str(pictures)] if pictures else []) + REMUX + [name]
                p = run(cmd)
                if p.returncode != 0:
                    raise RuntimeError(p.stderr.decode(errors="replace"))
                if start:
                    os.remove(source)
            st = probe(name)
            st["pictures"] = self.stats[src]["pictures"] if whole else self.pictures(name)
            st["src"] = src
            self.cuts[key] = (name, st)
            return self.cuts[key]


def place_part(cut_path, st, start, method, path):
    """The cut part with its first picture's stamp at `start`; the stamp it
    got (ffmpeg may round)."""
    offset = (start - st["vlow"]) % WRAP
    if offset == 0:
        shutil.copyfile(cut_path, path)
    elif method == "restamp":
        open(path, "wb").write(J.restamp(open(cut_path, "rb").read(), offset))
    else:
        p = run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-copyts", "-i", cut_path, "-map", "0" if "kind" in st else "0:v",
                 "-c", "copy",
                 "-output_ts_offset", "%.6f" % (offset / TICKS), "-muxdelay", "0", "-muxpreload", "0"] + REMUX + [path])
        if p.returncode != 0:
            raise RuntimeError(p.stderr.decode(errors="replace"))
    got = J.first_video_pts(open(path, "rb").read())
    return start if got is None else got


def recipe_for(spec, st, start, path):
    """Shell lines that make one part from the material."""
    src, at, pictures, soundless, method = spec["src"], spec["from"], spec["pictures"], spec["soundless"], spec["method"]
    offset = (start - st["vlow"]) % WRAP
    tools = os.path.dirname(os.path.abspath(__file__))
    if method == "restamp":
        return ("python3 -c 'import sys; sys.path.insert(0, \"%s\"); import join_parts as J; d=open(\"%s\",\"rb\").read(); "
                "d=J.cut(d,%d,%d) if %d or %d else d; d=J.without_sound(d) if %d else d; "
                "open(\"%s\",\"wb\").write(J.restamp(d,%d))'" % (tools, src, at, pictures, at, pictures, soundless, path,
                                                                    offset))
    lines = []
    source = src
    if at:
        source = path + ".from.m2ts"
        lines.append("python3 -c 'import sys; sys.path.insert(0, \"%s\"); import join_parts as J; "
                     "open(\"%s\",\"wb\").write(J.cut(open(\"%s\",\"rb\").read(),%d,0))'" % (tools, source, src, at))
    cut = path + ".cut.m2ts"
    lines.append("ffmpeg -v error -y -i %s -map %s -c copy %s%s %s" % (
        source, "0:v" if soundless else "0", "-frames:v %d " % pictures if pictures else "", " ".join(REMUX), cut))
    lines.append("ffmpeg -v error -y -copyts -i %s -map %s -c copy -output_ts_offset %.6f -muxdelay 0 -muxpreload 0 %s %s"
                 % (cut, "0" if "kind" in st else "0:v", offset / TICKS, " ".join(REMUX), path))
    return "\n".join(lines)


# ------------------------------------------------------ the old (narrow) plan

def plan(r, n, sources, stats):
    """The parts of join n: (source, step, start PTS) each."""
    parts = []
    end = None
    for k in range(r.randint(2, 4)):
        src = r.choice(sources)
        s = stats[src]
        step = r.choice(["plain", "wrap"]) if k == 0 else r.choice(STEPS)
        if step == "plain":
            start = s["vlow"]
        elif step == "back":
            start = (parts[-1][2] - r.randint(0, 5 * TICKS)) % WRAP
        elif step == "jump":
            start = (end + r.randint(int(1.5 * TICKS), 30 * TICKS)) % WRAP
        elif step == "on":
            start = (end + r.randint(int(0.05 * TICKS), int(0.95 * TICKS))) % WRAP
        elif step == "seamless":
            start = end % WRAP
        else:  # wrap: the part's stamps straddle 2^33
            start = WRAP - r.randint(int(0.1 * TICKS), s["span"] - int(0.1 * TICKS))
        parts.append((src, step, start))
        end = start + s["span"]
    return parts


# ------------------------------------------------------- the wide campaign

BUCKETS = {"2": (2, 2), "3-5": (3, 5), "6-15": (6, 15), "16-40": (16, 40)}
PLACES = ["none", "first", "middle", "last"]
# The wide campaign's step at one seam: jumps ahead in three ranges of
# seconds (drawn evenly on a log scale within each), so that short, middling
# and long jumps each meet every other value.
JUMPS = {"jump<1s": (0.1, 1.0), "jump1-10s": (1.0, 10.0), "jump10-60s": (10.0, 60.0)}
WIDE_STEPS = ["back"] + list(JUMPS) + ["on", "seamless", "wrap"]
# Short parts: one picture alone (an I picture and nothing after), or 2-6.
SHORTS = {"1": (1, 1), "2-6": (2, 6)}
# A changed part: another picture size, or the same size with sound of
# another kind (AC-3 for LPCM and back, now and then only other channels).
CHANGES = ["size", "kind"]
MEDIUM = [7, 9, 12, 13, 16, 19, 25]
LOSSES = ["sound@in", "sound@seam", "cat@in", "cat@seam", "gop@in", "gop@seam", "head@in", "head@seam",
          "pinned@in", "pinned@seam"]


def dimensions(material, args):
    lo, hi = args.parts
    buckets = [b for b, (a, z) in BUCKETS.items() if a <= hi and z >= lo]
    placed = lambda what: ["none"] + ["%s:%s" % (p, w) for p in PLACES[1:] for w in what]
    dims = [("parts", buckets), ("base", [short(s) for s in material.sources]), ("short", placed(SHORTS)),
            ("soundless", PLACES), ("change", placed(CHANGES)), ("step", WIDE_STEPS),
            ("method", ["restamp", "remux"])]
    if args.losses:
        dims.append(("loss", LOSSES))
    return dims


def valid(row, blocked=()):
    """Whether a (partial) row can be made: two parts have no middle; a
    recording without IDR pictures inside (open groups) has no place for
    the pinned loss inside a part; `blocked` holds the (base, change) pairs
    the material cannot make (no recording of the same size with sound of
    another kind)."""
    places = [str(row.get(d, "")).split(":")[0] for d in ("short", "soundless", "change")]
    if row.get("parts") == "2" and "middle" in places:
        return False
    if (row.get("base"), str(row.get("change", "")).split(":")[-1]) in blocked:
        return False
    if row.get("base", "").startswith("avchd_1080i") and row.get("loss") == "pinned@in":
        return False
    return True


def blocked_changes(material):
    """(base, change) pairs the material has no recording for."""
    return {(short(s), w) for s in material.sources for w in CHANGES if not changed_sources(material, s, w)}


def covering_rows(dims, count, rng, blocked=()):
    """`count` rows of the dimensions, the first ones chosen greedily so that
    every valid pair of values appears; then rows at random."""
    names = [d for d, _ in dims]
    values = dict(dims)
    need = set()
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            for a in values[names[i]]:
                for b in values[names[j]]:
                    if valid({names[i]: a, names[j]: b}, blocked):
                        need.add((names[i], a, names[j], b))
    total = len(need)
    rows = []

    def pairs(row):
        return {(names[i], row[names[i]], names[j], row[names[j]]) for i in range(len(names))
                for j in range(i + 1, len(names))}

    while len(rows) < count:
        best, score = None, -1
        for _ in range(40):
            row = {}
            if need:
                a, va, b, vb = rng.choice(sorted(need))
                row = {a: va, b: vb}
            for d in names:
                if d not in row:
                    # Short joins come more often: they cost less (long ones
                    # still come for the pairs they are needed for).
                    weights = [{"2": 6, "3-5": 6, "6-15": 4}.get(v, 1) if d == "parts" else 1
                               for v in values[d]]
                    row[d] = rng.choices(values[d], weights)[0]
            if not valid(row, blocked):
                continue
            s = len(pairs(row) & need)
            if s > score:
                best, score = row, s
        if best is None:
            continue
        need -= pairs(best)
        rows.append(best)
    return rows, total, total - len(need)


def other_sources(material, base, differ):
    b = material.stats[base]
    out = []
    for s in material.sources:
        st = material.stats[s]
        same = st["size"] == b["size"] and st.get("kind") == b.get("kind")
        if same != differ:
            out.append(s)
    return out or [base]


def changed_sources(material, base, what, r=None):
    """Recordings for a part that changes `what` against `base`: another
    picture size; or the same size with sound of another coding (AC-3 for
    LPCM and back), or, drawn now and then when `r` is given, only other
    channels."""
    b = material.stats[base]
    if what == "size":
        return [s for s in material.sources if material.stats[s]["size"] != b["size"]]
    same = [s for s in material.sources if material.stats[s]["size"] == b["size"]]
    coding = [s for s in same if "kind" in material.stats[s] and "kind" in b
              and material.stats[s]["kind"][0] != b["kind"][0]]
    channels = [s for s in same if material.stats[s].get("kind") not in (None, b.get("kind")) and s not in coding]
    if r is not None and channels and r.random() < 0.25:
        return channels
    return coding


def wide_plan(r, row, material, args):
    """The part specs of one join of the wide campaign."""
    lo, hi = BUCKETS[row["parts"]]
    lo, hi = max(lo, args.parts[0]), min(hi, args.parts[1])
    # Long joins lean to their short end (each part costs part-sync four
    # decodes), the longest still coming.
    n = r.choice([lo, lo, lo + (hi - lo) // 6, lo + (hi - lo) // 3, lo + (hi - lo) * 2 // 3, hi]) if hi - lo > 10 \
        else r.randint(lo, hi)
    base = next(s for s in material.sources if short(s) == row["base"])

    def index(place):
        return {"none": None, "first": 0, "last": n - 1}.get(place, r.randint(1, max(1, n - 2)))

    short_place, _, short_len = row["short"].partition(":")
    change_place, _, change_what = row["change"].partition(":")
    at_short, at_soundless, at_change = index(short_place), index(row["soundless"]), index(change_place)
    seam = r.randint(1, n - 1)
    specs = []
    size = None
    searched = None  # pictures of the last part of the track's size, from the one part-sync looks for
    for k in range(n):
        step = r.choice(["plain", "wrap"]) if k == 0 else row["step"] if k == seam else r.choice(STEPS)
        for attempt in range(12):
            src = r.choice(changed_sources(material, base, change_what, r) if k == at_change else
                           other_sources(material, base, False))
            groups = material.groups(src, k == 0 and k != at_short)
            frames = material.stats[src]["frames"]
            if k == at_short:
                pictures = r.randint(*SHORTS[short_len])
            elif n <= 5 and (frames <= 60 or n <= 3):
                pictures = 0
            else:
                pictures = r.choice(MEDIUM)
            start, before = r.choice(groups)
            if pictures and before + pictures > frames:
                start, before = groups[0]
            spec = {"src": src, "from": start, "pictures": pictures, "soundless": k == at_soundless,
                    "method": row["method"], "step": step, "seam": k == seam}
            _, st = material.cut(src, start, pictures, k == at_soundless, row["method"])
            # part-sync finds a part by one of its pictures, looked for after
            # the one it found of the part before: that picture must not be
            # among the part before's later pictures (the small recordings
            # share their pictures).
            pics = st["pictures"]
            probe = pics[min(20, len(pics) // 2)] if pics else None
            if size is None or st["size"] != size or not searched or probe not in searched:
                break
        else:
            spec["ambiguous"] = True
        if size is None:
            size = st["size"]
        if st["size"] == size and pics:
            searched = pics[min(20, len(pics) // 2) + 1:]
        specs.append(spec)
    loss = row.get("loss")
    if loss and loss.endswith("@in"):
        kind = loss.split("@")[0]
        # The part that takes the loss: of the track's kind, with sound for a
        # sound loss, long enough to hold a group start after its first.
        cands = [k for k, sp in enumerate(specs) if not sp["soundless"] and k != at_change and k != at_short]
        if kind == "head":
            cands = [0]
        h = r.choice(cands) if cands else r.randrange(n)
        sp = specs[h]
        if kind != "head":
            sp["src"] = base
            sp["from"] = 0
            sp["pictures"] = 0 if material.stats[base]["frames"] <= 60 or n <= 3 else r.randint(20, 40)
            sp["soundless"] = False
        sp["host"] = True
    return specs


def starts(r, specs, material):
    """Stamps of each part's first picture by the steps."""
    end = None
    out = []
    for k, sp in enumerate(specs):
        _, st = material.cut(sp["src"], sp["from"], sp["pictures"], sp["soundless"], sp["method"])
        span = st["span"]
        step = sp["step"]
        if step == "plain":
            start = st["vlow"]
        elif step == "back":
            start = (out[-1] - r.randint(0, 5 * TICKS)) % WRAP
        elif step == "jump" or step in JUMPS:
            lo, hi = JUMPS.get(step, (0.1, 60.0))
            start = (end + int(TICKS * math.exp(r.uniform(math.log(lo), math.log(hi))))) % WRAP
        elif step == "on":
            start = (end + r.randint(int(0.05 * TICKS), int(0.95 * TICKS))) % WRAP
        elif step == "seamless":
            start = end % WRAP
        elif span > int(0.25 * TICKS):
            start = WRAP - r.randint(int(0.1 * TICKS), span - int(0.1 * TICKS))
        else:
            start = WRAP - r.randint(1, max(1, span - 1))
        start = on_grid(start, st["frame"])
        out.append(start)
        end = start + span
    return out


def on_grid(start, frame):
    """The stamp moved (by under half a frame) onto a whole number of
    frames, as ffmpeg reads it (stamps in the upper half of 2^33 as
    negative): part-sync times a part by ffmpeg's framemd5, which rounds
    each picture's time to the frame rate's time base, so a part off that
    grid would be measured up to half a frame wrong."""
    shift = WRAP if start >= WRAP // 2 else 0
    return (int(round((start - shift) / frame)) * frame + shift) % WRAP


# ------------------------------------------------------------------ losses

def pes_range(rec, lo, hi):
    """Packets of the PES (both streams) that begin in [lo, hi)."""
    return {i for p in rec.pes if lo <= p["packets"][0] < hi for i in p["packets"]}


def group_packet(rec, k):
    """Where the group that video PES k begins starts: its first program
    table after the PES before begins."""
    first = rec.video[k]["packets"][0]
    lo = rec.video[k - 1]["packets"][0] if k else -1
    tables = [t for t in rec.tables if lo < t < first]
    return tables[0] if tables else first


def sound_head_tellable(rec, left=1):
    """Whether losing the first `left` sound PES of `rec` (with left=0:
    whatever went before its first) leaves a head no legal recording has:
    the first PES left beginning more than half a PES after the first
    picture shown."""
    if len(rec.audio) < 2 or not rec.video:
        return False
    def ahead(t, ref):
        return (t - ref + WRAP // 2) % WRAP - WRAP // 2

    shown = [p["pts"] for p in J.shown_pictures([p for p in rec.video[:16] if p["pts"] is not None])]
    if not shown:
        return False
    first = min(shown, key=lambda t: ahead(t, shown[0]))
    length = ahead(rec.audio[1]["pts"], rec.audio[0]["pts"])
    gap = ahead(rec.audio[left]["pts"], first)
    return 2 * gap > length


def tables_begin(before, data):
    """Whether `data`'s first program tables begin a recording after
    `before` (None: the file's start): its PAT's counter does not follow the
    last PAT before, or its program map differs from the last one before."""
    if before is None:
        return True

    def tables(d, last):
        pats = [pk for pk in J.split(d) if J.header(pk)[0] == 0]
        maps = [pk for pk in J.split(d) if J.header(pk)[0] == 0x0100 and J.header(pk)[1]]
        pick = -1 if last else 0
        return (pats[pick][7] & 0x0F if pats else None), (maps[pick][8:] if maps else None)

    cc, pmt = tables(before, True)
    cc2, pmt2 = tables(data, False)
    return cc is None or cc2 is None or cc2 != (cc + 1) % 16 or pmt != pmt2


def apply_loss(r, loss, datas, specs):
    """Takes the loss out of the parts' bytes. Returns a description, or
    None when the join has no place for it, and the pieces (for the pinned
    loss inside a part: that part as two)."""
    kind, where = loss.split("@")
    n = len(datas)
    pieces = None
    if where == "in":
        k = next(i for i, sp in enumerate(specs) if sp.get("host"))
    else:
        # The seam whose step the join is chosen for, so that each loss meets
        # each step at the seam itself.
        k = next((i for i, sp in enumerate(specs) if sp.get("seam")), None) or r.randint(1, n - 1)
    rec = J.Recording(datas[k])
    if kind == "sound":
        if where == "in":
            if len(rec.audio) < 3:
                return None, None
            i = r.randint(1, len(rec.audio) - 2)
            victim, text = k, "sound PES %d of %d (PTS %d) of part %d" % (i, len(rec.audio), rec.audio[i]["pts"], k)
            drop = rec.audio[i]["packets"]
        else:
            before = J.Recording(datas[k - 1])
            if before.audio and (r.random() < 0.5 or not rec.audio):
                victim, rec, drop = k - 1, before, before.audio[-1]["packets"]
                text = "the last sound PES of part %d (before the seam)" % (k - 1)
                specs[victim]["untellable"] = True
            elif rec.audio:
                victim, drop = k, rec.audio[0]["packets"]
                text = "the first sound PES of part %d (after the seam)" % k
                # What is left begins as a recording's own sound may: none
                # at all, or ahead of the part's first picture or less than
                # half a PES after it.
                specs[victim]["untellable"] = not sound_head_tellable(rec)
            else:
                return None, None
    elif kind == "cat":
        groups = [g for g in rec.group_starts() if g] if where == "in" else [0]
        groups = [g for g in groups if g + 2 < len(rec.video)]
        if not groups:
            return None, None
        g = r.choice(groups)
        j = r.randint(1, min(3, len(rec.video) - g - 1))
        # At least one picture of the part stays after the loss: one that
        # took the group to the part's end would leave the part ending
        # before tables and an IDR picture, a legal join of a shorter cut
        # (nothing to tell). Drawn as before, so that other joins stay.
        j = min(j, len(rec.video) - g - 2)
        a = group_packet(rec, g) if g else 0
        drop = range(a, rec.video[g + 1 + j]["packets"][0] if g + 1 + j < len(rec.video) else len(rec.packets))
        victim = k
        text = "part %d's tables, %s picture and the %d after (packets %d-%d) taken out" % (
            k, rec.video[g]["slice"] or "?", j, drop[0], drop[-1])
    elif kind == "gop":
        if where == "in":
            groups = [g for g in rec.group_starts() if g]
            if not groups:
                return None, None
            g = r.choice(groups)
            victim, p = k, rec.video[g - 1]
        else:
            victim = k - 1
            rec = J.Recording(datas[k - 1])
            p = rec.video[-1]
            # A part that keeps a picture is then byte for byte a legal part
            # cut one picture shorter; one left without any is not.
            specs[victim]["untellable"] = len(rec.video) > 1
        drop = p["packets"]
        text = "the video PES before a group (a %s picture, PTS %d) of part %d" % (p["slice"], p["pts"], victim)
    elif kind == "head":
        victim = 0 if where == "in" else k
        size = len(datas[victim])
        cut = r.choice([960, 960, 192 * r.randint(5, 40), r.randint(961, 8000)])
        cut = min(cut, size // 2)
        # The streams whose packets the cut takes (a packet cut into counts).
        whole = J.split(datas[victim][:(cut + 191) // 192 * 192])
        specs[victim]["cut_pids"] = {J.header(pk)[0] for pk in whole}
        datas[victim] = datas[victim][cut:]
        # A cut that takes no picture's packet, whose sound left begins as a
        # recording's own may (ahead of its first picture shown, or less
        # than half a PES after it), leaves nothing that tells it.
        if cut % 192 == 0 and J.VIDEO not in specs[victim]["cut_pids"] and \
                not sound_head_tellable(J.Recording(datas[victim]), 0):
            specs[victim]["untellable"] = True
        specs[victim]["victim"] = True
        return "part %d without its first %d bytes (tail -c +%d)" % (victim, cut, cut + 1), None
    else:  # pinned
        if where == "in":
            groups = [g for g, _ in rec.gop_starts() if g]
            if not groups:
                return None, None
            g = r.choice(groups)
            prev = max([h for h, _ in rec.gop_starts() if h < g])
            ps = [i for i in range(prev + 1, g) if rec.video[i]["slice"] == "P"]
            if not ps:
                return None, None
            a = r.choice(ps)
            cut = group_packet(rec, g)
            drop = pes_range(rec, rec.video[a]["packets"][0], cut)
            first = rec.bytes(drop | set(range(cut, len(rec.packets))))
            second = rec.bytes(set(range(0, cut)) | drop)
            pieces = (k, [first, second])
            victim = k
            specs[k]["pinned_pictures"] = g - a
            text = "part %d: PES from its %dth picture (P) to the group at picture %d taken out" % (k, a, g)
        else:
            victim = k - 1
            rec = J.Recording(datas[victim])
            last = max([0] + [h for h, _ in rec.gop_starts()] + rec.group_starts())
            ps = [i for i in range(last + 1, len(rec.video)) if rec.video[i]["slice"] == "P"]
            if not ps:
                return None, None
            a = r.choice(ps)
            drop = pes_range(rec, rec.video[a]["packets"][0], len(rec.packets))
            text = "part %d: its last %d pictures from a P picture on, with their sound, taken out" % (
                victim, len(rec.video) - a)
    specs[victim]["victim"] = True
    datas[victim] = rec.bytes(set(drop))
    if pieces:
        datas[pieces[0]] = None
    return text, pieces


# ------------------------------------------------------------------ checks

def media_to_track(edits, media, media_scale, movie_scale):
    """Track time (seconds) at which media time `media` plays, or None."""
    for e in edits:
        if e["mediaTime"] < 0:
            continue
        length = e["trackDuration"] * media_scale / movie_scale
        if e["mediaTime"] <= media < e["mediaTime"] + length:
            return e["trackStart"] / movie_scale + (media - e["mediaTime"]) / media_scale
    return None


def picture_times(path, first_only=False):
    """The pictures ffmpeg decodes from `path`, in output order: (time as
    part-sync reads it, exact time, byte size, hash). part-sync reads
    framemd5 with -copyts in ffmpeg's default time base, one frame of the
    stream's rate, so every time it sees is rounded onto that grid; the same
    decode written a second time in the stream's own time base gives the
    times as stamped."""
    outs = [path + ".grid.framemd5", path + ".exact.framemd5"]
    cmd = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-copyts", "-i", path]
    for out, base in zip(outs, ([], ["-enc_time_base", "-1"])):
        cmd += ["-map", "0:v:0"] + (["-frames:v", "1"] if first_only else []) + [
            "-autoscale", "0", "-fps_mode", "passthrough"] + base + ["-f", "framemd5", out]
    run(cmd)
    tables = []
    for out in outs:
        rows, unit = [], 1.0
        lines = open(out).read().splitlines() if os.path.exists(out) else []
        if os.path.exists(out):
            os.remove(out)
        for l in lines:
            if l.startswith("#tb"):
                num, den = l.split(":")[1].strip().split("/")
                unit = int(num) / int(den)
            elif l.strip() and not l.startswith("#"):
                f = [x.strip() for x in l.split(",")]
                rows.append((int(f[2]) * unit, int(f[4]), f[5]))
        tables.append(rows)
    grid, exact = tables
    if [x[2] for x in grid] != [x[2] for x in exact]:
        exact = grid  # the two outputs disagree: take the times as read, no correction
    return [(g[0], e[0], g[1], g[2]) for g, e in zip(grid, exact)]


def grid_shifts(files, stats, movie):
    """Per part, how far (ms) part-sync's frame-rounded picture times move
    the sound error it reports, and how much of that its finding the part
    at another's picture makes, or None for a part without pictures. It
    takes a part's sound at the part's own rounded picture times and looks
    for it at the rounded movie time of the picture it found the part by
    (a part it does not find is placed after the one before, so the last
    found picture's rounding carries on): a part in its right place reads
    its own rounding less the movie's. Follows part-sync's search: the
    part's 20th picture (its middle one when shorter), looked for in the
    movie after the one found for the part before, in parts of the
    movie's picture size only. A part found among the pictures of a part
    before it (the same pictures, cut from one recording at one place) is
    read as far off as the movie time between that picture and its own,
    and so is every part placed after it until one is found again. A part
    placed after the one before is also off by how much part-sync's lengths
    of the parts since the last one found differ from their lengths by
    their stamps (part_lengths)."""
    msize = movie[0][2] if movie else 0
    mpos, anchor, off, seen, out = 0, 0.0, 0.0, 0, []
    since = []  # the parts since the last one part-sync found, as (file, stats)
    lengths = {}
    for f, st in zip(files, stats):
        first = picture_times(f, first_only=True)
        if not first:
            out.append(None)
            continue
        own = first[0][0] - first[0][1]
        # ffmpeg may also read the part's first picture off its own stamp
        # (seen where its first decode stamp is 0): part-sync
        # takes the part's sound at that time, off by as much.
        stamp = J.first_video_pts(open(f, "rb").read(), shown=True)
        if stamp is not None:
            read = (round(first[0][1] * TICKS) - stamp + WRAP // 2) % WRAP - WRAP // 2
            if 0 < abs(read) < TICKS:
                own += read / TICKS
        pics = st.get("pictures") or []
        j = None
        if pics and first[0][2] == msize:
            probe = min(20, len(pics) // 2)
            h = pics[probe]
            j = next((i for i in range(mpos, len(movie)) if movie[i][3] == h), None)
            if j is not None:
                mpos = j + 1
                mine = seen + probe if seen + probe < len(movie) and movie[seen + probe][3] == h else j
                anchor = movie[mine][0] - movie[mine][1]
                off = movie[mine][0] - movie[j][0]
            seen += len(pics)
        drift = 0.0
        if j is None:
            for g, s in since:
                told, stamped = lengths.get(g) or lengths.setdefault(g, part_lengths(g, s))
                drift += stamped - told
        else:
            since = []
        since.append((f, st))
        out.append((1000 * (own - anchor + off + drift), 1000 * off))
    return out


def part_lengths(path, st):
    """A part's length as part-sync takes it and as its stamps give it (s).
    part-sync spans the part's frame-rounded pictures and adds their middle
    step, or 40 ms for a part of one picture; by the stamps the part runs
    from its first picture shown to one frame of its rate after its last.
    The two differ for a part of one picture at another rate than 25, and
    for a short part whose pictures leave a gap when shown (pictures cut in
    coded order, the ones shown between them left behind): part-sync's
    middle step is then the gap."""
    pics = picture_times(path)
    grid = sorted(p[0] for p in pics)
    steps = sorted(b - a for a, b in zip(grid, grid[1:]))
    told = grid[-1] - grid[0] + (steps[(len(grid) - 1) // 2] if steps else 0.04) if grid else 0.0
    exact = [p[1] for p in pics]
    stamped = max(exact) - min(exact) + st["frame"] / TICKS if exact else 0.0
    return told, stamped


def off_grid(tok, shifts, limit):
    """One part's part-sync figures with the grid's share taken off, judged
    again against `limit` ms; the figure part-sync printed is kept beside a
    changed one. Where part-sync took the part for the one before it (the
    same pictures), its search for the sound is as torn: the same sound lies
    at the place it took too, so a figure in time as read passes as well."""
    shift, found_off = shifts
    def one(m):
        read = float(m.group(1))
        true = read - shift
        far = abs(true) > limit and (abs(found_off) < 0.05 or abs(read - (shift - found_off)) > limit)
        return "%+.1fms%s%s" % (true, " FAR" if far else "",
                                " (read %+.1f)" % read if abs(shift) >= 0.05 else "")
    return re.sub(r"([+-]\d+\.\d)ms( FAR)?", one, tok)


def mono_sound(path):
    """The first channel of the first sound stream, 48 kHz, as part-sync
    decodes it."""
    p = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-af", "pan=mono|c0=c0", "-ar", "48000",
             "-f", "s16le", "-"])
    a = array.array("h")
    a.frombytes(p.stdout[:len(p.stdout) // 2 * 2])
    return a


def start_times(path):
    """ffprobe's start times (s) of the first video and sound streams."""
    out = json.loads(run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,start_time", "-of", "json",
                          path]).stdout or b"{}").get("streams", [])
    def first(kind):
        s = next((x for x in out if x["codec_type"] == kind), None)
        return float(s["start_time"]) if s and s.get("start_time") not in (None, "N/A") else 0.0
    return first("video"), first("audio")


def sound_windows(files, movie, mov, places=None):
    """Per part, the sound windows part-sync takes (part sample, movie
    sample it expects it at), in its order, or None for a part it places
    by no pictures; `places` (when given) gets per part the place part-sync
    takes it at, its length and the movie's sound lead (s), or None. Follows part-sync: a part is timed by its 20th picture
    (its middle one when shorter) found in the movie after the one found
    for the part before, else placed after the part before; its windows lie
    0.5 s after that picture and 0.25 s before its end."""
    msize = movie[0][2] if movie else 0
    mvs, mas = start_times(mov)
    mpos, prev, out = 0, None, []
    for f in files:
        pics = sorted(picture_times(f), key=lambda x: x[0])
        if not pics:
            out.append(None)
            if places is not None:
                places.append(None)
            continue
        v0 = pics[0][0]
        steps = sorted(b[0] - a[0] for a, b in zip(pics, pics[1:]))
        frame = steps[(len(pics) - 1) // 2] if steps else 0.04
        plen = pics[-1][0] - v0 + frame
        tv, size, h = pics[min(20, len(pics) // 2)][0], pics[0][2], pics[min(20, len(pics) // 2)][3]
        j = next((i for i in range(mpos, len(movie)) if movie[i][3] == h), None) if size == msize else None
        if j is not None:
            mpos = j + 1
            at = movie[j][0] - mvs - (tv - v0)
        else:
            at = prev[0] + prev[1] if prev else 0.0
        prev = (at, plen)
        if places is not None:
            places.append((at, plen, mvs - mas))
        pas = start_times(f)[1]
        wins = []
        for rel in ((tv - v0) + 0.5, plen - 0.25):
            rel = max(0.0, min(rel, plen - 0.01))
            wins.append((int(round((v0 + rel - pas) * 48000)), int(round((at + mvs - mas + rel) * 48000)), rel))
        out.append(wins)
    return out


def window_near(tok, part, heard, w0, at, reach, size=768):
    """Where the 96-sample window of a part's sound at `w0` lies in the
    movie's sound within `reach` samples of `at`: part-sync's own match, or
    for AC-3 one over `size` samples against its dither; None if nowhere."""
    i = match_near(part[w0:w0 + 96], heard, at, reach)
    if i is None and re.match(r"p\d+\[[^\]]*ac3", tok):
        m = dither_match(part, heard, w0, at, reach, size)
        i = at + m[0] if m and m[1] <= 0.05 else None
    return i


def dither_match(part, heard, w0, expected, reach, size=768):
    """Where, within `reach` samples of `expected`, the movie's sound
    `heard` holds the part's own sound from sample `w0` on, as a relative
    difference: the summed difference over `size` samples (16 ms, less
    where the part's stretch ends sooner) over the summed sound there.
    AC-3 decoders differ in the noise they put into coefficients sent
    without bits, sample by sample up to a few hundred steps (ours
    draws it from one generator that runs on over the whole track, so a
    part's noise depends on what was decoded before it): part-sync's 96
    samples within 100 steps each can miss sound that is in place. Returns
    (offset in samples, relative difference) of the best place, or None."""
    ref = part[w0:w0 + size]
    energy = sum(abs(x) for x in ref)
    if len(ref) < 96 or energy == 0:
        return None
    best = None
    for i in range(max(0, expected - reach), min(len(heard) - len(ref), expected + reach) + 1):
        if abs(heard[i] - ref[0]) > 1024 or abs(heard[i + 1] - ref[1]) > 1024:
            continue
        d = sum(abs(heard[i + k] - ref[k]) for k in range(len(ref))) / energy
        if best is None or d < best[1]:
            best = (i - expected, d)
    return best


def token_windows(tok, k, files, movie, mov, seen):
    """A part-sync token split into its head and figures, with part k's
    sound windows (None when they do not pair with the figures). `seen`
    keeps the windows and the movie's sound between parts."""
    head, figures = re.match(r"(p\d+\[[^\]]*\]:\S+) (.*)$", tok).groups()
    if "windows" not in seen:
        seen["places"] = []
        seen["windows"] = sound_windows(files, movie, mov, seen["places"])
        seen["heard"] = mono_sound(mov)
    wins = seen["windows"][k] if k < len(seen["windows"]) else None
    if not wins or len(figures.split("/")) != len(wins):
        wins = None
    return head, figures, wins


def retold(fig, off, how):
    """A figure part-sync gave FAR or NOTFOUND, told again as `off` ms from
    its place found another way (`how`), part-sync's own words kept."""
    said = fig.strip().replace(" FAR", "").replace("NOTFOUND", "not found")
    return "%+.1fms (%s; part-sync: %s)" % (off, how, said)


def quiet_over(heard, start, length):
    """Whether the movie's first channel `heard` stays silent over a part's
    stretch of `length` s from `start` s, as part-sync listens: from 0.15 s
    in to 0.15 s before its end, every sample under 64."""
    a0 = max(0, int(round((start + 0.15) * 48000)))
    a1 = max(0, int(round((start + length - 0.15) * 48000)))
    return max((abs(x) for x in heard[a0:a1]), default=0) < 64


def place_of(seen, k):
    """Part k's place, length and sound lead as token_windows found them,
    or None."""
    places = seen.get("places", [])
    return places[k] if k < len(places) else None


def judge_dither(tok, k, files, movie, mov, shift, limit, seen):
    """An AC-3 part's part-sync figures FAR or NOTFOUND measured again with
    dither_match at the same windows: one within `limit` ms of its place
    (less the grid's share `shift`) and under 5 % apart is in place.
    `seen` keeps the windows and the movie's sound between parts. Returns
    the token judged and how many figures turned good."""
    head, figures, wins = token_windows(tok, k, files, movie, mov, seen)
    if not wins:
        return tok, 0
    part = mono_sound(files[k])
    out, good = [], 0
    # The search keeps to `limit` around the part's own place (part-sync's
    # place and the grid's share): cuts of one recording carry the same
    # sound, and a copy of it nearer part-sync's place, as good a match
    # within the dither, would hide the one in place (a part part-sync
    # finds at the same pictures of a part before it).
    own = int(round(shift * 48))
    # In a part of one picture the window 0.5 s on is taken 10 ms before its
    # end: 16 ms from there would run past its stretch into the next part's
    # sound, or past the movie's end when it is the last.
    place = place_of(seen, k)
    for fig, (w0, expected, rel) in zip(figures.split("/"), wins):
        size = min(768, int(round((place[1] - rel) * 48000))) if place else 768
        m = dither_match(part, seen["heard"], w0, expected + own, int(limit * 48), size) \
            if "FAR" in fig or "NOTFOUND" in fig else None
        if m:
            m = (m[0] + own, m[1])
        if m and m[1] <= 0.05 and abs(m[0] / 48.0 - shift) <= limit:
            good += 1
            fig = retold(fig, m[0] / 48.0 - shift, "dither %.3f" % m[1])
        out.append(fig)
    return head + " " + "/".join(out), good


def judge_stamped(tok, k, files, movie, mov, shift, limit, seen):
    """A part's part-sync figures FAR or NOTFOUND measured again at the
    place the part's own stamps give the window (part-sync's place less the
    grid's share `shift`), by part-sync's own match nearest that place,
    within `limit` ms of it. part-sync takes the match nearest its own
    place; where the part's sound repeats within the grid's share (a steady
    tone: 440 Hz repeats every 2.27 ms), that is a repeat of the window, not
    the window, and the figure less the grid's share is then off by about
    as much as that share (seen: a part whose first decode stamp is 0, its
    first picture read 40 ms early, its tone found 18 periods, 40.9 ms, from
    where it plays). Returns the token judged and how many figures turned
    good."""
    head, figures, wins = token_windows(tok, k, files, movie, mov, seen)
    if not wins or abs(shift) < 0.05:
        return tok, 0
    own = int(round(shift * 48))
    part, out, good = None, [], 0
    for fig, (w0, expected, _) in zip(figures.split("/"), wins):
        if "FAR" in fig or "NOTFOUND" in fig:
            part = part or mono_sound(files[k])
            i = match_near(part[w0:w0 + 96], seen["heard"], expected + own, int(limit * 48))
            if i is not None and abs((i - expected) / 48.0 - shift) <= limit:
                good += 1
                fig = retold(fig, (i - expected) / 48.0 - shift, "at its stamped place")
        out.append(fig)
    return head + " " + "/".join(out), good


def judge_edge(tok, k, files, movie, mov, shift, limit, seen):
    """A part's part-sync figures FAR or NOTFOUND whose window starts at the
    part's first picture (a part too short for a window 0.25 s before its
    end), measured again with the same window 1 ms on, by part-sync's own
    match near the same place. Where the part's sound is cut at its first
    picture (the part before still sounding), the movie's edit for it
    starts on a whole unit of the movie's time scale (1.6 samples at
    30000): the part's first sample may be played a sample early and left
    silent, so a window starting just there matches nowhere near and
    part-sync takes a like stretch of another part for it. Where the part
    before's sound runs on past its last picture into this part's first
    one (up to a sound frame: a part's sound ends where its last frame
    does), the window is taken again on from there, 1 ms a step within a
    sound frame, and must be heard just at its own place, loud. Returns
    the token judged and how many figures turned good."""
    head, figures, wins = token_windows(tok, k, files, movie, mov, seen)
    if not wins:
        return tok, 0
    part, on = None, 48
    out, good = [], 0
    for fig, (w0, expected, rel) in zip(figures.split("/"), wins):
        if rel == 0 and ("FAR" in fig or "NOTFOUND" in fig):
            part = part or mono_sound(files[k])
            at = expected + on
            i = match_near(part[w0 + on:w0 + on + 96], seen["heard"], at, int((limit + abs(shift)) * 48))
            if i is not None and abs((i - at) / 48.0 - shift) <= limit:
                good += 1
                fig = retold(fig, (i - at) / 48.0 - shift, "1 ms on")
            else:
                place = place_of(seen, k)
                span = min(int(limit * 48), int(place[1] * 48000) - 96) if place else 0
                own = int(round(shift * 48))
                for later in range(2 * on, span + 1, on):
                    win = part[w0 + later:w0 + later + 96]
                    if len(win) < 96 or max(abs(x) for x in win) < 50:
                        continue
                    i = match_near(win, seen["heard"], expected + later + own, 2)
                    if i is not None:
                        good += 1
                        fig = retold(fig, (i - expected - later) / 48.0 - shift,
                                     "%d ms on, after the sound before" % (later // on))
                        break
        out.append(fig)
    return head + " " + "/".join(out), good


def judge_end(tok, k, files, movie, mov, shift, limit, seen):
    """The last part's part-sync figures FAR or NOTFOUND whose window lies
    past the end of the movie's sound, by less than one sound packet: the
    movie ends with its video track, whose length is whole units of that
    track's time scale (40 ms at 25 pictures a second), so a part of
    another size at the end may lose the last few ms of its sound there.
    part-sync, finding nothing at its place, takes a like stretch of
    another cut of the same recording for it. The window is measured again
    moved back to end where the movie's sound ends, by part-sync's own
    match (an AC-3 part's also by dither_match over 16 ms) within `limit`
    ms of its place (less the grid's share `shift`). Returns the token
    judged and how many figures turned good."""
    head, figures, wins = token_windows(tok, k, files, movie, mov, seen)
    if not wins or k != len(files) - 1:
        return tok, 0
    heard = seen["heard"]
    part, out, good = None, [], 0
    for fig, (w0, expected, _) in zip(figures.split("/"), wins):
        past = expected - len(heard)
        if ("FAR" in fig or "NOTFOUND" in fig) and -96 < past <= limit * 48:
            part = part or mono_sound(files[k])
            i = None
            back = past + 96
            if w0 >= back:
                at = expected - back
                i = match_near(part[w0 - back:w0 - back + 96], heard, at, int((limit + abs(shift)) * 48))
            if i is None and re.match(r"p\d+\[[^\]]*ac3", tok) and w0 >= past + 768:
                at = expected - past - 768
                m = dither_match(part, heard, w0 - past - 768, at, int((limit + abs(shift)) * 48))
                i = at + m[0] if m and m[1] <= 0.05 else None
            if i is not None and abs((i - at) / 48.0 - shift) <= limit:
                good += 1
                fig = retold(fig, (i - at) / 48.0 - shift, "past the movie's end; its sound up to there")
        out.append(fig)
    return head + " " + "/".join(out), good


def judge_tail(tok, k, files, movie, mov, shift, limit, seen):
    """A part's part-sync figures FAR or NOTFOUND whose window lies within
    its last picture or sound frame (the longer), where another part
    follows: that part's sound may begin up to so much ahead of its first
    picture (a camera's own lead), and then plays there by its own stamps,
    ending this part's sound early. A part too short for a window 0.5 s
    after the picture it is timed by has that window 10 ms before its end,
    inside this stretch; part-sync, finding nothing at its place, takes a
    like stretch of a later cut of the same recording for it. The window
    is measured again moved back to end 10 ms before that stretch, by
    part-sync's own match (an AC-3 part's also by dither_match over the
    stretch left) within `limit` ms of its place (less the grid's share
    `shift`). Returns the token judged and how many figures turned good."""
    head, figures, wins = token_windows(tok, k, files, movie, mov, seen)
    place = place_of(seen, k)
    if not wins or not place or k == len(files) - 1:
        return tok, 0
    pics = sorted(t for t, *_ in picture_times(files[k]))
    steps = sorted(b - a for a, b in zip(pics, pics[1:]))
    stretch = max(steps[(len(pics) - 1) // 2] if steps else 0.04, (limit - 0.5) / 1000)
    heard = seen["heard"]
    part, out, good = None, [], 0
    for fig, (w0, expected, rel) in zip(figures.split("/"), wins):
        back = int(round((rel - (place[1] - stretch - 0.01 - 0.002)) * 48000))
        if ("FAR" in fig or "NOTFOUND" in fig) and back > 0 and w0 >= back:
            part = part or mono_sound(files[k])
            at = expected - back
            reach = int((limit + abs(shift)) * 48)
            i = window_near(tok, part, heard, w0 - back, at, reach, min(768, int(round((stretch + 0.012) * 48000))))
            if i is not None and abs((i - at) / 48.0 - shift) <= limit:
                good += 1
                fig = retold(fig, (i - at) / 48.0 - shift, "%.0f ms back, before the next part's lead" % (back / 48.0))
        out.append(fig)
    return head + " " + "/".join(out), good


def match_near(win, heard, at, reach):
    """Where, within `reach` samples of `at`, the movie's sound `heard`
    holds the window `win` of 96 samples by part-sync's own match (its
    first three samples within 256 steps, all within 100 on the mean), the
    nearest to `at`; or None."""
    size = len(win)
    if size != 96:
        return None
    near = [i for i in range(max(0, at - reach), min(len(heard) - size, at + reach) + 1)
            if all(abs(heard[i + d] - win[d]) <= 256 for d in range(3))
            and sum(abs(heard[i + d] - win[d]) for d in range(size)) <= 100 * size]
    return min(near, key=lambda x: abs(x - at)) if near else None


def judge_elsewhere(tok, k, files, movie, mov, shifts, limit, seen):
    """A part part-sync took for a part before it (the same pictures found
    at `shifts`[1] ms from its own): its figures FAR or NOTFOUND measured
    again at its own place, by part-sync's own match (an AC-3 part's also
    by dither_match) within `limit` ms of it (less the grid's share). part-sync looks for the sound near the
    place it took and, finding nothing there, takes the copy nearest to
    that place anywhere in the track: where the part taken for it has no
    sound (a part without sound, or of another kind), that is a third
    part's copy of the same sound, and the figure measures the distance
    between two parts, not this one's sync. Returns the token judged and
    how many figures turned good."""
    head, figures, wins = token_windows(tok, k, files, movie, mov, seen)
    if not wins:
        return tok, 0
    shift, found_off = shifts
    grid = shift - found_off
    part, out, good = None, [], 0
    for fig, (w0, expected, _) in zip(figures.split("/"), wins):
        if "FAR" in fig or "NOTFOUND" in fig:
            part = part or mono_sound(files[k])
            at = expected + int(round(found_off * 48))
            reach = int((limit + abs(grid)) * 48)
            i = window_near(tok, part, seen["heard"], w0, at, reach)
            if i is not None and abs((i - at) / 48.0 - grid) <= limit:
                good += 1
                fig = retold(fig, (i - at) / 48.0 - grid, "own place")
        out.append(fig)
    return head + " " + "/".join(out), good


def judge_left_out(tok, k, files, movie, mov, found_off, seen):
    """A part of another sound kind (or one without sound) part-sync took
    for a part before it, `found_off` ms from its own place, heard AUDIBLE
    there: its stretch measured again at its own place, as part-sync
    measures it (0.15 s in from each end, the loudest sample of the
    movie's first channel under 64). Where part-sync took it, the part
    before plays its own sound. Returns the token judged and 1 when the
    part's own stretch is silent."""
    token_windows(tok, k, files, movie, mov, seen)
    place = seen["places"][k] if k < len(seen["places"]) else None
    if place is None:
        return tok, 0
    at, plen, lead = place
    heard = seen["heard"]
    if not quiet_over(heard, at + found_off / 1000.0 + lead, plen):
        return tok, 0
    return re.sub(r"LEFT-OUT-AUDIBLE\((\d+)\)", r"left-out silent at its own place (part-sync: \1 where it took it)",
                  tok), 1


def stamped_places(files, stats, movie, mov):
    """Per part, where part-sync puts it in the movie (s after the movie's
    first picture) and its length by its stamps (part_lengths), or None for
    a part without pictures. Follows part-sync: a part is placed by its
    20th picture (its middle one when shorter) found in the movie after the
    one found for the part before, else after the part before; here by that
    part's length by the stamps, not part-sync's (which is a short cut's gap
    when its pictures leave one when shown)."""
    msize = movie[0][2] if movie else 0
    mvs = start_times(mov)[0]
    mpos, seen, prev, out = 0, 0, None, []
    for f, st in zip(files, stats):
        pics = sorted(picture_times(f), key=lambda x: x[0])
        if not pics:
            out.append(None)
            continue
        probe = min(20, len(pics) // 2)
        tv, h = pics[probe][0], pics[probe][3]
        j = next((i for i in range(mpos, len(movie)) if movie[i][3] == h), None) if pics[0][2] == msize else None
        if j is not None:
            mpos = j + 1
            # Found among the same pictures of a part before it (cut from one
            # recording at one place), it still lies at its own pictures, as
            # grid_shifts takes it.
            mine = seen + probe if seen + probe < len(movie) and movie[seen + probe][3] == h else j
            at = movie[mine][0] - mvs - (tv - pics[0][0])
        if pics[0][2] == msize:
            seen += len(pics)
        if j is None:
            at = prev[0] + prev[1] if prev else 0.0
        prev = (at, part_lengths(f, st)[1])
        out.append(prev)
    return out


def judge_left_out_stamped(tok, k, files, stats, movie, mov, seen):
    """A part of another sound kind part-sync hears sound over (LEFT-OUT-
    AUDIBLE), heard again over its stretch with the parts placed after the
    last one found by their lengths by the stamps (stamped_places), with
    part-sync's margins (0.15 s in from each end) and bound. A part after a
    short cut whose pictures leave a gap when shown is placed by part-sync
    as much too late, and the next part's sound, beside its own first
    picture and begun before it, then falls into the stretch. Returns the
    token judged and whether it turned good."""
    if "stamped" not in seen:
        seen["stamped"] = stamped_places(files, stats, movie, mov)
    if "heard" not in seen:
        seen["heard"] = mono_sound(mov)
    place = seen["stamped"][k] if k < len(seen["stamped"]) else None
    if place is None:
        return tok, False
    mvs, mas = start_times(mov)
    heard = seen["heard"]
    if not quiet_over(heard, place[0] + mvs - mas, place[1]):
        return tok, False
    said = re.search(r"LEFT-OUT-AUDIBLE\((\d+)\)", tok)
    return tok.replace(said.group(0), "left-out silent at its stamped place (part-sync heard %s)" % said.group(1)), True


def sound_ends_first(st):
    """Whether a part's sound, by its own stamps, ends at or before its
    first picture: none of it plays beside the part's pictures."""
    if "alow" not in st or not st.get("rate"):
        return False
    end = st["alow"] + st["samples"] * TICKS // st["rate"]
    return (st["vlow"] - end) % WRAP < WRAP // 2


def part_sync(mov, files, dump, base, stats=None, movie=None, pictures_ok=False):
    """part-sync's line, its bad count and the problems found. Given the
    parts' stats and the movie's picture times, its sound figures are
    judged without the error its frame-rounded picture times bring, and
    an AC-3 part's figures it finds out of place are measured again with a
    bound that AC-3 dither keeps to (judge_dither). With `pictures_ok`
    (the movie's pictures are the parts' as a movie that goes on shows
    them) part-sync's own comparison, of each part decoded alone, may
    differ: ffmpeg leaves out the last P picture of a short part that
    begins with an open group."""
    listing = base + ".parts.txt"
    with open(listing, "w") as f:
        f.write("".join(os.path.abspath(x) + "\n" for x in files))
    p = run([sys.executable, PART_SYNC, mov, listing, dump], cwd=ROOT)
    line = p.stdout.decode(errors="replace").strip()
    m = re.search(r"\| bad (\d+)$", line)
    bad = int(m.group(1)) if m else -1
    problems = []
    if not line.startswith("pictures EQUAL") and not (pictures_ok and line.startswith("pictures DIFFER")):
        problems.append(line.split(" | ")[0] if line else "no answer: " + p.stderr.decode(errors="replace")[-200:])
    shifts = grid_shifts(files, stats, movie) if stats is not None and movie is not None else []
    moved, seen = [], {}

    def adopt(tok, judged, good):
        """The token judged again, where it turned good, in place of the
        one listed last for it."""
        if not good:
            return tok
        if moved and moved[-1] == tok.strip():
            moved.pop()
        moved.append(judged.strip())
        return judged

    for tok in re.findall(r"p\d+\[[^\]]*\]:\S+(?: [^|]*?)??(?= p\d+\[| \|)", line):
        k = int(re.match(r"p(\d+)", tok).group(1))
        if k < len(shifts) and shifts[k] is not None:
            limit = stats[k].get("sound_packet", 0.032) * 1000 + 0.5
            judged = off_grid(tok, shifts[k], limit)
            bad += judged.count(" FAR") - tok.count(" FAR")
            if judged != tok:
                moved.append(judged.strip())
            tok = judged
            # AC-3 dither first, then a window at its stamped place (a part
            # found at its own pictures), then a window at a short part's
            # first picture, then one past the movie's end, then one in a
            # part's last picture, then a part taken for one before it at
            # its own place.
            elsewhere = abs(shifts[k][1]) >= 0.05
            for judge in (judge_dither, judge_stamped, judge_edge, judge_end, judge_tail, judge_elsewhere):
                if judge is judge_dither and not re.match(r"p\d+\[[^\]]*ac3", tok):
                    continue
                if judge is judge_stamped and elsewhere:
                    continue
                if judge is judge_elsewhere and not elsewhere:
                    continue
                if not re.search(r"FAR|NOTFOUND", tok):
                    continue
                judged, good = judge(tok, k, files, movie, mov, shifts[k] if judge is judge_elsewhere
                                     else shifts[k][0], limit, seen)
                bad -= good
                tok = adopt(tok, judged, good)
            if elsewhere and "AUDIBLE" in tok:
                judged, good = judge_left_out(tok, k, files, movie, mov, shifts[k][1], seen)
                bad -= good
                tok = adopt(tok, judged, good)
        if "LEFT-OUT-AUDIBLE" in tok and stats is not None and movie is not None:
            judged, good = judge_left_out_stamped(tok, k, files, stats, movie, mov, seen)
            bad -= int(good)
            tok = adopt(tok, judged, good)
        if "MOVIE-NO-SOUND" in tok and (re.match(r"p\d+\[[^\]]*(pcm_bluray6|0)\]", tok) or
                                        (stats is not None and k < len(stats) and sound_ends_first(stats[k]))):
            # LPCM 5.1 makes no sound track; a part without sound packets has
            # none to play, nor one whose sound ends before its first picture
            bad -= 1
        elif re.search(r"FAR|NOTFOUND|MISSING|AUDIBLE|MOVIE-NO-SOUND|no-pictures", tok):
            problems.append(tok.strip())
    if "no-pictures" in line and not any("no-pictures" in x for x in problems):
        problems.append("a part without pictures")
    if moved:
        line += " | judged again: %s | bad %d" % (" ".join(moved), bad)
    return line, bad, problems


def copy_sound_need(edits, media_scale, movie_scale):
    """Sample frames a copy's sound holds at least: what the sound edits play.
    An edit's length is its media's rounded to the movie's unit, so it may
    reach up to one unit past the media it plays (past the media's end)."""
    return sum(max(e["trackDuration"] - 1, 0) * media_scale // movie_scale for e in edits if e["mediaTime"] >= 0)


def checks_on_movie(args, res, parts, stats, mov, dump, base, files, old):
    """Pictures, rate, part-sync (and for the narrow plan played and sync)
    and copies of one imported join."""
    track = stats[0]
    sound_track = next((s for s in stats if "kind" in s), None)
    want = [h for s in stats if s["size"] == track["size"] for h in s["pictures"]]
    movie = picture_times(mov)
    got = [x[3] for x in movie]
    if got != want:
        k = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
        res["failed"]["pictures"] = "%d pictures, %d wanted, first difference at %d" % (len(got), len(want), k)
    rate = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=r_frame_rate", "-of",
                "csv=p=0", mov]).stdout.decode().strip()
    try:
        num, den = (int(x) for x in rate.split("/"))
        fps = num / den
    except ValueError:
        fps = 0
    # ffprobe guesses the rate from the pictures' times: two pictures with a
    # left-out part between them give no rate to judge.
    if len(got) >= 3 and abs(fps - track["fps"]) > 0.005 * track["fps"]:
        said = re.search(r"frame rate +([^\n]*)", res.get("stdout", ""))
        res["failed"]["rate"] = "%s, the stream's %.3f (mtsimport: frame rate %s)" % (
            rate, track["fps"], said.group(1).strip() if said else "?")
    d = json.load(open(dump))
    movie_scale = d["timeScale"]
    tracks = {t["media"]["type"]: t for t in d["tracks"] if "media" in t}
    vt, st = tracks.get("vide"), tracks.get("soun")
    res["timescale"] = movie_scale
    line, bad, problems = part_sync(mov, files, dump, base, stats, movie, got == want)
    res["partsync"] = line
    if bad != 0 or problems:
        res["failed"]["partsync"] = "bad %d: %s" % (bad, "; ".join(problems)[:400])
    vm = vt["media"]
    if old:
        played_sync(res, parts, stats, vt, st, movie_scale, track)
    # Copies hold each sample once.
    pictures = len(vm["samples"])
    lead = -1
    if st:
        edits = [e for e in st["edits"] if e["mediaTime"] >= 0]
        lead = edits[0]["mediaTime"] if edits else 0
    heard = run(["ffmpeg", "-nostdin", "-v", "error", "-i", mov, "-map", "0:a?", "-f", "s16le", "-"]).stdout if st else b""
    for ext in ("mkv", "mov"):
        copy = "%s.copy.%s" % (base, ext)
        c = run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", mov, "-map", "0:v", "-map", "0:a?", "-c", "copy", copy])
        if c.returncode != 0:
            res["failed"].setdefault("copy", "%s: %s" % (ext, c.stderr.decode(errors="replace")[-200:]))
            continue
        n_v = run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v", "-show_entries",
                   "stream=nb_read_packets", "-of", "csv=p=0", copy]).stdout.decode().strip()
        if n_v != str(pictures):
            res["failed"].setdefault("copy", "%s: %s video packets of %d" % (ext, n_v, pictures))
        if st and sound_track:
            a = run(["ffmpeg", "-nostdin", "-v", "error", "-i", copy, "-map", "0:a", "-f", "s16le", "-"]).stdout
            channels = int(run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=channels",
                                "-of", "csv=p=0", mov]).stdout.decode().strip() or 2)
            before = lead * 2 * channels if ext == "mkv" else 0
            # Every sample the sound edits play, once and in order: the copy's
            # sound is the saved movie's, as ffmpeg decodes it, up to at least
            # the edits' end. Past a last edit that ends inside a frame, ffmpeg
            # lets through a part of that frame, not as much in each container.
            rate = st["media"]["timeScale"]
            need = copy_sound_need(st["edits"], rate, movie_scale)
            if ext == "mov":
                # ffmpeg's mov muxer writes the copy's edit in milliseconds,
                # cut down: up to a millisecond of the end is not played.
                need = need * 1000 // rate * rate // 1000
            need *= 2 * channels
            body = a[before:]
            ref = heard
            if len(heard) < need:
                # ffmpeg's decode of the saved movie falls short of what its
                # edit plays (an edit inside one sound frame): the copy is
                # held against the saved sound media from the edit on, or,
                # where the copy lost the edit's start, from the media's.
                media = run(["ffmpeg", "-nostdin", "-v", "error", "-ignore_editlist", "1", "-i", mov, "-map", "0:a",
                             "-f", "s16le", "-"]).stdout
                ref = media[lead * 2 * channels:]
                if a == media[:len(a)] and len(a) >= lead * 2 * channels + need:
                    body = ref = a
            if len(body) < need or len(body) > len(ref) or body != ref[:len(body)]:
                res["failed"].setdefault("copy", "%s: %d sound bytes, %d wanted" % (ext, len(a), len(ref) + before))
        os.remove(copy)


# Sound kinds that make a sound track (LPCM 5.1 makes none).
TRACK_KINDS = (("ac3", 2), ("ac3", 6), ("lpcm", 1), ("lpcm", 2))


def played_sync(res, parts, stats, vt, st, movie_scale, track):
    """The narrow plan's own sound checks, from the dump's edits."""
    vm = vt["media"]
    shows, first = [], 0
    decode, displays = 0, []
    for smp in vm["samples"]:
        for _ in range(smp["count"]):
            displays.append(decode + smp["displayOffset"])
            decode += smp["duration"]
    for k, s in enumerate(stats):
        if s["size"] == track["size"] and first + s["frames"] <= len(displays):
            at = media_to_track(vt["edits"], min(displays[first:first + s["frames"]]), vm["timeScale"], movie_scale)
            first += s["frames"]
        else:
            at = None
        if at is None:
            at = shows[-1] + stats[k - 1]["span"] / TICKS if k else 0.0
        shows.append(at)
    # The sound track is made of the first sound of a kind that makes one.
    kind = next((s["kind"] for s in stats if s.get("kind") in TRACK_KINDS), None)
    if st and kind:
        sm = st["media"]
        rate = sm["timeScale"]
        frame = 1536 if kind[0] == "ac3" else 240
        media = 0
        for k, s in enumerate(stats):
            if s.get("kind") != kind:
                continue
            # A sample half a second into the part's pictures, by its own stamps.
            into = round((s["vlow"] + TICKS // 2 - s["alow"]) * rate / TICKS)
            at = media_to_track(st["edits"], media + into, rate, movie_scale)
            media += s["samples"]
            name = os.path.basename(parts[k])
            if at is None:
                res["failed"].setdefault("played", "part %d (%s) not played" % (k, name))
            elif abs(at - (shows[k] + 0.5)) > frame / rate + (0.5 / movie_scale if k else 0):
                res["failed"].setdefault("sync", "part %d (%s) %+.3f s off" % (k, name, at - shows[k] - 0.5))


def import_join(args, n, joined, mov, dump):
    env = dict(os.environ, AVCHD_SHM_TEST_PREFIX="joins-%d-%d-" % (os.getpid(), n))
    return run([args.mtsimport, "--mov", mov, "--dump", dump, joined], env=env)


def check(args, n, material, workdir, row=None):
    r = random.Random(args.seed * 100003 + n)
    base = os.path.join(workdir, "%04d" % n)
    recipe = []
    if row is None:
        specs = [{"src": src, "from": 0, "pictures": 0, "soundless": False, "method": "remux", "step": step,
                  "at": on_grid(start, material.stats[src]["frame"])}
                 for src, step, start in plan(r, n, material.sources, material.stats)]
    else:
        specs = wide_plan(r, row, material, args)
        for sp, start in zip(specs, starts(r, specs, material)):
            sp["at"] = start
    files, stats = [], []
    for k, sp in enumerate(specs):
        cut, st = material.cut(sp["src"], sp["from"], sp["pictures"], sp["soundless"], sp["method"])
        path = "%s_%d.m2ts" % (base, k)
        got = place_part(cut, st, sp["at"], sp["method"], path)
        recipe.append(recipe_for(sp, st, sp["at"], "p%d.m2ts" % k))
        shift = (got - st["vlow"]) % WRAP
        st = dict(st, vlow=st["vlow"] + shift, alow=st.get("alow", 0) + shift)
        sp["got"] = got
        files.append(path)
        stats.append(st)
    name = " + ".join("%s%s%s%s(%s)" % (short(sp["src"]), "@%d" % sp["from"] if sp["from"] else "",
                                         "[%d]" % sp["pictures"] if sp["pictures"] else "",
                                         "[v]" if sp["soundless"] else "", sp["step"]) for sp in specs)
    if row:
        name = "%s %s: %s" % (row["method"], "ambiguous" if any(sp.get("ambiguous") for sp in specs) else "", name)
    res = {"n": n, "name": name, "steps": {sp["step"] for sp in specs[1:]}, "failed": {}, "places": set(), "row": row}
    joined, mov, dump = base + ".m2ts", base + ".mov", base + ".json"
    datas = [open(f, "rb").read() for f in files]
    loss = row.get("loss") if row else None
    told = False
    if loss:
        text, pieces = apply_loss(r, loss, datas, specs)
        res["loss"] = text or "no place for it: imported without loss"
        recipe.append("# loss: %s (made by legal_joins.py --wide --losses --seed %d --index %d)" % (res["loss"], args.seed, n))
        told = text is not None and not loss.startswith("pinned") and not any(sp.get("untellable") for sp in specs)
        # A loss in what the movie leaves out anyway (a part of another
        # picture size, or sound of another kind than the track's) need not
        # be told: it is counted apart.
        victim = next((k for k, sp in enumerate(specs) if sp.get("victim")), None)
        if told and victim is not None:
            kind = loss.split("@")[0]
            track_kind = next((st["kind"] for st in stats if st.get("kind") in TRACK_KINDS), None)
            heard = track_kind is not None
            vs = stats[victim]
            sound_in = heard and vs.get("kind") == track_kind
            video_in = vs["size"] == stats[0]["size"]
            cut = specs[victim].get("cut_pids")
            if cut is not None:
                video_in = video_in and J.VIDEO in cut
                sound_in = sound_in and J.AUDIO in cut
            res["moot"] = not (sound_in if kind == "sound" else video_in if kind in ("cat", "gop")
                               else video_in or sound_in)
        if pieces:
            k, two = pieces
            files[k:k + 1] = ["%s_%d_a.m2ts" % (base, k), "%s_%d_b.m2ts" % (base, k)]
            datas[k:k + 1] = two
            stats[k:k + 1] = [dict(stats[k], pictures=None), dict(stats[k], pictures=None)]
        for i, (f, data) in enumerate(zip(files, datas)):
            if not os.path.exists(f) or os.path.getsize(f) != len(data):
                open(f, "wb").write(data)
                if not told:
                    stats[i] = dict(stats[i], pictures=material.pictures(f))
    if args.pat_on:
        # Every seam's PAT counter running on, as it does at one join in
        # sixteen by chance (the streams' counters break there).
        datas = J.pat_runs_on(datas)
    if told and loss == "gop@seam" and victim is not None and not J.Recording(datas[victim]).pes:
        # A part left with nothing but its tables: where neither they nor the
        # next part's begin a recording (counters running on, the same
        # program map), they are byte for byte the part before's own tables
        # sent again at its end, and the next part a legal join.
        if victim + 1 < len(datas) and not (tables_begin(datas[victim - 1] if victim else None, datas[victim]) and
                                            tables_begin(datas[victim], datas[victim + 1])):
            told = False
            res["loss"] += " (its tables alone left, as the part before's own: cannot be told)"
            # No part of the movie: the checks look for the others.
            del files[victim], stats[victim]
        names = ",".join("\"p%d.m2ts\"" % k for k in range(len(specs)))
        recipe.append("python3 -c 'import sys; sys.path.insert(0, \"%s\"); import join_parts as J; n=[%s]; "
                      "[open(f,\"wb\").write(d) for f, d in zip(n, J.pat_runs_on([open(f,\"rb\").read() for f in n]))]'"
                      % (os.path.dirname(os.path.abspath(__file__)), names))
    with open(joined, "wb") as out:
        for data in datas:
            out.write(data)
    recipe.append("cat %s > join.m2ts" % " ".join("p%d.m2ts" % k for k in range(len(specs))))
    res["recipe"] = recipe
    track = stats[0]
    for k, s in enumerate(stats):
        if s["size"] != track["size"] or s.get("kind") != track.get("kind"):
            res["places"].add("last" if k == len(stats) - 1 else "middle")
            res["places"].add("first")
    p = import_join(args, n, joined, mov, dump)
    err = p.stderr.decode(errors="replace").strip()
    res["stderr"] = err
    res["stdout"] = p.stdout.decode(errors="replace")
    if told and res.get("moot"):
        res["moot_told"] = p.returncode == 0 and "warning" in err
        return finish(args, res, joined, mov, dump, files)
    if told:
        if p.returncode != 0:
            res["failed"]["told"] = "exit %d: %s" % (p.returncode, err[-300:])
        elif "warning" not in err:
            res["failed"]["told"] = "nothing said" + (": " + err[-200:] if err else "")
        else:
            f = run(["ffmpeg", "-nostdin", "-v", "error", "-i", mov, "-f", "null", "-"])
            if f.returncode != 0:
                res["failed"]["told"] = "the movie does not open in ffmpeg: " + f.stderr.decode(errors="replace")[-200:]
        return finish(args, res, joined, mov, dump, files)
    if p.returncode == 0 and err and told_pinned(err, specs, stats):
        res["pinned_told"] = err
        err = ""
    if p.returncode != 0 or err:
        res["failed"]["warning"] = "exit %d: %s" % (p.returncode, err[-300:])
    if p.returncode != 0:
        return finish(args, res, joined, mov, dump, files)
    checks_on_movie(args, res, [sp["src"] for sp in specs], stats, mov, dump, base, files, row is None)
    return finish(args, res, joined, mov, dump, files)


def told_pinned(err, specs, stats):
    """Whether the importer's only words are the pinned loss inside a part
    told as exactly the time of the pictures taken out. The PES taken out
    leave the recording's program tables with their counters running on
    across the gap: where no sound of the track's kind steps with the
    pictures, that tells a loss in one recording from a join, and telling
    it (its time left empty in its own part) is as right as saying
    nothing."""
    k = next((i for i, sp in enumerate(specs) if sp.get("pinned_pictures")), None)
    m = re.fullmatch(r"mtsimport: warning: \S+: damaged recording: ([0-9.]+) s of video could not be read "
                     r"and are left out of the movie", err.strip())
    if k is None or not m:
        return False
    # The pieces' stats are those of the part they were cut from.
    frame = stats[k]["frame"] / TICKS
    return abs(float(m.group(1)) - specs[k]["pinned_pictures"] * frame) <= 0.0005


def guarded(args, n, material, workdir, row):
    """One join; a join the campaign itself cannot make counts as failing
    with the reason."""
    try:
        return check(args, n, material, workdir, row)
    except Exception as e:  # noqa: BLE001 - reported with the join
        return {"n": n, "name": "join %d" % n, "steps": set(), "places": set(), "row": row,
                "failed": {"campaign": "%s: %s" % (type(e).__name__, str(e)[-300:])}}


def finish(args, res, joined, mov, dump, files):
    if args.keep and res["failed"]:
        keep = os.path.join(args.keep, "%04d" % res["n"])
        os.makedirs(keep, exist_ok=True)
        for f in [joined, dump] + files:
            if os.path.exists(f):
                shutil.copy(f, keep)
        with open(os.path.join(keep, "make.sh"), "w") as f:
            f.write("\n".join(res["recipe"]) + "\n")
        with open(os.path.join(keep, "result.txt"), "w") as f:
            f.write("%s\nloss: %s\n%s\nstderr: %s\npart-sync: %s\n" % (
                res["name"], res.get("loss", "none"), json.dumps(res["failed"], indent=1), res.get("stderr", ""),
                res.get("partsync", "")))
    for f in [joined, mov, dump] + files + [joined[:-5] + ".parts.txt"]:
        if os.path.exists(f):
            os.remove(f)
    return res


def report(results, rows, args, coverage):
    checks = ["warning", "told", "pictures", "rate", "played", "sync", "partsync", "copy", "campaign"]
    failed = [x for x in results if x["failed"]]
    print("joins: %d, passing every check: %d" % (len(results), len(results) - len(failed)))
    for c in checks:
        print("  %-9s failed %3d" % (c, sum(1 for x in results if c in x["failed"])))
    moot = [x for x in results if x.get("moot")]
    if moot:
        print("  losses only in what the movie leaves out (not counted): %d, told %d"
              % (len(moot), sum(1 for x in moot if x.get("moot_told"))))
    if rows:
        print("pairs of dimension values covered: %d of %d" % coverage)
        for dim in rows[0]:
            print("by %s (joins / failing: per check):" % dim)
            for v in sorted({x["row"][dim] for x in results}, key=str):
                of = [x for x in results if x["row"][dim] == v]
                print("  %-34s %3d / %3d  %s" % (v, len(of), sum(1 for x in of if x["failed"]),
                                                 " ".join("%s %d" % (c, sum(1 for x in of if c in x["failed"]))
                                                          for c in checks if any(c in x["failed"] for x in of))))
    else:
        print("by step between parts (joins with that step / failing):")
        for step in STEPS:
            of = [x for x in results if step in x["steps"]]
            print("  %-9s %3d / %3d  %s" % (step, len(of), sum(1 for x in of if x["failed"]),
                                            " ".join("%s %d" % (c, sum(1 for x in of if c in x["failed"])) for c in checks)))
        print("by place of a part of another size or sound kind:")
        for place in ("first", "middle", "last"):
            of = [x for x in results if place in x["places"]]
            print("  %-9s %3d / %3d" % (place, len(of), sum(1 for x in of if x["failed"])))
    shapes = {}
    for x in results:
        if x.get("loss"):
            shape = re.sub(r"\d+", "N", re.sub(r", PTS \d+", "", x["loss"]))
            shape = re.sub(r"first N bytes \(tail -c \+N\)", "first N bytes", shape)
            shapes.setdefault("%s: %s" % (x["row"]["loss"], shape), []).append(x)
    if shapes:
        print("by loss shape (joins / failing / left-out media):")
        for shape, of in sorted(shapes.items()):
            print("  %-100s %3d / %3d / %3d" % (shape[:100], len(of), sum(1 for x in of if x["failed"]),
                                                 sum(1 for x in of if x.get("moot"))))
    for x in failed:
        print("  #%d %s%s: %s" % (x["n"], x["name"], " LOSS " + x["loss"] if x.get("loss") else "",
                                  "; ".join("%s: %s" % kv for kv in sorted(x["failed"].items()))))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mtsimport")
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=66)
    ap.add_argument("--keep", help="folder to keep the joins that fail (recording, dump, parts, make.sh)")
    ap.add_argument("--wide", action="store_true", help="every combination of parts, steps, kinds and places")
    ap.add_argument("--losses", action="store_true", help="with --wide: one loss in each join")
    ap.add_argument("--parts", default="2-40", help="with --wide: the range of part counts (LO-HI)")
    ap.add_argument("--index", help="only these joins of the run (N,N,...), as the whole run makes them")
    ap.add_argument("--pat-on", action="store_true", help="every seam's PAT counter running on (streams' breaking)")
    args = ap.parse_args()
    args.parts = tuple(int(x) for x in args.parts.split("-")) if "-" in args.parts else (int(args.parts),) * 2
    if args.losses:
        args.wide = True
    folder = os.path.join(os.environ.get("AVCHD_TESTDATA", ""), "avchd")
    sources = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".m2ts")) \
        if os.path.isdir(folder) else []
    sources = [s for s in sources if os.path.exists(s[:-len(".m2ts")] + ".video.framemd5")]
    if not sources:
        sys.exit("no recordings in %s (set AVCHD_TESTDATA)" % folder)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    wanted = range(args.count) if not args.index else [int(x) for x in args.index.split(",")]
    with tempfile.TemporaryDirectory(prefix="legal_joins_") as workdir:
        material = Material(sources, workdir)
        rows, coverage = None, None
        if args.wide:
            rows, total, covered = covering_rows(dimensions(material, args), args.count, random.Random(args.seed),
                                                 blocked_changes(material))
            coverage = (covered, total)
        with ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda n: guarded(args, n, material, workdir, rows[n] if rows else None), wanted))
    report(results, rows, args, coverage)
    return 1 if any(x["failed"] for x in results) else 0


if __name__ == "__main__":
    sys.exit(main())
