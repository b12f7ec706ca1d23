"""Merging the shards' top k into the global top k.

Order of the merged answer: score descending; equal scores by id ascending
(unsigned); entries of one id from two shards (an id added twice) keep shard
order. Padding (id 2**64-1 with score -inf, a row with fewer hits than k')
always comes last. Each shard keeps its own tie rule for which equal-scored
vectors reach its top k, so among vectors tied at the k-th score the merged
answer may keep different ones than a single index would.
"""
from __future__ import annotations

from typing import Sequence

import numpy as np

PAD_ID = np.uint64(0xFFFFFFFFFFFFFFFF)


def merge_batches(
    parts: Sequence[tuple[np.ndarray, np.ndarray]], k: int, nq: int
) -> tuple[np.ndarray, np.ndarray]:
    """Merge per-shard (ids [nq, k_s], scores [nq, k_s]) into (ids, scores) of [nq, k'].

    `parts` are in shard order; k' = min(k, sum of k_s), which equals min(k, len)
    of the whole index because every shard answers with min(k, its len) columns.
    """
    width = min(k, sum(ids.shape[1] for ids, _ in parts))
    if width == 0:
        return np.empty((nq, 0), np.uint64), np.empty((nq, 0), np.float32)
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    padding = (ids == PAD_ID) & np.isneginf(scores)
    # np.lexsort sorts by the last key first: padding last, then score
    # descending (negated; NaN sorts after every number), then id ascending.
    # The sort is stable, so equal keys keep the shard order of the columns.
    order = np.lexsort((ids, -scores, padding), axis=-1)[:, :width]
    return (np.take_along_axis(ids, order, axis=1),
            np.take_along_axis(scores, order, axis=1))


def merge_hit_lists(parts: Sequence[list[dict]], k: int) -> list[dict]:
    """Merge per-shard `search` results (lists of {'id', 'score'} dicts) into the top k."""
    hits = [hit for part in parts for hit in part]
    # sorted() is stable: entries equal in score and id keep shard order.
    hits.sort(key=lambda hit: (_descending(hit["score"]), hit["id"]))
    return hits[:k]


def _descending(score: float) -> float:
    # NaN compares false with everything; put it after every number, as the
    # batch merge does.
    return float("inf") if score != score else -score
