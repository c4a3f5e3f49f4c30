#!/usr/bin/env python3
"""Damaged recordings against the importer's damage warning.

Makes damaged copies of the 1080i and MBAFF recordings in
$AVCHD_TESTDATA/avchd, each from a seed, of five kinds:
  duplicate  packets sent a second time right after themselves
  cut        one stretch of packets taken out of the middle
  truncate   the file cut at a random byte
  drop       packets lost here and there (up to 3 % of them)
  timestamp  the PTS (and DTS) bytes of some PES starts overwritten
Every MTSIMPORT given imports each and saves it as a movie (--mov), and
ffmpeg (`ffmpeg -v error -i MOVIE -f null -`) decodes the movie. Counts per
kind and mtsimport the movies in which ffmpeg's decoders log errors, and of
them those whose import said nothing on standard error (exit 0): the damage
the import keeps silent about.

usage: recording_damage.py MTSIMPORT [MTSIMPORT ...] [--count N] [--jobs J] [--seed S]
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from damage_campaign import PACKET, packets, duplicate, truncate  # noqa: E402

SOURCES = ["avchd_1080i_10s_ac3_20_avchd.m2ts", "small_mbaff_ac3_20_avchd.m2ts"]
VIDEO_PID, AUDIO_PID = 0x1011, 0x1100


def cut(data, r):
    p = packets(data)
    n = r.randint(1, max(1, len(p) // 50))
    at = r.randrange(len(p) // 10, len(p) - n)
    return b"".join(p[:at] + p[at + n:])


def drop(data, r):
    p = packets(data)
    for _ in range(r.randint(1, max(1, len(p) * 3 // 100))):
        del p[r.randrange(len(p))]
    return b"".join(p)


def timestamp(data, r):
    """Overwrites the time stamps of 1-5 PES starts of the two streams."""
    b = bytearray(data)
    starts = []
    for at in range(0, len(b) - PACKET + 1, PACKET):
        h = b[at + 4:at + 8]
        pid = (h[1] & 0x1F) << 8 | h[2]
        if h[0] == 0x47 and h[1] & 0x40 and pid in (VIDEO_PID, AUDIO_PID) and h[3] & 0x10:
            starts.append(at)
    for at in r.sample(starts, min(len(starts), r.randint(1, 5))):
        area = at + 8
        if b[at + 7] & 0x20:
            area += 1 + b[at + 8]
        flags = b[area + 7] >> 6
        stamps = 10 if flags == 3 else 5 if flags == 2 else 0
        for k in range(stamps):
            b[area + 9 + k] = r.randrange(256)
    return bytes(b)


KINDS = {"duplicate": duplicate, "cut": cut, "truncate": truncate, "drop": drop, "timestamp": timestamp}


# Lines of ffmpeg's decoders (not of its muxer, which complains of times).
DECODER = re.compile(r"^\[(h264|ac3|eac3|pcm_\w+) @")


def run_one(args, kind, n, source, workdir):
    r = random.Random(args.seed * 100003 + n * 7 + list(KINDS).index(kind))
    path = os.path.join(workdir, "%s_%03d_%s" % (kind, n, os.path.basename(source)))
    with open(path, "wb") as f:
        f.write(KINDS[kind](open(source, "rb").read(), r))
    result = {"kind": kind, "errors": [], "silent": []}
    for i, tool in enumerate(args.mtsimport):
        mov = "%s.%d.mov" % (path, i)
        env = dict(os.environ, AVCHD_SHM_TEST_PREFIX="damage-%d-%s-%d-%d-" % (os.getpid(), kind, n, i))
        p = subprocess.run([tool, "--mov", mov, path], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           timeout=900)
        errors = False
        if p.returncode == 0:
            f = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", mov, "-f", "null", "-"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=900)
            errors = any(DECODER.match(l) for l in f.stderr.decode(errors="replace").splitlines())
        result["errors"].append(errors)
        result["silent"].append(p.returncode == 0 and not p.stderr.strip())
        if os.path.exists(mov):
            os.remove(mov)
    os.remove(path)
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mtsimport", nargs="+")
    ap.add_argument("--count", type=int, default=10, help="recordings per kind and source")
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=46)
    args = ap.parse_args()
    folder = os.path.join(os.environ.get("AVCHD_TESTDATA", ""), "avchd")
    sources = [os.path.join(folder, s) for s in SOURCES]
    if not all(os.path.exists(s) for s in sources):
        sys.exit("the 1080i and MBAFF recordings are not in %s (set AVCHD_TESTDATA)" % folder)
    jobs = [(k, n, s) for k in KINDS for s in sources for n in range(args.count)]
    with tempfile.TemporaryDirectory(prefix="recording_damage_") as workdir:
        with ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda j: run_one(args, j[0], j[1], j[2], workdir), jobs))
    print("%-10s %10s  %s" % ("kind", "recordings", "saved with decode errors in the movie, of them silent (per mtsimport)"))
    for kind in KINDS:
        of = [x for x in results if x["kind"] == kind]
        cells = []
        for i in range(len(args.mtsimport)):
            errors = [x for x in of if x["errors"][i]]
            cells.append("%d/%d" % (sum(1 for x in errors if x["silent"][i]), len(errors)))
        print("%-10s %10d  %s" % (kind, len(of), "  ".join(cells)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
