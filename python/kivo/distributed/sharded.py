"""ShardedKivo: one logical index split over Ray actors, one Kivo per actor."""
from __future__ import annotations

import os
import secrets
import time
import warnings
import weakref
from typing import Any, Callable, Optional

import numpy as np
import ray
from ray.exceptions import GetTimeoutError, RayActorError, RayTaskError
from ray.util.placement_group import placement_group, remove_placement_group
from ray.util.scheduling_strategies import PlacementGroupSchedulingStrategy

from kivo import Kivo

from . import convert
from .errors import NeedsRestore, ShardError, ShardUnavailableError
from .manifest import (
    MANIFEST_NAME, SHARD_FILE, check_shard_size, read_manifest, shard_file_name,
    write_manifest,
)
from .merge import merge_batches, merge_hit_lists
from .routing import rows_by_shard
from .shard_actor import ShardActor

_PLACEMENT_STRATEGIES = ("SPREAD", "STRICT_SPREAD", "PACK", "STRICT_PACK")
# Exceptions a shard's Kivo raises for the caller's mistakes; raised again
# unchanged when every failing shard raised the same one.
_PLAIN_ERRORS = (ValueError, TypeError, OverflowError, RuntimeError, OSError)


class ShardedKivo:
    """An index of any Kivo type split into `shards` parts, each held by a Ray actor.

    ShardedKivo(dim, *, shards, placement_strategy="SPREAD", cpus_per_shard=1.0,
                max_restarts=3, restart_timeout=60.0, placement_timeout=60.0,
                **kivo_params)

    `kivo_params` are the Kivo constructor's (metric, bit_width, index_type,
    mixed_ratio, n4_dims, ivf_nlist, ivf_nprobe, hnsw_m, hnsw_ef_construction,
    hnsw_ef_search), with the same defaults and errors; every shard is built with
    the same parameters and rotation seed, so a vector scores the same in a
    shard as in a single index.

    Routing: the id decides the shard, shard = splitmix64(id) mod shards (see
    kivo.distributed.routing); the same on every node and in every run.

    Placement: one placement group with one bundle of `cpus_per_shard` CPUs per
    shard, placed with `placement_strategy` (Ray's SPREAD by default: shards go to
    different nodes where the cluster has room). Connects to Ray with
    ``ray.init()`` when the process is not connected yet.

    Durability: save(directory) is the durability point. Ray restarts a shard
    actor that dies (up to `max_restarts` times) and the shard reopens its last
    saved file; vectors added to that shard after its last save are lost (a
    RuntimeWarning says how many). A search that meets a restarting shard waits
    up to `restart_timeout` seconds for it and then raises ShardUnavailableError
    naming the shard; it never returns an answer without that shard.
    """

    def __init__(self, dim: int, *, shards: int, placement_strategy: str = "SPREAD",
                 cpus_per_shard: float = 1.0, max_restarts: int = 3,
                 restart_timeout: float = 60.0, placement_timeout: float = 60.0,
                 **kivo_params: Any):
        probe = Kivo(dim, **kivo_params)  # the single index's defaults and errors
        count = _shard_count(shards)
        self._setup(probe, count, _json_params(kivo_params), placement_strategy,
                    cpus_per_shard, max_restarts, restart_timeout, placement_timeout)
        self._start([None] * count)

    @classmethod
    def load(cls, directory: str, *, placement_strategy: str = "SPREAD",
             cpus_per_shard: float = 1.0, max_restarts: int = 3,
             restart_timeout: float = 60.0, placement_timeout: float = 60.0) -> "ShardedKivo":
        """Reopen a directory written by save() on the current Ray cluster.

        The manifest and the files' sizes are checked first; then every shard
        checks its file's SHA-256 against the manifest before loading it, and its dimension,
        metric, bit width, index type, 4-bit dimensions and vector count after.
        Any mismatch raises OSError naming the shard and the file, and no actor
        is left behind.
        """
        directory = os.path.abspath(os.fspath(directory))
        manifest = read_manifest(directory)
        config = manifest["config"]
        try:
            probe = Kivo(config["dim"], **config["kivo_params"])
        except (TypeError, ValueError, OverflowError) as e:
            raise OSError(f"invalid manifest '{os.path.join(directory, MANIFEST_NAME)}': "
                          f"config: {e}") from None
        for name in ("dim", "metric", "bit_width", "index_type", "n4_dims"):
            if config.get(name) != getattr(probe, name):
                raise OSError(f"invalid manifest '{os.path.join(directory, MANIFEST_NAME)}': "
                              f"config {name} {config.get(name)!r} does not match "
                              f"kivo_params ({getattr(probe, name)!r})")
        # Sizes first, here: a missing or cut file fails before any actor starts.
        # Each shard then checks its file's checksum where it reads it.
        errors = []
        for shard, record in enumerate(manifest["files"]):
            if record["file"] is not None:
                try:
                    check_shard_size(os.path.join(directory, record["file"]), record, shard)
                except OSError as e:
                    errors.append(str(e))
        if errors:
            raise OSError("; ".join(errors))
        self = cls.__new__(cls)
        self._setup(probe, manifest["shards"], config["kivo_params"], placement_strategy,
                    cpus_per_shard, max_restarts, restart_timeout, placement_timeout)
        sources = [self._source(directory, record) for record in manifest["files"]]
        self._start(sources)
        return self

    # -- set-up and tear-down ----------------------------------------------
    def _setup(self, probe: Kivo, shards: int, kivo_params: dict[str, Any],
               placement_strategy: str, cpus_per_shard: float, max_restarts: int,
               restart_timeout: float, placement_timeout: float) -> None:
        if placement_strategy not in _PLACEMENT_STRATEGIES:
            raise ValueError(f"unknown placement_strategy '{placement_strategy}': use "
                             + ", ".join(f"'{s}'" for s in _PLACEMENT_STRATEGIES))
        if not cpus_per_shard > 0:
            raise ValueError(f"cpus_per_shard must be positive, got {cpus_per_shard!r}")
        self._shards = shards
        self._kivo_params = kivo_params
        self._config: dict[str, Any] = {
            "dim": probe.dim, "kivo_params": kivo_params, "metric": probe.metric,
            "bit_width": probe.bit_width, "index_type": probe.index_type,
            "n4_dims": probe.n4_dims,
        }
        self._placement_strategy = placement_strategy
        self._cpus_per_shard = float(cpus_per_shard)
        self._max_restarts = int(max_restarts)
        self._restart_timeout = float(restart_timeout)
        self._placement_timeout = float(placement_timeout)
        self._tunables: dict[str, int] = {}
        self._fit_sample: Optional[np.ndarray] = None
        self._last_save: list[Optional[dict[str, Any]]] = [None] * shards
        self._counts = [0] * shards  # vectors each shard held after our last call
        self._restarts = [0] * shards
        self._actors: list[Any] = []
        self._group: Any = None
        self._closed = False

    def _start(self, sources: list[Optional[dict[str, Any]]]) -> None:
        if not ray.is_initialized():
            ray.init()
        bundles = [{"CPU": self._cpus_per_shard} for _ in range(self._shards)]
        self._group = placement_group(bundles, strategy=self._placement_strategy)
        self._finalizer = weakref.finalize(self, _release, self._actors, self._group)
        try:
            ray.get(self._group.ready(), timeout=self._placement_timeout)
        except GetTimeoutError:
            self.close()
            total = ray.cluster_resources().get("CPU", 0)
            free = ray.available_resources().get("CPU", 0)
            raise RuntimeError(
                f"the Ray cluster cannot place {self._shards} shards of "
                f"{self._cpus_per_shard:g} CPU each ({self._placement_strategy}) within "
                f"{self._placement_timeout:g} s: it has {total:g} CPUs, {free:g} unreserved") from None
        remote_class = ray.remote(ShardActor)
        for shard in range(self._shards):
            self._actors.append(remote_class.options(
                num_cpus=self._cpus_per_shard,
                max_restarts=self._max_restarts,
                max_task_retries=0,
                scheduling_strategy=PlacementGroupSchedulingStrategy(
                    placement_group=self._group, placement_group_bundle_index=shard),
            ).remote(shard, self._config["dim"], self._kivo_params))
        self._last_save = list(sources)
        open_args = lambda s: (sources[s], self._tunables, None)  # noqa: E731
        refs = {s: actor.open.remote(*open_args(s)) for s, actor in enumerate(self._actors)}
        results, failures = self._gather("open", refs, open_args, retry=False)
        if failures:
            self.close()
            if all(f.kind == "raised" and isinstance(f.error, OSError)
                   for f in failures.values()):
                raise OSError("; ".join(str(failures[s].error) for s in sorted(failures)))
            raise _shard_error("open", failures, results, timeout=self._restart_timeout)
        self._counts = [results[s] for s in range(self._shards)]

    def close(self) -> None:
        """Stop the shard actors and free their placement group (unsaved vectors are lost)."""
        self._closed = True
        self._finalizer()

    def __enter__(self) -> "ShardedKivo":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # -- properties ----------------------------------------------------------
    @property
    def shards(self) -> int:
        """Number of shards."""
        return self._shards

    @property
    def dim(self) -> int:
        """Vector dimension."""
        return int(self._config["dim"])

    @property
    def metric(self) -> str:
        """Distance metric: 'cosine', 'dot', or 'l2'."""
        return str(self._config["metric"])

    @property
    def bit_width(self) -> int:
        """Quantization bit width (2 or 4)."""
        return int(self._config["bit_width"])

    @property
    def index_type(self) -> str:
        """Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'."""
        return str(self._config["index_type"])

    @property
    def n4_dims(self) -> int:
        """Dims quantized at 4-bit in padded space."""
        return int(self._config["n4_dims"])

    @property
    def restarts(self) -> tuple[int, ...]:
        """How often each shard was reopened after its actor restarted."""
        return tuple(self._restarts)

    def __repr__(self) -> str:
        return (f"ShardedKivo(dim={self.dim}, shards={self._shards}, "
                f"bit_width={self.bit_width}, index_type={self.index_type})")

    def __len__(self) -> int:
        """Number of indexed vectors over all shards."""
        results = self._fan_out("len", "ready", lambda s: (), retry=True)
        self._counts = [results[s] for s in range(self._shards)]
        return sum(self._counts)

    def shard_locations(self) -> list[dict[str, Any]]:
        """Per shard, the Ray node id and process id of its actor."""
        results = self._fan_out("shard_locations", "where", lambda s: (), retry=True)
        return [results[s] for s in range(self._shards)]

    # -- operations ----------------------------------------------------------
    def add(self, ids: Any, vectors: Any) -> None:
        """Add vectors under their ids; each id goes to the shard its hash names.

        Every shard receives its rows as one batch, and the call returns when
        every shard has stored them. When a shard fails, ShardError names it;
        its ``accepted`` attribute lists the shards that stored their rows.
        """
        id_array = convert.to_ids(ids, "ids")
        matrix = convert.to_vectors(vectors, self.dim)
        if len(id_array) != len(matrix):
            raise ValueError(f"ids length ({len(id_array)}) != vectors length ({len(matrix)})")
        if len(id_array) == 0:
            return
        rows = rows_by_shard(id_array, self._shards)
        targets = [s for s in range(self._shards) if len(rows[s])]
        results = self._fan_out(
            "add", "add", lambda s: (id_array[rows[s]], matrix[rows[s]]), retry=False,
            targets=targets, accepted_label="shards that accepted their rows")
        for shard, length in results.items():
            self._counts[shard] = length

    def fit(self, vectors: Any) -> None:
        """Compute the L2 standardization on every shard from the same sample (before add)."""
        sample = convert.to_vectors(vectors, self.dim, "vectors")
        # Empty shards would accept a late fit while the others refuse it, and
        # the shards would then standardize differently.
        if self.metric == "l2" and len(self) > 0:
            raise ValueError("fit() must be called before add() — index already contains vectors")
        self._fan_out("fit", "fit", lambda s: (sample,), retry=False)
        if self.metric == "l2":
            self._fit_sample = sample

    def build(self) -> None:
        """Build every shard (IVF-Flat: k-means per shard; no-op for the other types)."""
        results = self._fan_out("build", "build", lambda s: (), retry=False,
                                accepted_label="shards built")
        for shard, length in results.items():
            self._counts[shard] = length

    def set_ef_search(self, ef: int) -> None:
        """Update HNSW ef_search on every shard (kept across shard restarts)."""
        value = convert.to_count(ef, "ef")
        self._tunables["ef_search"] = value
        self._fan_out("set_ef_search", "tune", lambda s: ({"ef_search": value},), retry=True)

    def set_nprobe(self, nprobe: int) -> None:
        """Update IVF-Flat nprobe on every shard (kept across shard restarts)."""
        value = convert.to_count(nprobe, "nprobe")
        self._tunables["nprobe"] = value
        self._fan_out("set_nprobe", "tune", lambda s: ({"nprobe": value},), retry=True)

    def search(self, query: Any, k: int, allowlist: Any = None) -> list[dict]:
        """Search for the K nearest neighbors over all shards.

        Returns what Kivo.search returns: up to k dicts {'id': int, 'score':
        float}, score descending, equal scores by id ascending.
        """
        count = convert.to_count(k, "k")
        allow = convert.to_allowlist(allowlist)
        vector = convert.to_query(query, self.dim)
        allow_for = self._allowlist_per_shard(allow)
        results = self._fan_out("search", "search", lambda s: (vector, count, allow_for(s)),
                                retry=True)
        parts = [results[s] for s in range(self._shards)]
        if all(part is None for part in parts):
            raise RuntimeError("index is empty")
        return merge_hit_lists([part for part in parts if part is not None], count)

    def search_batch(self, queries: Any, k: int, allowlist: Any = None, *,
                     threads: Optional[int] = None) -> tuple[np.ndarray, np.ndarray]:
        """Search many queries over all shards at once.

        Returns (ids uint64 [nq, k'], scores float32 [nq, k']) with
        k' = min(k, len(self)); rows with fewer hits are padded with id
        2**64-1 and score -inf. Each shard answers the whole batch with its
        Kivo.search_batch, then the per-shard top k are merged: score
        descending, equal scores by id ascending. `threads` is each shard's
        thread count; None uses the CPUs reserved per shard (cpus_per_shard,
        at least 1), 0 every core of the shard's node.
        """
        count = convert.to_count(k, "k")
        allow = convert.to_allowlist(allowlist)
        matrix = convert.to_queries(queries, self.dim)
        workers = max(1, int(self._cpus_per_shard)) if threads is None \
            else convert.to_count(threads, "threads")
        allow_for = self._allowlist_per_shard(allow)
        # One copy of the queries in the object store, read by every shard.
        shared = ray.put(matrix)
        results = self._fan_out("search_batch", "search_batch",
                                lambda s: (shared, count, allow_for(s), workers), retry=True)
        parts = [results[s] for s in range(self._shards)]
        if all(part is None for part in parts):
            raise RuntimeError("index is empty")
        return merge_batches([part for part in parts if part is not None], count, len(matrix))

    def save(self, directory: str) -> None:
        """Write one .kivo file per shard and manifest.json into `directory`.

        The directory must be reachable under the same path from the driver and
        from every node (a shared file system on a multi-node cluster). Files
        are new for every save and the manifest is replaced atomically, last;
        files of the previous save in the directory are removed afterwards.
        """
        directory = os.path.abspath(os.fspath(directory))
        os.makedirs(directory, exist_ok=True)
        token = secrets.token_hex(8)
        names = [shard_file_name(s, token) for s in range(self._shards)]
        try:
            results = self._fan_out(
                "save", "save", lambda s: (os.path.join(directory, names[s]),), retry=False,
                accepted_label="shards that wrote their files")
        except BaseException:
            _remove_quietly(directory, names)
            raise
        files = [{"shard": s, **results[s]} for s in range(self._shards)]
        write_manifest(directory, self._shards, self._config, files)
        for shard, record in enumerate(files):
            self._last_save[shard] = self._source(directory, record)
            self._counts[shard] = record["vectors"]
        kept = {record["file"] for record in files}
        stale = [name for name in os.listdir(directory)
                 if SHARD_FILE.fullmatch(name) and name not in kept]
        _remove_quietly(directory, stale)

    # -- fan-out, waiting and restarts -----------------------------------------
    def _source(self, directory: str, record: dict[str, Any]) -> Optional[dict[str, Any]]:
        if record["file"] is None:
            return None
        expect = {name: self._config[name]
                  for name in ("dim", "metric", "bit_width", "index_type", "n4_dims")}
        expect["vectors"] = record["vectors"]
        return {"path": os.path.join(directory, record["file"]), "bytes": record["bytes"],
                "sha256": record["sha256"], "expect": expect}

    def _allowlist_per_shard(self, allow: Optional[np.ndarray]
                             ) -> Callable[[int], Optional[np.ndarray]]:
        if allow is None:
            return lambda s: None
        # A shard can only hold the allowed ids routed to it.
        rows = rows_by_shard(allow, self._shards)
        return lambda s: allow[rows[s]]

    def _fan_out(self, operation: str, method: str, args: Callable[[int], tuple], *,
                 retry: bool, targets: Optional[list[int]] = None,
                 accepted_label: str = "shards that answered") -> dict[int, Any]:
        """Call `method` on every target shard at once and wait for all of them.

        retry=True is for calls that change nothing: they wait for a restarting
        shard and run again. Other calls report a shard that died during them.
        """
        if self._closed:
            raise RuntimeError("this ShardedKivo is closed")
        shards = list(range(self._shards)) if targets is None else targets
        refs = {s: getattr(self._actors[s], method).remote(*args(s)) for s in shards}
        results, failures = self._gather(method, refs, args, retry=retry)
        if failures:
            untouched = [s for s in range(self._shards) if s not in refs]
            raise _shard_error(operation, failures, results, untouched, accepted_label,
                               changes_state=not retry and operation != "save",
                               timeout=self._restart_timeout)
        return results

    def _gather(self, method: str, refs: dict[int, Any], args: Callable[[int], tuple], *,
                retry: bool) -> tuple[dict[int, Any], dict[int, "_Failure"]]:
        results: dict[int, Any] = {}
        failures: dict[int, _Failure] = {}
        for shard, ref in refs.items():
            try:
                results[shard] = self._await(shard, ref, method, args, retry)
            except _Failure as failure:
                failures[shard] = failure
        return results, failures

    def _await(self, shard: int, ref: Any, method: str, args: Callable[[int], tuple],
               retry: bool) -> Any:
        while True:
            try:
                self._wait_for_result(shard, ref)
                return ray.get(ref)
            except RayActorError as e:
                if not retry:
                    raise _Failure("died", e) from None
                self._wait_until_serving(shard, e)
            except RayTaskError as e:
                if not isinstance(e.cause, NeedsRestore) or method == "open":
                    raise _Failure("raised", e.cause) from None
                # The actor restarted before this call reached it: the call did
                # nothing, so it runs again once the shard is reopened.
                self._wait_until_serving(shard, e)
            ref = getattr(self._actors[shard], method).remote(*args(shard))

    def _wait_for_result(self, shard: int, ref: Any) -> None:
        """Wait for a call without limit while its actor lives; a call that Ray
        queued for an actor that is restarting (it died while idle) waits at most
        restart_timeout for the restart."""
        down_since: Optional[float] = None
        poll = min(1.0, self._restart_timeout)
        while not ray.wait([ref], timeout=poll)[0]:
            # Only a restart is bounded: a shard being created for the first time
            # (PENDING_CREATION) has its placement reserved and starts in due course.
            state = _actor_state(self._actors[shard])
            if state != "RESTARTING":
                down_since = None
                continue
            now = time.monotonic()
            down_since = now if down_since is None else down_since
            if now - down_since >= self._restart_timeout:
                raise _Failure("unavailable", RuntimeError(f"actor state {state}"))

    def _wait_until_serving(self, shard: int, cause: BaseException) -> None:
        """Wait until the shard's actor is back and reopened, or raise _Failure('unavailable')."""
        deadline = time.monotonic() + self._restart_timeout
        actor = self._actors[shard]
        last: BaseException = cause
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise _Failure("unavailable", last)
            try:
                ray.get(actor.ready.remote(), timeout=remaining)
                return
            except GetTimeoutError:
                raise _Failure("unavailable", last) from None
            except RayActorError as e:
                last = e
                time.sleep(min(0.1, max(remaining, 0)))
                continue
            except RayTaskError as e:
                if not isinstance(e.cause, NeedsRestore):
                    raise _Failure("raised", e.cause) from None
            self._reopen(shard, deadline)
            return

    def _reopen(self, shard: int, deadline: float) -> None:
        source = self._last_save[shard]
        fit_sample = self._fit_sample if source is None else None
        ref = self._actors[shard].open.remote(source, self._tunables, fit_sample)
        try:
            length = ray.get(ref, timeout=max(deadline - time.monotonic(), 0.001))
        except GetTimeoutError as e:
            raise _Failure("unavailable", e) from None
        except RayActorError as e:
            raise _Failure("unavailable", e) from None
        except RayTaskError as e:
            raise _Failure("reopen", e.cause) from None
        self._restarts[shard] += 1
        lost = self._counts[shard] - length
        if lost > 0:
            message = (f"shard {shard} was restarted from its last save; the {lost} vectors "
                       f"added to it after that save are lost") if source is not None else (
                       f"shard {shard} was restarted empty, as it was never saved; the {lost} "
                       f"vectors added to it are lost")
            warnings.warn(message, RuntimeWarning, stacklevel=2)
        self._counts[shard] = length


class _Failure(Exception):
    """How one shard failed: raised (its Kivo raised), died (actor died during a call
    that changes state), unavailable (not back within the timeout), reopen (its
    last save could not be reopened)."""

    def __init__(self, kind: str, error: BaseException):
        super().__init__(kind)
        self.kind = kind
        self.error = error

    def describe(self, timeout: float) -> str:
        if self.kind == "died":
            return ("its actor died during the call; Ray restarts it from the shard's last "
                    "save, and vectors added to the shard since that save are lost")
        if self.kind == "unavailable":
            return (f"unavailable: its actor died and was not serving again within "
                    f"{timeout:g} s")
        if self.kind == "reopen":
            return f"restarted but cannot reopen its last save: {self.error}"
        return f"{type(self.error).__name__}: {self.error}"


def _shard_error(operation: str, failures: dict[int, _Failure], results: dict[int, Any],
                 untouched: tuple[int, ...] | list[int] = (),
                 accepted_label: str = "shards that answered", *,
                 changes_state: bool = False, timeout: float = 0.0) -> BaseException:
    """The exception for a fan-out with failed shards.

    When every failing shard's Kivo raised the same built-in error and nothing
    else changed (no shard took the change), that error is raised as it is, as a
    single index would raise it; otherwise ShardError names every failed shard
    with its reason and lists the shards that completed the operation.
    """
    raised = [f.error for f in failures.values() if f.kind == "raised"]
    if len(raised) == len(failures) and not (changes_state and results):
        first = raised[0]
        if type(first) in _PLAIN_ERRORS and all(
                type(e) is type(first) and str(e) == str(first) for e in raised):
            return type(first)(str(first))
    accepted = sorted(list(results) + list(untouched))
    reasons = {s: failures[s].describe(timeout) for s in sorted(failures)}
    text = f"{operation} failed on " + "; ".join(f"shard {s} ({reason})"
                                                 for s, reason in reasons.items())
    text += f"; {accepted_label}: " + (", ".join(map(str, accepted)) if accepted else "none")
    kind = ShardUnavailableError if any(
        f.kind == "unavailable" for f in failures.values()) else ShardError
    return kind(text, reasons, accepted)


def _actor_state(actor: Any) -> Optional[str]:
    """The actor's state in Ray's actor table (ALIVE, RESTARTING, DEAD, ...), or None
    when this Ray version does not expose it (callers then keep waiting)."""
    try:
        from ray._private import state

        return state.actors(actor_id=actor._actor_id.hex()).get("State")
    except Exception:  # noqa: BLE001 - an internal accessor; absent means unknown
        return None


def _shard_count(shards: Any) -> int:
    count = convert.to_count(shards, "shards")
    if count < 1:
        raise ValueError("shards must be at least 1")
    return count


def _json_params(params: dict[str, Any]) -> dict[str, Any]:
    """Constructor parameters as plain JSON values (NumPy scalars become Python ones)."""
    plain = {}
    for name, value in params.items():
        plain[name] = value.item() if isinstance(value, np.generic) else value
    return plain


def _release(actors: list[Any], group: Any) -> None:
    for actor in actors:
        try:
            ray.kill(actor, no_restart=True)
        except Exception:
            pass
    try:
        if ray.is_initialized():
            remove_placement_group(group)
    except Exception:
        pass


def _remove_quietly(directory: str, names: list[str]) -> None:
    for name in names:
        try:
            os.remove(os.path.join(directory, name))
        except OSError:
            pass
