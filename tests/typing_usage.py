"""A typed user script for the stubs.

`mypy --strict` checks it (test_stubs.py): each `assert_type` pins what the
stubs promise, and each `# type: ignore[...]` marks a call the stubs must
refuse (strict mode reports an ignore that is not needed). Run as a script it
asserts that the module really behaves that way, so a stub that drifts from the
extension fails one side or the other.
"""

from collections.abc import Callable
import pathlib
import tempfile
from typing import Literal, assert_type

import numpy as np
import numpy.typing as npt

import zorvex_rs
from zorvex_rs import PanicException
from zorvex_rs.backend import BruteForceBackend, CompressedBackend, SearchBackend, SearchResult, search_batch
from zorvex_rs.codec import (
    Codebook,
    Codec,
    CodecConfig,
    CompressedVector,
    ConfigMismatchError,
    DimensionMismatchError,
    RotationMatrix,
    compress,
    decompress,
    train_codebook,
)
from zorvex_rs.corpus import (
    CompressionPolicy,
    CompressionPolicyViolationDetected,
    Corpus,
    CorpusCreated,
    CorpusDecompressed,
    DuplicateVectorError,
    VectorEntry,
    VectorsInserted,
)

Floats = npt.NDArray[np.float32]
Violation = Literal["config_mismatch", "policy_conflict", "duplicate_id", "dimension_mismatch"]


def refused(kind: type[BaseException], call: Callable[[], object]) -> None:
    """Fails unless `call()` raises `kind`."""
    try:
        call()
    except kind:
        return
    raise AssertionError(f"expected {kind.__name__}")


def main() -> None:
    dim = 32
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((64, dim)).astype(np.float32)
    first: Floats = vectors[0]

    # ---- configuration, training, one vector ---------------------------------
    config = CodecConfig(4, seed=np.uint64(42), dimension=dim, residual_enabled=np.True_)
    assert_type(config.bit_width, Literal[2, 4, 8])
    assert_type(config.config_hash, str)
    assert config.bit_width == 4 and len(config.config_hash) == 64
    assert config.num_codebook_entries == 16 and config.residual_enabled is True
    assert config == CodecConfig(4, 42, dim) and hash(config) == hash(CodecConfig(4, 42, dim))

    codec = Codec()
    codebook = codec.build_codebook(vectors, config)
    assert_type(codebook, Codebook)
    assert_type(codebook.entries, Floats)
    assert codebook.entries.dtype == np.float32 and codebook.num_entries == 16
    assert Codebook.train(vectors, config=config).bit_width == 4
    assert Codebook(codebook.entries, bit_width=4).num_entries == 16
    fitted = train_codebook(vectors.astype(np.float64), config, method="lloyd-max", max_iterations=50)
    assert_type(fitted, Codebook)
    assert fitted.num_entries == 16
    refused(ValueError, lambda: train_codebook(vectors, config, method="k-means"))  # type: ignore[arg-type]

    record = codec.compress(vector=first, config=config, codebook=codebook)
    assert_type(record, CompressedVector)
    assert_type(record.indices, npt.NDArray[np.uint8])
    assert_type(record.residual, bytes | None)
    assert record.indices.dtype == np.uint8 and isinstance(record.residual, bytes)
    assert record.dimension == dim and record.has_residual and record.size_bytes > 0

    restored = codec.decompress(record, config, codebook)
    assert_type(restored, Floats)
    assert restored.dtype == np.float32 and restored.shape == (dim,)
    assert np.array_equal(decompress(compress(first, config, codebook), config, codebook), restored)

    # ---- bytes -----------------------------------------------------------------
    blob = record.to_bytes()
    assert_type(blob, bytes)
    again = CompressedVector.from_bytes(blob)
    assert again.to_bytes() == blob and again.config_hash == config.config_hash
    refused(TypeError, lambda: CompressedVector.from_bytes(bytearray(blob)))  # type: ignore[arg-type]

    # ---- batches and rotations -------------------------------------------------
    records = codec.compress_batch(vectors, config, codebook)
    assert_type(records, list[CompressedVector])
    matrix = codec.decompress_batch(tuple(records), config, codebook)
    assert_type(matrix, Floats)
    assert matrix.shape == vectors.shape and matrix.dtype == np.float32

    rotation = RotationMatrix.from_seed_and_dim(seed=42, dimension=dim)
    assert_type(rotation, RotationMatrix)
    assert_type(rotation.matrix_f64_bytes(), bytes)
    back = rotation.apply_inverse(rotation.apply(first))
    assert_type(back, Floats)
    assert np.allclose(back, first, atol=1e-4)
    assert codec.build_rotation(config).seed == RotationMatrix.from_config(config).seed == 42

    # ---- wrong inputs the stubs refuse, as the module does -----------------------
    refused(TypeError, lambda: codec.compress([0.0] * dim, config, codebook))  # type: ignore[arg-type]
    refused(TypeError, lambda: CodecConfig(4, 1, dim, residual_enabled=1))  # type: ignore[arg-type]
    refused(TypeError, lambda: CodecConfig(4, 1.0, dim))  # type: ignore[arg-type]
    refused(TypeError, lambda: RotationMatrix())
    wrong = CodecConfig(4, 43, dim)
    refused(ConfigMismatchError, lambda: codec.decompress(record, wrong, codebook))
    refused(DimensionMismatchError, lambda: compress(first[:3].copy(), config, codebook))
    mismatch: ValueError = DimensionMismatchError("custom errors are ValueErrors")
    panic: BaseException = PanicException("not an Exception")
    not_exception: Exception = PanicException("x")  # type: ignore[assignment]
    assert isinstance(mismatch, ValueError) and not isinstance(panic, Exception) and not_exception

    # ---- corpus ----------------------------------------------------------------
    corpus = Corpus("docs", config, codebook, CompressionPolicy.COMPRESS, metadata=None)
    entry = corpus.insert("doc-1", first)
    assert_type(entry, VectorEntry)
    assert entry.vector_id == "doc-1" and entry.dimension == dim and entry.has_residual
    corpus.insert(vector_id="doc-2", vector=vectors[1])
    refused(DuplicateVectorError, lambda: corpus.insert("doc-1", first))
    refused(KeyError, lambda: corpus.get("missing"))
    refused(NotImplementedError, lambda: corpus.insert("doc-3", first, {}))  # type: ignore[arg-type]
    assert_type(corpus.vector_ids, frozenset[str])
    assert corpus.vector_ids == frozenset({"doc-1", "doc-2"}) and corpus.contains("doc-2")
    assert_type(corpus.decompress("doc-1"), Floats)
    everything = corpus.decompress_all()
    assert_type(everything, dict[str, Floats])
    assert sorted(everything) == ["doc-1", "doc-2"] and everything["doc-2"].dtype == np.float32
    corpus.remove("doc-2")
    assert corpus.vector_count == 1 and not corpus.is_empty

    policy = corpus.compression_policy
    assert_type(policy.value, Literal["compress", "passthrough", "fp16"])
    assert policy == CompressionPolicy.COMPRESS == 0 and int(policy) == 0 and policy.requires_codec()
    assert CompressionPolicy.FP16.name == "FP16" and CompressionPolicy.FP16.value == "fp16"
    refused(TypeError, lambda: CompressionPolicy.COMPRESS < CompressionPolicy.FP16)  # type: ignore[operator]

    events = corpus.pending_events()
    assert_type(events, list[CorpusCreated | VectorsInserted | CorpusDecompressed | CompressionPolicyViolationDetected])
    kinds: list[str] = []
    for event in events:
        if isinstance(event, CorpusCreated):
            assert event.codec_config is corpus.codec_config and event.timestamp == 0
        elif isinstance(event, VectorsInserted):
            assert_type(event.vector_ids, list[str])
            assert event.count == len(event.vector_ids) == 1
        elif isinstance(event, CorpusDecompressed):
            assert event.vector_count == 2
        else:
            assert_type(event.violation_type, Violation)
        kinds.append(type(event).__name__)
    assert kinds == ["CorpusCreated", "VectorsInserted", "VectorsInserted", "CorpusDecompressed"]
    assert corpus.pending_events() == []

    # ---- search ----------------------------------------------------------------
    backend = BruteForceBackend()
    backend.ingest({f"doc-{i}": v for i, v in enumerate(vectors)})
    hits = backend.search(first, top_k=np.int64(3))
    assert_type(hits, list[SearchResult])
    best = hits[0]
    assert_type(best.score, float)
    assert best.vector_id == "doc-0" and isinstance(best.score, float) and best.score > 0.99
    assert sorted(reversed(hits)) == hits and hits[0] < hits[1] and hits[1] > hits[0]
    refused(TypeError, lambda: hits[0] <= hits[1])  # type: ignore[operator]
    refused(TypeError, lambda: backend.remove({"doc-0"}))  # type: ignore[arg-type]
    backend.remove(["doc-0", "doc-1"])
    assert backend.count == 62
    backend.clear()
    assert SearchResult("x", 1).score == 1.0
    refused(ValueError, lambda: SearchBackend())

    # ---- search over codes -------------------------------------------------------
    codes = CompressedBackend(config, codebook)
    codes.ingest({f"doc-{i}": v.astype(np.float64) for i, v in enumerate(vectors)})
    assert_type(codes.search(first, 3, rerank=10), list[SearchResult])
    lists = codes.search_batch(vectors[:2], 3, exact=None)
    assert_type(lists, list[list[SearchResult]])
    assert len(codes) == codes.count == 64 and "doc-0" in codes
    assert_type(codes.memory_bytes, int)
    refused(TypeError, lambda: codes.search(first, 3, 10))  # type: ignore[call-arg]
    assert_type(search_batch(BruteForceBackend(), vectors, 1), list[list[SearchResult]])
    assert zorvex_rs.__version__ == zorvex_rs._core.__version__

    # ---- collections kept in files -------------------------------------------------
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "codes.zvx"
        zorvex_rs.save(codes, path)
        loaded = zorvex_rs.load(path, mmap=True, kind=CompressedBackend)
        assert_type(loaded, Corpus | BruteForceBackend | CompressedBackend)
        assert isinstance(loaded, CompressedBackend) and loaded.count == 64
        refused(zorvex_rs.CollectionFileError, lambda: zorvex_rs.load(path, kind=Corpus))
        refused(TypeError, lambda: zorvex_rs.load(path, True))  # type: ignore[call-arg]


if __name__ == "__main__":
    main()
