"""Classes and functions added beside the extension's first-release surface."""

from typing import Any, Literal, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

from zorvex_rs._core import Codebook, CodecConfig

def train_codebook(
    vectors: npt.NDArray[np.floating[Any]],
    config: CodecConfig,
    *,
    method: Literal["lloyd-max", "quantile"] = "lloyd-max",
    max_iterations: SupportsIndex = 100000,
    tolerance: SupportsFloat | SupportsIndex = 0.0,
) -> Codebook: ...
