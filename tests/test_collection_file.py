"""Collections kept in files: round trips equal bit for bit, the layout an
independent reader sees, refused corruption, and saves that survive kills."""

import os
import pathlib
import random
import resource
import shutil
import signal
import struct
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

import zorvex_rs
from zorvex_rs import CollectionFileError, load, save
from zorvex_rs.backend import BruteForceBackend, CompressedBackend, search_batch
from zorvex_rs.codec import Codebook, Codec, CodecConfig
from zorvex_rs.corpus import CompressionPolicy, Corpus

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from collection_reference import parse, reseal, xxh64  # noqa: E402

CODEC = Codec()
GOLDEN = pathlib.Path(__file__).resolve().parent / "data" / "collections"
# Identifiers with any characters: empty, NUL, non-ASCII, astral, path-like.
ODD_IDS = ["", "\x00", "é", "日本", "🙂", "a/b\\c", " ", "z" * 300]


def vectors(n, d, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d)).astype(np.float32)
    if n > 5:
        x[3] = 0.0  # a zero vector scores 0.0
        x[5, 1] = np.nan  # so does one holding a NaN
        x[4] = x[2]  # equal scores: ties settled by id bytes
    return x


def ids_for(n):
    return (ODD_IDS + [f"v{i:04d}" for i in range(n)])[:n]


def outcome(results):
    return [(r.vector_id, struct.pack("<f", r.score)) for r in results]


def queries(d, seed=9):
    q = np.random.default_rng(seed).standard_normal((4, d)).astype(np.float32)
    q[1] = 0.0
    q[2, 0] = np.nan
    return q


def brute(n=70, d=11, removed=True):
    b = BruteForceBackend()
    x = vectors(n, d)
    b.ingest(dict(zip(ids_for(n), x)))
    if removed and n > 10:
        # Removal moves the last slot into the hole: slots no longer follow the ids.
        b.remove([ids_for(n)[i] for i in (0, 7, 9)])
        b.ingest({"late": x[1] * 2})
    return b


def compressed(bits, residual, n=70, d=11):
    config = CodecConfig(bits, seed=5, dimension=d, residual_enabled=residual)
    codebook = CODEC.build_codebook(np.random.default_rng(1).standard_normal((200, d)).astype(np.float32), config)
    c = CompressedBackend(config, codebook)
    x = vectors(n, d)
    if n:
        c.ingest(dict(zip(ids_for(n), x)))
    if n > 10:
        c.remove([ids_for(n)[i] for i in (0, 7, 9)])
        c.ingest({"late": x[1] * 2})
    return c


def corpus(policy, bits=4, residual=True, n=40, d=9):
    config = CodecConfig(bits, seed=2, dimension=d, residual_enabled=residual)
    codebook = CODEC.build_codebook(np.random.default_rng(1).standard_normal((200, d)).astype(np.float32), config)
    c = Corpus("corpus-é", config, codebook, policy)
    for vid, v in zip(ids_for(n), vectors(n, d)):
        c.insert(vid, v)
    if n > 10:
        c.remove(ids_for(n)[2])
    return c


def brute_state(b, d):
    q = queries(d)
    return (
        b.count,
        [outcome(b.search(row, k)) for row in q for k in (1, 5, 1000)],
        [[outcome(r) for r in search_batch(b, q, 7)]] if b.count else [],
    )


def compressed_state(c, exact=None):
    q = queries(c.dimension)
    state = [c.count, c.config, c.codebook.entries.tobytes(), sorted(i for i in ids_for(80) if i in c)]
    for k in (1, 6, 1000):
        state.append([outcome(r) for r in c.search_batch(q, k)])
        if c.has_residuals:
            state.append([outcome(r) for r in c.search_batch(q, k, rerank=20)])
        if exact is not None:
            state.append([outcome(r) for r in c.search_batch(q, k, rerank=20, exact=exact)])
    return state


def corpus_state(c):
    ids = sorted(c.vector_ids)
    state = [c.corpus_id, c.codec_config, c.compression_policy, c.codebook.entries.tobytes(), c.vector_count, ids]
    for vid in ids:
        e = c.get(vid)
        state.append((e.vector_id, e.compressed.to_bytes(), e.has_residual, c.decompress(vid).tobytes()))
    state.append({k: v.tobytes() for k, v in c.decompress_all().items()})
    if c.compression_policy == CompressionPolicy.COMPRESS and c.vector_count:
        # Insertion order shows through a backend built from the corpus.
        backend = CompressedBackend.from_corpus(c)
        state.append([outcome(r) for r in backend.search_batch(queries(c.codec_config.dimension), 5)])
    return state


# ---- round trips ---------------------------------------------------------------------------


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize("n", [0, 1, 17, 70])
def test_brute_force_round_trip(tmp_path, n, mmap):
    b = brute(n)
    path = tmp_path / "b.zvx"
    save(b, path)
    loaded = load(path, mmap=mmap)
    assert type(loaded) is BruteForceBackend
    assert brute_state(loaded, 11) == brute_state(b, 11)


def test_brute_force_keeps_its_dimension_when_emptied(tmp_path):
    b = brute(20)
    b.remove(ids_for(20) + ["late"])
    save(b, tmp_path / "e")
    loaded = load(tmp_path / "e")
    for backend in (b, loaded):
        with pytest.raises(Exception) as caught:
            backend.ingest({"x": np.ones(3, np.float32)})
        assert "dimension" in str(caught.value)


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize("residual", [True, False])
@pytest.mark.parametrize("bits", [2, 4, 8])
@pytest.mark.parametrize("n", [0, 70])
def test_compressed_round_trip(tmp_path, bits, residual, n, mmap):
    c = compressed(bits, residual, n)
    exact = brute(70, removed=False)
    exact.ingest({"late": vectors(70, 11)[1] * 2})
    save(c, tmp_path / "c.zvx")
    loaded = load(tmp_path / "c.zvx", mmap=mmap, verify=mmap and bits == 4)
    assert type(loaded) is CompressedBackend
    assert compressed_state(loaded, exact if n else None) == compressed_state(c, exact if n else None)


@pytest.mark.parametrize(
    "policy,bits,residual",
    [
        (CompressionPolicy.COMPRESS, 2, True),
        (CompressionPolicy.COMPRESS, 4, False),
        (CompressionPolicy.COMPRESS, 8, True),
        (CompressionPolicy.PASSTHROUGH, 4, False),
        (CompressionPolicy.FP16, 8, True),
    ],
)
@pytest.mark.parametrize("n", [0, 40])
def test_corpus_round_trip(tmp_path, policy, bits, residual, n):
    c = corpus(policy, bits, residual, n)
    save(c, tmp_path / "k.zvx")
    loaded = load(tmp_path / "k.zvx")
    assert type(loaded) is Corpus
    assert corpus_state(loaded) == corpus_state(c)


def test_corpus_file_keeps_no_pending_events(tmp_path):
    c = corpus(CompressionPolicy.COMPRESS)
    c.decompress_all()
    save(c, tmp_path / "k")
    # Saving collects nothing from the original (created, 40 inserts, decompressed) ...
    assert [type(e).__name__ for e in c.pending_events()][::20] == ["CorpusCreated", "VectorsInserted", "VectorsInserted"]
    assert len(c.pending_events()) == 0  # (pending_events collects them)
    # ... and a loaded corpus starts with exactly a new corpus's events.
    events = load(tmp_path / "k").pending_events()
    assert [type(e).__name__ for e in events] == ["CorpusCreated"]
    assert events[0].corpus_id == c.corpus_id and events[0].codec_config == c.codec_config


@pytest.mark.parametrize("first", ["ingest", "remove", "remove unknown"])
def test_later_changes_match(tmp_path, first):
    """A loaded object keeps working like the original: same changes, same results,
    whichever change comes first (a loaded copy builds its id index only then)."""
    c, b = compressed(4, True), brute()
    save(c, tmp_path / "c")
    save(b, tmp_path / "b")
    lc, lb = load(tmp_path / "c"), load(tmp_path / "b")
    extra = dict(zip([f"new{i}" for i in range(30)], vectors(30, 11, seed=4)))
    for obj in (c, lc, b, lb):
        if first == "remove":
            obj.remove(["v0012", "late"])
        elif first == "remove unknown":
            obj.remove(["absent", "v0012x"])
        obj.ingest(extra)
        obj.remove(["v0012", "new3", "late"])
    assert compressed_state(lc) == compressed_state(c)
    assert brute_state(lb, 11) == brute_state(b, 11)


@pytest.mark.parametrize("make", [brute, lambda: compressed(4, False)], ids=["brute", "compressed"])
def test_first_change_of_a_loaded_copy_is_seen_whole_by_searches(tmp_path, make):
    """The first change builds a loaded copy's id index while searches run: each sees it all or not at all."""
    save(make(), tmp_path / "f")
    obj = load(tmp_path / "f")
    q = queries(11)[0]
    before = outcome(obj.search(q, 1000))
    gone = before[0][0]  # the best match, removed by the first change
    stop, seen, errors = threading.Event(), [], []

    def reader():
        try:
            while not stop.is_set():
                seen.append(outcome(obj.search(q, 1000)))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    while not seen:
        time.sleep(0.001)
    obj.remove([gone])
    time.sleep(0.05)
    stop.set()
    for t in threads:
        t.join()
    after = outcome(obj.search(q, 1000))
    assert not errors and after == [r for r in before if r[0] != gone]
    assert all(s in (before, after) for s in seen)


# ---- open in place -------------------------------------------------------------------------------


def test_mapped_backends_refuse_changes(tmp_path):
    save(brute(), tmp_path / "b")
    save(compressed(4, True), tmp_path / "c")
    b, c = load(tmp_path / "b", mmap=True), load(tmp_path / "c", mmap=True)
    before = brute_state(b, 11), compressed_state(c)
    row = {"x": np.ones(11, np.float32)}
    calls = [
        (b.ingest, row), (b.remove, ["v0010"]), (b.clear,),
        (c.ingest, row), (c.remove, ["v0010"]), (c.clear,),
        (c.ingest_compressed, {"x": CODEC.compress(row["x"], c.config, c.codebook)}),
    ]
    for fn, *args in calls:
        with pytest.raises(ValueError, match=r"\.(ingest|remove|clear|ingest_compressed): this backend was opened "
                           r"with load\(path, mmap=True\)"):
            fn(*args)
    assert (brute_state(b, 11), compressed_state(c)) == before
    # A copy of the same file changes freely.
    load(tmp_path / "b").clear()


def test_mapped_exact_backend_reranks_codes_in_memory(tmp_path):
    c = compressed(4, False)
    exact = brute(70, removed=False)
    exact.ingest({"late": vectors(70, 11)[1] * 2})
    save(exact, tmp_path / "exact")
    mapped = load(tmp_path / "exact", mmap=True)
    assert compressed_state(c, mapped) == compressed_state(c, exact)


def test_mapping_outlives_the_file_being_replaced(tmp_path):
    old, new = brute(40), brute(25)
    save(old, tmp_path / "f")
    mapped = load(tmp_path / "f", mmap=True)
    save(new, tmp_path / "f")  # renamed over: the mapping keeps the old file's bytes
    assert brute_state(mapped, 11) == brute_state(old, 11)
    (tmp_path / "f").unlink()
    assert brute_state(mapped, 11) == brute_state(old, 11)


@pytest.mark.parametrize("make", [lambda: brute(40), lambda: compressed(8, True, n=40)])
def test_a_mapped_backend_saves_over_its_own_file(tmp_path, make):
    obj = make()
    save(obj, tmp_path / "f")
    before = (tmp_path / "f").read_bytes()
    mapped = load(tmp_path / "f", mmap=True)
    save(mapped, tmp_path / "f")
    assert (tmp_path / "f").read_bytes() == before
    assert state_of(load(tmp_path / "f")) == state_of(obj) == state_of(mapped)


@pytest.mark.parametrize("make", [lambda: brute(40), lambda: compressed(4, True, n=40)])
def test_mapped_damaged_data_never_crashes(tmp_path, make):
    """Without verify, flips inside data sections (ids, order, slots, codes)
    may give wrong answers, but every read stays inside the file."""
    obj = make()
    save(obj, tmp_path / "f")
    good = (tmp_path / "f").read_bytes()
    h = parse(good)
    rng = random.Random(3)
    q = queries(11)
    for i in range(300):
        s = h["sections"][i % len(h["sections"])]
        if s["size"] == 0:
            continue
        data = bytearray(good)
        for _ in range(4):
            data[s["offset"] + rng.randrange(s["size"])] = rng.randrange(256)
        path = tmp_path / f"d{i}"
        path.write_bytes(bytes(data))
        try:
            m = load(path, mmap=True)
        except CollectionFileError:  # the last id offset is a bound, and checked
            continue
        for call in (
            lambda: m.search_batch(q, 5) if isinstance(m, CompressedBackend) else search_batch(m, q, 5),
            lambda: "v0003" in m if isinstance(m, CompressedBackend) else m.search(q[0], 3),
        ):
            try:
                call()
            except (UnicodeDecodeError, KeyError, ValueError):
                pass
        path.unlink()


# ---- the layout, read independently ------------------------------------------------------------


@pytest.mark.parametrize("make", [lambda: brute(), lambda: compressed(2, True), lambda: corpus(CompressionPolicy.FP16)])
def test_layout_and_checksums(tmp_path, make):
    obj = make()
    save(obj, tmp_path / "f")
    data = (tmp_path / "f").read_bytes()
    h = parse(data)
    assert h["magic"] == b"\x89ZVXCF\r\n" and h["version"] == 1 and h["file_size"] == len(data)
    assert h["header_checksum"] == xxh64(data[: h["header_size"] - 8])
    end = h["header_size"]
    for s in h["sections"]:
        assert s["offset"] % 64 == 0 and s["offset"] == (end + 63) // 64 * 64
        assert set(data[end : s["offset"]]) <= {0}
        assert xxh64(data[s["offset"] : s["offset"] + s["size"]]) == s["checksum"]
        end = s["offset"] + s["size"]
    assert end == len(data)
    if isinstance(obj, Corpus):
        assert h["corpus_id"].decode() == obj.corpus_id
        assert h["config_hash"].decode() == obj.codec_config.config_hash
    if isinstance(obj, CompressedBackend):
        assert h["codebook"] == tuple(obj.codebook.entries.tolist())
        assert h["config_hash"].decode() == obj.config.config_hash


def test_reference_checksum_vectors():
    # Published XXH64 values: the empty input, a short one, and one past a 32-byte stripe.
    assert xxh64(b"") == 0xEF46DB3751D8E999
    assert xxh64(b"abc") == 0x44BC2CF5AD770999
    assert xxh64(b"Nobody inspects the spammish repetition") == 0xFBCEA83C8A378BF1


# ---- golden files: a file saved on one run loads on another --------------------------------------

GOLDEN_MAKERS = {
    "brute_force.zvx": lambda: brute(),
    "compressed_4bit_residual.zvx": lambda: compressed(4, True),
    "compressed_2bit.zvx": lambda: compressed(2, False),
    "corpus_compress_8bit.zvx": lambda: corpus(CompressionPolicy.COMPRESS, 8, True),
    "corpus_passthrough.zvx": lambda: corpus(CompressionPolicy.PASSTHROUGH),
}


def state_of(obj):
    if isinstance(obj, BruteForceBackend):
        return brute_state(obj, 11)
    if isinstance(obj, CompressedBackend):
        return compressed_state(obj)
    return corpus_state(obj)


@pytest.mark.parametrize("name", sorted(GOLDEN_MAKERS))
def test_golden_files(tmp_path, name):
    fresh = GOLDEN_MAKERS[name]()
    assert state_of(load(GOLDEN / name)) == state_of(fresh)
    # And today's writer still writes those very bytes.
    save(fresh, tmp_path / name)
    assert (tmp_path / name).read_bytes() == (GOLDEN / name).read_bytes()


# ---- refused files -------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def small_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("small") / "c.zvx"
    save(compressed(4, True, n=20, d=5), path)
    return path.read_bytes()


def refuse(tmp_path, data, match, **kw):
    path = tmp_path / "bad.zvx"
    path.write_bytes(bytes(data))
    with pytest.raises(CollectionFileError, match=match) as caught:
        load(path, **kw)
    assert str(path) in str(caught.value)


@pytest.mark.parametrize("mmap", [False, True])
def test_every_truncation_is_refused(tmp_path, small_file, mmap):
    for length in range(len(small_file)):
        refuse(tmp_path, small_file[:length], "truncated|wrong magic", mmap=mmap)


@pytest.mark.parametrize("mmap", [False, True])
def test_extension_is_refused(tmp_path, small_file, mmap):
    refuse(tmp_path, small_file + b"\x00", "extended", mmap=mmap)
    refuse(tmp_path, small_file + b"x" * 100, "extended", mmap=mmap)


def test_random_flips_are_refused(tmp_path, small_file):
    rng = random.Random(1)
    for _ in range(3000):
        data = bytearray(small_file)
        at = rng.randrange(len(data))
        data[at] ^= 1 << rng.randrange(8)
        refuse(tmp_path, data, "checksum|magic|not a valid|newer|padding")


def test_flips_in_data_sections_need_verify_when_mapped(tmp_path, small_file):
    h = parse(small_file)
    codes = h["sections"][3]
    data = bytearray(small_file)
    data[codes["offset"]] ^= 0x10
    (tmp_path / "f").write_bytes(bytes(data))
    load(tmp_path / "f", mmap=True)  # the header and every bound still check out
    refuse(tmp_path, data, "checksum mismatch in section codes", mmap=True, verify=True)
    refuse(tmp_path, data, "checksum mismatch in section codes")


SECTION_NAMES = {1: "id offsets", 2: "id bytes", 3: "id order", 4: "slot entries", 5: "vectors",
                 6: "sums of squares", 7: "NaN flags", 8: "codes", 9: "inverse norms", 10: "residuals",
                 11: "record indices", 12: "entry slots"}


@pytest.mark.parametrize("make, opens", [
    (lambda: brute(n=20, d=5), [{}, {"mmap": True, "verify": True}]),
    (lambda: compressed(4, True, n=20, d=5), [{}, {"mmap": True, "verify": True}]),
    # A Corpus is always read whole, so its sections are checked even when mmap is asked for.
    (lambda: corpus(CompressionPolicy.COMPRESS, n=20, d=5), [{}, {"mmap": True}]),
], ids=["brute", "compressed", "corpus"])
def test_flips_inside_sections_name_the_section(tmp_path, make, opens):
    """A flip in a section's bytes is reported as that section's checksum mismatch,
    before any check of what the bytes hold."""
    path = tmp_path / "f.zvx"
    save(make(), path)
    data = path.read_bytes()
    rng = random.Random(3)
    for section in parse(data)["sections"]:
        for at in rng.sample(range(section["size"]), min(section["size"], 6)):
            flipped = bytearray(data)
            flipped[section["offset"] + at] ^= 1 << rng.randrange(8)
            for kw in opens:
                refuse(tmp_path, flipped, f"checksum mismatch in section {SECTION_NAMES[section['tag']]}$", **kw)


def resealed(data, edits):
    """The file with section bytes edited ({tag: {offset in section: byte}}) and every checksum made right again."""
    data, h = bytearray(data), parse(data)
    for i, section in enumerate(h["sections"]):
        for at, byte in edits.get(section["tag"], {}).items():
            data[section["offset"] + at] = byte
        body = bytes(data[section["offset"] : section["offset"] + section["size"]])
        struct.pack_into("<Q", data, h["table_at"] + 32 * i + 24, xxh64(body))
    return reseal(data)


@pytest.mark.parametrize("edits, bad", [
    ({2: {0: 0x80}}, 0),  # starts with a continuation byte
    ({2: {5: 0xFF}}, 2),  # a byte no UTF-8 text holds
    ({2: {9: 0xE6}}, 3),  # the last identifier ends inside a character
    ({1: {16: 2}}, 1),  # the boundary moved inside "é": valid text, cut in the wrong place
    ({1: {16: 4}}, 1),  # ... and inside "日"
], ids=["continuation", "0xff", "cut end", "cut é", "cut 日"])
@pytest.mark.parametrize("mmap", [False, True])
def test_identifiers_not_utf8_are_named(tmp_path, edits, bad, mmap):
    b = BruteForceBackend()
    b.ingest({i: np.ones(3, np.float32) for i in ["a", "é", "日本", "z"]})  # bytes: a | c3 a9 | e6 97 a5 e6 9c ac | z
    save(b, tmp_path / "ok.zvx")
    data = (tmp_path / "ok.zvx").read_bytes()
    assert load(tmp_path / "ok.zvx").search(np.ones(3, np.float32), 1)  # resealing alone changes nothing
    refuse(tmp_path, resealed(data, edits), f"id {bad} is not valid UTF-8$", mmap=mmap, verify=True)


@pytest.mark.parametrize("make", [lambda: brute(n=20, d=5), lambda: compressed(4, True, n=20, d=5),
                                  lambda: corpus(CompressionPolicy.COMPRESS, n=20, d=5)],
                         ids=["brute", "compressed", "corpus"])
def test_flips_behind_the_checksums_never_crash(tmp_path, make):
    """Damage with checksums made right again reaches the content checks and the objects built from them:
    each such file is refused with a CollectionFileError or loads into something that searches and changes."""
    path = tmp_path / "f.zvx"
    save(make(), path)
    data = path.read_bytes()
    sections = [s for s in parse(data)["sections"] if s["size"]]
    rng = random.Random(7)
    refused = 0
    for _ in range(150):
        section = rng.choice(sections)
        at = rng.randrange(section["size"])
        flipped = resealed(data, {section["tag"]: {at: data[section["offset"] + at] ^ (1 << rng.randrange(8))}})
        path.write_bytes(bytes(flipped))
        for kw in ({}, {"mmap": True}, {"mmap": True, "verify": True}):
            try:
                obj = load(path, **kw)
            except CollectionFileError:
                refused += 1
                continue
            if isinstance(obj, Corpus):
                obj.decompress_all()
                continue
            d = 5
            obj.search(np.ones(d, np.float32), 3)
            if not kw:  # a copy builds its id index at its first change
                obj.remove(["v0004"])
                obj.ingest({"new": np.ones(d, np.float32)})
                obj.search(np.ones(d, np.float32), 3)
    assert refused  # the content checks were reached


def test_wrong_magic_newer_version_and_bounds(tmp_path, small_file):
    refuse(tmp_path, b"PK\x03\x04" + small_file[4:], "wrong magic")
    refuse(tmp_path, b"", "wrong magic")
    newer = bytearray(small_file)
    struct.pack_into("<I", newer, 8, 2)
    refuse(tmp_path, reseal(newer), "format version 2, newer than this reader")
    h = parse(small_file)
    past = bytearray(small_file)
    struct.pack_into("<Q", past, h["table_at"] + 32 * 4 + 16, 1 << 40)  # a section length past the end
    refuse(tmp_path, reseal(past), "lies outside the file")
    for mmap in (False, True):
        refuse(tmp_path, reseal(past), "lies outside the file", mmap=mmap)


def test_wrong_kind_is_refused(tmp_path):
    save(brute(), tmp_path / "b")
    with pytest.raises(CollectionFileError, match="holds a BruteForceBackend, not a CompressedBackend"):
        load(tmp_path / "b", kind=CompressedBackend)
    assert type(load(tmp_path / "b", kind=BruteForceBackend)) is BruteForceBackend
    with pytest.raises(TypeError, match="kind"):
        load(tmp_path / "b", kind=int)


def test_argument_errors(tmp_path):
    with pytest.raises(TypeError, match="expected a Corpus, BruteForceBackend or CompressedBackend; got dict"):
        save({}, tmp_path / "x")
    with pytest.raises(FileNotFoundError) as caught:
        load(tmp_path / "missing")
    assert caught.value.filename == tmp_path / "missing"
    assert not (tmp_path / "x").exists()


# ---- durability ----------------------------------------------------------------------------------


def test_failed_saves_leave_the_old_file(tmp_path):
    old = brute(20)
    save(old, tmp_path / "t")
    before = (tmp_path / "t").read_bytes()
    (tmp_path / "dir").mkdir()
    with pytest.raises(IsADirectoryError) as caught:
        save(brute(30), tmp_path / "dir")
    assert caught.value.filename == tmp_path / "dir"
    with pytest.raises(FileNotFoundError):
        save(brute(30), tmp_path / "nowhere" / "t")
    # The file size limit stands in for a full disk, in a child so the limit stays there.
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            save(brute(200, d=64), tmp_path / "t")
        except OSError as e:
            code = 0 if e.filename == tmp_path / "t" and e.errno in (27, 28) else 2  # EFBIG, ENOSPC
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert (tmp_path / "t").read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir", "t"]


def test_unwritable_directory():
    """A save into a directory it may not write fails with the path and
    leaves the old file alone; root writes anywhere, so the save runs as
    nobody in a child then."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="zorvex-unwritable-"))
    target = folder / "t"
    try:
        save(brute(5), target)
        before = target.read_bytes()
        folder.chmod(0o555)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                save(brute(9), target)
            except PermissionError as e:
                code = 0 if str(e.filename) == str(target) else 2
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert target.read_bytes() == before
        assert [p.name for p in folder.iterdir()] == ["t"]
    finally:
        folder.chmod(0o700)
        shutil.rmtree(folder)


def test_killed_saves_leave_old_or_new(tmp_path):
    """SIGKILL at random moments of saves over an existing file: the target
    always loads, equal to one of the two collections."""
    a, b = compressed(4, True, n=300, d=24), compressed(4, True, n=200, d=24)
    a.remove(["v0100"])
    states = {}
    for name, obj in (("a", a), ("b", b)):
        save(obj, tmp_path / name)
        states[(tmp_path / name).read_bytes()] = name
    target = tmp_path / "target"
    save(a, target)
    # The kills spread over the child's first few saves, however long a save
    # takes here (a loaded machine or a slow disk stretches it).
    start = time.perf_counter()
    for _ in range(3):
        save(b, target)
        save(a, target)
    window = max(0.004, 4 * (time.perf_counter() - start) / 3)
    rng = random.Random(7)
    seen = set()
    for _ in range(220):
        pid = os.fork()
        if pid == 0:
            try:
                while True:
                    save(b, target)
                    save(a, target)
            finally:
                os._exit(0)
        delay = rng.uniform(0.0, window)
        if delay > 0.0005:
            time.sleep(delay)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        data = target.read_bytes()
        assert data in states
        seen.add(states[data])
        load(target)
    assert seen == {"a", "b"}
