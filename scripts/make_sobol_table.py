#!/usr/bin/env python3
"""Write data/new-joe-kuo-6.21201.gz: Joe and Kuo's Sobol direction numbers.

The numbers are rebuilt from the copy that SciPy ships (arrays `poly` and
`vinit`, one row per dimension) as the upstream text table: a header line, then
one line `d s a m_1 .. m_s` per dimension d = 2 .. 21201. The gzip stream has a
fixed mtime and no file name so the output bytes are reproducible.

Usage: python3 scripts/make_sobol_table.py [output.gz]
"""

import gzip
import io
import os
import sys

import numpy as np
import scipy

NUM_DIMS = 21201
WIDTH = 8


def table_lines(poly, vinit):
    yield "d".ljust(WIDTH) + "s".ljust(WIDTH) + "a".ljust(WIDTH) + "m_i"
    # Row 0 is dimension 1, which the table leaves implicit (every m = 1).
    for row in range(1, NUM_DIMS):
        p = int(poly[row])
        s = p.bit_length() - 1
        a = (p >> 1) & ((1 << (s - 1)) - 1)
        if p != (1 << s) | (a << 1) | 1:
            raise ValueError(f"dimension {row + 1}: unexpected polynomial {p}")
        m = [int(v) for v in vinit[row, :s]]
        if any(v <= 0 or v % 2 == 0 or v >= (1 << (i + 1)) for i, v in enumerate(m)):
            raise ValueError(f"dimension {row + 1}: invalid initial numbers {m}")
        fields = [str(row + 1), str(s), str(a)] + [str(v) for v in m]
        yield "".join(f.ljust(WIDTH) for f in fields).rstrip()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "data", "new-joe-kuo-6.21201.gz")
    npz = os.path.join(os.path.dirname(scipy.__file__), "stats", "_sobol_direction_numbers.npz")
    with np.load(npz) as z:
        poly, vinit = z["poly"], z["vinit"]
    if poly.shape != (NUM_DIMS,) or vinit.shape[0] != NUM_DIMS:
        raise ValueError(f"unexpected table shapes {poly.shape}, {vinit.shape}")
    text = "\n".join(table_lines(poly, vinit)).encode("ascii")
    buf = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=buf, mtime=0) as gz:
        gz.write(text)
    with open(out, "wb") as f:
        f.write(buf.getvalue())
    print(f"{out}: {len(text)} bytes of text, {len(buf.getvalue())} compressed")


if __name__ == "__main__":
    main()
