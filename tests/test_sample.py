"""The bundled embeddings and the demo's evaluation on a slice of them."""

import importlib.util
import math
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from demo.sample import SETTINGS, evaluate, exact_top_k, load_sample, training_set  # noqa: E402

D = 384


@pytest.fixture(scope="module")
def sample():
    return load_sample()


def test_sample_is_real_unit_embeddings(sample):
    n, q = len(sample.docs), len(sample.queries)
    assert sample.docs.shape == (n, D) and sample.queries.shape == (q, D) and n >= 5000 and q >= 100
    assert sample.docs.dtype == sample.queries.dtype == np.float32
    assert (sample.meta["documents"], sample.meta["queries"], sample.meta["dimension"]) == (n, q, D)
    for vectors in (sample.docs, sample.queries):
        assert np.isfinite(vectors).all()
        # The model normalises its output; the float16 storage moves norms by well under 1e-3.
        np.testing.assert_allclose(np.linalg.norm(vectors.astype(np.float64), axis=1), 1.0, atol=1e-3)
    assert len(sample.doc_ids) == len(sample.doc_texts) == n and len(sample.query_ids) == len(sample.query_texts) == q
    assert len(set(sample.doc_ids) | set(sample.query_ids)) == n + q
    # Held-out queries: none of their paragraphs is a document.
    assert not set(sample.query_texts) & set(sample.doc_texts)


def test_exact_top_k_ranks_by_cosine_not_dot_product():
    docs = np.array([[2, 2], [1, 0.1], [0.5, 0], [3, 0]], dtype=np.float32)
    # Rows 2 and 3 tie at cosine 1: the lower index comes first.
    assert exact_top_k(docs, np.array([[1, 0]], dtype=np.float32), 3).tolist() == [[2, 3, 1]]


@pytest.fixture(scope="module")
def results(sample):
    small = sample.subset(500, 20)
    truth = exact_top_k(small.docs, small.queries)
    train = training_set(sample)
    return {setting: evaluate(small, truth, *setting, train) for setting in SETTINGS}


@pytest.mark.parametrize("bits,residual", SETTINGS)
def test_bytes_per_vector_is_the_byte_form(results, bits, residual):
    # Header of 70 bytes, packed indices, residual flag, then a 4-byte length and 2 bytes per coordinate.
    expected = 71 + math.ceil(D * bits / 8) + (4 + 2 * D if residual else 0)
    r = results[bits, residual]
    assert r.bytes_per_vector == expected
    assert r.ratio == pytest.approx(4 * D / expected)
    assert min(r.encode_per_s, r.decode_per_s, r.search_per_s) > 0


def test_quality_grows_with_bits_and_residual(results):
    plain = [results[bits, False] for bits in (2, 4, 8)]
    assert plain[0].cosine < plain[1].cosine < plain[2].cosine < 1
    assert plain[0].recall <= plain[1].recall <= plain[2].recall
    assert 0.5 < plain[0].cosine and plain[2].cosine > 0.99
    for bits in (2, 4, 8):
        # The residual keeps each coordinate's rounding error in fp16, so little but fp16 rounding is lost.
        assert results[bits, True].cosine > max(0.9999, results[bits, False].cosine)
    assert results[8, True].recall >= 0.99


def test_paragraph_collection(tmp_path):
    spec = importlib.util.spec_from_file_location("make_sample", ROOT / "data" / "make_sample.py")
    make_sample = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(make_sample)

    long = "This paragraph has more than enough words to be kept."
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text(f'''"""Too short to keep.

    {long}
    """

class Thing:
    @property
    def size(self):
        """The size of the thing, in bytes, as the kernel reports it."""

    @size.setter
    def size(self, value):
        """Setting the size truncates or extends the underlying file."""

        def inner():
            """{long}

            >>> inner() returns nothing at all but this sample
            """
''')
    (tmp_path / "pkg" / "tests").mkdir()
    (tmp_path / "pkg" / "tests" / "test_x.py").write_text('"""A test module docstring with plenty of words."""')
    (tmp_path / "broken.py").write_text('"""A broken module that cannot be parsed at all."""\ndef (')
    ids, texts = make_sample.collect(tmp_path)
    assert ids == ["pkg#1", "pkg:Thing.size#0", "pkg:Thing.size#0~2"]
    assert texts == [long, "The size of the thing, in bytes, as the kernel reports it.",
                     "Setting the size truncates or extends the underlying file."]
