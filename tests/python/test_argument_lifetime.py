"""Array arguments stay valid while later arguments run Python code during conversion."""

import numpy as np
import pytest

from qel.qelcore import fit as qf
from qel.qelcore import hash as qh
from qel.qelcore import model as qm
from qel.qelcore import optimizer as qo
from qel.qelcore import util as qu


class Rebuffer:
    """A number whose conversion moves an array into a new, larger buffer (freeing the old
    one) and fills it with new values, as ndarray.resize(refcheck=False) allows."""

    def __init__(self, value, arr, new):
        self.value, self.arr, self.new = value, arr, np.asarray(new, dtype=arr.dtype)

    def _move(self):
        self.arr.resize(self.new.shape, refcheck=False)
        self.arr[...] = self.new

    def __index__(self):
        self._move()
        return self.value

    def __float__(self):
        self._move()
        return float(self.value)


def rows(n, d, start=0.0):
    return np.arange(start, start + n * d, dtype=float).reshape(n, d) / (n * d)


@pytest.fixture
def model():
    rng = np.random.default_rng(3)
    x = rng.uniform(size=(30, 2))
    return qm.Vantorix(x, np.sin(4 * x[:, :1]) + x[:, 1:] ** 2)


def assert_same(a, b):
    if isinstance(a, tuple):
        assert len(a) == len(b)
        for u, v in zip(a, b):
            assert_same(u, v)
    elif isinstance(a, np.ndarray):
        assert a.shape == b.shape
        np.testing.assert_array_equal(a, b)
    else:
        assert a == b


def test_model_queries_see_the_array_as_it_is_after_conversion(model):
    new = rows(7, 2, 3.0)
    cases = [
        lambda x: model.posterior(x, Rebuffer(3, x, new), 1.0, 0.1),
        lambda x: model.posterior(x, 3, Rebuffer(1.0, x, new), 0.1),
        lambda x: model.batch_posterior(x, [Rebuffer(3, x, new), 4], [1.0, 0.5], [0.1, 0.0]),
        lambda x: model.posterior_function_draw(x, 3, 1.0, 0.1, [1, Rebuffer(2, x, new)]),
        lambda x: model.neighbors(x, Rebuffer(4, x, new)),
        lambda x: model.neighbor_distances_and_indices(x, Rebuffer(4, x, new)),
        lambda x: model.index_neighbor_distances_and_indices(x, Rebuffer(4, x, new)),
        lambda x: model.conditional_posterior(rows(2, 2), np.ones((2, 1)), x, Rebuffer(3, x, new), 1.0, 0.0),
        lambda x: model.conditional_posterior_function_draw(rows(2, 2), np.ones((2, 1)), x, 3, 1.0, 0.0,
                                                            [Rebuffer(5, x, new)]),
    ]
    for call in cases:
        x = rows(2, 2)
        got = call(x)
        assert x.shape == (7, 2)
        assert_same(got, call(x.copy()))


def test_earlier_array_arguments_are_read_after_later_ones_convert(model):
    xw, yw = rows(2, 2), np.ones((2, 1))
    # The what-if rows grow past their y rows, which the core refuses.
    with pytest.raises(ValueError):
        model.conditional_posterior(xw, yw, rows(4, 2), Rebuffer(3, xw, rows(3, 2, 9.0)), 1.0, 0.0)
    assert xw.shape == (3, 2)


def test_fit_and_optimizer_calls_read_arrays_after_conversion(model):
    x, y = rows(3, 2), np.ones((3, 1))
    got = qf.subsample_loglik(model, x, y, [Rebuffer(3, x, rows(3, 2, 5.0))], [1.0], [0.0], 10, 1)
    assert got == qf.subsample_loglik(model, rows(3, 2, 5.0), y, [3], [1.0], [0.0], 10, 1)

    bounds = np.array([[0.0, 1.0]] * 2)
    new_bounds = np.array([[0.0, 2.0]] * 3)
    opt = qo.create_optimizer_zero(bounds, num_init=Rebuffer(4, bounds, new_bounds))
    np.testing.assert_array_equal(opt.bounds(), new_bounds)

    tx = np.full((2, 2), 0.5)
    opt = qo.create_optimizer_zero(np.array([[0.0, 1.0]] * 2), num_init=8)
    new = rows(6, 2, 1.0)
    opt.tell(tx, np.ones((6, 1)), Rebuffer(0, tx, new))
    np.testing.assert_array_equal(opt.x_obs(), new)


def test_util_and_hash_calls_read_arrays_after_conversion():
    x, mu, se = rows(4, 2), np.array([1.0, 2.0, 3.0, 4.0]), np.full(4, 0.1)
    # Same shape, new buffer and values: the chosen rows come from the new contents.
    new = rows(4, 2, 100.0)
    got = qu.arms_from_pareto_fronts(x, mu, se, Rebuffer(2, x, new), 7)
    np.testing.assert_array_equal(got, qu.arms_from_pareto_fronts(new, mu, se, 2, 7))
    # A different row count no longer matches mu and se.
    x = rows(4, 2)
    with pytest.raises(ValueError, match="^shape mismatch: x_cand rows 6, mu 4, se 4$"):
        qu.arms_from_pareto_fronts(x, mu, se, Rebuffer(2, x, rows(6, 2)), 7)

    seeds, idx = np.array([1, 2], dtype=np.int64), np.array([3, 4], dtype=np.int64)
    new_idx = np.arange(10, 16, dtype=np.int64).reshape(2, 3)
    got = qh.normal_hash_batch_multi_seed_fast(seeds, idx, Rebuffer(2, idx, new_idx))
    np.testing.assert_array_equal(got, qh.normal_hash_batch_multi_seed_fast(seeds, new_idx, 2))


def test_array_whose_type_changes_during_conversion_is_refused(model):
    x = rows(2, 2)

    class Retype:
        def __index__(self):
            x.dtype = np.int64
            return 3

    with pytest.raises(TypeError, match="^argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        model.posterior(x, Retype(), 1.0, 0.0)

    x = rows(2, 2)

    class Reshape:
        def __index__(self):
            x.shape = (4,)
            return 3

    with pytest.raises(TypeError, match="^argument 'x'"):
        model.neighbors(x, Reshape())
