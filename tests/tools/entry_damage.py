#!/usr/bin/env python3
"""One-byte changes of written frame-index entries, during and after imports.

during: `mtsimport --idle --mov` runs; another process flips one byte of one
        written entry of its record region at a random moment; the movie must
        be the quiet run's or the run refused with words.
after:  `shm_peer import` holds an import; one byte of one written entry is
        flipped; a new `shm_peer read` reads every entry's sample (as sound and
        as video); each read must give the undamaged bytes or be refused.
Regions carry a test prefix (AVCHD_SHM_TEST_PREFIX): never the machine's.
usage: entry_damage.py during MTSIMPORT N SEED | after SHM_PEER N SEED
(recordings: $AVCHD_TESTDATA/avchd/*.m2ts; "during" wants recordings of over
64 MiB, so that the import goes on in idle calls). Exits 1 when a movie or a
read differs without a refusal.
"""
import glob, os, random, struct, subprocess, sys, tempfile, threading, time

NOTYET = -(1 << 63)


def entries(path):
    data = open(path, "rb").read()
    cap = struct.unpack_from("<i", data, 1032)[0]
    out = []
    for s in range(cap):
        k, v, n = struct.unpack_from("<qqi", data, 1044 + 20 * s)
        if k >= 0:
            out.append((s, k, v, n))
    return out


def flip(path, r, written_only=True):
    es = [e for e in entries(path) if not written_only or e[2] != NOTYET]
    if not es:
        return None
    s = r.choice(es)[0]
    at = 1044 + 20 * s + r.randrange(20)
    with open(path, "r+b") as f:
        f.seek(at)
        b = f.read(1)[0]
        f.seek(at)
        f.write(bytes([b ^ r.randrange(1, 256)]))
    return at, b


def recordings():
    return sorted(glob.glob(os.path.join(os.environ["AVCHD_TESTDATA"], "avchd", "*.m2ts")))


def during(mtsimport, n, seed):
    r = random.Random(seed)
    tmp = tempfile.mkdtemp()
    quiet = {}
    for rec in recordings():
        mov = os.path.join(tmp, "q.mov")
        env = dict(os.environ, AVCHD_SHM_TEST_PREFIX="edq%d" % os.getpid())
        t = time.time()
        p = subprocess.run([mtsimport, "--idle", "--mov", mov, rec], env=env, capture_output=True)
        if p.returncode == 0:
            quiet[rec] = (open(mov, "rb").read(), time.time() - t)
    counts = dict(same=0, refused=0, wrong=0, signal=0, missed=0)
    words = {}
    for i in range(n):
        rec = r.choice(sorted(quiet))
        prefix = "ed%d_%d" % (os.getpid(), i)
        env = dict(os.environ, AVCHD_SHM_TEST_PREFIX=prefix)
        mov = os.path.join(tmp, "d.mov")
        p = subprocess.Popen([mtsimport, "--idle", "--mov", mov, rec], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        delay = r.uniform(0, 0.8 * quiet[rec][1])
        done = [False]
        def damage():
            t0 = time.time()
            while p.poll() is None:
                names = [x for x in glob.glob("/dev/shm/" + prefix + "QORVEXImporterShm0*")]
                if names and time.time() - t0 >= delay:
                    try:
                        done[0] = flip(names[0], r) is not None
                    except (OSError, IndexError, struct.error):
                        pass
                    if done[0]:
                        return
                time.sleep(0.0002)
        th = threading.Thread(target=damage)
        th.start()
        err = p.stderr.read().decode(errors="replace")
        p.wait()
        th.join()
        if not done[0]:
            counts["missed"] += 1
        elif p.returncode < 0:
            counts["signal"] += 1
        elif p.returncode == 0:
            same = open(mov, "rb").read() == quiet[rec][0]
            counts["same" if same else "wrong"] += 1
        else:
            counts["refused"] += 1
            w = err.strip().splitlines()[-1] if err.strip() else "(no words)"
            words[w] = words.get(w, 0) + 1
        if os.path.exists(mov):
            os.unlink(mov)
    print(counts)
    for w, c in sorted(words.items(), key=lambda x: -x[1])[:8]:
        print(c, w[:300])
    return counts["wrong"] + counts["signal"]


def after(peer, n, seed):
    r = random.Random(seed)
    counts = dict(unchanged=0, refused=0, wrong=0, changes=0, reader_refused=0)
    prefix = "eda%d" % os.getpid()
    env = dict(os.environ, AVCHD_SHM_TEST_PREFIX=prefix)
    recs = recordings()
    for i in range(n):
        rec = recs[i % len(recs)]
        imp = subprocess.Popen([peer, "import", rec], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True)
        rid = int(imp.stdout.readline().split()[1])
        region = glob.glob("/dev/shm/%sQORVEXImporterShm%04d*" % (prefix, rid))[0]
        es = sorted(entries(region), key=lambda e: e[1])
        reqs = []
        for j, e in enumerate(es):
            if e[2] == NOTYET:
                continue
            size = (es[j + 1][1] - e[1]) if j + 1 < len(es) else 4
            for t in (1, 2, 3):
                reqs.append("%d %d %d" % (t, e[1], min(size, 1 << 20)))
        def read_all():
            p = subprocess.run([peer, "read", str(rid)], env=env, input="\n".join(reqs) + "\nend\n",
                               capture_output=True, text=True)
            return p.stdout.splitlines() if p.returncode == 0 else None
        ref = read_all()
        flip(region, r)
        got = read_all()
        counts["changes"] += 1
        if got is None:
            counts["reader_refused"] += 1
        else:
            for a, b in zip(ref, got):
                if a.split()[0] != "0":
                    continue  # not a sample of that kind
                if b == a:
                    counts["unchanged"] += 1
                elif b.split()[0] != "0":
                    counts["refused"] += 1
                else:
                    counts["wrong"] += 1
        imp.stdin.write("\n")
        imp.stdin.flush()
        imp.wait()
    print(counts)
    return counts["wrong"]


if __name__ == "__main__":
    mode, prog, n, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    sys.exit(1 if (during if mode == "during" else after)(prog, n, seed) else 0)
