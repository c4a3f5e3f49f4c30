#!/usr/bin/env python3
"""Damaged-recording campaign for mtsimport --mov.

Makes damaged copies of the AVCHD recordings in $AVCHD_TESTDATA/avchd
(packets sent twice, dropped, shuffled within a window or across the whole
file, bytes flipped, the file cut short, recordings joined), each from a
seed, imports and saves each with `mtsimport --mov`, and opens every saved
movie with `ffmpeg -v error -i MOVIE -f null -`. Counts:
  - imports refused (allowed: the recording may be beyond use),
  - saves that fail after a successful import (must be 0),
  - runs ended by a signal (must be 0),
  - saved movies that ffmpeg cannot open (must be 0).

usage: damage_campaign.py MTSIMPORT [--count N] [--jobs J] [--seed S] [--keep DIR]
Exits 1 when a count that must be 0 is not.
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

PACKET = 192


def packets(data):
    return [data[i:i + PACKET] for i in range(0, len(data) - len(data) % PACKET, PACKET)]


def duplicate(data, r):
    p = packets(data)
    for _ in range(r.randint(1, 60)):
        i = r.randrange(len(p))
        p.insert(i, p[i])
    return b"".join(p)


def drop(data, r):
    p = packets(data)
    for _ in range(r.randint(1, 60)):
        del p[r.randrange(len(p))]
    return b"".join(p)


def shuffle_window(data, r):
    p = packets(data)
    w = r.choice([2, 3, 4, 8, 16, 64])
    for s in range(0, len(p), w):
        c = p[s:s + w]
        r.shuffle(c)
        p[s:s + w] = c
    return b"".join(p)


def shuffle_all(data, r):
    p = packets(data)
    r.shuffle(p)
    return b"".join(p)


def flip(data, r):
    b = bytearray(data)
    for _ in range(r.randint(1, 200)):
        b[r.randrange(len(b))] ^= 1 << r.randrange(8)
    return bytes(b)


def truncate(data, r):
    return data[:r.randrange(PACKET * 8, len(data))]


def join(data, r, sources):
    parts = [data]
    for _ in range(r.randint(1, 3)):
        other = open(r.choice(sources), "rb").read()
        if r.random() < 0.5:
            other = other[:r.randrange(PACKET, len(other))]  # a cut part, possibly mid-packet
        parts.append(other)
    return b"".join(parts)


KINDS = ["duplicate", "drop", "shuffle_window", "shuffle_all", "flip", "truncate", "join"]


def make(kind, data, r, sources):
    if kind == "join":
        return join(data, r, sources)
    out = globals()[kind](data, r)
    if r.random() < 0.2:  # now and then a second kind on top
        second = r.choice([k for k in KINDS if k != "join"])
        out = globals()[second](out, r)
        kind += "+" + second
    return out


def run_one(args, n, sources, workdir):
    r = random.Random(args.seed * 100003 + n)
    source = sources[n % len(sources)]
    kind = KINDS[(n // len(sources)) % len(KINDS)]
    damaged = make(kind, open(source, "rb").read(), r, sources)
    name = "%04d_%s_%s" % (n, kind.split("+")[0], os.path.basename(source))
    path = os.path.join(workdir, name)
    mov = path + ".mov"
    with open(path, "wb") as f:
        f.write(damaged)
    env = dict(os.environ, AVCHD_SHM_TEST_PREFIX="campaign-%d-%d-" % (os.getpid(), n))
    p = subprocess.run([args.mtsimport, "--mov", mov, path], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=600)
    err = p.stderr.decode(errors="replace")
    result = {"name": name, "kind": kind, "exit": p.returncode, "opened": None, "why": ""}
    if p.returncode < 0:
        result["why"] = "signal %d" % -p.returncode
    elif p.returncode != 0:
        result["why"] = [l for l in err.splitlines() if l.startswith("mtsimport:")][-1:] or err[-200:]
    else:
        f = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", mov, "-f", "null", "-"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
        result["opened"] = f.returncode == 0
        if not result["opened"]:
            result["why"] = f.stderr.decode(errors="replace")[-300:]
    keep = args.keep and (result["why"] or p.returncode != 0)
    if keep:
        os.replace(path, os.path.join(args.keep, name))
    for f in (path, mov):
        if os.path.exists(f):
            os.remove(f)
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mtsimport")
    ap.add_argument("--count", type=int, default=560)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=35)
    ap.add_argument("--keep", help="folder to keep the recordings that did not pass")
    args = ap.parse_args()
    root = os.environ.get("AVCHD_TESTDATA", "")
    folder = os.path.join(root, "avchd")
    sources = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".m2ts"))
    if not sources:
        sys.exit("no recordings in %s (set AVCHD_TESTDATA)" % folder)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="damage_campaign_") as workdir:
        with ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda n: run_one(args, n, sources, workdir), range(args.count)))
    refused = [x for x in results if x["exit"] > 0 and "cannot save" not in str(x["why"])]
    failed_saves = [x for x in results if x["exit"] > 0 and "cannot save" in str(x["why"])]
    signalled = [x for x in results if x["exit"] < 0]
    not_opened = [x for x in results if x["opened"] is False]
    print("recordings: %d" % len(results))
    for kind in KINDS:
        of = [x for x in results if x["kind"].startswith(kind)]
        print("  %-15s %4d  saved %4d  refused %3d" % (kind, len(of), sum(1 for x in of if x["exit"] == 0),
                                                       sum(1 for x in of if x["exit"] > 0)))
    print("imports refused: %d" % len(refused))
    print("saves failed after a successful import: %d" % len(failed_saves))
    print("runs ended by a signal: %d" % len(signalled))
    print("saved movies ffmpeg cannot open: %d" % len(not_opened))
    for x in failed_saves + signalled + not_opened:
        print("  %s: %s" % (x["name"], x["why"]))
    for x in refused[:10]:
        print("  refused %s: %s" % (x["name"], x["why"]))
    return 1 if failed_saves or signalled or not_opened else 0


if __name__ == "__main__":
    sys.exit(main())
