"""Search over compressed codes: the scan's integer-table arithmetic against a
NumPy reference, its error bound, exact re-ranking, batches, errors, threads."""

import threading

import numpy as np
import pytest

from zorvex_rs import ConfigMismatchError, DimensionMismatchError
from zorvex_rs.backend import BruteForceBackend, CompressedBackend, search_batch
from zorvex_rs.codec import Codebook, Codec, CodecConfig, RotationMatrix
from zorvex_rs.corpus import CompressionPolicy, Corpus

CODEC = Codec()


def clustered(n, d, seed=0, centres=20):
    """Unit vectors around a few centres, like sentence embeddings."""
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centres, d))
    x = c[rng.integers(0, centres, n)] + 0.6 * rng.standard_normal((n, d))
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def build(bits, d=48, n=300, residual=True, seed=3):
    x = clustered(n, d, seed)
    config = CodecConfig(bits, seed=seed, dimension=d, residual_enabled=residual)
    codebook = CODEC.build_codebook(x, config)
    backend = CompressedBackend(config, codebook)
    ids = [f"v{i:04d}" for i in range(n)]
    backend.ingest(dict(zip(ids, x)))
    return x, ids, config, codebook, backend


def seq_sum(values):
    """Sum in index order, in float64 (np.sum would pair terms)."""
    return np.cumsum(np.asarray(values, dtype=np.float64))[-1] if len(values) else 0.0


def scan_rotate(config, query):
    """The scan's query rotation: the matrix rounded to float32, float32 sums in increasing j."""
    m = np.frombuffer(RotationMatrix.from_config(config).matrix_f64_bytes(), "<f8").reshape(config.dimension, -1)
    m = m.astype(np.float32)
    x = np.asarray(query, np.float32)
    q = np.zeros(config.dimension, np.float32)
    for j in range(config.dimension):
        q = q + m[:, j] * x[j]
    return q


def reference_scores(x, query, config, codebook):
    """The scan's scores by its stated arithmetic, per stored row of x."""
    q = scan_rotate(config, query).astype(np.float64)
    e = codebook.entries.astype(np.float64)
    codes = np.array([CODEC.compress(v, config, codebook).indices for v in x], dtype=np.int64)
    if not np.all(np.isfinite(q)) or seq_sum(q * q) == 0.0:
        return np.zeros(len(x), np.float32)
    norm = np.sqrt(seq_sum(q * q))
    if config.bit_width == 8:
        dq = np.max(np.abs(q)) / 127.0
        de = np.max(np.abs(e)) / 127.0
        w = np.floor(q / dq + 0.5).astype(np.int64)
        u = np.floor(e / de + 0.5).astype(np.int64)
        s = (w[None, :] * u[codes]).sum(axis=1)
        a, b = dq * de / norm, 0.0
    else:
        levels = 255.0 if config.bit_width == 4 else 127.0
        t_full = q[:, None] * e[None, :]
        lo = t_full.min(axis=1)
        delta = (t_full.max(axis=1) - lo).max() / levels
        t = np.clip(np.floor((t_full - lo[:, None]) / delta + 0.5), 0, levels).astype(np.int64)
        s = t[np.arange(len(q))[None, :], codes].sum(axis=1)
        a, b = delta / norm, seq_sum(lo) / norm
    rr = np.array([seq_sum(e[c] ** 2) for c in codes])
    inv = np.where(rr > 0, 1.0 / np.sqrt(np.where(rr > 0, rr, 1.0)), 0.0)
    return np.where(inv == 0, 0.0, (a * s.astype(np.float64) + b) * inv).astype(np.float32)


def pairs(results):
    return [(r.vector_id, r.score) for r in results]


def scan_all(backend, query):
    return {r.vector_id: r.score for r in backend.search(query, backend.count)}


@pytest.mark.parametrize("bits", [2, 4, 8])
@pytest.mark.parametrize("d", [48, 37, 300])
def test_scan_scores_follow_the_stated_arithmetic_and_bound(bits, d):
    x, ids, config, codebook, backend = build(bits, d=d, n=120)
    rotation = RotationMatrix.from_config(config)
    e = codebook.entries.astype(np.float64)
    for query in [x[5], clustered(1, d, seed=99)[0], np.zeros(d, np.float32)]:
        got = scan_all(backend, query)
        want = reference_scores(x, query, config, codebook)
        assert [got[i] for i in ids] == want.tolist()
        if not query.any():
            continue
        # Within the stated bound of the float64 cosine to the decompressed vector.
        q = scan_rotate(config, query).astype(np.float64)
        if bits == 8:
            dot_bound = d * np.abs(q).max() * np.abs(e).max() * (1 / 127 + 1 / 64516)
        else:
            dot_bound = d * np.abs(q).max() * (e[-1] - e[0]) / (255.0 if bits == 4 else 127.0) / 2
        for v, i in zip(x, ids):
            record = CODEC.compress(v, config, codebook)
            r = e[record.indices]
            decoded = CODEC.decompress(record, config, codebook).astype(np.float64)
            # Reconstruction without residual, back in the original space.
            without = rotation.apply_inverse(r.astype(np.float32)).astype(np.float64)
            cos = without @ query / (np.linalg.norm(without) * np.linalg.norm(query))
            bound = dot_bound / (np.linalg.norm(q) * np.linalg.norm(r)) + 1e-5
            assert abs(got[i] - cos) <= bound, (i, got[i], cos, bound)
            assert decoded.shape == (d,)


@pytest.mark.parametrize("bits", [2, 4, 8])
@pytest.mark.parametrize("residual", [True, False])
def test_full_rerank_equals_exact_search_bit_for_bit(bits, residual):
    x, ids, config, codebook, backend = build(bits, residual=residual)
    x = x.copy()
    x[7] = 0.0  # a zero vector scores 0.0
    x[8] = x[9]  # equal scores are ordered by id
    x[10, 3] = np.nan  # a NaN vector scores 0.0
    exact = BruteForceBackend()
    exact.ingest(dict(zip(ids, x)))
    backend.ingest({i: v for i, v in zip(ids, x) if i in ("v0007", "v0008", "v0010")})
    for query in [x[9], x[20], np.zeros(x.shape[1], np.float32)]:
        for top_k in (1, 10, 1000):
            got = backend.search(query, top_k, rerank=backend.count, exact=exact)
            want = exact.search(query, top_k)
            assert pairs(got) == pairs(want)


@pytest.mark.parametrize("bits", [4, 8])
def test_rerank_with_residuals_scores_the_reconstruction_exactly(bits):
    x, ids, config, codebook, backend = build(bits, residual=True)
    q = RotationMatrix.from_config(config).apply(x[3])
    got = backend.search(x[3], 5, rerank=50)
    for r in got:
        record = CODEC.compress(x[ids.index(r.vector_id)], config, codebook)
        half = np.frombuffer(record.residual, dtype="<f2").astype(np.float32)
        recon = half + codebook.entries[record.indices]
        dot = np.float32(0)
        for a, b in zip(q, recon):
            dot = np.float32(dot + np.float32(a * b))
        sq = lambda v: np.cumsum(v.astype(np.float32) ** 2, dtype=np.float32)[-1]  # noqa: E731
        assert r.score == np.float32(dot / np.sqrt(np.float32(sq(q) * sq(recon))))
    assert [r.score for r in got] == sorted((r.score for r in got), reverse=True)


@pytest.mark.parametrize("bits", [2, 4, 8])
def test_batches_equal_single_searches(bits):
    x, ids, config, codebook, backend = build(bits)
    queries = np.vstack([x[:5], np.zeros((1, x.shape[1])), np.full((1, x.shape[1]), np.nan)]).astype(np.float32)
    exact = BruteForceBackend()
    exact.ingest(dict(zip(ids, x)))
    for kwargs in ({}, {"rerank": 20}, {"rerank": 20, "exact": exact}):
        batch = backend.search_batch(queries, 7, **kwargs)
        assert len(batch) == len(queries)
        for q, got in zip(queries, batch):
            single = backend.search(q, 7, **kwargs)
            assert pairs(got) == pairs(single)
    many = clustered(70, x.shape[1], seed=5)
    many[3] = np.nan
    for top_k in (1, 9, 10_000):
        for q, got in zip(many, search_batch(exact, many, top_k)):
            want = exact.search(q, top_k)
            assert pairs(got) == pairs(want)


def test_every_way_in_stores_the_codecs_codes():
    x, ids, config, codebook, backend = build(4)
    records = CODEC.compress_batch(x, config, codebook)
    by_records = CompressedBackend(config, codebook)
    by_records.ingest_compressed(dict(zip(ids, records)))
    corpus = Corpus("c", config, codebook, CompressionPolicy.COMPRESS)
    for i, v in zip(ids, x):
        corpus.insert(i, v)
    from_corpus = CompressedBackend.from_corpus(corpus)
    as_doubles = CompressedBackend(config, codebook)
    as_doubles.ingest({i: v.astype(np.float64) for i, v in zip(ids, x)})
    want = scan_all(backend, x[11])
    for other in (by_records, from_corpus, as_doubles):
        assert other.count == backend.count and scan_all(other, x[11]) == want


def test_replace_remove_clear_and_memory():
    x, ids, config, codebook, backend = build(4, d=64, n=2000, residual=False)
    per_vector = 4 * 64 / 8 + 16
    # Ids here are short; each costs its string, map node and slot.
    assert backend.memory_bytes <= 2000 * (per_vector + 120) + 4096
    backend.ingest({"v0001": x[2]})
    assert backend.count == 2000
    assert scan_all(backend, x[2])["v0001"] == scan_all(backend, x[2])["v0002"]
    backend.remove(["v0003", "nope", "v0003", "v1999"])
    assert backend.count == 1998 and "v0003" not in backend and "v0004" in backend
    rebuilt = CompressedBackend(config, codebook)
    kept = {i: v for i, v in zip(ids, x) if i not in ("v0003", "v1999")}
    kept["v0001"] = x[2]
    rebuilt.ingest(kept)
    assert scan_all(backend, x[40]) == scan_all(rebuilt, x[40])
    backend.clear()
    assert backend.count == 0 and backend.search(x[0], 3) == []
    assert "count=0, dimension=64, bit_width=4, residuals=False" in repr(backend)


def test_bad_input_is_refused_and_changes_nothing():
    x, ids, config, codebook, backend = build(4, d=16, n=50, residual=False)
    before = scan_all(backend, x[0])
    other = CodecConfig(4, seed=1234, dimension=16, residual_enabled=False)
    foreign = CODEC.compress(x[0], other, CODEC.build_codebook(x, other))
    mine = CODEC.compress(x[1], config, codebook)
    failures = [
        (lambda: backend.ingest({"new": x[0], "bad": x[0][:5]}), DimensionMismatchError, "vectors['bad']: expected a 1-D array of 16 floats"),
        (lambda: backend.ingest({"new": x[0], "bad": np.array(["a"] * 16)}), TypeError, "real dtype"),
        (lambda: backend.ingest({"new": x[0], 5: x[0]}), TypeError, "ids must be str"),
        (lambda: backend.ingest([x[0]]), TypeError, "mapping"),
        (lambda: backend.ingest_compressed({"new": mine, "bad": foreign}), ConfigMismatchError, "configuration"),
        (lambda: backend.remove("v0001"), TypeError, "single str"),
        (lambda: backend.search(x[0], 0), ValueError, "top_k"),
        (lambda: backend.search(x[0], -1), ValueError, "top_k"),
        (lambda: backend.search(x[:2], 1), ValueError, "2-D"),
        (lambda: backend.search(x[0][:3], 1), DimensionMismatchError, "got a 1-D float32 array of shape (3,)"),
        (lambda: backend.search(x[0], 1, rerank=5), ValueError, "residual"),
        (lambda: backend.search(x[0], 1, rerank=5, exact=object()), TypeError, "BruteForceBackend"),
        (lambda: backend.search_batch(x[0], 1), ValueError, "2-D"),
        (lambda: search_batch(backend, x, 1), TypeError, "BruteForceBackend"),
        (lambda: CompressedBackend(config, Codebook(np.array([0, 1, 2, np.nan], np.float32), 2)), ValueError, "bit"),
        (lambda: CompressedBackend(CodecConfig(2, 1, 16), Codebook(np.array([0, 1, 2, np.inf], np.float32), 2)),
         ValueError, "infinite"),
        (lambda: CompressedBackend.from_corpus(Corpus("p", config, codebook, CompressionPolicy.FP16)), ValueError,
         "COMPRESS"),
    ]
    for call, kind, text in failures:
        with pytest.raises(kind, match=None) as raised:
            call()
        assert text in str(raised.value), (text, str(raised.value))
    assert backend.count == 50 and scan_all(backend, x[0]) == before
    exact = BruteForceBackend()
    exact.ingest({i: v for i, v in zip(ids, x) if i != "v0007"})
    with pytest.raises(KeyError, match="v0007"):
        backend.search(x[0], 3, rerank=50, exact=exact)
    short = BruteForceBackend()
    short.ingest({"v0000": x[0][:8]})
    with pytest.raises(DimensionMismatchError, match="exact backend"):
        backend.search(x[0], 3, rerank=50, exact=short)
    assert pairs(backend.search(x[0], 10 ** 18)) == pairs(backend.search(x[0], 50))
    empty = CompressedBackend(config, codebook)
    assert empty.search(x[0], 3) == [] and empty.search_batch(x[:2], 3) == [[], []]


def test_changes_are_seen_whole_by_concurrent_searches():
    x, ids, config, codebook, backend = build(4, d=32, n=40, residual=False)
    group = [f"g{i:03d}" for i in range(200)]
    versions = [{g: x[0] for g in group}, {g: x[1] for g in group}]
    stop, searching = threading.Event(), threading.Event()
    seen = []

    def writer():
        # On a loaded machine the changes could otherwise all be done before any search ran.
        searching.wait(timeout=60)
        for round_ in range(60):
            backend.ingest(versions[round_ % 2])
            if round_ % 3 == 2:
                backend.remove(group)
        stop.set()

    def reader():
        while not stop.is_set():
            for batch in backend.search_batch(x[:2], 400):
                got = {r.score for r in batch if r.vector_id.startswith("g")}
                count = sum(r.vector_id.startswith("g") for r in batch)
                seen.append((len(got), count))
            searching.set()

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen and all(scores <= 1 and count in (0, 200) for scores, count in seen)
