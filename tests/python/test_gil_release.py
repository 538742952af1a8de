"""The six lock-releasing functions let other Python threads run meanwhile."""

import threading
import time

import numpy as np
import pytest

import qel.qelcore as q

N = 3_000_000


def make_calls():
    rng = np.random.default_rng(0)
    n_arms = 300_000
    return {
        "hypervolume_2d_max": (q.hypervolume.hypervolume_2d_max, (rng.random((N, 2)), np.zeros(2))),
        "normal_hash_batch_multi_seed_fast": (
            q.hash.normal_hash_batch_multi_seed_fast,
            (np.arange(2, dtype=np.int64), np.arange(N, dtype=np.int64), 2),
        ),
        "arms_from_pareto_fronts": (
            q.util.arms_from_pareto_fronts,
            (np.zeros((n_arms, 1)), rng.random(n_arms), rng.random(n_arms), 3000, 1),
        ),
        "standardize_y": (q.util.standardize_y, (rng.random(N),)),
        "calculate_sobol_indices": (q.util.calculate_sobol_indices, (rng.random((N, 2)), rng.random(N))),
        "pareto_front_2d_maximize": (q.util.pareto_front_2d_maximize, (rng.random(N), rng.random(N))),
    }


CALLS = make_calls()
# Warm up the lazily built tables (NumPy's interface table, the worker pool)
# outside the measured windows.
q.hash.normal_hash_batch_multi_seed_fast(np.arange(1), np.arange(1), 1)
q.util.sobol_sequence(1, 1)


class Counter(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = False

    def run(self):
        while not self.stop:
            self.count += 1


@pytest.fixture(scope="module")
def counter():
    c = Counter()
    c.start()
    yield c
    c.stop = True
    c.join()


def measure(counter, fn, args):
    """(counter increments during the call, increments expected had it run freely, seconds)."""
    # The counter's free-running rate, the main thread asleep.
    c0, t0 = counter.count, time.perf_counter()
    time.sleep(0.05)
    rate = (counter.count - c0) / (time.perf_counter() - t0)
    before, t0 = counter.count, time.perf_counter()
    fn(*args)
    elapsed = time.perf_counter() - t0
    return counter.count - before, rate * elapsed, elapsed


def test_measure_tells_a_lock_holding_call_apart(counter):
    progress, free, elapsed = measure(counter, q.util.sobol_sequence, (21201, 400))
    if elapsed < 0.05:
        pytest.skip("control call too short to judge")
    assert progress < 0.3 * free


@pytest.mark.parametrize("name", sorted(CALLS))
def test_other_thread_progresses_during_call(name, counter):
    fn, args = CALLS[name]
    progress, free, elapsed = measure(counter, fn, args)
    # Were the lock held, the counter could not run at all during the call; released, it
    # runs for much of it (less on a loaded machine, hence the low bar).
    assert elapsed > 0.02, f"{name}: call too short to judge ({elapsed:.3f} s)"
    assert progress > 0.05 * free, (name, progress, free)
