"""The Dask example on a multi-process local cluster gives the bytes of a plain loop.

Dask is a test requirement: a missing one fails these tests instead of skipping them.
"""

import pathlib
import pickle
import sys

import cloudpickle
import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster

from zorvex_rs.codec import Codebook, Codec, CodecConfig

# Worker processes are spawned with this process's sys.path, so they import the example too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import dask_compress  # noqa: E402

ROWS = 1003
DIM = 97  # odd, so 2- and 4-bit records end in a part-filled byte


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None)
    with cluster:
        with Client(cluster) as client:
            client.wait_for_workers(2)
            yield client


@pytest.fixture(scope="module")
def x():
    return np.random.default_rng(7).standard_normal((ROWS, DIM)).astype(np.float32)


@pytest.mark.parametrize(
    "bits, residual, chunks",
    [(4, True, (170, -1)), (2, False, (333, 40)), (8, True, (250, -1))],
    ids=["4-bit-residual", "2-bit-column-chunks", "8-bit-residual"],
)
def test_cluster_bytes_match_one_process(client, x, bits, residual, chunks):
    config = CodecConfig(bits, 1000 + bits, DIM, residual)
    codebook = Codebook.train(x[:400], config)
    records = Codec().compress_batch(x, config, codebook)
    expected = [record.to_bytes() for record in records]

    plain = dask_compress.PlainCodec.of(config, codebook)
    blobs = dask_compress.compress_array(da.from_array(x, chunks=chunks), plain)
    assert blobs.chunks[0] == da.from_array(x, chunks=chunks).chunks[0]
    # On the cluster, every task and its arguments are pickled to a worker process.
    result = client.compute(blobs).result()

    assert result.dtype == np.uint8 and result.shape == (ROWS, len(expected[0]))
    assert [row.tobytes() for row in result] == expected

    picked = [0, chunks[0] - 1, chunks[0], ROWS - 1]  # both sides of a block edge, and the short last block
    restored = dask_compress.decompress_rows(result[picked], plain)
    for row, i in zip(restored, picked):
        assert np.array_equal(row, Codec().decompress(records[i], config, codebook))


def test_codebook_trained_through_cluster(client, x):
    config = CodecConfig(4, 3, DIM)
    plain = dask_compress.train_codebook(da.from_array(x, chunks=(300, -1)), config, sample_rows=ROWS)
    assert np.array_equal(plain.entries, Codebook.train(x, config).entries)


@pytest.mark.parametrize("dumps", [pickle.dumps, cloudpickle.dumps], ids=["pickle", "cloudpickle"])
def test_module_objects_do_not_pickle_but_plain_values_do(x, dumps):
    config = CodecConfig(4, 5, DIM, False)
    codebook = Codebook.train(x[:100], config)
    for obj in (config, codebook, Codec(), Codec().compress_batch(x[:1], config, codebook)[0]):
        with pytest.raises(TypeError):
            dumps(obj)
    rebuilt, rebuilt_codebook = pickle.loads(dumps(dask_compress.PlainCodec.of(config, codebook))).build()
    assert rebuilt.config_hash == config.config_hash
    assert np.array_equal(rebuilt_codebook.entries, codebook.entries)
