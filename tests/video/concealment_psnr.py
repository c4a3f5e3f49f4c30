#!/usr/bin/env python3
"""Concealment quality of the H.264 decoder beside ffmpeg's (a slow check;
not run in CI).

Damages feature clips of the test material (seeded, so the same run makes
the same streams) in three ways: 0.5-2% of the stream's 184-byte pieces (a
transport packet's payload) lost, one to three slice NAL units lost, and the
stream cut at a random point in its second half. Each damaged stream is
decoded by h264dec and by ffmpeg, and each decode's luma PSNR against
h264dec's decode of the clean stream is measured (ffmpeg's psnr filter, over
the pictures both have; 99 dB for identical pictures). Prints, per kind, the
mean PSNR of both decoders over the streams where either differs from the
clean decode, and over all streams in brackets.

usage: concealment_psnr.py [--h264dec PATH] [--testdata DIR] [--work DIR]
                           [--clips N] [--seeds N] [--jobs N] [--threads N]
                           [--list FILE]
"""
import concurrent.futures
import os
import random
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from damage_campaign import decoder_arguments, join, units  # noqa: E402


def lose_pieces(b, rng):
    rate = rng.uniform(0.005, 0.02)
    pieces = [b[i:i + 184] for i in range(0, len(b), 184)]
    return b''.join(p for i, p in enumerate(pieces) if i == 0 or rng.random() >= rate)


def lose_slices(b, rng):
    us = units(b)
    slices = [i for i, u in enumerate(us) if u[2] in (1, 5)][1:]
    drop = set(rng.sample(slices, min(len(slices), rng.randint(1, 3))))
    return join(b, [u for i, u in enumerate(us) if i not in drop])


def cut(b, rng):
    return b[:rng.randrange(len(b) // 2, len(b))]


KINDS = {'pieces_lost': lose_pieces, 'slices_lost': lose_slices, 'cut': cut}


def h264dec(binary, path, out, threads):
    r = subprocess.run([binary, '--threads', str(threads), '-o', out, path], capture_output=True, timeout=300)
    m = re.search(r'of (\d+)x(\d+)', r.stderr.decode(errors='replace'))
    return (int(m.group(1)), int(m.group(2))) if m else None


def ffmpeg(path, out):
    subprocess.run(['ffmpeg', '-v', 'quiet', '-y', '-f', 'h264', '-i', path, '-f', 'rawvideo', '-pix_fmt', 'yuv420p',
                    out], timeout=300)


def psnr(a, b, size):
    if not os.path.exists(a) or os.path.getsize(a) == 0:
        return 0.0
    raw = ['-f', 'rawvideo', '-pix_fmt', 'yuv420p', '-s', f'{size[0]}x{size[1]}']
    r = subprocess.run(['ffmpeg', '-v', 'info', *raw, '-i', a, *raw, '-i', b, '-lavfi', '[0][1]psnr=shortest=1',
                        '-f', 'null', '-'], capture_output=True, timeout=300)
    m = re.search(r'PSNR y:(\S+)', r.stderr.decode(errors='replace'))
    if not m:
        return 0.0
    return 99.0 if m.group(1) == 'inf' else min(99.0, float(m.group(1)))


def one(args, item):
    kind, name, clean, size = item
    ours, theirs = name + '.ours.yuv', name + '.ffmpeg.yuv'
    h264dec(args.h264dec, name, ours, args.threads)
    ffmpeg(name, theirs)
    result = (kind, psnr(ours, clean, size), psnr(theirs, clean, size), os.path.basename(name))
    for f in (ours, theirs):
        if os.path.exists(f):
            os.remove(f)
    return result


def main():
    ap = decoder_arguments('/tmp/h264_concealment_psnr')
    ap.add_argument('--clips', type=int, default=20)
    ap.add_argument('--seeds', type=int, default=2)
    ap.add_argument('--jobs', type=int, default=4)
    ap.add_argument('--threads', type=int, default=1, help='h264dec workers')
    ap.add_argument('--list', help='write one line per stream (kind, stream, h264dec, ffmpeg) to this file')
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    feat = os.path.join(args.testdata, 'h264-features')
    clips = sorted(n for n in os.listdir(feat) if n.endswith('.264') and 'longterm' not in n)[:args.clips]
    items = []
    for n in clips:
        src = os.path.join(feat, n)
        clean = os.path.join(args.work, n + '.clean.yuv')
        size = h264dec(args.h264dec, src, clean, 1)
        if not size:
            continue
        data = open(src, 'rb').read()
        for kind, damage in KINDS.items():
            for seed in range(args.seeds):
                rng = random.Random(f'{kind}/{n}/{seed}')
                name = os.path.join(args.work, f'{kind}__{n}__{seed}.264')
                with open(name, 'wb') as f:
                    f.write(damage(data, rng))
                items.append((kind, name, clean, size))
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(lambda it: one(args, it), items))
    if args.list:
        with open(args.list, 'w') as f:
            for r in results:
                f.write(f'{r[0]}\t{r[3]}\t{r[1]:.2f}\t{r[2]:.2f}\n')
    print(f"{'damage':12} {'streams':>7} {'h264dec':>16} {'ffmpeg':>16}")
    for kind in KINDS:
        rs = [r for r in results if r[0] == kind]
        hit = [r for r in rs if r[1] < 99 or r[2] < 99]
        mean = lambda v: sum(v) / len(v) if v else 0.0  # noqa: E731
        print(f"{kind:12} {len(hit):3}/{len(rs):<3} {mean([r[1] for r in hit]):7.2f} ({mean([r[1] for r in rs]):6.2f}) "
              f"{mean([r[2] for r in hit]):7.2f} ({mean([r[2] for r in rs]):6.2f})")
    return 0


if __name__ == '__main__':
    sys.exit(main())
