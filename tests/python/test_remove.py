"""remove and upsert: counts with repeated ids, removed ids never returned (filtered or not, before and
after save/load), every index type, metric and code mode; argument rules shared with add; refused input."""
import numpy as np
import pytest
from conftest import clustered, raises_exact

from kivo import Kivo

DIM = 12
TYPES = ["brute_force", "ivf_flat", "hnsw"]
MODES = [("cosine", {}), ("dot", {"bit_width": 2}), ("l2", {"mixed_ratio": 0.5})]


def make(index_type, metric="cosine", **kw):
    extra = {"ivf_nlist": 4, "ivf_nprobe": 4} if index_type == "ivf_flat" else {}
    if index_type == "hnsw":
        extra = {"hnsw_m": 6, "hnsw_ef_construction": 40}
    return Kivo(DIM, metric=metric, index_type=index_type, **extra, **kw)


def searchers(index):
    """Every way of asking the index, each returning the list of ids it answers."""
    def single(q, k, allow):
        return [r["id"] for r in index.search(q, k, allow)]
    out = [single]
    if hasattr(index, "search_batch"):
        def batch(q, k, allow):
            ids, _ = index.search_batch(np.asarray([q], np.float32), k, allowlist=allow)
            return [int(i) for i in ids[0] if i != 2**64 - 1]
        out.append(batch)
    return out


def assert_never_returned(index, queries, gone, allow):
    for ask in searchers(index):
        for q in queries:
            for al in (None, allow):
                hits = ask(q, 200, al)
                assert not gone & set(hits), (gone & set(hits))


@pytest.mark.parametrize("index_type", TYPES)
@pytest.mark.parametrize("metric, mode", MODES)
def test_removed_ids_never_come_back(index_type, metric, mode, rng, tmp_path):
    data = clustered(rng, 120, DIM, centres=5, spread=0.4)
    ids = [i // 2 if i % 6 == 0 else 1000 + i for i in range(120)]  # ids 0, 3, 6, ... stored twice
    k = make(index_type, metric, **mode)
    k.add(ids, data)
    k.build()
    queries = data[::10]
    gone = {0, 3, 1001, 1007, 1119}
    stored = sum(1 for i in ids if i in gone)
    assert k.remove(list(gone) + [0, 424242]) == stored  # repeats and unknown ids
    assert len(k) == 120 - stored
    assert k.remove(list(gone)) == 0
    allow = [0, 3, 1001, 1002, 1004, 1005, 6, 9]
    assert_never_returned(k, queries, gone, allow)

    path = tmp_path / "after.kivo"
    k.save(str(path))
    loaded = Kivo.load(str(path))
    assert len(loaded) == len(k)
    assert_never_returned(loaded, queries, gone, allow)
    for q in queries:
        assert loaded.search(q, 10) == k.search(q, 10)


@pytest.mark.parametrize("index_type", TYPES)
def test_pending_and_built_counts_of_ivf_and_others(index_type, rng):
    k = make(index_type)
    k.add(range(50), clustered(rng, 50, DIM))
    k.build()
    k.add([7, 60, 61], clustered(rng, 3, DIM))  # for IVF: pending until build()
    removed = k.remove([7, 60])
    assert removed == 3  # the built 7, the pending 7 and 60
    k.build()
    assert len(k) == 50 - 1 + 1


@pytest.mark.parametrize("index_type", TYPES)
def test_remove_everything_then_add_again(index_type, rng):
    k = make(index_type)
    k.add(range(30), clustered(rng, 30, DIM))
    k.build()
    assert k.remove(range(30)) == 30
    assert len(k) == 0 and k.is_empty()
    with raises_exact(RuntimeError, "index is empty"):
        k.search([1.0] * DIM, 1)
    k.add([5], clustered(rng, 1, DIM))
    k.build()
    assert [r["id"] for r in k.search([1.0] * DIM, 3)] == [5]


@pytest.mark.parametrize("index_type", TYPES)
def test_upsert_replaces_all_copies(index_type, rng):
    k = make(index_type)
    data = clustered(rng, 40, DIM)
    k.add([1, 2, 2, 3] + list(range(10, 46)), data)
    k.build()
    new = clustered(np.random.default_rng(9), 2, DIM) + 3.0
    k.upsert([2, 99], new)
    k.build()
    assert len(k) == 40 - 2 + 2
    hits = [r["id"] for r in k.search(new[0], 40)]
    assert hits[0] == 2 and hits.count(2) == 1
    assert k.search(new[1], 1)[0]["id"] == 99


@pytest.mark.parametrize("ids", [
    [7, 5], (7, 5), range(5, 9, 2), np.array([7, 5], np.int64), np.array([7, 5], np.uint8),
    np.array([7, 0, 5], np.int16)[::2], [np.int64(7), True],
])
def test_id_forms_like_add(ids):
    k = Kivo(2)
    k.add([1, 5, 7, 9], [[1, 0], [0, 1], [1, 1], [1, 2]])
    expected = {int(i) for i in ids}
    assert k.remove(ids) == len(expected & {1, 5, 7, 9})
    assert set(k.vector_ids().tolist()) == {1, 5, 7, 9} - expected


@pytest.mark.parametrize("ids, exc, message", [
    ("123", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ({1, 2}, TypeError, "argument 'ids': 'set' object cannot be converted to 'Sequence'"),
    ([1, 2.0], TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
    ([1, -3], OverflowError, "can't convert negative int to unsigned"),
    ([2**64], OverflowError, "int too big to convert"),
])
def test_id_errors_like_add(ids, exc, message):
    k = Kivo(2)
    k.add([1, 2], [[1, 0], [0, 1]])
    with raises_exact(exc, message):
        k.remove(ids)
    with raises_exact(exc, message):
        k.upsert(ids, [[1, 0], [0, 1]])
    assert k.vector_ids().tolist() == [1, 2]


@pytest.mark.parametrize("call, exc, message", [
    (lambda k: k.remove(), TypeError, "Kivo.remove() missing 1 required positional argument: 'ids'"),
    (lambda k: k.remove([1], [2]), TypeError, "Kivo.remove() takes 1 positional arguments but 2 were given"),
    (lambda k: k.upsert([1]), TypeError, "Kivo.upsert() missing 1 required positional argument: 'vectors'"),
    (lambda k: k.upsert(ids=[1], vecs=[]), TypeError, "Kivo.upsert() got an unexpected keyword argument 'vecs'"),
    (lambda k: k.upsert([1, 2], [[0.0] * 4, [0.0] * 3]), ValueError, "vector 1 dimension mismatch: expected 4, got 3"),
    (lambda k: k.upsert([1, 2], np.zeros((2, 3), np.float32)), ValueError, "vector dimension mismatch: expected 4, got 3"),
    (lambda k: k.upsert([1, 2, 3], np.zeros((2, 4), np.float32)), ValueError, "ids length (3) != vectors length (2)"),
    (lambda k: k.upsert([1, 2, 3], [[0.0] * 4] * 2), ValueError, "ids length (3) != vectors length (2)"),
    (lambda k: k.upsert([1], [[0.0] * 3 + ["x"]]), TypeError, "must be real number, not str"),
])
@pytest.mark.parametrize("index_type", TYPES)
def test_refused_calls_leave_the_index_unchanged(index_type, call, exc, message):
    k = Kivo(4, index_type=index_type)
    k.add([1, 2], [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0]])
    k.build()
    before = [k.search(q, 5) for q in ([1, 0, 0, 0], [0, 1, 0, 0])]
    with raises_exact(exc, message):
        call(k)
    assert len(k) == 2
    assert [k.search(q, 5) for q in ([1, 0, 0, 0], [0, 1, 0, 0])] == before


def test_empty_calls():
    k = Kivo(3)
    assert k.remove([]) == 0 and k.remove([1]) == 0
    k.upsert([], [])
    k.upsert(np.array([], np.uint64), np.zeros((0, 3), np.float32))
    assert len(k) == 0


class Callback:
    """A number whose __index__ / __float__ runs `action` first."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


def test_exclusive_access(rng):
    k = Kivo(4)
    k.add([1, 2], [[1.0, 0, 0, 0], [0, 1.0, 0, 0]])
    with raises_exact(RuntimeError, "Already mutably borrowed"):
        k.remove([Callback(lambda: k.search([1, 0, 0, 0], 1), 1)])
    with raises_exact(RuntimeError, "Already borrowed"):
        k.upsert([1], [[Callback(lambda: k.remove([2])), 0, 0, 0]])
    with raises_exact(RuntimeError, "Already borrowed"):
        k.add([3], [[Callback(lambda: k.upsert([1], [[0, 0, 1.0, 0]])), 0, 0, 0]])
    assert sorted(k.vector_ids().tolist()) == [1, 2]
    assert k.remove([1]) == 1


def test_docstrings():
    assert Kivo.remove.__doc__.startswith("Remove vectors from the index.")
    assert Kivo.remove.__text_signature__ == "($self, ids)"
    assert Kivo.upsert.__text_signature__ == "($self, ids, vectors)"
