"""Compressing a large float32 matrix on a Dask cluster.

The module's objects (configurations, codebooks, records, the codec) cannot be
pickled, so nothing of theirs travels to a worker. The driver trains the
codebook once, on a sample, and ships only plain values: bit width, seed,
dimension, residual flag and the codebook entries as a float32 array. Each task
rebuilds the configuration and codebook from them, compresses its row block
with `Codec.compress_batch` and returns the records' byte forms.

Every record of one configuration has the same length, so a block's records
form a fixed-stride uint8 matrix: row i of the result is the byte form of row i
of the input, and `CompressedVector.from_bytes(result[i].tobytes())` reads it
back anywhere.

Run a demonstration on a local cluster:

    python examples/dask_compress.py --rows 200000 --dimension 384 --workers 2
"""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass

import dask.array as da
import numpy as np

from zorvex_rs.codec import Codebook, Codec, CodecConfig, CompressedVector

HEADER_BYTES = 70  # version, 64-byte hash, dimension, bit width


def record_length(bit_width: int, dimension: int, residual_enabled: bool) -> int:
    """Length of the byte form of every record made with this configuration."""
    packed = (dimension * bit_width + 7) // 8
    # One flag byte; with a residual, its 4-byte length and 2 bytes a coordinate.
    return HEADER_BYTES + packed + 1 + ((4 + 2 * dimension) if residual_enabled else 0)


@dataclass(frozen=True, eq=False)
class PlainCodec:
    """A configuration and codebook as values that pickle."""

    bit_width: int
    seed: int
    dimension: int
    residual_enabled: bool
    entries: np.ndarray  # float32 codebook entries, ascending

    @classmethod
    def of(cls, config: CodecConfig, codebook: Codebook) -> PlainCodec:
        return cls(config.bit_width, config.seed, config.dimension, config.residual_enabled,
                   np.array(codebook.entries, dtype=np.float32))

    def build(self) -> tuple[CodecConfig, Codebook]:
        config = CodecConfig(self.bit_width, self.seed, self.dimension, self.residual_enabled)
        return config, Codebook(np.ascontiguousarray(self.entries, dtype=np.float32), self.bit_width)

    @property
    def stride(self) -> int:
        return record_length(self.bit_width, self.dimension, self.residual_enabled)


def train_codebook(x: da.Array, config: CodecConfig, sample_rows: int = 20_000, seed: int = 0) -> PlainCodec:
    """Trains the codebook on the driver from a random sample of rows."""
    rows = x.shape[0]
    if rows > sample_rows:
        picked = np.sort(np.random.default_rng(seed).choice(rows, sample_rows, replace=False))
        sample = x[picked].compute()
    else:
        sample = x.compute()
    codebook = Codebook.train(np.ascontiguousarray(sample), config)
    return PlainCodec.of(config, codebook)


def compress_block(block: np.ndarray, plain: PlainCodec) -> np.ndarray:
    """Runs on a worker: one row block to a (rows, stride) uint8 matrix of byte forms."""
    config, codebook = plain.build()
    records = Codec().compress_batch(np.ascontiguousarray(block), config, codebook)
    blob = b"".join(record.to_bytes() for record in records)
    if len(blob) != len(records) * plain.stride:
        raise RuntimeError(f"byte forms of {len(records)} records take {len(blob)} bytes, "
                           f"not {len(records)} x {plain.stride}")
    return np.frombuffer(blob, dtype=np.uint8).reshape(len(records), plain.stride)


def compress_array(x: da.Array, plain: PlainCodec) -> da.Array:
    """Lazily compresses every row of `x`; the result is (rows, stride) uint8, chunked by x's rows."""
    if x.ndim != 2 or x.dtype != np.float32 or x.shape[1] != plain.dimension:
        raise ValueError(f"expected a 2-D float32 array of {plain.dimension} columns, got {x.dtype} {x.shape}")
    # Whole rows per block: a split row could not be compressed.
    x = x.rechunk({1: -1})
    return x.map_blocks(compress_block, plain, dtype=np.uint8, chunks=(x.chunks[0], (plain.stride,)))


def decompress_rows(blobs: np.ndarray, plain: PlainCodec) -> np.ndarray:
    """Decompresses rows of a byte-form matrix in this process."""
    config, codebook = plain.build()
    records = [CompressedVector.from_bytes(row.tobytes()) for row in blobs]
    return Codec().decompress_batch(records, config, codebook)


def main(argv: list[str] | None = None) -> None:
    from dask.distributed import Client, LocalCluster, wait

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--dimension", type=int, default=384)
    parser.add_argument("--bits", type=int, choices=(2, 4, 8), default=4)
    parser.add_argument("--no-residual", action="store_true")
    parser.add_argument("--chunk", type=int, default=10_000, help="rows per block")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    config = CodecConfig(args.bits, 42, args.dimension, not args.no_residual)
    x = da.random.default_rng(0).standard_normal((args.rows, args.dimension), chunks=(args.chunk, -1),
                                                 dtype=np.float32)
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster):
        # Materialise the input on the workers so the timing below is compression alone.
        x = x.persist()
        wait(x)
        start = time.perf_counter()
        plain = train_codebook(x, config)
        trained = time.perf_counter() - start
        start = time.perf_counter()
        blobs = compress_array(x, plain).persist()
        wait(blobs)
        elapsed = time.perf_counter() - start
        head, head_blobs = da.compute(x[:3], blobs[:3])
        block = x.blocks[0].compute()

    # The same work on one block in this process, for comparison.
    compress_block(block[:100], plain)
    start = time.perf_counter()
    compress_block(block, plain)
    alone = len(block) / (time.perf_counter() - start)

    print(f"{args.rows} x {args.dimension} float32, {config}")
    print(f"{args.workers} worker processes, {len(x.chunks[0])} blocks of up to {args.chunk} rows")
    print(f"codebook trained on the driver in {trained:.2f} s")
    print(f"compressed in {elapsed:.2f} s: {args.rows / elapsed:,.0f} rows/s, "
          f"{x.nbytes / elapsed / 2**20:,.0f} MiB/s of float32 input")
    print(f"one process without the cluster: {alone:,.0f} rows/s")
    print(f"{plain.stride} bytes a record instead of {4 * args.dimension}; {blobs.nbytes / 2**20:,.1f} MiB in all")
    restored = decompress_rows(head_blobs, plain)
    cosine = np.sum(restored * head, axis=1) / (np.linalg.norm(restored, axis=1) * np.linalg.norm(head, axis=1))
    print(f"first rows decompressed in the driver: cosine distance to the originals at most {np.max(1 - cosine):.1e}")

if __name__ == "__main__":
    main()
