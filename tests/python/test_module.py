import inspect
import os
import subprocess
import sys
import types

import numpy as np
import pytest

import qel.qelcore as q

SUBMODULES = ["hypervolume", "hash", "util", "model", "fit", "optimizer"]
DOCS = {
    "hypervolume": "Hypervolume calculation module",
    "hash": "Hash-based RNG module",
    "util": "Utility functions module",
    "model": "QEL model module",
    "fit": "Parameter fitting module",
    "optimizer": "Optimizer module",
}


def test_main_module_holds_the_six_submodules_in_order_and_nothing_else():
    assert q.__all__ == SUBMODULES
    for name in SUBMODULES:
        sub = getattr(q, name)
        assert isinstance(sub, types.ModuleType)
        assert sub.__doc__ == DOCS[name]
    public = [n for n in vars(q) if not n.startswith("__")]
    assert sorted(public) == sorted(SUBMODULES)
    assert "qel.qelcore" in q.__doc__


def test_import_starts_no_thread():
    code = (
        "import os\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import qel.qelcore\n"
        "after = len(os.listdir('/proc/self/task'))\n"
        "print(before, after)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, after = map(int, out.stdout.split())
    assert after == before


def test_parallel_work_runs_on_the_pool_and_leaves_openmp_settings_alone():
    # OpenMP allows 4 threads and the pool 2: searches, selections and products of many queries
    # may add the pool's one worker, but no OpenMP team, and the caller's OpenMP setting stays.
    code = (
        "import ctypes, os\n"
        "import numpy as np\n"
        "import qel.qelcore as q\n"
        "gomp = ctypes.CDLL('libgomp.so.1')\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "rng = np.random.default_rng(0)\n"
        "m = q.model.Vantorix(rng.random((3000, 4)), rng.random((3000, 1)))\n"
        "x = rng.random((1500, 4))\n"
        "m.posterior(x, 5, 1.0, 0.0)\n"
        "m.conditional_posterior(rng.random((400, 4)), rng.random((400, 1)), x, 5, 1.0, 0.0)\n"
        "print(before, len(os.listdir('/proc/self/task')), gomp.omp_get_max_threads())\n"
    )
    env = dict(os.environ, OMP_NUM_THREADS="4", RAYON_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    before, after, omp_threads = map(int, out.stdout.split())
    assert after - before <= 1
    assert omp_threads == 4


def test_submodules_list_what_they_register():
    for name in SUBMODULES:
        sub = getattr(q, name)
        for member in sub.__all__:
            assert hasattr(sub, member)


class TestQELParams:
    def test_repr_uses_shortest_positional_digits(self):
        assert repr(q.model.QELParams(5, 0.5, 1e-7)) == "QELParams(k=5, epi=0.5, ale=0.0000001)"
        assert str(q.model.QELParams(10, 1.0, 0.0)) == "QELParams(k=10, epi=1, ale=0)"
        assert repr(q.model.QELParams(1, -0.0, 1e20)) == "QELParams(k=1, epi=-0, ale=100000000000000000000)"

    def test_signature_and_doc(self):
        sig = inspect.signature(q.model.QELParams)
        assert str(sig) == "(k_num_neighbors, epistemic_variance_scale, aleatoric_variance_scale)"
        assert q.model.QELParams.__doc__ == "Wrapper for QELParams"

    @pytest.mark.parametrize(
        "args, text",
        [
            ((0, 1.0, 0.0), "k_num_neighbors must be > 0, got 0"),
            ((-3, -1.0, float("nan")), "k_num_neighbors must be > 0, got -3"),
            ((5, -1.0, 0.0), "epistemic_variance_scale must be >= 0 and finite, got -1"),
            ((5, float("nan"), 0.0), "epistemic_variance_scale must be >= 0 and finite, got NaN"),
            ((5, 1.0, float("inf")), "aleatoric_variance_scale must be >= 0 and finite, got inf"),
            ((5, 1.0, -0.25), "aleatoric_variance_scale must be >= 0 and finite, got -0.25"),
        ],
    )
    def test_validation_reports_first_failure(self, args, text):
        with pytest.raises(ValueError) as err:
            q.model.QELParams(*args)
        assert str(err.value) == text

    def test_argument_conversion_errors(self):
        with pytest.raises(OverflowError):
            q.model.QELParams(2**31, 1.0, 0.0)
        with pytest.raises(OverflowError):
            q.model.QELParams(2**80, 1.0, 0.0)
        with pytest.raises(TypeError) as err:
            q.model.QELParams("a", 1.0, 0.0)
        assert str(err.value).startswith("argument 'k_num_neighbors': ")
        with pytest.raises(TypeError) as err:
            q.model.QELParams(2.0, 1.0, 0.0)
        assert str(err.value).startswith("argument 'k_num_neighbors': ")
        with pytest.raises(TypeError) as err:
            q.model.QELParams(2, "x", 0.0)
        assert str(err.value).startswith("argument 'epistemic_variance_scale': ")

    def test_argument_parser_errors(self):
        with pytest.raises(TypeError):
            q.model.QELParams(1, 1.0)
        with pytest.raises(TypeError):
            q.model.QELParams(1, 1.0, 0.0, 4)
        with pytest.raises(TypeError):
            q.model.QELParams(1, 1.0, 0.0, k_num_neighbors=2)
        with pytest.raises(TypeError):
            q.model.QELParams(1, 1.0, aleatoric=0.0)

    def test_keywords_integers_and_numpy_scalars(self):
        import numpy as np

        p = q.model.QELParams(aleatoric_variance_scale=0, epistemic_variance_scale=1, k_num_neighbors=np.int64(3))
        assert (p.k_num_neighbors, p.epistemic_variance_scale, p.aleatoric_variance_scale) == (3, 1.0, 0.0)
        assert isinstance(p.epistemic_variance_scale, float)
        p = q.model.QELParams(2, np.float32(0.5), np.float64(0.25))
        assert (p.epistemic_variance_scale, p.aleatoric_variance_scale) == (0.5, 0.25)

    def test_attributes_are_read_only(self):
        p = q.model.QELParams(3, 1.0, 0.0)
        with pytest.raises(AttributeError):
            p.k_num_neighbors = 4
        with pytest.raises(AttributeError):
            p.epistemic_variance_scale = 2.0


class TestArgumentConversion:
    def test_array_of_wrong_dtype_or_rank_names_the_argument(self):
        import numpy as np

        with pytest.raises(TypeError) as err:
            q.hypervolume.hypervolume_2d_max(np.zeros((3, 2), dtype=np.int64), np.zeros(2))
        assert str(err.value) == "argument 'y': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
        with pytest.raises(TypeError) as err:
            q.hypervolume.hypervolume_2d_max(np.zeros((3, 2, 1)), np.zeros(2))
        assert str(err.value).startswith("argument 'y': ")
        with pytest.raises(TypeError) as err:
            q.hypervolume.hypervolume_2d_max([[1.0, 2.0]], np.zeros(2))
        assert str(err.value) == "argument 'y': 'list' object cannot be converted to 'PyArray<T, D>'"

    def test_strided_and_reversed_views_are_read_through_their_strides(self):
        import numpy as np

        y = np.arange(12.0).reshape(6, 2)
        ref = np.array([-1.0, -1.0])
        expected = q.hypervolume.hypervolume_2d_max(np.ascontiguousarray(y[::-2]), ref)
        assert q.hypervolume.hypervolume_2d_max(y[::-2], ref) == expected

    def test_signed_64_bit_overflow_carries_the_interpreter_message(self):
        import numpy as np

        with pytest.raises(OverflowError, match="^Python int too large to convert to C long$"):
            q.hash.normal_hash_batch_multi_seed_fast(np.arange(2), np.arange(3), 2**63)

    def test_unsigned_integers(self):
        with pytest.raises(OverflowError):
            q.util.sobol_sequence(-1, 3)
        with pytest.raises(TypeError) as err:
            q.util.sobol_sequence(1.0, 3)
        assert str(err.value).startswith("argument 'dimension': ")

    def test_results_are_new_c_ordered_arrays_owning_their_data(self):
        out = q.util.sobol_sequence(3, 4)
        assert out.flags.c_contiguous and out.flags.owndata and out.dtype.name == "float64"

    def test_core_errors_are_value_errors_with_their_text(self):
        with pytest.raises(ValueError) as err:
            q.util.sobol_sequence(0, 3)
        assert str(err.value) == "Invalid parameter: Sobol dimension must be in 1..=21201, got 0"

    def test_sequence_argument_refuses_non_sequences_with_its_own_text(self):
        import numpy as np

        x, y = np.random.default_rng(0).random((5, 2)), np.zeros((5, 1))
        model = q.model.Vantorix(x, y)
        with pytest.raises(TypeError) as err:
            q.fit.subsample_loglik(model, x, y, 3, [1.0], [0.0], 2, 0)
        assert str(err.value) == "argument 'k_values': 'int' object cannot be converted to 'Sequence'"


def test_classes_are_registered_without_a_module_of_their_own():
    classes = [q.model.Vantorix, q.model.QELParams, q.fit.QELStatefulFitter, q.optimizer.Optimizer,
               q.optimizer.Telemetry]
    for cls in classes:
        assert cls.__module__ == "builtins"
        assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"


def test_repeated_import_gives_the_same_module_and_other_interpreters_are_refused():
    pytest.importorskip("_testcapi")
    code = (
        "import importlib, sys\n"
        "import qel.qelcore as a\n"
        "del sys.modules['qel.qelcore']\n"
        "b = importlib.import_module('qel.qelcore')\n"
        "print(a is b)\n"
        "import _testcapi\n"
        "print(_testcapi.run_in_subinterp('import qel.qelcore'))\n"
    )
    out = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", "-1"]
    assert "ImportError" in out.stderr


def test_extension_exports_the_seven_init_entry_points():
    import ctypes

    lib = ctypes.CDLL(q.__file__)
    for name in ["qelcore", "fit", "hash", "hypervolume", "model", "optimizer", "util"]:
        assert hasattr(lib, f"PyInit_{name}")


def test_submodule_entry_points_hand_back_the_imported_submodules():
    import ctypes

    lib = ctypes.PyDLL(q.__file__)
    x = np.array([[0.0], [1.0], [2.0]])
    model_before = q.model.Vantorix(x, x)
    for name in ["fit", "hash", "hypervolume", "model", "optimizer", "util"]:
        init = getattr(lib, f"PyInit_{name}")
        init.restype = ctypes.py_object
        assert init() is getattr(q, name)
    # Objects made before are still accepted where the class is expected.
    assert len(q.fit.subsample_loglik(model_before, x, x, [1], [1.0], [0.0], 3, 0)) == 1


def test_loading_a_submodule_first_shares_it_with_the_later_import():
    code = (
        "import importlib.machinery, importlib.util, sys\n"
        "path = sys.argv[1]\n"
        "loader = importlib.machinery.ExtensionFileLoader('util', path)\n"
        "spec = importlib.util.spec_from_file_location('util', path, loader=loader)\n"
        "util = importlib.util.module_from_spec(spec)\n"
        "import numpy as np\n"
        "import qel.qelcore as q\n"
        "print(util is q.util, util.standardize_y(np.array([1.0, 3.0])))\n"
        "again = importlib.util.module_from_spec(importlib.util.spec_from_file_location('model', path))\n"
        "print(again is q.model)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, q.__file__], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "(2.0,", "1.0)", "True"]
    assert out.stderr == ""
