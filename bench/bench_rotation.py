"""Rotation: build cost, cache-hit cost and apply throughput beside NumPy.

Run with the installed package:  .venv/bin/python bench/bench_rotation.py
"""

import time

import numpy as np
from threadpoolctl import threadpool_limits

from zorvex_rs.codec import RotationMatrix


def best(fn, repeat=5, number=1):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def main():
    print(f"{'d':>6} {'build ms':>10} {'cache hit us':>13} {'build/hit':>10} "
          f"{'apply us':>9} {'numpy us':>9} {'ratio':>6} {'inverse us':>11} {'numpy us':>9} {'ratio':>6}")
    seed = 1000
    for d in (256, 768, 1536):
        builds = []
        for _ in range(3 if d < 1536 else 1):
            seed += 1  # a new seed misses the cache
            start = time.perf_counter()
            RotationMatrix.from_seed_and_dim(seed, d)
            builds.append(time.perf_counter() - start)
        build = min(builds)
        hit = best(lambda: RotationMatrix.from_seed_and_dim(seed, d), number=2000)

        r = RotationMatrix.from_seed_and_dim(seed, d)
        m = np.frombuffer(r.matrix_f64_bytes(), dtype="<f8").reshape(d, d)
        x = np.random.default_rng(0).standard_normal(d).astype(np.float32)
        n = max(10, 2_000_000 // (d * d))
        ours = best(lambda: r.apply(x), number=n)
        # The same work in NumPy: float64 product, then the float32 result.
        theirs = best(lambda: (m @ x.astype(np.float64)).astype(np.float32), number=n)
        ours_inv = best(lambda: r.apply_inverse(x), number=n)
        theirs_inv = best(lambda: (m.T @ x.astype(np.float64)).astype(np.float32), number=n)
        print(f"{d:>6} {build * 1e3:>10.1f} {hit * 1e6:>13.2f} {build / hit:>10.0f} "
              f"{ours * 1e6:>9.1f} {theirs * 1e6:>9.1f} {theirs / ours:>6.2f} "
              f"{ours_inv * 1e6:>11.1f} {theirs_inv * 1e6:>9.1f} {theirs_inv / ours_inv:>6.2f}")
    print("ratio = NumPy time / zorvex_rs time (above 1: zorvex_rs is faster)")


if __name__ == "__main__":
    with threadpool_limits(limits=1, user_api="blas"):
        main()
