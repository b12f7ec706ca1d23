"""Exceptions of the sharded index."""
from __future__ import annotations

from typing import Iterable, Mapping


class ShardError(RuntimeError):
    """An operation failed on one or more shards.

    ``failed`` maps each failed shard to the reason (text); ``accepted`` lists the
    shards on which the operation completed (for ``add``: the shards that now
    hold their rows of the batch, including those that had no rows in it).
    """

    def __init__(self, message: str, failed: Mapping[int, str], accepted: Iterable[int] = ()):
        super().__init__(message)
        self.failed = dict(failed)
        self.accepted = tuple(accepted)


class ShardUnavailableError(ShardError):
    """A shard's actor died and was not serving again within the restart timeout."""


class NeedsRestore(Exception):
    """Raised inside a restarted shard actor until the driver restores its last save."""


