import importlib
import sys

import pytest

import zorvex_rs
import zorvex_rs._core as core
from zorvex_rs._internal import PanicException
import zorvex_rs._internal as internal

EXCEPTIONS = ["DimensionMismatchError", "ConfigMismatchError", "CodebookIncompatibleError", "DuplicateVectorError"]
CODEC = ["CodecConfig", "Codebook", "RotationMatrix", "CompressedVector", "Codec", "compress", "decompress"]
CORPUS = ["CompressionPolicy", "VectorEntry", "Corpus", "CorpusCreated", "VectorsInserted", "CorpusDecompressed",
          "CompressionPolicyViolationDetected"]
BACKEND = ["SearchBackend", "SearchResult", "BruteForceBackend"]
# Names that exist in this build; the full lists above fix their order.
BUILT = {"CodecConfig", "Codebook", "RotationMatrix", "CompressedVector", "Codec", "compress", "decompress",
         "CompressionPolicy", "VectorEntry", "Corpus", "CorpusCreated", "VectorsInserted", "CorpusDecompressed",
         "CompressionPolicyViolationDetected", "SearchBackend", "SearchResult", "BruteForceBackend"}


def built(names):
    return [n for n in names if n in BUILT]


def test_version_and_top_level_order():
    assert core.__version__ == "1.1.0"
    assert core.__all__ == ["__version__", *EXCEPTIONS, "codec", "corpus", "backend",
                            *built(CODEC + CORPUS + BACKEND)]
    for name in core.__all__:
        assert hasattr(core, name)


def test_submodule_orders():
    assert core.codec.__all__ == built(CODEC) + EXCEPTIONS
    assert core.corpus.__all__ == built(CORPUS) + ["DimensionMismatchError", "DuplicateVectorError"]
    assert getattr(core.backend, "__all__", []) == built(BACKEND)
    assert not any(hasattr(core.backend, e) for e in EXCEPTIONS)
    assert not hasattr(core.corpus, "ConfigMismatchError")


def test_submodules_are_plain_attributes():
    for name in ("codec", "corpus", "backend"):
        sub = getattr(core, name)
        assert sub.__name__ == name
        assert f"zorvex_rs._core.{name}" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("zorvex_rs._core.codec")


def test_classes_are_shared_type_objects():
    assert core.codec.CodecConfig is core.CodecConfig
    assert repr(core.CodecConfig) == "<class 'zorvex_rs.CodecConfig'>"
    assert core.CodecConfig.__module__ == "zorvex_rs"
    assert core.CodecConfig.__qualname__ == "CodecConfig"
    with pytest.raises(TypeError):
        core.CodecConfig.extra = 1


DOCS = {
    "DimensionMismatchError": "Raised when a vector's length does not match the expected dimension.",
    "ConfigMismatchError": "Raised when a compressed vector's config hash does not match the config.",
    "CodebookIncompatibleError": "Raised when a codebook's bit width does not match the codec config.",
    "DuplicateVectorError": "Raised when a vector ID already exists in the corpus.",
}


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_types(name):
    exc = getattr(core, name)
    assert issubclass(exc, ValueError)
    assert exc.__bases__ == (ValueError,)
    assert exc.__module__ == "zorvex_rs" and exc.__name__ == name
    assert exc.__doc__ == DOCS[name]
    assert getattr(core.codec, name) is exc
    assert not hasattr(exc, "__dict__") or "__dict__" not in exc.__dict__


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("zorvex_rs._core")
    try:
        again = importlib.import_module("zorvex_rs._core")
        assert again is saved
        assert again.CodecConfig is saved.CodecConfig
    finally:
        sys.modules["zorvex_rs._core"] = saved


def test_module_docstring():
    assert core.__doc__.splitlines()[0] == "Initialise the `zorvex_rs._core` Python extension module."
    assert core.__doc__.splitlines()[1] == ""


def test_package_reexports():
    assert zorvex_rs.CodecConfig is core.CodecConfig
    assert zorvex_rs.codec.CodecConfig is core.CodecConfig
    assert zorvex_rs.codec.__name__ == "zorvex_rs.codec"
    assert zorvex_rs.corpus.DuplicateVectorError is core.DuplicateVectorError


def test_panic_is_a_base_exception_outside_the_module():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert not any(v is PanicException for v in vars(core).values())
    with pytest.raises(PanicException) as info:
        internal.provoke_panic("broken invariant: é")
    assert info.value.args == ("broken invariant: é",)
    # The interpreter and the module carry on.
    assert core.CodecConfig(2, 0, 8).dimension == 8


def test_memory_exhaustion_is_memory_error_not_panic():
    with pytest.raises(MemoryError):
        internal.provoke_memory_error()


def test_internal_hook_arguments_are_converted():
    with pytest.raises(TypeError, match=r"^argument 'message': 'int' object cannot be converted to 'str'$"):
        internal.provoke_panic(5)
    with pytest.raises(UnicodeEncodeError):
        internal.provoke_panic("\ud800")


def test_second_interpreter_is_refused(run_python):
    out = run_python(
        "import zorvex_rs._core\n"
        "try:\n"
        "    import _interpreters as I\n"  # 3.13
        "    result = I.exec(I.create('legacy'), 'import zorvex_rs._core')\n"
        "    print('refused', result.msg if result else 'imported')\n"
        "except ImportError:\n"
        "    import _xxsubinterpreters as I\n"  # 3.12
        "    try:\n"
        "        I.run_string(I.create(isolated=False), 'import zorvex_rs._core')\n"
        "        print('imported')\n"
        "    except Exception as e:\n"
        "        print('refused', e)\n"
    )
    assert out.startswith("refused") and "does not support sub-interpreters" in out
