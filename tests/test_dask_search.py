"""The sharded search example on a two-process local cluster equals one backend
holding every vector, for both backends."""

import pathlib
import sys

import numpy as np
import pytest
from dask.distributed import Client, LocalCluster

from zorvex_rs.backend import BruteForceBackend, CompressedBackend, search_batch
from zorvex_rs.codec import Codec, CodecConfig

# Worker processes are spawned with this process's sys.path, so they import the example too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import dask_search  # noqa: E402

ROWS, DIM = 997, 24


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None)
    with cluster, Client(cluster) as client:
        yield client


def data():
    rng = np.random.default_rng(4)
    x = rng.standard_normal((ROWS, DIM)).astype(np.float32)
    x[10:20] = x[0]  # equal scores across shard borders: ties go by id bytes
    x[500] = 0.0
    ids = [f"id-{(i * 7919) % ROWS}-é" for i in range(ROWS)]
    return x, ids, rng.standard_normal((23, DIM)).astype(np.float32)


@pytest.mark.parametrize("shards", [1, 3, 5])
@pytest.mark.parametrize("kind", ["brute", "codes2", "codes8"])
def test_sharded_equals_one_backend(client, tmp_path, kind, shards):
    x, ids, queries = data()
    if kind == "brute":
        make = BruteForceBackend
    else:
        bits = int(kind[-1])
        config = CodecConfig(bits, seed=3, dimension=DIM, residual_enabled=True)
        codebook = Codec().build_codebook(x, config)

        def make():
            return CompressedBackend(config, codebook)

    paths = dask_search.save_shards(x, ids, shards, tmp_path, make)
    whole = make()
    whole.ingest(dict(zip(ids, x)))
    sharded = dask_search.ShardedSearch(client, paths)
    for k in (1, 10, ROWS + 5):
        expected = whole.search_batch(queries, k) if kind != "brute" else search_batch(whole, queries, k)
        assert sharded.search(queries, k) == [[(r.vector_id, r.score) for r in res] for res in expected]


def test_workers_keep_their_shards_open(client, tmp_path):
    x, ids, queries = data()
    paths = dask_search.save_shards(x, ids, 4, tmp_path, BruteForceBackend)
    sharded = dask_search.ShardedSearch(client, paths)
    sharded.search(queries, 3)
    sharded.search(queries, 3)
    opened = client.run(lambda dask_worker: sorted(getattr(dask_worker, "zorvex_shards", {})))
    # Each shard is open on exactly the worker it is pinned to, once.
    held = sorted(p for ps in opened.values() for p in ps if p in paths)
    assert held == sorted(paths)
    for worker, ps in opened.items():
        assert all(sharded.owner[p] == worker for p in ps if p in paths)


@pytest.mark.parametrize("shards", [2, 5])
@pytest.mark.parametrize("against", ["residuals", "exact shards"])
def test_sharded_rerank_equals_one_backend(client, tmp_path, against, shards):
    x, ids, queries = data()
    config = CodecConfig(2, seed=3, dimension=DIM, residual_enabled=against == "residuals")
    codebook = Codec().build_codebook(x, config)
    paths = dask_search.save_shards(x, ids, shards, tmp_path, lambda: CompressedBackend(config, codebook))
    whole = CompressedBackend(config, codebook)
    whole.ingest(dict(zip(ids, x)))
    exact, exact_paths = None, None
    if against == "exact shards":
        exact = BruteForceBackend()
        exact.ingest(dict(zip(ids, x)))
        exact_paths = dask_search.save_shards(x, ids, shards, tmp_path, BruteForceBackend, prefix="exact")
    sharded = dask_search.ShardedSearch(client, paths, exact_paths)
    # 2-bit scans are coarse: each shard's own best candidates differ from the
    # whole collection's, which is what the merge must undo.
    for k, rerank in ((1, 5), (10, 40), (3, ROWS + 5)):
        expected = whole.search_batch(queries, k, rerank=rerank, exact=exact)
        got = sharded.search(queries, k, rerank)
        assert got == [[(r.vector_id, r.score) for r in res] for res in expected]
