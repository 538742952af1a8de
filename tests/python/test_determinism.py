"""End to end, results do not depend on the number of worker threads."""

import os
import subprocess
import sys

SCRIPT = r"""
import hashlib
import numpy as np
import qel.qelcore as q

h = hashlib.sha256()
bounds = np.array([[0.0, 1.0]] * 8)
for overrides in [None, {"trust_region": "morbo", "num_metrics": 2, "acquisition": "pareto"}]:
    opt = q.optimizer.create_optimizer_qel(bounds, num_init=10, seed=3, config_overrides=overrides)
    for step in range(12):
        x = opt.ask(10, step)
        h.update(x.tobytes())
        y = np.stack([-((x - 0.3) ** 2).sum(1), -((x - 0.7) ** 2).sum(1)], 1)
        opt.tell(x, y if overrides else y[:, :1], step)
rng = np.random.default_rng(0)
model = q.model.Vantorix(rng.random((5000, 8)), rng.random((5000, 2)))
xq = rng.random((3000, 8))
for arr in model.posterior(xq, 7, 0.5, 0.01)[:4]:
    h.update(np.ascontiguousarray(arr).tobytes())
draws = model.posterior_function_draw(xq, 7, 0.5, 0.01, np.arange(16, dtype=np.int64))[0]
h.update(np.ascontiguousarray(draws).tobytes())
xw, yw = rng.random((50, 8)), rng.random((50, 2))
for arr in model.conditional_posterior(xw, yw, xq, 7, 0.5, 0.01)[:4]:
    h.update(np.ascontiguousarray(arr).tobytes())
print(h.hexdigest())
"""


def digest(threads: int) -> str:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True)
    return out.stdout.strip()


def test_optimizer_posterior_and_draws_identical_for_any_thread_count():
    assert digest(1) == digest(3) == digest(8)
