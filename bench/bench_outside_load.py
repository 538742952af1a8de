"""Posterior of 10,000 queries on 100,000 rows (d = 16, k = 10) on an idle machine and while
other processes keep cores busy: with the default thread settings, with OMP_NUM_THREADS=1, and
all on one thread. Under load the default must be no slower than the single-threaded run.

Run with the extension on the path, e.g.
    PYTHONPATH=build/py/python python3 bench/bench_outside_load.py [--busy 4] [--repeats 5]
        [--baseline OTHER_PYTHONPATH]
With --baseline the same runs are made against another build (for example one of an older
commit) and the ratios of the default times are printed.
Each timing runs in its own process so that thread settings from the environment take effect.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

ROWS, DIM, QUERIES, K = 100_000, 16, 10_000, 10

CHILD = r"""
import sys, time
import numpy as np
import qel.qelcore as q

rows, dim, queries, k, repeats = map(int, sys.argv[1:6])
rng = np.random.default_rng(42)
model = q.model.Vantorix(rng.random((rows, dim)), rng.random((rows, 1)))
xq = rng.random((queries, dim))
model.posterior(xq[:100], k, 1.0, 0.1)
times = []
for _ in range(repeats):
    t0 = time.perf_counter()
    model.posterior(xq, k, 1.0, 0.1)
    times.append(time.perf_counter() - t0)
print(" ".join(f"{t:.6f}" for t in times))
"""

BUSY = "while True:\n    pass\n"


# Thread settings of each run: the defaults, FAISS's and OpenBLAS's OpenMP limited to one
# thread, and everything on one thread (the worker pool too).
SETTINGS = {
    "default": {},
    "OMP_NUM_THREADS=1": {"OMP_NUM_THREADS": "1"},
    "single-threaded": {"OMP_NUM_THREADS": "1", "RAYON_NUM_THREADS": "1"},
}


def timed(pythonpath: str, setting: str, repeats: int) -> list[float]:
    env = dict(os.environ, PYTHONPATH=pythonpath)
    for name in ("OMP_NUM_THREADS", "RAYON_NUM_THREADS"):
        env.pop(name, None)
    env.update(SETTINGS[setting])
    args = [sys.executable, "-c", CHILD, str(ROWS), str(DIM), str(QUERIES), str(K), str(repeats)]
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
    return [float(t) for t in out.stdout.split()]


def start_busy(count: int) -> list[subprocess.Popen]:
    procs = [subprocess.Popen([sys.executable, "-c", BUSY]) for _ in range(count)]
    time.sleep(1.0)  # let them reach the loop
    return procs


def stop_busy(procs: list[subprocess.Popen]) -> None:
    for p in procs:
        p.kill()
    for p in procs:
        p.wait()


def measure(pythonpath: str, busy: int, repeats: int) -> dict[tuple[str, str], float]:
    results = {}
    for load in ("idle", "busy"):
        procs = start_busy(busy) if load == "busy" else []
        try:
            for setting in SETTINGS:
                results[(load, setting)] = statistics.median(timed(pythonpath, setting, repeats))
        finally:
            stop_busy(procs)
    return results


def report(title: str, results: dict[tuple[str, str], float], busy: int) -> None:
    print(title)
    for load in ("idle", "busy"):
        label = "idle machine" if load == "idle" else f"{busy} busy processes"
        times = "   ".join(f"{setting} {results[(load, setting)]:6.3f} s" for setting in SETTINGS)
        print(f"  {label:<18} {times}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--busy", type=int, default=4, help="busy background processes (default 4)")
    parser.add_argument("--repeats", type=int, default=5, help="timed calls per process (median reported)")
    parser.add_argument("--baseline", help="PYTHONPATH of a build to compare against")
    opts = parser.parse_args()

    print(f"posterior: {QUERIES} queries, {ROWS} rows, d = {DIM}, k = {K}; {os.cpu_count()} processors; "
          f"median of {opts.repeats} calls; load average before: {os.getloadavg()[0]:.2f}")
    current = measure(os.environ.get("PYTHONPATH", ""), opts.busy, opts.repeats)
    report("this build", current, opts.busy)
    ok = current[("busy", "default")] <= current[("busy", "single-threaded")]
    if opts.baseline:
        base = measure(opts.baseline, opts.busy, opts.repeats)
        report("baseline", base, opts.busy)
        for load in ("idle", "busy"):
            ratio = current[(load, "default")] / base[(load, "default")]
            print(f"  {load}: default time this build / baseline = {ratio:.2f}")
    print("under load the default is " + ("no slower than" if ok else "SLOWER than") + " the single-threaded run")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
