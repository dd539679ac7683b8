"""Independent NumPy emulation of the codec's exact arithmetic.

Sums are vectorised across independent outputs and looped over the summation
index in its fixed order, with separate multiply and add, so every result is
the exact bit pattern the extension must produce.
"""

import numpy as np

from zorvex_rs.codec import RotationMatrix


def rotation(seed, d):
    return np.frombuffer(RotationMatrix.from_seed_and_dim(seed, d).matrix_f64_bytes(), dtype="<f8").reshape(d, d)


def rotate_rows(m, x):
    """Forward rotation of each row of x (n, d): y[r, i] = sum_j M[i, j] * x[r, j], increasing j."""
    x = np.atleast_2d(x).astype(np.float64)
    s = np.zeros((x.shape[0], m.shape[0]))
    for j in range(m.shape[1]):
        s = s + x[:, j:j + 1] * m[:, j][None, :]
    return s.astype(np.float32)


def unrotate_rows(m, v):
    """Inverse rotation: a[r, j] = sum_i M[i, j] * v[r, i], increasing i."""
    v = np.atleast_2d(v).astype(np.float64)
    a = np.zeros((v.shape[0], m.shape[1]))
    for i in range(m.shape[0]):
        a = m[i, :][None, :] * v[:, i:i + 1] + a
    return a.astype(np.float32)


def quantize(values, entries):
    """Nearest entry by the definition: first j with not(value > e[j]), ties up, NaN to 0."""
    values = np.asarray(values, dtype=np.float32).reshape(-1)
    e = np.asarray(entries, dtype=np.float32)
    n = e.size
    with np.errstate(invalid="ignore"):
        gt = values[:, None] > e[None, :]
    j = np.where(gt.all(axis=1), n, np.argmin(gt, axis=1))
    hi = np.minimum(j, n - 1)
    lo = np.where(hi > 0, hi - 1, 0)
    with np.errstate(invalid="ignore", over="ignore"):
        d_lo = np.abs(values - e[lo])
        d_hi = np.abs(values - e[hi])
        pick_lo = d_hi > d_lo
    return np.where(pick_lo, lo, hi).astype(np.uint8)


def compress_rows(x, seed, entries, residual):
    """(indices, residual bytes or None) per row, for finite data."""
    m = rotation(seed, np.atleast_2d(x).shape[1])
    e = np.asarray(entries, dtype=np.float32)
    out = []
    for rotated in rotate_rows(m, x):
        idx = quantize(rotated, e)
        res = None
        if residual:
            with np.errstate(over="ignore"):
                res = (rotated - e[idx]).astype(np.float16).astype("<f2").tobytes()
        out.append((idx, res))
    return out


def decompress_rows(records, seed, entries):
    """records: [(indices, residual bytes or None)] -> float32 matrix."""
    e = np.asarray(entries, dtype=np.float32)
    values = []
    for idx, res in records:
        v = e[np.asarray(idx)]
        if res is not None:
            v = np.frombuffer(res, dtype="<f2").astype(np.float32) + v
        values.append(v)
    d = len(values[0])
    return unrotate_rows(rotation(seed, d), np.array(values, dtype=np.float32))
