"""Time per ask (batch 10) and per tell of "TuRBO-QEL" on d = 20 after n observations.

Run with the extension on the path, e.g.
    PYTHONPATH=build/python python3 bench/bench_optimizer.py [n ...]
Prints, per n, the mean wall time of ask and tell and the optimizer's own
telemetry (dt_fit, dt_gen, dt_sel) of the last step.
"""

import sys
import time

import numpy as np

from qel.qelcore import optimizer

D = 20
BATCH = 10
REPEATS = 5


def objective(x):
    return -np.sum((x - 0.3) ** 2, axis=1, keepdims=True)


def bench(n, seed=0):
    rng = np.random.default_rng(seed)
    opt = optimizer.create_optimizer_qel(np.array([[0.0, 1.0]] * D), num_init=n, seed=seed)
    x0 = rng.random((n, D))
    t = time.perf_counter()
    opt.tell(x0, objective(x0), seed)
    setup = time.perf_counter() - t

    ask_s, tell_s = [], []
    for step in range(REPEATS):
        t = time.perf_counter()
        x = opt.ask(BATCH, step)
        ask_s.append(time.perf_counter() - t)
        tel_ask = opt.telemetry()
        t = time.perf_counter()
        opt.tell(x, objective(x), step)
        tell_s.append(time.perf_counter() - t)
    tel = opt.telemetry()
    print(f"n={n:>7} first tell {setup:8.3f}s | ask {np.mean(ask_s) * 1e3:9.2f} ms "
          f"(dt_gen {tel_ask.dt_gen * 1e3:9.2f}, dt_sel {tel_ask.dt_sel * 1e3:9.2f}, "
          f"candidates {tel_ask.num_candidates}) | tell {np.mean(tell_s) * 1e3:9.2f} ms "
          f"(dt_fit {tel.dt_fit * 1e3:9.2f}, dt_tell {tel.dt_tell * 1e3:9.2f})", flush=True)


def main(argv):
    sizes = [int(a) for a in argv] or [1_000, 10_000, 100_000]
    for n in sizes:
        bench(n)


if __name__ == "__main__":
    main(sys.argv[1:])
