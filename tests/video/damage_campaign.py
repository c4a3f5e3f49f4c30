#!/usr/bin/env python3
"""Damaged-stream campaign for the H.264 decoder (a slow, repeatable check;
not run in CI).

Makes damaged copies of the feature clips, conformance streams and camcorder
video of the test material (every kind seeded, so the same run makes the same
streams), decodes each with h264dec at 1, 2, 4 and 8 workers and with ffmpeg,
and counts:
  - stalls (the decoder's wait timed out, or the run took longer than the
    limit),
  - streams whose outcome (exit status, message, pictures) differs between
    worker counts or runs (--runs),
  - pictures decoded against ffmpeg's, by kind of damage,
and, with --tsan, the ThreadSanitizer reports on a sample of the streams
decoded by a ThreadSanitizer build at 2 and 8 workers.

usage: damage_campaign.py [--h264dec PATH] [--testdata DIR] [--work DIR]
                          [--seeds N] [--jobs N] [--kinds a,b,...] [--runs N]
                          [--camera FILE] [--camera-seeds N]
                          [--limit S] [--list FILE]
                          [--extra-workers a,b,... --extra-runs N]
                          [--tsan H264DEC_TSAN --tsan-sample N]
"""
import argparse
import concurrent.futures
import hashlib
import os
import random
import subprocess
import sys
import time


def units(b):
    """NAL units of an Annex B stream: (begin, end, type), begin at the
    start code (with a leading zero byte when there is one)."""
    starts = []
    i, n = 0, len(b)
    while i + 3 <= n:
        if b[i] == 0 and b[i + 1] == 0 and b[i + 2] == 1:
            starts.append((i - 1 if i > 0 and b[i - 1] == 0 else i, i + 3))
            i += 3
        else:
            i += 1
    out = []
    for k, (beg, head) in enumerate(starts):
        end = starts[k + 1][0] if k + 1 < len(starts) else n
        if head < n:
            out.append((beg, end, b[head] & 31))
    return out


def header_at(b, u):
    beg = u[0]
    return beg + 3 if b[beg + 2] == 1 else beg + 4


def join(b, us):
    return b''.join(b[s:e] for s, e, _ in us)


def lose_pps(b, rng):
    us = units(b)
    return join(b, [u for u in us if u[2] != 8])


def lose_sps(b, rng):
    us = units(b)
    sps = [i for i, u in enumerate(us) if u[2] == 7]
    if len(sps) < 2:
        return None  # without any SPS the stream cannot even be opened
    drop = rng.choice(sps)
    return join(b, [u for i, u in enumerate(us) if i != drop])


def damage_set(kind):
    def f(b, rng):
        us = units(b)
        sets = [u for u in us if u[2] == kind]
        if not sets:
            return None
        u = rng.choice(sets)
        h = header_at(b, u)
        if u[1] - h < 2:
            return None
        out = bytearray(b)
        at = rng.randrange(h + 1, u[1])
        out[at] = (out[at] + rng.randrange(1, 256)) & 255
        return bytes(out)
    return f


def change_nal_type(b, rng):
    us = units(b)
    slices = [u for u in us if u[2] in (1, 5)]
    u = rng.choice([x for x in slices if x[2] == 5] or slices) if rng.random() < 0.5 else rng.choice(us)
    out = bytearray(b)
    h = header_at(b, u)
    out[h] = (out[h] & 0xE0) | rng.choice([t for t in range(32) if t != (out[h] & 31)])
    return bytes(out)


def insert_nal(b, rng):
    us = units(b)
    at = rng.randrange(1, len(us))
    size = rng.randrange(4, 200)
    body = bytearray(rng.randrange(256) for _ in range(size))
    body[0] &= 0x7F  # forbidden_zero_bit
    for i in range(2, len(body)):  # no start code inside
        if body[i - 2] == 0 and body[i - 1] == 0 and body[i] <= 3:
            body[i] = 4
    return join(b, us[:at]) + b'\x00\x00\x00\x01' + bytes(body) + join(b, us[at:])


def flip_slice_header(b, rng):
    us = units(b)
    slices = [u for u in us if u[2] in (1, 5)]
    out = bytearray(b)
    for u in rng.sample(slices, min(len(slices), rng.randrange(1, 4))):
        h = header_at(b, u)
        span = min(8, u[1] - h - 1)
        if span < 1:
            continue
        at = h + 1 + rng.randrange(span)
        out[at] ^= 1 << rng.randrange(8)
    return bytes(out)


def lose_ts_packets(b, rng, rate=0.005):
    """The stream as the payloads of 184-byte transport packets, 0.5% lost."""
    pieces = [b[i:i + 184] for i in range(0, len(b), 184)]
    kept = [p for i, p in enumerate(pieces) if i == 0 or rng.random() >= rate]
    return b''.join(kept)


def drop_nals(b, rng):
    us = units(b)
    n = max(1, len(us) // 50)
    drop = set(rng.sample(range(1, len(us)), min(n, len(us) - 1)))
    return join(b, [u for i, u in enumerate(us) if i not in drop])


def splice(b, rng, other):
    us, vs = units(b), units(other)
    a = rng.randrange(len(us) // 3, len(us))
    c = rng.randrange(0, len(vs) * 2 // 3)
    return join(b, us[:a]) + join(other, vs[c:])


def join_streams(b, rng, other):
    return b + (other if rng.random() < 0.5 else b)


def inside_slice(b, rng, lo, hi):
    """A byte inside the payload of a slice that starts in [lo, hi) of the
    stream (past its header byte and first bytes), or None."""
    us = [u for u in units(b) if u[2] in (1, 5) and lo <= u[0] < hi and u[1] - header_at(b, u) > 8]
    if not us:
        return None
    u = rng.choice(us)
    return rng.randrange(header_at(b, u) + 4, u[1] - 1)


def splice_inside(b, rng, other):
    """Cut inside a slice of the later two thirds, the other stream joined
    from inside one of its first two thirds: a slice cut short runs into the
    middle of one of the other stream's slices."""
    cut = inside_slice(b, rng, len(b) // 3, len(b))
    join_at = inside_slice(other, rng, 0, len(other) * 2 // 3)
    if cut is None or join_at is None:
        return None
    return b[:cut] + other[join_at:]


def parameter_sets(b):
    us = units(b)
    return [u for u in us if u[2] == 7][:1] + [u for u in us if u[2] == 8][:1]


def with_sets_of(b, rng, other):
    us, sets = units(b), parameter_sets(other)
    if not sets:
        return None
    at = rng.randrange(1, len(us))
    return join(b, us[:at]) + join(other, sets) + join(b, us[at:])


def picture_size(b):
    """The first SPS's coded size in macroblocks (width, height map units and
    frame_mbs_only_flag), as a key to tell sizes apart."""
    for u in units(b):
        if u[2] != 7:
            continue
        h = header_at(b, u)
        rbsp = bytearray()
        zeros = 0
        for x in b[h + 1:u[1]]:
            if zeros >= 2 and x == 3:
                zeros = 0
                continue
            rbsp.append(x)
            zeros = zeros + 1 if x == 0 else 0
        bits = ''.join(f'{x:08b}' for x in rbsp)
        pos = [24]

        def ue():
            z = 0
            while pos[0] < len(bits) and bits[pos[0]] == '0':
                z += 1
                pos[0] += 1
            pos[0] += 1
            v = int(bits[pos[0]:pos[0] + z] or '0', 2)
            pos[0] += z
            return (1 << z) - 1 + v

        def se():
            k = ue()
            return (k + 1) // 2 if k % 2 else -(k // 2)

        profile = rbsp[0]
        ue()
        if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
            if ue() == 3:
                pos[0] += 1
            ue()
            ue()
            pos[0] += 2  # qpprime_y_zero_transform_bypass_flag, seq_scaling_matrix_present_flag
            if bits[pos[0] - 1] == '1':
                return None  # scaling lists: not worth reading here
        ue()
        poc = ue()
        if poc == 0:
            ue()
        elif poc == 1:
            pos[0] += 1
            se()
            se()
            for _ in range(ue()):
                se()
        ue()
        pos[0] += 1
        w, hm = ue(), ue()
        return (w, hm, bits[pos[0]])
    return None


def foreign_sets(b, rng, other):
    """The other stream's first SPS and PPS, of the same picture size,
    inserted between two units: the units after them are read with another
    stream's sets."""
    if picture_size(b) is None or picture_size(b) != picture_size(other):
        return None
    return with_sets_of(b, rng, other)


def foreign_sets_other_size(b, rng, other):
    """As foreign_sets with the sets of a stream of another picture size."""
    if picture_size(b) == picture_size(other):
        return None
    return with_sets_of(b, rng, other)


def picture_starts(b):
    """Indexes of the units that start a picture or field: slices with
    first_mb_in_slice 0 (its ue(v) code is the single bit 1)."""
    us = units(b)
    return us, [i for i, u in enumerate(us) if u[2] in (1, 5) and b[header_at(b, u) + 1] & 0x80]


def access_unit(b, rng):
    """Units [first, end) of one access unit (a field or frame and its
    slices), chosen at random, or None."""
    us, starts = picture_starts(b)
    if len(starts) < 3:
        return us, None
    k = rng.randrange(1, len(starts) - 1)
    end = starts[k] + 1
    while end < len(us) and us[end][2] in (1, 5) and end not in starts:
        end += 1
    return us, (starts[k], end)


def dup_near(b, rng):
    """A field or access unit sent again right after itself (as a recording
    with a PES repeated gives it)."""
    us, au = access_unit(b, rng)
    if au is None:
        return None
    first, end = au
    return join(b, us[:end]) + join(b, us[first:end]) + join(b, us[end:])


def dup_far(b, rng):
    """A field or access unit sent again at a later place: after a few to a
    few dozen more units."""
    us, au = access_unit(b, rng)
    if au is None:
        return None
    first, end = au
    at = min(len(us), end + rng.randrange(3, 40))
    return join(b, us[:at]) + join(b, us[first:end]) + join(b, us[at:])



def camera_units(b):
    """The stream as its access units as a recording carries them, each from
    the units before its picture (delimiter, SEI, sets) to its last slice:
    (units, [(first, end)], tail) with tail the index after the last one."""
    us, starts = picture_starts(b)
    aus, first = [], 0
    for k, s in enumerate(starts):
        end = s + 1
        while end < len(us) and us[end][2] in (1, 5) and end not in starts:
            end += 1
        aus.append((first, end))
        first = end
    return us, aus


def with_repeats(b, repeats):
    """The stream with access unit k sent again after access unit at
    (at >= k), for each (k, at) of repeats."""
    us, aus = camera_units(b)
    after = {}
    for k, at in repeats:
        after.setdefault(min(at, len(aus) - 1), []).append(k)
    out = [join(b, us[:aus[0][0]])]
    for i, (s, e) in enumerate(aus):
        out.append(join(b, us[s:e]))
        for k in after.get(i, []):
            out.append(join(b, us[aus[k][0]:aus[k][1]]))
    out.append(join(b, us[aus[-1][1]:]))
    return b''.join(out)


def camera_dup_near(b, rng):
    """One to three fields, each sent again right after itself (a repeated
    PES: delimiter, SEI and slices)."""
    n = len(camera_units(b)[1])
    return with_repeats(b, [(k, k) for k in rng.sample(range(n), rng.randrange(1, 4))])


def camera_dup_far(b, rng):
    """One field sent again 1 to 12 fields after itself."""
    n = len(camera_units(b)[1])
    k = rng.randrange(n - 1)
    return with_repeats(b, [(k, k + rng.randrange(1, 13))])


def camera_dup_several_far(b, rng):
    """Two to five fields, each sent again 1 to 12 fields after itself."""
    n = len(camera_units(b)[1])
    return with_repeats(b, [(k, k + rng.randrange(1, 13)) for k in rng.sample(range(n - 1), rng.randrange(2, 6))])


def camera_dup_run(b, rng):
    """A run of 2 to 14 fields of which some are sent again: each right after
    itself, or the run again after its end with some of its fields left out."""
    n = len(camera_units(b)[1])
    size = rng.randrange(2, min(15, n + 1))
    first = rng.randrange(n - size + 1)
    run = range(first, first + size)
    picked = [k for k in run if rng.random() < 0.5] or [first]
    at = first + size - 1
    return with_repeats(b, [(k, k if rng.random() < 0.5 else at) for k in picked])


def camera_cut_first_field(b, rng):
    """The stream cut after the first field of a frame, then nothing, or an
    access unit delimiter, SEI, SPS or PPS of the stream."""
    us, aus = camera_units(b)
    firsts = [k for k in range(len(aus) - 1) if k % 2 == 0]
    k = rng.choice(firsts)
    head = join(b, us[:aus[k][1]])
    tails = [u for u in us if u[2] in (6, 7, 8, 9)]
    extra = rng.choice([None] + [t for t in (9, 6, 7, 8) if any(u[2] == t for u in tails)])
    if extra is not None:
        head += join(b, [rng.choice([u for u in tails if u[2] == extra])])
    return head


KINDS = {
    'pps_lost': lose_pps,
    'sps_lost': lose_sps,
    'pps_damaged': damage_set(8),
    'sps_damaged': damage_set(7),
    'nal_type': change_nal_type,
    'nal_inserted': insert_nal,
    'header_flipped': flip_slice_header,
    'ts_lost': lose_ts_packets,
    'nal_dropped': drop_nals,
    'splice': splice,
    'join': join_streams,
    'splice_inside': splice_inside,
    'foreign_sets': foreign_sets,
    'foreign_sets_other_size': foreign_sets_other_size,
    'dup_near': dup_near,
    'dup_far': dup_far,
}
# Derivatives of a camera's field stream (--camera): fields sent again near
# and far from themselves, runs of them, and a cut after a first field.
CAMERA_KINDS = {
    'camera_dup_near': camera_dup_near,
    'camera_dup_far': camera_dup_far,
    'camera_dup_several_far': camera_dup_several_far,
    'camera_dup_run': camera_dup_run,
    'camera_cut_first_field': camera_cut_first_field,
}
TWO_SOURCES = {'splice', 'join', 'splice_inside', 'foreign_sets', 'foreign_sets_other_size'}


def sources(testdata, work):
    out = []
    feat = os.path.join(testdata, 'h264-features')
    for n in sorted(os.listdir(feat)):
        if n.endswith('.264'):
            out.append(os.path.join(feat, n))
    conf = os.path.join(testdata, 'h264-conformance')
    for n in ['CAFI1_SVA_C', 'CVFI1_SVA_C', 'CABA3_SVA_B', 'SL1_SVA_B', 'CAMA3_Sand_E', 'HCAMFF1_HHI',
              'CVSE2_Sony_B', 'MIDR_MW_D', 'NRF_MW_E', 'CAPAMA3_Sand_F']:
        p = os.path.join(conf, n + '.264')
        if os.path.exists(p):
            out.append(p)
    avchd = os.path.join(testdata, 'avchd')
    for n in ['small_mbaff_ac3_20_avchd', 'small_ac3_20_avchd']:
        m2ts = os.path.join(avchd, n + '.m2ts')
        es = os.path.join(work, n + '.264')
        if os.path.exists(m2ts) and not os.path.exists(es):
            subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', m2ts, '-map', '0:v', '-c', 'copy', '-f', 'h264', es],
                           check=False)
        if os.path.exists(es):
            out.append(es)
    return out


def h264dec_run(binary, path, threads, limit):
    t0 = time.time()
    try:
        r = subprocess.run([binary, '--threads', str(threads), '--framemd5', path], capture_output=True,
                           timeout=limit)
    except subprocess.TimeoutExpired:
        return {'stall': True, 'rc': None, 'pictures': 0, 'digest': '', 'message': 'timeout', 'seconds': limit,
                'races': 0}
    races = r.stderr.decode(errors='replace').count('WARNING: ThreadSanitizer')
    lines = [l for l in r.stdout.decode(errors='replace').splitlines() if l and not l.startswith('#')]
    err = [l for l in r.stderr.decode(errors='replace').splitlines() if ' pictures of ' not in l]
    if races:
        err = [l for l in err if l.startswith('h264dec')]
    message = ' '.join(err)
    return {
        'stall': 'did not answer in time' in message,
        'rc': r.returncode,
        'pictures': len(lines),
        'digest': hashlib.md5('\n'.join(l.split(',')[-1] for l in lines).encode()).hexdigest(),
        'message': message,
        'seconds': time.time() - t0,
        'races': races,
    }


def ffmpeg_pictures(path):
    r = subprocess.run(['ffmpeg', '-v', 'quiet', '-f', 'h264', '-i', path, '-f', 'framemd5', '-'],
                       capture_output=True, timeout=300)
    return sum(1 for l in r.stdout.decode(errors='replace').splitlines() if l and not l.startswith('#'))


def one(args, item):
    kind, path = item
    runs = {(t, k): h264dec_run(args.h264dec, path, t, args.limit) for t in (1, 2, 4, 8) for k in range(args.runs)}
    for t in args.extra_workers:
        for k in range(args.runs, args.runs + args.extra_runs):
            runs[(t, k)] = h264dec_run(args.h264dec, path, t, args.limit)
    outcomes = {(r['rc'], r['digest'], r['message']) for r in runs.values()}
    return {
        'kind': kind,
        'path': path,
        'stall': any(r['stall'] for r in runs.values()),
        'differs': len(outcomes) != 1,
        'pictures': runs[(1, 0)]['pictures'],
        'rc': runs[(1, 0)]['rc'],
        'message': runs[(1, 0)]['message'],
        'ffmpeg': ffmpeg_pictures(path),
        'seconds': max(r['seconds'] for r in runs.values()),
    }


def decoder_arguments(work):
    """The arguments of the campaigns in this directory: the decoder, the
    test material and the working directory."""
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument('--h264dec', default=os.path.join(here, '..', '..', 'build', 'release', 'tools', 'h264dec'))
    ap.add_argument('--testdata', default=os.environ.get('AVCHD_TESTDATA', os.path.join(here, '..', '..', '..',
                                                                                          'shared', 'testdata')))
    ap.add_argument('--work', default=work)
    return ap


def main():
    ap = decoder_arguments('/tmp/h264_damage_campaign')
    ap.add_argument('--seeds', type=int, default=3)
    ap.add_argument('--jobs', type=int, default=2)
    ap.add_argument('--kinds', default=','.join(list(KINDS) + list(CAMERA_KINDS)))
    ap.add_argument('--camera', help='the field stream of a camera that the camera kinds derive from '
                    '(default: avchd/camera_1080i50_paff.264 of the test material)')
    ap.add_argument('--camera-seeds', type=int, default=60, help='derivatives of each camera kind')
    ap.add_argument('--runs', type=int, default=1, help='runs of each worker count')
    ap.add_argument('--limit', type=float, default=50.0, help='seconds before a run counts as stalled')
    ap.add_argument('--list', help='write one line per stream to this file')
    ap.add_argument('--extra-workers', default='', help='worker counts (a,b,...) decoded --extra-runs more times')
    ap.add_argument('--extra-runs', type=int, default=0)
    ap.add_argument('--tsan', help='an h264dec built with ThreadSanitizer: decodes a sample of the streams with it '
                    'at 2 and 8 workers and counts its reports')
    ap.add_argument('--tsan-sample', type=int, default=0, help='streams of that sample')
    args = ap.parse_args()
    args.extra_workers = [int(t) for t in args.extra_workers.split(',') if t]
    os.makedirs(args.work, exist_ok=True)
    srcs = sources(args.testdata, args.work)
    items = []
    camera = args.camera or os.path.join(args.testdata, 'avchd', 'camera_1080i50_paff.264')
    for kind in args.kinds.split(','):
        if kind in CAMERA_KINDS:
            if not os.path.exists(camera):
                print(f'{camera} not found: no {kind} streams', flush=True)
                continue
            data = open(camera, 'rb').read()
            for seed in range(args.camera_seeds):
                name = os.path.join(args.work, f'{kind}__{seed}.264')
                with open(name, 'wb') as f:
                    f.write(CAMERA_KINDS[kind](data, random.Random(f'{kind}/{seed}')))
                items.append((kind, name))
            continue
        for si, src in enumerate(srcs):
            data = open(src, 'rb').read()
            for seed in range(args.seeds):
                rng = random.Random(f'{kind}/{os.path.basename(src)}/{seed}')
                if kind in TWO_SOURCES:
                    other = open(srcs[(si + 1 + seed) % len(srcs)], 'rb').read()
                    damaged = KINDS[kind](data, rng, other)
                else:
                    damaged = KINDS[kind](data, rng)
                if damaged is None:
                    continue
                name = os.path.join(args.work, f'{kind}__{os.path.splitext(os.path.basename(src))[0]}__{seed}.264')
                with open(name, 'wb') as f:
                    f.write(damaged)
                items.append((kind, name))
    print(f'{len(items)} damaged streams from {len(srcs)} sources', flush=True)
    results = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for r in pool.map(lambda it: one(args, it), items):
            results.append(r)
            if r['stall'] or r['differs']:
                print(('STALL ' if r['stall'] else 'DIFFERS ') + r['path'] + ': ' + r['message'], flush=True)
    if args.list:
        with open(args.list, 'w') as f:
            for r in results:
                f.write(f"{r['kind']}\t{os.path.basename(r['path'])}\t{r['rc']}\t{r['pictures']}\t{r['ffmpeg']}\t"
                        f"{r['seconds']:.1f}\t{r['message']}\n")
    print(f"{'kind':24} {'streams':>7} {'stalls':>6} {'differ':>6} {'pictures':>9} {'ffmpeg':>9} {'fewer':>6} "
          f"{'refused':>7}")
    total = {'n': 0, 'stall': 0, 'differs': 0, 'pictures': 0, 'ffmpeg': 0, 'fewer': 0, 'refused': 0}
    for kind in args.kinds.split(','):
        rs = [r for r in results if r['kind'] == kind]
        row = {
            'n': len(rs),
            'stall': sum(r['stall'] for r in rs),
            'differs': sum(r['differs'] for r in rs),
            'pictures': sum(r['pictures'] for r in rs),
            'ffmpeg': sum(r['ffmpeg'] for r in rs),
            'fewer': sum(r['pictures'] < r['ffmpeg'] for r in rs),
            'refused': sum('error 6' in r['message'] for r in rs),
        }
        for k in total:
            total[k] += row[k]
        print(f"{kind:24} {row['n']:7} {row['stall']:6} {row['differs']:6} {row['pictures']:9} {row['ffmpeg']:9} "
              f"{row['fewer']:6} {row['refused']:7}")
    print(f"{'all':24} {total['n']:7} {total['stall']:6} {total['differs']:6} {total['pictures']:9} "
          f"{total['ffmpeg']:9} {total['fewer']:6} {total['refused']:7}")
    races = tsan_sample(args, items)
    return 1 if total['stall'] or total['differs'] or races else 0


def tsan_sample(args, items):
    """Decodes a fixed sample of the streams with the ThreadSanitizer build
    at 2 and 8 workers; the number of runs with a report."""
    if not args.tsan or args.tsan_sample <= 0:
        return 0
    sample = random.Random('tsan').sample(items, min(args.tsan_sample, len(items)))
    jobs = [(path, t) for _, path in sample for t in (2, 8)]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        runs = list(pool.map(lambda j: (j, h264dec_run(args.tsan, j[0], j[1], args.limit * 10)), jobs))
    bad = [(j, r) for j, r in runs if r['races'] or r['stall']]
    for (path, t), r in bad:
        print(f"TSAN {path} at {t} workers: {r['races']} reports" + (' (stalled)' if r['stall'] else ''), flush=True)
    races = sum(r['races'] for _, r in runs)
    print(f"ThreadSanitizer: {len(sample)} streams, {len(runs)} runs, {races} reports in "
          f"{sum(1 for _, r in runs if r['races'])} runs, {sum(1 for _, r in runs if r['stall'])} stalls")
    return races


if __name__ == '__main__':
    sys.exit(main())
