"""Time per ask (batch 10) and per tell of "TuRBO-QEL" on d = 20 after n observations.

Run with pytest-benchmark and the extension on the path, e.g.
    PYTHONPATH=build/python python3 -m pytest -p no:cacheprovider bench/bench_optimizer.py
The optimizer's own telemetry of the last step (dt_fit, dt_gen, dt_sel, dt_tell,
num_candidates) is stored in each result's extra_info.
"""

import numpy as np
import pytest

from qel.qelcore import optimizer

D = 20
BATCH = 10
ROUNDS = 5


def objective(x):
    return -np.sum((x - 0.3) ** 2, axis=1, keepdims=True)


def told_optimizer(n, seed=0):
    rng = np.random.default_rng(seed)
    opt = optimizer.create_optimizer_qel(np.array([[0.0, 1.0]] * D), num_init=n, seed=seed)
    x0 = rng.random((n, D))
    opt.tell(x0, objective(x0), seed)
    return opt


def record(benchmark, opt):
    tel = opt.telemetry()
    benchmark.extra_info.update(dt_fit=tel.dt_fit, dt_gen=tel.dt_gen, dt_sel=tel.dt_sel, dt_tell=tel.dt_tell,
                                num_candidates=tel.num_candidates)


@pytest.mark.parametrize("n", [1_000, 10_000, 100_000])
def test_ask(benchmark, n):
    opt = told_optimizer(n)
    seeds = iter(range(10**6))
    benchmark.pedantic(lambda: opt.ask(BATCH, next(seeds)), rounds=ROUNDS, iterations=1)
    record(benchmark, opt)


@pytest.mark.parametrize("n", [1_000, 10_000, 100_000])
def test_tell(benchmark, n):
    opt = told_optimizer(n)
    batches = [opt.ask(BATCH, s) for s in range(ROUNDS)]
    steps = iter(range(ROUNDS))

    def tell_next():
        s = next(steps)
        opt.tell(batches[s], objective(batches[s]), s)

    benchmark.pedantic(tell_next, rounds=ROUNDS, iterations=1)
    record(benchmark, opt)
