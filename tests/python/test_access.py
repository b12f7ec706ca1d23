"""Shared and exclusive access of an instance: conflicts raised when conversion code calls back in."""
import pytest
from conftest import raises_exact

from kivo import Kivo


class Callback:
    """A number whose __float__ / __index__ runs `action` first."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value
        self.result = None

    def __float__(self):
        self.result = self.action()
        return float(self.value)

    def __index__(self):
        self.result = self.action()
        return int(self.value)


@pytest.fixture
def index():
    k = Kivo(4)
    k.add([1, 2], [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0]])
    return k


# Calls made from inside a method that holds exclusive access (add, fit,
# build has no conversion, set_ef_search, set_nprobe).
READERS = [
    ("search", lambda k: k.search([1, 0, 0, 0], 1)),
    ("len", lambda k: len(k)),
    ("bool", lambda k: bool(k)),
    ("repr", lambda k: repr(k)),
    ("property", lambda k: k.n_vectors),
    ("is_empty", lambda k: k.is_empty()),
    ("save", lambda k: k.save("/nonexistent-dir/x.kivo")),
    ("packed_data", lambda k: k.packed_data()),
    ("transform_query_np", lambda k: k.transform_query_np([1, 0, 0, 0])),
    ("add", lambda k: k.add([9], [[0, 0, 1, 0]])),
]


@pytest.mark.parametrize("name, reader", READERS)
def test_reads_refused_during_add(index, name, reader):
    expected = "Already borrowed" if name == "add" else "Already mutably borrowed"
    cb = Callback(lambda: reader(index))
    with raises_exact(RuntimeError, expected):
        index.add([5], [[cb, 0, 0, 0]])
    assert len(index) == 2  # nothing was added, access is free again
    index.add([5], [[0, 0, 0, 1]])
    assert len(index) == 3


@pytest.mark.parametrize("exclusive_call", [
    lambda k, cb: k.set_nprobe(cb),
    lambda k, cb: k.set_ef_search(cb),
    lambda k, cb: k.add([cb], [[0, 0, 0, 1]]),
    lambda k, cb: k.fit([[cb, 0, 0, 0]]),
])
def test_every_exclusive_method_blocks_readers(index, exclusive_call):
    cb = Callback(lambda: index.dim, value=1)
    with raises_exact(RuntimeError, "Already mutably borrowed"):
        exclusive_call(index, cb)
    assert index.dim == 4


# Calls that need exclusive access, made while a reader holds shared access.
WRITERS = [
    lambda k: k.add([9], [[0, 0, 1, 0]]),
    lambda k: k.build(),
    lambda k: k.set_nprobe(1),
    lambda k: k.set_ef_search(1),
    lambda k: k.fit([[1, 0, 0, 0]]),
]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("shared_call", [
    lambda k, cb: k.search([cb, 0, 0, 0], 1),
    lambda k, cb: k.search([1, 0, 0, 0], cb),
    lambda k, cb: k.search([1, 0, 0, 0], 1, [cb]),
    lambda k, cb: k.transform_query_np([cb, 0, 0, 0]),
    lambda k, cb: k.profile_variance([[cb, 0, 0, 0]]),
    lambda k, cb: k.optimal_n4_dims([[1, 0, 0, 0]], cb),
])
def test_writers_refused_during_shared_access(index, shared_call, writer):
    cb = Callback(lambda: writer(index), value=1)
    with raises_exact(RuntimeError, "Already borrowed"):
        shared_call(index, cb)
    index.build()  # free again


def test_readers_share_access(index):
    inner = Callback(lambda: index.search([0, 1, 0, 0], 1))
    result = index.search([inner, 1, 0, 0], 2)
    assert [r["id"] for r in inner.result] == [2]
    assert len(result) == 2
    nested = Callback(lambda: (len(index), repr(index), index.is_mixed(), index.vector_ids().tolist()))
    index.transform_query_np([nested, 0, 0, 1])
    assert nested.result[0] == 2 and nested.result[3] == [1, 2]


def test_methods_without_access_work_anywhere(index, tmp_path):
    path = str(tmp_path / "a.kivo")
    index.save(path)
    cb = Callback(lambda: (Kivo.recommended_m(5), Kivo.centroids_2bit().shape, len(Kivo.load(path)),
                           Kivo(3).dim))
    index.add([7], [[cb, 0, 0, 0]])
    assert cb.result == (32, (4,), 2, 3)


class CallbackSequence:
    """A sequence whose items are produced by running `action`."""

    def __init__(self, action, items):
        self.action = action
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0:
            self.action()
        return self.items[i]


def test_sequence_iteration_calls_back(index):
    rows = CallbackSequence(lambda: index.search([1, 0, 0, 0], 1), [[0, 0, 1, 0]])
    with raises_exact(RuntimeError, "Already mutably borrowed"):
        index.add([3], rows)
    ids = CallbackSequence(lambda: index.build(), [1])
    with raises_exact(RuntimeError, "Already borrowed"):
        index.search([1, 0, 0, 0], 1, ids)


def test_access_released_after_every_error(index):
    for bad in [lambda: index.add([1], [[1, 2]]), lambda: index.search([1], 1), lambda: index.add("x", []),
                lambda: index.set_nprobe(-1), lambda: index.search([1, 0, 0, 0], 1.0)]:
        with pytest.raises(Exception):
            bad()
        index.set_nprobe(3)  # exclusive access is available again
