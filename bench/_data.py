"""Test data the benchmarks share."""

import numpy as np


def clustered(n, d, seed, centres=2000):
    """Unit vectors around many centres with a shared direction, as embeddings are."""
    rng = np.random.default_rng(seed)
    shared = rng.standard_normal(d)
    c = rng.standard_normal((centres, d)) + 1.5 * shared
    out = np.empty((n, d), np.float32)
    for s in range(0, n, 20_000):
        m = min(20_000, n - s)
        x = c[rng.integers(0, centres, m)] + 0.9 * rng.standard_normal((m, d))
        out[s : s + m] = x / np.linalg.norm(x, axis=1, keepdims=True)
    return out
