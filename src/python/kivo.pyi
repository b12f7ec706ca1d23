# Type stub of the kivo package (the surface its extension kivo._kivo
# exports): the class Kivo, its constructor, properties, methods and NumPy
# accessors.
from collections.abc import Sequence
from os import PathLike
from typing import Any, SupportsFloat, SupportsIndex, TypedDict, Union, final

import numpy as np
import numpy.typing as npt

__version__: str

class _SearchResult(TypedDict):
    id: int
    score: float

_Vector = Union[Sequence[SupportsFloat], npt.NDArray[Any]]
_Batch = Union[Sequence[Sequence[SupportsFloat]], Sequence[npt.NDArray[Any]], npt.NDArray[Any]]
_Ids = Union[Sequence[SupportsIndex], npt.NDArray[Any]]

@final
class Kivo:
    """Kivo — ultra-low resource embedded vector search engine."""


    def __new__(
        cls,
        dim: SupportsIndex,
        metric: str = "cosine",
        bit_width: SupportsIndex = 4,
        index_type: str = "brute_force",
        mixed_ratio: SupportsFloat | SupportsIndex | None = None,
        n4_dims: SupportsIndex | None = None,
        ivf_nlist: SupportsIndex = 256,
        ivf_nprobe: SupportsIndex = 8,
        hnsw_m: SupportsIndex = 32,
        hnsw_ef_construction: SupportsIndex = 200,
        hnsw_ef_search: SupportsIndex = 0,
        *,
        hnsw_selection: str = "diverse",
    ) -> Kivo: ...
    @property
    def n_vectors(self) -> int:
        """Number of indexed vectors."""
    @property
    def dim(self) -> int:
        """Vector dimension."""
    @property
    def bit_width(self) -> int:
        """Quantization bit width (2 or 4)."""
    @property
    def index_type(self) -> str:
        """Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'."""
    @property
    def n4_dims(self) -> int:
        """Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit)."""
    @property
    def metric(self) -> str:
        """Distance metric: 'cosine', 'dot', or 'l2'."""
    @property
    def padded_dim(self) -> int:
        """RHDH output dimension (`dim.next_power_of_two()`)."""
    @property
    def packed_bytes_per_vec(self) -> int:
        """Bytes per packed vector."""
    @property
    def pb4_per_vec(self) -> int:
        """Bytes in the 4-bit block per packed vector (0 for pure 2-bit)."""
    def __len__(self) -> int: ...
    def add(self, ids: _Ids, vectors: _Batch) -> None:
        """Add vectors to the index."""
    def search(self, query: _Vector, k: SupportsIndex, allowlist: _Ids | None = None) -> list[_SearchResult]:
        """Search for the K nearest neighbors."""
    def search_batch(
        self, queries: _Batch, k: SupportsIndex, allowlist: _Ids | None = None, *, threads: SupportsIndex = 0
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search for the K nearest neighbors of many queries at once."""
    def remove(self, ids: _Ids) -> int:
        """Remove vectors from the index."""
    def upsert(self, ids: _Ids, vectors: _Batch) -> None:
        """Replace vectors: the vectors stored under each ID give way to the new one."""
    def fit(self, vectors: _Batch) -> None:
        """Compute per-dimension standardization parameters for L2 metric."""
    def build(self) -> None:
        """Build the search index."""
    def set_ef_search(self, ef: SupportsIndex) -> None:
        """Update HNSW ef_search at runtime without rebuilding the index."""
    def set_nprobe(self, nprobe: SupportsIndex) -> None:
        """Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS."""
    def save(self, path: str | PathLike[str]) -> None:
        """Save the index to a .kivo file."""
    @staticmethod
    def recommended_m(n: SupportsIndex) -> int:
        """Recommended HNSW M value for a given corpus size."""
    @classmethod
    def load(cls, path: str | PathLike[str], *, hnsw_selection: str = "diverse") -> Kivo:
        """Load an index from a .kivo file."""
    def is_empty(self) -> bool:
        """True if the index contains no vectors."""
    def is_mixed(self) -> bool:
        """True when index uses mixed 4-bit/2-bit quantization."""
    def profile_variance(self, sample_vecs: _Batch) -> list[float]:
        """Profile per-dimension variance of RHDH-rotated embeddings."""
    def optimal_n4_dims(self, sample_vecs: _Batch, avg_bits: SupportsFloat | SupportsIndex) -> int:
        """Compute the optimal n4_dims for a given average bit budget."""
    def transform_query_np(self, query: _Vector) -> npt.NDArray[np.float32]:
        """Apply the full query pipeline (standardization → RHDH → scale)."""
    def packed_data(self) -> npt.NDArray[np.uint8]:
        """Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``."""
    def vector_norms(self) -> npt.NDArray[np.float32]:
        """Per-vector quantized norms as a float32 numpy array of shape ``[n]``."""
    def vector_ids(self) -> npt.NDArray[np.uint64]:
        """Vector IDs as a uint64 numpy array of shape ``[n]``."""
    @staticmethod
    def centroids_4bit() -> npt.NDArray[np.float32]:
        """4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``."""
    @staticmethod
    def centroids_2bit() -> npt.NDArray[np.float32]:
        """2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``."""
