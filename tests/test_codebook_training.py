import bisect
import itertools
import math
import os
from statistics import NormalDist

import numpy as np
import pytest

from conftest import spin_beside
from zorvex_rs.codec import Codebook, CodecConfig, DimensionMismatchError, RotationMatrix, train_codebook


def rotated(x, config):
    rotation = RotationMatrix.from_config(config)
    return np.stack([rotation.apply(row) for row in x.astype(np.float32)])


def cube_root(a):
    if a == 0:
        return 0.0
    m, e = math.frexp(a)
    m, e = math.ldexp(m, e % 3), e - e % 3
    y = 1.0
    for _ in range(8):
        y = y - (y * y * y - m) / (3.0 * y * y)
    return math.ldexp(y, e // 3)


def start_entries(s, n):
    """Entries spread with density p^(1/3) over equal-count bins of the sorted values s."""
    bins = min(64 * n, len(s) - 1)
    at = [j * (len(s) - 1) // bins for j in range(bins + 1)]
    edge = [float(s[i]) for i in at]
    weight = [cube_root((at[j + 1] - at[j]) * (edge[j + 1] - edge[j]) * (edge[j + 1] - edge[j])) for j in range(bins)]
    cumulative = [0.0, *itertools.accumulate(weight)]
    c = []
    for k in range(n):
        target = (k + 0.5) / n * cumulative[-1]
        j = min(max(bisect.bisect_right(cumulative, target) - 1, 0), bins - 1)
        inside = (target - cumulative[j]) / weight[j] if weight[j] > 0 else 0.0
        c.append(edge[j] + inside * (edge[j + 1] - edge[j]) + 0.0)
    return c


def reference_lloyd(values, n, max_iterations=100_000, tolerance=0.0):
    """The stated algorithm in plain Python: exact integer cell sums, the same roundings."""
    s = np.sort(values.ravel()).astype(np.float64)
    scale = 61 - (math.frexp(max(abs(s[0]), abs(s[-1])))[1] - 1)
    prefix = [0, *itertools.accumulate(round(math.ldexp(v, scale)) for v in s)]
    c = start_entries(s, n)
    previous, stop = None, tolerance * (s[-1] - s[0])
    for _ in range(max_iterations):
        bounds = [0]
        for k in range(1, n):
            bounds.append(max(int(np.searchsorted(s, 0.5 * (c[k - 1] + c[k]), "left")), bounds[-1]))
        bounds.append(len(s))
        if bounds == previous:
            break
        previous, moved = bounds, 0.0
        for k, (lo, hi) in enumerate(itertools.pairwise(bounds)):
            if hi > lo:
                mean = math.ldexp(float(prefix[hi] - prefix[lo]) / (hi - lo), -scale)
                moved, c[k] = max(moved, abs(mean - c[k])), mean
        if moved <= stop:
            break
    entries = np.array(c, dtype=np.float32)
    for k in range(1, n):
        if not entries[k] > entries[k - 1]:
            entries[k] = np.nextafter(entries[k - 1], np.float32(np.inf))
    return entries


def distortion(values, entries):
    """Mean squared error of nearest-entry quantisation (ties up), over the values' variance."""
    v = values.ravel().astype(np.float64)
    e = entries.astype(np.float64)
    nearest = e[np.searchsorted((e[:-1] + e[1:]) / 2, v, "right")]
    return np.mean((v - nearest) ** 2) / v.var()


@pytest.fixture(scope="module")
def sample():
    # Unit vectors with uneven energy per dimension, like real embeddings.
    x = np.random.default_rng(5).standard_normal((400, 48)) * np.linspace(0.2, 3.0, 48)
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


@pytest.mark.parametrize("bits", [2, 4, 8])
@pytest.mark.parametrize("options", [{}, {"max_iterations": 3}, {"tolerance": 1e-4}], ids=["fixed-point", "cap", "tol"])
def test_lloyd_max_matches_the_reference_bit_for_bit(sample, bits, options):
    config = CodecConfig(bits, 7, sample.shape[1], False)
    got = train_codebook(sample, config, **options)
    want = reference_lloyd(rotated(sample, config), 2**bits, **options)
    assert got.entries.tobytes() == want.tobytes()
    assert (got.bit_width, got.num_entries) == (bits, 2**bits)
    if not options:
        quantile = Codebook.train(sample, config)
        assert distortion(rotated(sample, config), got.entries) < distortion(rotated(sample, config), quantile.entries)


@pytest.mark.parametrize(
    "bits, half, ratio",
    [
        (2, [0.4528, 1.510], 0.1175),
        (4, [0.1284, 0.3881, 0.6568, 0.9424, 1.256, 1.618, 2.069, 2.733], 0.009497),
    ],
)
def test_fixed_point_of_a_normal_variable_is_the_known_optimum(bits, half, ratio):
    # Dimension 1 rotates by +-1, so the fitted values are these evenly spread normal quantiles.
    normal = NormalDist()
    x = np.array([[normal.inv_cdf((i + 0.5) / 200_000)] for i in range(200_000)], dtype=np.float32)
    entries = train_codebook(x, CodecConfig(bits, 1, 1, False)).entries
    np.testing.assert_allclose(entries, [-v for v in reversed(half)] + half, atol=1.5e-3)
    assert distortion(x, entries) == pytest.approx(ratio, rel=2e-3)


@pytest.mark.parametrize("bits", [2, 4, 8])
def test_quantile_method_is_codebook_train(sample, bits):
    config = CodecConfig(bits, 3, sample.shape[1], True)
    want = Codebook.train(sample, config).entries.tobytes()
    assert train_codebook(sample, config, method="quantile").entries.tobytes() == want
    # Any float dtype and layout is converted to the same float32 values once.
    assert train_codebook(np.asfortranarray(sample, dtype=np.float64), config, method="quantile").entries.tobytes() == want


def test_same_bits_in_another_process(sample, run_python, tmp_path):
    np.save(tmp_path / "x.npy", sample)
    code = (
        "import numpy as np; from zorvex_rs.codec import CodecConfig, train_codebook; "
        f"x = np.load({str(tmp_path / 'x.npy')!r}); print(train_codebook(x, CodecConfig(8, 99, 48)).entries.tobytes().hex())"
    )
    here = train_codebook(sample, CodecConfig(8, 99, 48)).entries.tobytes().hex()
    assert run_python(code, env={**os.environ, "PYTHONHASHSEED": "123"}).strip() == here


def test_training_releases_the_interpreter_lock():
    x = np.random.default_rng(1).standard_normal((3000, 256)).astype(np.float32)
    config = CodecConfig(8, 4, 256)
    train_codebook(x[:10], config)  # warm the rotation cache
    spinning, working = spin_beside(lambda: [train_codebook(x, config) for _ in range(2)])
    assert spinning > working / 4


def f32(rows):
    return np.array(rows, dtype=np.float32)


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize(
    "vectors, kwargs, error, message",
    [
        (f32([[0, 1], [np.nan, 2]]), {}, ValueError, r"^vectors\[1, 0\] is nan as float32: training needs finite values$"),
        (f32([[0, -np.inf], [1, 2]]), {}, ValueError, r"^vectors\[0, 1\] is -inf as float32"),
        (np.array([[0, 1e300], [1, 2]]), {"method": "quantile"}, ValueError, r"^vectors\[0, 1\] is inf as float32"),
        (f32([[3.4e38, 3.4e38], [1, 2]]), {}, ValueError,
         r"^rotating row \d of vectors gives -?inf at coordinate \d: the sample's values are too large"),
        (np.zeros((0, 2), np.float32), {}, ValueError, r"^vectors has no rows: training needs at least one vector$"),
        (np.zeros((3, 5), np.float32), {}, DimensionMismatchError,
         r"^vector length 5 does not match config dimension 2$"),
        (f32([[0, 0], [1, 1], [0, 0]]), {}, ValueError,
         r"^the rotated sample has 3 distinct values; a codebook of bit_width 2 needs at least 4$"),
        (f32([[1, 1], [1, 1]]), {"method": "quantile"}, ValueError,
         r"^insufficient training data for 4 distinct entries$"),
        (f32([[0, 1], [2, 3]]), {"method": "k-means"}, ValueError,
         r"^method must be 'lloyd-max' or 'quantile', got 'k-means'$"),
        (f32([[0, 1], [2, 3]]), {"max_iterations": 0}, ValueError, r"^max_iterations must be at least 1, got 0$"),
        (f32([[0, 1], [2, 3]]), {"tolerance": -1.0}, ValueError, r"^tolerance must be a finite number >= 0, got -1$"),
        (f32([[0, 1], [2, 3]]), {"tolerance": math.nan}, ValueError, r"^tolerance must be a finite number >= 0, got nan"),
        (f32([0, 1, 2, 3]), {}, TypeError,
         r"^argument 'vectors': expected a 2-D floating-point numpy.ndarray, got a float32 array of shape \(4,\)$"),
        (np.zeros((4, 2), np.int64), {}, TypeError, r"^argument 'vectors': .* got a int64 array of shape \(4, 2\)$"),
        ([[0.0, 1.0]] * 4, {}, TypeError, r"^argument 'vectors': expected a 2-D floating-point numpy.ndarray, got list$"),
    ],
)
def test_bad_input_is_refused_and_left_alone(vectors, kwargs, error, message):
    before = np.copy(vectors)
    with pytest.raises(error, match=message):
        train_codebook(vectors, CodecConfig(2, 0, 2), **kwargs)
    np.testing.assert_array_equal(vectors, before)


def test_options_are_keyword_only(sample):
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        train_codebook(sample, CodecConfig(2, 0, 48), "quantile")
