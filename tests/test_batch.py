import numpy as np
import pytest

from zorvex_rs.codec import (Codebook, CodebookIncompatibleError, Codec, CodecConfig, CompressedVector,
                             ConfigMismatchError, DimensionMismatchError, compress, decompress)

import reference as ref


def codebook(bw):
    return Codebook(np.linspace(-1, 1, 2**bw, dtype=np.float32), bw)


@pytest.mark.parametrize("d", [1, 7, 64, 200])
@pytest.mark.parametrize("bw", [2, 4, 8])
@pytest.mark.parametrize("residual", [False, True])
def test_batches_equal_rows_and_the_reference(d, bw, residual):
    cfg = CodecConfig(bw, 31 * d, d, residual)
    cb = codebook(bw)
    x = (np.random.default_rng(d + bw).standard_normal((9, d)) / np.sqrt(d)).astype(np.float32)
    records = Codec().compress_batch(x, cfg, cb)
    assert isinstance(records, list) and len(records) == 9
    want = ref.compress_rows(x, cfg.seed, cb.entries, residual)
    for row, rec, (idx, res) in zip(x, records, want):
        assert rec.to_bytes() == compress(row, cfg, cb).to_bytes()
        assert rec.indices.tobytes() == idx.tobytes() and rec.residual == res
    out = Codec().decompress_batch(records, cfg, cb)
    assert out.shape == (9, d) and out.dtype == np.float32 and out.flags.c_contiguous
    assert out.tobytes() == ref.decompress_rows(want, cfg.seed, cb.entries).tobytes()
    for i, rec in enumerate(records):
        assert out[i].tobytes() == decompress(rec, cfg, cb).tobytes()
    assert Codec().decompress_batch(tuple(records), cfg, cb).tobytes() == out.tobytes()


def test_empty_inputs():
    cfg = CodecConfig(2, 0, 6)
    assert Codec().compress_batch(np.zeros((0, 6), np.float32), cfg, codebook(4)) == []
    with pytest.raises(DimensionMismatchError, match="^vector length 7 does not match config dimension 6$"):
        Codec().compress_batch(np.zeros((0, 7), np.float32), cfg, codebook(2))
    empty = Codec().decompress_batch([], cfg, codebook(2))
    assert empty.shape == (0, 0) and empty.dtype == np.float32
    with pytest.raises(CodebookIncompatibleError, match="^codebook bit_width 4 does not match config bit_width 2$"):
        Codec().decompress_batch([], cfg, codebook(4))


def test_all_or_nothing_errors():
    cfg = CodecConfig(2, 0, 6)
    with pytest.raises(CodebookIncompatibleError, match="^codebook bit_width 4 does not match config bit_width 2$"):
        Codec().compress_batch(np.ones((3, 6), np.float32), cfg, codebook(4))
    with pytest.raises(DimensionMismatchError, match="^vector length 5 does not match config dimension 6$"):
        Codec().compress_batch(np.ones((3, 5), np.float32), cfg, codebook(2))
    with pytest.raises(ValueError, match="^input matrix must be C-contiguous float32$"):
        Codec().compress_batch(np.asfortranarray(np.ones((3, 6), np.float32)), cfg, codebook(2))
    good = compress(np.ones(6, np.float32), cfg, codebook(2))
    other_cfg = CodecConfig(2, 1, 6)
    foreign = compress(np.ones(6, np.float32), other_cfg, codebook(2))
    with pytest.raises(ConfigMismatchError):
        Codec().decompress_batch([good, foreign], cfg, codebook(2))


@pytest.mark.parametrize(
    "value, pattern",
    [
        ("abc", r"^argument 'compressed': Can't extract `str` to `Vec`$"),
        ({1, 2}, r"^argument 'compressed': 'set' object cannot be converted to 'Sequence'$"),
        ([1], r"^argument 'compressed': 'int' object cannot be converted to 'CompressedVector'$"),
        (iter([]), r"^argument 'compressed': "),
    ],
)
def test_decompress_batch_sequence_conversion(value, pattern):
    with pytest.raises(TypeError, match=pattern):
        Codec().decompress_batch(value, CodecConfig(2, 0, 6), codebook(2))


def test_compress_batch_argument_errors():
    cfg = CodecConfig(2, 0, 4)
    with pytest.raises(TypeError, match=r"^argument 'vectors': "):
        Codec().compress_batch(np.ones(4, np.float32), cfg, codebook(2))
    with pytest.raises(TypeError, match=r"^argument 'vectors': "):
        Codec().compress_batch(np.ones((2, 4)), cfg, codebook(2))
    with pytest.raises(TypeError, match=r"^argument 'codebook': "):
        Codec().compress_batch(np.asfortranarray(np.ones((3, 4), np.float32)), cfg, "cb")


def test_records_from_bytes_decompress_in_batches():
    cfg = CodecConfig(4, 2, 16)
    x = np.random.default_rng(0).standard_normal((5, 16)).astype(np.float32)
    records = Codec().compress_batch(x, cfg, codebook(4))
    back = [CompressedVector.from_bytes(r.to_bytes()) for r in records]
    assert Codec().decompress_batch(back, cfg, codebook(4)).tobytes() == \
        Codec().decompress_batch(records, cfg, codebook(4)).tobytes()
