"""Search over the compressed codes themselves, for the demo: one row per setting, scan alone and re-ranked."""

import time
from dataclasses import dataclass

from demo.sample import K, SEED, recall_at_k
from zorvex_rs.backend import BruteForceBackend, CompressedBackend
from zorvex_rs.codec import CodecConfig, train_codebook

RERANK = 10 * K


@dataclass
class CodeSearchResult:
    name: str
    bytes_held: float  # per vector, ids included
    scan_recall: float
    scan_per_s: float
    rerank_recall: float
    rerank_per_s: float
    rerank_source: str


def evaluate_codes(sample, truth, bits, residual, train, exact, progress=None):
    """CompressedBackend over the documents at one setting: recall@K and queries/s of the scan alone, then with
    the best RERANK candidates re-scored (against their residuals when kept, else against `exact`, a
    BruteForceBackend of the originals). Queries are sent in one search_batch call each way."""
    config = CodecConfig(bits, SEED, sample.docs.shape[1], residual)
    codebook = train_codebook(train, config)
    backend = CompressedBackend(config, codebook)
    backend.ingest(dict(zip(sample.doc_ids, sample.docs)))
    row_of = {vector_id: row for row, vector_id in enumerate(sample.doc_ids)}

    def run(**kwargs):
        start = time.perf_counter()
        lists = backend.search_batch(sample.queries, K, **kwargs)
        rate = len(sample.queries) / (time.perf_counter() - start)
        return recall_at_k([[row_of[r.vector_id] for r in rs] for rs in lists], truth), rate

    scan_recall, scan_rate = run()
    source = {} if residual else {"exact": exact}
    rerank_recall, rerank_rate = run(rerank=RERANK, **source)
    name = f"{bits}-bit" + (" + fp16 residual" if residual else "")
    return CodeSearchResult(name, backend.memory_bytes / backend.count, scan_recall, scan_rate, rerank_recall,
                            rerank_rate, "residual" if residual else "exact")


def exact_backend(sample):
    backend = BruteForceBackend()
    backend.ingest(dict(zip(sample.doc_ids, sample.docs)))
    return backend


HEADER = (f"{'setting':<28} {'bytes held':>10} {'scan recall':>11} {'scan q/s':>9} "
          f"{'rerank recall':>13} {'rerank q/s':>10} {'rerank by':>9}")


def format_code_table(results):
    rows = [f"{r.name:<28} {r.bytes_held:>10.0f} {r.scan_recall:>11.3f} {r.scan_per_s:>9,.0f} "
            f"{r.rerank_recall:>13.3f} {r.rerank_per_s:>10,.0f} {r.rerank_source:>9}" for r in results]
    return "\n".join([HEADER, "-" * len(HEADER), *rows])


def markdown_code_table(results):
    lines = ["| setting | bytes held/vector | scan recall@10 | scan queries/s | re-ranked recall@10 | "
             "re-ranked queries/s | re-ranked by |", "|---|---|---|---|---|---|---|"]
    for r in results:
        lines.append(f"| {r.name} | {r.bytes_held:.0f} | {r.scan_recall:.3f} | {r.scan_per_s:,.0f} | "
                     f"{r.rerank_recall:.3f} | {r.rerank_per_s:,.0f} | {r.rerank_source} |")
    return "\n".join(lines)

