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
decoded by a ThreadSanitizer build at 2 and 8 workers (--asan: an
AddressSanitizer build at 2 workers).

The loss kinds (--kinds loss: slice_dropped, picture_lost, field_lost,
every_second_lost, first_idr_flip, splice_no_idr, ts_cut, ts_shuffled) lose
content by construction: a slice, a picture or field, every second one, the
IDR of a spliced stream, a bit of the first IDR slice's header. Each
derivative's pictures are compared with the clean streams' pictures, and
the table counts per kind the exit statuses, the streams that exit 0 with
pictures lost or changed (hidden damage), those without a picture where
ffmpeg decodes some, outcomes differing between 1, 2, 4 and 8 workers,
stalls and crashes; a recording cut or shuffled (ts_cut, ts_shuffled) is to
be refused by h264dec and ac3dec naming mtsimport. The streams to look at
are listed with their message. --quick makes fewer of them (a run of some
minutes on two cores).

The silent kinds (--kinds silent: fields_swapped, idr_typed, idr_type_bit,
join_larger_no_idr, fields_sent_again) keep every unit but change how one is
read or where some stand: the two fields of a reference frame exchanged
(every field stream), every slice of some x264 and conformance streams in
turn typed IDR (nal_unit_type 5, nal_ref_idc 3), the first IDR slice (and
every slice of the first IDR picture) typed 1 (every stream), each size
joined by each larger one without its IDR pictures (its parameter sets
first), and access units of field streams sent again 4 to 25 access units
later (the first one among them at even seeds). They are counted as the
loss kinds are, and also when it ends in an error (exit 1), or for a join
when no picture of its larger stream comes though it has an I picture to
start at, where ffmpeg decodes some (0pics).

The legal kinds (--kinds legal: join_fields, join_buffers, x264_options,
order_steps, nonref_dropped) are streams without damage: every ordered pair
of the field streams joined whole (and a camera's first pictures up to its
next I picture joined before each), pairs of x264 streams of other buffer
sizes (reference frames, B pictures, pyramid, level) joined with and
without an end-of-sequence unit between, x264 option sets and --combos
seeded random combinations, P-only streams whose order counts step
unevenly (2, 4, 2, 4 ...), streams without their non-reference
pictures, and (intra_pairs_made) each field source's frames whose first
field is intra with their second field replaced by that field made the
other one, the two sent in either order. Each is to decode with exit 0, no word of damage and ffmpeg's
pictures in ffmpeg's order (repeated pictures aside), alike at 1, 2, 4
and 8 workers; the table counts the failures by what failed and
--failures writes one line per failed stream. The x264 streams are made
in the working directory (a run of about two minutes on two cores).

The order kinds (--kinds order: ref_flag_flipped, pair_exchanged,
intra_fields_swapped, cut_at_intra): every coded picture of every source
with its nal_ref_idc turned (to 0, or from 0 to 2) and every pair of
adjacent access units exchanged (the first 40 of each; every fifth in a
quick run), each to be reported (exit 3) or to give ffmpeg's pictures; and
legal streams: each frame of two intra fields (non-IDR reference fields of I
slices) of the field streams sent in the other order, frames made of two
intra fields (the second field of a frame that begins with an I field
replaced by a field of I_PCM macroblocks, 1 per stream in a quick run, else
3) sent in their order and the other way, and every stream cut
at each of its I pictures (the first field of a frame) and recovery points
(at most 16, 4 in a quick run; of the streams decoded with exit 0 whole)
with the parameter sets sent before in
front, to give ffmpeg's pictures with exit 0 or be reported damaged (exit
3: counted per stream). --workers names the worker counts (1,2,4,8).

usage: damage_campaign.py [--h264dec PATH] [--ac3dec PATH] [--testdata DIR]
                          [--work DIR] [--seeds N] [--jobs N]
                          [--kinds a,b,...|loss|silent|legal] [--quick]
                          [--runs N] [--workers a,b,...]
                          [--combos N] [--failures FILE]
                          [--camera FILE] [--camera-seeds N]
                          [--limit S] [--list FILE] [--show N]
                          [--extra-workers a,b,... --extra-runs N]
                          [--tsan H264DEC_TSAN --tsan-sample N]
                          [--asan H264DEC_ASAN --asan-sample N]
"""
import argparse
import collections
import concurrent.futures
import hashlib
import os
import random
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'data'))
from annexb_bits import Bits, to_payload, to_rbsp, ue_bits  # noqa: E402


def units(b):
    """NAL units of an Annex B stream: (begin, end, type), begin at the
    start code (with a leading zero byte when there is one)."""
    starts = []
    i, n = 0, len(b)
    while True:
        i = b.find(b'\x00\x00\x01', i)
        if i < 0:
            break
        starts.append((i - 1 if i > 0 and b[i - 1] == 0 else i, i + 3))
        i += 3
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


def read_sps(payload):
    """(sps id, fields) of a sequence parameter set: log2_max_frame_num,
    frame_mbs_only, frame size in macroblocks; the order count type, the
    bits of pic_order_cnt_lsb, delta_pic_order_always_zero_flag, the width
    and the height in map units, chroma_format_idc."""
    r = Bits(to_rbsp(payload))
    sps_id, log2_max_frame_num = sps_head(r)
    chroma = 1
    if int(r.s[:8], 2) in HIGH_PROFILES:
        c = Bits(to_rbsp(payload))
        c.u(24)
        c.ue()
        chroma = c.ue()
    poc = r.ue()
    lsb_bits, always_zero = 0, 1
    if poc == 0:
        lsb_bits = r.ue() + 4
    elif poc == 1:
        always_zero = r.u(1)
        r.se()
        r.se()
        for _ in range(r.ue()):
            r.se()
    r.ue()
    r.u(1)
    w, h = r.ue() + 1, r.ue() + 1
    frame_mbs_only = r.u(1)
    return sps_id, {'frame_num_bits': log2_max_frame_num, 'frame_mbs_only': frame_mbs_only,
                    'size': (w, h * (2 - frame_mbs_only)), 'poc': poc, 'lsb_bits': lsb_bits,
                    'always_zero': always_zero, 'w': w, 'h': h, 'chroma': chroma}


HIGH_PROFILES = (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135)


def sps_head(r):
    """Reads a sequence parameter set up to its pic_order_cnt_type: (sps id,
    log2_max_frame_num)."""
    profile = r.u(8)
    r.u(16)
    sps_id = r.ue()
    chroma = 1
    if profile in HIGH_PROFILES:
        chroma = r.ue()
        if chroma == 3:
            r.u(1)
        r.ue()
        r.ue()
        r.u(1)
        if r.u(1):
            for i in range(12 if chroma == 3 else 8):
                if r.u(1):
                    last = nxt = 8
                    for _ in range(16 if i < 6 else 64):
                        if nxt:
                            nxt = (last + r.se()) % 256
                            last = nxt or last
    return sps_id, r.ue() + 4


def slices(b):
    """The stream's units and, for each slice, its header fields: index,
    nal_ref_idc, idr, first_mb, frame_num, field (0 frame, 1 top, 2 bottom)
    and pps. Slices whose sets are unknown are left out."""
    us = units(b)
    spss, ppss, out = {}, {}, []
    for i, (beg, end, t) in enumerate(us):
        h = header_at(b, (beg, end, t))
        try:
            if t == 7:
                sid, fields = read_sps(b[h + 1:end])
                spss[sid] = fields
            elif t == 8:
                r = Bits(to_rbsp(b[h + 1:end]))
                pid = r.ue()
                ppss[pid] = r.ue()
            elif t in (1, 5):
                r = Bits(to_rbsp(b[h + 1:min(end, h + 65)]))  # the header's first fields
                first_mb = r.ue()
                r.ue()
                pid = r.ue()
                sps = spss.get(ppss.get(pid))
                if sps is None:
                    continue
                frame_num = r.u(sps['frame_num_bits'])
                field = 0
                if not sps['frame_mbs_only'] and r.u(1):
                    field = 1 + r.u(1)
                out.append({'unit': i, 'ref': (b[h] >> 5) & 3, 'idr': t == 5, 'first_mb': first_mb,
                            'frame_num': frame_num, 'field': field, 'pps': pid, 'size': sps['size']})
        except (ValueError, IndexError):
            continue
    return us, out


_pictures = {}


def coded_pictures(b):
    """The stream's units and its coded pictures (frames or fields) as lists
    of slices, in stream order: a slice starts a picture when it starts at
    macroblock 0 or differs from the slice before in frame_num, field,
    parameter set, reference kind or IDR."""
    key = hashlib.md5(b).digest()
    if key not in _pictures:
        _pictures[key] = pictures_of(b)
    return _pictures[key]


def pictures_of(b):
    us, ss = slices(b)
    pics = []
    for s in ss:
        p = pics[-1][-1] if pics else None
        if p is None or s['first_mb'] == 0 or any(s[k] != p[k] for k in ('frame_num', 'field', 'pps', 'idr')) \
                or (s['ref'] == 0) != (p['ref'] == 0):
            pics.append([s])
        else:
            pics[-1].append(s)
    return us, pics


def frames_of(pics):
    """Coded pictures grouped into frames: a field with the next one when
    that is the other field of the same frame_num and reference kind."""
    out, k = [], 0
    while k < len(pics):
        a = pics[k][0]
        if k + 1 < len(pics) and a['field']:
            c = pics[k + 1][0]
            if c['field'] and c['field'] != a['field'] and c['frame_num'] == a['frame_num'] \
                    and (c['ref'] == 0) == (a['ref'] == 0) and not c['idr']:
                out.append(pics[k] + pics[k + 1])
                k += 2
                continue
        out.append(pics[k])
        k += 1
    return out


def without(b, us, slices_lost):
    lost = {s['unit'] for s in slices_lost}
    return join(b, [u for i, u in enumerate(us) if i not in lost])


def slice_dropped(b, rng, seed):
    """One slice of a picture of several slices dropped."""
    us, pics = coded_pictures(b)
    many = [p for p in pics if len(p) > 1]
    if not many:
        return None
    return without(b, us, [rng.choice(rng.choice(many))])


def lose_one(b, rng, groups, reference):
    """One group of slices after the first, of a reference picture or of a
    non-reference one, lost."""
    cands = [g for g in groups[1:] if (g[0]['ref'] != 0) == reference]
    if not cands:
        return None
    us = units(b)
    return without(b, us, rng.choice(cands))


def picture_lost(b, rng, seed):
    """A whole picture lost (both fields of a field pair): a reference one
    at even seeds, a non-reference one at odd seeds."""
    return lose_one(b, rng, frames_of(coded_pictures(b)[1]), seed % 2 == 0)


def field_lost(b, rng, seed):
    """One field of a field stream lost: of a reference frame at even seeds,
    of a non-reference one at odd seeds."""
    pics = coded_pictures(b)[1]
    if not any(p[0]['field'] for p in pics):
        return None
    return lose_one(b, rng, [p for p in pics if p[0]['field']], seed % 2 == 0)


def every_second_lost(b, rng, seed):
    """Every second coded picture (frame or field) lost at seed 0; of a field
    stream, every second frame (field pair) at seed 1."""
    us, pics = coded_pictures(b)
    if seed == 1 and any(p[0]['field'] for p in pics):
        groups = frames_of(pics)
    elif seed == 0:
        groups = pics
    else:
        return None
    if len(groups) < 3:
        return None
    return without(b, us, [s for g in groups[1::2] for s in g])


def splice_no_idr(a, rng, seed, b):
    """Stream a followed by stream b without b's IDR slices: without all of
    them at seed 0, without its first IDR picture at seed 1."""
    us, pics = coded_pictures(b)
    if seed == 0:
        lost = [s for p in pics for s in p if s['idr']]
    elif seed == 1:
        lost = [s for p in pics[:1] for s in p if s['idr']]
        if pics[1:2] and pics[1][0]['idr'] == pics[0][0]['idr'] and pics[1][0]['field']:
            lost += [s for s in pics[1] if s['idr']]  # the second field of an IDR frame
    else:
        return None
    if not lost:
        return None
    return a + without(b, us, lost)


def first_idr_flip(b, rng, seed):
    """One bit among bits 9 to 24 after the header byte of the first IDR
    slice flipped (bit 9 + seed, seeds 0 to 15); at seed 16 the low bit of
    its nal_ref_idc; at seeds 17 to 32 bit 9 + seed - 17 of the first slice
    of the other field of the first IDR frame, when it is a field."""
    us, pics = coded_pictures(b)
    first = next((p for p in pics if p[0]['idr']), None)
    if first is None or seed > 32:
        return None
    u = us[first[0]['unit']]
    if seed > 16:
        k = pics.index(first) + 1
        other = pics[k][0] if k < len(pics) else None
        if not first[0]['field'] or other is None or not other['field'] or other['field'] == first[0]['field'] \
                or other['frame_num'] != first[0]['frame_num']:
            return None
        u, seed = us[other['unit']], seed - 17
    h = header_at(b, u)
    out = bytearray(b)
    if seed == 16:
        out[h] ^= 0x20
    else:
        if h + 3 >= u[1]:
            return None
        out[h + 2 + seed // 8] ^= 0x80 >> (seed % 8)
    return bytes(out)


def access_unit_slices(b):
    """The stream's units, its access units (as camera_units) and the first
    slice (as slices gives it) of each, None where it is unknown."""
    us, aus = camera_units(b)
    by_unit = {s['unit']: s for s in slices(b)[1]}
    firsts = []
    for s_, e in aus:
        firsts.append(next((by_unit[i] for i in range(s_, e) if i in by_unit), None))
    return us, aus, firsts


def fields_swapped(b, rng, seed):
    """The two fields of one reference frame exchanged, so that its second
    field comes first (the frame of the IDR picture aside): of the frames
    with two such fields, the one a quarter (seed 0), a half, three quarters
    and all the way (seed 3) into the stream."""
    us, aus, firsts = access_unit_slices(b)
    pairs = [k for k in range(len(aus) - 1) if firsts[k] and firsts[k + 1] and firsts[k]['field']
             and firsts[k + 1]['field'] and firsts[k]['field'] != firsts[k + 1]['field']
             and firsts[k]['frame_num'] == firsts[k + 1]['frame_num'] and firsts[k]['ref'] and firsts[k + 1]['ref']
             and not firsts[k]['idr'] and not firsts[k + 1]['idr']]
    if not pairs or seed > 3:
        return None
    k = pairs[min(len(pairs) - 1, (seed + 1) * len(pairs) // 4)]
    order = list(range(len(aus)))
    order[k], order[k + 1] = k + 1, k
    return join(b, us[:aus[0][0]]) + b''.join(join(b, us[aus[i][0]:aus[i][1]]) for i in order) + \
        join(b, us[aus[-1][1]:])


def idr_typed(b, rng, seed):
    """The seed-th slice that is not an IDR slice turned into one: its NAL
    header made nal_unit_type 5, nal_ref_idc 3 (an IDR unit holding a P or B
    slice, or an I slice that continues the stream)."""
    us, ss = slices(b)
    cands = [x for x in ss if not x['idr']]
    if seed >= len(cands):
        return None
    out = bytearray(b)
    out[header_at(b, us[cands[seed]['unit']])] = 0x65
    return bytes(out)


def idr_type_bit(b, rng, seed):
    """The nal_unit_type of the first IDR slice turned from 5 into 1 (seed
    0), or of every slice of the first IDR picture when it has several (seed
    1)."""
    us, pics = coded_pictures(b)
    first = next((p for p in pics if p[0]['idr']), None)
    if first is None or seed > 1 or (seed == 1 and len(first) < 2):
        return None
    out = bytearray(b)
    for x in first[:1] if seed == 0 else first:
        h = header_at(b, us[x['unit']])
        out[h] = (out[h] & 0xE0) | 1
    return bytes(out)


def join_larger_no_idr(a, rng, seed, b):
    """Stream a, then the parameter sets of the larger stream b, then b
    without its IDR slices."""
    us, pics = coded_pictures(b)
    lost = [x for p in pics for x in p if x['idr']]
    if not lost or seed > 0:
        return None
    return a + join(b, parameter_sets(b)) + without(b, us, lost)


def fields_sent_again(b, rng, seed):
    """One to four access units each sent again 4 to 25 access units after
    itself (far: with pictures of other frames between); the first access
    unit, the IDR picture with the parameter sets, among them at even
    seeds."""
    n = len(camera_units(b)[1])
    if n < 6:
        return None
    ks = set(rng.sample(range(1, n - 1), min(n - 2, rng.randrange(1, 5))))
    if seed % 2 == 0:
        ks.add(0)
    return with_repeats(b, sorted((k, k + rng.randrange(4, 26)) for k in ks))



# Kinds of order and reference damage: every reference flag turned and every
# pair of adjacent access units exchanged, on every source. Each derivative
# is to be reported (exit 3) or to give ffmpeg's pictures.
def ref_flag_flipped(b, rng, seed):
    """Every slice of the seed-th coded picture with its nal_ref_idc turned:
    0 to 2, any other to 0."""
    us, pics = coded_pictures(b)
    if seed >= len(pics):
        return None
    out = bytearray(b)
    for x in pics[seed]:
        h = header_at(b, us[x['unit']])
        out[h] = (out[h] & 0x9F) | (0x40 if x['ref'] == 0 else 0)
    return bytes(out)


def in_order(b, us, aus, order):
    """The stream's access units in the order given, with the units before
    the first and after the last where they stand."""
    return join(b, us[:aus[0][0]]) + b''.join(join(b, us[aus[i][0]:aus[i][1]]) for i in order) + \
        join(b, us[aus[-1][1]:])


def pair_exchanged(b, rng, seed):
    """Access units seed and seed + 1 exchanged (each with the delimiter,
    SEI and sets before its picture)."""
    us, aus = camera_units(b)
    if seed + 1 >= len(aus):
        return None
    order = list(range(len(aus)))
    order[seed], order[seed + 1] = seed + 1, seed
    return in_order(b, us, aus, order)


ORDER_KINDS = {
    'ref_flag_flipped': (ref_flag_flipped, range(40), range(0, 40, 5)),
    'pair_exchanged': (pair_exchanged, range(40), range(0, 40, 5)),
}


def order_report(args, results, kinds):
    """The table of the order kinds: a derivative passes when it is reported
    (exit 3) or decodes to ffmpeg's pictures; the number of faults."""
    print('order kinds: pass = exit 3 (reported) or exit 0 with ffmpeg\'s pictures or with the untouched '
          'stream\'s; exit0-ff: exit 0 with ffmpeg\'s pictures; exit0-clean: exit 0 with the untouched stream\'s '
          'pictures, not ffmpeg\'s (an exchange that leaves a legal order, decoded as the standard asks, where '
          'ffmpeg leaves a picture out); exit0-not: exit 0 with other pictures than both (fault); exit3-ff: '
          'reported, with ffmpeg\'s pictures; differ: outcome differs between worker counts')
    print(f"{'kind':20} {'streams':>7} {'exit0-ff':>8} {'exit0-clean':>11} {'exit0-not':>9} {'exit3':>5} "
          f"{'exit3-ff':>8} {'exit1':>5} {'differ':>6} {'stalls':>6} {'crash':>5}")
    faults, listed = 0, []
    for kind in kinds:
        rs = [r for r in results if r['kind'] == kind]
        clean = [r for r in rs if r['rc'] == 0 and not r['as_ffmpeg'] and not r['lost']]
        bad = [r for r in rs if (r['rc'] == 0 and not r['as_ffmpeg'] and r['lost']) or r['rc'] not in (0, 3) or
               r['differs'] or r['stall'] or r['crash']]
        row = [len(rs), sum(r['rc'] == 0 and r['as_ffmpeg'] for r in rs), len(clean),
               sum(r['rc'] == 0 and not r['as_ffmpeg'] and r['lost'] for r in rs),
               sum(r['rc'] == 3 for r in rs), sum(r['rc'] == 3 and r['as_ffmpeg'] for r in rs),
               sum(r['rc'] == 1 for r in rs), sum(r['differs'] for r in rs), sum(r['stall'] for r in rs),
               sum(r['crash'] for r in rs)]
        print(f"{kind:20} {row[0]:7} {row[1]:8} {row[2]:11} {row[3]:9} {row[4]:5} {row[5]:8} {row[6]:5} {row[7]:6} "
              f"{row[8]:6} {row[9]:5}")
        faults += len(bad)
        for r in bad:
            r['why'] = f"exit {r['rc']}" + ('' if r['as_ffmpeg'] else ', not ffmpeg\'s pictures') + \
                (', differs between worker counts' if r['differs'] else '') + (', stall' if r['stall'] else '') + \
                (', crash' if r['crash'] else '')
        listed += [f"  {r['why']}: {r['path']} ({r['pictures']} pictures, ffmpeg {r['ffmpeg']}): "
                   f"{r['message'][:200]}" for r in bad][:args.show]
    print('\n'.join(['order streams to look at:'] + listed) if listed else 'no order stream to look at', flush=True)
    return faults


# Legal streams made by cutting or reordering whole pictures: a frame of two
# intra fields sent in the other order (the bottom field first where the
# stream sends the top one first), and every stream cut at each of its I
# pictures and recovery points with its parameter sets in front.
def intra_field_frames(b):
    """The stream's units, access units and the indexes k of the frames whose
    two fields (access units k and k + 1) are both non-IDR reference fields
    made of I slices only."""
    us, aus, firsts = access_unit_slices(b)
    by_unit = {x['unit']: x for x in slices(b)[1]}

    def intra(k):
        s_, e = aus[k]
        ss = [by_unit[i] for i in range(s_, e) if i in by_unit]
        return ss and all(slice_type(b, us[x['unit']]) == 2 and not x['idr'] and x['ref'] for x in ss)
    out = []
    for k in range(len(aus) - 1):
        a, c = firsts[k], firsts[k + 1]
        if a and c and a['field'] and c['field'] and a['field'] != c['field'] and a['frame_num'] == c['frame_num'] \
                and (k == 0 or not (firsts[k - 1] and firsts[k - 1]['field'] and firsts[k - 1]['frame_num'] ==
                                    a['frame_num'] and firsts[k - 1]['field'] != a['field'] and firsts[k - 1]['ref'])) \
                and intra(k) and intra(k + 1):
            out.append(k)
    return us, aus, out


def sei_value(r, i):
    """An SEI payload type or size starting at r[i] (bytes of 255 add up):
    (value, the index after it), or None past the end."""
    v = 0
    while i < len(r) and r[i] == 0xFF:
        v, i = v + 255, i + 1
    return None if i >= len(r) else (v + r[i], i + 1)


def recovery_point_in(b, us, first, end):
    """Whether the units [first, end) hold an SEI with a recovery point."""
    for u in us[first:end]:
        if u[2] != 6:
            continue
        r = to_rbsp(b[header_at(b, u) + 1:u[1]])
        i = 0
        while i + 1 < len(r) and r[i] != 0x80:
            t = sei_value(r, i)
            size = t and sei_value(r, t[1])
            if not size:
                break
            if t[0] == 6:
                return True
            i = size[1] + size[0]
    return False


def intra_starts(b):
    """The stream's units, access units and the indexes of those that a
    decoder may start at: an I picture other than IDR (the first field of
    its frame) or a recovery point, after the first access unit."""
    us, aus, firsts = access_unit_slices(b)
    out = []
    for k in range(1, len(aus)):
        x, prev = firsts[k], firsts[k - 1]
        if x is None or x['idr']:
            continue
        if x['field'] and prev and prev['field'] and prev['field'] != x['field'] and \
                prev['frame_num'] == x['frame_num'] and (prev['ref'] == 0) == (x['ref'] == 0):
            continue  # the second field of a frame
        if slice_type(b, us[x['unit']]) == 2 or recovery_point_in(b, us, *aus[k]):
            out.append(k)
    return us, aus, out


def cut_at(b, us, aus, k):
    """The stream from access unit k on, with the parameter sets sent before
    it in front."""
    return join(b, [u for u in us[:aus[k][0]] if u[2] in (7, 8)]) + join(b, us[aus[k][0]:])


def se_bits(v):
    return ue_bits(2 * v - 1 if v > 0 else -2 * v)


def field_sps(payload):
    """What a field's I_PCM slice needs of a sequence parameter set (see
    read_sps, with its id), or None for a stream of frames only."""
    sps_id, f = read_sps(payload)
    return None if f['frame_mbs_only'] else dict(f, id=sps_id)


def field_slice_poc(b, u, sps, pps_ids):
    """pic_order_cnt_lsb (type 0) or delta_pic_order_cnt[0] (type 1) of a
    field's non-IDR slice, 0 for type 2."""
    r = Bits(to_rbsp(b[header_at(b, u) + 1:min(u[1], header_at(b, u) + 40)]))
    r.ue()
    r.ue()
    r.ue()
    r.u(sps['frame_num_bits'])
    r.u(2)  # field_pic_flag, bottom_field_flag
    if sps['poc'] == 0:
        return r.u(sps['lsb_bits'])
    if sps['poc'] == 1 and not sps['always_zero']:
        return r.se()
    return 0


def pcm_field_unit(sps, pps_id, ref_idc, frame_num, bottom, poc_value, planes):
    """A non-IDR reference field of I_PCM macroblocks (CAVLC, deblocking
    off) with the given identity; planes: (Y, Cb, Cr) rows of the field."""
    bits = ['1', ue_bits(7), ue_bits(pps_id), format(frame_num, f"0{sps['frame_num_bits']}b"), '1', str(bottom)]
    if sps['poc'] == 0:
        bits.append(format(poc_value, f"0{sps['lsb_bits']}b"))
    elif sps['poc'] == 1 and not sps['always_zero']:
        bits.append(se_bits(poc_value))
    bits += ['0', se_bits(0), ue_bits(1)]  # sliding window, slice_qp_delta, no deblocking
    head = ''.join(bits)
    y, cb, cr = planes
    out = bytearray()
    acc = head
    for my in range(sps['h']):
        for mx in range(sps['w']):
            acc += ue_bits(25)  # I_PCM
            acc += '0' * (-len(acc) % 8)
            out += bytes(int(acc[i:i + 8], 2) for i in range(0, len(acc), 8))
            acc = ''
            for row in range(16):
                out += y[my * 16 + row][mx * 16:mx * 16 + 16]
            for plane in (cb, cr):
                for row in range(8):
                    out += plane[my * 8 + row][mx * 8:mx * 8 + 8]
    out += b'\x80'
    return b'\x00\x00\x00\x01' + bytes([(ref_idc << 5) | 1]) + to_payload(bytes(out))


def cavlc_pps_unit(pps_id, sps_id):
    """A picture parameter set for the I_PCM fields: CAVLC, deblocking
    control present, nothing else."""
    bits = ue_bits(pps_id) + ue_bits(sps_id) + '0' + '0' + ue_bits(0) + ue_bits(0) + ue_bits(0) + '0' + '00' + \
        se_bits(0) + se_bits(0) + se_bits(0) + '1' + '0' + '0' + '1'
    bits += '0' * (-len(bits) % 8)
    return b'\x00\x00\x00\x01\x68' + to_payload(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))


def decoded_frame_rows(path, sps):
    """The last picture ffmpeg decodes from a stream, uncropped where it can
    be, as rows of Y, Cb and Cr of the coded frame size (rows past the
    cropped picture repeat its last row)."""
    w, h = sps['w'] * 16, sps['h'] * 32
    r = subprocess.run(['ffmpeg', '-v', 'quiet', '-f', 'h264', '-i', path, '-pix_fmt', 'yuv420p', '-f', 'rawvideo',
                        '-'], capture_output=True, timeout=300)
    probe = subprocess.run(['ffprobe', '-v', 'quiet', '-select_streams', 'v:0', '-show_entries', 'stream=width,height',
                            '-of', 'csv=p=0', path], capture_output=True, timeout=60).stdout.decode().strip()
    if not probe:
        return None
    cw, ch = (int(x) for x in probe.split(',')[:2])
    size = cw * ch * 3 // 2
    if len(r.stdout) < size:
        return None
    last = r.stdout[len(r.stdout) // size * size - size:len(r.stdout) // size * size]

    def plane(data, pw, ph, tw, th):
        rows = [bytes(data[i * pw:(i + 1) * pw]) + bytes([data[(i + 1) * pw - 1]]) * (tw - pw) for i in range(ph)]
        return rows + [rows[-1]] * (th - ph)
    y = plane(last[:cw * ch], cw, ch, w, h)
    cb = plane(last[cw * ch:cw * ch + cw * ch // 4], cw // 2, ch // 2, w // 2, h // 2)
    cr = plane(last[cw * ch + cw * ch // 4:], cw // 2, ch // 2, w // 2, h // 2)
    return y, cb, cr


def intra_field_pairs(args, name, b, most):
    """Streams of a field stream in which the frame of each of `most` I
    fields (not IDR, first of its frame) has its second field, a reference
    field, replaced by one of I_PCM macroblocks (the first field's frame as
    decoded): the frame of two intra fields sent in its order, and in the
    other order (the replaced field first). (name, data) of each."""
    us, aus, firsts = access_unit_slices(b)
    spss, ppss = {}, {}
    for u in us:
        if u[2] == 7:
            f = field_sps(b[header_at(b, u) + 1:u[1]])
            if f:
                spss[f['id']] = f
        elif u[2] == 8:
            r = Bits(to_rbsp(b[header_at(b, u) + 1:u[1]]))
            pid = r.ue()
            ppss[pid] = r.ue()
    if not spss or not ppss or max(ppss) >= 255:
        return
    pps_id = max(ppss) + 1
    made = 0
    for k in range(1, len(aus) - 1):
        a, c = firsts[k], firsts[k + 1]
        if made >= most or not a or not c or a['idr'] or c['idr'] or not a['field'] or not c['field']:
            continue
        if a['field'] == c['field'] or a['frame_num'] != c['frame_num'] or not a['ref'] or not c['ref'] or \
                slice_type(b, us[a['unit']]) != 2 or slice_type(b, us[c['unit']]) == 2:
            continue
        prev = firsts[k - 1]
        if prev and prev['field'] and prev['frame_num'] == a['frame_num'] and prev['field'] != a['field'] and \
                prev['ref']:
            continue  # a is the second field of its frame
        sps = spss.get(ppss.get(c['pps']))
        if sps is None or sps['chroma'] != 1:
            continue
        head = join(b, us[:aus[k + 1][1]])
        path = os.path.join(args.work, 'x264', f'intra_field_head_{name}_{k}.264')
        with open(path, 'wb') as f:
            f.write(head)
        rows = decoded_frame_rows(path, sps)
        os.remove(path)
        if rows is None:
            continue
        bottom = c['field'] == 2
        field = tuple([row.replace(b'\x00', b'\x01') for row in p[bottom::2]] for p in rows)  # samples above 0
        pcm = cavlc_pps_unit(pps_id, sps['id']) + \
            pcm_field_unit(sps, pps_id, c['ref'], c['frame_num'], int(bottom),
                           field_slice_poc(b, us[c['unit']], sps, ppss), field)
        first = join(b, us[aus[k][0]:aus[k][1]])
        before = join(b, us[:aus[k][0]])
        after = join(b, us[aus[k + 1][1]:])
        yield f'{name}__{k}_in_order', before + first + pcm + after
        yield f'{name}__{k}_other_first', before + pcm + first + after
        made += 1


def order_legal_streams(args, kind):
    """(name, data) of the legal streams of intra_fields_swapped and
    cut_at_intra."""
    if kind == 'intra_fields_swapped':
        for p in FIELD_STREAMS:
            path = os.path.join(args.testdata, p)
            if not os.path.exists(path):
                continue
            b = open(path, 'rb').read()
            us, aus, frames = intra_field_frames(b)
            name = os.path.splitext(os.path.basename(p))[0]
            for k in frames[::3 if args.quick else 1][:12]:
                order = list(range(len(aus)))
                order[k], order[k + 1] = k + 1, k
                yield f'{name}__{k}', in_order(b, us, aus, order)
            yield from intra_field_pairs(args, name, b, 1 if args.quick else 3)
    elif kind == 'cut_at_intra':
        for src in annexb_sources(args.testdata, args.work):
            if clean_decode(args, src)['rc'] != 0:
                continue  # refused or damaged whole
            b = open(src, 'rb').read()
            us, aus, starts = intra_starts(b)
            name = os.path.splitext(os.path.basename(src))[0]
            most = 4 if args.quick else 16
            for k in starts[::max(1, len(starts) // most)][:most]:
                yield f'{name}__{k}', cut_at(b, us, aus, k)


ORDER_LEGAL_KINDS = ['intra_fields_swapped', 'cut_at_intra']


# Legal streams made of a reference frame whose first field is an intra
# field: its second field replaced by a copy of the first made the other
# field (its bottom_field_flag turned), so that the frame holds two intra
# fields with one order count, sent in the other order or in its own. No
# field refers to the other and no later picture's lists change: each is to
# give ffmpeg's pictures with exit 0.
def other_parity_unit(b, u, frame_num_bits):
    """A field slice unit with its bottom_field_flag turned."""
    h = header_at(b, u)
    r = Bits(to_rbsp(b[h + 1:u[1]]))
    r.ue()
    r.ue()
    r.ue()
    r.u(frame_num_bits)
    if r.u(1) != 1:
        raise ValueError('not a field slice')
    bits = r.s[:r.pos] + ('1' if r.s[r.pos] == '0' else '0') + r.s[r.pos + 1:]
    return rbsp_to_unit(b[u[0]:h + 1], bits)


def intra_first_fields(b):
    """The stream's units, access units, frame_num bits, and the indexes k
    of the reference frames (access units k and k + 1, not IDR) whose first
    field is made of I slices only."""
    us, aus, firsts = access_unit_slices(b)
    spss = [read_sps(b[header_at(b, u) + 1:u[1]])[1] for u in us if u[2] == 7]
    if len(spss) != 1:
        return us, aus, 0, []  # one sequence parameter set: one frame_num length
    by_unit = {x['unit']: x for x in slices(b)[1]}
    out = []
    for k in range(len(aus) - 1):
        a, c = firsts[k], firsts[k + 1]
        if not (a and c and a['field'] and c['field'] and a['field'] != c['field'] and a['frame_num'] == c['frame_num']
                and a['ref'] and c['ref'] and not a['idr'] and not c['idr']):
            continue
        prev = firsts[k - 1] if k else None
        if prev and prev['field'] and prev['field'] != a['field'] and prev['frame_num'] == a['frame_num'] \
                and prev['ref']:
            continue  # the second field of a reference frame
        ss = [by_unit[i] for i in range(*aus[k]) if i in by_unit]
        if ss and all(slice_type(b, us[x['unit']]) == 2 for x in ss):
            out.append(k)
    return us, aus, spss[0]['frame_num_bits'], out


def intra_pair_streams(args):
    """(name, data): every field source's frames of intra_first_fields (the
    first 6 of each, 2 in a quick run), each in both orders."""
    for src in annexb_sources(args.testdata, args.work):
        b = open(src, 'rb').read()
        if not has_fields(src):
            continue
        us, aus, bits, frames = intra_first_fields(b)
        name = os.path.splitext(os.path.basename(src))[0]
        for k in frames[:2 if args.quick else 6]:
            copy = b''.join(other_parity_unit(b, u, bits) if u[2] in (1, 5) else b[u[0]:u[1]]
                            for u in us[aus[k][0]:aus[k][1]])
            first = join(b, us[aus[k][0]:aus[k][1]])
            for order, pair in (('other', copy + first), ('own', first + copy)):
                yield f'{name}__{k}__{order}', join(b, us[:aus[k][0]]) + pair + join(b, us[aus[k + 1][1]:])


INTRA_PAIR_KINDS = ['intra_pairs_made']


def one_cut(args, item):
    """A legal stream of the order kinds, judged: exit 0 with ffmpeg's
    pictures passes; so does a cut stream reported damaged (exit 3), which
    the table counts on its own (the cut stream's pictures shown before its
    I picture may refer to pictures before the cut)."""
    r = one_legal(args, item)
    if item[0] == 'cut_at_intra' and r['rc'] == 3:
        r['faults'] = [f for f in r['faults'] if f.startswith(('differs', 'stall', 'crash'))]
        r['why'] = '; '.join(r['faults'])
        r['reported'] = True
    return r


def cut_report(args, results):
    """The streams cut at their I pictures and recovery points: per source,
    how many cuts are reported damaged (exit 3)."""
    rs = [r for r in results if r['kind'] == 'cut_at_intra']
    by_source = collections.OrderedDict()
    for r in rs:
        by_source.setdefault(os.path.basename(r['path']).rsplit('__', 1)[0], []).append(r)
    reported = [(n, sum(bool(r.get('reported')) for r in v), len(v)) for n, v in by_source.items()]
    print(f"cut_at_intra: {len(rs)} cuts of {len(by_source)} streams, {sum(x[1] for x in reported)} reported "
          'damaged (exit 3); per stream, reported of cuts: ' +
          ', '.join(f'{n} {k}/{t}' for n, k, t in reported if k), flush=True)

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

# Damage after which the stream no longer holds all its content (a slice, a
# picture or a field lost, a splice without its IDR, a flipped bit in the
# first IDR slice): an exit status of 0 on any of them hides the damage.
# Each kind: the function and its seeds (the quick run's seeds).
LOSS_KINDS = {
    'slice_dropped': (slice_dropped, range(4), range(2)),
    'picture_lost': (picture_lost, range(4), range(2)),
    'field_lost': (field_lost, range(4), range(2)),
    'every_second_lost': (every_second_lost, range(2), range(2)),
    'first_idr_flip': (first_idr_flip, range(33), (0, 3, 6, 9, 12, 15, 16, 17, 20, 23, 26, 29, 32)),
}
# Stream a followed by stream b without its IDR slices: of the same size and
# of another size, both ways.
SPLICE_PAIRS = [
    ('h264-features/01_cavlc_main', 'h264-features/02_cabac_main'),
    ('h264-features/02_cabac_main', 'h264-features/01_cavlc_main'),
    ('h264-features/01_cavlc_main', 'h264-conformance/BA_MW_D'),
    ('h264-conformance/BA_MW_D', 'h264-features/01_cavlc_main'),
    ('h264-features/01_cavlc_main', 'h264-features/26_mandelbrot_320x240'),
    ('h264-features/14_mbaff_tff_cabac', 'h264-features/15_mbaff_bff_cavlc'),
    ('h264-conformance/CVFI1_SVA_C', 'h264-conformance/CAFI1_SVA_C'),
    ('avchd/camera_1080i50_paff', 'h264-features/01_cavlc_main'),
]
# Recordings given to the decoders as they are: cut to start at a packet, and
# with their packets shuffled. Both decoders are to refuse them, naming
# mtsimport.
TS_KINDS = ('ts_cut', 'ts_shuffled')
LOSS_GROUP = list(LOSS_KINDS) + ['splice_no_idr'] + list(TS_KINDS)
# Damage that keeps every unit but changes how one is read, or the place of
# some: the two fields of a reference frame exchanged, slices typed IDR
# (every slice of some streams in turn), the first IDR slice typed 1, a
# stream joined on by a larger one without its IDR pictures, and access
# units sent again far later. Each kind: the function and its seeds (the
# quick run's seeds). None may exit 0 with pictures other than the clean
# streams', or give no picture where ffmpeg decodes some.
SILENT_KINDS = {
    'fields_swapped': (fields_swapped, range(4), range(0, 4, 2)),
    'idr_typed': (idr_typed, range(400), range(0, 400, 3)),
    'idr_type_bit': (idr_type_bit, range(2), range(2)),
    'join_larger_no_idr': (join_larger_no_idr, range(1), range(1)),
    'fields_sent_again': (fields_sent_again, range(8), range(4)),
}
NEW_KINDS = LOSS_GROUP + list(SILENT_KINDS) + list(ORDER_KINDS)
# The streams whose every slice is typed IDR: x264's with B pyramids and
# weighted prediction, CABAC and CAVLC (options, size, pictures), and some
# conformance streams.
IDR_TYPED_X264 = [('--bframes 6 --b-pyramid normal --weightp 2 --ref 6', '320x240', 50),
                  ('--no-cabac --bframes 5 --b-pyramid normal --weightp 2', '320x240', 50),
                  ('--bframes 3 --b-pyramid strict --weightp 1 --slices 2', '352x288', 30)]
# Joins to a larger size without IDR named besides those of each size: a
# frame stream joined by an MBAFF stream with I pictures.
JOIN_LARGER_PAIRS = [('h264-conformance/BA_MW_D.264', 'h264-conformance/CAMA3_Sand_E.264')]
IDR_TYPED_STREAMS = ['h264-conformance/CVFI1_SVA_C.264', 'h264-conformance/CABA3_SVA_B.264',
                     'h264-conformance/CABREF3_Sand_D.264', 'h264-features/02_cabac_main.264']
PACKET = 192


def ts_cuts(data, quick):
    """A recording cut to start at every 30th packet (every 90th in a quick
    run) of its first 3000, and inside that packet, each with at most 3000
    packets; pieces of 2 to 63 packets from there and from each of the
    first 32 packets (every third in a quick run); and cut to start at the packets that hold a sequence parameter
    set (the first 20; 10 in a quick run), with at most 3000 packets and as
    a piece of 2 to 63 packets."""
    n = len(data) // PACKET
    rng = random.Random('ts_cut')
    for k in range(30, min(n, 3000), 90 if quick else 30):
        yield str(k), data[k * PACKET:(k + 3000) * PACKET]
        at = rng.randrange(1, PACKET)
        yield f'{k}+{at}', data[k * PACKET + at:(k + 3000) * PACKET]
    for k in list(range(0, 32, 3 if quick else 1)) + list(range(30, min(n, 3000), 90 if quick else 30)):
        m = rng.randrange(2, 64)
        yield f'{k}x{m}', data[k * PACKET:(k + m) * PACKET]
    sets, at = [], data.find(b'\x00\x00\x01\x67', PACKET)
    while at >= 0 and len(sets) < (10 if quick else 20):
        sets.append(at // PACKET)
        at = data.find(b'\x00\x00\x01\x67', (at // PACKET + 1) * PACKET)
    for k in sets:
        yield f'{k}sps', data[k * PACKET:(k + 3000) * PACKET]
        m = rng.randrange(2, 64)
        yield f'{k}sps{m}', data[k * PACKET:(k + m) * PACKET]


def ts_shuffles(data, quick):
    """The first 3000 packets of a recording all shuffled, shuffled within
    runs of 16, and with ten pairs swapped."""
    packets = [data[i:i + PACKET] for i in range(0, min(len(data), 3000 * PACKET), PACKET)]
    rng = random.Random('ts_shuffled')
    whole = packets[:]
    rng.shuffle(whole)
    yield 'all', b''.join(whole)
    runs = []
    for i in range(0, len(packets), 16):
        run = packets[i:i + 16]
        rng.shuffle(run)
        runs += run
    yield 'runs16', b''.join(runs)
    pairs = packets[:]
    for _ in range(10):
        i, j = rng.randrange(len(pairs)), rng.randrange(len(pairs))
        pairs[i], pairs[j] = pairs[j], pairs[i]
    yield 'pairs10', b''.join(pairs)


def annexb_sources(testdata, work):
    """Every H.264 stream of the material: feature clips, conformance
    streams, the camera's field stream and the recordings' video."""
    out = [os.path.join(testdata, 'h264-features', n) for n in sorted(os.listdir(os.path.join(testdata,
                                                                                              'h264-features')))
           if n.endswith('.264')]
    conf = os.path.join(testdata, 'h264-conformance')
    out += [os.path.join(conf, n) for n in sorted(os.listdir(conf)) if n.endswith(('.264', '.avc'))]
    camera = os.path.join(testdata, 'avchd', 'camera_1080i50_paff.264')
    if os.path.exists(camera):
        out.append(camera)
    return out + [s for s in sources(testdata, work) if s.startswith(work)]


def flip_sources(srcs):
    """The first IDR flips' streams: the feature clips 01 to 04 and 12 to 15
    and every field stream."""
    keep = ('01_', '02_', '03_', '04_', '12_', '13_', '14_', '15_')
    out = []
    for src in srcs:
        if os.path.basename(src).startswith(keep):
            out.append(src)
        elif any(p[0]['field'] for p in coded_pictures(open(src, 'rb').read())[1]):
            out.append(src)
    return out


def size_of(b):
    """The size in macroblocks of the stream's first picture."""
    pics = coded_pictures(b)[1]
    return pics[0][0]['size'] if pics else None


def splice_pairs(testdata, srcs, quick):
    """The streams to splice without IDR: the pairs named, each feature clip
    (the first four in a quick run) followed by the next of the same size,
    and each followed by and following a conformance stream of another size
    (in turn)."""
    pairs = [tuple(os.path.join(testdata, x + '.264') for x in pair) for pair in SPLICE_PAIRS]
    feat = [s for s in srcs if os.path.basename(os.path.dirname(s)) == 'h264-features'][:4 if quick else 10]
    sizes = {s: size_of(open(s, 'rb').read()) for s in srcs}
    for k, a in enumerate(feat):
        same = [b for b in feat[k + 1:] if sizes[b] == sizes[a]]
        other = [b for b in srcs if os.path.basename(os.path.dirname(b)) == 'h264-conformance' and
                 sizes[b] and sizes[a] and sizes[b] != sizes[a]]
        pairs += [(a, b) for b in same[:1]]
        if other:
            b = other[k * 7 % len(other)]
            pairs += [(a, b), (b, a)]
    seen = set()
    return [p for p in pairs if p[0] in srcs and p[1] in srcs and not (p in seen or seen.add(p))]


def new_items(args, kinds):
    """The derivatives of the loss, splice and recording kinds: (kind, path,
    what it is made of: the clean streams whose pictures it would hold
    undamaged, or None for a recording)."""
    items, excluded = [], []
    srcs = []
    for src in annexb_sources(args.testdata, args.work):
        clean = clean_decode(args, src)
        (srcs if clean['rc'] == 0 else excluded).append(src)
    if excluded:
        print('not decoded cleanly, left out of the loss kinds: ' + ' '.join(os.path.basename(s) for s in excluded),
              flush=True)

    def write(kind, name, data, made_of):
        path = os.path.join(args.work, f'{kind}__{name}')
        with open(path, 'wb') as f:
            f.write(data)
        items.append((kind, path, made_of))

    for kind in kinds:
        if kind in LOSS_KINDS:
            f, seeds, quick_seeds = LOSS_KINDS[kind]
            for src in (flip_sources(srcs) if kind == 'first_idr_flip' else srcs):
                data = open(src, 'rb').read()
                base = os.path.splitext(os.path.basename(src))[0]
                for seed in (quick_seeds if args.quick else seeds):
                    damaged = f(data, random.Random(f'{kind}/{base}/{seed}'), seed)
                    if damaged is not None and damaged != data:
                        write(kind, f'{base}__{seed}.264', damaged, (src,))
        elif kind == 'splice_no_idr':
            for pa, pb in splice_pairs(args.testdata, srcs, args.quick):
                da, db = open(pa, 'rb').read(), open(pb, 'rb').read()
                size = 'same' if size_of(da) == size_of(db) else 'other'
                for seed in range(2):
                    damaged = splice_no_idr(da, random.Random(seed), seed, db)
                    if damaged is not None:
                        names = '+'.join(os.path.splitext(os.path.basename(x))[0] for x in (pa, pb))
                        write(kind, f'{names}__{size}__{seed}.264', damaged, (pa, pb))
        elif kind in SILENT_KINDS:
            f, seeds, quick_seeds = SILENT_KINDS[kind]
            for made_of in silent_sources(args, kind, srcs):
                data = [open(x, 'rb').read() for x in made_of]
                base = '+'.join(os.path.splitext(os.path.basename(x))[0] for x in made_of)
                for seed in (quick_seeds if args.quick else seeds):
                    rng = random.Random(f'{kind}/{base}/{seed}')
                    damaged = f(data[0], rng, seed, data[1]) if len(data) == 2 else f(data[0], rng, seed)
                    if damaged is None:
                        if kind == 'idr_typed':
                            break  # past the stream's last slice
                        continue
                    if damaged != data[0]:
                        write(kind, f'{base}__{seed}.264', damaged, made_of)
        elif kind in ORDER_KINDS:
            f, seeds, quick_seeds = ORDER_KINDS[kind]
            for src in srcs:
                data = open(src, 'rb').read()
                base = os.path.splitext(os.path.basename(src))[0]
                for seed in (quick_seeds if args.quick else seeds):
                    damaged = f(data, None, seed)
                    if damaged is None:
                        break  # past the stream's last picture
                    if damaged != data:
                        write(kind, f'{base}__{seed}.264', damaged, (src,))
        elif kind in TS_KINDS:
            avchd = os.path.join(args.testdata, 'avchd')
            for n in sorted(os.listdir(avchd)):
                if not n.endswith('.m2ts'):
                    continue
                data = open(os.path.join(avchd, n), 'rb').read()
                for name, damaged in (ts_cuts if kind == 'ts_cut' else ts_shuffles)(data, args.quick):
                    write(kind, f'{os.path.splitext(n)[0]}__{name}.m2ts', damaged, None)
    return items


def has_fields(path):
    return any(p[0]['field'] for p in coded_pictures(open(path, 'rb').read())[1])


def has_intra_start(b):
    """Whether the stream has an I slice that is not an IDR slice (a stream
    joined on without its IDR pictures can start there)."""
    us, ss = slices(b)
    return any(not x['idr'] and x['first_mb'] == 0 and slice_type(b, us[x['unit']]) == 2 for x in ss)


def silent_sources(args, kind, srcs):
    """What each derivative of a kind of SILENT_KINDS is made of: one
    clean stream, or for joins two (the smaller, then the larger)."""
    if kind in ('fields_swapped', 'fields_sent_again'):
        return [(x,) for x in srcs if has_fields(x)]
    if kind == 'idr_type_bit':
        return [(x,) for x in srcs]
    if kind == 'idr_typed':
        out = []
        for k, (options, size, frames) in enumerate(IDR_TYPED_X264):
            data = x264_stream(args.work, options, size, frames)
            if data is None:
                continue
            path = os.path.join(args.work, f'idr_typed_x264_{k}.264')
            with open(path, 'wb') as f:
                f.write(data)
            if clean_decode(args, path)['rc'] == 0:
                out.append((path,))
        return out + [(os.path.join(args.testdata, x),) for x in IDR_TYPED_STREAMS
                      if os.path.join(args.testdata, x) in srcs]
    # Joins from each size (its first stream) to each larger one: six of its
    # streams with an I picture after their IDR picture (where the larger
    # stream may start), spread over them, else its first stream.
    first, starts = {}, {}
    for x in srcs:
        b = open(x, 'rb').read()
        size = size_of(b)
        if size is None:
            continue
        first.setdefault(size, x)
        if has_intra_start(b):
            starts.setdefault(size, []).append(x)
    named = [tuple(os.path.join(args.testdata, x) for x in pair) for pair in JOIN_LARGER_PAIRS]
    return [p for p in named if p[0] in srcs and p[1] in srcs] + [
            (first[a], x) for a in sorted(first) for c in sorted(first)
            if c != a and c[0] >= a[0] and c[1] >= a[1]
            for x in starts.get(c, [first[c]])[::max(1, len(starts.get(c, [])) // 6)][:6]]


_clean = {}


def clean_decode(args, path):
    """The decoder's run on a clean stream at one worker (kept)."""
    if path not in _clean:
        _clean[path] = h264dec_run(args.h264dec, path, 1, args.limit)
    return _clean[path]


def crashed(r):
    """A run that ended by a signal, with an unexpected status or with a
    sanitizer report."""
    return r['rc'] is not None and (r['rc'] < 0 or r['rc'] not in (0, 1, 2, 3)) or r['sanitizer']


def one_new(args, item):
    """Decodes a derivative of the new kinds at 1, 2, 4 and 8 workers (and a
    recording also with ac3dec), and classifies the outcome."""
    kind, path, made_of = item
    runs = {(t, k): h264dec_run(args.h264dec, path, t, args.limit) for t in args.workers for k in range(args.runs)}
    first = runs[(args.workers[0], 0)]
    outcomes = {(r['rc'], r['digest'], r['message']) for r in runs.values()}
    out = {
        'kind': kind,
        'path': path,
        'stall': any(r['stall'] for r in runs.values()),
        'differs': len(outcomes) != 1,
        'crash': any(crashed(r) for r in runs.values()),
        'pictures': first['pictures'],
        'rc': first['rc'],
        'message': first['message'],
        'seconds': max(r['seconds'] for r in runs.values()),
        'outcomes': sorted({(t, r['rc'], r['pictures']) for (t, _), r in runs.items()}),
    }
    if made_of is None:
        ac3 = ac3dec_run(args.ac3dec, path, args.limit)
        out['ffmpeg'] = 0
        out['ac3'] = ac3
        out['crash'] = out['crash'] or crashed(ac3)
        out['stall'] = out['stall'] or ac3['stall']
        out['h264_refused'] = all(r['rc'] == 1 and 'mtsimport' in r['message'] for r in runs.values())
        out['ac3_refused'] = ac3['rc'] == 1 and 'mtsimport' in ac3['message']
        return out
    intact = [m for src in made_of for m in clean_decode(args, src)['md5s']]
    ffmpeg = ffmpeg_md5s(path)
    out['ffmpeg'] = len(ffmpeg)
    # A join to a larger stream without its IDR pictures: none of the larger
    # stream's pictures, though it has an I picture to start at, where ffmpeg
    # decodes some of them.
    first_part = len(clean_decode(args, made_of[0])['md5s'])
    out['none_of_second'] = kind == 'join_larger_no_idr' and out['pictures'] <= first_part < len(ffmpeg) and \
        has_intra_start(open(made_of[1], 'rb').read())
    out['lost'] = first['md5s'] != intact
    out['as_ffmpeg'] = first['md5s'] == ffmpeg
    return out


def ac3dec_run(binary, path, limit):
    try:
        r = subprocess.run([binary, '--md5', path], capture_output=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return {'stall': True, 'rc': None, 'message': 'timeout', 'sanitizer': False}
    err = r.stderr.decode(errors='replace')
    return {'stall': False, 'rc': r.returncode, 'message': ' '.join(err.splitlines()),
            'sanitizer': 'Sanitizer' in err or 'runtime error:' in err}


def why_listed(r):
    """What is wrong with the outcome of a stream of the new kinds ('' when
    nothing is)."""
    why = []
    if r['kind'] in TS_KINDS:
        if not r['h264_refused'] or not r['ac3_refused']:
            why.append('not refused:' + ('' if r['h264_refused'] else f" h264dec exit {r['rc']}") +
                       ('' if r['ac3_refused'] else f" ac3dec exit {r['ac3']['rc']} ({r['ac3']['message']})"))
    else:
        if r['rc'] == 0 and r['lost']:
            why.append('exit 0 with content lost' + (' (as ffmpeg)' if r['as_ffmpeg'] else ''))
        if r['pictures'] == 0 and r['ffmpeg'] > 0:
            why.append(f"0 pictures, ffmpeg {r['ffmpeg']}")
        elif r.get('none_of_second'):
            why.append(f"no picture of the larger stream, ffmpeg {r['ffmpeg']}")
        elif r['kind'] in SILENT_KINDS and r['rc'] == 1 and r['ffmpeg'] > 0:
            why.append(f"ended in an error, ffmpeg {r['ffmpeg']}")
    if r['differs']:
        why.append('differs between worker counts: ' + ' '.join(f'{t}:{rc}/{n}' for t, rc, n in r['outcomes']))
    if r['stall']:
        why.append('stall')
    if r['crash']:
        why.append('crash or sanitizer report')
    return '; '.join(why)


def table_row(rs, ts):
    """streams, exit 0, lost0, asff, exit 3, exit 1, 0pics, differ, stalls,
    crash of the results rs."""
    return [len(rs), sum(r['rc'] == 0 for r in rs),
            sum(not r['h264_refused'] or not r['ac3_refused'] for r in rs) if ts else
            sum(r['rc'] == 0 and r['lost'] for r in rs),
            0 if ts else sum(r['rc'] == 0 and r['lost'] and r['as_ffmpeg'] for r in rs),
            sum(r['rc'] == 3 for r in rs), sum(r['rc'] == 1 for r in rs),
            0 if ts else sum((r['pictures'] == 0 and r['ffmpeg'] > 0) or r.get('none_of_second', False) or
                             (r['kind'] in SILENT_KINDS and r['rc'] == 1 and r['ffmpeg'] > 0) for r in rs),
            sum(r['differs'] for r in rs), sum(r['stall'] for r in rs), sum(r['crash'] for r in rs)]


def print_row(name, row):
    print(f"{name:20} {row[0]:7} {row[1]:5} {row[2]:5} {row[3]:5} {row[4]:5} {row[5]:5} {row[6]:5} {row[7]:6} "
          f"{row[8]:6} {row[9]:5}")


CUTS = [('at a packet', 'packet'), ('inside a packet', 'inside'), ('at an SPS', 'sps'),
        ('2-63 packets', 'piece'), ('2-63 from an SPS', 'sps piece')]


def cut_of(r):
    name = os.path.basename(r['path']).rsplit('__', 1)[1].split('.')[0]
    if '+' in name:
        return 'inside'
    if 'sps' in name:
        return 'sps' if name.endswith('sps') else 'sps piece'
    return 'piece' if 'x' in name else 'packet'


def seed_of(r):
    return int(os.path.basename(r['path']).rsplit('__', 1)[1].split('.')[0])


def new_report(args, results, kinds):
    """The table of the new kinds and the streams to look at; the number of
    faults: exit 0 after lost content, a recording not refused, no picture
    where ffmpeg decodes some, outcomes differing between worker counts,
    stalls and crashes."""
    print('exit0: decoded to the end undamaged by its own word; lost0: of those, the pictures differ from the clean '
          'streams\' (hidden damage; for a recording: not refused naming mtsimport by h264dec and ac3dec); '
          'asff: of lost0, the pictures are the same as ffmpeg\'s of the damaged stream; 0pics: no picture where '
          'ffmpeg decodes some (silent kinds: or exit 1, or a join without its larger stream); differ: outcome differs between 1, 2, 4 and 8 workers')
    print(f"{'kind':20} {'streams':>7} {'exit0':>5} {'lost0':>5} {'asff':>5} {'exit3':>5} {'exit1':>5} "
          f"{'0pics':>5} {'differ':>6} {'stalls':>6} {'crash':>5}")
    offenders = []
    faults = 0
    total = [0] * 10
    for kind in kinds:
        rs = [r for r in results if r['kind'] == kind]
        for r in rs:
            r['why'] = why_listed(r)
        listed = [f"  {r['why']}: {r['path']} (exit {r['rc']}, {r['pictures']} pictures"
                  + ('' if kind in TS_KINDS else f", ffmpeg {r['ffmpeg']}") + f"): {r['message'][:300]}"
                  for r in rs if r['why']]
        row = table_row(rs, kind in TS_KINDS)
        total = [a + b for a, b in zip(total, row)]
        faults += row[2] + sum(row[6:])
        print_row(kind, row)
        if kind in ('picture_lost', 'field_lost'):
            print_row('  of a reference', table_row([r for r in rs if seed_of(r) % 2 == 0], False))
            print_row('  of a non-reference', table_row([r for r in rs if seed_of(r) % 2 == 1], False))
        if kind == 'first_idr_flip':
            for name, seeds in (('first slice', range(16)), ('its nal_ref_idc', (16,)), ('other field', range(17, 33))):
                print_row('  ' + name, table_row([r for r in rs if seed_of(r) in seeds], False))
        if kind == 'fields_sent_again':
            print_row('  the first among', table_row([r for r in rs if seed_of(r) % 2 == 0], False))
        if kind == 'splice_no_idr':
            for size in ('same', 'other'):
                print_row(f'  to {size} size', table_row([r for r in rs if f'__{size}__' in r['path']], False))
        if kind == 'ts_cut':
            for name, cut in CUTS:
                print_row('  ' + name, table_row([r for r in rs if cut_of(r) == cut], True))
        offenders += listed[:args.show]
        if len(listed) > args.show:
            offenders.append(f'  ... and {len(listed) - args.show} more {kind} streams' +
                             (f' (all in {args.list})' if args.list else ' (--list FILE lists them all)'))
    print_row('all', total)
    print('\n'.join(['streams to look at:'] + offenders) if offenders else 'no stream to look at', flush=True)
    return faults


# Legal streams: joins of whole streams, x264's option sets, order counts of
# uneven steps and streams without their non-reference pictures. None is
# damaged: each is to decode with exit 0, without a word of damage, to
# ffmpeg's pictures in ffmpeg's order, alike at 1, 2, 4 and 8 workers.
FIELD_STREAMS = ['h264-conformance/CAFI1_SVA_C.264', 'h264-conformance/CVFI1_SVA_C.264',
                 'h264-conformance/CAPA1_T_B.264', 'h264-conformance/CABREF3_Sand_D.264',
                 'h264-conformance/HPCAFL_BRCM_C.264', 'h264-conformance/HCAFF1_HHI.264',
                 'h264-conformance/FRExt2_P.avc', 'avchd/camera_1080i50_paff.264']
# x264 streams of several buffer sizes (reference frames, B pictures, pyramid,
# level, picture size), joined in pairs: (name, options, size, frames).
BUFFER_STREAMS = [
    ('idr1', '--keyint 1', '352x288', 1),
    ('ref1', '--ref 1 --bframes 0', '352x288', 20),
    ('ref4b2none', '--ref 4 --bframes 2 --b-pyramid none', '352x288', 20),
    ('ref16b2', '--ref 16 --bframes 2', '352x288', 30),
    ('ref4b3strict', '--ref 4 --bframes 3 --b-pyramid strict', '352x288', 20),
    ('ref8b3normal', '--ref 8 --bframes 3 --b-pyramid normal', '352x288', 30),
    ('level13', '--ref 3 --bframes 1 --level 1.3', '352x288', 20),
    ('level51', '--ref 16 --bframes 3 --level 5.1', '352x288', 30),
    ('small16', '--ref 16 --bframes 2', '176x144', 30),
]
END_OF_SEQUENCE = b'\x00\x00\x00\x01\x0a'
# Option sets of x264 each worth a stream of its own; random combinations
# (--combos) follow them.
X264_SETS = [
    '--no-cabac --bframes 0', '--tff --bframes 2', '--bff --no-cabac --bframes 1', '--fake-interlaced',
    '--weightp 2 --bframes 0 --ref 3', '--weightp 1 --bframes 3 --direct temporal', '--direct auto --bframes 2',
    '--slices 4 --bframes 2', '--slice-max-mbs 30 --no-cabac', '--open-gop --keyint 12 --bframes 3',
    '--keyint 5 --bframes 2 --b-pyramid strict', '--ref 16 --bframes 3 --b-pyramid normal',
    '--partitions none --no-8x8dct', '--partitions all --8x8dct', '--tff --open-gop --keyint 10 --bframes 2',
    '--constrained-intra --bframes 1', '--intra-refresh --keyint 10 --bframes 0', '--pulldown 32 --bframes 2',
    '--bff --weightp 2 --ref 4 --bframes 3 --b-pyramid normal', '--no-deblock --bframes 2 --no-cabac',
]
# x264 streams with non-reference B pictures, for the streams without them.
NONREF_SETS = [
    '--bframes 1 --b-pyramid none', '--bframes 3 --b-pyramid none --no-cabac', '--bframes 3 --b-pyramid normal',
    '--bframes 2 --b-pyramid strict --tff', '--bframes 2 --b-pyramid none --bff --no-cabac',
    '--bframes 3 --direct temporal --b-pyramid none', '--open-gop --keyint 12 --bframes 2 --b-pyramid none',
    '--bframes 2 --keyint 8 --ref 1 --b-pyramid none',
]
# P-only streams whose order counts are written again with uneven steps
# (and with even ones in fewer bits, with frame_num in fewer bits too).
STEP_SETS = ['--ref 1', '--ref 4 --no-cabac', '--ref 3 --keyint 10', '--ref 2 --keyint 7 --no-cabac --slices 2']
STEPS = [(2, 4), (4, 2), (2, 4, 6, 2)]


def yuv_source(work, source, size, frames=40):
    """Raw 4:2:0 pictures of ffmpeg's testsrc or mandelbrot (kept)."""
    path = os.path.join(work, f'{source}_{size}.yuv')
    if not os.path.exists(path):
        subprocess.run(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', f'{source}=size={size}:rate=25',
                        '-frames:v', str(frames), '-pix_fmt', 'yuv420p', '-f', 'rawvideo', path + '.part'],
                       check=True)
        os.replace(path + '.part', path)
    return path


def x264_stream(work, options, size='352x288', frames=30, source='testsrc'):
    """The stream x264 makes with these options (kept by their digest), or
    None when it refuses them."""
    key = hashlib.md5(f'{options}|{size}|{frames}|{source}'.encode()).hexdigest()[:12]
    path = os.path.join(work, f'x264_{key}.264')
    if not os.path.exists(path):
        r = subprocess.run(['x264', '--quiet', '--threads', '1', '--input-res', size, '--fps', '25', '--frames',
                            str(frames)] + options.split() + ['-o', path + '.part', yuv_source(work, source, size)],
                           capture_output=True)
        if r.returncode != 0:
            return None
        os.replace(path + '.part', path)
    return open(path, 'rb').read()


def slice_type(b, u):
    """The slice type (0 P, 1 B, 2 I, 3 SP, 4 SI) of a slice unit."""
    h = header_at(b, u)
    r = Bits(to_rbsp(b[h + 1:min(u[1], h + 16)]))
    r.ue()
    return r.ue() % 5


def camera_clip(b):
    """The camera's first IDR frame and the fields after it up to the next
    I field, with the units before them."""
    us, aus = camera_units(b)
    idr = next(k for k, (s, e) in enumerate(aus) if any(u[2] == 5 for u in us[s:e]))
    end = idr + 1
    while end < len(aus):
        s, e = aus[end]
        first = next(u for u in us[s:e] if u[2] in (1, 5))
        if end > idr + 1 and slice_type(b, first) == 2:
            break
        end += 1
    return join(b, us[:aus[end - 1][1]])


def without_non_reference(b):
    """The stream without its non-reference pictures: every slice whose
    nal_ref_idc is 0 is dropped with the delimiter and SEI units of its
    access unit; None when it has no such picture."""
    us = units(b)
    drop, waiting = set(), []
    for i, u in enumerate(us):
        if u[2] in (6, 9):
            waiting.append(i)
        elif u[2] in (1, 5):
            if (b[header_at(b, u)] >> 5) & 3 == 0:
                drop.update(waiting)
                drop.add(i)
            waiting = []
        else:
            waiting = []
    if not any(us[i][2] == 1 for i in drop):
        return None
    return join(b, [u for i, u in enumerate(us) if i not in drop])


def read_pps(payload):
    """(pps id, fields) of a picture parameter set: its sps, the entropy
    coder, bottom_field_pic_order_in_frame_present, weighted prediction of P,
    deblocking control and redundant_pic_cnt_present."""
    r = Bits(to_rbsp(payload))
    pps_id, sps_id = r.ue(), r.ue()
    cabac, bottom = r.u(1), r.u(1)
    if r.ue() != 0:
        raise ValueError('slice groups')
    r.ue()
    r.ue()
    weighted = r.u(1)
    r.u(2)
    r.se()
    r.se()
    r.se()
    deblocking = r.u(1)
    r.u(1)
    return pps_id, {'sps': sps_id, 'cabac': cabac, 'bottom': bottom, 'weighted': weighted,
                    'deblocking': deblocking, 'redundant': r.u(1)}


def rbsp_to_unit(start, bits):
    """A unit from its start code, header byte and RBSP bits with their
    trailing bits: emulation prevention added again."""
    payload = to_payload(bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)))
    if payload.endswith(b'\x00'):
        payload += b'\x03'
    return start + payload


def with_trailing_bits(bits):
    """Bits of an RBSP whose length changed: its stop bit kept, the zero bits
    after it made to end on a byte."""
    bits = bits.rstrip('0')
    return bits + '0' * (-len(bits) % 8)


def uneven_order_counts(b, steps, lsb_bits=8, frame_num_bits=None):
    """A P-only stream of x264 (pic_order_cnt_type 2, no weighted prediction,
    frames) with order counts written in every slice: its SPS given
    pic_order_cnt_type 0 and lsb_bits of pic_order_cnt_lsb, each picture's
    count after the one before by the next of steps (0 at an IDR picture).
    Output order stays decoding order. With frame_num_bits, frame_num is
    written in that many bits, so that it wraps sooner."""
    out, spss, ppss = [], {}, {}
    poc, k, last = 0, 0, None
    for u in units(b):
        h = header_at(b, u)
        start, payload = b[u[0]:h + 1], b[h + 1:u[1]]
        if u[2] == 7:
            r = Bits(to_rbsp(payload))
            sps_id, old_bits = sps_head(r)
            at = r.pos
            if r.ue() != 2:
                raise ValueError('not pic_order_cnt_type 2')
            spss[sps_id] = old_bits
            bits = frame_num_bits or old_bits
            head = r.s[:at - len(ue_bits(old_bits - 4))] + ue_bits(bits - 4) + ue_bits(0) + ue_bits(lsb_bits - 4)
            out.append(rbsp_to_unit(start, with_trailing_bits(head + r.s[r.pos:])))
            continue
        if u[2] == 8:
            pps_id, fields = read_pps(payload)
            if fields['weighted'] or fields['bottom'] or fields['redundant']:
                raise ValueError('weighted prediction or order count of the bottom field')
            ppss[pps_id] = fields
            out.append(b[u[0]:u[1]])
            continue
        if u[2] not in (1, 5):
            out.append(b[u[0]:u[1]])
            continue
        r = Bits(to_rbsp(payload))
        r.ue()
        kind = r.ue() % 5
        pps = ppss[r.ue()]
        old_bits = spss[pps['sps']]
        frame_num_at = r.pos
        frame_num = r.u(old_bits)
        if u[2] == 5:
            r.ue()
        if (frame_num, u[2]) != last:  # a new picture: its count
            poc = 0 if u[2] == 5 else (poc + steps[k % len(steps)]) % (1 << lsb_bits)
            k = 0 if u[2] == 5 else k + 1
            last = (frame_num, u[2])
        at = r.pos
        if kind not in (0, 2):
            raise ValueError('not a P or I slice')
        if kind == 0:
            if r.u(1):
                r.ue()
            if r.u(1):
                while True:
                    idc = r.ue()
                    if idc == 3:
                        break
                    r.ue()
        if (b[h] >> 5) & 3:
            if u[2] == 5:
                r.u(2)
            elif r.u(1):
                while True:
                    op = r.ue()
                    if op == 0:
                        break
                    if op in (1, 3):
                        r.ue()
                    if op in (2, 3, 6, 4):
                        r.ue()
        if pps['cabac'] and kind != 2:
            r.ue()
        r.se()
        if pps['deblocking'] and r.ue() != 1:
            r.se()
            r.se()
        bits = frame_num_bits or old_bits
        head = r.s[:frame_num_at] + format(frame_num % (1 << bits), f'0{bits}b') + \
            r.s[frame_num_at + old_bits:at] + format(poc, f'0{lsb_bits}b') + r.s[at:r.pos]
        if pps['cabac']:  # the slice data starts on a byte, after alignment bits of 1
            bits = head + '1' * (-len(head) % 8) + r.s[(r.pos + 7) // 8 * 8:]
        else:
            bits = with_trailing_bits(head + r.s[r.pos:])
        out.append(rbsp_to_unit(start, bits))
    return b''.join(out)


def legal_streams(args, kind):
    """(name, data) of the legal streams of a kind, seeded and in a fixed
    order; --quick makes fewer of them."""
    work = os.path.join(args.work, 'x264')
    os.makedirs(work, exist_ok=True)
    if kind in ORDER_LEGAL_KINDS:
        yield from order_legal_streams(args, kind)
    elif kind in INTRA_PAIR_KINDS:
        yield from intra_pair_streams(args)
    elif kind == 'join_fields':
        fields = [(os.path.splitext(os.path.basename(p))[0], open(os.path.join(args.testdata, p), 'rb').read())
                  for p in FIELD_STREAMS if os.path.exists(os.path.join(args.testdata, p))]
        for i, (na, a) in enumerate(fields):
            for j, (nb, b) in enumerate(fields):
                if not args.quick or (i + 2 * j) % 3 == 0:
                    yield f'{na}+{nb}', a + b
        camera = args.camera or os.path.join(args.testdata, 'avchd', 'camera_1080i50_paff.264')
        if os.path.exists(camera):
            clip = camera_clip(open(camera, 'rb').read())
            others = fields + [(os.path.splitext(os.path.basename(s))[0], open(s, 'rb').read())
                               for s in sources(args.testdata, args.work) if s.startswith(args.work)]
            for nb, b in others[::3 if args.quick else 1]:
                yield f'camera_clip+{nb}', clip + b
    elif kind == 'join_buffers':
        made = {}
        for name, options, size, frames in BUFFER_STREAMS:
            for source in ('mandelbrot', 'testsrc'):
                made[(name, source)] = x264_stream(work, options, size, frames, source)
        for i, (na, *_) in enumerate(BUFFER_STREAMS):
            for j, (nb, *_) in enumerate(BUFFER_STREAMS):
                a, b = made[(na, 'mandelbrot')], made[(nb, 'testsrc')]
                if a is None or b is None or (args.quick and i != 0 and (i + j) % 4 != 0):
                    continue
                yield f'{na}+{nb}', a + b
                if not args.quick or (i + j) % 2 == 0:
                    yield f'{na}+eos+{nb}', a + END_OF_SEQUENCE + b
    elif kind == 'x264_options':
        rng = random.Random('x264_options')
        sets = [(o, '352x288' if k % 2 else '176x144', 10 + 30 * (k % 3 == 0), 'testsrc' if k % 2 else 'mandelbrot')
                for k, o in enumerate(X264_SETS)]
        for _ in range(args.combos):
            sets.append((random_options(rng), rng.choice(['176x144', '352x288']), rng.randrange(10, 41),
                         rng.choice(['testsrc', 'mandelbrot'])))
        for k, (options, size, frames, source) in enumerate(sets[::3 if args.quick else 1]):
            data = x264_stream(work, options, size, frames, source)
            if data is not None:
                yield f'{k:03}_' + options.replace(' ', '').replace('--', '_').replace(',', '.') + f'_{size}', data
    elif kind == 'order_steps':
        for k, options in enumerate(STEP_SETS[::2] if args.quick else STEP_SETS):
            data = x264_stream(work, options + ' --bframes 0 --weightp 0', '352x288' if k % 2 else '176x144', 40,
                               'mandelbrot' if k % 2 else 'testsrc')
            name = options.replace(' ', '').replace('--', '_')
            for steps in STEPS[:1] if args.quick else STEPS:
                yield f'{k}_' + '.'.join(map(str, steps)) + '_' + name, uneven_order_counts(data, steps)
            # Even steps, but frame_num and the order count both wrap every
            # 16 frames: each frame has the identity of the one 16 before.
            yield f'{k}_wrap16_{name}', uneven_order_counts(data, (2,), 5, 4)
    elif kind == 'nonref_dropped':
        feat = os.path.join(args.testdata, 'h264-features')
        named = [(os.path.splitext(n)[0], open(os.path.join(feat, n), 'rb').read())
                 for n in sorted(os.listdir(feat)) if n.endswith('.264')]
        named += [(os.path.splitext(os.path.basename(p))[0], open(os.path.join(args.testdata, p), 'rb').read())
                  for p in FIELD_STREAMS if os.path.exists(os.path.join(args.testdata, p))]
        refused = [n for n, data in named if not decodes(args, data)]
        if refused:
            print('not decoded cleanly, left out of nonref_dropped: ' + ' '.join(refused), flush=True)
        named = [x for x in named if x[0] not in refused]
        for k, options in enumerate(NONREF_SETS):
            data = x264_stream(work, options + ' --b-adapt 0', '352x288' if k % 2 else '176x144', 30)
            if data is not None:
                named.append((f'x264_{k}' + options.replace(' ', '').replace('--', '_'), data))
        for name, data in named[::2] if args.quick else named:
            dropped = without_non_reference(data)
            if dropped is not None:
                yield name, dropped


def decodes(args, data):
    """Whether h264dec decodes a stream with exit 0 at one worker."""
    path = os.path.join(args.work, 'x264', hashlib.md5(data).hexdigest() + '.264')
    with open(path, 'wb') as f:
        f.write(data)
    ok = h264dec_run(args.h264dec, path, 1, args.limit)['rc'] == 0
    os.remove(path)
    return ok


def random_options(rng):
    """A random combination of x264's options (a legal one: x264 refuses
    the few it cannot make)."""
    o = [rng.choice(['', '--no-cabac']), rng.choice(['', '', '', '--tff', '--bff', '--fake-interlaced']),
         f'--weightp {rng.randrange(3)}', '--direct ' + rng.choice(['spatial', 'temporal', 'auto', 'none']),
         rng.choice(['', '--no-8x8dct']),
         '--partitions ' + rng.choice(['none', 'all', 'p8x8,b8x8,i4x4', 'i8x8,i4x4', 'p8x8,p4x4,b8x8,i8x8,i4x4']),
         f'--keyint {rng.choice([5, 8, 12, 25, 250])}', f'--bframes {rng.choice([0, 1, 2, 3, 3, 16])}',
         '--b-pyramid ' + rng.choice(['none', 'strict', 'normal']), f'--ref {rng.choice([1, 2, 3, 4, 8, 16])}',
         f'--b-adapt {rng.randrange(3)}', rng.choice(['', '--no-weightb']),
         rng.choice(['', '', f'--slices {rng.randrange(2, 5)}', f'--slice-max-mbs {rng.randrange(20, 120)}']),
         rng.choice(['', '', '--open-gop']), rng.choice(['', '', '', '--constrained-intra', '--no-deblock']),
         rng.choice([f'--crf {rng.randrange(15, 40)}', f'--qp {rng.randrange(10, 45)}'])]
    return ' '.join(x for x in o if x)


LEGAL_KINDS = ['join_fields', 'join_buffers', 'x264_options', 'order_steps', 'nonref_dropped'] + \
    ORDER_LEGAL_KINDS + INTRA_PAIR_KINDS


def legal_items(args, kinds):
    """The legal streams of the kinds, written to the working directory:
    (kind, path)."""
    items = []
    for kind in kinds:
        os.makedirs(os.path.join(args.work, kind), exist_ok=True)
        for name, data in legal_streams(args, kind):
            path = os.path.join(args.work, kind, name + '.264')
            with open(path, 'wb') as f:
                f.write(data)
            items.append((kind, path))
    return items


def ffmpeg_pictures_as_decoded(path):
    """ffmpeg's pictures of a stream, each as decoded: no size change, no
    picture repeated or left out to keep a frame rate."""
    r = subprocess.run(['ffmpeg', '-v', 'quiet', '-f', 'h264', '-i', path, '-autoscale', '0', '-fps_mode',
                        'passthrough', '-f', 'framemd5', '-'], capture_output=True, timeout=300)
    return [l.split(',')[-1].strip() for l in r.stdout.decode(errors='replace').splitlines()
            if l and not l.startswith('#')]


def without_repeats(md5s):
    return [m for k, m in enumerate(md5s) if k == 0 or m != md5s[k - 1]]


def picture_faults(ours, theirs):
    """How the decoder's pictures differ from ffmpeg's: missing ones, others
    in their place, or the same ones out of order ([] when they are the
    same, pulldown's repeated pictures aside)."""
    if ours == theirs or without_repeats(ours) == without_repeats(theirs):
        return []
    a, b = collections.Counter(ours), collections.Counter(theirs)
    faults = []
    if b - a:
        faults.append(f'{sum((b - a).values())} missing')
    if a - b:
        faults.append(f'{sum((a - b).values())} other')
    both = a & b
    mine, left = [], dict(both)
    for m in ours:
        if left.get(m, 0):
            mine.append(m)
            left[m] -= 1
    ref, left = [], dict(both)
    for m in theirs:
        if left.get(m, 0):
            ref.append(m)
            left[m] -= 1
    if mine != ref:
        faults.append('out of order')
    return faults


def one_legal(args, item):
    """Decodes a legal stream at 1, 2, 4 and 8 workers and judges it against
    ffmpeg's pictures."""
    kind, path = item
    runs = {(t, k): h264dec_run(args.h264dec, path, t, args.limit) for t in args.workers for k in range(args.runs)}
    first = runs[(args.workers[0], 0)]
    theirs = ffmpeg_pictures_as_decoded(path)
    faults = []
    if first['rc'] != 0:
        faults.append(f"exit {first['rc']}")
    if first['message']:
        faults.append('words')
    faults += picture_faults(first['md5s'], theirs)
    if len({(r['rc'], r['digest'], r['message']) for r in runs.values()}) != 1:
        faults.append('differs between worker counts: ' + ' '.join(
            f'{t}:{rc}/{n}' for t, rc, n in sorted({(t, r['rc'], r['pictures']) for (t, _), r in runs.items()})))
    if any(r['stall'] for r in runs.values()):
        faults.append('stall')
    if any(crashed(r) for r in runs.values()):
        faults.append('crash or sanitizer report')
    if not theirs:
        faults.append('ffmpeg decodes nothing')
    return {'kind': kind, 'path': path, 'rc': first['rc'], 'pictures': first['pictures'], 'ffmpeg': len(theirs),
            'message': first['message'], 'seconds': max(r['seconds'] for r in runs.values()),
            'stall': any(r['stall'] for r in runs.values()), 'differs': 'differs' in ' '.join(faults),
            'faults': faults, 'why': '; '.join(faults)}


LEGAL_FAULTS = ['exit', 'words', 'missing', 'other', 'out of order', 'differs', 'stall', 'crash']


def legal_report(args, results, kinds):
    """The table of the legal kinds (streams, passed, failed and the failures
    by type) and the failed streams; the number of failed streams."""
    print('legal streams: pass = exit 0, no word of damage and ffmpeg\'s pictures in ffmpeg\'s order at 1, 2, 4 '
          'and 8 workers; the fault columns count the failed streams by what failed')
    print(f"{'kind':16} {'streams':>7} {'pass':>5} {'fail':>5} " + ' '.join(f'{f[:7]:>7}' for f in LEGAL_FAULTS))
    failed = []
    for kind in kinds + ['all']:
        rs = [r for r in results if r['kind'] in (kinds if kind == 'all' else (kind,))]
        bad = [r for r in rs if r['faults']]
        counts = [sum(any(x.startswith(f) or x.endswith(f) for x in r['faults']) for r in bad) for f in LEGAL_FAULTS]
        print(f"{kind:16} {len(rs):7} {len(rs) - len(bad):5} {len(bad):5} " + ' '.join(f'{c:7}' for c in counts))
        if kind != 'all':
            failed += bad
    lines = [f"{r['kind']}\t{os.path.basename(r['path'])}\texit {r['rc']}\t{r['pictures']} pictures, ffmpeg "
             f"{r['ffmpeg']}\t{r['why']}\t{r['message'][:400]}" for r in failed]
    if args.failures:
        with open(args.failures, 'w') as f:
            f.write(''.join(l + '\n' for l in lines))
    print('\n'.join(['failed legal streams:'] + lines[:args.show * len(kinds)]) if lines else
          'every legal stream passed', flush=True)
    return len(failed)


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


# h264dec's last line: what it wrote (one size, or each size from the picture
# it starts at).
SUMMARY = re.compile(r'h264dec: \d+ pictures? (of|in) ')


def h264dec_run(binary, path, threads, limit):
    t0 = time.time()
    try:
        r = subprocess.run([binary, '--threads', str(threads), '--framemd5', path], capture_output=True,
                           timeout=limit)
    except subprocess.TimeoutExpired:
        return {'stall': True, 'rc': None, 'pictures': 0, 'digest': '', 'message': 'timeout', 'seconds': limit,
                'races': 0, 'md5s': [], 'sanitizer': False}
    stderr = r.stderr.decode(errors='replace')
    races = sum(stderr.count(m) for m in ('WARNING: ThreadSanitizer', 'ERROR: AddressSanitizer', 'runtime error:'))
    lines = [l for l in r.stdout.decode(errors='replace').splitlines() if l and not l.startswith('#')]
    err = [l for l in r.stderr.decode(errors='replace').splitlines() if not SUMMARY.match(l)]
    if races:
        err = [l for l in err if l.startswith('h264dec')]
    message = ' '.join(err)
    md5s = [l.split(',')[-1].strip() for l in lines]
    return {
        'stall': 'did not answer in time' in message,
        'rc': r.returncode,
        'pictures': len(lines),
        'digest': hashlib.md5('\n'.join(l.split(',')[-1] for l in lines).encode()).hexdigest(),
        'message': message,
        'seconds': time.time() - t0,
        'races': races,
        'md5s': md5s,
        'sanitizer': races > 0,
    }


def ffmpeg_pictures(path):
    return len(ffmpeg_md5s(path))


def ffmpeg_md5s(path):
    """The MD5s of the pictures ffmpeg decodes from a stream."""
    r = subprocess.run(['ffmpeg', '-v', 'quiet', '-f', 'h264', '-i', path, '-f', 'framemd5', '-'],
                       capture_output=True, timeout=300)
    return [l.split(',')[-1].strip() for l in r.stdout.decode(errors='replace').splitlines()
            if l and not l.startswith('#')]


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
    ap.add_argument('--kinds', default=','.join(list(KINDS) + list(CAMERA_KINDS)),
                    help='kinds of damage, or "loss" for all of ' + ','.join(LOSS_GROUP) +
                    ', or "silent" for all of ' + ','.join(SILENT_KINDS) +
                    ', or "order" for all of ' + ','.join(list(ORDER_KINDS) + ORDER_LEGAL_KINDS) +
                    '; kinds of legal streams, or "legal" for all of ' + ','.join(LEGAL_KINDS))
    ap.add_argument('--quick', action='store_true', help='fewer derivatives of the loss, splice and recording kinds')
    ap.add_argument('--ac3dec', help='the AC-3 decoder given the recordings (default: beside h264dec)')
    ap.add_argument('--camera', help='the field stream of a camera that the camera kinds derive from '
                    '(default: avchd/camera_1080i50_paff.264 of the test material)')
    ap.add_argument('--camera-seeds', type=int, default=60, help='derivatives of each camera kind')
    ap.add_argument('--runs', type=int, default=1, help='runs of each worker count')
    ap.add_argument('--workers', default='1,2,4,8', help='worker counts each stream is decoded at (the first is '
                    'the one judged)')
    ap.add_argument('--limit', type=float, default=50.0, help='seconds before a run counts as stalled')
    ap.add_argument('--list', help='write one line per stream to this file')
    ap.add_argument('--show', type=int, default=12, help='streams of each new kind listed to look at (all: --list)')
    ap.add_argument('--combos', type=int, default=40, help='random combinations of x264 options (x264_options)')
    ap.add_argument('--failures', help='write one line per failed legal stream to this file')
    ap.add_argument('--extra-workers', default='', help='worker counts (a,b,...) decoded --extra-runs more times')
    ap.add_argument('--extra-runs', type=int, default=0)
    ap.add_argument('--tsan', help='an h264dec built with ThreadSanitizer: decodes a sample of the streams with it '
                    'at 2 and 8 workers and counts its reports')
    ap.add_argument('--tsan-sample', type=int, default=0, help='streams of that sample')
    ap.add_argument('--asan', help='an h264dec built with AddressSanitizer and UBSan: decodes a sample of the streams '
                    'with it at 2 workers and counts its reports')
    ap.add_argument('--asan-sample', type=int, default=0, help='streams of that sample')
    args = ap.parse_args()
    args.extra_workers = [int(t) for t in args.extra_workers.split(',') if t]
    args.workers = [int(t) for t in args.workers.split(',') if t]
    args.ac3dec = args.ac3dec or os.path.join(os.path.dirname(args.h264dec), 'ac3dec')
    kinds = [k for kind in args.kinds.split(',')
             for k in (LOSS_GROUP if kind == 'loss' else list(SILENT_KINDS) if kind == 'silent' else
                       list(ORDER_KINDS) + ORDER_LEGAL_KINDS if kind == 'order' else
                       LEGAL_KINDS if kind == 'legal' else [kind])]
    unknown = [k for k in kinds if k not in KINDS and k not in CAMERA_KINDS and k not in NEW_KINDS
               and k not in LEGAL_KINDS]
    if unknown:
        ap.error('unknown kinds: ' + ','.join(unknown))
    os.makedirs(args.work, exist_ok=True)
    srcs = sources(args.testdata, args.work)
    items = []
    camera = args.camera or os.path.join(args.testdata, 'avchd', 'camera_1080i50_paff.264')
    for kind in kinds:
        if kind in NEW_KINDS or kind in LEGAL_KINDS:
            continue
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
    old_kinds = [k for k in kinds if k not in NEW_KINDS and k not in LEGAL_KINDS]
    new_kinds = [k for k in kinds if k in NEW_KINDS]
    legal_kinds = [k for k in kinds if k in LEGAL_KINDS]
    if new_kinds:
        items += new_items(args, new_kinds)
    if legal_kinds:
        items += legal_items(args, legal_kinds)
    print(f'{len(items)} streams', flush=True)
    results = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for r in pool.map(lambda it: one_new(args, it) if it[0] in NEW_KINDS else
                          one_cut(args, it) if it[0] in ORDER_LEGAL_KINDS else
                          one_legal(args, it) if it[0] in LEGAL_KINDS else one(args, it[:2]), items):
            results.append(r)
            if len(results) % 200 == 0:
                print(f'{len(results)} of {len(items)} streams decoded', flush=True)
            if r['stall'] or r['differs']:
                print(('STALL ' if r['stall'] else 'DIFFERS ') + r['path'] + ': ' + r['message'], flush=True)
    order_kinds = [k for k in new_kinds if k in ORDER_KINDS]
    new_kinds = [k for k in new_kinds if k not in ORDER_KINDS]
    faults = new_report(args, results, new_kinds) if new_kinds else 0
    if order_kinds:
        faults += order_report(args, results, order_kinds)
    if legal_kinds:
        faults += legal_report(args, results, legal_kinds)
    if 'cut_at_intra' in legal_kinds:
        cut_report(args, results)
    if args.list:
        with open(args.list, 'w') as f:
            for r in results:
                f.write(f"{r['kind']}\t{os.path.basename(r['path'])}\t{r['rc']}\t{r['pictures']}\t{r['ffmpeg']}\t"
                        f"{r['seconds']:.1f}\t{r['message']}" + (f"\t{r['why']}" if 'why' in r else '') + '\n')
    if not old_kinds:
        races = tsan_sample(args, items) + asan_sample(args, items)
        return 1 if faults or races else 0
    print(f"{'kind':24} {'streams':>7} {'stalls':>6} {'differ':>6} {'pictures':>9} {'ffmpeg':>9} {'fewer':>6} "
          f"{'refused':>7}")
    total = {'n': 0, 'stall': 0, 'differs': 0, 'pictures': 0, 'ffmpeg': 0, 'fewer': 0, 'refused': 0}
    for kind in old_kinds:
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
    races = tsan_sample(args, items) + asan_sample(args, items)
    return 1 if total['stall'] or total['differs'] or faults or races else 0


def tsan_sample(args, items):
    """Decodes a fixed sample of the streams with the ThreadSanitizer build
    at 2 and 8 workers; the number of reports."""
    return sanitizer_sample(args, items, args.tsan, args.tsan_sample, 'ThreadSanitizer', (2, 8))


def asan_sample(args, items):
    """Decodes a fixed sample of the streams (the Annex B ones) with the
    AddressSanitizer build at 2 workers; the number of reports."""
    return sanitizer_sample(args, [it for it in items if it[1].endswith('.264')], args.asan, args.asan_sample,
                            'AddressSanitizer', (2,))


def sanitizer_sample(args, items, binary, size, name, workers):
    if not binary or size <= 0:
        return 0
    sample = random.Random(name).sample(items, min(size, len(items)))
    jobs = [(it[1], t) for it in sample for t in workers]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        runs = list(pool.map(lambda j: (j, h264dec_run(binary, j[0], j[1], args.limit * 10)), jobs))
    bad = [(j, r) for j, r in runs if r['races'] or r['stall']]
    for (path, t), r in bad:
        print(f"{name} {path} at {t} workers: {r['races']} reports" + (' (stalled)' if r['stall'] else ''),
              flush=True)
    races = sum(r['races'] for _, r in runs)
    print(f"{name}: {len(sample)} streams, {len(runs)} runs, {races} reports in "
          f"{sum(1 for _, r in runs if r['races'])} runs, {sum(1 for _, r in runs if r['stall'])} stalls")
    return races


if __name__ == '__main__':
    sys.exit(main())
