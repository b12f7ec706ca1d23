"""kivo.distributed.ShardedKivo on a local Ray cluster: routing, merged answers equal to a
single index, save/load with a checked manifest, shard actors dying mid-call."""
import json
import os
import shutil
import threading
import time
import warnings

import numpy as np
import pytest

ray = pytest.importorskip("ray")

from kivo import Kivo  # noqa: E402
from kivo.distributed import (  # noqa: E402
    ShardedKivo, ShardError, ShardUnavailableError, shard_of, splitmix64,
)
from kivo.distributed.merge import merge_batches, merge_hit_lists  # noqa: E402
from kivo.distributed.routing import rows_by_shard  # noqa: E402

from conftest import clustered, raises_exact  # noqa: E402

PAD = 2**64 - 1
# Small CPU bundles let a test hold a few indexes at once on a 2-CPU cluster.
CPUS = 0.25


def start_local_ray():
    if not ray.is_initialized():
        ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR",
                 object_store_memory=256 * 2**20)


@pytest.fixture(scope="module")
def local_ray():
    """One local two-CPU Ray instance shared by the module."""
    start_local_ray()
    yield
    if ray.is_initialized():
        ray.shutdown()


@pytest.fixture
def make(local_ray):
    """ShardedKivo factory whose indexes are closed after the test."""
    made = []

    def factory(dim, shards, **params):
        start_local_ray()
        params.setdefault("cpus_per_shard", CPUS)
        index = ShardedKivo(dim, shards=shards, **params)
        made.append(index)
        return index

    yield factory
    for index in made:
        index.close()


def load(directory, **options):
    options.setdefault("cpus_per_shard", CPUS)
    return ShardedKivo.load(directory, **options)


def single_batch(index, queries, k):
    """Kivo's own answer for a batch, in the batch shapes."""
    if hasattr(index, "search_batch"):
        return index.search_batch(queries, k)
    width = min(k, len(index))
    ids = np.full((len(queries), width), PAD, np.uint64)
    scores = np.full((len(queries), width), -np.inf, np.float32)
    for row, query in enumerate(queries):
        hits = index.search(query, k)
        ids[row, :len(hits)] = [h["id"] for h in hits]
        scores[row, :len(hits)] = [h["score"] for h in hits]
    return ids, scores


def exact_top(vectors, ids, queries, k, metric):
    """Exact float64 ground truth ids [nq, k]."""
    x = vectors.astype(np.float64)
    q = queries.astype(np.float64)
    if metric == "cosine":
        x = x / np.linalg.norm(x, axis=1, keepdims=True)
        q = q / np.linalg.norm(q, axis=1, keepdims=True)
    sims = q @ x.T
    if metric == "l2":
        sims = sims - 0.5 * (x * x).sum(axis=1)
    return ids[np.argsort(-sims, axis=1, kind="stable")[:, :k]]


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)])


# -- routing and merging (no cluster needed) ------------------------------------

def test_routing_is_the_documented_fixed_mix():
    # splitmix64 outputs of the reference generator seeded with 0 and 1.
    assert int(splitmix64(np.array([0], np.uint64))[0]) == 0xE220A8397B1DCDAF
    assert int(splitmix64(np.array([0x9E3779B97F4A7C15], np.uint64))[0]) == 0x6E789E6AA1B965F4
    ids = np.array([0, 1, 2, 12345, 2**63, PAD], np.uint64)
    owners = shard_of(ids, 7)
    assert owners.tolist() == [int(splitmix64(ids[i:i + 1])[0]) % 7 for i in range(len(ids))]
    rows = rows_by_shard(np.arange(1000, dtype=np.uint64), 4)
    assert sorted(np.concatenate(rows).tolist()) == list(range(1000))
    for s, part in enumerate(rows):
        assert (np.diff(part) > 0).all()  # the caller's order within a shard
        assert (shard_of(part.astype(np.uint64), 4) == s).all()
    # Roughly even: each of 4 shards gets a quarter of 1000 ids, give or take.
    assert all(200 < len(part) < 300 for part in rows)


def test_merge_orders_by_score_then_id_with_padding_last():
    a_ids = np.array([[5, 9, PAD]], np.uint64)
    a_scores = np.array([[3.0, 1.0, -np.inf]], np.float32)
    b_ids = np.array([[2, 4]], np.uint64)
    b_scores = np.array([[3.0, 1.0]], np.float32)
    ids, scores = merge_batches([(a_ids, a_scores), (b_ids, b_scores)], 4, 1)
    assert ids.tolist() == [[2, 5, 4, 9]]
    assert scores.tolist() == [[3.0, 3.0, 1.0, 1.0]]
    ids, scores = merge_batches([(a_ids, a_scores), (b_ids[:, :0], b_scores[:, :0])], 10, 1)
    assert ids.tolist() == [[5, 9, PAD]] and scores[0, 2] == -np.inf
    hits = merge_hit_lists([[{"id": 5, "score": 3.0}], [{"id": 2, "score": 3.0},
                                                        {"id": 1, "score": 0.5}]], 2)
    assert hits == [{"id": 2, "score": 3.0}, {"id": 5, "score": 3.0}]


# -- construction and argument errors --------------------------------------------

def test_constructor_mirrors_kivo_and_checks_its_own_options(make):
    index = make(8, 2, metric="Euclidean", index_type="IVF-Flat")
    assert (index.dim, index.shards, index.metric, index.index_type, index.bit_width,
            index.n4_dims) == (8, 2, "l2", "IvfFlat", 4, 8)
    assert repr(index) == "ShardedKivo(dim=8, shards=2, bit_width=4, index_type=IvfFlat)"
    assert len(index) == 0
    with raises_exact(ValueError, "unknown metric 'manhattan': use 'cosine', 'dot', or 'l2'"):
        ShardedKivo(8, shards=2, metric="manhattan")
    with raises_exact(ValueError, "invalid bit width: 3 (must be 2 or 4)"):
        ShardedKivo(8, shards=2, bit_width=3)
    with raises_exact(ValueError, "shards must be at least 1"):
        ShardedKivo(8, shards=0)
    with raises_exact(TypeError, "argument 'shards': 'float' object cannot be interpreted "
                                 "as an integer"):
        ShardedKivo(8, shards=2.0)
    with pytest.raises(ValueError, match="unknown placement_strategy 'ROUND'"):
        ShardedKivo(8, shards=2, placement_strategy="ROUND")


def test_bad_arguments_raise_the_single_index_errors(make):
    index = make(8, 2)
    with raises_exact(RuntimeError, "index is empty"):
        index.search(np.zeros(8, np.float32), 3)
    with raises_exact(RuntimeError, "index is empty"):
        index.search_batch(np.zeros((2, 8), np.float32), 3)
    cases = [
        (lambda: index.add([1, 2, 3], np.zeros((2, 8), np.float32)),
         ValueError, "ids length (3) != vectors length (2)"),
        (lambda: index.add([1], np.zeros((1, 7), np.float32)),
         ValueError, "vector dimension mismatch: expected 8, got 7"),
        (lambda: index.add("ab", np.zeros((2, 8), np.float32)),
         TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (lambda: index.add([-1], np.zeros((1, 8), np.float32)),
         OverflowError, "can't convert negative int to unsigned"),
        (lambda: index.search(np.zeros(9, np.float32), 3),
         ValueError, "query dimension mismatch: expected 8, got 9"),
        (lambda: index.search(np.zeros(8, np.float32), 2.5),
         TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (lambda: index.search(np.zeros(8, np.float32), -1),
         OverflowError, "can't convert negative int to unsigned"),
        (lambda: index.search_batch(np.zeros((2, 7), np.float32), 3),
         ValueError, "query dimension mismatch: expected 8, got 7"),
    ]
    for call, exc, message in cases:
        with raises_exact(exc, message):
            call()
    assert len(index) == 0


# -- merged answers equal one index -------------------------------------------------

@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_brute_force_merged_answer_equals_one_index(make, metric):
    rng = np.random.default_rng(7)
    dim, n = 24, 3000
    vectors = (rng.standard_normal((n, dim)) * 3 + 1).astype(np.float32)
    ids = rng.integers(2**63, 2**64 - 1, n, dtype=np.uint64)  # ids beyond int64
    queries = rng.standard_normal((40, dim)).astype(np.float32)
    one = Kivo(dim, metric=metric)
    sharded = make(dim, 3, metric=metric)
    if metric == "l2":
        one.fit(vectors[:200])
        sharded.fit(vectors[:200])
    one.add(ids, vectors)
    # Two batches: routing must not depend on how the caller splits its adds.
    sharded.add(ids[:1000], vectors[:1000])
    sharded.add(ids[1000:].tolist(), vectors[1000:])
    assert len(sharded) == n

    got_ids, got_scores = sharded.search_batch(queries, 10)
    want_ids, want_scores = single_batch(one, queries, 10)
    assert got_ids.dtype == np.uint64 and got_scores.dtype == np.float32
    assert got_ids.shape == (40, 10)
    np.testing.assert_array_equal(got_ids, want_ids)
    np.testing.assert_array_equal(got_scores, want_scores)  # bit-identical float32

    assert sharded.search(queries[0], 10) == one.search(queries[0], 10)
    allow = ids[::7]
    assert sharded.search(queries[1], 10, allow) == one.search(queries[1], 10, allow)
    got_ids, _ = sharded.search_batch(queries[:3], 10, allowlist=allow)
    assert np.isin(got_ids, allow).all()
    assert sharded.search(queries[0], 0) == []
    assert sharded.search(queries[0], 10, []) == []
    # k beyond the index: k' = len, as for one index.
    assert sharded.search_batch(queries[:2], n + 5)[0].shape == (2, n)


@pytest.mark.parametrize("index_type, params, tune", [
    ("ivf_flat", {"ivf_nlist": 16, "ivf_nprobe": 4}, None),
    ("hnsw", {"hnsw_m": 12, "hnsw_ef_construction": 60}, ("set_ef_search", 40)),
])
def test_ivf_and_hnsw_recall_within_two_points_of_one_index(make, index_type, params, tune):
    rng = np.random.default_rng(11)
    dim, n = 32, 4000
    vectors = clustered(rng, n, dim, centres=16, spread=0.4)
    ids = np.arange(n, dtype=np.uint64)
    queries = clustered(rng, 100, dim, centres=16, spread=0.4)
    truth = exact_top(vectors, ids, queries, 10, "cosine")

    one = Kivo(dim, index_type=index_type, **params)
    one.add(ids, vectors)
    one.build()
    sharded = make(dim, 2, index_type=index_type, **params)
    sharded.add(ids, vectors)
    sharded.build()
    if tune:
        getattr(one, tune[0])(tune[1])
        getattr(sharded, tune[0])(tune[1])
    single_recall = recall(single_batch(one, queries, 10)[0], truth)
    sharded_recall = recall(sharded.search_batch(queries, 10)[0], truth)
    assert sharded_recall >= single_recall - 0.02, (sharded_recall, single_recall)


def test_ivf_needs_build_like_one_index(make, tmp_path):
    index = make(8, 2, index_type="ivf_flat", ivf_nlist=4)
    index.add(np.arange(50), np.random.default_rng(1).standard_normal((50, 8)).astype("f4"))
    message = "call build() before search() for IvfFlat indexes"
    with raises_exact(RuntimeError, message):
        index.search(np.ones(8, np.float32), 3)
    with raises_exact(RuntimeError, message):
        index.save(str(tmp_path / "ivf"))
    assert os.listdir(tmp_path / "ivf") == []  # files of the failed save removed


# -- save and load ---------------------------------------------------------------

def read_json(path):
    with open(path) as f:
        return json.load(f)


def test_save_writes_checked_manifest_and_load_answers_the_same(make, tmp_path):
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((500, 16)).astype(np.float32)
    ids = np.arange(500, dtype=np.uint64) * 11
    queries = rng.standard_normal((5, 16)).astype(np.float32)
    index = make(16, 3, metric="dot", bit_width=2)
    index.add(ids, vectors)
    directory = tmp_path / "idx"
    index.save(str(directory))

    manifest = read_json(directory / "manifest.json")
    assert manifest["shards"] == 3 and manifest["routing"]["hash"] == "splitmix64"
    assert manifest["config"]["metric"] == "dot" and manifest["config"]["bit_width"] == 2
    assert manifest["config"]["kivo_params"] == {"metric": "dot", "bit_width": 2}
    files = manifest["files"]
    assert [f["shard"] for f in files] == [0, 1, 2]
    assert sum(f["vectors"] for f in files) == 500
    for record in files:
        path = directory / record["file"]
        assert path.stat().st_size == record["bytes"]
        assert len(Kivo.load(str(path))) == record["vectors"]
    assert sorted(os.listdir(directory)) == sorted(["manifest.json"] + [f["file"] for f in files])

    loaded = load(str(directory))
    try:
        assert (loaded.shards, loaded.metric, loaded.bit_width, len(loaded)) == (3, "dot", 2, 500)
        for a, b in zip(loaded.search_batch(queries, 7), index.search_batch(queries, 7)):
            np.testing.assert_array_equal(a, b)
    finally:
        loaded.close()

    # A second save replaces the manifest and removes the first save's files.
    index.add([10**12], rng.standard_normal((1, 16)).astype(np.float32))
    index.save(str(directory))
    second = read_json(directory / "manifest.json")
    assert sorted(os.listdir(directory)) == sorted(
        ["manifest.json"] + [f["file"] for f in second["files"]])
    assert sum(f["vectors"] for f in second["files"]) == 501


def test_empty_ivf_shard_saves_without_file(make, tmp_path):
    # Three ids that all route to shard 0 leave shards 1 and 2 empty.
    candidates = np.arange(200, dtype=np.uint64)
    ids = candidates[shard_of(candidates, 3) == 0][:3]
    index = make(8, 3, index_type="ivf_flat", ivf_nlist=2)
    index.add(ids, np.eye(3, 8, dtype=np.float32))
    index.build()
    index.save(str(tmp_path / "s"))
    records = read_json(tmp_path / "s" / "manifest.json")["files"]
    assert [r["file"] is None for r in records] == [False, True, True]
    loaded = load(str(tmp_path / "s"))
    try:
        assert len(loaded) == 3
        assert [h["id"] for h in loaded.search(np.eye(1, 8, 1, np.float32)[0], 1)] == [ids[1]]
    finally:
        loaded.close()


def damage(directory, how):
    manifest_path = directory / "manifest.json"
    manifest = read_json(manifest_path)
    record = manifest["files"][1]
    shard_path = directory / record["file"]
    if how == "deleted":
        shard_path.unlink()
        return f"shard 1: cannot open file '{record['file']}'"
    if how == "corrupted":
        data = bytearray(shard_path.read_bytes())
        data[len(data) // 2] ^= 0x40
        shard_path.write_bytes(bytes(data))
        return f"shard 1: file '{record['file']}' does not match its checksum"
    if how == "truncated":
        shard_path.write_bytes(shard_path.read_bytes()[:-4])
        return (f"shard 1: file '{record['file']}' has {record['bytes'] - 4} bytes, "
                f"the manifest records {record['bytes']}")
    if how == "manifest lies about size":
        record["bytes"] += 8
    elif how == "manifest lies about vectors":
        # Size and checksum agree, the count does not: caught after loading.
        record["vectors"] += 1
    elif how == "manifest names a foreign file":
        record["file"] = "../elsewhere.kivo"
    elif how == "manifest not json":
        manifest_path.write_text("{")
        return "invalid manifest"
    manifest_path.write_text(json.dumps(manifest))
    return {
        "manifest lies about size": f"shard 1: file '{record['file']}' has "
                                    f"{record['bytes'] - 8} bytes, the manifest records "
                                    f"{record['bytes']}",
        "manifest lies about vectors": f"shard 1: file '{record['file']}' holds vectors "
                                       f"{record['vectors'] - 1}, the manifest records "
                                       f"{record['vectors']}",
        "manifest names a foreign file": "shard 1: file name '../elsewhere.kivo' is not a "
                                         "shard file name",
    }[how]


@pytest.fixture(scope="module")
def saved_index(local_ray, tmp_path_factory):
    """A two-shard index saved once; each damage case works on a copy."""
    directory = tmp_path_factory.mktemp("saved") / "index"
    with ShardedKivo(8, shards=2, cpus_per_shard=CPUS) as index:
        index.add(np.arange(100), np.random.default_rng(5).standard_normal((100, 8)).astype("f4"))
        index.save(str(directory))
    return directory


@pytest.mark.parametrize("how", [
    "deleted", "corrupted", "truncated", "manifest lies about size",
    "manifest lies about vectors", "manifest names a foreign file", "manifest not json",
])
def test_load_refuses_damaged_directories_naming_the_shard(saved_index, tmp_path, how):
    copy = tmp_path / "d"
    shutil.copytree(saved_index, copy)
    expected = damage(copy, how)
    with pytest.raises(OSError) as info:
        load(str(copy))
    assert expected in str(info.value)
    # No actor or placement group is left behind by a failed load: with no other
    # index open, every CPU of the cluster becomes free again (Ray frees them
    # asynchronously).
    total = ray.cluster_resources()["CPU"]
    deadline = time.monotonic() + 30
    while ray.available_resources().get("CPU") != total and time.monotonic() < deadline:
        time.sleep(0.2)
    assert ray.available_resources().get("CPU") == total


# -- shard actors dying ------------------------------------------------------------

def kill_shard(index, shard, restart=True):
    ray.kill(index._actors[shard], no_restart=not restart)


def kill_shard_and_wait(index, shard):
    """Kill an idle shard's actor and wait until its process is gone."""
    pid = index.shard_locations()[shard]["pid"]
    kill_shard(index, shard)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    raise AssertionError(f"shard {shard}'s actor process {pid} is still running")


def cpu_seconds_of(pid):
    """User and system CPU seconds a process has used so far (Linux /proc)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until_working(pid, since, seconds=0.3, timeout=60.0):
    """Returns once the process has used `seconds` of CPU beyond `since`: a call it
    was sent is under way, however fast the machine."""
    deadline = time.monotonic() + timeout
    while cpu_seconds_of(pid) - since < seconds:
        assert time.monotonic() < deadline, f"process {pid} never started working"
        time.sleep(0.01)


def run_in_thread(call):
    outcome = {}

    def target():
        try:
            outcome["value"] = call()
        except BaseException as e:  # noqa: BLE001 - handed to the test
            outcome["error"] = e

    thread = threading.Thread(target=target)
    thread.start()
    return thread, outcome


def test_actor_killed_mid_search_is_restarted_from_its_save(make, tmp_path):
    rng = np.random.default_rng(9)
    # Work for seconds per shard, so that the kill lands during the search: about
    # 4e8 code scorings for a multi-query batch search, less for one query at a time.
    dim = 64
    n, nq = (200_000, 4000) if hasattr(Kivo, "search_batch") else (20_000, 1500)
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    ids = np.arange(n, dtype=np.uint64)
    queries = rng.standard_normal((nq, dim)).astype(np.float32)
    index = make(dim, 2)
    index.add(ids, vectors)
    index.save(str(tmp_path / "k"))
    expected = index.search_batch(queries[:50], 10)

    thread, outcome = run_in_thread(lambda: index.search_batch(queries, 10, threads=1))
    time.sleep(0.3)
    kill_shard(index, 1)
    thread.join(300)
    assert "error" not in outcome, outcome.get("error")
    assert index.restarts == (0, 1)  # the kill landed while the search ran
    ids_found, scores = outcome["value"]
    # The whole answer, not a partial one: equal to the answer before the kill.
    np.testing.assert_array_equal(ids_found[:50], expected[0])
    np.testing.assert_array_equal(scores[:50], expected[1])
    assert len(index) == n


def test_actor_killed_mid_add_names_the_shard_and_loses_only_unsaved_rows(make, tmp_path):
    rng = np.random.default_rng(10)
    dim = 32
    index = make(dim, 2, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=40)
    saved = np.arange(200, dtype=np.uint64)
    index.add(saved, rng.standard_normal((200, dim)).astype(np.float32))
    index.save(str(tmp_path / "a"))
    unsaved = np.arange(200, 400, dtype=np.uint64)  # added but never saved
    index.add(unsaved, rng.standard_normal((200, dim)).astype(np.float32))
    # Large enough that each shard's part takes several times the CPU the wait
    # below lets pass before the kill (about 2 s per shard on a Zen 4 core).
    big = np.arange(1000, 61000, dtype=np.uint64)
    rows = rng.standard_normal((len(big), dim)).astype(np.float32)

    # Killed once shard 1 is inserting: a fixed delay lands after the add on a
    # fast machine.
    pid = index.shard_locations()[1]["pid"]
    before = cpu_seconds_of(pid)
    thread, outcome = run_in_thread(lambda: index.add(big, rows))
    wait_until_working(pid, before)
    kill_shard(index, 1)
    thread.join(300)
    error = outcome.get("error")
    assert isinstance(error, ShardError), outcome
    assert error.accepted == (0,) and list(error.failed) == [1]
    assert str(error) == (
        "add failed on shard 1 (its actor died during the call; Ray restarts it from the "
        "shard's last save, and vectors added to the shard since that save are lost); "
        "shards that accepted their rows: 0")

    # The next call reopens shard 1 from its save and says what it lost.
    lost = int((shard_of(unsaved, 2) == 1).sum())
    with pytest.warns(RuntimeWarning, match=f"shard 1 was restarted from its last save; "
                                            f"the {lost} vectors added to it after that "
                                            f"save are lost"):
        total = len(index)
    in_shard = [int((shard_of(part, 2) == s).sum()) for part, s in
                [(saved, 0), (unsaved, 0), (big, 0), (saved, 1)]]
    assert total == sum(in_shard)
    hits = index.search(rng.standard_normal(dim).astype(np.float32), 5)
    assert len(hits) == 5


def test_search_on_a_shard_that_never_comes_back_raises_naming_it(make):
    index = make(8, 2, restart_timeout=2.0)
    index.add(np.arange(100), np.random.default_rng(2).standard_normal((100, 8)).astype("f4"))
    kill_shard(index, 0, restart=False)
    started = time.monotonic()
    with pytest.raises(ShardUnavailableError) as info:
        index.search_batch(np.ones((3, 8), np.float32), 5)
    assert time.monotonic() - started < 30
    assert str(info.value) == (
        "search_batch failed on shard 0 (unavailable: its actor died and was not serving "
        "again within 2 s); shards that answered: 1")
    assert list(info.value.failed) == [0] and info.value.accepted == (1,)


def test_actor_state_is_read_from_ray(make):
    # A queued call to a restarting shard is bounded by this state; it must keep
    # working with the pinned Ray version.
    from kivo.distributed.sharded import _actor_state

    index = make(8, 1)
    assert _actor_state(index._actors[0]) == "ALIVE"
    kill_shard(index, 0, restart=False)
    deadline = time.monotonic() + 30
    while _actor_state(index._actors[0]) != "DEAD" and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _actor_state(index._actors[0]) == "DEAD"


def test_restart_before_any_save_reopens_empty_and_warns(make):
    index = make(8, 2)
    ids = np.arange(60, dtype=np.uint64)
    index.add(ids, np.random.default_rng(4).standard_normal((60, 8)).astype("f4"))
    kill_shard_and_wait(index, 0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        remaining = len(index)
    assert remaining == int((shard_of(ids, 2) == 1).sum())
    lost = 60 - remaining
    assert [str(w.message) for w in caught] == [
        f"shard 0 was restarted empty, as it was never saved; the {lost} vectors added to "
        f"it are lost"]
    assert index.restarts == (1, 0)


# -- two nodes ---------------------------------------------------------------------

@pytest.fixture
def two_nodes(local_ray):
    from ray.cluster_utils import Cluster

    if ray.is_initialized():
        ray.shutdown()
    try:
        cluster = Cluster(initialize_head=True, head_node_args={
            "num_cpus": 1, "include_dashboard": False, "object_store_memory": 128 * 2**20})
        cluster.add_node(num_cpus=1, object_store_memory=128 * 2**20)
    except Exception as e:  # noqa: BLE001 - environments without multi-node support
        pytest.skip(f"a two-node Ray cluster cannot start here: {e}")
    ray.init(address=cluster.address, logging_level="ERROR")
    cluster.wait_for_nodes()
    yield cluster
    ray.shutdown()
    cluster.shutdown()


def test_two_node_cluster_spreads_shards_and_matches_one_index(two_nodes, tmp_path):
    rng = np.random.default_rng(12)
    vectors = rng.standard_normal((800, 16)).astype(np.float32)
    ids = np.arange(800, dtype=np.uint64)
    queries = rng.standard_normal((10, 16)).astype(np.float32)
    one = Kivo(16, metric="l2")
    one.add(ids, vectors)
    with ShardedKivo(16, shards=2, metric="l2", cpus_per_shard=1) as index:
        nodes = {where["node_id"] for where in index.shard_locations()}
        assert len(nodes) == 2  # SPREAD put one shard on each node
        index.add(ids, vectors)
        got = index.search_batch(queries, 10)
        want = single_batch(one, queries, 10)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
        index.save(str(tmp_path / "two"))
    with ShardedKivo.load(str(tmp_path / "two"), cpus_per_shard=1) as loaded:
        np.testing.assert_array_equal(loaded.search_batch(queries, 10)[0], want[0])
