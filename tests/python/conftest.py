import os
import tempfile

# Disk models read the per-user configuration file and create it when missing; the
# tests (and the processes they start) get a home of their own for it.
_home = tempfile.TemporaryDirectory(prefix="qel-test-home-")
os.environ["HOME"] = _home.name
os.environ.pop("USERPROFILE", None)
