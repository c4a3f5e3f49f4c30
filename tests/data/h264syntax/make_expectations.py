#!/usr/bin/env python3
"""Writes expectations.txt: the parameter-set and SEI fields of the H.264 test
streams as ffmpeg's trace_headers bitstream filter prints them.

Run once (needs /usr/bin/ffmpeg); the output is committed and read by
tests/video/interface. Usage: make_expectations.py [TESTDATA_DIR]

One block per stream:
  F <path relative to the test material folder>
  S|P|B|T|R <count> name=value ...   one parameter set or SEI message; <count>
                                      consecutive ones of that kind are equal
  C <classes>                        slice class of each access unit (clips)
  L name=value ...                   slices of the first access unit (m2ts)
Kinds: S sequence, P picture parameter set; B buffering period, T picture
timing, R recovery point. Coded scaling lists become sl[i]=v,v,... in scan
order ("default" when the list asks for its default). Within one set a later
value of the same name replaces an earlier one (the VCL HRD block replaces the
NAL one, as the decoder's record does).
"""
import os
import re
import subprocess
import sys

ELEMENT = re.compile(r'^\d+\s+(\S+)\s+[01]*\s*=\s*(-?\d+)\s*$')
PREFIX = re.compile(r'^\[trace_headers @ [0-9a-fx]+\] ')
KINDS = {
    'Sequence Parameter Set': 'S',
    'Picture Parameter Set': 'P',
    'Buffering Period': 'B',
    'Picture Timing': 'T',
    'Recovery Point': 'R',
    'Slice Header': 'L',
}
SKIP = {'forbidden_zero_bit', 'nal_unit_type', 'rbsp_stop_one_bit',
        'rbsp_alignment_zero_bit', 'bit_equal_to_one', 'bit_equal_to_zero',
        'last_payload_type_byte', 'last_payload_size_byte', 'ff_byte',
        'cabac_alignment_one_bit'}
SLICE_KEEP = ('first_mb_in_slice', 'slice_type', 'pic_parameter_set_id')


def trace(path):
    cmd = ['ffmpeg', '-hide_banner', '-nostats', '-i', path, '-map', '0:v:0',
           '-c', 'copy', '-bsf:v', 'trace_headers', '-f', 'null', '-']
    out = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         check=True).stderr.decode('utf-8', 'replace')
    # Progress output can glue a trace line behind it: split at every prefix.
    out = re.sub(r'(\[trace_headers @ )', r'\n\1', out)
    for line in out.splitlines():
        if PREFIX.match(line):
            yield PREFIX.sub('', line).strip()


def scaling_values(deltas):
    last = nxt = 8
    values = []
    it = iter(deltas)
    for j in range(64):
        if nxt != 0:
            d = next(it, None)
            if d is None:
                break
            nxt = (last + d + 256) % 256
            if j == 0 and nxt == 0:
                return 'default'
        v = last if nxt == 0 else nxt
        values.append(v)
        last = v
    return values


class Unit:
    def __init__(self, kind):
        self.kind = kind
        self.fields = {}
        self.order = []
        self.list_index = None
        self.deltas = []

    def flush_list(self):
        if self.list_index is not None and self.deltas:
            vals = scaling_values(self.deltas)
            size = 16 if self.list_index < 6 else 64
            if vals != 'default':
                # Only as many values as the list has; the rest repeat the last.
                vals = (vals + [vals[-1]] * size)[:size]
                vals = ','.join(str(v) for v in vals)
            self.put('sl[%d]' % self.list_index, vals)
        self.list_index = None
        self.deltas = []

    def put(self, name, value):
        if name not in self.fields:
            self.order.append(name)
        self.fields[name] = value

    def add(self, name, value):
        if name in SKIP:
            return
        if name.startswith('delta_scale'):
            self.deltas.append(value)
            return
        m = re.match(r'(seq|pic)_scaling_list_present_flag\[(\d+)\]', name)
        if m:
            self.flush_list()
            self.list_index = int(m.group(2))
        elif self.list_index is not None:
            self.flush_list()
        if self.kind == 'L' and name not in SLICE_KEEP:
            return
        self.put(name, value)

    def line(self):
        self.flush_list()
        return ' '.join('%s=%s' % (k, self.fields[k]) for k in self.order)


def slice_class(nal_type, ref_idc, slice_type):
    if slice_type >= 10:
        return 8
    if nal_type == 5:
        return 5
    return {0: 1, 1: 3 if ref_idc else 2, 2: 4, 3: 6, 4: 7}[slice_type % 5]


def describe(path, rel, with_classes, first_packet_only):
    seqs = {k: [] for k in 'SPBTR'}
    slices = []
    classes = []
    in_extradata = False
    packets = 0
    unit = None
    header = {}
    first_slice_of_packet = None

    def close():
        nonlocal unit
        if unit is not None:
            if unit.kind == 'L':
                if packets == 1:
                    slices.append(unit.line())
            else:
                seqs[unit.kind].append(unit.line())
        unit = None

    for text in trace(path):
        if text == 'Extradata':
            close()
            in_extradata = True
            continue
        if text.startswith('Packet:'):
            close()
            in_extradata = False
            if first_slice_of_packet is not None:
                classes.append(first_slice_of_packet)
            first_slice_of_packet = None
            packets += 1
            continue
        m = ELEMENT.match(text)
        if not m:
            close()
            if text in KINDS and not in_extradata:
                unit = Unit(KINDS[text])
            continue
        name, value = m.group(1), int(m.group(2))
        if name in ('nal_ref_idc', 'nal_unit_type'):
            header[name] = value
        if unit is None:
            continue
        if unit.kind == 'L' and name == 'slice_type' and first_slice_of_packet is None:
            first_slice_of_packet = slice_class(header['nal_unit_type'], header['nal_ref_idc'], value)
        unit.add(name, value)
    close()
    if first_slice_of_packet is not None:
        classes.append(first_slice_of_packet)

    out = ['F ' + rel]
    for kind in 'SPBTR':
        items = seqs[kind]
        if first_packet_only:
            items = items[:1] if kind in 'SP' else []
        i = 0
        while i < len(items):
            j = i
            while j < len(items) and items[j] == items[i]:
                j += 1
            out.append('%s %d %s' % (kind, j - i, items[i]))
            i = j
    if with_classes:
        out.append('C ' + ''.join(str(c) for c in classes))
    if first_packet_only:
        for s in slices:
            out.append('L ' + s)
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = sys.argv[1] if len(sys.argv) > 1 else os.environ.get(
        'AVCHD_TESTDATA', os.path.join(here, '../../../../shared/testdata'))
    lines = []
    for folder in ('h264-conformance', 'h264-features'):
        names = sorted(n for n in os.listdir(os.path.join(root, folder))
                       if n.endswith('.264') or n.endswith('.avc'))
        for n in names:
            rel = folder + '/' + n
            lines += describe(os.path.join(root, rel), rel, folder == 'h264-features', False)
    for n in sorted(os.listdir(os.path.join(root, 'avchd'))):
        if n.endswith('.m2ts') or n.endswith('.mts'):
            rel = 'avchd/' + n
            lines += describe(os.path.join(root, rel), rel, False, True)
    with open(os.path.join(here, 'expectations.txt'), 'w') as f:
        f.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
