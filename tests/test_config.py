import os
import hashlib
import pickle
import random
import struct

import numpy as np
import pytest

from zorvex_rs.codec import CodecConfig


def siphash13(data: bytes, k0: int = 0, k1: int = 0) -> int:
    """Plain SipHash-1-3, as an independent reference for hash()."""
    mask = (1 << 64) - 1
    rotl = lambda x, b: ((x << b) | (x >> (64 - b))) & mask  # noqa: E731
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & mask; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32)  # noqa: E702
        v[2] = (v[2] + v[3]) & mask; v[3] = rotl(v[3], 16); v[3] ^= v[2]  # noqa: E702
        v[0] = (v[0] + v[3]) & mask; v[3] = rotl(v[3], 21); v[3] ^= v[0]  # noqa: E702
        v[2] = (v[2] + v[1]) & mask; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32)  # noqa: E702

    tail = len(data) % 8
    for i in range(0, len(data) - tail, 8):
        m = int.from_bytes(data[i:i + 8], "little")
        v[3] ^= m; rnd(); v[0] ^= m  # noqa: E702
    m = (len(data) & 0xFF) << 56 | int.from_bytes(data[len(data) - tail:], "little")
    v[3] ^= m; rnd(); v[0] ^= m  # noqa: E702
    v[2] ^= 0xFF
    for _ in range(3):
        rnd()
    h = v[0] ^ v[1] ^ v[2] ^ v[3]
    h = h - (1 << 64) if h >= 1 << 63 else h
    return -2 if h == -1 else h


def expected_hash(bw, seed, dim, res):
    return siphash13(struct.pack("<BQIB", bw, seed, dim, int(res)))


def canonical(bw, seed, dim, res):
    return f"CodecConfig(bit_width={bw},seed={seed},dimension={dim},residual_enabled={res})"


def test_defaults_and_repr():
    c = CodecConfig(4, 42, 768)
    assert (c.bit_width, c.seed, c.dimension, c.residual_enabled) == (4, 42, 768, True)
    assert c.num_codebook_entries == 16
    assert repr(c) == str(c) == "CodecConfig(bit_width=4, seed=42, dimension=768, residual_enabled=True)"
    assert c.config_hash == hashlib.sha256(canonical(4, 42, 768, True).encode()).hexdigest()
    assert c.config_hash is not c.config_hash


def test_keywords_and_limits():
    c = CodecConfig(dimension=16384, seed=2**64 - 1, bit_width=8, residual_enabled=False)
    assert c.seed == 18446744073709551615 and c.dimension == 16384 and c.num_codebook_entries == 256
    assert CodecConfig(2, 0, 1).num_codebook_entries == 4


def test_hash_matches_independent_sha256_and_siphash():
    rng = random.Random(1234)
    for _ in range(3000):
        bw = rng.choice((2, 4, 8))
        seed = rng.choice((0, 1, 2**64 - 1, rng.getrandbits(64), rng.getrandbits(rng.randint(1, 63))))
        dim = rng.choice((1, 16384, rng.randint(1, 16384)))
        res = rng.random() < 0.5
        c = CodecConfig(bw, seed, dim, res)
        assert c.config_hash == hashlib.sha256(canonical(bw, seed, dim, res).encode()).hexdigest()
        assert hash(c) == expected_hash(bw, seed, dim, res)


def test_hash_is_stable_across_processes(run_python):
    code = (
        "from zorvex_rs.codec import CodecConfig\n"
        "print([hash(CodecConfig(b, s, d, r)) for b, s, d, r in "
        "[(2, 0, 8, True), (4, 42, 768, False), (8, 2**64 - 1, 16384, True)]])"
    )
    first, second = run_python(code), run_python(code, env={**os.environ, "PYTHONHASHSEED": "123"})
    assert first == second
    assert first.strip() == str([expected_hash(2, 0, 8, True), expected_hash(4, 42, 768, False),
                                 expected_hash(8, 2**64 - 1, 16384, True)])


def test_equality_and_hash_follow_the_fields():
    a, b = CodecConfig(4, 7, 32), CodecConfig(4, 7, 32, True)
    assert a == b and not a != b and hash(a) == hash(b) and a.config_hash == b.config_hash
    c = CodecConfig(4, 7, 32, False)
    assert a != c and a.config_hash != c.config_hash
    for other in (CodecConfig(2, 7, 32), CodecConfig(4, 8, 32), CodecConfig(4, 7, 33)):
        assert a != other
    assert (a == "x") is False and (a != "x") is True
    assert a in {b}


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_is_refused(op):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": CodecConfig(2, 0, 8), "b": CodecConfig(4, 0, 8)})


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((3, 0, 8), ValueError, "bit_width must be one of [2, 4, 8], got 3"),
        ((3, 0, 0), ValueError, "bit_width must be one of [2, 4, 8], got 3"),
        ((0, 0, 8), ValueError, "bit_width must be one of [2, 4, 8], got 0"),
        ((2, 0, 0), ValueError, "dimension must be > 0, got 0"),
        ((2, 0, 16385), ValueError, "dimension must be <= 16384, got 16385"),
        ((2, 0, 2**32 - 1), ValueError, "dimension must be <= 16384, got 4294967295"),
        ((2, 0, -5), OverflowError, "out of range integral type conversion attempted"),
        ((2, 0, 2**32), OverflowError, "out of range integral type conversion attempted"),
        ((300, 0, 8), OverflowError, "out of range integral type conversion attempted"),
        ((-1, 0, 8), OverflowError, "out of range integral type conversion attempted"),
        ((2**70, 0, 8), OverflowError, "out of range integral type conversion attempted"),
        ((2, -1, 8), OverflowError, None),
        ((2, 2**64, 8), OverflowError, None),
        ((2.0, 0, 8), TypeError, "argument 'bit_width': "),
        ((2, 1.5, 8), TypeError, "argument 'seed': "),
        ((2, 0, "8"), TypeError, "argument 'dimension': "),
        ((None, 0, 8), TypeError, "argument 'bit_width': "),
        ((2, 0, 8, 1), TypeError, "argument 'residual_enabled': "),
        ((2, 0, 8, None), TypeError, "argument 'residual_enabled': "),
        ((2, 0, 8, "yes"), TypeError, "argument 'residual_enabled': "),
        # The first failing parameter is reported, in declaration order.
        ((2.0, -1, 0, None), TypeError, "argument 'bit_width': "),
        ((2, "s", -1, None), TypeError, "argument 'seed': "),
    ],
)
def test_refusals(args, exc, message):
    with pytest.raises(exc) as info:
        CodecConfig(*args)
    assert type(info.value) is exc
    if message is not None:
        text = str(info.value)
        assert text.startswith(message) if message.endswith(": ") else text == message


def test_index_objects_and_numpy_scalars_are_accepted():
    class Idx:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    c = CodecConfig(np.uint8(8), np.int64(5), Idx(3), residual_enabled=np.bool_(False))
    assert (c.bit_width, c.seed, c.dimension, c.residual_enabled) == (8, 5, 3, False)
    assert CodecConfig(2, 0, 8, np.True_).residual_enabled is True
    assert CodecConfig(True + 1, False, 8).bit_width == 2  # bool is an int


def test_properties_are_read_only():
    c = CodecConfig(2, 0, 8)
    for name in ("bit_width", "seed", "dimension", "residual_enabled", "num_codebook_entries", "config_hash"):
        with pytest.raises(AttributeError):
            setattr(c, name, 1)
        assert getattr(CodecConfig, name).__doc__ is None
    with pytest.raises(AttributeError):
        c.other = 1


def test_class_docs_and_signature():
    assert CodecConfig.__doc__ == "Immutable value object describing codec parameters."
    assert CodecConfig.__text_signature__ == "(bit_width, seed, dimension, residual_enabled=True)"


def test_no_pickling():
    c = CodecConfig(2, 0, 8)
    for attr in ("__reduce__", "__getstate__", "__getnewargs__"):
        assert attr not in type(c).__dict__
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(c)
