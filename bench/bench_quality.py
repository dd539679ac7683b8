"""Compression quality and speed on real embeddings, beside FAISS scalar quantizers on the same data.

Run with the installed package (faiss-cpu, tqdm and matplotlib installed too):
    .venv/bin/python bench/bench_quality.py [--png bench/out/quality.png] [--markdown]

Data: data/sample.npz, 10,000 sentence embeddings of dimension 384 and 500 held-out queries. The truth is
exact float64 cosine search (NumPy) over the original vectors; recall@10 is the share of each query's true
ten found by the approximate search.

zorvex_rs rows: exactly the demo's evaluation (demo/sample.py). A codebook is trained on 2,000 documents
(train_codebook, Lloyd-Max on the rotated coordinates); all documents go through compress_batch and
decompress_batch (the encode and decode rates, best of three), into a COMPRESS corpus and back out, and
BruteForceBackend searches the decompressed float32 vectors. Bytes per vector is the length of to_bytes(),
which carries a 71-byte header (64 of them the configuration hash).

FAISS rows: IndexScalarQuantizer with QT_4bit, QT_8bit and QT_fp16 and the inner-product metric over
vectors normalised to unit length (so the score is the cosine), each alone and behind a seeded
RandomRotationMatrix in an IndexPreTransform. Trained on the same 2,000 documents. The encode and decode
rates are the best of three sa_encode and sa_decode calls over all documents; the search runs on the codes
(the index never stores floats); bytes per vector is sa_code_size(), the bare code with no header.

Codebook table: both codebook trainings (lloyd-max, quantile) at 2, 4 and 8 bits without residual, beside
FAISS quantizers with the same bytes of codes per vector: IndexScalarQuantizer QT_2bit_tq and QT_2bit_tqmse
(2 bits a coordinate), QT_4bit, QT_4bit_tqmse and IndexRaBitQFastScan with 4-bit codes, QT_8bit and
QT_8bit_tqmse, all on the unit vectors with the inner-product metric and trained on the same 2,000
documents. Every row is measured the same way: all documents are encoded and decoded (sa_encode and
sa_decode for FAISS), and exact float64 cosine search over the reconstructions is scored against the truth.
"Own search" is each FAISS index's search over its codes (all queries in one call); for zorvex_rs it is the
same exact search over the decompressed vectors, which is what BruteForceBackend does. Code bytes are the
codes alone (FAISS sa_code_size, which for QT_2bit_tq and RaBitQ includes per-vector factors; zorvex_rs
CompressedVector.size_bytes). MSE/var is the squared error per rotated coordinate over those coordinates'
variance, measured on all documents, beside the optimum for a normal variable.

Every side runs on one thread, one query per search call.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from demo.sample import (K, SAMPLE, SEED, SETTINGS, Result, best_rate, compare_trainings, evaluate,  # noqa: E402
                         exact_top_k, format_quality, format_table, load_sample, machine, markdown_quality,
                         markdown_table, mean_cosine, plot, recall_at_k, reconstruction_quality, training_set)

FAISS_TYPES = ("QT_4bit", "QT_8bit", "QT_fp16")
# Per bit width, the FAISS quantizers of the same code size set beside our codebooks.
FAISS_AT_BITS = {2: ("QT_2bit_tq", "QT_2bit_tqmse"), 4: ("QT_4bit", "QT_4bit_tqmse", "RaBitQFastScan"),
                 8: ("QT_8bit", "QT_8bit_tqmse")}


def unit(x):
    return np.ascontiguousarray(x / np.linalg.norm(x, axis=1, keepdims=True), dtype=np.float32)


def faiss_quality(faiss, sample, truth, train, bits, qtype):
    """Reconstruction quality of one FAISS quantizer, measured as compare_trainings measures ours."""
    d = sample.docs.shape[1]
    if qtype == "RaBitQFastScan":
        index = faiss.IndexRaBitQFastScan(d, faiss.METRIC_INNER_PRODUCT, 32, bits)
    else:
        index = faiss.IndexScalarQuantizer(d, getattr(faiss.ScalarQuantizer, qtype), faiss.METRIC_INNER_PRODUCT)
    index.train(unit(train))
    docs = unit(sample.docs)
    codes = index.sa_encode(docs)
    index.add(docs)
    found = index.search(unit(sample.queries), K)[1]
    return reconstruction_quality(f"faiss {qtype}", bits, codes.shape[1], sample, truth, index.sa_decode(codes),
                                  recall_at_k(found, truth))


def faiss_result(faiss, docs, queries, truth, train, qtype, rotate):
    d = docs.shape[1]
    quantizer = faiss.IndexScalarQuantizer(d, getattr(faiss.ScalarQuantizer, qtype), faiss.METRIC_INNER_PRODUCT)
    index, keep = quantizer, [quantizer]
    if rotate:
        rotation = faiss.RandomRotationMatrix(d, d)
        rotation.init(SEED)
        index = faiss.IndexPreTransform(rotation, quantizer)
        keep.append(rotation)  # the wrapper does not own what it was given
    index.train(unit(train))

    unit_docs = unit(docs)
    codes, encode = best_rate(lambda: index.sa_encode(unit_docs), len(docs))
    restored, decode = best_rate(lambda: index.sa_decode(codes), len(docs))
    assert codes.shape == (len(docs), index.sa_code_size())

    index.add(unit_docs)
    found = []
    start = time.perf_counter()
    for q in unit(queries):
        found.append(index.search(q[None, :], K)[1][0])
    search = len(queries) / (time.perf_counter() - start)
    name = f"faiss SQ {qtype[3:]}" + (" + rotation" if rotate else "")
    return Result(name, float(index.sa_code_size()), mean_cosine(docs, restored), recall_at_k(found, truth),
                  encode, decode, search, d)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", default=str(SAMPLE))
    parser.add_argument("--png", default=str(ROOT / "bench" / "out" / "quality.png"))
    parser.add_argument("--markdown", action="store_true", help="also print the tables as markdown")
    args = parser.parse_args()

    import faiss
    from tqdm import tqdm

    faiss.omp_set_num_threads(1)
    sample = load_sample(args.sample)
    train = training_set(sample)
    n, d = sample.docs.shape
    truth = exact_top_k(sample.docs, sample.queries)
    ours, theirs = [], []
    quality = compare_trainings(sample, truth, train)
    for bits, qtypes in FAISS_AT_BITS.items():
        at = max(i for i, r in enumerate(quality) if r.bits == bits) + 1
        quality[at:at] = [faiss_quality(faiss, sample, truth, train, bits, qtype) for qtype in qtypes]
    with tqdm(total=len(SETTINGS) + 2 * len(FAISS_TYPES), desc="settings", unit="setting") as bar:
        for bits, residual in SETTINGS:
            ours.append(evaluate(sample, truth, bits, residual, train, progress=tqdm))
            bar.update()
        for qtype in FAISS_TYPES:
            for rotate in (False, True):
                theirs.append(faiss_result(faiss, sample.docs, sample.queries, truth, train, qtype, rotate))
                bar.update()

    print(f"machine: {machine()}, faiss-cpu {faiss.__version__}, one thread each")
    print(f"data: {n} documents, {len(sample.queries)} held-out queries, d={d} ({sample.meta['text']}, "
          f"{sample.meta['model']}); recall@{K} against exact float64 cosine search over the originals")
    print(format_table(ours + theirs))
    print(f"(ratio: float32 bytes {4 * d} / bytes per vector; zorvex_rs bytes include the 71-byte header, "
          f"FAISS bytes are bare codes; zorvex_rs searches decompressed float32 vectors, FAISS its codes)")
    print("\ncodebooks (no residual) beside FAISS quantizers with the same code bytes; every row: exact cosine "
          "search over all documents' reconstructions")
    print(format_quality(quality))
    if args.markdown:
        print()
        print(markdown_table(ours + theirs))
        print()
        print(markdown_quality(quality))
    title = f"zorvex_rs and FAISS scalar quantizers, {n} sentence embeddings (d={d}), {len(sample.queries)} queries"
    path = plot({"zorvex_rs": ours, f"faiss-cpu {faiss.__version__}": theirs}, args.png, title)
    print(f"chart: {path}")


if __name__ == "__main__":
    main()
