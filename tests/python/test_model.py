import numpy as np
import pytest

from qel.qelcore import model as qm

Vantorix = qm.Vantorix


def worked_example():
    # Query 0 has rows 0 (d2 0, y 0) and 1 (d2 1, y 3) as neighbours; y scale is 2.
    x = np.array([[0.0], [1.0], [100.0], [200.0], [300.0]])
    y = np.array([[0.0], [3.0], [-3.0], [-1.0], [1.0]])
    return Vantorix(x, y)


def brute_top_k(x, q, k):
    d2 = ((x[None, :, :] - q[:, None, :]) ** 2).sum(axis=2)
    order = np.lexsort((np.broadcast_to(np.arange(len(x)), d2.shape), d2), axis=1)
    return order[:, :k]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"index_driver": "EXACT"}, "Unknown index_driver: EXACT"),
        ({"index_driver": "MiRot_Disk", "qel_storage": "DISK"}, "Unknown index_driver: MiRot_Disk"),
        ({"qel_storage": "Memory"}, "Unknown qel_storage: Memory"),
        ({"work_dir": "/tmp/qel-wd"}, "Invalid parameter: Disk storage requires IndexDriver::MiRotDisk"),
        ({"index_driver": "mirot_disk"},
         "Invalid parameter: IndexDriver::MiRotDisk is disk-only; use DiskMirotQelBackend"),
        ({"index_driver": "MIROT_DISK", "scale_x": True},
         "Invalid parameter: scale_x=True is not compatible with MIROT_DISK"),
        ({"index_driver": "MIROT_DISK", "work_dir": "/tmp/qel\0wd"},
         "Invalid parameter: work_dir contains a NUL byte"),
        ({"train_yvar": np.array([[0.1], [np.inf]])},
         "Invalid parameter: yvar must contain only finite, non-negative values"),
    ],
)
def test_constructor_rejects_bad_options_with_exact_text(kwargs, message):
    with pytest.raises(ValueError) as e:
        Vantorix(np.zeros((2, 1)), np.zeros((2, 1)), **kwargs)
    assert str(e.value) == message


def test_constructor_conversion_errors():
    with pytest.raises(TypeError, match="^argument 'train_x'"):
        Vantorix(np.zeros((2, 1), dtype=np.float32), np.zeros((2, 1)))
    with pytest.raises(TypeError):
        Vantorix(np.zeros((2, 1)), np.zeros((2, 1)), index_driver=None)
    with pytest.raises(TypeError):
        Vantorix(np.zeros((2, 1)), np.zeros((2, 1)), scale_x=1)
    # A defaulted flag is a bool: None is refused, not read as the default.
    m = Vantorix(np.zeros((2, 1)), np.zeros((2, 1)))
    q = np.zeros((1, 1))
    for call, name in [
        (lambda: Vantorix(np.zeros((2, 1)), np.zeros((2, 1)), scale_x=None), "scale_x"),
        (lambda: m.posterior(q, 1, 1.0, 0.0, exclude_nearest=None), "exclude_nearest"),
        (lambda: m.posterior(q, 1, 1.0, 0.0, observation_noise=None), "observation_noise"),
        (lambda: m.index_neighbor_distances_and_indices(q, 1, tie_break_neighbors=None), "tie_break_neighbors"),
        (lambda: m.set_tie_break_neighbors(None), "enabled"),
    ]:
        with pytest.raises(TypeError, match=f"^argument '{name}': 'NoneType' object cannot be converted to 'PyBool'$"):
            call()
    with pytest.raises(ValueError, match=r"^Invalid shape: expected \[4, 2\], got \[3, 2\]$"):
        Vantorix(np.zeros((3, 2)), np.zeros((4, 1)))
    with pytest.raises(ValueError, match="at least one column"):
        Vantorix(np.zeros((3, 0)), np.zeros((3, 1)))


def test_rows_attributes_and_growth():
    m = Vantorix(np.array([[0.0, 1.0], [2.0, 3.0]]), np.array([[1.0], [3.0]]))
    assert len(m) == 2 and m.num_dim == 2 and m.num_outputs == 1 and not m.scale_x
    np.testing.assert_array_equal(m.row_x(1), [[2.0, 3.0]])
    np.testing.assert_array_equal(m.y_scale_row, [[1.0]])
    np.testing.assert_array_equal(m.x_scale_row, [[1.0, 1.0]])
    with pytest.raises(ValueError, match=r"^Invalid parameter: row_x index 2 out of range \[0, 2\)$"):
        m.row_x(2)
    with pytest.raises(OverflowError):
        m.row_y(-1)
    # A transposed (non-contiguous) view is appended row by row.
    m.add(np.array([[4.0, 6.0], [5.0, 7.0]]).T, np.array([[5.0], [7.0]]))
    assert len(m) == 4
    np.testing.assert_array_equal(m.row_x(3), [[6.0, 7.0]])
    np.testing.assert_allclose(m.y_scale_row, [[np.std([1.0, 3.0, 5.0, 7.0])]])
    x, y, yvar = m.train_rows_at([3, 0, 3])
    np.testing.assert_array_equal(x, [[6.0, 7.0], [0.0, 1.0], [6.0, 7.0]])
    assert y.shape == (3, 1) and yvar is None
    assert m.train_rows_at([])[0].shape == (0, 2)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        m.train_rows_at("01")
    with pytest.raises(ValueError, match=r"train_rows_at index 7 out of range \[0, 4\)"):
        m.train_rows_at([0, 7])
    with pytest.raises(ValueError, match="yvar provided but model has no existing yvar"):
        m.add(np.zeros((1, 2)), np.zeros((1, 1)), np.zeros((1, 1)))
    assert m.index_memory_bytes() == 4 * 2 * 4
    assert m.schedule_background_flush() is None and m.persist_index_to_disk() is None


def test_tie_break_flag_is_per_object():
    m = worked_example()
    assert m.tie_break_neighbors() is True
    m.set_tie_break_neighbors(False)
    assert m.tie_break_neighbors() is False
    m.set_tie_break_neighbors()
    assert m.tie_break_neighbors() is True


def test_posterior_worked_example_numbers():
    m = worked_example()
    q = np.array([[0.0]])
    mean, se, epi, ale, idx = m.posterior(q, 2, 1.0, 1.0)
    assert mean[0, 0] == 1.0000000003333334
    assert se[0, 0] == epi[0, 0] == 1.6329931625358658
    assert ale[0, 0] == 0.0
    np.testing.assert_array_equal(idx, [[0, 1]])
    mean, se, epi, ale, idx = m.posterior(q, 2, 1.0, 1.0, observation_noise=True)
    assert (mean[0, 0], se[0, 0], epi[0, 0], ale[0, 0]) == (
        1.0000000003333334, 2.5819888979019425, 1.6329931625358658, 2.0)


def test_posterior_parameter_and_shape_errors():
    m = worked_example()
    q = np.zeros((1, 1))
    with pytest.raises(ValueError, match="^k_num_neighbors must be > 0, got 0$"):
        m.posterior(q, 0, 1.0, 0.0)
    with pytest.raises(ValueError, match="^epistemic_variance_scale must be >= 0 and finite, got -1$"):
        m.posterior(q, 2, -1.0, 0.0)
    with pytest.raises(ValueError, match=r"^Invalid shape: expected \[1, 1\], got \[1, 2\]$"):
        m.posterior(np.zeros((1, 2)), 2, 1.0, 0.0)
    one = Vantorix(np.zeros((1, 1)), np.zeros((1, 1)))
    with pytest.raises(ValueError, match="exclude_nearest=True requires at least 2 observations, got 1"):
        one.posterior(q, 1, 1.0, 0.0, exclude_nearest=True)
    with pytest.raises(OverflowError):
        m.posterior(q, 2**31, 1.0, 0.0)


def test_batch_posterior_slices_equal_posterior():
    rng = np.random.default_rng(0)
    x, y, q = rng.normal(size=(60, 3)), rng.normal(size=(60, 2)), rng.normal(size=(9, 3))
    m = Vantorix(x, y)
    ks, epis, ales = [4, 4, 7], [0.5, 2.0, 1.0], [0.1, 0.0, 0.3]
    for noise in (False, True):
        out = m.batch_posterior(q, ks, epis, ales, observation_noise=noise)
        assert all(a.shape == (3, 9, 2) for a in out)
        for s in range(3):
            single = m.posterior(q, ks[s], epis[s], ales[s], observation_noise=noise)
            for a, b in zip(out, single[:4]):
                np.testing.assert_array_equal(a[s], b)
    with pytest.raises(ValueError, match="^k_values, epistemic_scales, and aleatoric_scales must have same length$"):
        m.batch_posterior(q, [1, 2], [1.0, 1.0], [0.0, 0.0, 0.0])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        m.batch_posterior(q, "12", [1.0], [0.0])


def test_index_neighbors_match_brute_force_on_integer_grid():
    rng = np.random.default_rng(1)
    x = rng.integers(0, 4, size=(300, 3)).astype(float)
    q = rng.integers(0, 4, size=(40, 3)).astype(float)
    m = Vantorix(x, np.zeros((300, 1)))
    for k in (1, 5, 12):
        dist, idx = m.index_neighbor_distances_and_indices(q, k)
        np.testing.assert_array_equal(idx, brute_top_k(x, q, k))
        dist, idx = m.index_neighbor_distances_and_indices(q, k + 1, exclude_nearest=True)
        np.testing.assert_array_equal(idx, brute_top_k(x, q, k + 1)[:, 1:])
    three = Vantorix(np.array([[1.0, 0.0], [0.0, 1.0], [-1.0, 0.0]]), np.zeros((3, 1)))
    np.testing.assert_array_equal(three.index_neighbor_distances_and_indices(np.zeros((1, 2)), 2)[1], [[0, 1]])


def test_neighbors_edge_cases():
    m = Vantorix(np.array([[0.0], [1.0], [3.0]]), np.zeros((3, 1)))
    q = np.array([[0.1], [2.9]])
    with pytest.raises(ValueError, match="^Invalid parameter: k must be non-negative, got -1$"):
        m.neighbors(q, -1)
    assert m.neighbors(q, 0).shape == (2, 0)
    nb = m.neighbors(q, 10)
    assert nb.dtype == np.uint64
    np.testing.assert_array_equal(nb, [[0, 1, 2], [2, 1, 0]])
    np.testing.assert_array_equal(m.neighbors(q, 10, exclude_nearest=True), [[1, 2], [1, 0]])
    one = Vantorix(np.zeros((1, 1)), np.zeros((1, 1)))
    with pytest.raises(ValueError, match="exclude_nearest=true requires at least 2 observations, got 1"):
        one.neighbors(q, 1, exclude_nearest=True)
    empty = Vantorix(np.zeros((0, 1)), np.zeros((0, 1)))
    assert empty.neighbors(q, 3, exclude_nearest=True).shape == (2, 0)
    for bad in (0, -1):
        with pytest.raises(ValueError, match=f"^Invalid parameter: Invalid search parameter: search_k must be > 0, got {bad}$"):
            m.neighbor_distances_and_indices(q, bad)
    dist, idx = m.neighbor_distances_and_indices(q, 5)
    np.testing.assert_array_equal(idx[0], [0, 1, 2, 2, 2])
    assert np.isinf(dist[0, 3:]).all()


def test_empty_model_posterior_is_prior():
    m = Vantorix(np.zeros((0, 2)), np.zeros((0, 1)))
    mean, se, epi, ale, idx = m.posterior(np.zeros((3, 2)), 4, 1.0, 1.0)
    np.testing.assert_array_equal(mean, 0.0)
    np.testing.assert_array_equal(se, 1.0)
    np.testing.assert_array_equal(ale, 0.0)
    assert idx.shape == (3, 0)


def test_rows_with_non_finite_coordinates_are_refused():
    x = np.array([[0.0, 0.0], [1.0, 1.0], [np.nan, 0.5], [2.0, 2.0], [3.0, 3.0]])
    y = np.array([[0.0], [1.0], [100.0], [2.0], [3.0]])
    with pytest.raises(ValueError, match=r"^Invalid parameter: x must contain only finite values$"):
        Vantorix(x, y)
    m = Vantorix(np.delete(x, 2, axis=0), np.delete(y, 2, axis=0))
    with pytest.raises(ValueError, match=r"^Invalid parameter: x must contain only finite values$"):
        m.add(np.array([[np.inf, 0.5]]), np.array([[100.0]]))
    assert len(m) == 4
    mean = m.posterior(np.array([[0.1, 0.1]]), 4, 1.0, 0.0)[0]
    assert mean[0, 0] < 3.0


def test_neighbors_of_far_finite_queries_come_from_an_exact_scan():
    # Squared distances beyond 3.4e38 overflow the index's single precision.
    x = np.array([[i * 1e19, 0.0] for i in range(12)])
    m = Vantorix(x, np.arange(12.0)[:, None])
    filler = np.iinfo(np.uint64).max
    for q in (np.array([[2e20, 0.0]]), np.array([[1e21, 1e21], [2e20, 1.0], [-3e25, 7.0]])):
        for exclude in (False, True):
            got = m.neighbors(q, 3, exclude)
            assert got.dtype == np.uint64 and got.shape == (len(q), 3)
            assert not (got == filler).any()
            want = m.index_neighbor_distances_and_indices(q, 4 if exclude else 3, exclude)[1]
            np.testing.assert_array_equal(got, want.astype(np.uint64))
    np.testing.assert_array_equal(m.neighbors(np.array([[2e20, 0.0]]), 3), [[11, 10, 9]])


@pytest.mark.parametrize("storage", ["memory", "disk"])
@pytest.mark.parametrize(
    "query",
    [
        lambda m, q: m.posterior(q, 3, 1.0, 0.0),
        lambda m, q: m.batch_posterior(q, [3, 2], [1.0, 1.0], [0.0, 0.0]),
        lambda m, q: m.posterior_function_draw(q, 3, 1.0, 0.0, [1, 2]),
        lambda m, q: m.neighbors(q, 3),
        lambda m, q: m.neighbor_distances_and_indices(q, 3),
        lambda m, q: m.index_neighbor_distances_and_indices(q, 3),
    ],
    ids=["posterior", "batch_posterior", "function_draw", "neighbors", "probe", "index_probe"],
)
def test_queries_with_non_finite_coordinates_are_refused(tmp_path, storage, query):
    x = np.array([[0.0, 0.0], [1.0, 1.0], [2.0, 2.0], [3.0, 3.0]])
    kw = {"index_driver": "MIROT_DISK", "work_dir": str(tmp_path / "wd")} if storage == "disk" else {}
    m = Vantorix(x, np.arange(4.0)[:, None], **kw)
    for bad in ([[0.5, 0.5], [np.nan, 0.5]], [[-np.inf, 0.5]]):
        with pytest.raises(ValueError, match=r"^Invalid parameter: x must contain only finite values$"):
            query(m, np.array(bad))
