"""Packet surgery on AVCHD recordings (192-byte source packets) for the join
campaign: the PES of each stream with their packets, stamps and picture
kinds; cuts at PES bounds; stamps shifted in place; packets taken out."""

PACKET = 192
VIDEO, AUDIO = 0x1011, 0x1100
WRAP = 1 << 33
TABLES = (0x0000, 0x0100, 0x001F)


def split(data):
    return [data[i:i + PACKET] for i in range(0, len(data) - PACKET + 1, PACKET)]


def header(pk):
    """(pid, start indicator, payload offset or None) of one packet."""
    if len(pk) < PACKET or pk[4] != 0x47:
        return None, False, None
    pid = (pk[5] & 0x1F) << 8 | pk[6]
    afc = pk[7] >> 4 & 3
    at = 8
    if afc & 2:
        at += 1 + pk[8]
    return pid, bool(pk[5] & 0x40), at if afc & 1 and at < PACKET else None


def _stamp(b):
    return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1


def _put_stamp(b, at, value):
    prefix = b[at] & 0xF0
    value %= WRAP
    b[at] = prefix | (value >> 29 & 0x0E) | 1
    b[at + 1] = value >> 22 & 0xFF
    b[at + 2] = (value >> 14 & 0xFE) | 1
    b[at + 3] = value >> 7 & 0xFF
    b[at + 4] = (value << 1 & 0xFE) | 1


def _ue(bits, pos):
    zeros = 0
    while pos < len(bits) and bits[pos] == "0":
        zeros += 1
        pos += 1
    value = int(bits[pos:pos + zeros + 1] or "1", 2) - 1
    return value, pos + zeros + 1


def nal_kinds(es):
    """NAL unit types of an access unit and the slice type (P, B, I) of its
    first slice."""
    kinds, slice_type = [], None
    at = 0
    while True:
        at = es.find(b"\0\0\1", at)
        if at < 0 or at + 3 >= len(es):
            break
        t = es[at + 3] & 0x1F
        kinds.append(t)
        if t in (1, 5) and slice_type is None:
            bits = "".join("{:08b}".format(x) for x in es[at + 4:at + 12])
            _, pos = _ue(bits, 0)
            st, _ = _ue(bits, pos)
            slice_type = "PBI"[st % 5] if st % 5 < 3 else "S"
        at += 3
    return kinds, slice_type


class Recording:
    """The packets of a recording and the PES they carry."""

    def __init__(self, data):
        self.packets = split(data)
        self.pes = []  # dicts: pid, packets, pts, dts (video: kinds, slice)
        self.tables = []
        current = {}
        self.orphans = []
        for i, pk in enumerate(self.packets):
            pid, start, at = header(pk)
            if pid in TABLES:
                self.tables.append(i)
                continue
            if pid not in (VIDEO, AUDIO):
                continue
            if start and at is not None and pk[at:at + 3] == b"\0\0\1":
                p = {"pid": pid, "packets": [i], "pts": None, "dts": None, "payload": []}
                flags = pk[at + 7] >> 6
                if flags & 2:
                    p["pts"] = _stamp(pk[at + 9:at + 14])
                if flags == 3:
                    p["dts"] = _stamp(pk[at + 14:at + 19])
                p["payload"].append(pk[at + 9 + pk[at + 8]:])
                self.pes.append(p)
                current[pid] = p
            elif pid in current:
                current[pid]["packets"].append(i)
                if at is not None:
                    current[pid]["payload"].append(pk[at:])
            else:
                self.orphans.append(i)
        for p in self.pes:
            if p["pid"] == VIDEO:
                p["kinds"], p["slice"] = nal_kinds(b"".join(p["payload"]))
            del p["payload"]
        self.video = [p for p in self.pes if p["pid"] == VIDEO]
        self.audio = [p for p in self.pes if p["pid"] == AUDIO]

    def bytes(self, drop=()):
        drop = set(drop)
        return b"".join(pk for i, pk in enumerate(self.packets) if i not in drop)

    def gop_starts(self):
        """Video PES (index into self.video) that begin a group with its
        tables (SPS, PPS) and an IDR picture, beside the packet where the
        group's program tables begin (the first after the PES before begins)."""
        out = []
        for k, p in enumerate(self.video):
            if 7 in p["kinds"] and 5 in p["kinds"]:
                first = p["packets"][0]
                lo = self.video[k - 1]["packets"][0] if k else -1
                tables = [t for t in self.tables if lo < t < first]
                out.append((k, tables[0] if tables else first))
        return out

    def group_starts(self):
        """Video PES (index) that begin a group: an I picture with its tables."""
        return [k for k, p in enumerate(self.video) if 7 in p["kinds"] and p["slice"] == "I"]


def cut(data, first_packet, pictures):
    """From `first_packet` (a group's tables) on, `pictures` video PES in
    decode order (0: all), cut at PES bounds: packets of PES begun before
    the start and the sound PES the cut would leave short are left out."""
    rec = Recording(data)
    video = [p for p in rec.video if p["packets"][0] >= first_packet]
    end = len(rec.packets)
    if pictures and pictures < len(video):
        end = video[pictures]["packets"][0]
    keep = set(i for i in rec.tables if first_packet <= i < end)
    for p in rec.pes:
        if p["packets"][0] < first_packet or p["packets"][0] >= end:
            continue
        if p["packets"][-1] >= end and p["pid"] == AUDIO:
            continue
        keep.update(i for i in p["packets"] if i < end)
    return b"".join(pk for i, pk in enumerate(rec.packets) if i in keep)


def without_sound(data):
    return b"".join(pk for pk in split(data) if header(pk)[0] != AUDIO)


def restamp(data, offset):
    """The recording with every PTS, DTS and PCR moved by `offset` ticks
    (modulo 2^33), packets otherwise untouched."""
    out = bytearray(data)
    for base in range(0, len(out) - PACKET + 1, PACKET):
        pk = out[base:base + PACKET]
        pid, start, at = header(pk)
        if pid is None:
            continue
        if pk[7] & 0x20 and pk[8] >= 7 and pk[9] & 0x10:
            b = pk[10:16]
            pcr = b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7
            pcr = (pcr + offset) % WRAP
            out[base + 10] = pcr >> 25 & 0xFF
            out[base + 11] = pcr >> 17 & 0xFF
            out[base + 12] = pcr >> 9 & 0xFF
            out[base + 13] = pcr >> 1 & 0xFF
            out[base + 14] = (pcr << 7 & 0x80) | (out[base + 14] & 0x7F)
        if pid in (VIDEO, AUDIO) and start and at is not None and pk[at:at + 3] == b"\0\0\1":
            flags = pk[at + 7] >> 6
            if flags & 2:
                _put_stamp(out, base + at + 9, _stamp(pk[at + 9:at + 14]) + offset)
            if flags == 3:
                _put_stamp(out, base + at + 14, _stamp(pk[at + 14:at + 19]) + offset)
    return bytes(out)


def _first_counters(b):
    """Each PID's first continuity counter (packets with payload)."""
    first = {}
    for at in range(0, len(b) - PACKET + 1, PACKET):
        pid, _, _ = header(b[at:at + PACKET])
        if pid is not None and b[at + 7] & 0x10:
            first.setdefault(pid, b[at + 7] & 0x0F)
    return first


def _move_counters(b, delta, last):
    """Moves each PID's counters in `b` on by delta[pid]; `last` gets each
    PID's last counter."""
    for at in range(0, len(b) - PACKET + 1, PACKET):
        pid, _, _ = header(b[at:at + PACKET])
        if pid is None or not b[at + 7] & 0x10:
            continue
        b[at + 7] = (b[at + 7] & 0xF0) | ((b[at + 7] + delta.get(pid, 0)) & 0x0F)
        last[pid] = b[at + 7] & 0x0F


def pat_runs_on(parts, sound_on=False, video_on=False):
    """The parts with the PAT's continuity counter running on from each
    part's last PAT into the next part, as it does across one join in 16 by
    chance; the pictures' counters made to break there unless `video_on`,
    and the sound's too unless `sound_on` (each then runs on as well)."""
    out, last = [], {}
    for k, data in enumerate(parts):
        b = bytearray(data)
        delta = {}
        for pid, cc in _first_counters(b).items():
            if k and pid in last:
                runs_on = (last[pid] + 1 - cc) % 16
                on = pid == 0 or (sound_on and pid == AUDIO) or (video_on and pid == VIDEO)
                delta[pid] = runs_on if on else (8 if runs_on == 0 else 0)
        _move_counters(b, delta, last)
        out.append(bytes(b))
    return out


def flag_pat(data, index, jump, flag=True):
    """The recording with the discontinuity_indicator set on its PAT number
    `index` (its payload moved on by the two bytes of the adaptation field,
    which the PAT's stuffing gives; not with `flag` false), that PAT's
    counter and those of the PATs after it moved on by `jump`."""
    b = bytearray(data)
    pats = [at for at in range(0, len(b) - PACKET + 1, PACKET) if header(b[at:at + PACKET])[0] == 0]
    at = pats[index]
    if flag:
        assert b[at + 7] & 0x30 == 0x10, "a PAT with an adaptation field already"
        b[at + 8:at + PACKET] = bytes([1, 0x80]) + b[at + 8:at + PACKET - 2]
        b[at + 7] |= 0x20
    for q in pats[index:]:
        b[q + 7] = (b[q + 7] & 0xF0) | ((b[q + 7] + jump) & 0x0F)
    return bytes(b)


def run_on(parts):
    """(recording, step) pairs joined: each recording restamped so that its
    first picture comes `step` ticks after the one before ends (its last
    picture plus one picture's step; 3003 where it has one picture)."""
    end, out = None, b""
    for part, step in parts:
        v = sorted(p["pts"] for p in Recording(part).video if p["pts"] is not None)
        off = 0 if end is None else end + step - v[0]
        end = v[-1] + off + (v[1] - v[0] if len(v) > 1 else 3003)
        out += restamp(part, off % WRAP)
    return out


def concatenated(parts):
    """The recordings joined as ffmpeg's concatenation writes them: each one
    restamped so that its first sound PES follows the one before's last (by
    that PES's step), every counter running on across each join."""
    out, end, last = b"", None, {}
    for data in parts:
        a = [p["pts"] for p in Recording(data).audio if p["pts"] is not None]
        off = 0 if end is None else (end - a[0]) % WRAP
        end = (a[-1] + off + a[-1] - a[-2]) % WRAP
        b = bytearray(restamp(data, off))
        _move_counters(b, {pid: (last[pid] + 1 - cc) % 16 for pid, cc in _first_counters(b).items() if pid in last}, last)
        out += bytes(b)
    return out


def _shown_times(video):
    """When each sample of a video track (of the importer's --dump) shows,
    in its media's units, in decode order."""
    decode, shown = 0, []
    for s in video["media"]["samples"]:
        for _ in range(s["count"]):
            shown.append(decode + s["displayOffset"])
            decode += s["duration"]
    return shown


def sound_offsets(parts, dump):
    """How far (in the movie's units) each AC-3 part's sound plays from where
    its own stamps put it beside its own first picture, in a movie imported
    from the parts joined (the importer's --dump, parsed): measured at the
    sample its stamps put under that picture (the part before plays up to
    it); None where no edit plays that sample."""
    tracks = {t["media"]["type"]: t for t in dump["tracks"]}
    scale = dump["timeScale"]
    video, sound = tracks["vide"], tracks["soun"]
    shown = _shown_times(video)
    vscale, sscale = video["media"]["timeScale"], sound["media"]["timeScale"]
    first, media, out = 0, 0, []
    for data in parts:
        rec = Recording(data)
        pictures = min(shown[first:first + len(rec.video)]) * scale // vscale
        lead = min(p["pts"] for p in rec.video) - rec.audio[0]["pts"]
        into = max(0, lead) * sscale // 90000
        at = media + into
        play = None
        for e in sound["edits"]:
            m = e["mediaTime"]
            if m >= 0 and m <= at < m + e["trackDuration"] * sscale // scale:
                play = e["trackStart"] + (at - m) * scale // sscale
        out.append(None if play is None else play - (pictures + (into * scale // sscale) - lead * scale // 90000))
        first += len(rec.video)
        media += len(rec.audio) * 1536
    return out


def shown_together(dump):
    """How many pictures of a movie (the importer's --dump, parsed) show at
    a time another picture already shows."""
    shown = _shown_times(next(t for t in dump["tracks"] if t["media"]["type"] == "vide"))
    return len(shown) - len(set(shown))


def shown_pictures(video):
    """The video PES (with stamps, in decode order) less the B pictures
    that follow a first I picture that is no IDR picture's and show before
    it: their references were cut off, and a decoder leaves them out."""
    if not video or video[0]["slice"] != "I" or 5 in video[0]["kinds"]:
        return video
    first, lead = video[0]["pts"], set()
    for i in range(1, len(video)):
        if video[i]["slice"] != "B":
            break
        if (video[i]["pts"] - first + WRAP // 2) % WRAP - WRAP // 2 < 0:
            lead.add(i)
    return [p for i, p in enumerate(video) if i not in lead]


def first_video_pts(data, shown=False):
    """The smallest video PTS, unwrapped from the first one's, and whether
    the stamps pass 2^33. With `shown`, of the pictures a decoder shows
    from this recording alone: where it begins with an I picture that is
    no IDR picture, the B pictures after it that show before it refer to
    pictures cut off, and are left out."""
    rec = Recording(data)
    video = [p for p in rec.video if p["pts"] is not None]
    if shown:
        video = shown_pictures(video)
    stamps = [p["pts"] for p in video]
    if not stamps:
        return None
    base = stamps[0]
    rel = [((s - base + WRAP // 2) % WRAP) - WRAP // 2 for s in stamps]
    return (base + min(rel)) % WRAP
