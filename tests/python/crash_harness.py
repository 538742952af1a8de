"""Kills a process that appends rows to a disk-backed model at random moments and checks
that every reopen holds at least every acknowledged row, byte for byte.

Row i of the store is a function of i alone, so a reopen can check all rows without a log.
Used by the test suite (a few dozen kills) and by bench/crash_bench.py (a thousand).
"""

from __future__ import annotations

import gc
import os
import random
import signal
import subprocess
import sys
import time

import numpy as np

import qel.qelcore as q

DIM = 3

CHILD = r"""
import sys
import numpy as np
import qel.qelcore as q
sys.path.insert(0, {here!r})
from crash_harness import rows, DIM

work_dir, seed = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(seed)
m = q.model.Vantorix(np.zeros((0, DIM)), np.zeros((0, 1)), index_driver="MIROT_DISK", work_dir=work_dir)
n = len(m)
print(n, flush=True)
while True:
    b = int(rng.integers(1, 40))
    x, y = rows(n, n + b)
    m.add(x, y)
    n += b
    print(n, flush=True)
    r = rng.random()
    if r < 0.3:
        m.schedule_background_flush()
    elif r < 0.35:
        m.persist_index_to_disk()
"""


def rows(begin: int, end: int):
    """Rows [begin, end) of the store: x and y as functions of the row index."""
    i = np.arange(begin, end, dtype=np.float64)[:, None]
    x = np.sin(i * np.array([[0.37, 1.13, 2.71]])) * 10.0
    y = np.cos(i * 0.05)
    return x, y


def check_store(work_dir: str, acknowledged: int) -> int:
    """Reopens the store, checks its rows and a search; returns the row count."""
    m = q.model.Vantorix(np.zeros((0, DIM)), np.zeros((0, 1)), index_driver="MIROT_DISK", work_dir=work_dir)
    n = len(m)
    assert n >= acknowledged, (n, acknowledged)
    if n:
        x, y, yvar = m.train_rows_at(list(range(n)))
        ex, ey = rows(0, n)
        assert x.tobytes() == ex.tobytes()
        assert y.tobytes() == ey.tobytes()
        assert yvar is None
        q_rows = ex[: min(n, 5)]
        _, idx = m.neighbor_distances_and_indices(q_rows, 3)
        assert idx.shape == (len(q_rows), min(3, n))
        assert (idx >= 0).all() and (idx < n).all()
    del m
    gc.collect()
    return n


def run_kills(work_dir: str, kills: int, seed: int = 0, max_delay: float = 0.25) -> list[int]:
    """Starts, kills and checks the appending child `kills` times; returns the row counts."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(here=here)
    gen = random.Random(seed)
    counts = []
    for k in range(kills):
        child = subprocess.Popen([sys.executable, "-c", code, work_dir, str(seed * 100003 + k)],
                                 stdout=subprocess.PIPE, text=True)
        first = child.stdout.readline()
        assert first, "the child did not open the store"
        time.sleep(gen.random() * max_delay)
        child.send_signal(signal.SIGKILL)
        rest = child.stdout.read()
        child.wait()
        acked = [int(v) for v in (first + rest).split()]
        counts.append(check_store(work_dir, acked[-1]))
    return counts
