import os
import subprocess
import sys
import threading
import time

import pytest

# Set by scripts/sanitize.sh, whose build runs under AddressSanitizer.
SANITIZED = os.environ.get("ZORVEX_SANITIZED") == "1"

# Tests whose measure or set-up ASan invalidates, by node id (every
# parametrization when no brackets are given). LeakSanitizer, run at the end of
# the sanitized session, stands in for the memory measures.
_ASAN_QUARANTINE = "ASan holds freed memory in quarantine and replaces glibc's heap, so RSS and heap measures are meaningless"
SKIPPED_WHEN_SANITIZED = {
    "tests/test_rotation.py::test_memory_exhaustion_raises_memory_error_and_poisons_nothing":
        "an address-space limit cannot be set under ASan, whose shadow memory reserves terabytes",
    "tests/test_rotation.py::test_result_vectors_do_not_leak": _ASAN_QUARANTINE,
    "tests/test_leaks.py::test_leftovers_sees_a_small_leak_per_call[<lambda>-heap]":
        "ASan replaces glibc's heap, which this instrument reads; its deliberate leak would also fail the leak check",
    "tests/test_leaks.py::test_large_result_vectors_give_their_memory_back": _ASAN_QUARANTINE,
    "tests/test_leaks.py::test_large_batches_and_exports_give_their_memory_back": _ASAN_QUARANTINE,
    "tests/test_leaks.py::test_stateful_objects_give_their_memory_back": _ASAN_QUARANTINE,
}


def pytest_collection_modifyitems(items):
    if not SANITIZED:
        return
    for item in items:
        reason = SKIPPED_WHEN_SANITIZED.get(item.nodeid) or SKIPPED_WHEN_SANITIZED.get(item.nodeid.split("[")[0])
        if reason:
            item.add_marker(pytest.mark.skip(reason="sanitized build: " + reason))


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter and returns its stdout."""

    def run(code: str, **kwargs) -> str:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600, **kwargs)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run


def spin_beside(work):
    """Runs `work` on a thread while this thread spins; returns both CPU times.

    CPU time rather than wall-clock gaps, so a busy machine cannot fake a
    stall: had `work` kept the interpreter lock, the spinning thread would run
    only in the hand-overs between calls and use a small fraction of `work`'s
    time. A short switch interval asks for the lock back promptly.
    """
    done, worker = threading.Event(), []

    def run():
        start = time.thread_time()
        work()
        worker.append(time.thread_time() - start)
        done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    try:
        thread = threading.Thread(target=run)
        start = time.thread_time()
        thread.start()
        while not done.is_set():
            pass
        spinning = time.thread_time() - start
        thread.join()
    finally:
        sys.setswitchinterval(old)
    return spinning, worker[0]
