import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest

import qel.qelcore as q

batch = q.hash.normal_hash_batch_multi_seed_fast


def test_quoted_reference_values():
    assert batch(np.array([0]), np.array([0]), 1)[0, 0, 0] == pytest.approx(-0.468020888681, abs=5e-12)
    v = batch(np.array([1]), np.array([2]), 2)[0, 0]
    assert v[0] == pytest.approx(0.798832411340, abs=5e-12)
    assert v[1] == pytest.approx(-0.453820322406, abs=5e-12)
    assert batch(np.array([42]), np.array([7]), 1)[0, 0, 0] == pytest.approx(-1.28531404486, abs=5e-11)


def test_shape_is_seeds_then_index_shape_then_metrics_and_repeats_match():
    idx = np.array([[3, 9, 3, -4], [0, 9, 2**62, -(2**63)]])
    out = batch(np.array([5, -1]), idx, 5)
    assert out.shape == (2, 2, 4, 5)
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out[:, 0, 0], out[:, 0, 2])
    np.testing.assert_array_equal(out[:, 0, 1], out[:, 1, 1])
    # Layout does not matter: a transposed view gives the transposed result.
    out_t = batch(np.array([5, -1]), idx.T, 5)
    np.testing.assert_array_equal(out_t, out.transpose(0, 2, 1, 3))
    assert batch(np.array([], dtype=np.int64), idx, 3).shape == (0, 2, 4, 3)
    assert batch(np.array([1]), np.zeros((0, 3), dtype=np.int64), 2).shape == (1, 0, 3, 2)


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((np.array([1]), np.array([1]), 0), ValueError, "num_metrics must be positive, got 0"),
        ((np.array([1]), np.array([1]), -7), ValueError, "num_metrics must be positive, got -7"),
        ((np.array([1]), np.array([1.0]), 1), TypeError, "argument 'data_indices'"),
        ((np.array([1.0]), np.array([1]), 1), TypeError, "argument 'function_seeds'"),
        ((np.array([1]), np.array([1]), 2**63), OverflowError, ""),
    ],
)
def test_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        batch(*args)
    assert str(info.value).startswith(text)


def test_output_size_overflow_is_refused_cleanly():
    with pytest.raises((ValueError, MemoryError)):
        batch(np.arange(4), np.arange(4), 2**62)


_DIGEST_SCRIPT = """
import hashlib, numpy as np, qel.qelcore as q
seeds = np.arange(-20, 37, dtype=np.int64) * 7919
idx = (np.arange(30000, dtype=np.int64) * 2654435761) % 4099 - 2000
a = q.hash.normal_hash_batch_multi_seed_fast(seeds, idx, 3)
b = q.hash.normal_hash_batch_multi_seed_fast(seeds[:2], np.arange(100000, dtype=np.int64), 2)
print(hashlib.sha256(a.tobytes() + b.tobytes()).hexdigest())
"""


def test_batch_is_identical_for_any_pool_size():
    digests = []
    for threads in ("1", "3", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        res = subprocess.run([sys.executable, "-c", _DIGEST_SCRIPT], env=env, capture_output=True, text=True,
                             check=True)
        digests.append(res.stdout.strip())
    assert len(set(digests)) == 1
    seeds = np.arange(-20, 37, dtype=np.int64) * 7919
    idx = (np.arange(30000, dtype=np.int64) * 2654435761) % 4099 - 2000
    a = batch(seeds, idx, 3)
    b = batch(seeds[:2], np.arange(100000, dtype=np.int64), 2)
    assert hashlib.sha256(a.tobytes() + b.tobytes()).hexdigest() == digests[0]
