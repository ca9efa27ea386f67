"""The installed module finds the library installed beside it, with nothing
but the prefix's Python directory on PYTHONPATH."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import Lan, peer_environment

PYTHON_DIR = "lib/python3/dist-packages"  # the default of DYADC_PYTHON_INSTALL_DIR


def test_installed_module_loads_the_installed_library(lan: Lan) -> None:
    build = os.environ.get("DYADC_BUILD_DIR")
    if not build:
        pytest.skip("DYADC_BUILD_DIR names no build to install")
    with tempfile.TemporaryDirectory() as work:
        prefix = Path(work) / "prefix"
        subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], check=True, capture_output=True)
        assert (prefix / PYTHON_DIR / "dyadc" / "py.typed").exists()
        env = peer_environment()
        env.pop("DYADC_LIBRARY", None)
        env.update(PYTHONPATH=str(prefix / PYTHON_DIR), DYADC_LAN_KEEP=work)
        # Loading the library makes the workstation's Session: in a
        # workstation, never on this machine.
        script = "import dyadc._library as l; print(l.library()._name); print(l.candidates()[0])"
        process = lan.spawn(1, [sys.executable, "-c", script], env)
        out, err = process.communicate(timeout=60)
        assert process.returncode == 0, err
        loaded = Path(out.split()[0])
        assert loaded.is_relative_to(prefix) and loaded.name == "libdyadc.so.2", out
        assert loaded.resolve().is_file()
