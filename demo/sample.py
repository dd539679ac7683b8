"""The bundled sample of real sentence embeddings, and the quality measures the demo and the benches share.

Only NumPy and zorvex_rs are needed here; progress bars and charts are imported where they are used, so the
tests can run this on a subset without them.
"""

import json
import os
import platform
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from zorvex_rs.backend import BruteForceBackend
from zorvex_rs.codec import Codec, CodecConfig, RotationMatrix, train_codebook
from zorvex_rs.corpus import CompressionPolicy, Corpus

SAMPLE = Path(__file__).resolve().parent.parent / "data" / "sample.npz"
SETTINGS = [(bits, residual) for bits in (2, 4, 8) for residual in (False, True)]
# Codebook trainings: the first is the default everywhere (see compare_trainings).
TRAININGS = ("lloyd-max", "quantile")
# Mean squared error per coordinate over the variance of the optimal quantiser
# of a normal variable: Max (1960) at 2 and 4 bits; at 8 bits Lloyd's algorithm
# iterated on the normal density to five digits (the high-resolution
# approximation, sqrt(3) pi / 2 x 2^-16, gives 4.151e-05).
NORMAL_OPTIMUM = {2: 0.1175, 4: 0.009497, 8: 4.1185e-05}
K = 10
SEED = 42


@dataclass
class Sample:
    docs: np.ndarray  # (n, d) float32
    queries: np.ndarray  # (q, d) float32
    doc_ids: list
    doc_texts: list
    query_ids: list
    query_texts: list
    meta: dict

    def subset(self, docs, queries):
        """The first `docs` documents and `queries` queries."""
        return Sample(self.docs[:docs], self.queries[:queries], self.doc_ids[:docs], self.doc_texts[:docs],
                      self.query_ids[:queries], self.query_texts[:queries], self.meta)


def _lines(blob):
    return blob.tobytes().decode().split("\n")


def load_sample(path=SAMPLE):
    with np.load(path) as z:
        return Sample(
            docs=z["docs"].astype(np.float32),
            queries=z["queries"].astype(np.float32),
            doc_ids=_lines(z["doc_ids"]),
            doc_texts=_lines(z["doc_texts"]),
            query_ids=_lines(z["query_ids"]),
            query_texts=_lines(z["query_texts"]),
            meta=json.loads(z["meta"].tobytes()),
        )


def exact_top_k(docs, queries, k=K):
    """Row indices of the k best documents per query by float64 cosine, best first, ties by lower index."""
    d = docs.astype(np.float64)
    q = queries.astype(np.float64)
    scores = (q @ d.T) / np.outer(np.linalg.norm(q, axis=1), np.linalg.norm(d, axis=1))
    return np.array([np.lexsort((np.arange(len(row)), -row))[:k] for row in scores])


def recall_at_k(found, truth):
    """Mean share of each true top-k found, both given as rows of document indices."""
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def mean_cosine(original, restored):
    dots = np.einsum("ij,ij->i", original.astype(np.float64), restored.astype(np.float64))
    return float(np.mean(dots / (np.linalg.norm(original, axis=1) * np.linalg.norm(restored, axis=1))))


def training_set(sample, size=2000):
    """A fixed spread-out subset of the documents: they come in source order, so the first rows are one area.

    Train on this one set even when evaluating fewer documents. The stored float16 values hold an exact zero
    wherever the model gives almost nothing (one dimension is always about -1e-33), and an 8-bit codebook
    needs 256 distinct quantiles: a sample where -0.0 fills more than 1/255 of the values is refused.
    """
    rows = np.random.default_rng(SEED).choice(len(sample.docs), size=min(len(sample.docs), size), replace=False)
    return sample.docs[np.sort(rows)]


@dataclass
class Result:
    name: str
    bytes_per_vector: float
    cosine: float
    recall: float
    encode_per_s: float
    decode_per_s: float
    search_per_s: float
    dimension: int

    @property
    def ratio(self):
        return 4 * self.dimension / self.bytes_per_vector


def best_rate(work, items, repeat=3):
    """work()'s result and its best rate in items per second: the machine is shared, so take the least disturbed."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
    return result, items / best


def _no_progress(items, **_):
    return items


def setting_name(bits, residual):
    return f"{bits}-bit" + (" + fp16 residual" if residual else "")


def evaluate(sample, truth, bits, residual, train, progress=_no_progress, training=TRAININGS[0]):
    """Compresses the documents at one setting, stores them in a COMPRESS corpus, and searches what comes back.

    The codebook is trained on `train` (see `training_set`) by `train_codebook` with method `training`.

    Throughput is the best of three batch calls; the corpus must then store, byte for byte, the records the
    batch made, and give back what the batch decompression gave, or the run fails.
    """
    docs, d = sample.docs, sample.docs.shape[1]
    codec = Codec()
    config = CodecConfig(bits, SEED, d, residual)
    codebook = train_codebook(train, config, method=training)

    records, encode = best_rate(lambda: codec.compress_batch(docs, config, codebook), len(docs))
    batch_restored, decode = best_rate(lambda: codec.decompress_batch(records, config, codebook), len(docs))

    corpus = Corpus(f"sample-{bits}{'r' if residual else ''}", config, codebook, CompressionPolicy.COMPRESS)
    sizes = []
    pairs = list(zip(sample.doc_ids, docs, records))
    for vector_id, vector, record in progress(pairs, desc="store", leave=False):
        stored = corpus.insert(vector_id, vector).compressed.to_bytes()
        if stored != record.to_bytes():
            raise AssertionError(f"corpus stored another record for {vector_id!r} than compress_batch made")
        sizes.append(len(stored))
    by_id = corpus.decompress_all()
    restored = np.stack([by_id[vector_id] for vector_id in sample.doc_ids])
    if not np.array_equal(restored, batch_restored):
        raise AssertionError("corpus decompression differs from decompress_batch")

    backend = BruteForceBackend()
    backend.ingest(by_id)
    row_of = {vector_id: row for row, vector_id in enumerate(sample.doc_ids)}
    found = []
    start = time.perf_counter()
    for q in progress(sample.queries, desc="search", leave=False):
        found.append([row_of[r.vector_id] for r in backend.search(q, K)])
    search = len(sample.queries) / (time.perf_counter() - start)

    return Result(setting_name(bits, residual), float(np.mean(sizes)), mean_cosine(docs, restored),
                  recall_at_k(found, truth), encode, decode, search, d)


@dataclass
class Quality:
    """One quantiser's reconstruction quality; `mse_ratio` is None where it does not apply."""

    name: str
    bits: int
    code_bytes: int  # bytes of codes per vector, without any header
    cosine: float
    recall: float  # exact cosine search over the reconstructions against the truth
    search_recall: float  # the quantiser's own search (ours: exact search over the reconstructions)
    mse_ratio: float | None = None


def reconstruction_quality(name, bits, code_bytes, sample, truth, restored, search_recall=None, mse_ratio=None):
    recall = recall_at_k(exact_top_k(restored, sample.queries), truth)
    return Quality(name, bits, code_bytes, mean_cosine(sample.docs, restored), recall,
                   recall if search_recall is None else search_recall, mse_ratio)


def rotated_documents(sample):
    """Every document rotated exactly as the codec rotates it (the matrix depends only on seed and dimension)."""
    rotation = RotationMatrix.from_seed_and_dim(SEED, sample.docs.shape[1])
    return np.stack([rotation.apply(row) for row in sample.docs])


def mse_ratio(rotated, entries):
    """Mean squared error of nearest-entry quantisation per rotated coordinate, over those coordinates' variance."""
    v = rotated.ravel().astype(np.float64)
    e = entries.astype(np.float64)
    nearest = e[np.searchsorted((e[:-1] + e[1:]) / 2, v, "right")]  # a midpoint goes up, as in the codec
    return float(np.mean((v - nearest) ** 2) / v.var())


def compare_trainings(sample, truth, train, rotated=None):
    """Both codebook trainings at 2, 4 and 8 bits without residual: quality of all documents' reconstructions.

    `lloyd-max` fits the codebook to the rotated coordinates the codec quantises, minimising their squared
    error; `quantile` (Codebook.train) spreads evenly spaced quantiles of the raw values from the minimum to
    the maximum. Both are trained on `train`; the error is measured on every document's rotated coordinates.
    """
    codec, d = Codec(), sample.docs.shape[1]
    rotated = rotated_documents(sample) if rotated is None else rotated
    rows = []
    for bits in (2, 4, 8):
        config = CodecConfig(bits, SEED, d, False)
        for training in TRAININGS:
            codebook = train_codebook(train, config, method=training)
            records = codec.compress_batch(sample.docs, config, codebook)
            restored = codec.decompress_batch(records, config, codebook)
            rows.append(reconstruction_quality(f"zorvex_rs {bits}-bit, {training}", bits, records[0].size_bytes,
                                               sample, truth, restored, mse_ratio=mse_ratio(rotated, codebook.entries)))
    return rows


QUALITY_HEADER = (f"{'quantiser':<34} {'code bytes':>10} {'cosine':>8} {'recall@10':>9} {'own search':>10} "
                  f"{'MSE/var':>9} {'normal opt.':>11}")


def _mse_cells(r):
    if r.mse_ratio is None:
        return "", ""
    return f"{r.mse_ratio:.4g}", f"{NORMAL_OPTIMUM[r.bits]:.4g}"


def format_quality(rows):
    lines = [QUALITY_HEADER, "-" * len(QUALITY_HEADER)]
    for r in rows:
        mse, optimum = _mse_cells(r)
        lines.append(f"{r.name:<34} {r.code_bytes:>10} {r.cosine:>8.6f} {r.recall:>9.3f} {r.search_recall:>10.3f} "
                     f"{mse:>9} {optimum:>11}")
    return "\n".join(lines)


def markdown_quality(rows):
    lines = ["| quantiser | code bytes/vector | mean cosine | recall@10 | recall@10, own search | MSE / variance | "
             "normal optimum |", "|---|---|---|---|---|---|---|"]
    for r in rows:
        mse, optimum = _mse_cells(r)
        lines.append(f"| {r.name} | {r.code_bytes} | {r.cosine:.6f} | {r.recall:.3f} | {r.search_recall:.3f} | {mse} | "
                     f"{optimum} |")
    return "\n".join(lines)


HEADER = (f"{'setting':<28} {'bytes/vec':>9} {'ratio':>6} {'cosine':>8} {'recall@10':>9} "
          f"{'encode/s':>10} {'decode/s':>10} {'queries/s':>9}")


def format_row(r):
    return (f"{r.name:<28} {r.bytes_per_vector:>9.0f} {r.ratio:>6.2f} {r.cosine:>8.6f} {r.recall:>9.3f} "
            f"{r.encode_per_s:>10,.0f} {r.decode_per_s:>10,.0f} {r.search_per_s:>9,.0f}")


def format_table(results):
    return "\n".join([HEADER, "-" * len(HEADER), *map(format_row, results)])


def markdown_table(results):
    lines = ["| setting | bytes/vector | ratio to float32 | mean cosine | recall@10 | encode vectors/s | "
             "decode vectors/s | queries/s |", "|---|---|---|---|---|---|---|---|"]
    for r in results:
        lines.append(f"| {r.name} | {r.bytes_per_vector:.0f} | {r.ratio:.2f} | {r.cosine:.6f} | {r.recall:.3f} | "
                     f"{r.encode_per_s:,.0f} | {r.decode_per_s:,.0f} | {r.search_per_s:,.0f} |")
    return "\n".join(lines)


def machine():
    model, flags = "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as f:
            info = dict(map(str.strip, line.split(":", 1)) for line in f if ":" in line)  # all cores alike
        model, flags = info["model name"], set(info.get("flags", "").split())
    except (OSError, KeyError):
        pass
    simd = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    return (f"{model} ({simd}), {os.cpu_count()} cores, Python {platform.python_version()}, "
            f"NumPy {np.__version__}")


def plot(groups, path, title):
    """A two-panel bar chart, recall@10 and bytes per vector, one bar colour per group of results."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    names = [r.name for results in groups.values() for r in results]
    fig, (left, right) = plt.subplots(1, 2, figsize=(max(10, 0.9 * len(names) + 4), 5))
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    x = 0
    for colour, (label, results) in zip(colours, groups.items()):
        xs = np.arange(x, x + len(results))
        bars = left.bar(xs, [r.recall for r in results], color=colour, label=label)
        left.bar_label(bars, fmt="%.3f", fontsize=7)
        bars = right.bar(xs, [r.bytes_per_vector for r in results], color=colour, label=label)
        right.bar_label(bars, fmt="%.0f", fontsize=7)
        x += len(results)
    dimension = next(r.dimension for results in groups.values() for r in results)
    right.axhline(4 * dimension, color="grey", linestyle="--", linewidth=1, label="float32")
    for axis, label in ((left, f"recall@{K}"), (right, "bytes per vector")):
        axis.set_xticks(np.arange(len(names)), names, rotation=40, ha="right", fontsize=8)
        axis.set_ylabel(label)
        axis.grid(axis="y", alpha=0.3)
        # Above the panel: inside, any corner would cover a bar.
        axis.legend(fontsize=8, loc="lower left", bbox_to_anchor=(0, 1.0), ncol=3, frameon=False)
    # Recall near 1 is where settings differ: the axis starts just below the
    # lowest bar and has a grid line every 0.01, so 0.93, 0.99 and 1.00 part.
    lowest = min(r.recall for results in groups.values() for r in results)
    left.set_ylim(max(0.0, np.floor(lowest * 20 - 1) / 20), 1.0 + 0.004)
    left.yaxis.set_major_locator(matplotlib.ticker.MultipleLocator(0.05))
    left.yaxis.set_minor_locator(matplotlib.ticker.MultipleLocator(0.01))
    left.grid(axis="y", which="minor", alpha=0.15)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return Path(path).resolve()

