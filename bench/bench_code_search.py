"""Search over compressed codes beside exact search, NumPy and FAISS, in one run.

Run with the installed package (faiss-cpu and threadpoolctl installed):
    .venv/bin/python bench/bench_code_search.py [vectors] [dimension] [--quick]
Defaults: 100,000 clustered unit vectors of 768 float32, 100 held-out queries,
top_k 10, everything on one thread.

Rows: CompressedBackend at 2, 4 and 8 bits (Lloyd-Max codebooks from train_codebook) (scan alone, and re-ranked against a
BruteForceBackend of the originals with rerank = 10 x top_k), one query per call
and batches of 100; BruteForceBackend one query per call and search_batch with
1,000 queries; FAISS IndexScalarQuantizer (4 and 8 bits), IndexPQFastScan and
IndexRaBitQFastScan (inner product over the unit vectors, so cosine). Recall@10
is against exact float64 search of the originals. Bytes per vector are what
each index holds per vector (ours: memory_bytes / count, ids included).

The "read" column is the time a plain streaming pass (NumPy summing the bytes as
uint64) takes over as many bytes as the row's codes, measured here in the same
run, in turns with the single-query searches (the best of five turns of each):
scan time / read time says how close a search comes to reading its codes once
at the machine's speed.

A second table repeats the recall figures on the bundled sentence embeddings
(data/sample.npz: 10,000 documents, 500 queries, d = 384).
"""

import sys
import time
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_limits

from zorvex_rs.backend import BruteForceBackend, CompressedBackend, search_batch
from zorvex_rs.codec import CodecConfig, train_codebook

from _data import clustered

TOP_K = 10
RERANK = 10 * TOP_K
ROOT = Path(__file__).resolve().parent.parent

try:
    import faiss
except ImportError:  # the FAISS rows are skipped
    faiss = None


def truth(x, queries, k=TOP_K):
    """Exact top-k by float64 cosine over the originals (unit vectors)."""
    q = queries.astype(np.float64)
    scores = np.empty((len(q), len(x)))
    for s in range(0, len(x), 20_000):
        scores[:, s:s + 20_000] = q @ x[s:s + 20_000].astype(np.float64).T
    return np.argsort(-scores, axis=1, kind="stable")[:, :k]


def recall(found, want):
    return float(np.mean([len(set(f) & set(w)) / len(w) for f, w in zip(found, want)]))


def ids_of(results):
    return [[int(r.vector_id) for r in rs] for rs in results]


def best_time(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def read_and_scan(nbytes, search, queries, rounds=5):
    """Best time of one streaming pass over nbytes (page-aligned, touched) and
    best time per query of one-at-a-time searches, measured in turns, so that a
    busy spell on a shared host lands on neither alone."""
    buf = np.ones(nbytes // 8, np.uint64)
    buf.sum()
    read = scan = float("inf")
    for _ in range(rounds):
        read = min(read, best_time(lambda: buf.sum(), repeat=7))
        scan = min(scan, best_time(lambda: [search(q) for q in queries], repeat=1) / len(queries))
    return read, scan


def per_query(fn, queries):
    return best_time(lambda: [fn(q) for q in queries]) / len(queries)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    n = int(args[0]) if args else 100_000
    d = int(args[1]) if len(args) > 1 else 768
    x = clustered(n, d, seed=1)
    queries = clustered(100, d, seed=2)
    many = clustered(1000, d, seed=3)
    want = truth(x, queries)
    ids = [str(i) for i in range(n)]
    rows = []

    exact = BruteForceBackend()
    exact.ingest(dict(zip(ids, x)))
    single = per_query(lambda q: exact.search(q, TOP_K), queries[:20])
    batch = best_time(lambda: search_batch(exact, many, TOP_K), repeat=1) / len(many)
    got = ids_of(search_batch(exact, queries, TOP_K))
    rows.append(("BruteForceBackend", recall(got, want), x.nbytes / n + 5, single, None, None))
    rows.append((f"search_batch(BruteForceBackend), {len(many)} queries", recall(got, want), x.nbytes / n + 5,
                 batch, None, None))

    sample = x[np.random.default_rng(4).choice(n, min(n, 20_000), replace=False)]
    for bits in (2, 4, 8):
        config = CodecConfig(bits, seed=7, dimension=d, residual_enabled=False)
        codebook = train_codebook(sample, config)
        backend = CompressedBackend(config, codebook)
        backend.ingest(dict(zip(ids, x)))
        code_bytes = n * (bits * d // 8)
        read, t1 = read_and_scan(code_bytes, lambda q: backend.search(q, TOP_K), queries)
        tb = best_time(lambda: backend.search_batch(queries, TOP_K)) / len(queries)
        r0 = recall(ids_of(backend.search_batch(queries, TOP_K)), want)
        tr = per_query(lambda q: backend.search(q, TOP_K, rerank=RERANK, exact=exact), queries)
        trb = best_time(lambda: backend.search_batch(queries, TOP_K, rerank=RERANK, exact=exact)) / len(queries)
        rr = recall(ids_of(backend.search_batch(queries, TOP_K, rerank=RERANK, exact=exact)), want)
        held = backend.memory_bytes / n
        rows.append((f"CompressedBackend {bits}-bit", r0, held, t1, tb, read))
        rows.append((f"CompressedBackend {bits}-bit, rerank {RERANK} (exact)", rr, held, tr, trb, None))
        del backend

    if faiss is not None:
        faiss.omp_set_num_threads(1)
        specs = [("FAISS SQ 4-bit", lambda: faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit,
                                                                       faiss.METRIC_INNER_PRODUCT)),
                 ("FAISS SQ 8-bit", lambda: faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_8bit,
                                                                       faiss.METRIC_INNER_PRODUCT)),
                 (f"FAISS PQFastScan M={d // 2}x4", lambda: faiss.IndexPQFastScan(d, d // 2, 4,
                                                                                 faiss.METRIC_INNER_PRODUCT)),
                 (f"FAISS PQFastScan M={d}x4", lambda: faiss.IndexPQFastScan(d, d, 4, faiss.METRIC_INNER_PRODUCT)),
                 ("FAISS RaBitQFastScan 4-bit", lambda: faiss.IndexRaBitQFastScan(d, faiss.METRIC_INNER_PRODUCT,
                                                                                   32, 4))]
        if quick:
            specs = specs[:2]
        for name, make in specs:
            index = make()
            index.train(sample)
            index.add(x)
            t1 = per_query(lambda q: index.search(q[None, :], TOP_K), queries)
            tb = best_time(lambda: index.search(queries, TOP_K)) / len(queries)
            got = index.search(queries, TOP_K)[1]
            rows.append((name, recall(got, want), index.sa_code_size(), t1, tb, None))
            del index

    print(f"{n:,} x {d} clustered unit vectors, {len(queries)} queries, top_k {TOP_K}, one thread")
    print(f"{'index':<48} {'recall@10':>9} {'B/vector':>9} {'q/s single':>11} {'q/s batch':>10} "
          f"{'scan/read':>9}")
    base = rows[0][3]
    for name, rec, held, t1, tb, read in rows:
        ratio = f"{t1 / read:9.2f}" if read else " " * 9
        batch_rate = f"{1 / tb:10,.0f}" if tb else " " * 10
        print(f"{name:<48} {rec:9.3f} {held:9.0f} {1 / t1:11,.0f} {batch_rate} {ratio}   "
              f"({base / t1:.1f}x BruteForce single)")

    sample_recall()


def sample_recall():
    """Recall on the bundled sentence embeddings, with and without re-ranking."""
    data = np.load(ROOT / "data" / "sample.npz")
    docs = data["docs"].astype(np.float32)
    queries = data["queries"].astype(np.float32)
    n, d = docs.shape
    want = truth(docs, queries)
    ids = [str(i) for i in range(n)]
    exact = BruteForceBackend()
    exact.ingest(dict(zip(ids, docs)))
    print(f"\nsentence embeddings (data/sample.npz): {n:,} x {d}, {len(queries)} queries, recall@{TOP_K}")
    print(f"{'bits':>4} {'scan':>6} {'rerank exact':>13} {'rerank residual':>16}")
    for bits in (2, 4, 8):
        config = CodecConfig(bits, seed=7, dimension=d, residual_enabled=True)
        codebook = train_codebook(docs[np.random.default_rng(4).choice(n, 2000, replace=False)], config)
        backend = CompressedBackend(config, codebook)
        backend.ingest(dict(zip(ids, docs)))
        scan = recall(ids_of(backend.search_batch(queries, TOP_K)), want)
        by_exact = recall(ids_of(backend.search_batch(queries, TOP_K, rerank=RERANK, exact=exact)), want)
        by_residual = recall(ids_of(backend.search_batch(queries, TOP_K, rerank=RERANK)), want)
        print(f"{bits:>4} {scan:6.3f} {by_exact:13.3f} {by_residual:16.3f}")


if __name__ == "__main__":
    with threadpool_limits(1):
        main()
