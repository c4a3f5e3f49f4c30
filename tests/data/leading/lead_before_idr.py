#!/usr/bin/env python3
"""Rewrites an H.264 Annex B stream (frames, one slice per picture, picture
order count type 0, B pictures that are not references, picture timing with
HRD delays, as make.sh has x264 write it) so that the B pictures that follow
each IDR picture's first P picture in decode order come before the IDR
picture in output order, as in camcorder recordings whose IDR picture is
followed by earlier-shown pictures.

Each such B picture's pic_order_cnt_lsb is lowered by the first P picture's
count, which makes its count negative. Its reference lists stay the same
(the IDR picture and the P picture are its only references, and lists of
pictures that all follow it are built, then swapped, into the same order),
so its samples do not change. The output times of the IDR picture and those
B pictures (dpb_output_delay of their picture timing) are exchanged so that
they follow the new order, and max_num_reorder_frames of the sequence
parameter set becomes at least 2. The first two fields keep their lengths.

usage: lead_before_idr.py IN.264 OUT.264"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from annexb_bits import Bits, to_payload, to_rbsp, ue_bits, units  # noqa: E402


def hrd(b):
    count = b.ue() + 1
    b.u(8)
    for _ in range(count):
        b.ue()
        b.ue()
        b.u(1)
    b.u(5)
    lengths = b.u(5) + 1, b.u(5) + 1  # cpb_removal_delay, dpb_output_delay
    b.u(5)
    return lengths


def parse_sps(b):
    profile = b.u(8)
    b.u(16)
    b.ue()
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128):
        sys.exit("make the stream in Main profile")
    sps = {"log2_max_frame_num": b.ue() + 4}
    if b.ue() != 0:
        sys.exit("make the stream with picture order count type 0")
    sps["log2_max_poc_lsb"] = b.ue() + 4
    b.ue()
    b.u(1)
    b.ue()
    b.ue()
    if not b.u(1):
        sys.exit("make the stream of frames")
    b.u(1)
    if b.u(1):
        for _ in range(4):
            b.ue()
    if not b.u(1):
        sys.exit("make the stream with picture timing")
    if b.u(1) and b.u(8) == 255:
        b.u(32)
    if b.u(1):
        b.u(1)
    if b.u(1):
        b.u(4)
        if b.u(1):
            b.u(24)
    if b.u(1):
        b.ue()
        b.ue()
    if b.u(1):
        b.u(65)
    nal_hrd = b.u(1)
    lengths = hrd(b) if nal_hrd else None
    if b.u(1):
        lengths = hrd(b)
    if lengths is None:
        sys.exit("make the stream with HRD delays")
    sps["cpb_length"], sps["dpb_length"] = lengths
    b.u(2)  # low_delay_hrd_flag, pic_struct_present_flag
    if not b.u(1):
        sys.exit("make the stream with bitstream restrictions")
    b.u(1)
    for _ in range(4):
        b.ue()
    sps["reorder_at"] = b.pos
    sps["reorder"] = b.ue()
    sps["buffering"] = b.ue()
    return sps


def parse_pps(b):
    b.ue()
    b.ue()
    b.u(1)
    return {"poc_present": b.u(1)}


def slice_fields(b, sps, pps, nal_type):
    """slice_type and the bit position of pic_order_cnt_lsb."""
    b.ue()
    slice_type = b.ue() % 5
    b.ue()
    b.u(sps["log2_max_frame_num"])
    if nal_type == 5:
        b.ue()
    return slice_type, b.pos


def sei_messages(b, sps):
    """Whether an SEI unit holds a buffering period, and the bit positions of
    cpb_removal_delay and dpb_output_delay in it (or None)."""
    period, timing = False, None
    while len(b.s) - b.pos > 8:
        kind = size = 0
        while (byte := b.u(8)) == 255:
            kind += 255
        kind += byte
        while (byte := b.u(8)) == 255:
            size += 255
        size += byte
        if kind == 0:
            period = True
        if kind == 1:
            timing = b.pos, b.pos + sps["cpb_length"]
        b.pos += 8 * size
    return period, timing


def main():
    data = open(sys.argv[1], "rb").read()
    found = units(data)
    sps = pps = None
    # Access units in decode order: the NAL units (with their bits when
    # rewritten), and what the rewrite needs to know of each.
    pictures, pending, base = [], [], 0
    for k, (start, header) in enumerate(found):
        end = found[k + 1][0] if k + 1 < len(found) else len(data)
        nal = data[header:end]
        nal_type = nal[0] & 31
        unit = {"lead": data[start:header], "head": nal[:1], "bits": Bits(to_rbsp(nal[1:])), "raw": nal}
        pending.append(unit)
        if nal_type == 7:
            sps = parse_sps(Bits(unit["bits"].rbsp()))
        elif nal_type == 8:
            pps = parse_pps(Bits(unit["bits"].rbsp()))
        elif nal_type == 6 and sps:
            b = Bits(unit["bits"].rbsp())
            unit["period"], at = sei_messages(b, sps)
            if at:
                unit["timing"] = at
        elif nal_type in (1, 5):
            b = Bits(unit["bits"].rbsp())
            slice_type, at = slice_fields(b, sps, pps, nal_type)
            timing = [u for u in pending if "timing" in u]
            if len(timing) != 1:
                sys.exit(f"picture {len(pictures)} has no picture timing of its own")
            t = timing[0]
            # Removal and output times counted from the stream's start.
            removal = base + int(t["bits"].s[t["timing"][0]:t["timing"][1]], 2)
            if any(u.get("period") for u in pending):
                base = removal
            dpb = int(t["bits"].s[t["timing"][1]:t["timing"][1] + sps["dpb_length"]], 2)
            pictures.append({"units": pending, "idr": nal_type == 5, "ref": nal[0] >> 5 != 0, "type": slice_type,
                             "slice": unit, "lsb_at": at, "lsb": b.u(sps["log2_max_poc_lsb"]), "sei": t,
                             "output": removal + dpb, "removal": removal})
            pending = []
    if pending:
        sys.exit("units after the last picture")
    max_lsb = 1 << sps["log2_max_poc_lsb"]
    moved = 0
    for i, idr in enumerate(pictures):
        if not idr["idr"]:
            continue
        if idr["lsb"] != 0 or i + 1 >= len(pictures) or pictures[i + 1]["type"] != 0:
            sys.exit(f"IDR picture {i} is not followed by a P picture")
        first_p = pictures[i + 1]["lsb"]
        group = [idr]
        for b in pictures[i + 2:]:
            if b["ref"] or b["type"] != 1 or b["lsb"] >= first_p:
                break
            if first_p - b["lsb"] >= max_lsb // 2 - first_p:
                sys.exit("pic_order_cnt_lsb too short for the new counts")
            b["new_lsb"] = (b["lsb"] - first_p) % max_lsb
            group.append(b)
        if len(group) == 1:
            sys.exit(f"IDR picture {i} is not followed by B pictures")
        # The same output times, handed out in the new output order.
        times = sorted(p["output"] for p in group)
        for p, t in zip(group[1:] + group[:1], times):
            p["new_output"] = t
        moved += len(group) - 1
    # A B picture now shown first is shown no earlier than it is decoded:
    # every output time moves on by the same amount where needed.
    late = max([p["removal"] - p.get("new_output", p["output"]) for p in pictures] + [0])
    for p in pictures:
        p["new_dpb"] = p.get("new_output", p["output"]) + late - p["removal"]
        if p["new_dpb"] >= 1 << sps["dpb_length"]:
            sys.exit("dpb_output_delay too short for the new output times")
    # A B picture decoded after the IDR picture and the P picture is shown
    # before both: two pictures wait for output.
    reorder = max(sps["reorder"], 2)
    for p in pictures:
        for u in p["units"]:
            if u["head"][0] & 31 == 7:
                b = u["bits"]
                b.s = b.s[:sps["reorder_at"]] + ue_bits(reorder) + ue_bits(max(sps["buffering"], reorder)) + "1"
                b.s += "0" * (-len(b.s) % 8)
                u["changed"] = True
    for p in pictures:
        if "new_lsb" in p:
            p["slice"]["bits"].put(p["lsb_at"], sps["log2_max_poc_lsb"], p["new_lsb"])
            p["slice"]["changed"] = True
        if "new_dpb" in p:
            p["sei"]["bits"].put(p["sei"]["timing"][1], sps["dpb_length"], p["new_dpb"])
            p["sei"]["changed"] = True
    out = bytearray(data[:found[0][0]] if found else data)
    for p in pictures:
        for u in p["units"]:
            out += u["lead"] + (u["head"] + to_payload(u["bits"].rbsp()) if u.get("changed") else u["raw"])
    open(sys.argv[2], "wb").write(out)
    print(f"{moved} B pictures moved before their IDR picture")


main()
