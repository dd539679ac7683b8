import gc
import resource
import sys

import numpy as np
import pytest

from zorvex_rs.codec import CodecConfig, RotationMatrix


def matrix(r):
    d = r.dimension
    return np.frombuffer(r.matrix_f64_bytes(), dtype="<f8").reshape(d, d)


def forward_reference(m, x):
    """M @ x summed in increasing j per row, separate multiply and add."""
    s = np.zeros(m.shape[0])
    for j in range(m.shape[1]):
        s = s + m[:, j] * np.float64(x[j])
    return s.astype(np.float32)


def inverse_reference(m, x):
    a = np.zeros(m.shape[1])
    for i in range(m.shape[0]):
        a = m[i, :] * np.float64(x[i]) + a
    return a.astype(np.float32)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def test_constructors_agree_and_are_distinct_objects():
    cfg = CodecConfig(4, 42, 48)
    a = RotationMatrix.from_config(cfg)
    b = RotationMatrix.from_seed_and_dim(cfg.seed, cfg.dimension)
    c = RotationMatrix.from_config(config=cfg)
    assert a.matrix_f64_bytes() == b.matrix_f64_bytes() == c.matrix_f64_bytes()
    assert a is not b and a != b and a == a
    assert (a.seed, a.dimension) == (42, 48)
    assert type(a) is RotationMatrix


@pytest.mark.parametrize("seed, d", [(0, 1), (1, 2), (7, 3), (42, 17), (2**64 - 1, 64)])
def test_matrix_bytes_are_orthonormal_rows(seed, d):
    r = RotationMatrix.from_seed_and_dim(seed, d)
    raw = r.matrix_f64_bytes()
    assert isinstance(raw, bytes) and len(raw) == 8 * d * d
    m = matrix(r)
    np.testing.assert_allclose(m @ m.T, np.eye(d), atol=1e-13 * max(d, 8))
    np.testing.assert_allclose(m.T @ m, np.eye(d), atol=1e-13 * max(d, 8))


def test_different_seeds_give_different_matrices():
    assert RotationMatrix.from_seed_and_dim(1, 8).matrix_f64_bytes() != \
        RotationMatrix.from_seed_and_dim(2, 8).matrix_f64_bytes()


@pytest.mark.parametrize("x", [0.5, -3.25, 0.0, -0.0, 1e-40, np.inf])
def test_dimension_one_is_plus_or_minus_identity(x):
    r = RotationMatrix.from_seed_and_dim(5, 1)
    sign = matrix(r)[0, 0]
    assert sign in (1.0, -1.0)
    y = r.apply(np.array([x], dtype=np.float32))
    # The sum starts at +0.0, so a negative zero input comes out as +0.0.
    assert same_bits(y, np.array([0.0 + x * sign], dtype=np.float32))


@pytest.mark.parametrize("d", [1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 257])
def test_apply_follows_the_summation_order_exactly(d):
    rng = np.random.default_rng(d)
    r = RotationMatrix.from_seed_and_dim(d * 31, d)
    m = matrix(r)
    for scale in (1.0, 1e-30, 1e30):
        x = (rng.standard_normal(d) * scale).astype(np.float32)
        assert same_bits(r.apply(x), forward_reference(m, x))
        assert same_bits(r.apply_inverse(x), inverse_reference(m, x))


def test_apply_handles_special_values_like_the_reference():
    d = 16
    r = RotationMatrix.from_seed_and_dim(3, d)
    m = matrix(r)
    x = np.array([np.nan, np.inf, -np.inf, -0.0, 1e-45, 3.4e38] + [1.0] * 10, dtype=np.float32)
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(r.apply(x), forward_reference(m, x))
        np.testing.assert_array_equal(r.apply_inverse(x), inverse_reference(m, x))


def test_inverse_undoes_forward_and_keeps_the_norm():
    rng = np.random.default_rng(0)
    r = RotationMatrix.from_seed_and_dim(11, 384)
    x = rng.standard_normal(384).astype(np.float32)
    y = r.apply(x)
    assert abs(np.linalg.norm(y) - np.linalg.norm(x)) < 1e-4 * np.linalg.norm(x)
    np.testing.assert_allclose(r.apply_inverse(y), x, atol=1e-5)


def test_apply_accepts_subclasses_and_keyword():
    class Sub(np.ndarray):
        pass

    r = RotationMatrix.from_seed_and_dim(1, 4)
    x = np.arange(4, dtype=np.float32)
    assert same_bits(r.apply(vector=x.view(Sub)), r.apply(x))
    assert same_bits(r.apply(np.arange(4, dtype=np.dtype("=f4"))), r.apply(x))


@pytest.mark.parametrize(
    "value",
    [
        np.zeros(4, dtype=np.float64),
        np.zeros(4, dtype=np.float16),
        np.zeros(4, dtype=np.int32),
        np.zeros(4, dtype=">f4"),
        np.zeros((2, 2), dtype=np.float32),
        np.float32(1.0),
        np.array(1.0, dtype=np.float32),
        [0.0, 0.0, 0.0, 0.0],
        (0.0,) * 4,
        None,
    ],
)
@pytest.mark.parametrize("name", ["apply", "apply_inverse"])
def test_apply_refuses_non_float32_vectors(name, value):
    r = RotationMatrix.from_seed_and_dim(1, 4)
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        getattr(r, name)(value)


@pytest.mark.parametrize("name", ["apply", "apply_inverse"])
def test_apply_layout_and_length_errors(name):
    r = RotationMatrix.from_seed_and_dim(1, 4)
    fn = getattr(r, name)
    with pytest.raises(ValueError) as info:
        fn(np.zeros(8, dtype=np.float32)[::2])
    assert str(info.value) == "numpy slice unavailable: The given array is not contiguous"
    assert same_bits(fn(np.ascontiguousarray(np.arange(8, dtype=np.float32)[::2])),
                     fn(np.array([0, 2, 4, 6], dtype=np.float32)))
    for n in (0, 3, 5):
        with pytest.raises(ValueError) as info:
            fn(np.zeros(n, dtype=np.float32))
        assert str(info.value) == f"vector dimension must be 4, got {n}"
    with pytest.raises(TypeError, match=r"RotationMatrix\.%s\(\) missing 1 required" % name):
        fn()


def test_apply_never_touches_its_input():
    r = RotationMatrix.from_seed_and_dim(9, 32)
    x = np.linspace(-1, 1, 32, dtype=np.float32)
    before = x.copy()
    r.apply(x)
    r.apply_inverse(x)
    assert same_bits(x, before)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((0, 0), ValueError, "dimension must be > 0"),
        ((0, 16385), ValueError, "dimension must be <= 16384, got 16385"),
        ((0, 2**32 - 1), ValueError, "dimension must be <= 16384, got 4294967295"),
        ((-1, 4), OverflowError, None),
        ((2**64, 4), OverflowError, None),
        ((0, -1), OverflowError, "out of range integral type conversion attempted"),
        ((0, 2**32), OverflowError, "out of range integral type conversion attempted"),
        ((0.5, 4), TypeError, "argument 'seed': "),
        ((0, 4.0), TypeError, "argument 'dimension': "),
    ],
)
def test_from_seed_and_dim_refusals(args, exc, message):
    with pytest.raises(exc) as info:
        RotationMatrix.from_seed_and_dim(*args)
    assert type(info.value) is exc
    if message is not None:
        text = str(info.value)
        assert text.startswith(message) if message.endswith(": ") else text == message


def test_from_config_refuses_other_types():
    with pytest.raises(TypeError, match=r"^argument 'config': 'tuple' object cannot be converted to 'CodecConfig'$"):
        RotationMatrix.from_config((4, 42, 8))
    with pytest.raises(TypeError, match="unexpected keyword argument 'cfg'"):
        RotationMatrix.from_config(cfg=CodecConfig(2, 0, 8))


def test_no_constructor_and_class_surface():
    with pytest.raises(TypeError) as info:
        RotationMatrix()
    assert str(info.value) == "No constructor defined for RotationMatrix"
    assert RotationMatrix.__doc__ == "Deterministic orthogonal rotation matrix for vector preconditioning."
    assert RotationMatrix.__text_signature__ is None
    assert RotationMatrix.from_config.__text_signature__ == "($cls, config)"
    assert RotationMatrix.from_config.__doc__ == "Build (or fetch from cache) a rotation matrix from the given config."
    assert RotationMatrix.from_seed_and_dim.__text_signature__ == "($cls, seed, dimension)"
    assert RotationMatrix.from_seed_and_dim.__doc__.splitlines() == [
        "Build a rotation matrix directly from `(seed, dimension)`, bypassing `CodecConfig`.",
        "",
        "Rotation generation depends only on `(seed, dimension)`; `bit_width` is",
        "irrelevant. This constructor is used by the Python canonical bridge",
        "(`_install_canonical_rotation`) to avoid embedding a spurious `bit_width`",
        "in the call.",
    ]
    assert RotationMatrix.matrix_f64_bytes.__text_signature__ == "($self)"
    assert RotationMatrix.matrix_f64_bytes.__doc__.splitlines() == [
        "Return the raw row-major `f64` bytes of the rotation matrix.",
        "",
        "Values are little-endian IEEE-754 doubles. Length is `dimension * dimension * 8`.",
        "Used by the Python canonical bridge to reconstruct a bit-identical matrix",
        "in the Python reference without re-running QR.",
    ]
    for name in ("apply", "apply_inverse"):
        assert getattr(RotationMatrix, name).__text_signature__ == "($self, vector)"
        assert getattr(RotationMatrix, name).__doc__ is None
    r = RotationMatrix.from_seed_and_dim(0, 2)
    for name in ("seed", "dimension"):
        assert getattr(RotationMatrix, name).__doc__ is None
        with pytest.raises(AttributeError):
            setattr(r, name, 3)
    assert repr(r).startswith("<zorvex_rs.RotationMatrix object at ")
    assert hash(r) == hash(r)


def test_result_vector_owns_its_memory():
    r = RotationMatrix.from_seed_and_dim(4, 8)
    x = np.arange(8, dtype=np.float32)
    y = r.apply(x)
    assert type(y.base).__name__ == "PySliceContainer"
    assert y.dtype == np.float32 and y.flags.writeable and y.flags.c_contiguous and y.strides == (4,)
    expected = y.copy()
    tail = y[2:]
    del y
    gc.collect()
    assert same_bits(tail, expected[2:])
    tail[:] = 1e9  # writing into a result changes nothing in the module
    assert same_bits(r.apply(x), expected)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_result_vectors_do_not_leak():
    r = RotationMatrix.from_seed_and_dim(4, 256)
    x = np.ones(256, dtype=np.float32)
    for _ in range(2000):
        r.apply(x)
    before = rss_bytes()
    for _ in range(100_000):
        r.apply_inverse(x)
    # 100,000 leaked 1 KiB buffers would be about 100 MiB.
    assert rss_bytes() - before < 8 * 2**20


def test_memory_exhaustion_raises_memory_error_and_poisons_nothing(run_python):
    out = run_python(
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        "import numpy as np\n"
        "from zorvex_rs.codec import RotationMatrix\n"
        "try:\n"
        "    RotationMatrix.from_seed_and_dim(0, 16384)\n"
        "except MemoryError:\n"
        "    print('memory error')\n"
        "r = RotationMatrix.from_seed_and_dim(0, 16)\n"
        "print(r.apply(np.ones(16, dtype=np.float32)).shape)\n"
    )
    assert out.split("\n")[:2] == ["memory error", "(16,)"]


@pytest.mark.parametrize("d", [5, 64, 300])
def test_cancelling_outputs_expose_any_change_of_summation(d):
    # Output 0 cancels to rounding noise, whose bits depend on every rounding
    # step: a fused multiply-add or a reordered sum would show here.
    r = RotationMatrix.from_seed_and_dim(17, d)
    m = matrix(r)
    rng = np.random.default_rng(d)
    for _ in range(60):  # about one in seven of these outputs changes under a fused multiply-add
        x = rng.standard_normal(d)
        x[-1] = -(m[0, :-1] @ x[:-1]) / m[0, -1]
        x = x.astype(np.float32)
        y = r.apply(x)
        assert abs(y[0]) < 1e-5
        assert same_bits(y, forward_reference(m, x))
        v = np.zeros(d, np.float32)
        v[:] = x
        assert same_bits(r.apply_inverse(v), inverse_reference(m, v))
