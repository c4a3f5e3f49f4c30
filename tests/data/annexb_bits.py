"""Annex B units, RBSP bytes and bit strings, shared by the scripts in this
directory that rewrite syntax elements of x264's streams."""


def units(data):
    """(start of the start code, start of the NAL header) of each unit."""
    out, i = [], 0
    while True:
        j = data.find(b"\x00\x00\x01", i)
        if j < 0:
            return out
        start = j - 1 if j > 0 and data[j - 1] == 0 else j
        out.append((start, j + 3))
        i = j + 3


def to_rbsp(payload):
    out, zeros = bytearray(), 0
    for b in payload:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def to_payload(rbsp):
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def ue_bits(v):
    code = v + 1
    return "0" * (code.bit_length() - 1) + format(code, "b")


class Bits:
    """An RBSP as a string of '0' and '1', read from pos."""

    def __init__(self, rbsp):
        self.s = "".join(f"{b:08b}" for b in rbsp)
        self.pos = 0

    def u(self, n):
        v = int(self.s[self.pos:self.pos + n], 2) if n else 0
        self.pos += n
        return v

    def ue(self):
        z = 0
        while self.s[self.pos] == "0":
            z += 1
            self.pos += 1
        self.pos += 1
        return (1 << z) - 1 + self.u(z)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)

    def put(self, at, n, v):
        """Writes v in the n bits at bit position at."""
        self.s = self.s[:at] + format(v, f"0{n}b") + self.s[at + n:]

    def rbsp(self):
        return bytes(int(self.s[i:i + 8], 2) for i in range(0, len(self.s), 8))
