"""Borrow flags: a method may not re-enter its own object in a conflicting way.

The re-entry comes from an argument whose __index__ calls back into the object while
the first call holds its borrow.
"""

import numpy as np
import pytest

import qel.qelcore as q


class CallsBack:
    def __init__(self, fn, value=1):
        self.fn = fn
        self.value = value
        self.error = None

    def __index__(self):
        try:
            self.fn()
        except RuntimeError as exc:
            self.error = exc
            raise
        return self.value


def make_optimizer():
    return q.optimizer.create_optimizer_zero(np.array([[0.0, 1.0], [0.0, 1.0]]), num_init=4, seed=1)


def test_shared_borrow_refused_during_exclusive_borrow():
    opt = make_optimizer()
    arg = CallsBack(lambda: opt.tr_length())
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        opt.ask(arg, 0)
    # The object is usable again once the call has ended.
    assert opt.ask(2, 0).shape == (2, 2)


def test_exclusive_borrow_refused_during_another_exclusive_borrow():
    opt = make_optimizer()
    arg = CallsBack(lambda: opt.ask(1, 0))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        opt.ask(arg, 0)


def test_exclusive_borrow_refused_during_shared_borrow():
    x = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]])
    y = np.array([[0.0], [1.0], [2.0]])
    model = q.model.Vantorix(x, y)
    arg = CallsBack(lambda: model.add(np.array([[0.5, 0.5]]), np.array([[1.0]])), value=2)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        model.posterior(np.array([[0.2, 0.2]]), arg, 1.0, 0.0)
    assert model.num_outputs == 1
    mean = model.posterior(np.array([[0.2, 0.2]]), 2, 1.0, 0.0)[0]
    assert mean.shape == (1, 1)


def test_shared_borrows_nest():
    x = np.array([[0.0], [1.0], [2.0]])
    model = q.model.Vantorix(x, x.copy())
    arg = CallsBack(lambda: model.row_x(0), value=2)
    mean = model.posterior(np.array([[0.4]]), arg, 1.0, 0.0)[0]
    assert mean.shape == (1, 1)
    assert arg.error is None


def test_classes_without_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for Optimizer$"):
        q.optimizer.Optimizer()
    with pytest.raises(TypeError, match="^No constructor defined for Telemetry$"):
        q.optimizer.Telemetry()
