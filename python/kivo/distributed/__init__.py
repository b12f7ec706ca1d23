"""Kivo past one machine: an index split into shards held by Ray actors.

Needs Ray (``pip install "kivo[ray]"``); ``import kivo`` never imports this
package or Ray.

    import ray
    from kivo.distributed import ShardedKivo

    ray.init()                                   # or ray.init(address="auto")
    index = ShardedKivo(384, shards=4, index_type="hnsw")
    index.add(ids, vectors)
    ids_k, scores_k = index.search_batch(queries, 10)
    index.save("/shared/index")                  # the durability point
    index = ShardedKivo.load("/shared/index")
"""
import importlib.util

if importlib.util.find_spec("ray") is None:  # pragma: no cover - depends on the environment
    raise ImportError("kivo.distributed needs Ray: install it with pip install \"kivo[ray]\"")

from .errors import ShardError, ShardUnavailableError
from .routing import shard_of, splitmix64
from .sharded import ShardedKivo

__all__ = ["ShardedKivo", "ShardError", "ShardUnavailableError", "shard_of", "splitmix64"]
