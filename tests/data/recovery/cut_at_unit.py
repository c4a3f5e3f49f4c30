#!/usr/bin/env python3
"""Cuts an Annex B stream at an access unit, the way a recording cut there
reads: the stream's first sequence and picture parameter sets, then every
unit from the access unit given (counted from 0) on; with --no-sei, less
its SEI units (and with them its recovery points).

usage: cut_at_unit.py IN OUT INDEX [--no-sei]
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from annexb_bits import units  # noqa: E402


def main():
    src, dst, index = sys.argv[1], sys.argv[2], int(sys.argv[3])
    no_sei = "--no-sei" in sys.argv[4:]
    data = open(src, "rb").read()
    starts = units(data)
    ends = [s for s, _ in starts[1:]] + [len(data)]
    sets, body, au, slices = {}, [], 0, False
    for (start, header), end in zip(starts, ends):
        kind = data[header] & 31
        unit = data[start:end]
        if kind in (7, 8):
            sets.setdefault(kind, unit)
        # A new access unit: a unit that is not a slice after the slices of
        # one, or a slice with first_mb_in_slice 0 (a single 1 bit) after them.
        if slices and (kind in (6, 7, 8, 9) or (kind in (1, 5) and data[header + 1] & 0x80)):
            au += 1
            slices = False
        slices = slices or kind in (1, 5)
        body.append((au, kind, unit))
    out = sets[7] + sets[8]
    for n, kind, unit in body:
        if n >= index and not (n == index and kind in (7, 8)) and not (no_sei and kind == 6):
            out += unit
    open(dst, "wb").write(out)


main()
