"""Search throughput beside NumPy and FAISS, and with two threads on one backend.

Run with the installed package:
    .venv/bin/python bench/bench_search.py [vectors] [dimension]
Defaults: 100000 vectors of 768 float32 (307 MB), top_k 10, one query at a time.

Every side runs on one thread. NumPy (one BLAS thread) keeps the stored norms
from the start, as the backend keeps them from ingest, and per query does one
float32 matrix-vector product, a division by the norms and an argpartition.
FAISS (faiss-cpu, skipped when it is not installed) runs IndexFlatIP over
normalised vectors with one OpenMP thread. The bandwidth column counts the
bytes of stored vectors each query reads: a search cannot do better than one
pass over them.

The two-thread rows run two Python threads searching one backend at once,
against the best one-thread rate for the same queries. The first size is far
beyond the caches, the second small enough for the last level of many
processors. Two searches read the stored vectors in the same order, so the
one behind often finds them already fetched by the one ahead: on a memory
bus that one search alone nearly fills, that is what lets two go faster.
"""

import sys
import threading
import time

import numpy as np
from threadpoolctl import threadpool_limits

from zorvex_rs.backend import BruteForceBackend

TOP_K = 10


def best_per_query(fn, queries, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for q in queries:
            fn(q)
        best = min(best, (time.perf_counter() - start) / len(queries))
    return best


def threads_per_query(backend, queries, threads, rounds, repeat=5):
    """Wall time per query with `threads` threads each running `queries` `rounds` times."""

    def run():
        for _ in range(rounds):
            for q in queries:
                backend.search(q, TOP_K)

    best = float("inf")
    for _ in range(repeat):
        workers = [threading.Thread(target=run) for _ in range(threads)]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        best = min(best, (time.perf_counter() - start) / (threads * rounds * len(queries)))
    return best


def ingest(stored):
    backend = BruteForceBackend()
    ids = [f"doc-{k}" for k in range(len(stored))]
    start = time.perf_counter()
    backend.ingest(dict(zip(ids, stored)))
    return backend, ids, time.perf_counter() - start


def faiss_index(unit):
    try:
        import faiss
    except ImportError:
        return None
    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatIP(unit.shape[1])
    index.add(unit)
    return index


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    d = int(sys.argv[2]) if len(sys.argv) > 2 else 768
    rng = np.random.default_rng(0)
    stored = rng.standard_normal((n, d)).astype(np.float32)
    queries = rng.standard_normal((12, d)).astype(np.float32)
    backend, ids, ingest_s = ingest(stored)
    mb = n * d * 4 / 1e6

    with threadpool_limits(limits=1, user_api="blas"):
        norms = np.linalg.norm(stored, axis=1)
        unit = stored / norms[:, None]
        index = faiss_index(unit)

        def numpy_top(q):
            scores = (stored @ q) / (norms * np.linalg.norm(q))
            top = np.argpartition(-scores, TOP_K)[:TOP_K]
            return top[np.argsort(-scores[top], kind="stable")]

        def faiss_top(q):
            return index.search((q / np.linalg.norm(q))[None, :], TOP_K)[1][0]

        # Same answers, up to the others' own rounding.
        for q in queries[:2]:
            got = {r.vector_id for r in backend.search(q, TOP_K)}
            for other in [numpy_top] + ([faiss_top] if index is not None else []):
                assert len(got & {ids[k] for k in other(q)}) >= TOP_K - 1

        rows = [("zorvex_rs BruteForceBackend", best_per_query(lambda q: backend.search(q, TOP_K), queries)),
                ("numpy matvec + argpartition", best_per_query(numpy_top, queries))]
        if index is not None:
            rows.append(("faiss IndexFlatIP", best_per_query(faiss_top, queries)))

    print(f"{n} x {d} float32 ({mb:.0f} MB), top_k={TOP_K}, one thread each; ingest {ingest_s:.2f} s")
    if index is None:
        print("faiss-cpu is not installed: its row is skipped")
    print(f"{'search':<30} {'ms/query':>9} {'queries/s':>10} {'GB/s':>6}")
    for name, t in rows:
        print(f"{name:<30} {t * 1e3:>9.2f} {1 / t:>10.1f} {mb / 1e3 / t:>6.1f}")
    ours = rows[0][1]
    for name, t in rows[1:]:
        print(f"speed-up over {name}: {t / ours:.2f}x")

    print("two threads searching one backend (queries/s, speed-up over one thread):")
    sizes = [(backend, n, ours), (ingest(stored[: min(n, 10_000)])[0], min(n, 10_000), float("inf"))]
    for b, rows_n, earlier in sizes:
        rounds = max(1, 200_000 // rows_n)  # long enough for the clock to settle
        one = min(earlier, threads_per_query(b, queries, 1, rounds))
        two = threads_per_query(b, queries, 2, rounds)
        print(f"  {rows_n:>7} vectors ({rows_n * d * 4 / 1e6:5.0f} MB): one {1 / one:8.1f}, two {1 / two:8.1f}, "
              f"speed-up {one / two:.2f}x, {rows_n * d * 4 / 1e9 / two:.1f} GB/s together")


if __name__ == "__main__":
    main()
