import threading

import numpy as np
import pytest

from zorvex_rs.codec import Codebook, Codec, CodecConfig


def f32(*values):
    return np.array(values, dtype=np.float32)


def test_entries_are_copied_both_ways():
    source = f32(0, 1, 2, 3)
    cb = Codebook(source, 2)
    source[0] = 99
    first = cb.entries
    first[1] = 42
    assert cb.entries.tolist() == [0, 1, 2, 3]
    assert cb.entries is not cb.entries and cb.entries.dtype == np.float32
    assert (cb.bit_width, cb.num_entries) == (2, 4)


@pytest.mark.parametrize(
    "entries, bit_width, message",
    [
        ([0, 1, 1, 2], 2, "codebook must contain 4 distinct values, got 2"),
        ([1, 1, 0, 2], 2, "codebook must contain 4 distinct values, got 1"),
        ([0, 2, 1, 3], 2, "codebook entries must be sorted ascending"),
        ([0, 2, 1, 1], 2, "codebook entries must be sorted ascending"),  # the first offending pair decides
        ([0.0, -0.0, 1, 2], 2, "codebook entries must be sorted ascending"),
        ([-0.0, -0.0, 1, 2], 2, "codebook must contain 4 distinct values, got 1"),
        ([0, 1, 2], 2, "codebook must have 4 entries for bit_width=2, got 3"),
        (list(range(8)), 3, "bit_width must be one of [2, 4, 8], got 3"),
        ([], 4, "codebook must have 16 entries for bit_width=4, got 0"),
        ([0, 1, 2, np.nan], 2, None),
        ([np.nan, 0, 1, 2], 2, "codebook entries must be sorted ascending"),  # positive NaN sorts last
        ([-np.nan, 0, 1, 2], 2, None),
    ],
)
def test_construction_checks(entries, bit_width, message):
    values = f32(*entries) if entries else np.zeros(0, dtype=np.float32)
    if message is None:
        assert Codebook(values, bit_width).num_entries == 4
        return
    with pytest.raises(ValueError) as info:
        Codebook(values, bit_width)
    assert str(info.value) == message and type(info.value) is ValueError


def test_signed_zeros_are_distinct():
    assert Codebook(f32(-0.0, 0.0, 1, 2), 2).entries.tobytes() == f32(-0.0, 0.0, 1, 2).tobytes()


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'entries': "):
        Codebook([0.0, 1.0, 2.0, 3.0], 2)
    with pytest.raises(TypeError, match=r"^argument 'entries': "):
        Codebook(np.zeros(4), 2)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        Codebook(f32(0, 1, 2, 3), 256)
    with pytest.raises(TypeError, match=r"^argument 'bit_width': "):
        Codebook(f32(0, 1, 2, 3), 2.0)
    # Conversions come first: a bad bit_width is reported before the layout.
    strided = np.arange(8, dtype=np.float32)[::2]
    with pytest.raises(TypeError, match=r"^argument 'bit_width': "):
        Codebook(strided, "2")
    with pytest.raises(ValueError, match="^numpy slice unavailable: The given array is not contiguous$"):
        Codebook(strided, 2)


@pytest.mark.parametrize(
    "sample, bit_width, expected",
    [
        (np.arange(10, dtype=np.float32).reshape(2, 5), 2, [0, 3, 6, 9]),
        (f32(0, 10).reshape(1, 2), 2, [0, 3.3333333, 6.6666665, 10]),
        (f32(5, -1, 3, 1, 0, 2).reshape(3, 2), 2, [-1, 2 / 3, 7 / 3, 5]),
    ],
)
def test_training_examples(sample, bit_width, expected):
    cfg = CodecConfig(bit_width, 0, 4)
    for cb in (Codebook.train(sample, cfg), Codec().build_codebook(sample, cfg)):
        assert cb.entries.tobytes() == f32(*expected).tobytes()
        assert cb.bit_width == bit_width


def train_reference(sample, n):
    s = np.sort(sample.astype(np.float64).reshape(-1))
    v = s.size
    out = []
    for k in range(n):
        pos = (k / (n - 1)) * (v - 1)
        lo = max(int(np.floor(pos)), 0)
        hi = min(lo + 1, v - 1)
        frac = pos - np.floor(pos)
        out.append(np.float32(s[lo] + (s[hi] - s[lo]) * frac))
    return np.sort(np.array(out, dtype=np.float32))


@pytest.mark.parametrize("bit_width", [2, 4, 8])
def test_training_matches_the_quantile_definition(bit_width):
    rng = np.random.default_rng(bit_width)
    sample = rng.standard_normal((300, 17)).astype(np.float32)
    cb = Codebook.train(sample, CodecConfig(bit_width, 0, 17))
    assert cb.entries.tobytes() == train_reference(sample, 2**bit_width).tobytes()


@pytest.mark.parametrize("sample", [np.zeros((0, 4), np.float32), np.full((5, 5), 3.0, np.float32),
                                    np.zeros((3, 0), np.float32), f32(1, 1, 1, 2).reshape(2, 2)])
def test_training_needs_enough_distinct_values(sample):
    with pytest.raises(ValueError, match="^insufficient training data for 4 distinct entries$"):
        Codebook.train(sample, CodecConfig(2, 0, 4))


def _with_nan(shape, flat_index, bits=0x7FC00000):
    sample = np.random.default_rng(1).standard_normal(shape).astype(np.float32)
    sample.reshape(-1)[flat_index] = np.array(bits, np.uint32).view(np.float32)
    return sample


@pytest.mark.parametrize(
    "sample, index",
    [
        (_with_nan((1000, 384), 0), 0),  # first
        (_with_nan((1000, 384), 1000 * 384 - 1), 1000 * 384 - 1),  # last
        (_with_nan((1, 1), 0), 0),  # the only value
        (_with_nan((50, 8), 123, bits=0xFFC00123), 123),  # negative, with a payload
        (_with_nan((50, 8), 77, bits=0x7F800001), 77),  # signalling
    ],
    ids=["first", "last", "only", "negative-payload", "signalling"],
)
@pytest.mark.parametrize("train", [
    lambda x, cfg: Codebook.train(x, cfg),
    lambda x, cfg: Codec().build_codebook(x, cfg),
], ids=["Codebook.train", "Codec.build_codebook"])
def test_training_refuses_nan_anywhere(sample, index, train):
    # Checked before anything else of training: even the width-8 one-value
    # sample, which would be refused as too small, names the NaN.
    for bit_width in (4, 8):
        cfg = CodecConfig(bit_width, 0, sample.shape[1])
        message = f"^training data must not contain NaN: value {index} of {sample.size} \\(row-major\\) is NaN$"
        with pytest.raises(ValueError, match=message):
            train(sample, cfg)


@pytest.mark.parametrize("sample, entry_bits", [
    ([0, 1, 2, 3, 4, 5, np.inf], [0xFFC00000, 0, 0x40000000, 0x40800000]),
    ([-np.inf, 0, 1, 2, 3, 4, 5], [0xFFC00000, 0x3F800000, 0x40400000, 0x40A00000]),
])
def test_infinities_train_as_before(sample, entry_bits):
    # Only NaN in the input is refused: an infinite end still interpolates to
    # inf + (inf - inf) * 0, the processor's default NaN, which sorts first.
    cb = Codebook.train(np.array([sample], np.float32), CodecConfig(2, 0, len(sample)))
    assert cb.entries.view(np.uint32).tolist() == entry_bits


def test_training_argument_errors():
    cfg = CodecConfig(2, 0, 4)
    with pytest.raises(TypeError, match=r"^argument 'vectors': "):
        Codebook.train(np.zeros(4, np.float32), cfg)
    with pytest.raises(TypeError, match=r"^argument 'training_vectors': "):
        Codec().build_codebook(np.zeros((2, 2)), cfg)
    with pytest.raises(TypeError, match=r"^argument 'config': "):
        Codebook.train(np.asfortranarray(np.ones((3, 4), np.float32)), "cfg")
    with pytest.raises(ValueError, match="^input matrix must be C-contiguous float32$"):
        Codebook.train(np.asfortranarray(np.arange(12, dtype=np.float32).reshape(3, 4)), cfg)
    # A single row or column is both C- and F-contiguous.
    assert Codebook.train(np.asfortranarray(np.arange(4, dtype=np.float32).reshape(1, 4)), cfg).num_entries == 4


def test_training_releases_the_interpreter_lock_and_is_thread_safe():
    rng = np.random.default_rng(7)
    sample = rng.standard_normal((400, 64)).astype(np.float32)
    cfg = CodecConfig(8, 0, 64)
    want = Codebook.train(sample, cfg).entries.tobytes()
    results = []
    threads = [threading.Thread(target=lambda: results.append(Codebook.train(sample, cfg).entries.tobytes()))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [want] * 4


def test_class_surface():
    assert Codebook.__doc__ == "Immutable lookup table mapping quantized indices to float32 values."
    assert Codebook.__text_signature__ == "(entries, bit_width)"
    assert Codebook.train.__text_signature__ == "($cls, vectors, config)"
    assert Codebook.train.__doc__ == "Train a codebook from representative FP32 vectors."
    cb = Codebook(f32(0, 1, 2, 3), 2)
    for name in ("entries", "bit_width", "num_entries"):
        with pytest.raises(AttributeError):
            setattr(cb, name, 1)
    assert cb != Codebook(f32(0, 1, 2, 3), 2)
