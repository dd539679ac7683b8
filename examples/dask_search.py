"""Sharded search on a Dask cluster, each worker searching its shard files in place.

The driver saves a collection as N shard files (`zorvex_rs.save`), one backend
per shard. Each shard is pinned to one worker; the first task that needs it
opens it with `zorvex_rs.load(path, mmap=True)` and the worker keeps it open
across queries, so a query batch costs one task per shard and no data moves
but the queries and the per-shard top-k. The driver merges the per-shard
lists with the backends' own ordering rule (score descending, then id bytes
ascending), so the result equals one backend holding every vector, for
`BruteForceBackend` and for `CompressedBackend` searched over its codes.

Re-ranked code search (`rerank` > 0) equals one backend too. One backend
re-scores the best C = max(top_k, rerank) of its scan; a scan score depends only
on the query and the vector, so those C are the best C of the shards' own best
C lists. Each shard returns its best C with both their scan scores and their
exact ones (against the residuals, or against an exact backend saved as shards
of the same split), and the driver picks the C by scan score, then the top_k
of those by exact score.

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
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray
from dask.distributed import Client, LocalCluster, get_worker

import zorvex_rs
from zorvex_rs.backend import BruteForceBackend, CompressedBackend, search_batch

Hit = tuple[str, float]
Backend = BruteForceBackend | CompressedBackend


def save_shards(vectors: NDArray[np.float32], ids: list[str], shards: int, directory: str | os.PathLike[str],
                make_backend: Callable[[], Backend], prefix: str = "shard") -> list[str]:
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


def _open_shard(path: str) -> Any:
    """The worker's open backend for `path`, mapped on first use and kept."""
    worker = get_worker()
    shards: dict[str, Any] | None = getattr(worker, "zorvex_shards", None)
    if shards is None:
        shards = {}
        setattr(worker, "zorvex_shards", shards)
    if path not in shards:
        shards[path] = zorvex_rs.load(path, mmap=True)
    return shards[path]


def search_shard(path: str, queries: NDArray[np.float32], top_k: int) -> list[list[Hit]]:
    """Top-k of one shard for every query row, as plain (id, score) pairs."""
    backend = _open_shard(path)
    if isinstance(backend, CompressedBackend):
        lists = backend.search_batch(queries, top_k)
    else:
        lists = search_batch(backend, queries, top_k)
    return [[(r.vector_id, r.score) for r in results] for results in lists]


def rerank_shard(path: str, queries: NDArray[np.float32], wanted: int, exact_path: str | None) -> list[list[tuple[str, float, float]]]:
    """One code shard's best `wanted` candidates per query as (id, scan score, exact score)."""
    backend = _open_shard(path)
    exact = _open_shard(exact_path) if exact_path is not None else None
    scans = backend.search_batch(queries, wanted)
    # top_k = rerank = wanted: every candidate comes back, re-scored.
    rescored = backend.search_batch(queries, wanted, rerank=wanted, exact=exact)
    out = []
    for scan, again in zip(scans, rescored):
        exact_of = {r.vector_id: r.score for r in again}
        out.append([(r.vector_id, r.score, exact_of[r.vector_id]) for r in scan])
    return out


def merge(per_shard: list[list[list[Hit]]], top_k: int) -> list[list[Hit]]:
    """Per query, the best top_k of every shard's lists by the backends' rule:
    higher score first, equal scores by identifier bytes ascending."""
    merged = []
    for lists in zip(*per_shard):
        hits = [hit for shard_hits in lists for hit in shard_hits]
        hits.sort(key=lambda h: (-h[1], h[0].encode("utf-8")))
        merged.append(hits[:top_k])
    return merged


def merge_reranked(per_shard: list[list[list[tuple[str, float, float]]]], top_k: int, wanted: int) -> list[list[Hit]]:
    """Per query, the best `wanted` by scan score, then the best top_k of those by exact score."""
    merged = []
    for lists in zip(*per_shard):
        hits = [hit for shard_hits in lists for hit in shard_hits]
        hits.sort(key=lambda h: (-h[1], h[0].encode("utf-8")))
        chosen = sorted(hits[:wanted], key=lambda h: (-h[2], h[0].encode("utf-8")))
        merged.append([(h[0], h[2]) for h in chosen[:top_k]])
    return merged


class ShardedSearch:
    """Shard files pinned to workers; `search` sends a query batch to every shard.

    `exact_paths`, when given, are exact-backend shards of the same split, one
    per code shard and on the same worker, for `search(..., rerank=...)`.
    """

    def __init__(self, client: Client, paths: list[str], exact_paths: list[str] | None = None):
        if exact_paths is not None and len(exact_paths) != len(paths):
            raise ValueError(f"{len(exact_paths)} exact shards for {len(paths)} shards; one each is wanted")
        self.client = client
        self.paths = paths
        self.exact_paths = exact_paths
        workers = sorted(client.scheduler_info()["workers"])
        self.owner = {p: workers[i % len(workers)] for i, p in enumerate(paths)}

    def _submit(self, fn: Callable[..., Any], path: str, *args: Any) -> Any:
        return self.client.submit(fn, path, *args, workers=[self.owner[path]], allow_other_workers=False, pure=False)

    def search(self, queries: NDArray[Any], top_k: int, rerank: int = 0) -> list[list[Hit]]:
        queries = np.ascontiguousarray(queries, dtype=np.float32)
        if rerank <= 0:
            futures = [self._submit(search_shard, p, queries, top_k) for p in self.paths]
            return merge(self.client.gather(futures), top_k)  # type: ignore[no-untyped-call]  # Dask is untyped
        wanted = max(top_k, rerank)
        exact: list[str | None] = list(self.exact_paths) if self.exact_paths else [None] * len(self.paths)
        futures = [self._submit(rerank_shard, p, queries, wanted, e) for p, e in zip(self.paths, exact)]
        return merge_reranked(self.client.gather(futures), top_k, wanted)  # type: ignore[no-untyped-call]


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

    with tempfile.TemporaryDirectory() as tmp, LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        exact_paths: list[str] | None = None
        exact_whole: Backend | None = None
        for name, make, rerank in (("BruteForceBackend", BruteForceBackend, 0),
                                   ("CompressedBackend 4-bit", lambda: CompressedBackend(config, codebook), 0),
                                   ("CompressedBackend 4-bit, rerank 100 against exact shards",
                                    lambda: CompressedBackend(config, codebook), 100)):
            paths = dask_search.save_shards(x, ids, args.shards, tmp, make, prefix=name.split()[0])
            whole = make()
            whole.ingest(dict(zip(ids, x)))
            t = time.perf_counter()
            if rerank:
                assert isinstance(whole, CompressedBackend) and isinstance(exact_whole, BruteForceBackend)
                expected = whole.search_batch(queries, args.top_k, rerank=rerank, exact=exact_whole)
            elif isinstance(whole, CompressedBackend):
                expected = whole.search_batch(queries, args.top_k)
            else:
                expected = search_batch(whole, queries, args.top_k)
            single = args.queries / (time.perf_counter() - t)
            sharded = dask_search.ShardedSearch(client, paths, exact_paths if rerank else None)
            sharded.search(queries[:1], args.top_k, rerank)  # opens every shard on its worker
            t = time.perf_counter()
            got = sharded.search(queries, args.top_k, rerank)
            elapsed = time.perf_counter() - t
            if exact_paths is None:
                # The exact shards are the first kind's files, on the same workers.
                exact_paths, exact_whole = paths, whole
            same = got == [[(r.vector_id, r.score) for r in results] for results in expected]
            print(f"{name}: {args.rows:,} x {args.dimension} in {args.shards} shards on {args.workers} workers: "
                  f"{args.queries / elapsed:,.0f} queries/s (batch of {args.queries}, top {args.top_k}; one backend "
                  f"in this process: {single:,.0f} queries/s); identical to one backend: {same}")


if __name__ == "__main__":
    _demo()
