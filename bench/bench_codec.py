"""Codec throughput beside NumPy doing the same float64 rotation product.

Run with the installed package:  .venv/bin/python bench/bench_codec.py [rows]
NumPy is limited to one BLAS thread so both sides use one core.
"""

import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

import zorvex_rs._internal as internal
from zorvex_rs.codec import Codec, CodecConfig, RotationMatrix, compress


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    d = 768
    rng = np.random.default_rng(0)
    x = (rng.standard_normal((rows, d)) / np.sqrt(d)).astype(np.float32)
    codec = Codec()
    forms = getattr(internal, "kernel_forms", lambda: {})()
    print(f"kernel forms on this machine: {forms}")
    print(f"{rows} x {d} float32, one thread each")
    print(f"{'setting':<22} {'compress s':>11} {'numpy s':>9} {'ratio':>6} {'decompress s':>13} {'numpy s':>9} {'ratio':>6}")
    with threadpool_limits(limits=1, user_api="blas"):
        # NumPy's side is the same product for every setting: measure it once, well.
        m = np.frombuffer(RotationMatrix.from_config(CodecConfig(4, 42, d)).matrix_f64_bytes(), dtype="<f8").reshape(d, d)
        t_nc = best(lambda: (x.astype(np.float64) @ m.T).astype(np.float32), repeat=7)
        t_nd = best(lambda: (x.astype(np.float64) @ m).astype(np.float32), repeat=7)
        for bw in (4, 8):
            for residual in (False, True):
                cfg = CodecConfig(bw, 42, d, residual)
                cb = codec.build_codebook(x[:2000], cfg)
                records = codec.compress_batch(x, cfg, cb)
                t_c = best(lambda: codec.compress_batch(x, cfg, cb), repeat=5)
                t_d = best(lambda: codec.decompress_batch(records, cfg, cb), repeat=5)
                name = f"{bw}-bit{' + residual' if residual else ''}"
                print(f"{name:<22} {t_c:>11.3f} {t_nc:>9.3f} {t_c / t_nc:>6.2f} {t_d:>13.3f} {t_nd:>9.3f} "
                      f"{t_d / t_nd:>6.2f}")
        cfg = CodecConfig(4, 42, d)
        cb = codec.build_codebook(x[:2000], cfg)
        v = x[0].copy()
        compress(v, cfg, cb)
        n = 2000
        start = time.perf_counter()
        for _ in range(n):
            compress(v, cfg, cb)
        print(f"single-vector compress at d={d}, warm cache: {(time.perf_counter() - start) / n * 1e6:.1f} us/call")
    print("ratio = zorvex_rs time / NumPy time (below 1: zorvex_rs is faster)")


if __name__ == "__main__":
    main()
