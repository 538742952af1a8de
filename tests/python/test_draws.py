"""Posterior function draws and the conditional (what-if) posterior of Vantorix."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import stats

from qel.qelcore import model as qm


def worked_example_model():
    # Rows 0 and 1 are the query's two neighbours; the far rows make the y scale exactly 2.
    x = np.array([[0.0], [1.0], [100.0], [200.0], [300.0]])
    y = np.array([[0.0], [3.0], [-3.0], [-1.0], [1.0]])
    return qm.Vantorix(x, y)


def random_model(seed, n=400, d=3, m=2):
    rng = np.random.default_rng(seed)
    return qm.Vantorix(rng.normal(size=(n, d)), rng.normal(size=(n, m)) * 2.0 + 1.0), rng


def test_worked_example_gives_the_quoted_draws():
    m = worked_example_model()
    draws, lists = m.posterior_function_draw(np.array([[0.0]]), 2, 1.0, 1.0, [0, 1])
    assert draws.shape == (2, 1, 1)
    assert draws[0, 0, 0] == -0.7395405638579025
    assert draws[1, 0, 0] == 0.4740380680314453
    assert lists == [[0, 1]]


DRAW_SCRIPT = textwrap.dedent(
    """
    import hashlib, sys
    import numpy as np
    from qel.qelcore import model as qm
    rng = np.random.default_rng(3)
    m = qm.Vantorix(rng.normal(size=(3000, 3)), rng.normal(size=(3000, 2)))
    q = rng.normal(size=(1500, 3))
    h = hashlib.sha256()
    for seeds in ([7], list(range(64)), [-5, 2**62]):
        d, lists = m.posterior_function_draw(q, 9, 0.7, 0.1, seeds, observation_noise=True)
        h.update(d.tobytes()); h.update(repr(lists).encode())
    xw = rng.normal(size=(40, 3)); yw = rng.normal(size=(40, 2))
    d, lists = m.conditional_posterior_function_draw(xw, yw, q, 9, 0.7, 0.1, list(range(20)))
    h.update(d.tobytes()); h.update(repr(lists).encode())
    print(h.hexdigest())
    """
)


def run_with_threads(n):
    env = dict(os.environ, RAYON_NUM_THREADS=str(n))
    out = subprocess.run([sys.executable, "-c", DRAW_SCRIPT], env=env, capture_output=True, text=True, check=True)
    return out.stdout.strip()


def test_draws_are_bit_identical_for_any_pool_size():
    assert run_with_threads(1) == run_with_threads(8)


def test_standardised_draws_over_many_seeds_are_standard_normal():
    m, rng = random_model(11, n=500, d=2, m=1)
    q = np.array([[0.1, -0.3]])
    seeds = list(range(10_000))
    draws, _ = m.posterior_function_draw(q, 7, 1.5, 0.2, seeds, observation_noise=True)
    # Mean and total std of the same full posterior (a batch of one record uses it).
    mean, total, _, _ = m.batch_posterior(q, [7], [1.5], [0.2], observation_noise=True)
    z = (draws[:, 0, 0] - mean[0, 0, 0]) / total[0, 0, 0]
    assert abs(z.mean()) < 0.05
    assert abs(z.std() - 1.0) < 0.05
    assert stats.normaltest(z).pvalue > 0.01
    assert stats.kstest(z, "norm").pvalue > 0.01


def test_conditional_without_whatif_rows_is_the_plain_full_posterior():
    m, rng = random_model(14)
    q = rng.normal(size=(6, 3))
    mean, se, epi, ale, idx = m.conditional_posterior(np.zeros((0, 3)), np.zeros((2, 7)), q, 4, 0.5, 0.1,
                                                      observation_noise=True)
    b_mean, b_se, b_epi, b_ale = m.batch_posterior(q, [4], [0.5], [0.1], observation_noise=True)
    np.testing.assert_array_equal(mean, b_mean[0])
    np.testing.assert_array_equal(se, b_se[0])
    np.testing.assert_array_equal(ale, b_ale[0])
    assert idx.dtype == np.int64 and idx.shape == (6, 4) and idx.max() < len(m)


def test_whatif_neighbours_carry_row_numbers_after_the_stored_rows():
    x = np.array([[0.0], [10.0], [20.0]])
    m = qm.Vantorix(x, np.array([[1.0], [2.0], [3.0]]))
    xw = np.array([[30.0], [4.0]])
    yw = np.array([[9.0], [4.0]])
    q = np.array([[4.0]])
    _, _, _, _, idx = m.conditional_posterior(xw, yw, q, 2, 1.0, 0.0)
    assert idx.tolist() == [[4, 0]]
    draws, lists = m.conditional_posterior_function_draw(xw, yw, q, 2, 1.0, 0.0, [1, 2])
    assert lists == [[4, 0]]
    assert draws.shape == (2, 1, 1)
    _, _, _, _, idx = m.conditional_posterior(xw, yw, q, 2, 1.0, 0.0, exclude_nearest=True)
    assert idx.tolist() == [[0, 1]]
    assert len(m) == 3  # nothing was stored


def test_conditional_y_scale_counts_stored_and_whatif_rows():
    m, rng = random_model(15, m=1)
    q = rng.normal(size=(4, 3))
    far = np.full((3, 3), 1e3)
    yw = np.array([[5.0], [-2.0], [0.5]])
    _, se_c, _, _, idx_c = m.conditional_posterior(far, yw, q, 5, 1.0, 0.1)
    _, se_p, _, _ = m.batch_posterior(q, [5], [1.0], [0.1])
    y_all = np.vstack([m.row_y(i) for i in range(len(m))] + [yw])
    ratio = y_all.std() / m.y_scale_row[0, 0]
    np.testing.assert_allclose(se_c, se_p[0] * ratio, rtol=1e-12)
    assert idx_c.max() < len(m)
    # No stored rows and one what-if row: the scale is 1 and the row is neighbour 0.
    empty = qm.Vantorix(np.zeros((0, 2)), np.zeros((0, 1)))
    mean, se, _, _, idx = empty.conditional_posterior(np.array([[0.5, 0.5]]), np.array([[7.0]]),
                                                      np.array([[0.0, 0.0]]), 3, 1.0, 0.0)
    assert idx.tolist() == [[0]] and mean[0, 0] == 7.0
    assert se[0, 0] == pytest.approx(np.sqrt(0.5 + 1e-9), rel=1e-12)
