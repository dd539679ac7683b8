import threading

import numpy as np
import pytest

import zorvex_rs._core as core
from zorvex_rs.codec import (Codebook, CodebookIncompatibleError, Codec, CodecConfig, CompressedVector,
                             ConfigMismatchError, DimensionMismatchError, compress, decompress)

import reference as ref
from conftest import spin_beside


def f32(*values):
    return np.array(values, dtype=np.float32)


def trained(bit_width, d, seed=0):
    sample = (np.random.default_rng(seed).standard_normal((64, d)) / np.sqrt(d)).astype(np.float32)
    return Codebook.train(sample, CodecConfig(bit_width, 0, d))


@pytest.mark.parametrize("d", [1, 5, 16, 33, 128, 256])
@pytest.mark.parametrize("bit_width", [2, 4, 8])
@pytest.mark.parametrize("residual", [False, True])
def test_compress_and_decompress_match_the_reference(d, bit_width, residual):
    cfg = CodecConfig(bit_width, 1000 + d, d, residual)
    cb = trained(bit_width, d)
    x = (np.random.default_rng(d).standard_normal((3, d)) / np.sqrt(d)).astype(np.float32)
    want = ref.compress_rows(x, cfg.seed, cb.entries, residual)
    for row, (idx, res) in zip(x, want):
        for record in (Codec().compress(row, cfg, cb), compress(row, cfg, cb), core.codec.compress(row, cfg, cb)):
            assert record.indices.tobytes() == idx.tobytes()
            assert record.residual == res
            assert (record.dimension, record.bit_width, record.has_residual) == (d, bit_width, residual)
            assert record.config_hash == cfg.config_hash
            out = Codec().decompress(record, cfg, cb)
            assert out.tobytes() == ref.decompress_rows([(idx, res)], cfg.seed, cb.entries)[0].tobytes()
            assert decompress(record, cfg, cb).tobytes() == out.tobytes()


def test_residual_makes_the_round_trip_close():
    d = 256
    cfg = CodecConfig(4, 3, d)
    cb = trained(4, d)
    x = (np.random.default_rng(1).standard_normal(d) / np.sqrt(d)).astype(np.float32)
    y = decompress(compress(x, cfg, cb), cfg, cb)
    assert np.max(np.abs(y - x)) < 1e-4
    assert type(y.base).__name__ == "PySliceContainer" and y.dtype == np.float32


def test_size_bytes():
    assert compress(np.zeros(768, np.float32), CodecConfig(4, 0, 768, False), trained(4, 768)).size_bytes == 384
    assert compress(np.zeros(768, np.float32), CodecConfig(4, 0, 768, True), trained(4, 768)).size_bytes == 1920
    assert compress(np.zeros(5, np.float32), CodecConfig(2, 0, 5, False), trained(2, 5)).size_bytes == 2


def test_compress_errors_in_order():
    cfg = CodecConfig(2, 0, 4)
    cb2, cb4 = trained(2, 4), trained(4, 4)
    with pytest.raises(DimensionMismatchError) as info:
        compress(np.zeros(3, np.float32), cfg, cb4)
    assert str(info.value) == "vector length 3 does not match config dimension 4"
    with pytest.raises(CodebookIncompatibleError) as info:
        compress(np.zeros(4, np.float32), cfg, cb4)
    assert str(info.value) == "codebook bit_width 4 does not match config bit_width 2"
    with pytest.raises(ValueError, match="^numpy slice unavailable: The given array is not contiguous$"):
        Codec().compress(np.zeros(8, np.float32)[::2], cfg, cb2)
    with pytest.raises(TypeError, match=r"^argument 'codebook': "):
        Codec().compress(np.zeros(8, np.float32)[::2], cfg, None)
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        compress([0.0] * 4, cfg, cb2)
    with pytest.raises(TypeError, match=r"^argument 'config': "):
        compress(np.zeros(4, np.float32), cb2, cb2)
    with pytest.raises(TypeError, match=r"^compress\(\) missing 1 required positional argument: 'codebook'$"):
        compress(np.zeros(4, np.float32), cfg)
    with pytest.raises(TypeError, match=r"^Codec\.compress\(\) got an unexpected keyword argument 'x'$"):
        Codec().compress(np.zeros(4, np.float32), cfg, cb2, x=1)


def test_decompress_errors_in_order():
    cfg = CodecConfig(2, 0, 4)
    cb2, cb4 = trained(2, 4), trained(4, 4)
    record = compress(np.ones(4, np.float32), cfg, cb2)
    other = CodecConfig(2, 1, 4)
    with pytest.raises(ConfigMismatchError) as info:
        decompress(record, other, cb4)  # the hash is checked before any bit width
    assert str(info.value) == f'compressed config_hash "{cfg.config_hash}" does not match config hash ' \
                              f'"{other.config_hash}"'
    with pytest.raises(CodebookIncompatibleError) as info:
        decompress(record, cfg, cb4)
    assert str(info.value) == "codebook bit_width 4 does not match config bit_width 2"
    with pytest.raises(TypeError, match=r"^argument 'compressed': 'int' object cannot be converted to "
                                        r"'CompressedVector'$"):
        decompress(5, cfg, cb2)


def blob(hash_text, dimension, bit_width, packed, residual=None):
    head = b"\x01" + hash_text.encode().ljust(64, b"\0")[:64] + dimension.to_bytes(4, "little") + bytes([bit_width])
    tail = b"\x00" if residual is None else b"\x01" + len(residual).to_bytes(4, "little") + residual
    return head + bytes(packed) + tail


def test_decoded_records_are_checked_when_decompressed():
    cfg = CodecConfig(2, 0, 4)
    cb = trained(2, 4)
    wrong_width = CompressedVector.from_bytes(blob(cfg.config_hash, 4, 4, [0x21, 0x43]))
    with pytest.raises(CodebookIncompatibleError, match="^codebook bit_width 4 does not match config bit_width 2$"):
        decompress(wrong_width, cfg, cb)
    short = CompressedVector.from_bytes(blob(cfg.config_hash, 3, 2, [0b100100]))
    with pytest.raises(ValueError, match=r"^input and output lengths disagree: 3 vs 4$"):
        decompress(short, cfg, cb)
    # Decompression ignores residual_enabled: a residual present is added.
    plain_cfg = CodecConfig(2, 0, 4, False)
    with_res = CompressedVector.from_bytes(blob(plain_cfg.config_hash, 4, 2, [0b11100100], b"\x00\x38" * 4))
    values = cb.entries + np.float32(0.5)
    m = ref.rotation(0, 4)
    assert decompress(with_res, plain_cfg, cb).tobytes() == ref.unrotate_rows(m, values[None, :])[0].tobytes()


def test_codec_surface():
    assert Codec.__text_signature__ == "()"
    assert Codec.__doc__ == "Stateless codec service — wraps `zorvex_core::codec::Codec`."
    with pytest.raises(TypeError, match=r"^Codec\.__new__\(\) takes 0 positional arguments but 1 was given$"):
        Codec(1)
    sigs = {
        "compress": "($self, vector, config, codebook)",
        "decompress": "($self, compressed, config, codebook)",
        "compress_batch": "($self, vectors, config, codebook)",
        "decompress_batch": "($self, compressed, config, codebook)",
        "build_codebook": "($self, training_vectors, config)",
        "build_rotation": "($self, config)",
    }
    for name, sig in sigs.items():
        assert getattr(Codec, name).__text_signature__ == sig
        assert getattr(Codec, name).__doc__ is None
    assert compress.__text_signature__ == "(vector, config, codebook)"
    assert compress.__doc__ == "Module-level convenience — equivalent to `Codec().compress(...)`."
    assert decompress.__text_signature__ == "(compressed, config, codebook)"
    assert decompress.__doc__ == "Module-level convenience — equivalent to `Codec().decompress(...)`."
    assert core.codec.compress is not core.compress
    assert core.codec.compress.__module__ == "codec" and core.compress.__module__ == "zorvex_rs._core"
    with pytest.raises(TypeError) as info:
        CompressedVector()
    assert str(info.value) == "No constructor defined for CompressedVector"
    assert CompressedVector.__doc__ == "Immutable output of a codec compression pass."


def test_build_rotation_matches_from_config():
    cfg = CodecConfig(4, 77, 12)
    r = Codec().build_rotation(cfg)
    assert type(r) is core.RotationMatrix
    assert r.matrix_f64_bytes() == core.RotationMatrix.from_config(cfg).matrix_f64_bytes()


def test_threads_agree_with_one_thread():
    d = 64
    cfg = CodecConfig(4, 5, d)
    cb = trained(4, d)
    x = np.random.default_rng(2).standard_normal((200, d)).astype(np.float32)
    want = [compress(row, cfg, cb).to_bytes() for row in x]
    got = [None] * len(x)

    def work(start):
        for i in range(start, len(x), 4):
            rec = compress(x[i], cfg, cb)
            assert decompress(rec, cfg, cb).tobytes() == decompress(CompressedVector.from_bytes(want[i]), cfg,
                                                                    cb).tobytes()
            got[i] = rec.to_bytes()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == want


def test_batch_work_releases_the_interpreter_lock():
    d = 512
    cfg = CodecConfig(8, 9, d)
    cb = trained(8, d)
    x = np.random.default_rng(3).standard_normal((2000, d)).astype(np.float32)
    Codec().compress_batch(x[:2], cfg, cb)  # warm the rotation cache
    spinning, working = spin_beside(lambda: [Codec().compress_batch(x, cfg, cb) for _ in range(3)])
    assert spinning > working / 4
