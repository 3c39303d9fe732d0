"""Shared fixtures for the tests of the `marrowfin_rs._core` extension."""

import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture(scope="session")
def core():
    import marrowfin_rs._core as core

    return core


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (same executable, same sys.path,
    plus the given environment variables) and returns its stdout."""

    def run(code, **env):
        completed = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=120,
            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env),
        )
        assert completed.returncode == 0, completed.stderr
        return completed.stdout

    return run
