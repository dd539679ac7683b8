"""The type stubs agree with the installed extension and with a typed user script.

mypy is a test requirement: without it these tests fail rather than skip, so a
missing install cannot pass for a clean check.
"""

import importlib.util
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import zorvex_rs

HERE = Path(__file__).parent
SOURCE_PACKAGE = HERE.parent / "python" / "zorvex_rs"
INSTALLED_PACKAGE = Path(zorvex_rs.__file__).parent
# Kept between runs: a warm cache saves most of mypy's time (NumPy's stubs).
MYPY_CACHE = Path(tempfile.gettempdir()) / "zorvex_rs-mypy-cache"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs `python -m <module> args...` in a neutral directory; returns (code, output)."""
    if importlib.util.find_spec("mypy") is None:
        pytest.fail("mypy is not installed; it is a test requirement (pip install mypy==2.4.1)")
    workdir = tmp_path_factory.mktemp("mypy")
    # An explicit, empty configuration: no project or user file changes the checks.
    config = workdir / "mypy.ini"
    config.write_text("[mypy]\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("MYPY")}

    def run(module, *args):
        done = subprocess.run(
            [sys.executable, "-m", module, *[str(a) for a in args]],
            cwd=workdir, env=env, capture_output=True, text=True, timeout=600,
        )
        return done.returncode, done.stdout + done.stderr

    run.config = config
    return run


def test_stubs_match_the_extension(mypy):
    code, output = mypy(
        "mypy.stubtest", "zorvex_rs", "--mypy-config-file", mypy.config,
        "--allowlist", HERE / "stubtest_allowlist.txt",
    )
    assert code == 0, output


@pytest.mark.parametrize(
    "target",
    [["-p", "zorvex_rs"], [HERE / "typing_usage.py"], [HERE.parent / "examples" / "dask_search.py"]],
    ids=["package", "user-script", "dask-example"],
)
def test_strict_type_check(mypy, target):
    code, output = mypy("mypy", "--strict", "--config-file", mypy.config, "--cache-dir", MYPY_CACHE, *target)
    assert code == 0, output


def test_user_script_runs():
    # The typed script's runtime half: the behaviour its annotations claim.
    import typing_usage

    typing_usage.main()


@pytest.mark.parametrize("name", ["_core.pyi", "_internal.pyi", "py.typed"])
def test_installed_package_ships_the_stubs(name):
    installed = INSTALLED_PACKAGE / name
    assert installed.is_file(), f"{name} is missing from the installed package"
    source = SOURCE_PACKAGE / name
    if source.is_file():
        assert installed.read_bytes() == source.read_bytes(), f"installed {name} is stale: reinstall the package"
