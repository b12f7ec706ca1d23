"""Batch scoring of a brute-force index's packed codes on a GPU (or the CPU).

``Scorer(index)`` copies what a brute-force ``Kivo`` index exports for outside
scorers (``packed_data``, ``vector_norms``, ``vector_ids``, ``centroids_4bit``,
``centroids_2bit``) once, keeps the codes packed on a device, and answers
batches of queries there: each query goes through the index's own pipeline
(``transform_query_np``), the codes are decoded block by block with the
centroid tables, scored with one matrix product per block, adjusted by the
stored norms as the index does (cosine divides by the norm, l2 subtracts half
the squared norm, dot needs nothing), and the best ``k`` are kept.

Back ends: PyTorch tensors on CUDA when ``torch.cuda.is_available()``, else on
the CPU; NumPy when PyTorch is not installed (``pip install "kivo[gpu]"``
brings PyTorch). Importing ``kivo`` never imports this module.

Scores equal the index's own up to float32 rounding: the index sums the
``padded_dim`` products in its kernels' order, a matrix product in another.
For a raw score over products ``q[j] * c[j]`` both sums lie within
``padded_dim * 2**-24 * sum(|q[j] * c[j]|)`` of the exact value (the standard
bound for any summation order), so the two differ by at most twice that,
divided by the norm for cosine. The top ``k`` therefore agree with
``Kivo.search`` except where scores lie that close together (near-ties).
"""
from __future__ import annotations

import importlib
import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from kivo import Kivo

__all__ = ["Scorer", "PAD_ID"]

#: The id of a result slot that holds no vector (score ``-inf``).
PAD_ID = np.uint64(2**64 - 1)

# Decoded floats per block: bounds the scratch memory of one search
# (a decoded block plus a [queries, block rows] score matrix).
_BLOCK_ELEMENTS = 1 << 23


def _byte_tables(c4: npt.NDArray[np.float32], c2: npt.NDArray[np.float32]) -> tuple[np.ndarray, np.ndarray]:
    """Per byte value, the centroids of its slots in coordinate order.

    4-bit: the low nibble is the earlier coordinate. 2-bit: bits 2j and 2j + 1
    hold coordinate j of the byte.
    """
    b = np.arange(256)
    table4 = np.stack([c4[b & 15], c4[b >> 4]], axis=1).astype(np.float32)
    table2 = np.stack([c2[(b >> (2 * j)) & 3] for j in range(4)], axis=1).astype(np.float32)
    return table4, table2


# Both back ends keep the k best of each row the same way (select_k): every
# score above the row's k-th largest, and of the scores equal to it the
# leftmost as many as are still needed. Columns run in storage order, so among
# equal scores the earlier stored vector wins, as in the index; the final
# order is a stable sort by score (order_by_score).


class _NumpyOps:
    """The array operations of the NumPy back end."""

    name = "numpy"

    def __init__(self) -> None:
        self.device = "cpu"

    def put(self, array: np.ndarray) -> Any:
        return np.ascontiguousarray(array)

    def decode(self, table: Any, codes: Any) -> Any:
        rows = codes.shape[0]
        return table[codes].reshape(rows, -1)

    def matmul_t(self, queries: Any, decoded: Any) -> Any:
        return queries @ decoded.T

    def concat(self, parts: list[Any], axis: int) -> Any:
        return np.concatenate(parts, axis=axis)

    def select_k(self, scores: Any, rows: Any, k: int) -> tuple[Any, Any]:
        m = scores.shape[1]
        if m <= k:
            return scores, rows
        kth = np.partition(scores, m - k, axis=1)[:, m - k:m - k + 1]
        above = scores > kth
        tied = scores == kth
        need = k - above.sum(axis=1, keepdims=True)
        take = above | (tied & (np.cumsum(tied, axis=1) <= need))
        cols = np.nonzero(take)[1].reshape(-1, k)
        return np.take_along_axis(scores, cols, axis=1), np.take_along_axis(rows, cols, axis=1)

    def order_by_score(self, scores: Any, rows: Any) -> tuple[Any, Any]:
        order = np.argsort(-scores, axis=1, kind="stable")
        return np.take_along_axis(scores, order, axis=1), np.take_along_axis(rows, order, axis=1)

    def arange_rows(self, start: int, stop: int, nq: int) -> Any:
        return np.broadcast_to(np.arange(start, stop, dtype=np.int64), (nq, stop - start))

    def to_numpy(self, array: Any) -> np.ndarray:
        return np.asarray(array)

    def nan_to_neg_inf(self, scores: Any) -> Any:
        return np.where(np.isnan(scores), np.float32(-np.inf), scores)


class _TorchOps:
    """The array operations of the PyTorch back end, on one device."""

    name = "torch"

    def __init__(self, torch: Any, device: Any) -> None:
        self.torch = torch
        self.device = torch.device(device)

    def put(self, array: np.ndarray) -> Any:
        return self.torch.from_numpy(np.ascontiguousarray(array)).to(self.device)

    def decode(self, table: Any, codes: Any) -> Any:
        rows = codes.shape[0]
        return table[codes.long()].reshape(rows, -1)

    def matmul_t(self, queries: Any, decoded: Any) -> Any:
        return queries @ decoded.T

    def concat(self, parts: list[Any], axis: int) -> Any:
        return self.torch.cat(parts, dim=axis)

    def select_k(self, scores: Any, rows: Any, k: int) -> tuple[Any, Any]:
        torch = self.torch
        if scores.shape[1] <= k:
            return scores, rows
        kth = torch.topk(scores, k, dim=1, largest=True, sorted=True).values[:, k - 1:k]
        above = scores > kth
        tied = scores == kth
        need = k - above.sum(dim=1, keepdim=True)
        take = above | (tied & (tied.cumsum(dim=1) <= need))
        cols = torch.nonzero(take)[:, 1].reshape(-1, k)
        return torch.gather(scores, 1, cols), torch.gather(rows, 1, cols)

    def order_by_score(self, scores: Any, rows: Any) -> tuple[Any, Any]:
        order = self.torch.argsort(scores, dim=1, descending=True, stable=True)
        return self.torch.gather(scores, 1, order), self.torch.gather(rows, 1, order)

    def arange_rows(self, start: int, stop: int, nq: int) -> Any:
        return self.torch.arange(start, stop, device=self.device, dtype=self.torch.int64).expand(nq, stop - start)

    def to_numpy(self, array: Any) -> np.ndarray:
        return np.asarray(array.cpu().numpy())

    def nan_to_neg_inf(self, scores: Any) -> Any:
        return self.torch.nan_to_num(scores, nan=float("-inf"), posinf=float("inf"), neginf=float("-inf"))


def _import_torch() -> Any:
    # Imported by name: PyTorch is optional, and type checkers need not
    # analyse it to check this module.
    try:
        return importlib.import_module("torch")
    except ImportError:
        return None


class Scorer:
    """Scores batches of queries against a brute-force index's packed codes on a device.

    Parameters
    ----------
    index : Kivo
        A brute-force index. Its codes, norms and ids are copied once, at
        construction: vectors added to the index later are not seen. The
        index itself is kept to transform queries.
    device : str or torch.device, optional
        Where PyTorch keeps the codes and scores ("cuda", "cuda:1", "cpu").
        None picks CUDA when available, else the CPU; without PyTorch the
        NumPy back end runs on the CPU and ``device`` must be None or "cpu".

    Raises
    ------
    TypeError
        If ``index`` is not a ``Kivo``.
    RuntimeError
        If ``index`` is not a brute-force index (from ``packed_data()``).
    ImportError
        If ``device`` names a device other than the CPU and PyTorch is absent.
    """

    def __init__(self, index: Kivo, device: Any = None) -> None:
        if not isinstance(index, Kivo):
            raise TypeError(f"Scorer() needs a Kivo index, not {type(index).__name__}")
        codes = index.packed_data()  # raises RuntimeError for IVF-Flat and HNSW
        norms = index.vector_norms()
        self._ids: npt.NDArray[np.uint64] = index.vector_ids()
        self._index = index
        self._metric = index.metric
        self._dim = index.dim
        self._padded_dim = index.padded_dim
        self._pb4 = index.pb4_per_vec
        self._n4 = index.n4_dims

        torch = _import_torch()
        if torch is None:
            if device is not None and str(device) != "cpu":
                raise ImportError(f"kivo.gpu: device {device!r} needs PyTorch (pip install \"kivo[gpu]\")")
            self._ops: Any = _NumpyOps()
        else:
            if device is None:
                device = "cuda" if torch.cuda.is_available() else "cpu"
            self._ops = _TorchOps(torch, device)

        ops = self._ops
        table4, table2 = _byte_tables(Kivo.centroids_4bit(), Kivo.centroids_2bit())
        self._table4 = ops.put(table4)
        self._table2 = ops.put(table2)
        self._codes4 = ops.put(codes[:, :self._pb4])
        self._codes2 = ops.put(codes[:, self._pb4:])
        # A file without norms (format version 1) is scored unadjusted, as
        # the index does.
        self._norms = ops.put(norms) if len(norms) else None

    @property
    def backend(self) -> str:
        """The array library that scores: "torch" or "numpy"."""
        return str(self._ops.name)

    @property
    def device(self) -> str:
        """The device that holds the codes and scores ("cuda:0", "cpu")."""
        return str(self._ops.device)

    def __len__(self) -> int:
        return len(self._ids)

    def __repr__(self) -> str:
        return f"Scorer(n={len(self)}, metric={self._metric}, backend={self.backend}, device={self.device})"

    def search(self, queries: Any, k: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The ``k`` best stored vectors for each query.

        Parameters
        ----------
        queries : array_like
            Float vectors of shape ``[nq, dim]``.
        k : int
            Results per query.

        Returns
        -------
        (ids, scores)
            ``ids`` uint64 and ``scores`` float32 NumPy arrays of shape
            ``[nq, min(k, n)]``, each row sorted by score descending (equal
            scores: the earlier stored vector first). A slot without a vector
            holds id ``2**64 - 1`` and score ``-inf``: NaN and ``-inf`` scores
            (from queries holding NaN or infinities) are not results.
        """
        q = np.asarray(queries, dtype=np.float32)
        if q.ndim != 2:
            raise ValueError(f"queries must be a 2-D array of shape [nq, {self._dim}], got {q.ndim} dimension(s)")
        if q.shape[1] != self._dim:
            raise ValueError(f"query dimension mismatch: expected {self._dim}, got {q.shape[1]}")
        k = operator.index(k)
        if k < 0:
            raise ValueError(f"k must be at least 0, got {k}")
        nq, n = q.shape[0], len(self)
        width = min(k, n)
        ids = np.full((nq, width), PAD_ID, dtype=np.uint64)
        scores = np.full((nq, width), -np.inf, dtype=np.float32)
        if nq == 0 or width == 0:
            return ids, scores

        ops = self._ops
        transformed = np.empty((nq, self._padded_dim), dtype=np.float32)
        for i in range(nq):
            transformed[i] = self._index.transform_query_np(q[i])
        tq = ops.put(transformed)
        tq4, tq2 = tq[:, :self._n4], tq[:, self._n4:]

        block = max(1, _BLOCK_ELEMENTS // max(self._padded_dim, nq))
        best_scores = best_rows = None
        for start in range(0, n, block):
            stop = min(start + block, n)
            raw = None
            if self._n4:
                decoded4 = ops.decode(self._table4, self._codes4[start:stop])[:, :self._n4]
                raw = ops.matmul_t(tq4, decoded4)
            if self._n4 < self._padded_dim:
                decoded2 = ops.decode(self._table2, self._codes2[start:stop])[:, :self._padded_dim - self._n4]
                part = ops.matmul_t(tq2, decoded2)
                raw = part if raw is None else raw + part
            block_scores = ops.nan_to_neg_inf(self._adjust(raw, start, stop))
            rows = ops.arange_rows(start, stop, nq)
            if best_scores is not None:
                block_scores = ops.concat([best_scores, block_scores], 1)
                rows = ops.concat([best_rows, rows], 1)
            best_scores, best_rows = ops.select_k(block_scores, rows, width)
        best_scores, best_rows = ops.order_by_score(best_scores, best_rows)

        top_scores = ops.to_numpy(best_scores).astype(np.float32, copy=False)
        top_rows = ops.to_numpy(best_rows)
        found = top_scores != -np.inf
        ids[found] = self._ids[top_rows[found]]
        scores[found] = top_scores[found]
        return ids, scores

    def _adjust(self, raw: Any, start: int, stop: int) -> Any:
        """The index's norm adjustment, in float32 and in its order."""
        if self._norms is None or self._metric == "dot":
            return raw
        norms = self._norms[start:stop]
        if self._metric == "cosine":
            # Norms at or below 1e-9 (an all-zero vector) leave the score as is.
            divisor = norms.clone() if self._ops.name == "torch" else norms.copy()
            divisor[~(norms > 1e-9)] = 1
            return raw / divisor
        return raw + (norms * np.float32(-0.5)) * norms
