import math

import numpy as np
import pytest

import qel.qelcore as q

u = q.util


# --- standardize_y --------------------------------------------------------------


@pytest.mark.parametrize(
    "y, centre, scale",
    [
        ([5.0], 5.0, 1.0),
        ([2.0, 2.0, 2.0], 2.0, 1.0),
        ([1.0, 2.0, 3.0, 10.0], 2.5, 3.5355339059327378),
        ([10.0, 1.0, 3.0, 2.0], 2.5, 3.5355339059327378),
        ([1.0, math.inf], math.inf, 1.0),
    ],
)
def test_standardize_worked_examples(y, centre, scale):
    assert u.standardize_y(np.array(y)) == (centre, scale)


def test_standardize_empty_and_random_against_numpy():
    c, s = u.standardize_y(np.zeros(0))
    assert math.isnan(c) and s == 1.0
    rng = np.random.default_rng(1)
    for n in (1, 2, 7, 8, 9, 100, 1001):
        y = rng.normal(size=n) * 1e3
        c, s = u.standardize_y(y)
        assert c == np.median(y)
        assert s == pytest.approx(np.std(y) if n > 1 else 1.0, rel=1e-12)
        # Any layout of the same values gives the same centre and nearly the same scale.
        c2, s2 = u.standardize_y(np.repeat(y, 2)[::2])
        assert c2 == c and s2 == pytest.approx(s, rel=1e-12)


def test_standardize_sum_follows_memory_layout():
    # 1e16 swallows a following 1.0 in a running sum, not in eight separate lanes.
    y = np.ones(9)
    y[0] = 1e16
    mean_lanes = (1e16 + 8.0) / 9
    expect = math.sqrt(sum((v - mean_lanes) ** 2 for v in y)) / 3.0
    assert u.standardize_y(y)[1] == expect
    # A strided view sums one value at a time: a different mean, a different scale.
    mean_seq = 1e16 / 9
    expect_seq = math.sqrt(sum((v - mean_seq) ** 2 for v in y)) / 3.0
    assert expect_seq != expect
    assert u.standardize_y(np.repeat(y, 2)[::2])[1] == expect_seq
    # A reversed view sums in memory order: 1e16 comes last, after the lanes.
    assert u.standardize_y(y[::-1].copy()[::-1])[1] == expect


# --- pareto_front_2d_maximize ---------------------------------------------------


def brute_front(a, b, cand):
    out = set()
    for p in cand:
        dom = any(a[q] >= a[p] and b[q] >= b[p] and (a[q] > a[p] or b[q] > b[p]) for q in cand)
        if not dom:
            out.add(p)
    return out


def test_front_examples():
    f = u.pareto_front_2d_maximize(np.array([1.0, 2.0, 3.0]), np.array([3.0, 2.0, 1.0]))
    assert f.dtype == np.uint64 and f.tolist() == [2, 1, 0]
    a, b = np.array([1.0, 1.0, 0.0, 0.0]), np.array([1.0, 1.0, 2.0, 1.0])
    assert u.pareto_front_2d_maximize(a, b).tolist() == [0, 1, 2]
    assert u.pareto_front_2d_maximize(np.zeros(0), np.zeros(0)).tolist() == []


def test_front_matches_brute_force_on_random_integer_data_with_ties():
    rng = np.random.default_rng(2)
    for _ in range(300):
        n = int(rng.integers(1, 40))
        a = rng.integers(0, 6, n).astype(np.float64)
        b = rng.integers(0, 6, n).astype(np.float64)
        front = u.pareto_front_2d_maximize(a, b).tolist()
        assert set(front) == brute_front(a, b, range(n)) and len(set(front)) == len(front)
        assert all(a[front[i]] >= a[front[i + 1]] for i in range(len(front) - 1))
        idx = rng.integers(0, n, size=int(rng.integers(1, n + 1)))
        sub = u.pareto_front_2d_maximize(a, b, idx).tolist()
        assert set(sub) == brute_front(a, b, set(idx.tolist()))


def test_front_idx_limits_which_values_are_checked():
    a, b = np.array([1.0, np.nan, 3.0]), np.array([3.0, 2.0, 1.0])
    assert u.pareto_front_2d_maximize(a, b, np.array([0, 2])).tolist() == [2, 0]


@pytest.mark.parametrize(
    "a, b, idx, text",
    [
        ([1.0, 2.0], [1.0], None, "a and b must have same length, got 2 and 1"),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [0, 5], "idx entry 5 is out of bounds for length 3"),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [0, -1, 7], "idx entry -1 is negative"),
        ([1.0, np.inf], [1.0, 2.0], None, "a and b must be finite"),
        ([1.0, 2.0], [np.nan, 2.0], [1, 0], "a and b must be finite"),
    ],
)
def test_front_errors(a, b, idx, text):
    idx = None if idx is None else np.array(idx, dtype=np.int64)
    with pytest.raises(ValueError) as info:
        u.pareto_front_2d_maximize(np.array(a), np.array(b), idx)
    assert str(info.value) == text


# --- arms_from_pareto_fronts ----------------------------------------------------


def lcg_pick(front_by_mu, r, seed):
    front, state, picked = list(front_by_mu), seed, []
    for _ in range(r):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        picked.append(front.pop(state % len(front)))
    return picked


def test_arms_return_rows_of_whole_fronts_sorted_by_mu():
    x = np.arange(12.0).reshape(4, 3)
    mu, se = np.array([3.0, 1.0, 0.5, 0.2]), np.array([1.0, 3.0, 0.5, 0.1])
    np.testing.assert_array_equal(u.arms_from_pareto_fronts(x, mu, se, 2, 5), x[[0, 1]])
    np.testing.assert_array_equal(u.arms_from_pareto_fronts(x, mu, se, 99, 5), x[[0, 1, 2, 3]])
    assert u.arms_from_pareto_fronts(x, mu, se, 0, 5).shape == (0, 3)
    # No arm asked for: no front is formed, so non-finite values are never examined.
    assert u.arms_from_pareto_fronts(x, np.full(4, np.nan), se, 0, 5).shape == (0, 3)


def test_arms_sample_the_last_front_with_the_seeded_lcg():
    n = 6
    x = np.arange(n * 2.0).reshape(n, 2)
    mu, se = np.arange(n, dtype=float), np.arange(n, dtype=float)[::-1].copy()  # one front
    for seed in (0, 1, 2**64 - 1, 123456789):
        picked = lcg_pick(sorted(range(n), key=lambda i: -mu[i]), 3, seed)
        want = sorted(picked, key=lambda i: -mu[i])
        np.testing.assert_array_equal(u.arms_from_pareto_fronts(x, mu, se, 3, seed), x[want])


@pytest.mark.parametrize(
    "rows, mu, se, text",
    [
        (4, [1.0, 2.0, 3.0], [1.0, 2.0, 3.0], "shape mismatch: x_cand rows 4, mu 3, se 3"),
        (3, [1.0, 2.0, 3.0], [1.0, 2.0], "shape mismatch: x_cand rows 3, mu 3, se 2"),
        (2, [1.0, np.nan], [1.0, 2.0], "mu and se must be finite"),
        (2, [1.0, 2.0], [-np.inf, 2.0], "mu and se must be finite"),
    ],
)
def test_arms_errors_are_value_errors(rows, mu, se, text):
    with pytest.raises(ValueError) as info:
        u.arms_from_pareto_fronts(np.zeros((rows, 2)), np.array(mu), np.array(se), 1, 0)
    assert str(info.value) == text


# --- calculate_sobol_indices ----------------------------------------------------


def test_sobol_indices_worked_example():
    x = np.stack([np.arange(30.0), np.full(30, 4.0)], axis=1)
    idx = u.calculate_sobol_indices(x, np.arange(30.0))
    assert idx.shape == (2,)
    assert idx[0] == pytest.approx(74.25 / (899.0 / 12.0), rel=1e-14)
    assert round(idx[0], 5) == 0.99110
    assert idx[1] == 0.0


def test_sobol_indices_small_and_degenerate_samples_give_ones():
    rng = np.random.default_rng(3)
    np.testing.assert_array_equal(u.calculate_sobol_indices(rng.random((8, 3)), rng.random(8)), np.ones(3))
    np.testing.assert_array_equal(u.calculate_sobol_indices(rng.random((20, 2)), np.full(20, 3.0)), np.ones(2))
    nine = u.calculate_sobol_indices(rng.random((9, 2)), rng.random(9))
    assert np.all((nine >= 0) & (nine <= 1 + 1e-12))


def test_sobol_indices_use_three_bins_below_thirty_rows_and_ten_from_thirty():
    # y = 1 for x >= 21, x = n..1: three bins cut after the 20th smallest x for
    # both n and separate y exactly; ten bins of three rows (n = 30) mix x = 19..21.
    for n in (29, 30):
        x = np.arange(n, 0, -1, dtype=float)[:, None]
        idx = u.calculate_sobol_indices(x, (x[:, 0] >= 21).astype(float))[0]
        if n == 29:
            assert idx == pytest.approx(1.0, abs=1e-12)
        else:
            assert 0.5 < idx < 0.99


def test_sobol_indices_detect_the_relevant_column():
    rng = np.random.default_rng(4)
    x = rng.random((5000, 3))
    y = np.sin(6 * x[:, 1])
    idx = u.calculate_sobol_indices(x, y)
    assert idx[1] > 0.9
    assert 0 <= idx[0] < 0.02 and 0 <= idx[2] < 0.02


def test_sobol_indices_refuse_y_of_other_length():
    for n_y in (9, 11):
        with pytest.raises(ValueError):
            u.calculate_sobol_indices(np.zeros((10, 2)), np.zeros(n_y))
