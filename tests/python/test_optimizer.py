"""The optimizer submodule: creation, overrides, ask/tell loops and views."""

import numpy as np
import pytest

import qel.qelcore
from qel.qelcore import optimizer as opt_mod

UNIT3 = np.array([[0.0, 1.0]] * 3)


def sphere(x, centre=0.3):
    return -np.sum((x - centre) ** 2, axis=1, keepdims=True)


HART_A = np.array([[10, 3, 17, 3.5, 1.7, 8], [0.05, 10, 17, 0.1, 8, 14],
                   [3, 3.5, 1.7, 10, 17, 8], [17, 8, 0.05, 10, 0.1, 14]])
HART_P = 1e-4 * np.array([[1312, 1696, 5569, 124, 8283, 5886], [2329, 4135, 8307, 3736, 1004, 9991],
                          [2348, 1451, 3522, 2883, 3047, 6650], [4047, 8828, 8732, 5743, 1091, 381]])
HART_ALPHA = np.array([1.0, 1.2, 3.0, 3.2])


def neg_hartmann6(x):
    inner = np.sum(HART_A[None, :, :] * (x[:, None, :] - HART_P[None, :, :]) ** 2, axis=2)
    return (HART_ALPHA[None, :] * np.exp(-inner)).sum(axis=1, keepdims=True)


def run(opt, f, budget, batch, seed):
    best = -np.inf
    for step in range(budget // batch):
        x = opt.ask(batch, seed * 1000 + step)
        y = f(x)
        best = max(best, float(y.max()))
        opt.tell(x, y, seed * 1000 + step)
    return best


# ---------------------------------------------------------------------------
# Module frame


def test_submodule_registers_classes_and_functions_without_constructors():
    assert opt_mod.__all__ == ["Optimizer", "Telemetry", "create_optimizer_qel", "create_optimizer_zero",
                               "create_optimizer_lhd"]
    assert not hasattr(qel.qelcore, "create_optimizer_qel")
    assert opt_mod.create_optimizer_qel.__text_signature__ == "(bounds, k=10, num_init=10, seed=42, config_overrides=None)"
    assert opt_mod.create_optimizer_lhd.__doc__ == "Create LHD-only optimizer"
    assert opt_mod.Optimizer.ask.__text_signature__ == "($self, num_arms, seed)"
    for cls in (opt_mod.Optimizer, opt_mod.Telemetry):
        with pytest.raises(TypeError, match="^No constructor defined for " + cls.__name__):
            cls()


# ---------------------------------------------------------------------------
# Creation and overrides


@pytest.mark.parametrize("overrides, exc, text", [
    ({"index_driver": "Bogus"}, ValueError, "Unknown index_driver: Bogus"),
    ({"index_driver": "nope", "acquisition": "nope"}, ValueError, "Unknown index_driver: nope"),
    ({"acquisition": "UCB"}, ValueError, "Unknown acquisition: UCB"),
    ({"candidate_rv": "halton"}, ValueError, "Unknown candidate_rv: halton"),
    ({"qel_storage": "Cloud"}, ValueError, "Unknown qel_storage: Cloud"),
    ({"trust_region": "morbo", "num_metrics": 1}, ValueError,
     "Invalid parameter: Invalid parameter: num_metrics must be >= 2 for MORBO, got 1"),
    ({"length_init": -1.0}, ValueError, "Invalid parameter: length_init must be finite and >= 0, got -1"),
    ({"length_min": 2.0}, ValueError, "Invalid parameter: length_min must not exceed length_max, got 2 > 1.6"),
    ({"num_candidates_factor": float("nan")}, ValueError,
     "Invalid parameter: num_candidates_factor must be finite and > 0, got NaN"),
    ({"min_candidates": 0}, ValueError, "Invalid parameter: min_candidates must be > 0, got 0"),
    ({"num_fit_samples": 0}, ValueError, "^Invalid parameter: num_fit_samples must be > 0, got 0$"),
    ({"num_fit_candidates": 0}, ValueError, "^Invalid parameter: num_fit_candidates must be > 0, got 0$"),
    ({"alpha": None}, TypeError, "must be real number"),
    ({"trust_region": 3}, TypeError, "^'int' object cannot be converted to 'PyString'$"),
    ({"num_metrics": -1}, OverflowError, None),
])
def test_bad_overrides_refuse_creation(overrides, exc, text):
    with pytest.raises(exc, match=text):
        opt_mod.create_optimizer_qel(UNIT3, config_overrides=overrides)


def test_accepted_override_spellings_and_ignored_keys():
    for overrides in ({}, {"index_driver": "FLAT"}, {"qel_storage": "InMemory"}, {"unknown_key": object()},
                      {"acquisition": "ucb", "acquisition_beta": 0.5}, {"acquisition_beta": "ignored"}):
        opt_mod.create_optimizer_qel(UNIT3, config_overrides=overrides)
    # Surrogate keys do nothing without a surrogate.
    opt_mod.create_optimizer_zero(UNIT3, config_overrides={"scale_x": True, "qel_storage": "disk"})
    with pytest.raises(TypeError, match="argument 'config_overrides'"):
        opt_mod.create_optimizer_zero(UNIT3, config_overrides=[("scale_x", True)])


def test_override_values_that_remove_themselves_while_converting():
    class Vanishing:
        def __init__(self, d, key, value):
            self.d, self.key, self.value = d, key, value

        def __float__(self):
            del self.d[self.key]
            return self.value

        def __index__(self):
            del self.d[self.key]
            return self.value

    class LoudStr(str):
        def lower(self):
            return 7

    d = {}
    d["alpha"] = Vanishing(d, "alpha", 0.1)
    d["min_candidates"] = Vanishing(d, "min_candidates", 5)
    d["index_driver"] = LoudStr("FLAT")
    opt_mod.create_optimizer_qel(UNIT3, config_overrides=d)
    assert d == {"index_driver": "FLAT"}


def test_core_constructor_failures_are_value_errors():
    with pytest.raises(ValueError, match=r"^Invalid shape: expected \[3, 2\], got \[3, 3\]$"):
        opt_mod.create_optimizer_zero(np.zeros((3, 3)))
    with pytest.raises(ValueError, match="^Invalid parameter: Sobol dimension must be in 1..=21201, got 0$"):
        opt_mod.create_optimizer_lhd(np.zeros((0, 2)))
    with pytest.raises(ValueError, match="^Invalid parameter: k must be > 0, got 0$"):
        opt_mod.create_optimizer_qel(UNIT3, k=0)
    with pytest.raises(TypeError, match="argument 'bounds'"):
        opt_mod.create_optimizer_zero(np.zeros((3, 2), dtype=np.int64))
    with pytest.raises(OverflowError):
        opt_mod.create_optimizer_zero(UNIT3, seed=-1)


def test_disk_storage_the_first_tell_would_refuse_is_refused_at_creation(tmp_path, monkeypatch):
    monkeypatch.delenv("QEL_WORK_DIR", raising=False)
    over = {"qel_storage": "disk", "index_driver": "MIROT_DISK"}
    with pytest.raises(ValueError, match="^Invalid parameter: Disk storage requires work_dir or QEL_WORK_DIR$"):
        opt_mod.create_optimizer_qel(UNIT3, config_overrides=over)
    wd = str(tmp_path / "wd")
    qel.qelcore.model.Vantorix(np.ones((3, 3)), np.ones((3, 1)), index_driver="MIROT_DISK", work_dir=wd)
    with pytest.raises(ValueError, match="already holds 3 rows"):
        opt_mod.create_optimizer_qel(UNIT3, config_overrides=dict(over, work_dir=wd))
    with pytest.raises(ValueError, match="^Invalid parameter: Disk storage requires IndexDriver::MiRotDisk$"):
        opt_mod.create_optimizer_qel(UNIT3, config_overrides={"qel_storage": "disk", "work_dir": str(tmp_path)})


# ---------------------------------------------------------------------------
# Ask / tell


@pytest.mark.parametrize("create", [opt_mod.create_optimizer_lhd, opt_mod.create_optimizer_qel,
                                    opt_mod.create_optimizer_zero])
def test_first_ask_is_the_same_latin_hypercube_for_every_variant(create):
    reference = opt_mod.create_optimizer_lhd(UNIT3, seed=1).ask(8, 5)
    x = create(UNIT3, seed=99).ask(8, 5)
    np.testing.assert_array_equal(x, reference)
    cells = np.floor(x * 8).astype(int)
    for j in range(3):
        assert sorted(cells[:, j]) == list(range(8))
    assert not np.array_equal(create(UNIT3).ask(8, 6), reference)


def test_design_phase_ends_at_num_init_and_lhd_never_leaves_it():
    opt = opt_mod.create_optimizer_zero(UNIT3, num_init=10)
    opt.tell(opt.ask(6, 0), np.arange(6.0)[:, None], 0)
    assert opt.init_progress() == (6, 10)
    opt.tell(opt.ask(4, 1), np.zeros((4, 1)), 1)
    assert opt.init_progress() is None
    opt.ask(2, 2)
    assert opt.telemetry().num_candidates == 3000

    lhd = opt_mod.create_optimizer_lhd(UNIT3, num_init=2)
    lhd.tell(lhd.ask(5, 0), np.zeros((5, 1)), 0)
    assert lhd.init_progress() == (5, 2)
    lhd.ask(3, 1)
    assert lhd.telemetry().num_candidates == 0


def test_refused_tell_changes_nothing_and_next_tell_works():
    opt = opt_mod.create_optimizer_qel(UNIT3, num_init=4)
    x = opt.ask(4, 0)
    for bad_x, bad_y, text in [
        (x, np.zeros((3, 1)), r"Invalid shape: expected \[4, 1\], got \[3, 1\]"),
        (x, np.zeros((4, 2)), "Turbo TR expects 1 objective column, got 2"),
        (x + 1.0, np.zeros((4, 1)), r"x must be finite and within \[0, 1\]"),
        (x[:, :2], np.zeros((4, 1)), r"Invalid shape: expected \[4, 3\], got \[4, 2\]"),
        (x, np.full((4, 1), np.nan), "y must contain only finite values"),
    ]:
        with pytest.raises(ValueError, match=text):
            opt.tell(bad_x, bad_y, 0)
        assert opt.init_progress() == (0, 4)
        assert opt.tr_obs_count() == 0
        assert opt.x_obs() is None
    opt.tell(x, sphere(x), 0)
    assert opt.init_progress() is None
    assert opt.tr_obs_count() == 4
    assert opt.ask(3, 1).shape == (3, 3)


def test_views_without_and_with_observations():
    opt = opt_mod.create_optimizer_zero(UNIT3)
    assert opt.tr_obs_count() == 0 and opt.x_obs() is None and opt.y_obs() is None
    assert opt.incumbent_x_unit() is None
    assert opt.tr_length() == 0.8
    bounds = np.array([[-1.0, 2.0], [0.0, 5.0]])
    opt = opt_mod.create_optimizer_zero(bounds)
    np.testing.assert_array_equal(opt.bounds(), bounds)
    x = np.array([[0.1, 0.2], [0.3, 0.4], [0.5, 0.6]])
    y = np.array([[1.0], [4.0], [4.0]])
    opt.tell(x[:, ::-1][:, ::-1], y, 0)  # strided views are read correctly
    np.testing.assert_array_equal(opt.x_obs(), x)
    np.testing.assert_array_equal(opt.y_obs(), y)
    np.testing.assert_array_equal(opt.incumbent_x_unit(), x[2])


def test_same_seeds_same_proposals_and_telemetry_is_recorded():
    def trace(acq):
        opt = opt_mod.create_optimizer_qel(UNIT3, num_init=5, seed=3, config_overrides={"acquisition": acq})
        out = []
        for step in range(4):
            x = opt.ask(4, step)
            out.append(x)
            opt.tell(x, sphere(x), step)
        return np.concatenate(out), opt.telemetry()

    for acq in ("ucb", "thompson", "pareto", "random"):
        a, t = trace(acq)
        b, _ = trace(acq)
        np.testing.assert_array_equal(a, b)
        assert t.num_candidates == 3000
        assert t.dt_fit > 0 and t.dt_gen > 0 and t.dt_sel > 0 and t.dt_tell > 0


def test_failed_ask_still_records_its_time():
    opt = opt_mod.create_optimizer_zero(UNIT3, num_init=1, config_overrides={"min_candidates": 2 ** 62})
    opt.tell(opt.ask(1, 0), np.zeros((1, 1)), 0)
    before = opt.telemetry().dt_gen
    with pytest.raises(ValueError, match="more memory than the machine has|array size overflows"):
        opt.ask(2, 1)
    assert opt.telemetry().dt_gen != before
    assert opt.telemetry().num_candidates == 2 ** 62


@pytest.mark.parametrize("metrics", [2, 3])
@pytest.mark.parametrize("acq", ["ucb", "thompson", "pareto"])
def test_morbo_loops_with_surrogate(metrics, acq):
    opt = opt_mod.create_optimizer_qel(UNIT3, num_init=6, config_overrides={
        "trust_region": "morbo", "num_metrics": metrics, "acquisition": acq, "candidate_rv": "raasp"})

    def f(x):
        return np.hstack([sphere(x, 0.2 + 0.3 * j) for j in range(metrics)])

    for step in range(5):
        x = opt.ask(3, step)
        assert x.shape == (3, 3) and np.all((x >= 0) & (x <= 1))
        opt.tell(x, f(x), step)
    assert opt.tr_obs_count() == 15
    with pytest.raises(ValueError, match="metric columns"):
        opt.tell(x, f(x)[:, :1], 9)


def test_turbo_qel_beats_lhd_on_hartmann6():
    bounds = np.array([[0.0, 1.0]] * 6)
    qel_best, lhd_best = [], []
    for seed in range(5):
        qel_best.append(run(opt_mod.create_optimizer_qel(bounds, seed=seed), neg_hartmann6, 200, 10, seed))
        lhd_best.append(run(opt_mod.create_optimizer_lhd(bounds, seed=seed), neg_hartmann6, 200, 10, seed))
    assert np.median(qel_best) > np.median(lhd_best)


def test_impossible_fit_candidate_count_is_an_ordinary_memory_error():
    opt = opt_mod.create_optimizer_qel(UNIT3, num_init=2, config_overrides={"num_fit_candidates": 2**62})
    x = opt.ask(2, 0)
    with pytest.raises(MemoryError):
        opt.tell(x, sphere(x), 0)
