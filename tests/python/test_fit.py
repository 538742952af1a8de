"""The fit submodule: QELStatefulFitter and subsample_loglik."""
import numpy as np
import pytest

from qel.qelcore import fit as qf
from qel.qelcore import model as qm


def data(seed, n=60, d=2, m=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, d))
    y = np.sin(5.0 * x[:, :1]) + 0.1 * rng.normal(size=(n, m))
    return x, y


def test_single_row_loglik_is_half_log_two_pi():
    # Leave-one-out neighbour y is 0 and, with both scales 0, the total std is the floor sqrt(1e-9),
    # which y_std standardises to exactly 1.
    m = qm.Vantorix(np.array([[0.0], [1.0], [2.0]]), np.zeros((3, 1)))
    out = qf.subsample_loglik(m, np.array([[0.0]]), np.array([[0.0]]), [1], [0.0], [0.0], 5, 0,
                              y_std=np.array([np.sqrt(1e-9)]))
    assert out == [-0.9189385332046727]


def test_all_rows_fitting_ignores_the_seed():
    x, y = data(1, n=30)
    m = qm.Vantorix(x, y)
    a = qf.subsample_loglik(m, x, y, [3, 5], [1.0, 0.2], [0.1, 0.0], 30, 1)
    b = qf.subsample_loglik(m, x, y, [3, 5], [1.0, 0.2], [0.1, 0.0], 100, 987654321)
    assert a == b and len(a) == 2 and all(isinstance(v, float) for v in a)
    c = qf.subsample_loglik(m, x, y, [3, 5], [1.0, 0.2], [0.1, 0.0], 10, 1)
    d = qf.subsample_loglik(m, x, y, [3, 5], [1.0, 0.2], [0.1, 0.0], 10, 1)
    assert c == d and c != a


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        (dict(k_values=[1, 2, 3], epistemic_scales=[1.0] * 3, aleatoric_scales=[0.0] * 2), ValueError,
         "k_values, epistemic_scales, and aleatoric_scales must have same length"),
        (dict(k_values=[0]), ValueError, "k_num_neighbors must be > 0, got 0"),
        (dict(p=0), ValueError, "Invalid parameter: P (num_samples) must be > 0"),
        (dict(k_values=[], epistemic_scales=[], aleatoric_scales=[]), ValueError,
         "Invalid parameter: paramss must be non-empty"),
        (dict(y=np.zeros((4, 1))), ValueError, "Invalid parameter: x and y must have same number of rows: 5 vs 4"),
        (dict(y_std=np.ones(2)), ValueError, "Invalid parameter: y_std must have one entry per column of y: 2 vs 1"),
        (dict(model=np.zeros((2, 2))), TypeError,
         "argument 'model': 'ndarray' object cannot be converted to 'Vantorix'"),
        (dict(k_values="12"), TypeError, "argument 'k_values': Can't extract `str` to `Vec`"),
    ],
)
def test_subsample_loglik_refusals(kwargs, exc, text):
    x, y = data(2, n=5)
    args = dict(model=qm.Vantorix(x, y), x=x, y=y, k_values=[2], epistemic_scales=[1.0], aleatoric_scales=[0.0],
                p=3, seed=0)
    args.update(kwargs)
    with pytest.raises(exc) as err:
        qf.subsample_loglik(**args)
    assert str(err.value) == text




def test_fitter_is_deterministic_in_its_seed_and_keeps_one_stream():
    x, y = data(4, n=80)
    m = qm.Vantorix(x, y)

    def run(seed, asks):
        f = qf.QELStatefulFitter(5, seed)
        f.tell(x[:40], y[:40])
        f.tell(x[40:], y[40:])
        return [f.ask(m, 12, 20) for _ in range(asks)]

    def key(p):
        return (p.k_num_neighbors, p.epistemic_variance_scale, p.aleatoric_variance_scale)

    a, b = run(7, 3), run(7, 3)
    assert [key(p) for p in a] == [key(p) for p in b]
    # The second ask continues the stream: a fresh fitter with the same seed, warm-started from
    # the first answer, draws the first ask's candidates again and answers differently.
    f = qf.QELStatefulFitter(5, 7)
    f.tell(x, y)
    restarted = f.ask(m, 12, 20, params_warm_start=a[0])
    assert key(restarted) != key(a[1])
    assert key(run(8, 1)[0]) != key(a[0])


def test_fitter_answers_with_its_own_k():
    x, y = data(5)
    m = qm.Vantorix(x, y)
    f = qf.QELStatefulFitter(4, 1, infer_aleatoric_variance_scale=False)
    f.tell(x, y)
    p = f.ask(m, 0, 100, params_warm_start=qm.QELParams(99, 0.5, 3.0))
    assert (p.k_num_neighbors, p.epistemic_variance_scale, p.aleatoric_variance_scale) == (4, 0.5, 0.0)
    for _ in range(3):
        p = f.ask(m, 8, 30)
        assert p.k_num_neighbors == 4 and p.aleatoric_variance_scale == 0.0


def test_fitter_small_models_and_error_texts():
    one = qm.Vantorix(np.array([[0.1, 0.2]]), np.array([[1.0]]))
    p = qf.QELStatefulFitter(3, 0).ask(one, 10, 5)
    assert (p.k_num_neighbors, p.epistemic_variance_scale, p.aleatoric_variance_scale) == (3, 1.0, 0.0)
    with pytest.raises(ValueError) as err:
        qf.QELStatefulFitter(0, 0).ask(one, 10, 5)
    assert str(err.value) == "Invalid parameter: Failed to create default params: k_num_neighbors must be > 0, got 0"
    x, y = data(6)
    m = qm.Vantorix(x, y)
    f = qf.QELStatefulFitter(3, 0)
    with pytest.raises(ValueError) as err:
        f.ask(m, 10, 5)
    assert str(err.value) == ("Invalid parameter: tell must be called before ask to initialize incremental y "
                              "statistics")
    f.tell(x, y)
    with pytest.raises(TypeError, match="^argument 'params_warm_start'"):
        f.ask(m, 10, 5, params_warm_start=1.5)
    with pytest.raises(ValueError) as err:
        f.tell(x, np.hstack([y, y]))
    assert str(err.value) == "Invalid parameter: y must have as many columns as the rows told before: 2 vs 1"
    wide = qf.QELStatefulFitter(3, 0)
    wide.tell(x, np.hstack([y, y]))
    with pytest.raises(ValueError) as err:
        wide.ask(m, 10, 5)
    assert str(err.value) == "Invalid parameter: fitter was told 2 metrics but the model has 1"




def test_y_std_is_the_population_std_of_everything_told():
    f = qf.QELStatefulFitter(3, 0)
    f.tell(np.zeros((2, 1)), np.array([[1.0], [3.0]]))
    np.testing.assert_array_equal(f.y_std(), [1.0])
    rng = np.random.default_rng(9)
    y = rng.normal(size=(50, 2)) * [3.0, 0.5]
    g = qf.QELStatefulFitter(3, 0)
    g.tell(np.zeros((20, 1)), y[:20])
    g.tell(np.zeros((30, 1)), y[20:][::-1])  # a reversed (strided) view
    np.testing.assert_allclose(g.y_std(), y.std(axis=0), rtol=1e-12)
    assert qf.QELStatefulFitter.__text_signature__ == "(k, seed, infer_aleatoric_variance_scale=True)"


@pytest.mark.parametrize("count", [2**62, 2**64 - 1])
def test_impossible_candidate_counts_are_ordinary_memory_errors(count):
    x, y = data(4, n=20)
    m = qm.Vantorix(x, y)
    fitter = qf.QELStatefulFitter(3, 0)
    fitter.tell(x, y)
    with pytest.raises(MemoryError) as err:
        fitter.ask(m, count, 3)
    assert isinstance(err.value, Exception)
    # The fitter stays usable.
    assert isinstance(fitter.ask(m, 4, 5), qm.QELParams)
