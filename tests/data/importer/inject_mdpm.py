#!/usr/bin/env python3
"""Inserts the camcorder user-data SEI (MDPM) into every access unit of an
H.264 Annex B stream whose access units begin with an access-unit delimiter.

usage: inject_mdpm.py IN.h264 OUT.h264 PTS_LIST START FPS [drop]

PTS_LIST holds the presentation time stamps of the access units in decode
order, one per line; the picture with the k-th smallest time stamp gets the
time code START (hh:mm:ss:ff) advanced by k pictures, at FPS frames per
second, with drop-frame numbering when "drop" is given.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from annexb_bits import to_payload as emulation_prevent  # noqa: E402

UUID = bytes.fromhex("17EE8C60F84D11D98CD60800200C9A66")


def split_nal_units(data):
    """Yields (start, end) of each NAL unit's bytes after its start code."""
    starts = []
    i = 0
    n = len(data)
    while i + 3 <= n:
        if data[i] == 0 and data[i + 1] == 0 and data[i + 2] == 1:
            starts.append(i + 3)
            i += 3
        else:
            i += 1
    for k, s in enumerate(starts):
        e = starts[k + 1] - 3 if k + 1 < len(starts) else n
        # Zero bytes before the next start code belong to it (4-byte codes).
        while e > s and data[e - 1] == 0 and k + 1 < len(starts):
            e -= 1
        yield s, e


def bcd(v):
    return ((v // 10) << 4) | (v % 10)


def frame_to_timecode(frame, fps, drop):
    if drop:
        # SMPTE drop-frame numbering: two frame numbers (four at 60) are
        # skipped at the start of every minute not divisible by ten.
        d = 2 * round(fps / 30)
        per10 = fps * 600 - 9 * d
        per1 = fps * 60 - d
        tens, rem = divmod(frame, per10)
        if rem < d:
            rem = d
        frame += 9 * d * tens + d * ((rem - d) // per1)
    ff = frame % fps
    s = frame // fps
    return s // 3600 % 24, s // 60 % 60, s % 60, ff


def timecode_to_frame(h, m, s, f, fps, drop):
    total = ((h * 60 + m) * 60 + s) * fps + f
    if drop:
        d = 2 * round(fps / 30)
        minutes = h * 60 + m
        total -= d * (minutes - minutes // 10)
    return total


def mdpm_sei(h, m, s, f, drop):
    entries = [
        bytes([0x18, 0x20, 0x08, 0x12, 0x31]),  # recording date
        bytes([0x19, 0x23, 0x16, 0x24, 0x00]),  # recording time
        bytes([0x13, bcd(f) | (0x40 if drop else 0), bcd(s), bcd(m), bcd(h)]),
        bytes([0x14, 0x00, 0x00, 0x00, 0x00]),
        bytes([0xE0, 0x01, 0x03, 0x04, 0x12]),  # camera model code
        bytes([0xE1, 0x00, 0x00, 0x01, 0x00]),  # forces an emulation byte
        bytes([0xE2, 0x00, 0x00, 0x00, 0x00]),
        bytes([0xF0, 0x01, 0x02, 0x03, 0x04]),
    ]
    payload = UUID + b"MDPM" + bytes([len(entries)]) + b"".join(entries)
    size = len(payload)
    body = bytes([5])  # user_data_unregistered
    while size >= 255:
        body += b"\xff"
        size -= 255
    body += bytes([size]) + payload + b"\x80"  # rbsp trailing bits
    return b"\x00\x00\x00\x01\x06" + emulation_prevent(body)


def main():
    src, dst, pts_file, start, fps = sys.argv[1:6]
    drop = len(sys.argv) > 6 and sys.argv[6] == "drop"
    fps = int(fps)
    data = open(src, "rb").read()
    pts = [int(x) for x in open(pts_file).read().split()]
    rank = {p: k for k, p in enumerate(sorted(pts))}
    h, m, s, f = (int(x) for x in start.split(":"))
    first = timecode_to_frame(h, m, s, f, fps, drop)

    # Parameter sets written in front of an access-unit delimiter belong to
    # the access unit it opens; they are moved behind it.
    aus = []
    pending = []
    slice_seen = False
    for s_, e_ in split_nal_units(data):
        t = data[s_] & 0x1F
        if t == 9:
            aus.append([(s_, e_)] + pending)
            pending = []
            slice_seen = False
        elif not aus or (slice_seen and t in (7, 8)) or pending:
            pending.append((s_, e_))
        else:
            aus[-1].append((s_, e_))
            slice_seen = slice_seen or t in (1, 5)
    if len(aus) != len(pts):
        sys.exit("access units: %d, time stamps: %d" % (len(aus), len(pts)))

    out = bytearray()
    for k, au in enumerate(aus):
        tc = frame_to_timecode(first + rank[pts[k]], fps, drop)
        inserted = False
        for s_, e_ in au:
            t = data[s_] & 0x1F
            if not inserted and t in (1, 5):
                out += mdpm_sei(*tc, drop)
                inserted = True
            out += b"\x00\x00\x00\x01" + data[s_:e_]
    open(dst, "wb").write(out)


if __name__ == "__main__":
    main()
