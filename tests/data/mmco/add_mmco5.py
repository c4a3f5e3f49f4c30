#!/usr/bin/env python3
"""Rewrites an H.264 Annex B stream (CAVLC, frames, one slice per picture, no
weighted prediction, as make.sh has x264 write it) so that the reference
pictures with the given decode-order numbers carry
memory_management_control_operation 5 in their dec_ref_pic_marking. After
such a picture frame_num counts again from 0 (the operation sets the
picture's own to 0), so the frame_num of the pictures up to the next IDR
picture is renumbered from it.

usage: add_mmco5.py IN.264 OUT.264 N [N ...]"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from annexb_bits import Bits, to_payload, to_rbsp, ue_bits, units  # noqa: E402


def parse_sps(b):
    profile = b.u(8)
    b.u(16)
    b.ue()
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128):
        sys.exit("make the stream in Main profile")
    sps = {"log2_max_frame_num": b.ue() + 4, "poc_type": b.ue()}
    if sps["poc_type"] == 0:
        sps["log2_max_poc_lsb"] = b.ue() + 4
    elif sps["poc_type"] == 1:
        sps["delta_always_zero"] = b.u(1)
        b.se()
        b.se()
        for _ in range(b.ue()):
            b.se()
    b.ue()
    b.u(1)
    b.ue()
    b.ue()
    sps["frame_mbs_only"] = b.u(1)
    if not sps["frame_mbs_only"]:
        sys.exit("make the stream of frames")
    return sps


def parse_pps(b):
    pps = {"id": b.ue()}
    b.ue()
    if b.u(1):
        sys.exit("make the stream with CAVLC")
    pps["poc_present"] = b.u(1)
    if b.ue() != 0:
        sys.exit("one slice group only")
    b.ue()
    b.ue()
    if b.u(1) or b.u(2):
        sys.exit("make the stream without weighted prediction")
    b.se()
    b.se()
    b.se()
    b.u(1)
    b.u(1)
    pps["redundant"] = b.u(1)
    return pps


def frame_num_position(b):
    b.ue()
    b.ue()
    b.ue()
    return b.pos


def marking_position(b, nal_type, sps, pps):
    """Bit position of adaptive_ref_pic_marking_mode_flag in a non-IDR slice."""
    b.ue()
    slice_type = b.ue() % 5
    b.ue()
    b.u(sps["log2_max_frame_num"])
    if sps["poc_type"] == 0:
        b.u(sps["log2_max_poc_lsb"])
        if pps["poc_present"]:
            b.se()
    elif sps["poc_type"] == 1 and not sps["delta_always_zero"]:
        b.se()
        if pps["poc_present"]:
            b.se()
    if pps["redundant"]:
        b.ue()
    if slice_type == 1:
        sys.exit("make the stream without B slices")
    if slice_type == 0:
        if b.u(1):
            b.ue()
        if b.u(1):
            while b.ue() != 3:
                b.ue()
    return b.pos


def main():
    data = open(sys.argv[1], "rb").read()
    wanted = {int(n) for n in sys.argv[3:]}
    found = units(data)
    out = bytearray(data[:found[0][0]] if found else data)
    sps = pps = None
    picture = -1
    offset = None  # frame_num of the last picture with the operation
    for k, (start, header) in enumerate(found):
        end = found[k + 1][0] if k + 1 < len(found) else len(data)
        nal = data[header:end]
        nal_type, ref_idc = nal[0] & 31, nal[0] >> 5
        rbsp = to_rbsp(nal[1:])
        if nal_type == 7:
            sps = parse_sps(Bits(rbsp))
        elif nal_type == 8:
            pps = parse_pps(Bits(rbsp))
        elif nal_type in (1, 5):
            picture += 1
            if nal_type == 5:
                offset = None
            elif offset is not None:
                b = Bits(rbsp)
                at = frame_num_position(b)
                n = sps["log2_max_frame_num"]
                renumbered = (b.u(n) - offset) % (1 << n)
                bits = b.s[:at] + format(renumbered, f"0{n}b") + b.s[at + n:]
                rbsp = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
                nal = nal[:1] + to_payload(rbsp)
            if picture in wanted:
                if nal_type != 1 or ref_idc == 0:
                    sys.exit(f"picture {picture} is not a non-IDR reference picture")
                b = Bits(rbsp)
                offset = Bits(rbsp)
                offset.pos = frame_num_position(offset)
                offset = offset.u(sps["log2_max_frame_num"])
                at = marking_position(b, nal_type, sps, pps)
                if b.s[at] != "0":
                    sys.exit(f"picture {picture} already has adaptive marking")
                bits = b.s.rstrip("0")[:-1]  # without rbsp_trailing_bits
                bits = bits[:at] + "1" + ue_bits(5) + ue_bits(0) + bits[at + 1:] + "1"
                bits += "0" * (-len(bits) % 8)
                rbsp = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
                wanted.discard(picture)
                out += data[start:header] + nal[:1] + to_payload(rbsp)
                continue
        out += data[start:header] + nal
    if wanted:
        sys.exit(f"pictures not found: {sorted(wanted)}")
    open(sys.argv[2], "wb").write(out)


main()
