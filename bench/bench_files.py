"""Collections kept in files: save and load beside NumPy, opening in place, and
the codes-in-memory / originals-on-disk configuration, in one run.

Run with the installed package:
    .venv/bin/python bench/bench_files.py [vectors] [dimension]
Defaults: 1,000,000 clustered unit vectors of 384 float32; a 4-bit
CompressedBackend (residual-free) and a BruteForceBackend of the same vectors.

Rows:
- save / load of each backend beside np.save / np.load of the same number of
  bytes (the float32 matrix for the exact backend, the file's bytes as a byte
  array for the codes). save flushes the file to disk (fsync) and np.save does
  not, so np.save + fsync is shown too. The page cache is warm for every load.
- load(mmap=True): the open alone, then the first search on the mapped file
  against a search on the loaded copy (both one query, top_k 10).
- CompressedBackend in memory re-ranked against a BruteForceBackend mapped from
  its file (rerank 100): memory held by the process, time per query, recall@10
  against exact search, beside the same search with the exact backend in memory.
"""

import os
import resource
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import zorvex_rs
from zorvex_rs.backend import BruteForceBackend, CompressedBackend
from zorvex_rs.codec import Codec, CodecConfig

from _data import clustered

TOP_K = 10


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def best(fn, repeat=3):
    """The fastest of `repeat` runs: the machine is shared, so the minimum is the cost."""
    times = []
    for _ in range(repeat):
        t, out = timed(fn)
        times.append(t)
        del out
    return min(times)


def np_save_fsync(path, array):
    with open(path, "wb") as f:
        np.save(f, array)
        f.flush()
        os.fsync(f.fileno())


def rss_mb(kind):
    """RssAnon: memory the process holds; RssFile: file pages mapped (clean, shared with the page cache)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(kind + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    d = int(sys.argv[2]) if len(sys.argv) > 2 else 384
    x = clustered(n, d, seed=1)
    queries = clustered(100, d, seed=2)
    ids = [f"doc-{i:07d}" for i in range(n)]

    config = CodecConfig(4, seed=7, dimension=d, residual_enabled=False)
    codebook = Codec().build_codebook(x[:20_000], config)
    t0 = time.perf_counter()
    exact, codes = BruteForceBackend(), CompressedBackend(config, codebook)
    for s in range(0, n, 50_000):
        chunk = dict(zip(ids[s : s + 50_000], x[s : s + 50_000]))
        exact.ingest(chunk)
        codes.ingest(chunk)
    print(f"{n:,} x {d} vectors; built both backends in {time.perf_counter() - t0:.1f} s\n")

    rows = []
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as tmp:
        tmp = Path(tmp)
        for name, backend, like in (("BruteForceBackend", exact, x), ("CompressedBackend 4-bit", codes, None)):
            path = tmp / "collection.zvx"
            # Ours and NumPy's take turns, so that a slow moment of the shared
            # disk does not fall on one side only.
            zorvex_rs.save(backend, path)
            size = path.stat().st_size
            # The file's own bytes, in memory: a fresh np.zeros would be pages
            # never written, which the kernel reads from one shared zero page.
            array = like if like is not None else np.fromfile(path, np.uint8)
            turns = {"save": [], "np.save": [], "np.save+fsync": [], "load": [], "np.load": []}
            steps = {
                "save": lambda: zorvex_rs.save(backend, path),
                "np.save": lambda: np.save(tmp / "ref.npy", array),
                "np.save+fsync": lambda: np_save_fsync(tmp / "ref.npy", array),
                "load": lambda: zorvex_rs.load(path),
                "np.load": lambda: np.load(tmp / "ref.npy"),
            }
            # Every other turn runs in the opposite order: memory just given
            # back is faster to fill again than memory given back long ago (on
            # this virtual machine, much faster), so whichever load ran second
            # would have an edge.
            for turn in range(4):
                for step in list(steps) if turn % 2 == 0 else list(steps)[::-1]:
                    turns[step].append(timed(steps[step])[0])
            t_save, t_np_save, t_np_save_sync, t_load, t_np_load = (min(turns[k]) for k in turns)
            t_map = best(lambda: zorvex_rs.load(path, mmap=True), repeat=10)
            t_verify = best(lambda: zorvex_rs.load(path, mmap=True, verify=True))
            loaded = zorvex_rs.load(path)
            # A fresh mapping: its first search faults the pages in.
            mapped = zorvex_rs.load(path, mmap=True)
            t_first_mapped, r_mapped = timed(lambda: mapped.search(queries[0], TOP_K))
            t_copy = best(lambda: loaded.search(queries[0], TOP_K))
            r_copy = loaded.search(queries[0], TOP_K)
            assert [(r.vector_id, r.score) for r in r_mapped] == [(r.vector_id, r.score) for r in r_copy]
            rows.append((name, size, t_save, t_np_save, t_np_save_sync, t_load, t_np_load, t_map, t_verify,
                         t_first_mapped, t_copy))
            del loaded, mapped
            (tmp / "ref.npy").unlink()
            if like is not None:
                exact_path = tmp / "exact.zvx"
                path.rename(exact_path)

        print("| backend | file | save | np.save | np.save+fsync | save / np.save+fsync | load | np.load | load / np.load "
              "| load(mmap=True) | load(mmap=True, verify=True) | first search, mapped | search, loaded copy |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for name, size, ts, tns, tnss, tl, tnl, tm, tv, tfm, tc in rows:
            print(f"| {name} | {size / 2**20:,.0f} MiB | {ts:.2f} s | {tns:.2f} s | {tnss:.2f} s | {ts / tnss:.2f}x "
                  f"| {tl:.2f} s | {tnl:.2f} s | {tl / tnl:.2f}x | {tm * 1e3:.2f} ms | {tv:.2f} s | {tfm * 1e3:.1f} ms "
                  f"| {tc * 1e3:.1f} ms |")

        # Codes in memory, originals on disk.
        q64 = queries.astype(np.float64)
        truth = [set(np.argsort(-(x @ q.astype(np.float32)), kind="stable")[:TOP_K]) for q in q64]
        del exact
        before = rss_mb("RssAnon"), rss_mb("RssFile")
        mapped_exact = zorvex_rs.load(exact_path, mmap=True)
        results = {}
        for label, ex in (("exact mapped from file", mapped_exact),):
            codes.search(queries[0], TOP_K, rerank=100, exact=ex)  # first touch
            t, found = timed(lambda: [codes.search(q, TOP_K, rerank=100, exact=ex) for q in queries])
            recall = np.mean([len({int(r.vector_id[4:]) for r in f} & tr) / TOP_K for f, tr in zip(found, truth)])
            results[label] = (t / len(queries), recall)
        after = rss_mb("RssAnon"), rss_mb("RssFile")
        in_memory = zorvex_rs.load(exact_path)
        t, found_mem = timed(lambda: [codes.search(q, TOP_K, rerank=100, exact=in_memory) for q in queries])
        recall_mem = np.mean([len({int(r.vector_id[4:]) for r in f} & tr) / TOP_K for f, tr in zip(found_mem, truth)])
        same = [[(r.vector_id, r.score) for r in f] for f in found] == [[(r.vector_id, r.score) for r in f] for f in found_mem]
        print()
        print("| configuration | held in memory | per query | recall@10 |")
        print("|---|---|---|---|")
        print(f"| CompressedBackend 4-bit + exact BruteForceBackend mapped (rerank 100) | codes "
              f"{codes.memory_bytes / 2**20:,.0f} MiB (process memory +{after[0] - before[0]:,.0f} MiB; file pages "
              f"mapped +{after[1] - before[1]:,.0f} MiB) "
              f"| {results['exact mapped from file'][0] * 1e3:.1f} ms | {results['exact mapped from file'][1]:.3f} |")
        print(f"| CompressedBackend 4-bit + exact BruteForceBackend in memory (rerank 100) | codes "
              f"{codes.memory_bytes / 2**20:,.0f} MiB + {exact_path.stat().st_size / 2**20:,.0f} MiB "
              f"| {t / len(queries) * 1e3:.1f} ms | {recall_mem:.3f} |")
        print(f"\nidentical results, mapped vs in-memory exact: {same}")
        print(f"peak RSS of the run: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**10:,.0f} MiB")


if __name__ == "__main__":
    main()
