"""Search throughput beside NumPy computing the same cosine scores.

Run with the installed package:  .venv/bin/python bench/bench_search.py [vectors] [dimension]
NumPy is limited to one BLAS thread so both sides use one core. Its side
normalises the stored matrix once (as the backend computes stored norms once,
at ingest), then per query does one float32 matrix-vector product and a full
argsort, which is the work the backend does; argpartition is shown for scale.
"""

import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

from zorvex_rs.backend import BruteForceBackend


def per_call(fn, queries, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for q in queries:
            fn(q)
        best = min(best, (time.perf_counter() - start) / len(queries))
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    d = int(sys.argv[2]) if len(sys.argv) > 2 else 384
    top_k = 10
    rng = np.random.default_rng(0)
    stored = rng.standard_normal((n, d)).astype(np.float32)
    queries = rng.standard_normal((8, d)).astype(np.float32)
    ids = [f"doc-{k}" for k in range(n)]

    backend = BruteForceBackend()
    start = time.perf_counter()
    backend.ingest(dict(zip(ids, stored)))
    ingest = time.perf_counter() - start

    with threadpool_limits(limits=1, user_api="blas"):
        unit = stored / np.linalg.norm(stored, axis=1, keepdims=True).astype(np.float32)

        def numpy_sort(q):
            scores = unit @ (q / np.linalg.norm(q))
            return np.argsort(-scores, kind="stable")[:top_k]

        def numpy_partition(q):
            scores = unit @ (q / np.linalg.norm(q))
            top = np.argpartition(-scores, top_k)[:top_k]
            return top[np.argsort(-scores[top], kind="stable")]

        for q in queries[:2]:  # same answers, up to NumPy's own rounding
            got = [r.vector_id for r in backend.search(q, top_k)]
            want = [ids[k] for k in numpy_sort(q)]
            assert len(set(got) & set(want)) >= top_k - 1, (got, want)

        t_ours = per_call(lambda q: backend.search(q, top_k), queries)
        t_sort = per_call(numpy_sort, queries)
        t_part = per_call(numpy_partition, queries)

    mb = n * d * 4 / 1e6
    print(f"{n} x {d} float32 ({mb:.0f} MB), top_k={top_k}, one thread each; ingest {ingest:.2f} s")
    print(f"{'search':<28} {'ms/query':>9} {'GB/s':>6} {'ratio':>6}")
    for name, t in (("zorvex_rs BruteForceBackend", t_ours), ("numpy matvec + argsort", t_sort),
                    ("numpy matvec + argpartition", t_part)):
        print(f"{name:<28} {t * 1e3:>9.2f} {mb / 1e3 / t:>6.1f} {t / t_sort:>6.2f}")
    print("ratio = time / (NumPy matvec + argsort) time (below 1: faster)")


if __name__ == "__main__":
    main()
