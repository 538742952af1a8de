import numpy as np
import pytest
from scipy.stats import qmc

import qel.qelcore as q

sobol = q.util.sobol_sequence


@pytest.mark.parametrize("d, n", [(1, 4096), (2, 4096), (10, 4096), (300, 1024), (21201, 40)])
def test_matches_scipy_unscrambled_64_bit(d, n):
    want = qmc.Sobol(d, scramble=False, bits=64).random(n) if n & (n - 1) == 0 else None
    if want is None:
        with pytest.warns(UserWarning):
            want = qmc.Sobol(d, scramble=False, bits=64).random(n)
    got = sobol(d, n)
    assert got.shape == (n, d) and got.dtype == np.float64
    np.testing.assert_array_equal(got, want)


def test_seed_is_ignored_and_first_row_is_origin():
    a = sobol(2, 4)
    np.testing.assert_array_equal(a, sobol(2, 4, 99))
    np.testing.assert_array_equal(a, sobol(dimension=2, num_points=4, seed=7))
    np.testing.assert_array_equal(a[0], [0.0, 0.0])
    assert sobol(3, 0).shape == (0, 3)


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((0, 4), ValueError, "Invalid parameter: Sobol dimension must be in 1..=21201, got 0"),
        ((21202, 4), ValueError, "Invalid parameter: Sobol dimension must be in 1..=21201, got 21202"),
        ((-1, 4), OverflowError, ""),
        ((2.0, 4), TypeError, "argument 'dimension'"),
        ((2, 4, None), TypeError, "argument 'seed'"),
    ],
)
def test_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        sobol(*args)
    assert str(info.value).startswith(text)
    if text.startswith("Invalid"):
        assert str(info.value) == text


def test_huge_point_counts_fail_cleanly():
    with pytest.raises((ValueError, MemoryError)):
        sobol(21201, 2**62)
    with pytest.raises(MemoryError):
        sobol(1, 2**58)
