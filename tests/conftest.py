import subprocess
import sys
import threading
import time

import pytest


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
