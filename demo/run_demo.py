"""The main job on real embeddings: compress at every setting, store in a corpus, search what comes back.

The vectors are data/sample.npz: sentence embeddings (384 dimensions) of standard-library docstring
paragraphs, 10,000 documents and 500 held-out queries (data/make_sample.py made them). For each of the six
settings (2, 4 or 8 bits, with or without the fp16 residual) the demo trains a codebook on 2,000 documents
(train_codebook's Lloyd-Max fit to the rotated coordinates), compresses all of them, stores them in a COMPRESS corpus, decompresses the corpus and searches the result
with BruteForceBackend. Recall@10 is measured against exact float64 cosine search (NumPy) over the original
vectors. Bytes per vector is the length of each stored record's to_bytes(), the 71-byte header included.
A second table sets the two codebook trainings side by side at every bit width.
"""

import argparse
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

import zorvex_rs  # noqa: E402
from demo.code_search import RERANK, evaluate_codes, exact_backend, format_code_table  # noqa: E402
from demo.sample import (K, SAMPLE, SETTINGS, compare_trainings, evaluate, exact_top_k,  # noqa: E402
                         format_quality, format_table, load_sample, machine, plot, training_set)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", default=str(SAMPLE), help="npz made by data/make_sample.py")
    parser.add_argument("--png", default=str(ROOT / "demo" / "out" / "demo.png"), help="where the chart goes")
    parser.add_argument("--docs", type=int, help="use only the first DOCS documents")
    parser.add_argument("--queries", type=int, help="use only the first QUERIES queries")
    args = parser.parse_args()

    from tqdm import tqdm

    began = time.perf_counter()
    sample = load_sample(args.sample)
    train = training_set(sample)
    sample = sample.subset(args.docs or len(sample.docs), args.queries or len(sample.queries))
    n, d = sample.docs.shape
    print(f"zorvex_rs {zorvex_rs.__version__} on {machine()}")
    print(f"{n} documents and {len(sample.queries)} held-out queries, dimension {d}: {sample.meta['text']}, "
          f"embedded by {sample.meta['model']}")
    print(f"recall@{K}: BruteForceBackend over the decompressed vectors against exact float64 cosine search "
          f"(NumPy) over the originals")

    truth = exact_top_k(sample.docs, sample.queries)
    results = []
    with tqdm(SETTINGS, desc="settings", unit="setting") as bar:
        for bits, residual in bar:
            bar.set_postfix_str(f"{bits}-bit{' + residual' if residual else ''}")
            results.append(evaluate(sample, truth, bits, residual, train, progress=tqdm))

    print()
    print(format_table(results))
    print(f"(ratio: float32 bytes {4 * d} / bytes per vector; encode/decode: compress_batch/decompress_batch of "
          f"all {n} documents, one thread; queries/s: one BruteForceBackend.search(q, {K}) per query)")

    exact = exact_backend(sample)
    code_results = [evaluate_codes(sample, truth, bits, residual, train, exact)
                    for bits, residual in tqdm(SETTINGS, desc="search over codes", unit="setting", leave=False)]
    print(f"\nsearch over the codes themselves (CompressedBackend, {len(sample.queries)} queries in one "
          f"search_batch call):")
    print(format_code_table(code_results))
    print(f"(bytes held: memory_bytes / count, ids included; rerank: the best {RERANK} candidates of the scan "
          f"re-scored against their fp16 residuals, or against a BruteForceBackend of the originals)")

    print(f"\ncodebook trainings side by side (no residual; MSE/var: squared error per rotated coordinate over "
          f"its variance, beside the optimum for a normal variable):")
    print(format_quality(compare_trainings(sample, truth, train)))
    print("lloyd-max (the default above) minimises the squared error of the rotated coordinates the codec "
          "quantises: use it. quantile spreads the entries over the raw values from minimum to maximum and "
          "optimises nothing; use it only where a codebook must equal Codebook.train's.")
    query, text = 0, sample.query_texts[0]
    print(f"\nquery {sample.query_ids[query]}: {text[:100]}")
    for row in truth[query][:3]:
        print(f"  {sample.doc_ids[row]}: {sample.doc_texts[row][:100]}")
    path = plot({"zorvex_rs": results}, args.png,
                f"zorvex_rs on {n} sentence embeddings (d={d}), {len(sample.queries)} queries")
    print(f"\nchart: {path}")
    print(f"done in {time.perf_counter() - began:.1f} s")


if __name__ == "__main__":
    main()
