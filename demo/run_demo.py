"""The main job: compress embeddings at every setting, store them, search them.

Until the bundled sample of real embeddings lands, the vectors are synthetic:
clustered Gaussian vectors of dimension 384, normalised like sentence embeddings.
"""

import time

import numpy as np

import zorvex_rs
from zorvex_rs.backend import BruteForceBackend
from zorvex_rs.codec import Codec, CodecConfig, CompressedVector
from zorvex_rs.corpus import CompressionPolicy, Corpus

N, QUERIES, D, K = 5000, 100, 384, 10


def sample(rng):
    centres = rng.standard_normal((50, D))
    x = centres[rng.integers(0, 50, N + QUERIES)] + 0.6 * rng.standard_normal((N + QUERIES, D))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x[:N].astype(np.float32), x[N:].astype(np.float32)


def top_ids(backend, queries):
    return [[r.vector_id for r in backend.search(q, K)] for q in queries]


def main():
    print(f"zorvex_rs {zorvex_rs.__version__}: {N} vectors of dimension {D}, {QUERIES} queries, recall@{K}")
    data, queries = sample(np.random.default_rng(0))
    ids = [f"doc-{i}" for i in range(N)]

    exact = BruteForceBackend()
    exact.ingest(dict(zip(ids, data)))
    truth = top_ids(exact, queries)

    codec = Codec()
    header = f"{'setting':<16} {'bytes/vec':>9} {'ratio':>6} {'cosine':>8} {'recall@10':>9} {'compress/s':>11}"
    print(header)
    print("-" * len(header))
    for bit_width in (2, 4, 8):
        for residual in (False, True):
            config = CodecConfig(bit_width, 42, D, residual)
            codebook = codec.build_codebook(data[:1000], config)
            start = time.perf_counter()
            records = codec.compress_batch(data, config, codebook)
            rate = N / (time.perf_counter() - start)
            blob = records[0].to_bytes()
            assert CompressedVector.from_bytes(blob).to_bytes() == blob
            restored = codec.decompress_batch(records, config, codebook)
            cosine = np.mean(np.sum(restored * data, axis=1) / np.linalg.norm(restored, axis=1))
            approx = BruteForceBackend()
            approx.ingest(dict(zip(ids, restored)))
            found = top_ids(approx, queries)
            recall = np.mean([len(set(a) & set(b)) / K for a, b in zip(found, truth)])
            name = f"{bit_width}-bit{' + fp16' if residual else ''}"
            print(f"{name:<16} {len(blob):>9} {4 * D / len(blob):>6.1f} {cosine:>8.4f} {recall:>9.3f} {rate:>11,.0f}")

    corpus = Corpus("demo", CodecConfig(4, 42, D, False), codebook_for(codec, data), CompressionPolicy.COMPRESS)
    for i in range(100):
        corpus.insert(ids[i], data[i])
    events = corpus.pending_events()
    print(f"corpus {corpus.corpus_id!r}: {corpus.vector_count} vectors stored, "
          f"{len(events)} events ({type(events[0]).__name__}, {type(events[-1]).__name__}, ...)")


def codebook_for(codec, data):
    return codec.build_codebook(data[:1000], CodecConfig(4, 42, D, False))


if __name__ == "__main__":
    main()
