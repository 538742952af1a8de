import inspect
import os
import subprocess
import sys

import pytest

import qel.qelcore as q

u = q.util

DEFAULT_TEXT = (
    "[mirot]\n"
    "index_compact_rows_per_fragment = 10000\n"
    "index_compact_fragment_max = 32\n"
    "search_rows_per_fragment = 80000\n"
    "small_fragment_merge_rows = 15000\n"
    "search_fragment_budget_max = 1\n"
    "pending_flush_threshold = 250\n"
    "pending_hard_flush_threshold = 3000\n"
    "structured_build_row_limit = 1024\n"
    "search_beam_width = 1\n"
    "exhaustive_search_row_limit = 2500\n"
    "skip_refinement_row_limit = 150000\n"
)


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A private HOME; the override is cleared while it is still in place."""
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("USERPROFILE", raising=False)
    yield tmp_path
    u.set_config_path(None)


def test_registered_with_signatures_and_docs():
    names = u.__all__
    assert names[-2:] == ["set_config_path", "ensure_config_file"]
    assert str(inspect.signature(u.set_config_path)) == "(path=None)"
    assert str(inspect.signature(u.ensure_config_file)) == "()"
    assert u.set_config_path.__doc__ == "Override qelbo config path (`None` restores `~/.qelbo/config.toml`)."
    assert u.ensure_config_file.__doc__ == "Ensure `~/.qelbo/config.toml` (or override) exists and return its path."


def test_ensure_creates_the_default_file_under_home(home):
    path = u.ensure_config_file()
    assert path == str(home / ".qelbo" / "config.toml")
    with open(path) as f:
        assert f.read() == DEFAULT_TEXT
    # A second call leaves an edited file alone.
    with open(path, "w") as f:
        f.write("# mine\n")
    assert u.ensure_config_file() == path
    with open(path) as f:
        assert f.read() == "# mine\n"


def test_override_names_the_file_itself(home, tmp_path):
    target = tmp_path / "deep" / "er" / "settings.toml"
    assert u.set_config_path(str(target)) is None
    # Read (and created) at once, not at the next call.
    assert target.read_text() == DEFAULT_TEXT
    assert u.ensure_config_file() == str(target)
    u.set_config_path(path=None)
    assert u.ensure_config_file() == str(home / ".qelbo" / "config.toml")
    u.set_config_path(str(target))
    u.set_config_path()
    assert u.ensure_config_file() == str(home / ".qelbo" / "config.toml")
    # Failures are silent: the path comes back even when nothing could be written.
    u.set_config_path("")
    assert u.ensure_config_file() == ""


def test_path_must_be_a_str(home, tmp_path):
    for bad in (tmp_path / "c.toml", b"/tmp/c.toml", 3):
        with pytest.raises(TypeError, match="path"):
            u.set_config_path(bad)
    with pytest.raises(TypeError):
        u.ensure_config_file(None)


def test_path_with_a_nul_byte_is_refused_and_the_override_kept(home, tmp_path):
    # The file system would see only the part before the NUL: another file than the one named.
    target = tmp_path / "kept.toml"
    u.set_config_path(str(target))
    with pytest.raises(ValueError, match="NUL"):
        u.set_config_path(str(tmp_path / "cut") + "\0.toml")
    assert not (tmp_path / "cut").exists()
    assert u.ensure_config_file() == str(target)
    u.set_config_path(None)


def test_non_utf8_home_comes_back_with_replacement_characters(tmp_path):
    # Environment bytes cannot be set from a str in this process; use a child.
    code = (
        "import qel.qelcore as q\n"
        "import sys\n"
        "sys.stdout.write(ascii(q.util.ensure_config_file()))\n"
    )
    home = os.fsencode(str(tmp_path)) + b"/h\xffme"
    env = dict(os.environb)
    env[b"HOME"] = home
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True)
    assert out.stdout.decode() == ascii(str(tmp_path) + "/h\ufffdme/.qelbo/config.toml")
    assert os.path.exists(home + b"/.qelbo/config.toml")
