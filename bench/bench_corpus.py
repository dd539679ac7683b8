"""Corpus costs as the corpus grows: insert, lookups, memory and decompress_all.

Run with the installed package:  .venv/bin/python bench/bench_corpus.py [scale]
`scale` (default 1.0) multiplies the vector counts: 200,000 under FP16 and
PASSTHROUGH, 20,000 under COMPRESS, all of dimension 384. Each policy runs in a
fresh interpreter so that its resident-memory growth is its own.

Per-insert cost is measured over the 2% of the run ending at 10%, 50% and 100%
of it: a container whose cost grows with the count shows a rising row. Times
are CPU time of the calling thread (process CPU time for the decoding of all
vectors), so other work on the machine does not inflate them.
Memory is the growth of resident memory per stored vector, less the payload
(identifier bytes plus the stored record's bytes).
"""

import json
import subprocess
import sys
import time

import numpy as np

from zorvex_rs.codec import Codec, CodecConfig
from zorvex_rs.corpus import CompressionPolicy, Corpus

D = 384
POOL = 1024  # distinct input rows, reused so the inputs add little to resident memory
COUNTS = {"FP16": 200_000, "PASSTHROUGH": 200_000, "COMPRESS": 20_000}
RECORD_BYTES = {"FP16": 2 * D, "PASSTHROUGH": 4 * D, "COMPRESS": D + 2 * D}  # COMPRESS: indices + residual


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def per_call_us(fn, args):
    start = time.thread_time()
    for a in args:
        fn(a)
    return (time.thread_time() - start) / len(args) * 1e6


def run_one(policy_name, n):
    rng = np.random.default_rng(0)
    x = (rng.standard_normal((POOL, D)) / np.sqrt(D)).astype(np.float32)
    codec = Codec()
    cfg = CodecConfig(4, 42, D)
    cb = codec.build_codebook(x, cfg)
    ids = [f"v{i:07}" for i in range(n)]
    rows = [x[i % POOL] for i in range(n)]
    corpus = Corpus("bench", cfg, cb, getattr(CompressionPolicy, policy_name))
    corpus.insert("warm", x[0])  # builds the rotation once under COMPRESS
    corpus.remove("warm")
    corpus.pending_events()

    window = max(1, n // 50)
    marks = {n // 10: "10%", n // 2: "50%", n: "100%"}
    insert_us = {}
    rss_before = rss_bytes()
    insert = corpus.insert
    start = time.thread_time()
    for i in range(n):
        if (i + window) in marks:
            start = time.thread_time()
        insert(ids[i], rows[i])
        if (i + 1) in marks:
            insert_us[marks[i + 1]] = (time.thread_time() - start) / window * 1e6
        if i % 4096 == 0:
            corpus.pending_events()  # pending events would count as memory
    corpus.pending_events()
    grown = rss_bytes() - rss_before
    payload = sum(len(i) for i in ids) / n + RECORD_BYTES[policy_name]
    overhead = grown / n - payload

    probe = [ids[i] for i in rng.integers(0, n, size=20_000)]
    unique_probe = list(dict.fromkeys(probe))[: n // 10]
    lookups = {
        "contains": per_call_us(corpus.contains, probe),
        "get": per_call_us(corpus.get, probe),
        "remove": per_call_us(corpus.remove, unique_probe),  # 10% at most: still near full size
    }
    for vid in unique_probe:
        corpus.insert(vid, x[0])
    corpus.pending_events()

    start = time.process_time()
    decoded = corpus.decompress_all()
    t_all = time.process_time() - start
    assert len(decoded) == n
    del decoded
    result = {"policy": policy_name, "n": n, "insert_us": insert_us, "lookup_us": lookups,
              "overhead_bytes": overhead, "payload_bytes": payload, "decompress_all_s": t_all}
    if policy_name == "COMPRESS":
        matrix = np.stack(rows)
        records = codec.compress_batch(matrix, cfg, cb)
        start = time.process_time()
        codec.decompress_batch(records, cfg, cb)
        result["decompress_batch_s"] = time.process_time() - start
    return result


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--one":
        print(json.dumps(run_one(sys.argv[2], int(sys.argv[3]))))
        return
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    print(f"d = {D}; CPU microseconds per call from Python; memory from resident-set growth")
    print(f"{'policy':<12} {'n':>8} {'insert@10%':>11} {'@50%':>7} {'@100%':>7} {'contains':>9} {'get':>7} "
          f"{'remove':>7} {'payload B':>10} {'overhead B':>11} {'decompress_all s':>17} {'decompress_batch s':>19}")
    for name, count in COUNTS.items():
        n = max(100, int(count * scale))
        out = subprocess.run([sys.executable, __file__, "--one", name, str(n)], capture_output=True, text=True,
                             check=True)
        r = json.loads(out.stdout)
        ins, look = r["insert_us"], r["lookup_us"]
        batch = f"{r['decompress_batch_s']:.3f}" if "decompress_batch_s" in r else "-"
        print(f"{name:<12} {n:>8} {ins['10%']:>11.2f} {ins['50%']:>7.2f} {ins['100%']:>7.2f} "
              f"{look['contains']:>9.2f} {look['get']:>7.2f} {look['remove']:>7.2f} {r['payload_bytes']:>10.0f} "
              f"{r['overhead_bytes']:>11.0f} {r['decompress_all_s']:>17.3f} {batch:>19}")
    print("decompress_batch: the same records decoded by Codec().decompress_batch into one matrix "
          "(decompress_all also builds one array per vector and the dict)")


if __name__ == "__main__":
    main()
