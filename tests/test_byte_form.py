import random

import numpy as np
import pytest

from zorvex_rs.codec import Codebook, CodecConfig, CompressedVector, compress

HASH = "ab" * 32
PREFIX = "failed to decode CompressedVector: "


def header(dimension, bit_width, hash_bytes=HASH.encode(), version=1):
    return bytes([version]) + hash_bytes.ljust(64, b"\0")[:64] + dimension.to_bytes(4, "little") + bytes([bit_width])


def decode_error(data):
    with pytest.raises(ValueError) as info:
        CompressedVector.from_bytes(data)
    assert type(info.value) is ValueError
    text = str(info.value)
    assert text.startswith(PREFIX)
    return text[len(PREFIX):]


def test_worked_layout_two_bits():
    data = header(5, 2) + bytes([0x39, 0x01, 0x00])
    assert len(data) == 73
    r = CompressedVector.from_bytes(data)
    assert r.indices.tolist() == [1, 2, 3, 0, 1]
    assert (r.dimension, r.bit_width, r.residual, r.has_residual, r.config_hash) == (5, 2, None, False, HASH)
    assert r.size_bytes == 2
    assert r.to_bytes() == data


def test_worked_layout_four_bits_with_residual():
    residual = np.array([0.5, -0.25], dtype="<f2").tobytes()
    assert residual == bytes([0x00, 0x38, 0x00, 0xB4])
    data = header(2, 4) + bytes([0xA3, 0x01]) + (4).to_bytes(4, "little") + residual
    assert len(data) == 80
    r = CompressedVector.from_bytes(data)
    assert r.indices.tolist() == [3, 10] and r.residual == residual and r.size_bytes == 5
    assert r.to_bytes() == data


def test_eight_bits_are_the_bytes():
    r = CompressedVector.from_bytes(header(3, 8) + bytes([7, 200, 3, 0]))
    assert r.indices.tolist() == [7, 200, 3]
    assert r.to_bytes()[70:73] == bytes([0x07, 0xC8, 0x03])


@pytest.mark.parametrize("residual, length", [(False, 455), (True, 1995)])
def test_sizes_at_768(residual, length):
    cfg = CodecConfig(4, 0, 768, residual)
    cb = Codebook(np.arange(16, dtype=np.float32), 4)
    r = compress(np.zeros(768, np.float32), cfg, cb)
    assert len(r.to_bytes()) == length == r.size_bytes + (75 if residual else 71)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x01" * 69, "data too short: needed 70 bytes, got 69"),
        (b"", "data too short: needed 70 bytes, got 0"),
        (header(0, 2), "data too short: needed 71 bytes, got 70"),
        (header(5, 2) + b"\x39", "data too short: needed 73 bytes, got 71"),
        (header(5, 2, version=2) + b"\x39\x01\x00", "unknown format version 0x02"),
        (header(5, 2, version=0xAB) + b"\x39\x01\x00", "unknown format version 0xab"),
        (header(5, 2, hash_bytes=b"\xff" * 64, version=2), "invalid UTF-8 in config hash"),
        (header(5, 2, hash_bytes=b"abc\xc3"), "invalid UTF-8 in config hash"),
        (header(5, 3) + b"\x00" * 8, "invalid bit_width 3 in serialized data"),
        (header(5, 0), "invalid bit_width 0 in serialized data"),
        (header(2, 4) + b"\xa3\x02", "decode error: invalid residual flag: expected 0x00 or 0x01, got 0x02"),
        (header(2, 4) + b"\xa3\x01\x04\x00", "data too short: needed 76 bytes, got 74"),
        (header(2, 4) + b"\xa3\x01" + (4).to_bytes(4, "little") + b"\x00\x38", "data too short: needed 80 bytes, "
                                                                                "got 78"),
        (header(2, 4) + b"\xa3\x01" + (3).to_bytes(4, "little") + b"\x00\x38\x00",
         "decode error: input and output lengths disagree: 3 vs 4"),
        (header(0xFFFFFFFF, 8) + b"\x00", "data too short: needed 4294967366 bytes, got 71"),
    ],
)
def test_decoding_failures(data, message):
    assert decode_error(data) == message


def test_decoding_edges():
    r = CompressedVector.from_bytes(header(0, 2) + b"\x00")
    assert (r.dimension, r.indices.tolist(), r.residual) == (0, [], None)
    data = header(5, 2) + bytes([0x39, 0x01, 0x00])
    assert CompressedVector.from_bytes(data + b"trailing junk").to_bytes() == data
    # Unused bits of the last packed byte are not examined.
    assert CompressedVector.from_bytes(header(5, 2) + bytes([0x39, 0xFD, 0x00])).indices.tolist() == [1, 2, 3, 0, 1]
    # A hash keeps inner NULs; only trailing ones are padding.
    short = CompressedVector.from_bytes(header(1, 8, hash_bytes=b"a\0b") + b"\x05\x00")
    assert short.config_hash == "a\0b"
    assert CompressedVector.from_bytes(short.to_bytes()).config_hash == "a\0b"
    nonascii = CompressedVector.from_bytes(header(1, 8, hash_bytes="héllo".encode()) + b"\x05\x00")
    assert nonascii.config_hash == "héllo"


@pytest.mark.parametrize("value", [bytearray(b"\x01" * 80), memoryview(b"\x01" * 80), "text", None, [1, 2]])
def test_from_bytes_takes_only_bytes(value):
    with pytest.raises(TypeError, match=r"^argument 'data': "):
        CompressedVector.from_bytes(value)


def test_bytes_subclass_is_accepted():
    class B(bytes):
        pass

    data = header(5, 2) + bytes([0x39, 0x01, 0x00])
    assert CompressedVector.from_bytes(B(data)).to_bytes() == data


def records():
    rng = np.random.default_rng(5)
    out = []
    for d in (1, 3, 7, 64, 129):
        x = rng.standard_normal(d).astype(np.float32)
        for bw in (2, 4, 8):
            cb = Codebook(np.linspace(-2, 2, 2**bw, dtype=np.float32), bw)
            for res in (False, True):
                out.append(compress(x, CodecConfig(bw, d, d, res), cb))
    return out


def test_round_trip_reproduces_every_field():
    for r in records():
        back = CompressedVector.from_bytes(r.to_bytes())
        for name in ("dimension", "bit_width", "config_hash", "residual", "has_residual", "size_bytes"):
            assert getattr(back, name) == getattr(r, name)
        assert back.indices.tobytes() == r.indices.tobytes()


def test_truncations_and_mutations_never_crash():
    allowed = ("data too short: needed ", "invalid UTF-8 in config hash", "unknown format version 0x",
               "invalid bit_width ", "decode error: invalid residual flag: expected 0x00 or 0x01, got 0x",
               "decode error: input and output lengths disagree: ")
    rng = random.Random(11)
    for r in records():
        data = r.to_bytes()
        for n in range(len(data)):
            try:
                CompressedVector.from_bytes(data[:n])
            except ValueError as e:
                assert str(e)[len(PREFIX):].startswith(allowed)
        for _ in range(300):
            mutated = bytearray(data)
            for _ in range(rng.randint(1, 4)):
                mutated[rng.randrange(len(mutated))] = rng.randrange(256)
            try:
                back = CompressedVector.from_bytes(bytes(mutated))
                assert len(back.indices) == back.dimension
            except ValueError as e:
                assert str(e).startswith(PREFIX) and str(e)[len(PREFIX):].startswith(allowed)


def test_surface():
    assert CompressedVector.to_bytes.__text_signature__ == "($self)"
    assert CompressedVector.to_bytes.__doc__ == "Serialize to compact binary form."
    assert CompressedVector.from_bytes.__text_signature__ == "($cls, data)"
    assert CompressedVector.from_bytes.__doc__ == "Deserialize from compact binary form."
    r = CompressedVector.from_bytes(header(5, 2) + bytes([0x39, 0x01, 0x00]))
    for name in ("indices", "residual", "config_hash", "dimension", "bit_width", "has_residual", "size_bytes"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    idx = r.indices
    idx[0] = 3
    assert r.indices.tolist() == [1, 2, 3, 0, 1] and idx.dtype == np.uint8
