#!/usr/bin/env python3
"""Region-replacement storm for mtsimport --mov.

While imports run, another process of the same user copies one of the record
store's shared-memory regions (the directory or a record, picked at random)
and renames the copy over its name (the same bytes, a new region), every 0 to
20 ms. Several imports run at once, each importing and saving one of the
AVCHD recordings in $AVCHD_TESTDATA/avchd with `mtsimport --mov`. Every
recording is first saved once without the storm; a run under the storm must
then either end with exit 0 and the same movie, or fail (exit 1) with a
message. With --scribble, every other strike writes 64 random bytes at a
random place of the region instead. Counts:
  - movies identical to the quiet run,
  - runs refused with a message,
  - movies that differ from the quiet run although mtsimport exited 0
    (must be 0),
  - runs ended by a signal (must be 0).

The store's regions are given a prefix of their own (AVCHD_SHM_TEST_PREFIX),
so the machine's real regions are never touched.

usage: region_storm.py MTSIMPORT [--count N] [--jobs J] [--seed S] [--scribble]
Exits 1 when a count that must be 0 is not.
"""
import argparse
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor


def scribble(name, r):
    """Writes 64 random bytes at a random place of region `name`."""
    try:
        with open(name, "r+b") as f:
            size = os.fstat(f.fileno()).st_size
            if size > 64:
                f.seek(r.randrange(size - 64))
                f.write(bytes(r.randrange(256) for _ in range(64)))
                return True
    except OSError:
        pass
    return False


def replace_regions(prefix, stop, seed, counter, scribbles):
    """Copies a region of the store and renames the copy over its name (or
    scribbles on it)."""
    r = random.Random(seed)
    while not stop.is_set():
        names = [n for n in glob.glob("/dev/shm/" + prefix + "QORVEXImporterShm*") if not n.endswith(".storm")]
        if names and scribbles and r.random() < 0.5:
            counter[0] += scribble(r.choice(names), r)
        elif names:
            name = r.choice(names)
            copy = name + ".storm"
            try:
                shutil.copyfile(name, copy)
                os.chmod(copy, 0o600)
                os.rename(copy, name)
                counter[0] += 1
            except OSError:
                try:
                    os.unlink(copy)
                except OSError:
                    pass
        time.sleep(r.uniform(0, 0.020))


def save(mtsimport, recording, movie, env):
    p = subprocess.run([mtsimport, "--mov", movie, recording], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=300)
    data = None
    if p.returncode == 0 and os.path.exists(movie):
        with open(movie, "rb") as f:
            data = f.read()
    if os.path.exists(movie):
        os.unlink(movie)
    return p.returncode, p.stderr.decode(errors="replace"), data


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mtsimport")
    ap.add_argument("--count", type=int, default=600)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=41)
    ap.add_argument("--scribble", action="store_true")
    a = ap.parse_args()
    data = os.environ.get("AVCHD_TESTDATA")
    if not data:
        sys.exit("AVCHD_TESTDATA is not set")
    recordings = sorted(p for p in glob.glob(os.path.join(data, "avchd", "*.m2ts")))
    if not recordings:
        sys.exit("no recordings in $AVCHD_TESTDATA/avchd")
    prefix = "storm%d-" % os.getpid()
    env = dict(os.environ, AVCHD_SHM_TEST_PREFIX=prefix)
    work = tempfile.mkdtemp(prefix="region_storm_")
    try:
        quiet = {}
        for rec in recordings:
            code, said, movie = save(a.mtsimport, rec, os.path.join(work, "quiet.mov"), env)
            if code != 0:
                sys.exit("%s: the quiet run failed: %s" % (rec, said.strip()))
            quiet[rec] = movie

        stop = threading.Event()
        replaced = [0]
        storm = threading.Thread(target=replace_regions, args=(prefix, stop, a.seed, replaced, a.scribble))
        storm.start()
        r = random.Random(a.seed)
        runs = [(i, r.choice(recordings)) for i in range(a.count)]

        def one(run):
            i, rec = run
            return rec, save(a.mtsimport, rec, os.path.join(work, "storm%d.mov" % i), env)

        counts = {"identical": 0, "refused": 0, "wrong": 0, "signal": 0}
        messages = {}
        try:
            with ThreadPoolExecutor(max_workers=a.jobs) as pool:
                for rec, (code, said, movie) in pool.map(one, runs):
                    if code < 0:
                        counts["signal"] += 1
                        print("signal %d: %s" % (-code, rec))
                    elif code != 0:
                        counts["refused"] += 1
                        line = said.strip().splitlines()[-1] if said.strip() else "(no message)"
                        key = line.split(": ", 2)[-1]
                        messages[key] = messages.get(key, 0) + 1
                    elif movie == quiet[rec]:
                        counts["identical"] += 1
                    else:
                        counts["wrong"] += 1
                        print("wrong movie, exit 0: %s" % rec)
        finally:
            stop.set()
            storm.join()
        print("%d runs, %d regions %s meanwhile" % (a.count, replaced[0],
                                                    "replaced or scribbled on" if a.scribble else "replaced"))
        for k in ("identical", "refused", "wrong", "signal"):
            print("  %-9s %d" % (k, counts[k]))
        for m, n in sorted(messages.items(), key=lambda x: -x[1]):
            print("  refused %4d: %s" % (n, m))
        return 1 if counts["wrong"] or counts["signal"] else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)
        for n in glob.glob("/dev/shm/" + prefix + "*"):
            try:
                os.unlink(n)
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())
