"""Argument checks done once on the driver, before any shard is called.

The messages are those of the single index for the same mistakes, so that a
caller switching from Kivo to ShardedKivo sees the same errors.
"""
from __future__ import annotations

import operator
from typing import Any, Optional

import numpy as np


def to_count(value: Any, name: str) -> int:
    """An integer 0 ... 2**64-1 (k, ef, nprobe, threads)."""
    try:
        number = operator.index(value)
    except TypeError as e:
        raise TypeError(f"argument '{name}': {e}") from None
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number > 0xFFFFFFFFFFFFFFFF:
        raise OverflowError("int too big to convert")
    return number


def to_ids(value: Any, name: str) -> np.ndarray:
    """A one-dimensional uint64 array of ids (caller's order, duplicates kept)."""
    if isinstance(value, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    array = np.asarray(value)
    if array.size == 0:
        return np.empty(0, np.uint64)
    if array.ndim != 1:
        raise ValueError(f"argument '{name}': expected a flat sequence of ids, "
                         f"got shape {array.shape}")
    kind = array.dtype.kind
    if kind == "u":
        return array.astype(np.uint64, copy=False)
    if kind == "i":
        if (array < 0).any():
            raise OverflowError("can't convert negative int to unsigned")
        return array.astype(np.uint64)
    if kind == "O":
        # Python ints beyond the int64 range: let NumPy convert each one exactly.
        if not all(isinstance(item, int) and not isinstance(item, bool) for item in array):
            bad = next(item for item in array
                       if not isinstance(item, int) or isinstance(item, bool))
            raise TypeError(f"argument '{name}': '{type(bad).__name__}' object "
                            f"cannot be interpreted as an integer")
        if any(item < 0 for item in array):
            raise OverflowError("can't convert negative int to unsigned")
        return np.array([int(item) for item in array], dtype=np.uint64)
    raise TypeError(f"argument '{name}': '{array.dtype}' ids cannot be interpreted as integers")


def to_vectors(value: Any, dim: int, name: str = "vectors") -> np.ndarray:
    """A C-contiguous float32 matrix [n, dim]."""
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    matrix = np.ascontiguousarray(value, dtype=np.float32)
    if matrix.size == 0 and matrix.ndim <= 2:
        return np.empty((0, dim), np.float32)
    if matrix.ndim != 2:
        raise ValueError(f"argument '{name}': expected a matrix [n, {dim}], "
                         f"got shape {matrix.shape}")
    if matrix.shape[1] != dim:
        raise ValueError(f"vector dimension mismatch: expected {dim}, got {matrix.shape[1]}")
    return matrix


def to_query(value: Any, dim: int) -> np.ndarray:
    """A float32 vector of `dim` values."""
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    query = np.ascontiguousarray(value, dtype=np.float32).reshape(-1) \
        if np.ndim(value) <= 1 else None
    if query is None:
        raise ValueError(f"argument 'query': expected a vector of {dim} values, "
                         f"got shape {np.shape(value)}")
    if query.size != dim:
        raise ValueError(f"query dimension mismatch: expected {dim}, got {query.size}")
    return query


def to_queries(value: Any, dim: int) -> np.ndarray:
    """A C-contiguous float32 matrix [nq, dim] of queries."""
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    matrix = np.ascontiguousarray(value, dtype=np.float32)
    if matrix.ndim != 2:
        raise ValueError(f"argument 'queries': expected a matrix [nq, {dim}], "
                         f"got shape {matrix.shape}")
    if matrix.shape[1] != dim:
        raise ValueError(f"query dimension mismatch: expected {dim}, got {matrix.shape[1]}")
    return matrix


def to_allowlist(value: Any) -> Optional[np.ndarray]:
    return None if value is None else to_ids(value, "allowlist")
