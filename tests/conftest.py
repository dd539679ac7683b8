import subprocess
import sys

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter and returns its stdout."""

    def run(code: str, **kwargs) -> str:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600, **kwargs)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run
