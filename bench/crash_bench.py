"""Crash safety at length: a process appending rows to a disk-backed model is killed with
SIGKILL at a thousand random moments; after each kill the store is reopened and must hold at
least every acknowledged row, byte for byte, and answer a search.

    PYTHONPATH=<build>/python python3 bench/crash_bench.py [--kills 1000] [--seed 0]
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from crash_harness import run_kills  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--kills", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qel-crash-") as tmp:
        # The configuration file of a private home, not the user's.
        os.environ["HOME"] = tmp
        start = time.perf_counter()
        counts = []
        for k in range(0, args.kills, 50):
            # A fresh store now and then keeps the files small.
            counts += run_kills(os.path.join(tmp, f"wd{k}"), min(50, args.kills - k), seed=args.seed * 1000 + k)
            print(f"{len(counts)} kills, {counts[-1]} rows in the current store", flush=True)
    print(f"{len(counts)} kills survived in {time.perf_counter() - start:.1f}s")


if __name__ == "__main__":
    main()
