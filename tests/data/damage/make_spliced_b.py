#!/usr/bin/env python3
"""Makes spliced_nonref_b.264: MIDR_MW_D's first SPS and PPS, its non-IDR I
picture of unit 32 and the six P pictures after it, then the first
non-reference B slice of CABA3_SVA_B (another 176x144 stream, whose
frame_num 0 and references mean nothing here). The B picture's slice is
dropped and the picture concealed from a reference.

usage: make_spliced_b.py [TESTDATA]   (default: $AVCHD_TESTDATA)
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from annexb_bits import Bits, to_rbsp, units  # noqa: E402


def nal_units(data):
    """(bytes with start code, type, nal_ref_idc, first_mb_in_slice, slice_type)."""
    us = units(data)
    out = []
    for k, (start, head) in enumerate(us):
        end = us[k + 1][0] if k + 1 < len(us) else len(data)
        kind, ref = data[head] & 31, (data[head] >> 5) & 3
        first = stype = None
        if kind in (1, 5):
            b = Bits(to_rbsp(data[head + 1:head + 16]))
            first, stype = b.ue(), b.ue() % 5
        out.append((data[start:end], kind, ref, first, stype))
    return out


def main():
    testdata = sys.argv[1] if len(sys.argv) > 1 else os.environ['AVCHD_TESTDATA']
    conf = os.path.join(testdata, 'h264-conformance')
    a = nal_units(open(os.path.join(conf, 'MIDR_MW_D.264'), 'rb').read())
    b = nal_units(open(os.path.join(conf, 'CABA3_SVA_B.264'), 'rb').read())
    sps = next(u for u in a if u[1] == 7)
    pps = next(u for u in a if u[1] == 8)
    i_picture = a[32]
    assert i_picture[1:5:2] == (1, 0) and i_picture[4] == 2
    ps = [u for u in a[33:] if u[1] == 1 and u[3] == 0 and u[4] == 0][:6]
    bslice = next(u for u in b if u[1] == 1 and u[2] == 0 and u[3] == 0 and u[4] == 1)
    out = b''.join(u[0] for u in [sps, pps, i_picture] + ps + [bslice])
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, 'spliced_nonref_b.264'), 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
