"""Every public operation, successful or failing, repeated thousands of times,
leaves no reference, Python object or native buffer behind; result vectors
live exactly as long as their last view."""

import ctypes
import gc
import os
import pathlib
import re
import sys
import tempfile
import tracemalloc
import weakref

import numpy as np
import pytest

import zorvex_rs as z
import zorvex_rs._internal as internal
from zorvex_rs.backend import CompressedBackend, search_batch
from zorvex_rs import (
    BruteForceBackend,
    Codebook,
    Codec,
    CodecConfig,
    CompressedVector,
    CompressionPolicy as P,
    Corpus,
    RotationMatrix,
    SearchBackend,
    SearchResult,
)

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and glibc's allocator")

# ---- instruments ------------------------------------------------------------------------

_libc = ctypes.CDLL(None)
_PAGE = os.sysconf("SC_PAGE_SIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def heap_in_use():
    """Bytes the C allocator has handed out and not had back (all arenas), or
    None where glibc cannot say. Far finer than RSS: it sees a leaked 100-byte
    buffer."""
    if _mallinfo2 is None:
        return None
    m = _mallinfo2()
    return m.uordblks + m.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def trimmed_rss():
    gc.collect()
    _libc.malloc_trim(0)  # free heap pages go back to the system, so RSS shows what is held
    return rss()


MB = 1 << 20
RSS_SLACK = 4 * MB
HEAP_SLACK = 16 << 10
TRACED_SLACK = 4 << 10
SANITIZED = os.environ.get("ZORVEX_SANITIZED") == "1"  # set by scripts/sanitize.sh


def fresh(text):
    # Literal strings are interned and immortal, so their reference counts say nothing.
    return "".join(list(text))


# ---- shared arguments -------------------------------------------------------------------
# Small dimensions keep the native work cheap so thousands of calls fit the
# time budget; the heap measure still sees a leak of one buffer per call.

D = 256
rng = np.random.default_rng(20261208)
CFG = CodecConfig(8, 11, D, True)
CFG_OTHER = CodecConfig(8, 12, D, True)
CFG2 = CodecConfig(2, 11, D, False)
TRAIN = rng.standard_normal((64, D)).astype(np.float32)
CB = Codec().build_codebook(TRAIN, CFG)
CB2 = Codebook(np.linspace(-2, 2, 4, dtype=np.float32), 2)
ENTRIES = CB.entries
X = rng.standard_normal(D).astype(np.float32)
X_SHORT = X[: D - 1].copy()
X_STRIDED = rng.standard_normal(2 * D).astype(np.float32)[::2]
X64 = X.astype(np.float64)
BATCH = rng.standard_normal((8, D)).astype(np.float32)
BATCH_F = np.asfortranarray(BATCH)
CV = Codec().compress(X, CFG, CB)
CV2 = Codec().compress(X, CFG2, CB2)
CV_OTHER = Codec().compress(X, CFG_OTHER, CB)
CVS = Codec().compress_batch(BATCH, CFG, CB)
CVS_MIXED = [*CVS[:4], CV_OTHER, *CVS[4:]]
BLOB = CV.to_bytes()
BLOB2 = CV2.to_bytes()
ROT = RotationMatrix.from_config(CFG)


def _patched(blob, offset, value):
    b = bytearray(blob)
    b[offset] = value
    return bytes(b)


BAD_BLOBS = {  # each failing at its own step of decoding
    "data too short: needed 70": BLOB[:40],
    "unknown format version": _patched(BLOB, 0, 2),
    "invalid UTF-8": _patched(BLOB, 1, 0xFF),
    "invalid bit_width": _patched(BLOB, 69, 3),
    f"data too short: needed {71 + D}": BLOB[:100],
    "invalid residual flag": _patched(BLOB2, 70 + D // 4, 2),
    f"data too short: needed {75 + 3 * D}": BLOB[: len(BLOB) - 1],
}

ID_A, ID_B, ID_MISSING = fresh("vec-a"), fresh("vec-b"), fresh("absent")
CORPUS_ID = fresh("leak-corpus")
META = {fresh("key"): 1}
D_BIG = 1024  # corpus and backend calls copy whole vectors: large enough to see in the heap
Y = rng.standard_normal(D_BIG).astype(np.float32)
Y_SHORT = Y[:-1].copy()
Y_STRIDED = rng.standard_normal(2 * D_BIG).astype(np.float32)[::2]
CFG_BIG = CodecConfig(8, 11, D_BIG, True)
CB_BIG = Codebook(np.linspace(-3, 3, 256, dtype=np.float32), 8)
CORPORA = {p: Corpus(CORPUS_ID, CFG_BIG, CB_BIG, p) for p in (P.COMPRESS, P.PASSTHROUGH, P.FP16)}
for _c in CORPORA.values():
    _c.insert(ID_A, Y)
    _c.pending_events()
CORPUS = CORPORA[P.COMPRESS]
MISMATCHED = Corpus(CORPUS_ID, CFG_BIG, CB2, P.COMPRESS)
ENTRY = CORPUS.get(ID_A)
EVENTS_CORPUS = Corpus(CORPUS_ID, CFG_BIG, CB_BIG, P.FP16)
EVENTS_CORPUS.insert(ID_A, Y)
EVENTS_CORPUS.decompress_all()
CREATED, INSERTED, DECOMPRESSED = EVENTS_CORPUS.pending_events()

BACKEND = BruteForceBackend()
BACKEND_IDS = [fresh(f"doc-{k}") for k in range(16)]
BACKEND_VECTORS = {k: rng.standard_normal(D_BIG).astype(np.float32) for k in BACKEND_IDS}
BACKEND.ingest(BACKEND_VECTORS)
ONE = {ID_B: Y}
MISMATCH_PAIRS = {ID_B: Y, ID_MISSING: Y_SHORT}  # ID_B is stored before the dimension check fails
BAD_KEY = {7: Y}
BAD_VALUE = {ID_B: X64}
STRIDED_VALUE = {ID_B: Y_STRIDED}
RESULT = SearchResult(ID_A, 0.25)
RESULT_LOW = SearchResult(ID_B, -0.5)
CODES = CompressedBackend(CFG_BIG, CB_BIG)
CODES.ingest(BACKEND_VECTORS)
FILES = pathlib.Path(tempfile.mkdtemp(prefix="zorvex-leaks-"))
z.save(CODES, FILES / "mapped-codes")
z.save(BACKEND, FILES / "mapped-exact")
(FILES / "corrupt").write_bytes((FILES / "mapped-codes").read_bytes()[:-1])
MAPPED = z.load(FILES / "mapped-exact", mmap=True)
CODES_NO_RESIDUAL = CompressedBackend.from_corpus(Corpus(CORPUS_ID, CodecConfig(2, 11, D_BIG, False), CB2, P.COMPRESS))
QUERIES = np.stack([Y, Y[::-1]])
CODE_RECORDS = {ID_B: CORPUS.get(ID_A).compressed}


def codes_ingest_remove():
    CODES.ingest(ONE)
    CODES.ingest_compressed(CODE_RECORDS)
    CODES.remove([ID_B])



def _watch(name, value, into):
    if isinstance(value, (int, float)):  # small ones are immortal, the others are not passed
        return
    into[name] = value
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for k, v in items:
        _watch(f"{name} key {k!r}", k, into)
        _watch(f"{name}[{k!r}]", v, into)


# Everything the calls below pass or return, and every class: none may gain or lose a reference.
WATCHED = {}
for _name, _value in list(globals().items()):
    if _name.isupper() and _name != "WATCHED":
        _watch(_name, _value, WATCHED)
WATCHED.update({f"class {n}": getattr(z._core, n) for n in z._core.__all__ if isinstance(getattr(z._core, n), type)})
WATCHED.update({f"policy {p.name}": p for p in (P.COMPRESS, P.PASSTHROUGH, P.FP16)})


# ---- the operations ---------------------------------------------------------------------


def raises(exc, fn, *args, **kwargs):
    def op():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")
    return op


def raises_with(text, exc, fn, *args):
    def op():
        try:
            fn(*args)
        except exc as e:
            assert text in str(e), str(e)
            return
        raise AssertionError(f"{fn} did not raise {exc}")
    return op


def reads(obj, *names):
    return lambda: [getattr(obj, n) for n in names]


def corpus_insert_remove(policy):
    corpus = CORPORA[policy]
    return lambda: (corpus.insert(ID_B, Y), corpus.remove(ID_B), corpus.pending_events())


def backend_ingest_remove():
    BACKEND.ingest(ONE)
    BACKEND.remove([ID_B])


def backend_clear_refill():
    BACKEND.clear()
    BACKEND.ingest(BACKEND_VECTORS)


def backend_partial_ingest():
    try:
        BACKEND.ingest(MISMATCH_PAIRS)
    except RuntimeError:
        BACKEND.remove((ID_B,))
        return
    raise AssertionError("mismatch accepted")


def result_order():
    assert RESULT < RESULT_LOW and RESULT_LOW > RESULT and RESULT != RESULT_LOW and not RESULT == RESULT_LOW
    return sorted([RESULT_LOW, RESULT])


def strict(fn):
    def op():
        try:
            fn()
        except TypeError:
            return
        raise AssertionError("comparison accepted")
    return op


codec = Codec()
OPERATIONS = {
    # codec configuration
    "CodecConfig()": lambda: CodecConfig(8, 11, D, residual_enabled=True),
    "CodecConfig properties": reads(CFG, "bit_width", "seed", "dimension", "residual_enabled",
                                    "num_codebook_entries", "config_hash"),
    "CodecConfig repr/hash/equality": lambda: (repr(CFG), hash(CFG), CFG == CFG_OTHER, CFG != 1),
    "CodecConfig <": strict(lambda: CFG < CFG_OTHER),
    "CodecConfig bad bit_width": raises(ValueError, CodecConfig, 3, 1, D),
    "CodecConfig zero dimension": raises(ValueError, CodecConfig, 8, 1, 0),
    "CodecConfig dimension too large": raises(ValueError, CodecConfig, 8, 1, 16385),
    "CodecConfig wrong type": raises(TypeError, CodecConfig, fresh("8"), 1, D),
    "CodecConfig negative seed": raises(OverflowError, CodecConfig, 8, -1, D),
    "CodecConfig unknown keyword": raises(TypeError, CodecConfig, 8, 1, D, colour=1),
    "CodecConfig missing argument": raises(TypeError, CodecConfig, 8, 1),
    # rotation
    "RotationMatrix.from_config": lambda: RotationMatrix.from_config(CFG),
    "RotationMatrix.from_seed_and_dim": lambda: RotationMatrix.from_seed_and_dim(11, D),
    "Codec.build_rotation": lambda: codec.build_rotation(CFG),
    "RotationMatrix.apply/apply_inverse": lambda: ROT.apply_inverse(ROT.apply(X)),
    "RotationMatrix properties": lambda: (ROT.seed, ROT.dimension, ROT.matrix_f64_bytes()),
    "RotationMatrix bad dimension": raises(ValueError, RotationMatrix.from_seed_and_dim, 1, 0),
    "RotationMatrix wrong config type": raises(TypeError, RotationMatrix.from_config, CB),
    "RotationMatrix.apply wrong length": raises(ValueError, ROT.apply, X_SHORT),
    "RotationMatrix.apply float64": raises(TypeError, ROT.apply, X64),
    "RotationMatrix.apply_inverse strided": raises(ValueError, ROT.apply_inverse, X_STRIDED),
    # codebook
    "Codebook()": lambda: Codebook(ENTRIES, 8),
    "Codebook properties": reads(CB, "entries", "bit_width", "num_entries"),
    "Codebook.train": lambda: Codebook.train(TRAIN[:16], CFG2),
    "Codec.build_codebook": lambda: codec.build_codebook(TRAIN[:16], CFG2),
    "Codebook wrong entry count": raises(ValueError, Codebook, ENTRIES[:100], 8),
    "Codebook unsorted": raises(ValueError, Codebook, ENTRIES[::-1].copy(), 8),
    "Codebook duplicates": raises(ValueError, Codebook, np.zeros(4, np.float32), 2),
    "Codebook bad bit_width": raises(ValueError, Codebook, ENTRIES, 3),
    "Codebook.train too little data": raises(ValueError, Codebook.train, np.zeros((4, D), np.float32), CFG2),
    "Codebook.train Fortran order": raises(ValueError, Codebook.train, BATCH_F, CFG2),
    "Codebook.train 1-D": raises(TypeError, Codebook.train, X, CFG2),
    # codec service
    "Codec.compress": lambda: codec.compress(X, CFG, CB),
    "Codec.decompress": lambda: codec.decompress(CV, CFG, CB),
    "compress/decompress (module)": lambda: z.decompress(z.compress(X, CFG2, CB2), CFG2, CB2),
    "codec.compress/decompress (sub-module)": lambda: z.codec.decompress(
        compressed=z.codec.compress(vector=X, config=CFG, codebook=CB), config=CFG, codebook=CB),
    "Codec.compress_batch": lambda: codec.compress_batch(BATCH, CFG, CB),
    "Codec.decompress_batch": lambda: codec.decompress_batch(CVS, CFG, CB),
    "Codec.compress wrong length": raises(z.DimensionMismatchError, codec.compress, X_SHORT, CFG, CB),
    "Codec.compress codebook bit width": raises(z.CodebookIncompatibleError, codec.compress, X, CFG, CB2),
    "Codec.compress strided": raises(ValueError, codec.compress, X_STRIDED, CFG, CB),
    "Codec.compress float64": raises(TypeError, codec.compress, X64, CFG, CB),
    "Codec.compress list": raises(TypeError, codec.compress, [1.0] * 4, CFG, CB),
    "Codec.decompress other config": raises(z.ConfigMismatchError, codec.decompress, CV_OTHER, CFG, CB),
    "Codec.decompress wrong record type": raises(TypeError, codec.decompress, BLOB, CFG, CB),
    "Codec.compress_batch Fortran order": raises(ValueError, codec.compress_batch, BATCH_F, CFG, CB),
    "Codec.compress_batch 1-D": raises(TypeError, codec.compress_batch, X, CFG, CB),
    "Codec.decompress_batch one other config": raises(z.ConfigMismatchError, codec.decompress_batch, CVS_MIXED,
                                                     CFG, CB),
    "Codec.decompress_batch bad item": raises(TypeError, codec.decompress_batch, [*CVS, BLOB], CFG, CB),
    "Codec.decompress_batch str": raises(TypeError, codec.decompress_batch, fresh("records"), CFG, CB),
    # compressed vector and its byte form
    "CompressedVector properties": reads(CV, "indices", "residual", "config_hash", "dimension", "bit_width",
                                         "has_residual", "size_bytes"),
    "CompressedVector without residual": reads(CV2, "indices", "residual", "has_residual", "size_bytes"),
    "to_bytes/from_bytes": lambda: CompressedVector.from_bytes(CV.to_bytes()),
    "from_bytes 2-bit": lambda: CompressedVector.from_bytes(BLOB2),
    **{f"from_bytes {k}": raises_with(k, ValueError, CompressedVector.from_bytes, v) for k, v in BAD_BLOBS.items()},
    "from_bytes bytearray": raises(TypeError, CompressedVector.from_bytes, bytearray(BLOB)),
    "CompressedVector()": raises(TypeError, CompressedVector),
    # policies, entries, events
    "CompressionPolicy members": lambda: [(p.name, p.value, p.requires_codec(), repr(p), hash(p), int(p),
                                           p == P.FP16, p != P.FP16) for p in (P.COMPRESS, P.PASSTHROUGH, P.FP16)],
    "CompressionPolicy <": strict(lambda: P.COMPRESS < P.FP16),
    "CompressionPolicy()": raises(TypeError, P, 0),
    "VectorEntry properties": lambda: (repr(ENTRY), *reads(ENTRY, "vector_id", "compressed", "config_hash",
                                                          "dimension", "has_residual")()),
    "CorpusCreated properties": reads(CREATED, "corpus_id", "codec_config", "compression_policy", "timestamp"),
    "VectorsInserted properties": reads(INSERTED, "corpus_id", "vector_ids", "count", "timestamp"),
    "CorpusDecompressed properties": reads(DECOMPRESSED, "corpus_id", "vector_count", "timestamp"),
    **{f"{cls.__name__}()": raises(TypeError, cls) for cls in (z.CorpusCreated, z.VectorsInserted,
                                                                z.CorpusDecompressed,
                                                                z.CompressionPolicyViolationDetected)},
    # corpus
    "Corpus()": lambda: Corpus(CORPUS_ID, CFG_BIG, CB_BIG, P.COMPRESS, metadata=None).pending_events(),
    "Corpus policy as str": raises(TypeError, Corpus, CORPUS_ID, CFG_BIG, CB_BIG, fresh("compress")),
    "Corpus config of another class": raises(TypeError, Corpus, CORPUS_ID, CB_BIG, CB_BIG, P.FP16),
    "Corpus metadata dict": raises(NotImplementedError, Corpus, CORPUS_ID, CFG_BIG, CB_BIG, P.FP16, META),
    "Corpus metadata int": raises(TypeError, Corpus, CORPUS_ID, CFG_BIG, CB_BIG, P.FP16, 5),
    "Corpus properties": reads(CORPUS, "corpus_id", "codec_config", "codebook", "compression_policy",
                               "vector_count", "is_empty", "vector_ids"),
    "Corpus.metadata": raises(NotImplementedError, getattr, CORPUS, "metadata"),
    **{f"Corpus.insert/remove {p.name}": corpus_insert_remove(p) for p in CORPORA},
    "Corpus.insert duplicate": raises(z.DuplicateVectorError, CORPUS.insert, ID_A, Y),
    "Corpus.insert wrong length": raises(z.DimensionMismatchError, CORPUS.insert, ID_B, Y_SHORT),
    "Corpus.insert codebook bit width": raises(z.CodebookIncompatibleError, MISMATCHED.insert, ID_B, Y),
    "Corpus.insert strided": raises(ValueError, CORPUS.insert, ID_B, Y_STRIDED),
    "Corpus.insert float64": raises(TypeError, CORPUS.insert, ID_B, X64),
    "Corpus.insert metadata dict": raises(NotImplementedError, CORPUS.insert, ID_B, Y, metadata=META),
    "Corpus.insert id not text": raises(TypeError, CORPUS.insert, 5, Y),
    "Corpus.contains": lambda: (CORPUS.contains(ID_A), CORPUS.contains(ID_MISSING)),
    "Corpus.get": lambda: CORPUS.get(ID_A),
    "Corpus.get unknown": raises(KeyError, CORPUS.get, ID_MISSING),
    **{f"Corpus.decompress {p.name}": (lambda c: lambda: c.decompress(ID_A))(c) for p, c in CORPORA.items()},
    "Corpus.decompress unknown": raises(KeyError, CORPUS.decompress, ID_MISSING),
    "Corpus.decompress_all": lambda: (CORPORA[P.FP16].decompress_all(), CORPORA[P.FP16].pending_events()),
    "Corpus.remove unknown": raises(KeyError, CORPUS.remove, ID_MISSING),
    "Corpus.pending_events empty": lambda: CORPUS.pending_events(),
    # search backend
    "BruteForceBackend()": lambda: BruteForceBackend().count,
    "BruteForceBackend argument": raises(TypeError, BruteForceBackend, 1),
    "ingest overwrite": lambda: BACKEND.ingest(BACKEND_VECTORS),
    "ingest/remove": backend_ingest_remove,
    "clear/ingest": backend_clear_refill,
    "ingest dimension mismatch": backend_partial_ingest,
    "ingest not a dict": raises(TypeError, BACKEND.ingest, [ID_B]),
    "ingest key not text": raises(TypeError, BACKEND.ingest, BAD_KEY),
    "ingest float64 value": raises(TypeError, BACKEND.ingest, BAD_VALUE),
    "ingest strided value": raises(ValueError, BACKEND.ingest, STRIDED_VALUE),
    "search": lambda: BACKEND.search(Y, 5),
    "search all": lambda: BACKEND.search(query=Y, top_k=2**64 - 1),
    "search empty backend": lambda: BruteForceBackend().search(Y, 3),
    "search top_k 0": raises(ValueError, BACKEND.search, Y, 0),
    "search negative top_k": raises(OverflowError, BACKEND.search, Y, -1),
    "search wrong length": raises(RuntimeError, BACKEND.search, Y_SHORT, 3),
    "search strided": raises(ValueError, BACKEND.search, Y_STRIDED, 3),
    "remove str": raises(TypeError, BACKEND.remove, ID_A),
    "remove absent": lambda: BACKEND.remove([ID_MISSING, ID_MISSING]),
    "count": lambda: BACKEND.count,
    # search over codes
    "CompressedBackend()": lambda: repr(CompressedBackend(CFG_BIG, CB_BIG)),
    "CompressedBackend properties": reads(CODES, "count", "memory_bytes", "dimension", "bit_width", "has_residuals",
                                          "config", "codebook"),
    "CompressedBackend len/contains": lambda: (len(CODES), ID_A in CODES, 5 in CODES),
    "CompressedBackend ingest/remove": codes_ingest_remove,
    "CompressedBackend.from_corpus": lambda: CompressedBackend.from_corpus(CORPUS).clear(),
    "CompressedBackend.search": lambda: CODES.search(Y, 5),
    "CompressedBackend.search rerank": lambda: (CODES.search(Y, 3, rerank=8), CODES.search(Y, 3, rerank=9,
                                                                                            exact=BACKEND)),
    "CompressedBackend.search_batch": lambda: CODES.search_batch(QUERIES.astype(np.float64), 4, rerank=5),
    "CompressedBackend wrong length": raises(z.DimensionMismatchError, CODES.search, Y_SHORT, 3),
    "CompressedBackend bad ingest": raises(TypeError, CODES.ingest, BAD_KEY),
    "CompressedBackend missing exact id": raises(KeyError, CODES.search, Y, 3, rerank=20, exact=BruteForceBackend()),
    "CompressedBackend no residuals": raises(ValueError, CODES_NO_RESIDUAL.search, Y, 3, rerank=2),
    "CompressedBackend foreign record": raises(z.ConfigMismatchError, CODES_NO_RESIDUAL.ingest_compressed,
                                               CODE_RECORDS),
    "search_batch (exact)": lambda: search_batch(BACKEND, QUERIES, 3),
    # collections kept in files
    "save/load CompressedBackend": lambda: (z.save(CODES, FILES / "codes"), z.load(FILES / "codes")),
    "save/load BruteForceBackend": lambda: (z.save(BACKEND, FILES / "exact"), z.load(FILES / "exact")),
    "save/load Corpus": lambda: (z.save(CORPUS, FILES / "corpus"), z.load(FILES / "corpus")),
    "load mmap CompressedBackend": lambda: z.load(FILES / "mapped-codes", mmap=True).search(Y, 3),
    "load corrupt": raises(z.CollectionFileError, z.load, FILES / "corrupt"),
    "load missing": raises(FileNotFoundError, z.load, FILES / "missing"),
    "save to a directory": raises(IsADirectoryError, z.save, BACKEND, FILES),
    "mapped ingest": raises(ValueError, MAPPED.ingest, BACKEND_VECTORS),
    "search_batch wrong shape": raises(ValueError, search_batch, BACKEND, Y, 3),
    "SearchResult()": lambda: SearchResult(ID_A, 0.1),
    "SearchResult properties": lambda: (RESULT.vector_id, RESULT.score, repr(RESULT)),
    "SearchResult order": result_order,
    "SearchResult <=": strict(lambda: RESULT <= RESULT_LOW),
    "SearchResult hash": strict(lambda: hash(RESULT)),
    "SearchResult bad score": raises(TypeError, SearchResult, ID_A, fresh("high")),
    "SearchBackend()": raises(ValueError, SearchBackend),
    # internal failures
    "PanicException": raises(z.PanicException, internal.provoke_panic, ID_A),
    "MemoryError": raises(MemoryError, internal.provoke_memory_error),
}

# Calls whose native work is heavier get fewer repetitions; each still
# repeats far more often than the slack allows a leaked buffer to go unseen.
HEAVY = {"Codebook.train": 1000, "Codec.build_codebook": 1000, "Codebook.train too little data": 1500,
         "Corpus.insert/remove COMPRESS": 800, "Corpus.decompress COMPRESS": 800, "RotationMatrix properties": 1000,
         "save/load CompressedBackend": 300, "save/load BruteForceBackend": 300, "save/load Corpus": 300,
         "Codec.compress_batch": 1500, "Codec.decompress_batch": 1500, "Codec.decompress_batch one other config": 1500}
REPEATS = 3000


def _refcounts():
    return {name: sys.getrefcount(obj) for name, obj in WATCHED.items()}


def test_watched_objects_are_counted():
    # An immortal object's count never moves: watching it would prove nothing.
    immortal = [name for name, count in _refcounts().items() if count > 1 << 24]
    assert immortal == []


def leftovers(op, n):
    """What `n` more calls of `op` left behind, after a warm-up: changed
    reference counts, native heap, resident memory and traced Python memory."""
    found = {}
    m = min(n // 3, 1000)  # the Python-side measure needs fewer calls to see one object a call
    # Under ASan only the reference counts are read here, and a leaked
    # reference shows after one call; LeakSanitizer sees a lost buffer at once.
    if SANITIZED:
        n //= 10
    for _ in range(max(50, n // 10)):  # caches, free lists and the allocator settle
        op()
    gc.collect()
    refs, heap, resident = _refcounts(), heap_in_use(), rss()
    for _ in range(n):
        op()
    gc.collect()
    changed = {k: v - refs[k] for k, v in _refcounts().items() if v != refs[k]}
    if changed:
        found["references"] = changed
    # ASan's allocator holds freed memory in quarantine and replaces glibc's
    # heap: there LeakSanitizer stands in for these two measures.
    if not SANITIZED and heap is not None and heap_in_use() - heap >= HEAP_SLACK:
        found["heap"] = heap_in_use() - heap
    if not SANITIZED and rss() - resident >= RSS_SLACK:
        found["rss"] = rss() - resident

    tracemalloc.start()
    try:
        for _ in range(m // 4):
            op()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(m):
            op()
        gc.collect()
        if tracemalloc.get_traced_memory()[0] - traced >= TRACED_SLACK:
            found["traced"] = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    return found


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_repeated_calls_leave_nothing_behind(name):
    assert leftovers(OPERATIONS[name], HEAVY.get(name, REPEATS)) == {}


_kept = []
_malloc = _libc.malloc
_malloc.restype = ctypes.c_void_p


# The instruments themselves: each of these small leaks must be caught.
@pytest.mark.parametrize("leak, measure", [
    (lambda: _malloc(D), "heap"),  # one index-sized native buffer per call
    (lambda: _kept.append(float(len(_kept))), "traced"),  # one Python float per call
    (lambda: _kept.append(ID_A), "references"),
])
def test_leftovers_sees_a_small_leak_per_call(leak, measure):
    if measure == "heap" and _mallinfo2 is None:
        pytest.skip("glibc without mallinfo2")
    try:
        assert measure in leftovers(leak, REPEATS)
    finally:
        _kept.clear()


def test_operation_table_covers_the_public_api():
    with open(__file__) as f:
        table = f.read().split("# ---- the operations", 1)[1].split("\n}\n", 1)[0]
    unreached = []
    for name, cls in [(n, getattr(z._core, n)) for n in z._core.__all__] + [("CompressedBackend", CompressedBackend)]:
        # no operation produces a violation event, so only its constructor can be called
        if isinstance(cls, type) and not issubclass(cls, BaseException) \
                and cls is not z.CompressionPolicyViolationDetected:
            members = [m for m in vars(cls) if not m.startswith("_") and not m.isupper()]
            unreached += [f"{name}.{m}" for m in members if not re.search(rf'"{m}"|\.{m}\b', table)]
            if not members and name not in table:
                unreached.append(name)
    assert unreached == []


# ---- result vectors ---------------------------------------------------------------------

PRODUCERS = {
    "Codec.decompress": lambda: codec.decompress(CV, CFG, CB),
    "decompress (module)": lambda: z.decompress(CV, CFG, CB),
    "RotationMatrix.apply": lambda: ROT.apply(X),
    "RotationMatrix.apply_inverse": lambda: ROT.apply_inverse(X),
    "Corpus.decompress": lambda: CORPORA[P.PASSTHROUGH].decompress(ID_A),
    "Corpus.decompress_all": lambda: CORPORA[P.FP16].decompress_all()[ID_A],
}


@pytest.mark.parametrize("name", list(PRODUCERS))
def test_views_keep_the_result_buffer_until_the_last_one_goes(name):
    result = PRODUCERS[name]()
    container = result.base
    assert type(container).__name__ == "PySliceContainer" and not isinstance(container, np.ndarray)
    assert result.flags.writeable and result.flags.c_contiguous and result.strides == (4,)
    expected = result.copy()
    alone = sys.getrefcount(container)
    n = len(expected)
    head, every_third = result[: n // 2], result[1::3]
    result_ref = weakref.ref(result)
    del result
    assert result_ref() is not None  # the views hold it, and it holds the buffer
    filler = [PRODUCERS[name]() for _ in range(50)]  # would reuse the memory if it were freed
    assert np.array_equal(head, expected[: n // 2]) and np.array_equal(every_third, expected[1::3])
    head[:] = 0  # writes reach the shared buffer, not the producer
    shared = np.arange(1, n, 3)
    assert np.array_equal(every_third, np.where(shared < n // 2, 0, expected[shared]))
    assert np.array_equal(PRODUCERS[name](), expected)
    del head, every_third, filler
    assert result_ref() is None
    assert sys.getrefcount(container) == alone - 1  # only this frame's name is left


# glibc fills freed memory with the perturb byte: a buffer released while a
# view still reads it, or released twice, shows up as wrong data or an abort.
PERTURBED = """
import gc, numpy as np, zorvex_rs as z
d = 4096
cfg = z.CodecConfig(8, 1, d)
corpus = z.Corpus("c", cfg, z.Codebook(np.linspace(-1, 1, 256, dtype=np.float32), 8), z.CompressionPolicy.PASSTHROUGH)
x = np.arange(d, dtype=np.float32)
corpus.insert("x", x)
views = []
for k in range(300):
    r = corpus.decompress("x") if k % 2 else corpus.decompress_all()["x"]
    views.append(r[k % 7::5])
    del r
    junk = [np.empty(d, np.float32) for _ in range(4)] + [bytearray(4 * d) for _ in range(4)]
    del junk
gc.collect()
for k, v in enumerate(views):
    assert np.array_equal(v, x[k % 7::5]), k
views.clear()
gc.collect()
print("ok")
"""


def test_views_read_their_data_until_released_and_buffers_are_freed_once(run_python):
    env = dict(os.environ, MALLOC_PERTURB_="165", MALLOC_CHECK_="3", GLIBC_TUNABLES="glibc.malloc.perturb=165")
    assert run_python(PERTURBED, env=env).strip() == "ok"


def test_large_result_vectors_give_their_memory_back():
    d, count = 16384, 1024  # 64 KiB per vector, 64 MiB together
    corpus = Corpus(fresh("big"), CodecConfig(8, 1, d), CB_BIG, P.PASSTHROUGH)
    corpus.insert(ID_A, np.ones(d, np.float32))
    for _ in range(20):
        corpus.decompress(ID_A)
    base = trimmed_rss()
    results = [corpus.decompress(ID_A) for _ in range(count)]
    held = trimmed_rss() - base
    assert held > 0.75 * count * d * 4
    views = [r[::97] for r in results[::8]]  # each view pins its whole buffer
    del results
    assert trimmed_rss() - base > 0.75 * (count // 8) * d * 4
    assert all(float(v.sum()) == len(v) for v in views)
    del views
    assert trimmed_rss() - base < RSS_SLACK
    for _ in range(3):  # and a second full round reuses it rather than adding to it
        batch = [corpus.decompress(ID_A) for _ in range(count)]
        del batch
    assert trimmed_rss() - base < RSS_SLACK


def test_large_batches_and_exports_give_their_memory_back():
    d, rows = 4096, 64
    corpus = Corpus(fresh("big"), CodecConfig(8, 1, d), CB_BIG, P.FP16)
    for k in range(rows):
        corpus.insert(fresh(f"v{k}"), np.full(d, k, np.float32))
    backend = BruteForceBackend()
    for _ in range(3):
        corpus.decompress_all()
        backend.ingest({fresh(f"v{k}"): np.full(d, k + 1, np.float32) for k in range(rows)})
    corpus.pending_events()
    base = trimmed_rss()
    for _ in range(200):  # a leaked 1 MiB result set per call would be 200 MiB
        everything = corpus.decompress_all()
        backend.ingest({k: v for k, v in everything.items()})
        backend.search(everything["v3"], 10)
    del everything
    corpus.pending_events()
    assert trimmed_rss() - base < RSS_SLACK


def _filled_backend(rows, d):
    backend = BruteForceBackend()
    backend.ingest({fresh(f"v{k}"): np.full(d, k + 1, np.float32) for k in range(rows)})
    return backend


def _filled_corpus(rows, d):
    corpus = Corpus(fresh("big"), CodecConfig(8, 1, d), CB_BIG, P.PASSTHROUGH)
    for k in range(rows):
        corpus.insert(fresh(f"v{k}"), np.full(d, k + 1, np.float32))
    return corpus


# 64 MiB of stored vectors each: a state kept after its object goes is plain in RSS.
@pytest.mark.parametrize("make", [_filled_backend, _filled_corpus])
def test_stateful_objects_give_their_memory_back(make):
    rows, d = 1024, 16384
    make(4, d)
    base = trimmed_rss()
    holder = make(rows, d)
    assert trimmed_rss() - base > 0.75 * rows * d * 4
    kept = holder.get(fresh("v7")) if isinstance(holder, Corpus) else None
    del holder
    if kept is not None:  # an entry shares its stored record and outlives the corpus
        assert kept.vector_id == "v7"
        assert np.array_equal(kept.compressed.indices.view(np.float32), np.full(d, 8, np.float32))
        del kept
    assert trimmed_rss() - base < RSS_SLACK
