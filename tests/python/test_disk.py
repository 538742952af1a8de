"""Disk-backed models from Python: construction choices, flush and persist methods,
reopening in another process, destruction, crash safety and the optimizer on disk."""

import gc
import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import qel.qelcore as q
from crash_harness import run_kills

Vantorix = q.model.Vantorix


def disk(tmp_path, x, y, **kw):
    return Vantorix(x, y, index_driver="MIROT_DISK", work_dir=str(tmp_path / "wd"), **kw)


def grid(n, d, seed=0, top=7):
    return np.random.default_rng(seed).integers(0, top, size=(n, d)).astype(np.float64)


def test_work_dir_alone_selects_disk_storage_and_both_driver_spellings_work(tmp_path):
    x, y = grid(10, 2), grid(10, 1, 1)
    m = Vantorix(x, y, index_driver="mirot_disk", work_dir=str(tmp_path / "a"))
    assert len(m) == 10 and m.num_dim == 2 and m.num_outputs == 1
    assert (tmp_path / "a" / "metadata.json").exists()
    m2 = Vantorix(x, y, index_driver="MIROT_DISK", work_dir=str(tmp_path / "b"), qel_storage="Disk")
    assert m2.row_x(3).tobytes() == x[3:4].tobytes()
    with pytest.raises(ValueError, match=r"^Invalid parameter: row 10 out of range \[0, 10\)$"):
        m2.row_x(10)
    with pytest.raises(ValueError, match=r"^Invalid parameter: mirot_train_rows_at index 12 out of range"):
        m2.train_rows_at([0, 12])


def test_qel_work_dir_names_the_directory_when_none_is_given(tmp_path, monkeypatch):
    monkeypatch.setenv("QEL_WORK_DIR", str(tmp_path / "env"))
    m = Vantorix(grid(4, 2), grid(4, 1), index_driver="MIROT_DISK", qel_storage="disk")
    assert len(m) == 4
    assert (tmp_path / "env" / "train_x.bin").exists()


def test_disk_model_agrees_with_memory_model_on_integer_grid(tmp_path):
    x, y = grid(600, 3, 2), grid(600, 2, 3, top=20)
    qx = grid(25, 3, 4, top=8)
    mem = Vantorix(x, y)
    dm = disk(tmp_path, x[:200], y[:200])
    dm.add(x[200:], y[200:])
    dm.schedule_background_flush()
    for k in (1, 4, 9):
        assert np.array_equal(mem.neighbors(qx, k)[0], dm.neighbors(qx, k)[0])
    a = mem.posterior(qx, 5, 0.3, 0.1, exclude_nearest=True, observation_noise=True)
    b = dm.posterior(qx, 5, 0.3, 0.1, exclude_nearest=True, observation_noise=True)
    for u, v in zip(a, b):
        assert np.array_equal(u, v)
    assert np.array_equal(mem.y_scale_row, dm.y_scale_row)


def test_flush_and_persist_methods_return_none_in_memory_and_on_disk(tmp_path):
    mem = Vantorix(grid(5, 2), grid(5, 1))
    assert mem.schedule_background_flush() is None
    assert mem.persist_index_to_disk() is None
    dm = disk(tmp_path, grid(5, 2), grid(5, 1))
    assert dm.schedule_background_flush() is None
    assert dm.index_memory_bytes() == 0  # nothing indexed or written yet
    dm.ensure_index_sync()
    assert dm.index_memory_bytes() == 0  # indexed in memory, no index files yet
    assert dm.persist_index_to_disk() is None
    index = tmp_path / "wd" / "index"
    on_disk = sum((index / f).stat().st_size for f in ("header.json", "pages.bin", "skip_edges.bin"))
    assert dm.index_memory_bytes() == on_disk > 0


def test_second_live_model_on_a_directory_is_refused_until_the_first_is_gone(tmp_path):
    wd = str(tmp_path / "wd")
    first = Vantorix(grid(3, 2), grid(3, 1), index_driver="MIROT_DISK", work_dir=wd)
    with pytest.raises(ValueError, match="already open"):
        Vantorix(np.zeros((0, 2)), np.zeros((0, 1)), index_driver="MIROT_DISK", work_dir=wd)
    del first
    gc.collect()
    assert len(Vantorix(np.zeros((0, 2)), np.zeros((0, 1)), index_driver="MIROT_DISK", work_dir=wd)) == 3


WRITER = r"""
import json, sys
import numpy as np
import qel.qelcore as q
wd = sys.argv[1]
rng = np.random.default_rng(7)
x, y, yv = rng.normal(size=(900, 4)), rng.normal(size=(900, 2)), rng.random((900, 2))
m = q.model.Vantorix(x[:300], y[:300], yv[:300], index_driver="MIROT_DISK", work_dir=wd)
m.add(x[300:], y[300:], yv[300:])
m.schedule_background_flush()
d, i = m.neighbor_distances_and_indices(x[:20] + 0.01, 6)
p = m.posterior(x[:20] + 0.01, 5, 0.5, 0.1)
print(json.dumps({"d": d.tolist(), "i": i.tolist(), "mean": p[0].tolist()}))
"""


def test_reopen_in_a_new_process_gives_equal_rows_variances_and_searches(tmp_path):
    wd = str(tmp_path / "wd")
    out = subprocess.run([sys.executable, "-c", WRITER, wd], capture_output=True, text=True, check=True)
    assert out.stderr == ""
    seen = json.loads(out.stdout)
    rng = np.random.default_rng(7)
    x, y, yv = rng.normal(size=(900, 4)), rng.normal(size=(900, 2)), rng.random((900, 2))
    m = Vantorix(np.zeros((0, 1)), np.zeros((0, 1)), index_driver="MIROT_DISK", work_dir=wd)
    assert (len(m), m.num_dim, m.num_outputs) == (900, 4, 2)
    rx, ry, ryv = m.train_rows_at(list(range(900)))
    assert rx.tobytes() == x.tobytes() and ry.tobytes() == y.tobytes() and ryv.tobytes() == yv.tobytes()
    d, i = m.neighbor_distances_and_indices(x[:20] + 0.01, 6)
    assert i.tolist() == seen["i"] and d.tolist() == seen["d"]
    assert m.posterior(x[:20] + 0.01, 5, 0.5, 0.1)[0].tolist() == seen["mean"]
    # Nothing changed since the writer's persist at exit: persisting writes nothing.
    files = [tmp_path / "wd" / "index" / f for f in ("pages.bin", "skip_edges.bin", "header.json")]
    before = [(f.stat().st_ino, f.stat().st_mtime_ns) for f in files]
    m.persist_index_to_disk()
    assert [(f.stat().st_ino, f.stat().st_mtime_ns) for f in files] == before


def test_failed_persist_at_destruction_prints_one_line_and_raises_nothing(tmp_path, capfd):
    m = disk(tmp_path, grid(6, 2), grid(6, 1))
    (tmp_path / "wd" / "index").write_text("not a directory")
    del m
    gc.collect()
    err = capfd.readouterr().err
    assert err.startswith("qelbo: persist_index_to_disk on drop failed: Invalid parameter: ")
    assert err.count("\n") == 1


def test_rows_of_other_widths_are_refused_and_the_store_is_kept(tmp_path):
    disk(tmp_path, grid(4, 2), grid(4, 1)).persist_index_to_disk()
    gc.collect()
    with pytest.raises(ValueError, match="num_dim 2"):
        disk(tmp_path, grid(2, 3), grid(2, 1))
    assert len(Vantorix(np.zeros((0, 1)), np.zeros((0, 1)), index_driver="MIROT_DISK",
                        work_dir=str(tmp_path / "wd"))) == 4

    # A reopen may name no columns at all: the stored widths are adopted.
    assert Vantorix(np.zeros((0, 0)), np.zeros((0, 0)), index_driver="MIROT_DISK",
                    work_dir=str(tmp_path / "wd")).num_dim == 2


def test_new_store_without_coordinates_is_refused_before_anything_is_written(tmp_path):
    with pytest.raises(ValueError, match="^Invalid parameter: x must have at least one column$"):
        disk(tmp_path, np.zeros((3, 0)), np.zeros((3, 1)))
    assert not (tmp_path / "wd").exists()


def test_rows_given_to_a_store_that_holds_rows_are_refused_before_anything_is_written(tmp_path):
    # The store would keep its own rows and drop the given ones without a word.
    x, y = grid(10, 2), np.arange(10.0).reshape(10, 1)
    disk(tmp_path, x, y).persist_index_to_disk()
    gc.collect()
    wd = tmp_path / "wd"
    files = lambda: {p.name: p.read_bytes() for p in wd.iterdir() if p.is_file()}
    before = files()
    with pytest.raises(ValueError, match="^Invalid parameter: work_dir " + re.escape(str(wd)) +
                       " already holds 10 rows; give empty x and y to reopen it$"):
        disk(tmp_path, x, y * 100)
    assert files() == before
    # Empty arrays reopen it, with the scales of the stored rows.
    reopened = disk(tmp_path, np.zeros((0, 2)), np.zeros((0, 1)))
    assert len(reopened) == 10 and np.array_equal(reopened.y_scale_row, Vantorix(x, y).y_scale_row)
    del reopened
    gc.collect()

    # An optimizer whose directory gained rows after its creation: the first tell is
    # refused and leaves no trace of the batch.
    od = tmp_path / "opt"
    opt = q.optimizer.create_optimizer_qel(np.array([[0.0, 1.0]] * 2), num_init=20, config_overrides={
        "qel_storage": "disk", "index_driver": "MIROT_DISK", "work_dir": str(od)})
    Vantorix(x, y, index_driver="MIROT_DISK", work_dir=str(od))
    gc.collect()
    batch = opt.ask(4, 0)
    with pytest.raises(ValueError, match="already holds 10 rows"):
        opt.tell(batch, np.ones((4, 1)), 0)
    assert opt.init_progress() == (0, 20) and opt.x_obs() is None and opt.telemetry().dt_tell == 0.0
    shutil.rmtree(od)
    opt.tell(batch, np.ones((4, 1)), 0)
    assert opt.init_progress() == (4, 20) and opt.y_obs().shape == (4, 1)


METADATA_NOT_A_SMALL_FILE = r"""
import os, sys
import numpy as np
import qel.qelcore as q
wd = sys.argv[1]
os.makedirs(wd)
meta = os.path.join(wd, "metadata.json")
big = lambda p: open(p, "w").write(" " * ((1 << 20) + 1))
for make in (os.mkfifo, lambda p: os.symlink("/dev/zero", p), big):
    make(meta)
    for n in (0, 2):
        try:
            q.model.Vantorix(np.ones((n, 1)), np.ones((n, 1)), index_driver="MIROT_DISK", work_dir=wd)
            print("opened")
        except ValueError as e:
            print(e)
    os.unlink(meta)
"""


def test_metadata_that_is_not_a_small_regular_file_is_refused_without_blocking(tmp_path):
    # A FIFO would block the constructor with the interpreter lock held; /dev/zero never ends.
    wd = str(tmp_path / "wd")
    out = subprocess.run([sys.executable, "-c", METADATA_NOT_A_SMALL_FILE, wd], capture_output=True, text=True,
                         timeout=60, check=True)
    meta = "Invalid parameter: " + os.path.join(wd, "metadata.json")
    assert out.stdout.splitlines() == ([meta + " is not a regular file"] * 4 +
                                       [meta + " is larger than 1048576 bytes"] * 2)


def test_reopen_refuses_widths_that_the_files_contradict(tmp_path):
    rng = np.random.default_rng(3)
    disk(tmp_path, rng.random((30, 4)), rng.random((30, 2)), train_yvar=np.ones((30, 2))).persist_index_to_disk()
    gc.collect()
    wd = tmp_path / "wd"
    meta = (wd / "metadata.json").read_text()
    yvar = (wd / "train_yvar.bin").read_bytes()
    cases = [  # files of 64 rows of room: 2048 bytes of x, 1024 of y and of variances
        ('"num_dim":2', None, "index/header.json records num_dim 4, not the store's num_dim 2"),
        ('"num_dim":3', None, "train_x.bin holds 2048 bytes, not a whole number of rows of num_dim 3"),
        ('"num_metrics":3', None, "train_y.bin holds 1024 bytes, not a whole number of rows of num_metrics 3"),
        ('"num_metrics":0', None, "metadata.json records num_metrics 0"),
        (None, yvar + bytes(8), "train_yvar.bin holds 1032 bytes, not a whole number of rows of num_metrics 2"),
    ]
    for field, yvar_bytes, text in cases:
        if field:
            (wd / "metadata.json").write_text(re.sub('"' + field.split('"')[1] + '":[0-9]+', field, meta))
        if yvar_bytes:
            (wd / "train_yvar.bin").write_bytes(yvar_bytes)
        with pytest.raises(ValueError, match=re.escape(text)):
            disk(tmp_path, np.zeros((0, 4)), np.zeros((0, 2)))
        (wd / "metadata.json").write_text(meta)
        (wd / "train_yvar.bin").write_bytes(yvar)
    assert len(disk(tmp_path, np.zeros((0, 4)), np.zeros((0, 2)))) == 30


def test_appends_survive_sigkill_at_random_moments(tmp_path):
    counts = run_kills(str(tmp_path / "wd"), kills=50, seed=1)
    assert counts == sorted(counts) and counts[-1] > 0


HARTMANN = r"""
import sys
sys.path.insert(0, {examples!r})
import numpy as np
import qel.qelcore as q
from demo import hartmann6
over = {{"qel_storage": "disk", "index_driver": "MIROT_DISK", "work_dir": sys.argv[1]}} if sys.argv[1] else None
best = []
for seed in (0, 1):
    if over:
        over["work_dir"] = sys.argv[1] + str(seed)
    opt = q.optimizer.create_optimizer_qel(np.array([[0.0, 1.0]] * 6), k=10, num_init=20, seed=seed,
                                           config_overrides=over)
    ys = []
    for step in range(12):
        x = opt.ask(8, step)
        y = hartmann6(x)
        opt.tell(x, y[:, None], step)
        ys.extend(y)
    best.append(max(ys))
print(" ".join(map(str, best)))
"""


def test_optimizer_on_disk_reaches_the_memory_optimizers_best_values(tmp_path):
    examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
    code = HARTMANN.format(examples=os.path.abspath(examples))
    runs = {}
    for name, wd in (("memory", ""), ("disk", str(tmp_path / "wd"))):
        out = subprocess.run([sys.executable, "-c", code, wd], capture_output=True, text=True, check=True)
        assert out.stderr == ""
        runs[name] = [float(v) for v in out.stdout.split()]
    assert (tmp_path / "wd0" / "metadata.json").exists()
    for mem, dsk in zip(runs["memory"], runs["disk"]):
        assert dsk > 1.5 and abs(dsk - mem) < 0.6, runs
