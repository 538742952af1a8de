import numpy as np
import pytest

import qel.qelcore as q

hv = q.hypervolume.hypervolume_2d_max


def brute_hypervolume(y, ref):
    """Area of the union of boxes on the grid of distinct coordinates."""
    keep = (y[:, 0] > ref[0]) & (y[:, 1] > ref[1])
    y = y[keep]
    if len(y) == 0:
        return 0.0
    xs = np.unique(np.concatenate([[ref[0]], y[:, 0]]))
    zs = np.unique(np.concatenate([[ref[1]], y[:, 1]]))
    area = 0.0
    for i in range(len(xs) - 1):
        for j in range(len(zs) - 1):
            if np.any((y[:, 0] >= xs[i + 1]) & (y[:, 1] >= zs[j + 1])):
                area += (xs[i + 1] - xs[i]) * (zs[j + 1] - zs[j])
    return area


def test_worked_example_ignores_dominated_and_reference_line_points():
    ref = np.zeros(2)
    assert hv(np.array([[1.0, 2.0], [2.0, 1.0]]), ref) == 3.0
    assert hv(np.array([[1.0, 2.0], [2.0, 1.0], [1.0, 1.0], [3.0, 0.0]]), ref) == 3.0
    assert hv(np.zeros((0, 2)), ref) == 0.0


def test_matches_brute_force_on_random_integer_data_with_ties():
    rng = np.random.default_rng(0)
    for _ in range(200):
        n = int(rng.integers(0, 30))
        y = rng.integers(-3, 6, size=(n, 2)).astype(np.float64)
        ref = rng.integers(-4, 2, size=2).astype(np.float64)
        assert hv(y, ref) == brute_hypervolume(y, ref)
        # Strided and Fortran-ordered views read the same points.
        assert hv(np.asfortranarray(y), ref) == hv(y, ref)
        assert hv(y[::-1], ref[::1]) == brute_hypervolume(y[::-1], ref)


@pytest.mark.parametrize(
    "y, ref, text",
    [
        (np.ones((4, 3)), np.zeros(3), "y must have 2 columns, got shape [4, 3]"),
        (np.ones((0, 1)), np.zeros(2), "y must have 2 columns, got shape [0, 1]"),
        (np.ones((4, 2)), np.zeros(3), "ref_point must have 2 elements, got shape 3"),
    ],
)
def test_shape_errors(y, ref, text):
    with pytest.raises(ValueError) as info:
        hv(y, ref)
    assert str(info.value) == text


def test_argument_type_errors_name_the_argument():
    with pytest.raises(TypeError, match="^argument 'y'"):
        hv(np.ones((2, 2), dtype=np.int64), np.zeros(2))
    with pytest.raises(TypeError, match="^argument 'ref_point'"):
        hv(np.ones((2, 2)), np.zeros((1, 2)))
