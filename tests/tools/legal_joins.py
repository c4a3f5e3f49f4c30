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
  played    every part of the sound track's kind is played
  sync      ... its sound where its own time stamps put it beside its first
            picture, within one sound frame (AC-3 1536, LPCM 240 samples:
            the track's sound starts with a whole frame), and for a part
            after the first half a movie unit more (its edit starts on a
            whole unit of the movie's time scale)
  copy      ffmpeg -c copy of the saved movie to .mkv and .mov holds each
            picture and each sound sample once (Matroska: plus the media
            before the sound's first edit)
and counted per check, per kind of step between the parts, and per place
(first, middle, last) of a part of another size or sound kind.

usage: legal_joins.py MTSIMPORT [--count N] [--jobs J] [--seed S] [--keep DIR]
Exits 1 when any join fails a check.
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

WRAP = 1 << 33
TICKS = 90000
STEPS = ["back", "jump", "on", "seamless", "wrap"]


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600, **kw)


def probe(path):
    """Stamps and sizes of a recording: video PTS range, frames and frame
    ticks, picture size; the first sound PTS, its kind and sample frames."""
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
    r = {"size": (video["width"], video["height"]), "frame": frame, "frames": len(vpts),
         "vlow": min(vpts), "span": max(vpts) + frame - min(vpts)}
    if audio:
        apk = [p for p in info["packets"] if p["stream_index"] == audio["index"] and "pts" in p]
        rate = int(audio["sample_rate"])
        r["kind"] = ("ac3" if audio["codec_name"] == "ac3" else "lpcm", int(audio["channels"]))
        r["rate"] = rate
        r["alow"] = int(apk[0]["pts"])
        r["samples"] = sum(round(int(p["duration"]) * rate / TICKS) for p in apk)
    return r


def reference_pictures(path):
    ref = path[:-len(".m2ts")] + ".video.framemd5"
    return [l.split(",")[-1].strip() for l in open(ref) if l.strip() and not l.startswith("#")]


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


def make_part(src, start, stats, path):
    offset = (start - stats[src]["vlow"]) % WRAP
    if offset == 0:
        shutil.copyfile(src, path)
        return
    p = run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", src, "-map", "0", "-c", "copy",
             "-output_ts_offset", "%.6f" % (offset / TICKS), "-streamid", "0:0x1011", "-streamid", "1:0x1100",
             "-mpegts_m2ts_mode", "1", "-f", "mpegts", path])
    if p.returncode != 0:
        raise RuntimeError(p.stderr.decode(errors="replace"))


def media_to_track(edits, media, media_scale, movie_scale):
    """Track time (seconds) at which media time `media` plays, or None."""
    for e in edits:
        if e["mediaTime"] < 0:
            continue
        length = e["trackDuration"] * media_scale / movie_scale
        if e["mediaTime"] <= media < e["mediaTime"] + length:
            return e["trackStart"] / movie_scale + (media - e["mediaTime"]) / media_scale
    return None


def check(args, n, sources, stats, workdir):
    r = random.Random(args.seed * 100003 + n)
    parts = plan(r, n, sources, stats)
    base = os.path.join(workdir, "%04d" % n)
    files = []
    for k, (src, step, start) in enumerate(parts):
        files.append("%s_%d.m2ts" % (base, k))
        make_part(src, start, stats, files[-1])
    joined, mov, dump = base + ".m2ts", base + ".mov", base + ".json"
    with open(joined, "wb") as out:
        for f in files:
            out.write(open(f, "rb").read())
    for f in files:
        os.remove(f)
    name = " + ".join("%s(%s)" % (os.path.basename(s)[:-len("_avchd.m2ts")], step) for s, step, _ in parts)
    env = dict(os.environ, AVCHD_SHM_TEST_PREFIX="joins-%d-%d-" % (os.getpid(), n))
    p = run([args.mtsimport, "--mov", mov, "--dump", dump, joined], env=env)
    res = {"name": name, "steps": {st for _, st, _ in parts[1:]}, "failed": {}, "places": set()}
    track = stats[parts[0][0]]
    # A part of another size or sound kind than the track's (the first's);
    # first: the first part's differ from a later part's.
    for k, (src, _, _) in enumerate(parts):
        s = stats[src]
        if s["size"] != track["size"] or s.get("kind") != track.get("kind"):
            res["places"].add("last" if k == len(parts) - 1 else "middle")
            res["places"].add("first")
    err = p.stderr.decode(errors="replace").strip()
    if p.returncode != 0 or err:
        res["failed"]["warning"] = "exit %d: %s" % (p.returncode, err[-300:])
    if p.returncode != 0:
        return finish(args, res, joined, mov, dump)
    # Pictures: the parts of the track's size, each once, in order.
    want = [h for src, _, _ in parts if stats[src]["size"] == track["size"] for h in stats[src]["pictures"]]
    f = run(["ffmpeg", "-nostdin", "-v", "error", "-i", mov, "-map", "0:v:0", "-fps_mode", "passthrough",
             "-f", "framemd5", "-"])
    got = [l.split(",")[-1].strip() for l in f.stdout.decode().splitlines() if l.strip() and not l.startswith("#")]
    if got != want:
        res["failed"]["pictures"] = "%d pictures, %d wanted" % (len(got), len(want))
    d = json.load(open(dump))
    movie_scale = d["timeScale"]
    tracks = {t["media"]["type"]: t for t in d["tracks"] if "media" in t}
    vt, st = tracks.get("vide"), tracks.get("soun")
    # Where each part's first picture shows (seconds): from the video track
    # for parts of its size, else where the part before ends.
    shows, first = [], 0
    vm = vt["media"]
    decode, displays = 0, []
    for smp in vm["samples"]:
        for _ in range(smp["count"]):
            displays.append(decode + smp["displayOffset"])
            decode += smp["duration"]
    for k, (src, _, _) in enumerate(parts):
        s = stats[src]
        if s["size"] == track["size"] and first + s["frames"] <= len(displays):
            at = media_to_track(vt["edits"], min(displays[first:first + s["frames"]]), vm["timeScale"], movie_scale)
            first += s["frames"]
        else:
            at = None
        if at is None:
            at = shows[-1] + stats[parts[k - 1][0]]["span"] / TICKS if k else 0.0
        shows.append(at)
    # Sound: each part of the track's kind, in the media in file order.
    if st and "kind" in track:
        sm = st["media"]
        rate = sm["timeScale"]
        frame = 1536 if track["kind"][0] == "ac3" else 240
        media = 0
        for k, (src, _, _) in enumerate(parts):
            s = stats[src]
            if s.get("kind") != track["kind"]:
                continue
            # A sample half a second into the part's pictures, by its own stamps.
            into = round((s["vlow"] + TICKS // 2 - s["alow"]) * rate / TICKS)
            at = media_to_track(st["edits"], media + into, rate, movie_scale)
            media += s["samples"]
            if at is None:
                res["failed"].setdefault("played", "part %d (%s) not played" % (k, os.path.basename(src)))
            elif abs(at - (shows[k] + 0.5)) > frame / rate + (0.5 / movie_scale if k else 0):
                res["failed"].setdefault("sync", "part %d (%s) %+.3f s off" % (k, os.path.basename(src),
                                                                            at - shows[k] - 0.5))
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
        if st:
            a = run(["ffmpeg", "-nostdin", "-v", "error", "-i", copy, "-map", "0:a", "-f", "s16le", "-"]).stdout
            channels = track["kind"][1] if track["kind"][0] == "ac3" else 2
            before = lead * 2 * channels if ext == "mkv" else 0
            # Every sample the sound edits play, once and in order: the copy's
            # sound is the saved movie's, as ffmpeg decodes it, up to at least
            # the edits' end. Past a last edit that ends inside a frame, ffmpeg
            # lets through a part of that frame, not as much in each container.
            played = sum(e["trackDuration"] for e in st["edits"] if e["mediaTime"] >= 0)
            need = played * st["media"]["timeScale"] // movie_scale * 2 * channels
            body = a[before:]
            if len(body) < need or len(body) > len(heard) or body != heard[:len(body)]:
                res["failed"].setdefault("copy", "%s: %d sound bytes, %d wanted" % (ext, len(a), len(heard) + before))
        os.remove(copy)
    return finish(args, res, joined, mov, dump)


def finish(args, res, joined, mov, dump):
    if args.keep and res["failed"]:
        for f in (joined, dump):
            if os.path.exists(f):
                shutil.copy(f, args.keep)
    for f in (joined, mov, dump):
        if os.path.exists(f):
            os.remove(f)
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mtsimport")
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=66)
    ap.add_argument("--keep", help="folder to keep the joins that fail (recording and dump)")
    args = ap.parse_args()
    folder = os.path.join(os.environ.get("AVCHD_TESTDATA", ""), "avchd")
    sources = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".m2ts")) \
        if os.path.isdir(folder) else []
    sources = [s for s in sources if os.path.exists(s[:-len(".m2ts")] + ".video.framemd5")]
    if not sources:
        sys.exit("no recordings in %s (set AVCHD_TESTDATA)" % folder)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    stats = {}
    for s in sources:
        stats[s] = probe(s)
        stats[s]["pictures"] = reference_pictures(s)
    with tempfile.TemporaryDirectory(prefix="legal_joins_") as workdir:
        with ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda n: check(args, n, sources, stats, workdir), range(args.count)))
    checks = ["warning", "pictures", "played", "sync", "copy"]
    failed = [x for x in results if x["failed"]]
    print("joins: %d, passing every check: %d" % (len(results), len(results) - len(failed)))
    for c in checks:
        print("  %-9s failed %3d" % (c, sum(1 for x in results if c in x["failed"])))
    print("by step between parts (joins with that step / failing):")
    for step in STEPS:
        of = [x for x in results if step in x["steps"]]
        print("  %-9s %3d / %3d  %s" % (step, len(of), sum(1 for x in of if x["failed"]),
                                        " ".join("%s %d" % (c, sum(1 for x in of if c in x["failed"])) for c in checks)))
    print("by place of a part of another size or sound kind:")
    for place in ("first", "middle", "last"):
        of = [x for x in results if place in x["places"]]
        print("  %-9s %3d / %3d" % (place, len(of), sum(1 for x in of if x["failed"])))
    for x in failed:
        print("  %s: %s" % (x["name"], "; ".join("%s: %s" % kv for kv in sorted(x["failed"].items()))))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
