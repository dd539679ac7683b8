"""Classes and functions added beside the extension's first-release surface."""

import os
from collections.abc import Iterable, Mapping
from typing import Any, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

from zorvex_rs._core import BruteForceBackend, Codebook, CodecConfig, CompressedVector, Corpus, SearchResult

# ---- codebook training --------------------------------------------------------

def train_codebook(
    vectors: npt.NDArray[np.floating[Any]],
    config: CodecConfig,
    *,
    method: Literal["lloyd-max", "quantile"] = "lloyd-max",
    max_iterations: SupportsIndex = 100000,
    tolerance: SupportsFloat | SupportsIndex = 0.0,
) -> Codebook: ...

# ---- search over compressed codes -------------------------------------------

@final
class CompressedBackend:
    def __new__(cls, config: CodecConfig, codebook: Codebook) -> Self: ...
    # Any real array of the configuration's dimension; cast to float32 once.
    def ingest(self, vectors: Mapping[str, npt.ArrayLike]) -> None: ...
    def ingest_compressed(self, records: Mapping[str, CompressedVector]) -> None: ...
    @classmethod
    def from_corpus(cls, corpus: Corpus) -> Self: ...
    # A single str is refused at run time although it is an Iterable[str].
    def remove(self, ids: Iterable[str]) -> None: ...
    def clear(self) -> None: ...
    def search(
        self,
        query: npt.ArrayLike,
        top_k: SupportsIndex,
        *,
        rerank: SupportsIndex = 0,
        exact: BruteForceBackend | None = None,
    ) -> list[SearchResult]: ...
    def search_batch(
        self,
        queries: npt.ArrayLike,
        top_k: SupportsIndex,
        *,
        rerank: SupportsIndex = 0,
        exact: BruteForceBackend | None = None,
    ) -> list[list[SearchResult]]: ...
    @property
    def count(self) -> int: ...
    @property
    def memory_bytes(self) -> int: ...
    @property
    def dimension(self) -> int: ...
    @property
    def bit_width(self) -> int: ...
    @property
    def has_residuals(self) -> bool: ...
    @property
    def config(self) -> CodecConfig: ...
    @property
    def codebook(self) -> Codebook: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...

def search_batch(backend: BruteForceBackend, queries: npt.ArrayLike, top_k: SupportsIndex) -> list[list[SearchResult]]: ...

# ---- collections kept in files ------------------------------------------------

_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class CollectionFileError(ValueError): ...

def save(obj: Corpus | BruteForceBackend | CompressedBackend, path: _Path) -> None: ...
def load(
    path: _Path,
    *,
    mmap: bool = False,
    verify: bool = False,
    kind: type[Corpus] | type[BruteForceBackend] | type[CompressedBackend] | None = None,
) -> Corpus | BruteForceBackend | CompressedBackend: ...
