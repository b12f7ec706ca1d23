"""Which shard holds an id: a fixed 64-bit mix of the id, reduced modulo the shard count.

The rule never depends on the process, the node, Python's hash seed or the
order of calls, so every node and every run route an id to the same shard:

    shard(id) = splitmix64(id) mod shards

where splitmix64 is the finaliser of Steele, Lea and Flood's SplitMix64
generator applied to ``id + 0x9E3779B97F4A7C15`` (all arithmetic modulo 2**64).
"""
from __future__ import annotations

import numpy as np

ROUTING_NAME = "splitmix64"
ROUTING_RULE = "shard = splitmix64(id) mod shards"

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MUL_1 = np.uint64(0xBF58476D1CE4E5B9)
_MUL_2 = np.uint64(0x94D049BB133111EB)


def splitmix64(ids: np.ndarray) -> np.ndarray:
    """The 64-bit mix of every id of a uint64 array (wrapping arithmetic)."""
    z = np.asarray(ids, dtype=np.uint64)
    # NumPy wraps unsigned overflow silently, which is the modulo-2**64
    # arithmetic the mix is defined with.
    with np.errstate(over="ignore"):
        z = z + _GOLDEN
        z = (z ^ (z >> np.uint64(30))) * _MUL_1
        z = (z ^ (z >> np.uint64(27))) * _MUL_2
    return z ^ (z >> np.uint64(31))


def shard_of(ids: np.ndarray, shards: int) -> np.ndarray:
    """The shard number (int64) of every id for an index of `shards` shards."""
    return (splitmix64(ids) % np.uint64(shards)).astype(np.int64)


def rows_by_shard(ids: np.ndarray, shards: int) -> list[np.ndarray]:
    """For each shard, the positions of its ids in `ids`, in the caller's order."""
    owner = shard_of(ids, shards)
    # A stable sort keeps the caller's order inside each shard, so a shard
    # stores its vectors in the order they were given.
    order = np.argsort(owner, kind="stable")
    bounds = np.searchsorted(owner[order], np.arange(shards + 1))
    return [order[bounds[s]:bounds[s + 1]] for s in range(shards)]
