"""ZORVEX_KERNEL_FORM pins the instruction-set form of every kernel for a
process; every form this processor has gives the same bits end to end."""

import os
import subprocess
import sys

import pytest

FORMS = ("portable", "avx2", "avx512")

# Rotation, training, single and batch compression, byte forms, decompression
# and search on inputs that exercise every kernel's main loop and its tail
# (d = 77 is no multiple of any vector width), plus special values.
PIPELINE = r"""
import hashlib, json
import numpy as np
from zorvex_rs._internal import kernel_forms
from zorvex_rs.backend import BruteForceBackend
from zorvex_rs.codec import Codec, CodecConfig, RotationMatrix

rng = np.random.default_rng(20261208)
x = rng.standard_normal((300, 77)).astype(np.float32)
x[5, :4] = [np.inf, -np.inf, 0.0, -0.0]
x[6, 3] = 1e-42
digest = hashlib.sha256()
r = RotationMatrix.from_seed_and_dim(9, 77)
for row in x[:20]:
    digest.update(r.apply(row).tobytes())
    digest.update(r.apply_inverse(row).tobytes())
codec = Codec()
for bits in (2, 4, 8):
    for residual in (False, True):
        config = CodecConfig(bits, seed=bits, dimension=77, residual_enabled=residual)
        codebook = codec.build_codebook(x[10:], config)
        digest.update(codebook.entries.tobytes())
        records = codec.compress_batch(x, config, codebook)
        digest.update(b"".join(r.to_bytes() for r in records))
        digest.update(codec.compress(x[7], config, codebook).to_bytes())
        digest.update(codec.decompress_batch(records, config, codebook).tobytes())
backend = BruteForceBackend()
backend.ingest({f"v{i}": v for i, v in enumerate(x[7:])})
for q in x[:7]:
    digest.update(repr(backend.search(q, 10)).encode())
print(json.dumps({"forms": kernel_forms(), "digest": digest.hexdigest()}))
"""


def run_with_form(form, code="import zorvex_rs"):
    env = dict(os.environ, ZORVEX_KERNEL_FORM=form)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=600)


def supported_forms():
    return [form for form in FORMS if run_with_form(form).returncode == 0]


def test_every_supported_form_gives_the_same_bits():
    import json

    forms = supported_forms()
    assert "portable" in forms
    results = {}
    for form in forms:
        done = run_with_form(form, PIPELINE)
        assert done.returncode == 0, done.stderr
        results[form] = json.loads(done.stdout)
        assert set(results[form]["forms"].values()) == {form}
    assert len({r["digest"] for r in results.values()}) == 1, results


@pytest.mark.parametrize("value, wanted", [
    ("sse9", "is not a kernel form; expected one of portable, avx2, avx512"),
    ("AVX2", "is not a kernel form"),  # names are exact
    ("avx2 ", "is not a kernel form"),
])
def test_unknown_forms_are_refused_at_import(value, wanted):
    done = run_with_form(value)
    assert done.returncode != 0
    assert f"ImportError: ZORVEX_KERNEL_FORM='{value}' {wanted}" in done.stderr


def test_forms_this_processor_lacks_are_refused_at_import():
    lacking = [form for form in FORMS if form not in supported_forms()]
    if not lacking:
        pytest.skip("this processor has every form")
    done = run_with_form(lacking[0])
    assert f"ZORVEX_KERNEL_FORM='{lacking[0]}': this processor lacks that form" in done.stderr


def test_unset_or_empty_picks_the_widest():
    forms = supported_forms()
    done = run_with_form("", "from zorvex_rs._internal import kernel_forms; print(kernel_forms())")
    assert done.returncode == 0 and repr(forms[-1]) in done.stdout
