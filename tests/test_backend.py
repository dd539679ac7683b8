import functools
import math
import random
import struct
import threading
import time

import numpy as np
import pytest

import zorvex_rs._core as core
from zorvex_rs.backend import BruteForceBackend, SearchBackend, SearchResult

from conftest import spin_beside

U64_MAX = 2**64 - 1
NOT_CONTIGUOUS = "numpy slice unavailable: The given array is not contiguous"


def f32(*values):
    return np.array(values, dtype=np.float32)


def bits(value):
    return struct.pack("<f", value)


def reference_scores(x, stored):
    """Cosine scores in float32, summed in increasing i with separate multiply and add."""
    x = np.asarray(x, dtype=np.float32)
    v = np.asarray(stored, dtype=np.float32).reshape(-1, x.size)
    dot = np.zeros(v.shape[0], np.float32)
    vv = np.zeros(v.shape[0], np.float32)
    xx = np.float32(0)
    with np.errstate(all="ignore"):
        for i in range(x.size):
            dot = (dot + (x[i] * v[:, i]).astype(np.float32)).astype(np.float32)
            vv = (vv + (v[:, i] * v[:, i]).astype(np.float32)).astype(np.float32)
            xx = np.float32(xx + np.float32(x[i] * x[i]))
        denom = np.sqrt((xx * vv).astype(np.float32)).astype(np.float32)
        score = (dot / denom).astype(np.float32)
    score[denom == 0] = 0
    score[np.isnan(v).any(axis=1) | np.isnan(x).any()] = 0
    return score


def expected_order(ids, scores):
    """Higher score first, ties by identifier bytes; defined when no score is NaN."""
    return [ids[k] for k in sorted(range(len(ids)), key=lambda k: (-float(scores[k]), ids[k].encode()))]


def filled(ids, vectors):
    backend = BruteForceBackend()
    backend.ingest(dict(zip(ids, vectors)))
    return backend


def make_vectors(kind, n, d, rng):
    if kind == "gaussian":
        v = rng.standard_normal((n, d))
    elif kind == "wide":  # many decades: any other summation order changes bits
        v = rng.choice([-1.0, 1.0], (n, d)) * np.exp2(rng.uniform(-40, 40, (n, d)))
    elif kind == "ties":  # small integers: many equal scores
        v = rng.integers(-1, 2, (n, d)).astype(np.float64)
    else:  # zeros, subnormals, huge values, infinities, NaNs
        v = rng.standard_normal((n, d))
        pick = rng.integers(0, 40, (n, d))
        for code, value in enumerate([0.0, -0.0, 7e-45, np.inf, -np.inf, 3e38, np.nan]):
            v[pick == code] = value
    v = v.astype(np.float32)
    if n > 3:
        v[n // 3] = 0.0
        v[n // 2] = v[n // 2 - 1]
    return v


# ---- scores and order ------------------------------------------------------------


@pytest.mark.parametrize("kind", ["gaussian", "wide", "ties", "special"])
@pytest.mark.parametrize("n,d", [(1, 1), (5, 3), (17, 16), (40, 7), (100, 64), (333, 384)])
def test_scores_and_order_match_the_reference(kind, n, d):
    rng = np.random.default_rng(n * 1000 + d)
    stored = make_vectors(kind, n, d, rng)
    ids = [f"id{k:04d}" for k in rng.permutation(n)]
    backend = filled(ids, stored)
    for x in (make_vectors(kind, 1, d, rng)[0], stored[n // 2], np.zeros(d, np.float32)):
        want = reference_scores(x, stored)
        got = backend.search(x, U64_MAX)
        assert sorted(r.vector_id for r in got) == sorted(ids)
        by_id = {r.vector_id: r.score for r in got}
        for vid, w in zip(ids, want):
            assert bits(by_id[vid]) == bits(w) or (math.isnan(by_id[vid]) and np.isnan(w)), vid
        if not np.isnan(want).any():
            assert [r.vector_id for r in got] == expected_order(ids, want)


@pytest.mark.parametrize("top_k", [1, 3, 9, 38, 1000, U64_MAX])
def test_top_k_is_a_prefix_of_the_full_order(top_k):
    # Identifiers that differ in non-ASCII bytes and as prefixes; many ties.
    names = ["b", "a", "ab", "é", "A", "", "ba", "z\x01", "z", "\U0001f600"]
    ids = list(dict.fromkeys(names[k % 10] + str(k // 10) * (k % 3) for k in range(40)))
    stored = np.random.default_rng(7).integers(-1, 2, (len(ids), 3)).astype(np.float32)
    x = f32(1, 2, 0)
    got = filled(ids, stored).search(x, top_k)
    assert [r.vector_id for r in got] == expected_order(ids, reference_scores(x, stored))[:top_k]


@pytest.mark.parametrize("kind", ["gaussian", "ties"])
@pytest.mark.parametrize("top_k", [1, 7, 77, 78, 2500, 4999, 5000])
def test_selection_keeps_exactly_the_first_top_k_of_the_full_order(kind, top_k):
    # 5000 // 64 = 78: below it a bounded heap selects, from it on one
    # selection over all candidates at the end.
    rng = np.random.default_rng(top_k)
    stored = make_vectors(kind, 5000, 6, rng)
    ids = [f"{k % 97}-{k}" for k in rng.permutation(5000)]
    backend = filled(ids, stored)
    backend.remove(ids[::9])  # slots no longer follow storage order
    keep = [k for k in range(5000) if k % 9]
    for x in (make_vectors(kind, 1, 6, rng)[0], np.zeros(6, np.float32)):
        want = expected_order([ids[k] for k in keep], reference_scores(x, stored[keep]))
        assert [r.vector_id for r in backend.search(x, top_k)] == want[:top_k]


def rule_order(ids, scores):
    """Order by the rule with NaN scores: the stable merge of the other pairs in
    their order with the NaN-score pairs by identifier, comparing by the rule."""

    def before(a, b):  # higher score first; equal or unordered by identifier bytes
        if scores[a] > scores[b] or scores[a] < scores[b]:
            return scores[a] > scores[b]
        return ids[a].encode() < ids[b].encode()

    key = functools.cmp_to_key(lambda a, b: -1 if before(a, b) else 1)
    others = sorted((k for k in range(len(ids)) if not math.isnan(scores[k])), key=key)
    nans = sorted((k for k in range(len(ids)) if math.isnan(scores[k])), key=key)
    merged = []
    while others or nans:
        take_nan = nans and (not others or before(nans[0], others[0]))
        merged.append((nans if take_nan else others).pop(0))
    return merged


@pytest.mark.parametrize("n,nan_share,top_k", [(12, 0.3, 12), (12, 0.3, 3), (60, 0.9, 60), (640, 0.1, 5),
                                                (640, 0.5, 9), (640, 0.1, 10), (640, 0.2, 640)])
def test_nan_scores_follow_the_stable_merge_in_any_storage_order(n, nan_share, top_k):
    rng = np.random.default_rng(n + top_k)
    x = f32(1, 0.5)
    stored = rng.integers(-2, 3, (n, 2)).astype(np.float32)  # many ties
    nan = rng.random(n) < nan_share
    stored[nan, 0] = rng.choice([np.inf, -np.inf], nan.sum())  # inf / inf is NaN
    ids = {}  # prefixes of one another, multi-byte characters
    while len(ids) < n:
        ids.setdefault("".join(rng.choice(list("abé"), rng.integers(0, 9))))
    ids = list(ids)
    scores = reference_scores(x, stored)
    assert np.isnan(scores).sum() == nan.sum()
    want = [ids[k] for k in rule_order(ids, scores)][:top_k]
    for order in (np.arange(n), rng.permutation(n)):
        got = filled([ids[k] for k in order], stored[order]).search(x, top_k)
        assert [r.vector_id for r in got] == want


@pytest.mark.parametrize("vectors,query,want", [
    ({"b": f32(1, 0), "a": f32(1, 0)}, f32(1, 0), [("a", 1.0), ("b", 1.0)]),
    # -denorm/4 rounds to -0.0, which ties with +0.0
    ({"c": f32(0, 0), "b": f32(1e-45, 4), "a": f32(-1e-45, 4)}, f32(1, 0), [("a", -0.0), ("b", 0.0), ("c", 0.0)]),
    ({"c": f32(1, 2), "a": f32(-1, 0), "b": f32(0, 5)}, f32(0, 0), [("a", 0.0), ("b", 0.0), ("c", 0.0)]),
    ({"c": f32(1, 2), "a": f32(-1, 0), "b": f32(0, 5)}, f32(1, np.nan), [("a", 0.0), ("b", 0.0), ("c", 0.0)]),
    ({"n": f32(1, np.nan), "p": f32(1, 1), "m": f32(-1, -1)}, f32(1, 1), [("p", 1.0), ("n", 0.0), ("m", -1.0)]),
    ({"b": np.zeros(0, np.float32), "a": np.zeros(0, np.float32)}, np.zeros(0, np.float32), [("a", 0.0), ("b", 0.0)]),
])
def test_degenerate_scores_and_ties(vectors, query, want):
    got = BruteForceBackend()
    got.ingest(vectors)
    assert [(r.vector_id, bits(r.score)) for r in got.search(query, 10)] == [(i, bits(s)) for i, s in want]


def test_parallel_vectors_score_about_one_unclamped():
    stored = np.random.default_rng(3).standard_normal((200, 37)).astype(np.float32)
    backend = filled([str(k) for k in range(200)], stored)
    over = 0
    for k in range(200):
        query = (stored[k] * np.float32(3)).astype(np.float32)
        (top,) = backend.search(query, 1)
        assert top.vector_id == str(k) and abs(top.score - 1.0) < 1e-6
        over += top.score > 1.0
    assert over > 0  # rounding goes past 1.0 somewhere and is kept


# ---- storage ----------------------------------------------------------------------


def test_backend_lifecycle():
    backend = BruteForceBackend()
    assert backend.count == 0
    for n in (0, 3, 17):
        assert backend.search(np.zeros(n, np.float32), 5) == []
    with pytest.raises(ValueError, match=r"^top_k must be > 0$"):
        backend.search(f32(1), 0)
    # Ingest stops at the first mismatch and keeps what came before.
    first = f32(1, 0, 0)
    with pytest.raises(RuntimeError) as e:
        backend.ingest({"a": first, "a2": f32(0, 1, 0), "b": f32(1, 2, 3, 4), "c": f32(0, 0, 1)})
    assert str(e.value) == "adapter error: dimension mismatch: expected 3, got 4"
    assert backend.count == 2
    first[:] = (0, 0, 1)  # stored vectors are copies
    assert [r.vector_id for r in backend.search(f32(1, 0, 0), 5)] == ["a", "a2"]
    with pytest.raises(RuntimeError, match=r"^adapter error: dimension mismatch: expected 3, got 2$"):
        backend.search(f32(1, 2), 1)
    with pytest.raises(ValueError, match="top_k must be > 0"):  # checked before the dimension
        backend.search(f32(1, 2), 0)
    # Overwrite in place, same length only.
    backend.ingest({"a": f32(0, 3, 0)})
    with pytest.raises(RuntimeError, match="expected 3, got 2"):
        backend.ingest({"a": f32(1, 1)})
    assert backend.count == 2
    assert [(r.vector_id, r.score) for r in backend.search(f32(0, 1, 0), 5)] == [("a", 1.0), ("a2", 1.0)]
    # Removal ignores repeats and strangers; the dimension outlives it.
    assert backend.remove(["a", "a", "zz"]) is None
    assert backend.count == 1
    backend.remove(("a2",))
    assert backend.count == 0
    assert backend.search(f32(1, 2), 5) == []
    with pytest.raises(RuntimeError, match="expected 3, got 2"):
        backend.ingest({"x": f32(1, 2)})
    assert backend.clear() is None
    backend.ingest({"x": f32(1, 2)})
    assert [r.vector_id for r in backend.search(f32(1, 2), 5)] == ["x"]


def test_removal_moves_no_score_to_another_identifier():
    rng = np.random.default_rng(11)
    stored = rng.standard_normal((150, 9)).astype(np.float32)
    ids = [f"v{k}" for k in range(150)]
    backend = filled(ids, stored)
    gone = set(rng.choice(150, 60, replace=False).tolist()) | {0, 149}
    backend.remove([ids[k] for k in sorted(gone, reverse=True)])
    backend.ingest({ids[k]: stored[k] for k in range(0, 150, 7) if k in gone})
    keep = [k for k in range(150) if k not in gone or k % 7 == 0]
    x = rng.standard_normal(9).astype(np.float32)
    want = reference_scores(x, stored[keep])
    got = backend.search(x, U64_MAX)
    assert [r.vector_id for r in got] == expected_order([ids[k] for k in keep], want)
    assert [bits(r.score) for r in got] == [bits(s) for s in sorted(want, reverse=True)]


def test_backend_has_only_identity_behaviour():
    backend = BruteForceBackend()
    with pytest.raises(TypeError):
        len(backend)
    assert backend != BruteForceBackend() and hash(backend) == object.__hash__(backend)
    assert repr(backend).startswith("<zorvex_rs.BruteForceBackend object at ")
    with pytest.raises(AttributeError):
        backend.count = 3


# ---- SearchResult ------------------------------------------------------------------


@pytest.mark.parametrize("score,text", [
    (0.5, "0.5"), (1.0, "1"), (0.1, "0.1"), (1e-7, "0.0000001"), (-0.0, "-0"), (-2.25, "-2.25"),
    (3e38, "3" + "0" * 38), (1e-45, "0." + "0" * 44 + "1"), (1e39, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"),
])
def test_result_text_form(score, text):
    assert repr(SearchResult("doc-1", score)) == f'SearchResult(vector_id="doc-1", score={text})'


def test_result_fields():
    r = SearchResult("doc-1", 0.1)
    assert (r.vector_id, r.score) == ("doc-1", 0.10000000149011612)
    assert SearchResult(vector_id="x", score=3).score == 3.0
    assert repr(SearchResult('a"b\n\'', 1)) == 'SearchResult(vector_id="a\\"b\\n\'", score=1)'
    for name in ("vector_id", "score", "other"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    assert not hasattr(r, "__dict__")


def test_result_comparisons():
    hi, lo, nan = SearchResult("a", 0.9), SearchResult("b", 0.1), SearchResult("c", math.nan)
    assert hi < lo and not lo < hi and lo > hi and not hi > lo
    assert not (hi < SearchResult("z", 0.9)) and not (nan < hi) and not (hi < nan)
    assert hi == hi and hi != SearchResult("a", 0.9) and hi != "a"
    for compare in (lambda: hi <= lo, lambda: hi >= lo, lambda: hi < 1.0, lambda: hash(hi)):
        with pytest.raises(TypeError):
            compare()
    results = [SearchResult("x", 0.2), lo, SearchResult("y", 0.2), hi]
    assert sorted(results) == [hi, results[0], results[2], lo]
    assert min(results) is hi and max(results) is lo


# ---- the Python surface ---------------------------------------------------------------


def test_protocol_placeholder_and_docs():
    with pytest.raises(ValueError) as e:
        SearchBackend()
    assert str(e.value) == ("SearchBackend is a structural protocol; instantiate a concrete backend like "
                            "BruteForceBackend instead")
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        with pytest.raises(TypeError):
            SearchBackend(*args, **kwargs)
    assert SearchBackend.__doc__ == (
        "Runtime placeholder for the `SearchBackend` protocol.\n\n"
        "Python's `typing.Protocol` is a structural type that carries no runtime\n"
        "behavior; instantiation raises to preserve API parity with the reference\n"
        "implementation where `SearchBackend()` is not meaningful either.")
    assert BruteForceBackend.__doc__ == "Reference search backend: exhaustive cosine similarity."
    assert SearchResult.__doc__ == "Immutable (vector_id, score) pair returned by `BruteForceBackend.search`."
    assert BruteForceBackend.ingest.__doc__ == "Ingest a mapping of `vector_id -> 1-D f32 array`."
    assert BruteForceBackend.search.__doc__ is None
    for obj, sig in ((SearchBackend, "()"), (BruteForceBackend, "()"), (SearchResult, "(vector_id, score)"),
                     (BruteForceBackend.ingest, "($self, vectors)"), (BruteForceBackend.clear, "($self)"),
                     (BruteForceBackend.search, "($self, query, top_k)"),
                     (BruteForceBackend.remove, "($self, vector_ids)")):
        assert obj.__text_signature__ == sig
    for cls in (SearchBackend, SearchResult, BruteForceBackend):
        assert getattr(core.backend, cls.__name__) is cls is getattr(core, cls.__name__)


@pytest.mark.parametrize("call,exc,message", [
    (lambda b: b.search(f32(1, 2, 3), -1), OverflowError, None),
    (lambda b: b.search(f32(1, 2, 3), 2**64), OverflowError, None),
    (lambda b: b.search(f32(1, 2, 3), 2.0), TypeError, "argument 'top_k': "),
    (lambda b: b.search(np.zeros(3), 1), TypeError, "argument 'query': "),
    (lambda b: b.search([1.0, 2.0, 3.0], 1), TypeError, "argument 'query': "),
    (lambda b: b.search(np.zeros((1, 3), np.float32), 1), TypeError, "argument 'query': "),
    (lambda b: b.search(np.zeros(6, np.float32)[::2], 1), ValueError, NOT_CONTIGUOUS),
    (lambda b: b.search(np.zeros(6, np.float32)[::2], 2.0), TypeError, "argument 'top_k': "),
    (lambda b: b.search(f32(1, 2, 3), 1, top_k=1), TypeError, None),
    (lambda b: b.ingest([("x", f32(1, 2, 3))]), TypeError, "argument 'vectors': "),
    (lambda b: b.ingest({"x": f32(1, 2, 3), 5: f32(1, 2, 3)}), TypeError, "'int'"),
    (lambda b: b.ingest({"x": f32(1, 2, 3), "y": [1.0, 2.0, 3.0]}), TypeError, "'list'"),
    (lambda b: b.ingest({"x": f32(1, 2, 3), "y": np.zeros(6, np.float32)[::2]}), ValueError, NOT_CONTIGUOUS),
    (lambda b: b.remove("a"), TypeError, "argument 'vector_ids': Can't extract `str` to `Vec`"),
    (lambda b: b.remove({"a"}), TypeError, "argument 'vector_ids': "),
    (lambda b: b.remove(["x", 1]), TypeError, "argument 'vector_ids': "),
    (lambda b: BruteForceBackend(1), TypeError, None),
    (lambda b: SearchResult(1, 0.5), TypeError, "argument 'vector_id': "),
    (lambda b: SearchResult("a", "0.5"), TypeError, "argument 'score': "),
])
def test_argument_errors_change_nothing(call, exc, message):
    backend = filled(["a"], [f32(1, 2, 3)])
    with pytest.raises(exc) as e:
        call(backend)
    text = str(e.value)
    if message is not None:
        assert text.startswith(message)
    if message is None or not message.startswith("argument"):
        assert not text.startswith("argument")
    assert [r.vector_id for r in backend.search(f32(1, 2, 3), 5)] == ["a"]


def test_accepted_argument_forms():
    backend = filled(["a"], [f32(1, 2, 3)])
    assert len(backend.search(query=f32(1, 2, 3), top_k=np.int64(3))) == 1

    class Sub(np.ndarray):
        pass

    class Key(str):
        pass

    backend.ingest(vectors={Key("b"): f32(1, 2, 3).view(Sub)})
    backend.remove(vector_ids=("a",))
    backend.ingest({})
    assert [r.vector_id for r in backend.search(f32(1, 2, 3), U64_MAX)] == ["b"]


# ---- threads and the interpreter lock --------------------------------------------------


def test_concurrent_searches_see_whole_ingests_and_removals():
    # Four groups of copies of the query outrank every base vector, so a
    # search's top `groups * size + tail` shows which groups it saw: each
    # must be whole or absent, and the base part must be untouched.
    rng = np.random.default_rng(5)
    d, base, groups, size, tail = 32, 3000, 4, 400, 20
    backend = filled([f"base{k}" for k in range(base)], rng.standard_normal((base, d)).astype(np.float32))
    query = rng.standard_normal(d).astype(np.float32)
    members = [[f"g{g}-{k}" for k in range(size)] for g in range(groups)]
    top_k = groups * size + tail
    base_top = [r.vector_id for r in backend.search(query, top_k)]
    done, failures, seen, counts = threading.Event(), [], [], []

    def check(results):
        names = [r.vector_id for r in results]
        shown = [n for n in names if not n.startswith("base")]
        present = frozenset(g for g in range(groups) if f"g{g}-0" in shown)
        assert sorted(shown) == sorted(m for g in present for m in members[g])
        assert names[:len(shown)] == sorted(shown, key=str.encode)
        assert names[len(shown):] == base_top[:top_k - len(shown)]
        return present

    def searcher():
        try:
            while not done.is_set():
                seen.append(check(backend.search(query, top_k)))
        except Exception as e:  # reported by the main thread
            failures.append(e)

    def writer():
        try:
            present = set()
            chooser = random.Random(6)
            for _ in range(60):
                g = chooser.randrange(groups)
                if g in present and chooser.random() < 0.8:
                    backend.remove(members[g] + ["absent"])
                    present.discard(g)
                else:  # a first ingest or an overwrite of the whole group
                    backend.ingest({m: query for m in members[g]})
                    present.add(g)
                time.sleep(0.002)
        except Exception as e:
            failures.append(e)
        finally:
            done.set()

    threads = [threading.Thread(target=searcher) for _ in range(3)] + [threading.Thread(target=writer)]
    for t in threads:
        t.start()
    while not done.is_set():
        counts.append(backend.count)
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads) and not failures, failures
    assert all((c - base) % size == 0 for c in counts)
    assert len(seen) > 30 and len(set(seen)) > 3  # searches did overlap changing states
    assert backend.count == base + size * len(check(backend.search(query, top_k)))


def test_search_releases_the_interpreter_lock():
    # A zero query ties every score, so each search compares the
    # identifiers of 200000 vectors: milliseconds without the lock.
    n = 200000
    x = np.random.default_rng(8).standard_normal((n, 2)).astype(np.float32)
    backend = filled([f"v{k}" for k in range(n)], x)
    query = np.zeros(2, np.float32)
    spinning, searching = spin_beside(lambda: [backend.search(query, 10) for _ in range(4)])
    assert spinning > searching / 4
