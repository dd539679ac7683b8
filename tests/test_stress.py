"""Threads hammer one pair of corpora, one backend and one set of codec
objects at once; afterwards every logged outcome must fit some sequential
order that respects real time, every event must have been delivered exactly
once, and every codec result must equal the single-threaded one.

ZORVEX_STRESS_SECONDS (default 3) and ZORVEX_STRESS_THREADS (default 6) size
the run; the number of operations done is printed."""

import collections
import os
import random
import sys
import threading
import time
import zlib

import numpy as np

from zorvex_rs import (
    BruteForceBackend,
    Codebook,
    Codec,
    CodecConfig,
    CompressedVector,
    CompressionPolicy as P,
    ConfigMismatchError,
    Corpus,
    CorpusDecompressed,
    DuplicateVectorError,
    RotationMatrix,
    VectorsInserted,
)
import zorvex_rs

SECONDS = float(os.environ.get("ZORVEX_STRESS_SECONDS", "3"))
THREADS = int(os.environ.get("ZORVEX_STRESS_THREADS", "6"))

D = 32  # corpus and backend vectors
CD = 64  # codec vectors
OWNED, POOL = 12, 16  # corpus identifiers per thread, and shared by all
GROUPS, GROUP_SIZE = 3, 6  # backend groups per thread, ingested and removed whole


def vector_for(key, d=D):
    return np.random.default_rng(zlib.crc32(key.encode())).standard_normal(d).astype(np.float32)


# ---- per-key linearizability ------------------------------------------------------------
# Every logged outcome is an operation on one key's presence: it ran somewhere
# in [start, end], needed the key present (True), absent (False) or either
# (None) and left it present, absent or unchanged (None). A history is good
# when some order of the operations respects real time (one that ended before
# another started comes first) and each finds the state it needs.

Op = collections.namedtuple("Op", "start end pre post what")


def linearizable(ops, initial=False):
    ops = sorted(ops, key=lambda o: o.start)
    starts, ends = [o.start for o in ops], [o.end for o in ops]
    pres, posts = [o.pre for o in ops], [o.post for o in ops]
    n, seen = len(ops), set()
    # A state: every operation before k is placed, bit b of `done` says
    # whether operation k + b is, and the key's value.
    stack = [(0, 0, initial)]
    while stack:
        state = stack.pop()
        if state in seen:
            continue
        seen.add(state)
        k, done, value = state
        if k == n:
            return True
        # An operation may go next if no unplaced one ended before it started;
        # scanning in start order can stop once starts pass the earliest end.
        min_end, i = ends[k], k
        while i < n and starts[i] <= min_end:
            if not done >> (i - k) & 1 and ends[i] < min_end:
                min_end = ends[i]
            i += 1
        ready = [j for j in range(k, i) if not done >> (j - k) & 1 and starts[j] <= min_end
                 and (pres[j] is None or pres[j] == value)]
        for j in sorted(ready, key=ends.__getitem__, reverse=True):  # the earliest end is tried first
            nk, nd = k, done | 1 << (j - k)
            while nd & 1:
                nd >>= 1
                nk += 1
            stack.append((nk, nd, value if posts[j] is None else posts[j]))
    return False


def test_the_checker_refuses_impossible_histories():
    ins = lambda s, e: Op(s, e, False, True, "insert")  # noqa: E731
    rem = lambda s, e: Op(s, e, True, False, "remove")  # noqa: E731
    seen = lambda s, e, v: Op(s, e, v, None, "read")  # noqa: E731
    assert linearizable([ins(0, 10), rem(1, 2), seen(3, 4, False)])  # the insert may land after the removal
    assert not linearizable([ins(0, 1), ins(2, 3)])  # two inserts in a row
    assert not linearizable([ins(0, 1), seen(2, 3, False)])  # absent after an insert that finished
    assert linearizable([ins(0, 5), ins(1, 6), rem(2, 7)])
    assert not linearizable([ins(0, 5), ins(1, 6), rem(2, 7), seen(8, 9, False)])
    assert not linearizable([seen(0, 1, True)])


# ---- the run ----------------------------------------------------------------------------


class Log:
    """One thread's record: per-key operations, counts and its successful inserts."""

    def __init__(self):
        self.ops = collections.defaultdict(list)
        self.counts = collections.Counter()
        self.steps = 0  # calls made, a snapshot or a clear counting once
        self.inserted = collections.defaultdict(list)  # corpus -> ids of successful inserts, in order
        self.owned_inserts = collections.defaultdict(list)  # corpus -> (id, start, end) in program order
        self.snapshot_sizes = collections.defaultdict(list)

    def add(self, key, start, pre, post, what):
        self.ops[key].append(Op(start, time.perf_counter_ns(), pre, post, what))
        self.counts[what] += 1


class World:
    def __init__(self):
        rng = np.random.default_rng(42)
        self.cfg = CodecConfig(8, 5, D, True)
        self.cb = Codebook(np.linspace(-3, 3, 256, dtype=np.float32), 8)
        self.corpora = {p.name: Corpus(f"stress-{p.name}", self.cfg, self.cb, p) for p in (P.COMPRESS, P.FP16)}
        self.owned = [[f"t{t}-{k}" for k in range(OWNED)] for t in range(THREADS)]
        self.pool = [f"p{k}" for k in range(POOL)]
        self.corpus_ids = self.pool + sum(self.owned, [])
        self.vectors = {vid: vector_for(vid) for vid in self.corpus_ids}
        self.stored, self.restored = {}, {}
        for name, corpus in self.corpora.items():
            reference = Corpus("reference", self.cfg, self.cb, getattr(P, name))
            for vid in self.corpus_ids:
                self.stored[name, vid] = reference.insert(vid, self.vectors[vid]).compressed.to_bytes()
                self.restored[name, vid] = reference.decompress(vid).tobytes()
            corpus.pending_events()  # the creation event, before the threads start
        self.drained = {name: [] for name in self.corpora}
        self.drain_lock = threading.Lock()  # drains in series: their concatenation is each corpus's event order

        self.backend = BruteForceBackend()
        self.groups = {f"g{t}-{j}": [f"g{t}-{j}-{m}" for m in range(GROUP_SIZE)]
                       for t in range(THREADS) for j in range(GROUPS)}
        self.solos = [f"solo{t}" for t in range(THREADS)]
        backend_ids = self.solos + sum(self.groups.values(), [])
        self.group_dicts = {g: {m: vector_for(m) for m in ms} for g, ms in self.groups.items()}
        self.queries = rng.standard_normal((4, D)).astype(np.float32)
        reference = BruteForceBackend()
        reference.ingest({vid: vector_for(vid) for vid in backend_ids})
        self.scores = [{r.vector_id: r.score for r in reference.search(q, 10**6)} for q in self.queries]
        self.top_all = len(backend_ids) + 3

        self.codec = Codec()
        self.ccfg = CodecConfig(4, 9, CD, True)
        self.ccfg_other = CodecConfig(4, 10, CD, True)
        self.train = rng.standard_normal((64, CD)).astype(np.float32)
        self.ccb = self.codec.build_codebook(self.train, self.ccfg)
        self.cx = rng.standard_normal((8, CD)).astype(np.float32)
        self.cvs = self.codec.compress_batch(self.cx, self.ccfg, self.ccb)
        self.blobs = [cv.to_bytes() for cv in self.cvs]
        self.cout = self.codec.decompress_batch(self.cvs, self.ccfg, self.ccb)
        self.rotated = [RotationMatrix.from_config(self.ccfg).apply(x).tobytes() for x in self.cx]
        self.entries = self.ccb.entries.tobytes()
        self.foreign = self.codec.compress(self.cx[0], self.ccfg_other, self.ccb)


def corpus_step(w, log, rng, t):
    name = rng.choice(list(w.corpora))
    corpus = w.corpora[name]
    owned = rng.random() < 0.5
    vid = rng.choice(w.owned[t]) if owned else rng.choice(w.pool)
    key = ("corpus", name, vid)
    roll, start = rng.random(), time.perf_counter_ns()
    if roll < 0.3:
        try:
            entry = corpus.insert(vid, w.vectors[vid])
        except DuplicateVectorError as e:
            assert e.args == (f'duplicate vector_id "{vid}"',)
            log.add(key, start, True, None, "insert duplicate")
            return
        log.add(key, start, False, True, "insert")
        assert (entry.vector_id, entry.dimension) == (vid, D)
        assert entry.compressed.to_bytes() == w.stored[name, vid]
        log.inserted[name].append(vid)
        if owned:
            log.owned_inserts[name].append((vid, start, log.ops[key][-1].end))
    elif roll < 0.55:
        try:
            corpus.remove(vid)
        except KeyError as e:
            assert e.args == (f'"{vid}"',)
            log.add(key, start, False, None, "remove missing")
            return
        log.add(key, start, True, False, "remove")
    elif roll < 0.7:
        log.add(key, start, corpus.contains(vid), None, "contains")
    elif roll < 0.8:
        try:
            entry = corpus.get(vid)
        except KeyError:
            log.add(key, start, False, None, "get missing")
            return
        log.add(key, start, True, None, "get")
        assert entry.vector_id == vid and entry.compressed.to_bytes() == w.stored[name, vid]
    elif roll < 0.96:
        try:
            out = corpus.decompress(vid)
        except KeyError as e:
            assert e.args == (f'unknown vector_id "{vid}"',)
            log.add(key, start, False, None, "decompress missing")
            return
        log.add(key, start, True, None, "decompress")
        assert out.tobytes() == w.restored[name, vid]
    else:  # whole-corpus snapshots: each says, for every key, whether it was stored
        if roll < 0.98:
            everything = corpus.decompress_all()
            assert list(everything) == sorted(everything, key=str.encode)
            assert all(v.tobytes() == w.restored[name, k] for k, v in everything.items())
            if everything:
                log.snapshot_sizes[name].append(len(everything))
            present, what = set(everything), "decompress_all"
        else:
            present, what = corpus.vector_ids, "vector_ids"
        assert present <= set(w.corpus_ids)
        for other in w.corpus_ids:
            log.add(("corpus", name, other), start, other in present, None, what)


def backend_step(w, log, rng, t):
    backend, roll, start = w.backend, rng.random(), time.perf_counter_ns()
    group = f"g{t}-{rng.randrange(GROUPS)}"
    if roll < 0.25:
        backend.ingest(w.group_dicts[group])
        log.add(("backend", group), start, None, True, "ingest")
    elif roll < 0.4:
        backend.remove(w.groups[group] + ["never-stored"])
        log.add(("backend", group), start, None, False, "remove")
    elif roll < 0.45:
        solo = w.solos[t]
        try:  # the first pair is applied, the second refused
            backend.ingest({solo: vector_for(solo), f"bad{t}": np.zeros(D + 1, np.float32)})
        except RuntimeError as e:
            assert str(e) == f"adapter error: dimension mismatch: expected {D}, got {D + 1}"
        else:
            raise AssertionError("a vector of the wrong length was ingested")
        log.add(("backend", solo), start, None, True, "ingest partly")
    elif roll < 0.5:
        backend.remove([w.solos[t]])
        log.add(("backend", w.solos[t]), start, None, False, "remove")
    elif roll < 0.51:
        backend.clear()
        for key in list(w.groups) + w.solos:
            log.add(("backend", key), start, None, False, "clear")
    elif roll < 0.53:  # on an empty backend any length passes: then nothing is stored at all
        try:
            assert backend.search(np.ones(D - 1, np.float32), 3) == []
        except RuntimeError as e:
            assert str(e) == f"adapter error: dimension mismatch: expected {D}, got {D - 1}"
            log.counts["search wrong length"] += 1
        else:
            for key in list(w.groups) + w.solos:
                log.add(("backend", key), start, False, None, "search empty")
    elif roll < 0.56:
        n = backend.count
        assert 0 <= n <= len(w.solos) + len(w.groups) * GROUP_SIZE
        log.counts["count"] += 1
    else:
        q = rng.randrange(len(w.queries))
        top_k = w.top_all if roll < 0.75 else 5
        results = backend.search(w.queries[q], top_k)
        scores = w.scores[q]
        assert len(results) <= top_k
        ranked = [(r.vector_id, r.score) for r in results]
        assert all(scores[vid] == score for vid, score in ranked)  # bit for bit the lone search's score
        assert ranked == sorted(ranked, key=lambda p: (-p[1], p[0].encode()))
        if top_k < w.top_all:
            log.counts["search top 5"] += 1
            return
        found = {vid for vid, _ in ranked}
        for g, members in w.groups.items():
            shown = found.intersection(members)
            assert len(shown) in (0, GROUP_SIZE), f"{g} half ingested or half removed: {sorted(shown)}"
            log.add(("backend", g), start, bool(shown), None, "search")
        for solo in w.solos:
            log.add(("backend", solo), start, solo in found, None, "search")
        assert found <= set(w.solos).union(*w.groups.values())


def codec_step(w, log, rng, t):
    codec, i, roll = w.codec, rng.randrange(len(w.cx)), rng.random()
    if roll < 0.2:
        assert codec.compress(w.cx[i], w.ccfg, w.ccb).to_bytes() == w.blobs[i]
        what = "compress"
    elif roll < 0.4:
        cv = CompressedVector.from_bytes(w.blobs[i])
        assert codec.decompress(cv, w.ccfg, w.ccb).tobytes() == w.cout[i].tobytes()
        what = "from_bytes + decompress"
    elif roll < 0.5:
        assert [cv.to_bytes() for cv in codec.compress_batch(w.cx, w.ccfg, w.ccb)] == w.blobs
        what = "compress_batch"
    elif roll < 0.6:
        assert np.array_equal(codec.decompress_batch(w.cvs, w.ccfg, w.ccb), w.cout)
        what = "decompress_batch"
    elif roll < 0.7:
        out = zorvex_rs.decompress(zorvex_rs.compress(w.cx[i], w.ccfg, w.ccb), w.ccfg, w.ccb)
        assert out.tobytes() == w.cout[i].tobytes()
        what = "module compress + decompress"
    elif roll < 0.8:
        assert RotationMatrix.from_config(w.ccfg).apply(w.cx[i]).tobytes() == w.rotated[i]
        what = "rotation"
    elif roll < 0.85:
        assert codec.build_codebook(w.train, w.ccfg).entries.tobytes() == w.entries
        what = "build_codebook"
    else:
        try:
            codec.decompress(w.foreign, w.ccfg, w.ccb)
        except ConfigMismatchError as e:
            assert str(e) == (f'compressed config_hash "{w.ccfg_other.config_hash}" '
                              f'does not match config hash "{w.ccfg.config_hash}"')
        else:
            raise AssertionError("a record of another configuration was decompressed")
        what = "config mismatch"
    log.counts[what] += 1


def drain_step(w, log, rng, t):
    name = rng.choice(list(w.corpora))
    with w.drain_lock:
        w.drained[name].append(w.corpora[name].pending_events())
    log.counts["pending_events"] += 1


STEPS = [(corpus_step, 0.45), (backend_step, 0.3), (codec_step, 0.2), (drain_step, 0.05)]


def run(w, seconds, threads):
    logs, errors, stop = [Log() for _ in range(threads)], [], threading.Event()

    def body(t):
        rng, log = random.Random(1000 + t), logs[t]
        steps, weights = zip(*STEPS)
        try:
            while not stop.is_set():
                rng.choices(steps, weights)[0](w, log, rng, t)
                log.steps += 1
        except BaseException as e:  # reported by the main thread
            errors.append(e)
            stop.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(5e-5)  # many hand-overs: many interleavings
    workers = [threading.Thread(target=body, args=(t,)) for t in range(threads)]
    try:
        for worker in workers:
            worker.start()
        stop.wait(seconds)
        stop.set()
        for worker in workers:
            worker.join(120)
    finally:
        sys.setswitchinterval(old)
    assert not any(worker.is_alive() for worker in workers), "a thread hangs"
    if errors:
        raise errors[0]
    return logs


def test_threads_mixing_every_area_agree_with_a_sequential_model(capsys):
    w = World()
    began = time.perf_counter()
    logs = run(w, SECONDS, THREADS)
    elapsed = time.perf_counter() - began
    end = time.perf_counter_ns()

    # the final state, read by this thread alone, closes every history
    histories = collections.defaultdict(list)
    for log in logs:
        for key, ops in log.ops.items():
            histories[key] += ops
    for name, corpus in w.corpora.items():
        stored = corpus.vector_ids
        assert corpus.vector_count == len(stored)
        for vid in w.corpus_ids:
            histories["corpus", name, vid].append(Op(end, end, vid in stored, None, "final"))
            if vid in stored:
                assert corpus.decompress(vid).tobytes() == w.restored[name, vid]
    final = {r.vector_id for r in w.backend.search(w.queries[0], w.top_all)}
    assert w.backend.count == len(final)
    for g, members in w.groups.items():
        assert len(final.intersection(members)) in (0, GROUP_SIZE)
        histories["backend", g].append(Op(end, end, members[0] in final, None, "final"))
    for solo in w.solos:
        histories["backend", solo].append(Op(end, end, solo in final, None, "final"))
    bad = [key for key, ops in histories.items() if not linearizable(ops)]
    assert bad == [], f"no sequential order explains the outcomes on {bad[:5]}"

    for name, corpus in w.corpora.items():
        w.drained[name].append(corpus.pending_events())
        events = sum(w.drained[name], [])
        assert {type(e) for e in events} <= {VectorsInserted, CorpusDecompressed}
        assert all(e.corpus_id == f"stress-{name}" and e.timestamp == 0 for e in events)
        inserts = [e for e in events if type(e) is VectorsInserted]
        assert all(e.count == 1 and len(e.vector_ids) == 1 for e in inserts)
        # each successful insert, and each non-empty decompress_all, delivered exactly once
        ids = [e.vector_ids[0] for e in inserts]
        assert collections.Counter(ids) == collections.Counter(sum((log.inserted[name] for log in logs), []))
        assert sorted(e.vector_count for e in events if type(e) is CorpusDecompressed) == sorted(
            sum((log.snapshot_sizes[name] for log in logs), []))
        # events come in the order the inserts happened: each thread's own in its
        # program order, and an insert that ended before another began comes first
        timed = []
        for t, log in enumerate(logs):
            mine = [k for k, vid in enumerate(ids) if vid in w.owned[t]]
            assert [ids[k] for k in mine] == [vid for vid, _, _ in log.owned_inserts[name]]
            timed += [(k, s, e) for k, (_, s, e) in zip(mine, log.owned_inserts[name])]
        latest_start = 0
        for _, s, e in sorted(timed):
            assert e >= latest_start, "an insert's event precedes that of an insert that finished before it"
            latest_start = max(latest_start, s)
        assert w.corpora[name].pending_events() == []

    counts = sum((log.counts for log in logs), collections.Counter())
    # the run reached the contested outcomes, not just the easy ones
    for what in ("insert", "insert duplicate", "remove", "remove missing", "decompress", "decompress_all",
                 "ingest", "ingest partly", "clear", "search", "search wrong length",
                 "compress_batch", "build_codebook", "config mismatch", "pending_events"):
        assert counts[what] > 0, what
    operations = sum(log.steps for log in logs)
    with capsys.disabled():
        print(f"\nstress: {operations} operations by {THREADS} threads in {elapsed:.1f} s")
