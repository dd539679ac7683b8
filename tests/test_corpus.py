import collections
import contextlib
import random
import sys
import threading
import zlib

import numpy as np
import pytest

from zorvex_rs.codec import Codebook, CodebookIncompatibleError, CodecConfig
from zorvex_rs.corpus import (CompressionPolicy, CompressionPolicyViolationDetected, Corpus, CorpusCreated,
                              CorpusDecompressed, DimensionMismatchError, DuplicateVectorError,
                              VectorsInserted)

from conftest import spin_beside

P = CompressionPolicy
POLICIES = [P.COMPRESS, P.PASSTHROUGH, P.FP16]


def f32(*values):
    return np.array(values, dtype=np.float32)


def linear_codebook(bits):
    return Codebook(np.linspace(-1, 1, 2 ** bits, dtype=np.float32), bits)


def make(policy=P.PASSTHROUGH, d=4, bits=4, codebook_bits=None, name="c"):
    cfg = CodecConfig(bits, 11, d)
    return Corpus(name, cfg, linear_codebook(codebook_bits or bits), policy)


def kinds(events):
    return [type(e) for e in events]


# ---- construction and properties ---------------------------------------------------


@pytest.mark.parametrize("policy", POLICIES)
def test_new_corpus(policy):
    cfg, cb = CodecConfig(4, 1, 4), linear_codebook(4)
    corpus = Corpus("", cfg, cb, policy, metadata=None)
    assert (corpus.corpus_id, corpus.vector_count, corpus.is_empty) == ("", 0, True)
    assert corpus.vector_ids == frozenset() and type(corpus.vector_ids) is frozenset
    assert corpus.codec_config is cfg and corpus.codebook is cb
    assert corpus.compression_policy == policy and corpus.compression_policy is not policy
    assert corpus.decompress_all() == {}
    [created] = corpus.pending_events()
    assert type(created) is CorpusCreated
    assert (created.corpus_id, created.timestamp) == ("", 0)
    assert created.codec_config is corpus.codec_config
    assert created.compression_policy == corpus.compression_policy
    assert created.compression_policy is not created.compression_policy
    assert corpus.pending_events() == []


def test_metadata_property_is_not_supported():
    with pytest.raises(NotImplementedError, match=r"^Corpus\.metadata is not yet supported in the pyo3 wheel\.$"):
        make().metadata


CFG, CB = CodecConfig(4, 1, 4), linear_codebook(4)
CTOR_NOT_SUPPORTED = ("Corpus(metadata=...) is not yet supported in the pyo3 wheel; pass metadata=None or omit "
                      "the kwarg.")


class SubDict(dict):
    pass


@pytest.mark.parametrize("args, kwargs, exc, message", [
    (("c", CFG, CB, "fp16"), {}, TypeError,
     "argument 'compression_policy': 'str' object cannot be converted to 'CompressionPolicy'"),
    (("c", CB, CB, P.FP16), {}, TypeError, "argument 'codec_config': 'Codebook' object cannot be converted to "
                                           "'CodecConfig'"),
    (("c", CFG, CFG, P.FP16), {}, TypeError, "argument 'codebook': 'CodecConfig' object cannot be converted to "
                                             "'Codebook'"),
    ((1, CFG, CB, P.FP16), {}, TypeError, "argument 'corpus_id': 'int' object cannot be converted to 'str'"),
    (("c", CFG, CB, P.FP16, {}), {}, NotImplementedError, CTOR_NOT_SUPPORTED),
    (("c", CFG, CB, P.FP16), {"metadata": SubDict(a=1)}, NotImplementedError, CTOR_NOT_SUPPORTED),
    (("c", CFG, CB, P.FP16, []), {}, TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
    (("c", CFG, CB, "fp16", {}), {}, TypeError,  # the first failing parameter is the one reported
     "argument 'compression_policy': 'str' object cannot be converted to 'CompressionPolicy'"),
])
def test_constructor_refusals(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Corpus(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message


def test_keyword_construction_and_signatures():
    assert Corpus(corpus_id="k", codebook=CB, compression_policy=P.FP16, codec_config=CFG).corpus_id == "k"
    assert Corpus.__doc__ == "Aggregate root managing a collection of compressed embedding vectors."
    assert Corpus.__text_signature__ == "(corpus_id, codec_config, codebook, compression_policy, metadata=None)"
    assert Corpus.insert.__text_signature__ == "($self, vector_id, vector, metadata=None)"
    assert (Corpus.pending_events.__doc__, Corpus.get.__doc__) == ("Return and clear the pending event list.", None)


# ---- insert -------------------------------------------------------------------------

INSERT_NOT_SUPPORTED = ("Corpus.insert(metadata=...) is not yet supported in the pyo3 wheel; pass metadata=None or "
                        "omit the kwarg.")
STRIDED = np.arange(8, dtype=np.float32)[::2]


def observed(corpus):
    """What a failed call must leave as it was; drains the pending events."""
    stored = {vid: corpus.decompress(vid).tobytes() for vid in corpus.vector_ids}
    return (corpus.vector_ids, corpus.vector_count, stored,
            [(type(e), getattr(e, "vector_ids", None)) for e in corpus.pending_events()])


@pytest.mark.parametrize("args, exc, message", [
    (("b", f32(1, 2, 3)), DimensionMismatchError, "dimension mismatch: expected 4, got 3"),
    (("a", f32(5, 6, 7, 8)), DuplicateVectorError, 'duplicate vector_id "a"'),
    (("a", f32(1, 2, 3)), DimensionMismatchError, "dimension mismatch: expected 4, got 3"),
    (("b", STRIDED), ValueError, "numpy slice unavailable: The given array is not contiguous"),
    (("b", STRIDED, {}), NotImplementedError, INSERT_NOT_SUPPORTED),
    (("b", f32(1, 2, 3, 4), 5), TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyDict'"),
    (("b", np.zeros(4)), TypeError, "argument 'vector': "),
    (("b", [1.0, 2.0, 3.0, 4.0]), TypeError, "argument 'vector': "),
    ((b"b", f32(1, 2, 3, 4)), TypeError, "argument 'vector_id': 'bytes' object cannot be converted to 'str'"),
])
@pytest.mark.parametrize("policy", POLICIES)
def test_failed_inserts_change_nothing(policy, args, exc, message):
    corpus, twin = make(policy), make(policy)
    for c in (corpus, twin):
        c.insert("a", f32(1, 2, 3, 4))
    with pytest.raises(exc) as info:
        corpus.insert(*args)
    assert type(info.value) is exc and str(info.value).startswith(message)
    if exc is not TypeError:
        assert str(info.value) == message
    assert observed(corpus) == observed(twin)


@pytest.mark.parametrize("call, exc", [
    (lambda c: c.get("zz"), KeyError),
    (lambda c: c.remove("zz"), KeyError),
    (lambda c: c.decompress("zz"), KeyError),
    (lambda c: c.remove(None), TypeError),
    (lambda c: c.get(1), TypeError),
    (lambda c: c.contains(b"a"), TypeError),
    (lambda c: c.decompress(), TypeError),
    (lambda c: c.remove("a", "b"), TypeError),
    (lambda c: c.get(vector_id="a", x=1), TypeError),
    (lambda c: c.pending_events(1), TypeError),
    (lambda c: c.decompress_all(None), TypeError),
    (lambda c: c.insert("a", f32(1, 2, 3, 4), vector_id="b"), TypeError),
])
def test_other_failed_calls_change_nothing(call, exc):
    corpus, twin = make(P.FP16), make(P.FP16)
    for c in (corpus, twin):
        c.insert("a", f32(1, 2, 3, 4))
        c.insert("b", f32(5, 6, 7, 8))
    with pytest.raises(exc):
        call(corpus)
    assert observed(corpus) == observed(twin)


@pytest.mark.parametrize("policy, accepted", [(P.COMPRESS, False), (P.PASSTHROUGH, True), (P.FP16, True)])
def test_codebook_of_another_bit_width(policy, accepted):
    corpus = make(policy, bits=4, codebook_bits=2)  # created without complaint
    if accepted:
        assert corpus.insert("a", f32(1, 2, 3, 4)).vector_id == "a"
    else:
        with pytest.raises(CodebookIncompatibleError) as info:
            corpus.insert("a", f32(1, 2, 3, 4))
        assert str(info.value) == "codebook bit_width 2 does not match config bit_width 4"
    assert corpus.vector_count == int(accepted)
    assert kinds(corpus.pending_events()) == [CorpusCreated] + [VectorsInserted] * accepted


# ---- reads and removal ---------------------------------------------------------------


@pytest.mark.parametrize("method, message", [("get", '"zz"'), ("remove", '"zz"'),
                                             ("decompress", 'unknown vector_id "zz"')])
def test_unknown_identifier(method, message):
    corpus = make()
    corpus.insert("z", f32(1, 2, 3, 4))
    with pytest.raises(KeyError) as info:
        getattr(corpus, method)("zz")
    assert info.value.args == (message,)
    assert corpus.contains("zz") is False and corpus.contains("z") is True


@pytest.mark.parametrize("policy", POLICIES)
def test_decompress_all_iterates_in_identifier_byte_order(policy):
    corpus = make(policy)
    rng = np.random.default_rng(4)
    vectors = {vid: rng.standard_normal(4).astype(np.float32) for vid in ["b", "é", "a", "z", "ab", "", "A"]}
    for vid, v in vectors.items():
        corpus.insert(vid, v)
    out = corpus.decompress_all()
    assert list(out) == ["", "A", "a", "ab", "b", "z", "é"]
    for vid, values in out.items():
        assert values.dtype == np.float32 and values.tobytes() == corpus.decompress(vid).tobytes()
    assert corpus.vector_ids == set(vectors)


def test_remove_then_insert_again():
    corpus = make(P.FP16)
    for vid in "abc":
        corpus.insert(vector=f32(1, 2, 3, 4), vector_id=vid, metadata=None)
    assert corpus.remove("b") is None
    assert corpus.vector_ids == {"a", "c"} and corpus.vector_count == 2 and not corpus.contains("b")
    assert list(corpus.decompress_all()) == ["a", "c"]
    corpus.insert("b", f32(5, 6, 7, 8))
    assert corpus.contains("b") and corpus.decompress("b").tolist() == [5, 6, 7, 8]
    assert corpus.get("c").vector_id == "c"
    for vid in "abc":
        corpus.remove(vid)
    assert corpus.is_empty and corpus.decompress_all() == {}


# ---- events ---------------------------------------------------------------------------


def test_event_sequence():
    corpus = make(P.PASSTHROUGH, name="events")
    corpus.pending_events()
    corpus.insert("a", f32(1, 2, 3, 4))
    corpus.insert("b", f32(1, 2, 3, 4))
    with pytest.raises(DuplicateVectorError):
        corpus.insert("a", f32(1, 2, 3, 4))
    corpus.insert("c", f32(1, 2, 3, 4))
    corpus.decompress("a")
    corpus.get("a")
    corpus.contains("a")
    assert corpus.decompress_all().keys() == {"a", "b", "c"}
    corpus.remove("a")
    events = corpus.pending_events()
    assert kinds(events) == [VectorsInserted] * 3 + [CorpusDecompressed]
    assert [(e.vector_ids, e.count) for e in events[:3]] == [(["a"], 1), (["b"], 1), (["c"], 1)]
    assert events[3].vector_count == 3
    assert all(e.corpus_id == "events" and e.timestamp == 0 for e in events)
    ids = events[0].vector_ids
    ids.append("x")
    assert events[0].vector_ids == ["a"]
    assert corpus.pending_events() == []
    del corpus  # events stand on their own
    assert events[0].vector_ids == ["a"] and events[3].corpus_id == "events"


@pytest.mark.parametrize("cls, doc, properties", [
    (CorpusCreated, "Python parity for `zorvex_cpu.corpus.events.CorpusCreated`.",
     ["corpus_id", "codec_config", "compression_policy", "timestamp"]),
    (VectorsInserted, "Python parity for `zorvex_cpu.corpus.events.VectorsInserted`.",
     ["corpus_id", "vector_ids", "count", "timestamp"]),
    (CorpusDecompressed, "Python parity for `zorvex_cpu.corpus.events.CorpusDecompressed`.",
     ["corpus_id", "vector_count", "timestamp"]),
    (CompressionPolicyViolationDetected,
     "Python parity for\n`zorvex_cpu.corpus.events.CompressionPolicyViolationDetected`.",
     ["corpus_id", "violation_type", "detail", "timestamp"]),
])
def test_event_classes(cls, doc, properties):
    assert cls.__doc__ == doc
    assert repr(cls) == f"<class 'zorvex_rs.{cls.__name__}'>"
    assert sorted(n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor") == sorted(properties)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


# ---- threads and the interpreter lock --------------------------------------------------


@contextlib.contextmanager
def switch_interval(seconds):
    old = sys.getswitchinterval()
    sys.setswitchinterval(seconds)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def run_for(seconds, workers):
    """Runs each worker(stop) on its own thread until `stop` is set after `seconds`."""
    errors, stop = [], threading.Event()

    def body(worker):
        try:
            worker(stop)
        except BaseException as e:  # reported by the main thread
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=body, args=(w,)) for w in workers]
    with switch_interval(1e-4):
        for t in threads:
            t.start()
        stop.wait(seconds)
        stop.set()
        for t in threads:
            t.join(60)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]


def vector_for(vid, d):
    return np.random.default_rng(zlib.crc32(vid.encode())).standard_normal(d).astype(np.float32)


# Contested and unique identifiers inserted, removed, read and drained by
# several threads at once. Removals leave no event, but a stored set accepts
# inserts and removals of one identifier only alternately, so the successful
# ones alone say whether it must be stored at the end.
@pytest.mark.parametrize("policy", [P.PASSTHROUGH, P.COMPRESS])
def test_concurrent_use_matches_the_successful_operations(policy):
    d, inserters, uniques = 32, 3, 400
    pool = [f"p{i}" for i in range(30)]
    ids = pool + [f"u{w}-{i:03}" for w in range(inserters) for i in range(uniques)]
    reference = make(policy, d=d)
    for vid in ids:
        reference.insert(vid, vector_for(vid, d))
    expected = {vid: reference.decompress(vid).tobytes() for vid in ids}

    corpus = make(policy, d=d)
    corpus.pending_events()
    inserted, removed, decompressed_sizes, drained = [], [], [], []
    failures = {"duplicate": 0, "missing": 0}

    def inserter(w):
        def run(stop):
            rng, done = random.Random(w), []
            inserted.append(done)
            for i in range(uniques):
                if stop.is_set():
                    return
                for vid in (f"u{w}-{i:03}", rng.choice(pool)):
                    try:
                        entry = corpus.insert(vid, vector_for(vid, d))
                    except DuplicateVectorError:
                        assert vid in pool
                        failures["duplicate"] += 1
                        continue
                    assert (entry.vector_id, entry.dimension) == (vid, d)
                    done.append(vid)
        return run

    def remover(seed):
        def run(stop):
            rng, done = random.Random(seed), []
            removed.append(done)
            while not stop.is_set():
                vid = rng.choice(pool) if rng.random() < 0.7 else rng.choice(ids)
                try:
                    corpus.remove(vid)
                    done.append(vid)
                except KeyError as e:
                    assert e.args == (f'"{vid}"',)
                    failures["missing"] += 1
        return run

    def reader(stop):
        rng = random.Random(7)
        while not stop.is_set():
            vid = rng.choice(pool)
            try:
                assert corpus.get(vid).vector_id == vid
                assert corpus.decompress(vid).tobytes() == expected[vid]
            except KeyError:
                pass
            if rng.random() < 0.05:
                out = corpus.decompress_all()
                assert list(out) == sorted(out, key=lambda s: s.encode())
                assert all(v.tobytes() == expected[k] for k, v in out.items())
                if out:
                    decompressed_sizes.append(len(out))

    def drainer(stop):
        mine = []
        drained.append(mine)
        while not stop.is_set():
            mine.extend(corpus.pending_events())

    run_for(1.0, [inserter(w) for w in range(inserters)] + [remover(s) for s in (1, 2)] + [reader, drainer, drainer])
    drained.append(corpus.pending_events())

    ins, rem = collections.Counter(sum(inserted, [])), collections.Counter(sum(removed, []))
    assert all(ins[vid] - rem[vid] in (0, 1) for vid in ids)
    assert corpus.vector_ids == {vid for vid in ids if ins[vid] > rem[vid]}
    assert corpus.vector_count == len(corpus.vector_ids)
    assert all(corpus.decompress(vid).tobytes() == expected[vid] for vid in corpus.vector_ids)
    assert failures["duplicate"] > 0 and failures["missing"] > 0 and sum(rem.values()) > 0

    events = sum(drained, [])
    assert {type(e) for e in events} <= {VectorsInserted, CorpusDecompressed}
    assert all(e.count == 1 and len(e.vector_ids) == 1 for e in events if type(e) is VectorsInserted)
    assert collections.Counter(e.vector_ids[0] for e in events if type(e) is VectorsInserted) == ins
    assert sorted(e.vector_count for e in events if type(e) is CorpusDecompressed) == sorted(decompressed_sizes)
    for mine in drained:  # each collector sees every inserter's own identifiers in the order it inserted them
        for w in range(inserters):
            seen = [e.vector_ids[0] for e in mine if type(e) is VectorsInserted and e.vector_ids[0][:3] == f"u{w}-"]
            assert seen == sorted(seen)


# Large enough that one COMPRESS insert takes milliseconds even with the
# rotation cached; the rotation itself is built once per process.
BIG_D = 2048


def big_corpus():
    return Corpus("big", CodecConfig(8, 3, BIG_D), linear_codebook(8), P.COMPRESS)


def test_an_insert_returns_its_entry_even_when_a_removal_overtakes_it():
    corpus = big_corpus()
    corpus.pending_events()
    ready, outcome = threading.Event(), []
    x = np.ones(BIG_D, dtype=np.float32)

    def insert():
        ready.set()
        outcome.append(corpus.insert("x", x))

    # The insert outlasts this thread's wake-up, and with a long switch
    # interval the inserting thread gets the interpreter lock back only when
    # this one blocks in join(), after the removal.
    with switch_interval(30):
        t = threading.Thread(target=insert)
        t.start()
        ready.wait()
        while not corpus.contains("x"):
            pass
        corpus.remove("x")
        t.join()
    [entry] = outcome
    assert (entry.vector_id, entry.dimension, entry.compressed.dimension) == ("x", BIG_D, BIG_D)
    # the insert took the lock first, then the removal
    assert not corpus.contains("x") and corpus.vector_count == 0
    [event] = corpus.pending_events()
    assert event.vector_ids == ["x"]
    corpus.insert("x", x)  # stored and removed once: inserting again is no duplicate
    assert corpus.vector_ids == {"x"}


# Allocation failures injected one at a time at every allocation the call
# makes, in a separate interpreter.
OUT_OF_MEMORY = """
import _testcapi
import numpy as np
from zorvex_rs.codec import Codebook, CodecConfig
from zorvex_rs.corpus import CompressionPolicy, Corpus

corpus = Corpus("c", CodecConfig(4, 1, 4), Codebook(np.linspace(-1, 1, 16, dtype=np.float32), 4),
                CompressionPolicy.PASSTHROUGH)
x = np.ones(4, np.float32)
insert, pending = corpus.insert, corpus.pending_events


def failing_at(k, call, *args):
    _testcapi.set_nomemory(k, k + 1)
    try:
        return call(*args)
    except MemoryError:
        return None
    finally:
        _testcapi.remove_mem_hooks()
"""


def test_an_insert_out_of_memory_stores_nothing_or_returns_its_entry(run_python):
    pytest.importorskip("_testcapi")
    failed = run_python(OUT_OF_MEMORY + """
pending()
failed = 0
for k in range(60):
    vid = "v%d" % k
    entry = failing_at(k, insert, vid, x)
    events = [e.vector_ids for e in pending()]
    if entry is None:
        failed += 1
        assert not corpus.contains(vid) and events == [], k
    else:
        assert entry.vector_id == vid and corpus.contains(vid) and events == [[vid]], k
print(failed)
""")
    assert int(failed) > 0


def test_pending_events_out_of_memory_leaves_every_event_pending(run_python):
    pytest.importorskip("_testcapi")
    failed = run_python(OUT_OF_MEMORY + """
expected, failed = [("CorpusCreated", None)], 0
for k in range(40):
    if not expected:
        for i in range(3):
            insert("v%d-%d" % (k, i), x)
            expected.append(("VectorsInserted", ["v%d-%d" % (k, i)]))
    got = failing_at(k, pending)
    if got is None:
        failed += 1
        continue
    assert [(type(e).__name__, getattr(e, "vector_ids", None)) for e in got] == expected, k
    expected = []
assert pending() == [] and expected == []
print(failed)
""")
    assert int(failed) > 0


def test_decompress_all_out_of_memory_records_no_event(run_python):
    pytest.importorskip("_testcapi")
    failed = run_python(OUT_OF_MEMORY + """
for i in range(5):
    insert("v%d" % i, x)
pending()
failed = 0
for k in range(40):
    got = failing_at(k, corpus.decompress_all)
    events = [type(e).__name__ for e in pending()]
    if got is None:
        failed += 1
        assert events == [], k
    else:
        assert sorted(got) == ["v%d" % i for i in range(5)] and events == ["CorpusDecompressed"], k
print(failed)
""")
    assert int(failed) > 0


def test_insert_releases_the_interpreter_lock_while_it_compresses():
    count = 40
    corpus = big_corpus()
    x = np.random.default_rng(0).standard_normal((count + 1, BIG_D)).astype(np.float32)
    corpus.insert("warm", x[count])  # builds the rotation once
    spinning, working = spin_beside(lambda: [corpus.insert(str(i), x[i]) for i in range(count)])
    assert corpus.vector_count == count + 1
    assert spinning > 0.5 * working
