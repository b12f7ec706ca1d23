"""One shard: a Kivo index held by a Ray actor process.

The driver (ShardedKivo) wraps this class with ``ray.remote``. An actor starts
without an index and refuses every call with NeedsRestore until the driver
opens it (``open``): empty, or from the shard's saved file. Ray restarts a dead
actor by running ``__init__`` again, so a restarted actor is in the same state
and the driver reopens it from the shard's last save, the one save it knows
to be the latest.
"""
from __future__ import annotations

import os
from typing import Any, Optional

import numpy as np

from kivo import Kivo

from .errors import NeedsRestore
from .manifest import file_digest, fsync_path, verify_shard_file


class ShardActor:
    def __init__(self, shard: int, dim: int, kivo_params: dict[str, Any]):
        self._shard = shard
        self._dim = dim
        self._kivo_params = kivo_params
        self._index: Optional[Kivo] = None

    # -- state -------------------------------------------------------------
    def open(self, source: Optional[dict[str, Any]], tunables: dict[str, int],
             fit_sample: Optional[np.ndarray]) -> int:
        """Open the shard from its saved file, or empty when `source` is None; return len.

        `fit_sample` re-applies the standardization of an index that was fitted
        but never saved (a saved file holds its own parameters).
        """
        self._index = None
        if source is None:
            index = Kivo(self._dim, **self._kivo_params)
            if fit_sample is not None:
                index.fit(fit_sample)
        else:
            index = self._load(source)
        _apply_tunables(index, tunables)
        self._index = index
        return len(index)

    def _load(self, source: dict[str, Any]) -> Kivo:
        path = source["path"]
        verify_shard_file(path, source, self._shard)
        try:
            index = Kivo.load(path)
        except (OSError, ValueError) as e:
            raise OSError(f"shard {self._shard}: file '{os.path.basename(path)}': {e}") from None
        for name, value in source.get("expect", {}).items():
            actual = len(index) if name == "vectors" else getattr(index, name)
            if actual != value:
                raise OSError(f"shard {self._shard}: file '{os.path.basename(path)}' holds "
                              f"{name} {actual!r}, the manifest records {value!r}")
        return index

    def _live(self) -> Kivo:
        if self._index is None:
            raise NeedsRestore(f"shard {self._shard} waits to be opened")
        return self._index

    def ready(self) -> int:
        return len(self._live())

    def where(self) -> dict[str, Any]:
        import ray

        return {"node_id": ray.get_runtime_context().get_node_id(), "pid": os.getpid()}

    # -- operations --------------------------------------------------------
    def add(self, ids: np.ndarray, vectors: np.ndarray) -> int:
        index = self._live()
        if len(ids):
            index.add(ids, vectors)
        return len(index)

    def fit(self, sample: np.ndarray) -> None:
        self._live().fit(sample)

    def build(self) -> int:
        index = self._live()
        # An IVF-Flat shard that received no vectors has nothing to train on;
        # it stays empty and answers searches with no hits.
        if len(index):
            index.build()
        return len(index)

    def tune(self, tunables: dict[str, int]) -> None:
        _apply_tunables(self._live(), tunables)

    # search and search_batch answer None for a shard without vectors, so that
    # the driver can tell an empty index from one without hits.
    def search(self, query: np.ndarray, k: int,
               allowlist: Optional[np.ndarray]) -> Optional[list[Any]]:
        index = self._live()
        if len(index) == 0:
            return None
        return index.search(query, k, allowlist)

    def search_batch(self, queries: np.ndarray, k: int, allowlist: Optional[np.ndarray],
                     threads: int) -> Optional[tuple[np.ndarray, np.ndarray]]:
        index = self._live()
        if len(index) == 0:
            return None
        return index.search_batch(queries, k, allowlist, threads=threads)

    def save(self, path: str) -> dict[str, Any]:
        """Write the shard to `path`, flush it to disk, and return its file record.

        An IVF-Flat shard that never received a vector cannot be built and so
        has no file; its record says so (no file) and loading recreates it empty.
        """
        index = self._live()
        if index.index_type == "IvfFlat" and len(index) == 0:
            return {"file": None, "bytes": 0, "sha256": None, "vectors": 0}
        index.save(path)
        fsync_path(path)
        size, sha256 = file_digest(path)
        return {"file": os.path.basename(path), "bytes": size, "sha256": sha256,
                "vectors": len(index)}


def _apply_tunables(index: Kivo, tunables: dict[str, int]) -> None:
    if "ef_search" in tunables:
        index.set_ef_search(tunables["ef_search"])
    if "nprobe" in tunables:
        index.set_nprobe(tunables["nprobe"])
