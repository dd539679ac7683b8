import operator

import numpy as np
import pytest

from zorvex_rs.codec import Codebook, Codec, CodecConfig
from zorvex_rs.corpus import CompressionPolicy, Corpus, VectorEntry

P = CompressionPolicy


def f32(*values):
    return np.array(values, dtype=np.float32)


def from_bits(*bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


def stored(policy, vector):
    """The entry and decompressed vector of `vector` stored under `policy`."""
    corpus = Corpus("p", CodecConfig(4, 5, len(vector)), Codebook(np.linspace(-1, 1, 16, dtype=np.float32), 4),
                    policy)
    return corpus.insert("v", vector), corpus.decompress("v")


@pytest.mark.parametrize("name, value, ordinal, hashed", [
    ("COMPRESS", "compress", 0, -4800647303603446203),
    ("PASSTHROUGH", "passthrough", 1, 2206609067086327257),
    ("FP16", "fp16", 2, -6569889354672326634),
])
def test_members(name, value, ordinal, hashed):
    member = getattr(P, name)
    assert member is getattr(P, name) and P.__dict__[name] is member
    assert (member.name, member.value, repr(member), str(member)) == (name, value, f"CompressionPolicy.{name}",
                                                                     f"CompressionPolicy.{name}")
    assert (int(member), hash(member), member.requires_codec()) == (ordinal, hashed, name == "COMPRESS")
    assert hash(member) != hash(ordinal)


def test_class_and_members_are_immutable():
    with pytest.raises(TypeError):
        P.COMPRESS = P.FP16
    with pytest.raises(AttributeError):
        P.COMPRESS.value = "x"
    assert P.COMPRESS.name == "COMPRESS"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("member, other, equal", [
    (P.COMPRESS, 0, True),
    (P.PASSTHROUGH, True, True),
    (P.FP16, np.int64(2), True),
    (P.FP16, Index(2), True),
    (P.FP16, 1, False),
    (P.COMPRESS, 2 ** 64, False),  # no machine integer: not comparable
    (P.COMPRESS, Index(RuntimeError("no")), False),  # the conversion error is discarded
    (P.COMPRESS, "compress", False),
    (P.COMPRESS, 0.0, False),
    (P.COMPRESS, P.FP16, False),
    (P.FP16, P.FP16, True),
])
def test_equality(member, other, equal):
    assert (member == other) is equal and (member != other) is not equal
    assert bool(other == member) is equal  # NumPy scalars answer with their own bool


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_ordering_is_refused(op):
    with pytest.raises(TypeError):
        op(P.COMPRESS, P.FP16)


@pytest.mark.parametrize("cls, name, doc", [
    (P, "CompressionPolicy", "Immutable compression policy enum — Python-parity names."),
    (VectorEntry, "VectorEntry", "Entity representing a stored vector in the corpus."),
])
def test_classes_have_no_constructor(cls, name, doc):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    assert cls.__doc__ == doc
    assert (P.requires_codec.__doc__, P.requires_codec.__text_signature__) == ("True only for `COMPRESS`.", "($self)")


@pytest.mark.parametrize("bits", [
    [0x3F800000, 0x80000000, 0x7FC00001, 0xFFA5A5A5, 0x7F800001, 0x00000001],
    list(np.random.default_rng(1).integers(0, 2 ** 32, 257, dtype=np.uint32)),
])
def test_passthrough_keeps_every_bit(bits):
    x = from_bits(*bits)
    entry, out = stored(P.PASSTHROUGH, x)
    record = entry.compressed
    assert record.indices.tobytes() == x.astype("<f4").tobytes()  # 1.0 is 00 00 80 3F
    assert (record.dimension, record.bit_width, record.residual, entry.dimension) == (4 * len(bits), 8, None,
                                                                                     len(bits))
    assert out.view(np.uint32).tolist() == [int(b) for b in bits]


def test_fp16_matches_numpy_for_every_non_nan_value():
    rng = np.random.default_rng(2)
    # Arbitrary bit patterns, plus the binary16 range with its subnormals and rounding edges.
    near = (rng.standard_normal(4000) * np.exp(rng.uniform(-20, 12, 4000))).astype(np.float32)
    x = np.concatenate([rng.integers(0, 2 ** 32, 4000, dtype=np.uint32).view(np.float32), near,
                        f32(1.0, 0.1, 65520.0, 1e-8, -0.0, 65504, 65519.99, 2.0 ** -25, 2.0 ** -24)])
    x = x[~np.isnan(x)]
    entry, out = stored(P.FP16, x)
    with np.errstate(over="ignore"):
        want = x.astype("<f2")
    assert entry.compressed.indices.tobytes() == want.tobytes()  # 1.0 is 00 3C, 65520 infinity, 1e-8 zero
    assert out.tobytes() == want.astype(np.float32).tobytes()  # 0.1 comes back as 0.0999755859375
    assert (entry.compressed.dimension, entry.compressed.bit_width, entry.has_residual) == (2 * len(x), 8, False)


@pytest.mark.parametrize("f32_bits", [0x7F800001, 0xFFC00000, 0x7FA00000, 0xFFFFFFFF, 0x7F802000])
def test_fp16_nan_is_made_quiet_keeping_sign_and_top_payload(f32_bits):
    entry, out = stored(P.FP16, from_bits(f32_bits))
    sign = f32_bits >> 31
    half = (sign << 15) | 0x7E00 | ((f32_bits >> 13) & 0x3FF)
    assert list(entry.compressed.indices) == [half & 0xFF, half >> 8]
    assert out.view(np.uint32).tolist() == [(sign << 31) | 0x7FC00000 | ((half & 0x3FF) << 13)]


@pytest.mark.parametrize("bits", [2, 4, 8])
@pytest.mark.parametrize("residual", [False, True])
def test_compress_stores_the_codec_record(bits, residual):
    d = 48
    cfg = CodecConfig(bits, 99, d, residual)
    sample = (np.random.default_rng(bits).standard_normal((32, d)) / np.sqrt(d)).astype(np.float32)
    cb = Codebook.train(sample, cfg)
    corpus = Corpus("c", cfg, cb, P.COMPRESS)
    for i, row in enumerate(sample[:4]):
        entry = corpus.insert(str(i), row)
        want, got = Codec().compress(row, cfg, cb), entry.compressed
        assert got.indices.tobytes() == want.indices.tobytes()
        assert (got.residual, got.config_hash, got.dimension, got.bit_width) == (
            want.residual, want.config_hash, want.dimension, want.bit_width)
        assert (entry.dimension, entry.has_residual, entry.config_hash) == (d, residual, cfg.config_hash)
        assert corpus.decompress(str(i)).tobytes() == Codec().decompress(want, cfg, cb).tobytes()


def test_entries_are_independent_snapshots():
    corpus = Corpus("c", CodecConfig(4, 1, 3), Codebook(np.linspace(-1, 1, 16, dtype=np.float32), 4), P.FP16)
    inserted = corpus.insert('a\n"b', f32(1, 2, 3))
    assert repr(inserted) == 'VectorEntry(vector_id="a\\n\\"b", dimension=3, has_residual=False)'
    fetched = corpus.get('a\n"b')
    assert fetched is not inserted and fetched != inserted
    assert inserted.compressed is not inserted.compressed
    assert inserted.compressed.to_bytes() == fetched.compressed.to_bytes()
    corpus.remove('a\n"b')
    assert inserted.vector_id == 'a\n"b' and inserted.compressed.indices.tobytes() == f32(1, 2, 3).astype(
        "<f2").tobytes()
