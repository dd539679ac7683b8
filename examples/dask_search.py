"""Sharded search on a Dask cluster, each worker searching its shard files in place.

The driver saves a collection as N shard files (`zorvex_rs.save`), one backend
per shard. Each shard is pinned to one worker; the first task that needs it
opens it with `zorvex_rs.load(path, mmap=True)` and the worker keeps it open
across queries, so a query batch costs one task per shard and no data moves
but the queries and the per-shard top-k. The driver merges the per-shard
lists with the backends' own ordering rule (score descending, then id bytes
ascending), so the result equals one backend holding every vector, for
`BruteForceBackend` and for `CompressedBackend` searched over its codes.

(Re-ranked code search is not sharded here: each shard would re-rank its own
best candidates, a superset of the single backend's, so the answers could
differ from the single backend's, usually for the better.)

The shard files must be readable by every worker at the same path (a local
cluster, or a shared file system).

Run a demonstration on a local cluster:

    python examples/dask_search.py --rows 200000 --dimension 384 --shards 2 --workers 2
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster, get_worker

import zorvex_rs
from zorvex_rs.backend import BruteForceBackend, CompressedBackend, search_batch

Hit = tuple[str, float]


def save_shards(vectors: np.ndarray, ids: list[str], shards: int, directory: str | os.PathLike[str],
                make_backend, prefix: str = "shard") -> list[str]:
    """Splits the rows into `shards` contiguous parts and saves each as a backend file."""
    paths = []
    bounds = np.linspace(0, len(ids), shards + 1).astype(int)
    for s in range(shards):
        backend = make_backend()
        lo, hi = bounds[s], bounds[s + 1]
        backend.ingest(dict(zip(ids[lo:hi], vectors[lo:hi])))
        path = str(Path(directory) / f"{prefix}-{s:03d}.zvx")
        zorvex_rs.save(backend, path)
        paths.append(path)
    return paths


def _open_shard(path: str):
    """The worker's open backend for `path`, mapped on first use and kept."""
    worker = get_worker()
    shards = getattr(worker, "zorvex_shards", None)
    if shards is None:
        shards = worker.zorvex_shards = {}
    if path not in shards:
        shards[path] = zorvex_rs.load(path, mmap=True)
    return shards[path]


def search_shard(path: str, queries: np.ndarray, top_k: int) -> list[list[Hit]]:
    """Top-k of one shard for every query row, as plain (id, score) pairs."""
    backend = _open_shard(path)
    if isinstance(backend, CompressedBackend):
        lists = backend.search_batch(queries, top_k)
    else:
        lists = search_batch(backend, queries, top_k)
    return [[(r.vector_id, r.score) for r in results] for results in lists]


def merge(per_shard: list[list[list[Hit]]], top_k: int) -> list[list[Hit]]:
    """Per query, the best top_k of every shard's lists by the backends' rule:
    higher score first, equal scores by identifier bytes ascending."""
    merged = []
    for lists in zip(*per_shard):
        hits = [hit for shard_hits in lists for hit in shard_hits]
        hits.sort(key=lambda h: (-h[1], h[0].encode("utf-8")))
        merged.append(hits[:top_k])
    return merged


class ShardedSearch:
    """Shard files pinned to workers; `search` sends a query batch to every shard."""

    def __init__(self, client: Client, paths: list[str]):
        self.client = client
        self.paths = paths
        workers = sorted(client.scheduler_info()["workers"])
        self.owner = {p: workers[i % len(workers)] for i, p in enumerate(paths)}

    def search(self, queries: np.ndarray, top_k: int) -> list[list[Hit]]:
        queries = np.ascontiguousarray(queries, dtype=np.float32)
        futures = [
            self.client.submit(search_shard, p, queries, top_k, workers=[self.owner[p]], allow_other_workers=False,
                               pure=False)
            for p in self.paths
        ]
        return merge(self.client.gather(futures), top_k)


def _demo() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--dimension", type=int, default=384)
    parser.add_argument("--shards", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--top-k", type=int, default=10)
    args = parser.parse_args()

    from zorvex_rs.codec import Codec, CodecConfig

    # The tasks must reach the workers as references to this module, not as
    # copies of __main__'s functions (the workers import it by name).
    import dask_search

    rng = np.random.default_rng(0)
    x = rng.standard_normal((args.rows, args.dimension)).astype(np.float32)
    queries = rng.standard_normal((args.queries, args.dimension)).astype(np.float32)
    ids = [f"doc-{i:08d}" for i in range(args.rows)]
    config = CodecConfig(4, seed=7, dimension=args.dimension, residual_enabled=False)
    codebook = Codec().build_codebook(x[:20_000], config)

    with tempfile.TemporaryDirectory() as tmp, LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        for name, make in (("BruteForceBackend", BruteForceBackend),
                           ("CompressedBackend 4-bit", lambda: CompressedBackend(config, codebook))):
            paths = dask_search.save_shards(x, ids, args.shards, tmp, make, prefix=name.split()[0])
            whole = make()
            whole.ingest(dict(zip(ids, x)))
            t = time.perf_counter()
            if isinstance(whole, CompressedBackend):
                expected = whole.search_batch(queries, args.top_k)
            else:
                expected = search_batch(whole, queries, args.top_k)
            single = args.queries / (time.perf_counter() - t)
            sharded = dask_search.ShardedSearch(client, paths)
            sharded.search(queries[:1], args.top_k)  # opens every shard on its worker
            t = time.perf_counter()
            got = sharded.search(queries, args.top_k)
            elapsed = time.perf_counter() - t
            same = got == [[(r.vector_id, r.score) for r in results] for results in expected]
            print(f"{name}: {args.rows:,} x {args.dimension} in {args.shards} shards on {args.workers} workers: "
                  f"{args.queries / elapsed:,.0f} queries/s (batch of {args.queries}, top {args.top_k}; one backend "
                  f"in this process: {single:,.0f} queries/s); identical to one backend: {same}")


if __name__ == "__main__":
    _demo()
