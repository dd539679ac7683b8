"""float32 arrays whose data starts at an odd byte (NumPy allows them: views of
byte buffers, unpickled frames) are read exactly like aligned ones. Reading
them through float* is undefined behaviour, which the sanitized build aborts on."""

import numpy as np
import pytest

from zorvex_rs.backend import BruteForceBackend
from zorvex_rs.codec import Codebook, Codec, CodecConfig, RotationMatrix
from zorvex_rs.corpus import CompressionPolicy, Corpus

D = 37
CFG = CodecConfig(4, 9, D, True)
rng = np.random.default_rng(11)
VECTOR = rng.standard_normal(D).astype(np.float32)
MATRIX = rng.standard_normal((23, D)).astype(np.float32)
ENTRIES = np.linspace(-2, 2, 16, dtype=np.float32)
CB = Codebook(ENTRIES, 4)


def unaligned(a):
    u = np.frombuffer(bytearray(a.nbytes + 1), dtype=np.float32, count=a.size, offset=1).reshape(a.shape)
    u[...] = a
    assert not u.flags.aligned and u.flags.c_contiguous
    return u


def searched(x):
    backend = BruteForceBackend()
    backend.ingest({"a": x, "b": -x, "c": np.roll(x, 1)})
    return [(r.vector_id, r.score) for r in backend.search(x, 3)]


def corpus_round_trip(x):
    corpus = Corpus("c", CFG, CB, CompressionPolicy.FP16)
    corpus.insert("v", x)
    return corpus.decompress("v").tobytes()


OPERATIONS = {
    "RotationMatrix.apply": (VECTOR, lambda x: RotationMatrix.from_config(CFG).apply(x).tobytes()),
    "Codec.compress": (VECTOR, lambda x: Codec().compress(x, CFG, CB).to_bytes()),
    "Codebook()": (ENTRIES, lambda e: Codebook(e, 4).entries.tobytes()),
    "Codebook.train": (MATRIX, lambda m: Codebook.train(m, CFG).entries.tobytes()),
    "Codec.compress_batch": (MATRIX, lambda m: [r.to_bytes() for r in Codec().compress_batch(m, CFG, CB)]),
    "Corpus.insert": (VECTOR, corpus_round_trip),
    "ingest and search": (VECTOR, searched),
}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_misaligned_input_reads_like_aligned(name):
    array, op = OPERATIONS[name]
    assert op(unaligned(array)) == op(array)
