"""Kivo.search_batch: rows equal to search(), NumPy results and padding, the
argument rules and messages, the pre-filter, the released interpreter lock
with the index still borrowed, and Ctrl-C."""
import os
import signal
import threading
import time

import numpy as np
import pytest

from kivo import Kivo

from conftest import clustered, raises_exact

NO_ID = 2**64 - 1

INDEXES = [
    dict(index_type="brute_force"),
    dict(index_type="ivf_flat", ivf_nlist=6, ivf_nprobe=2),
    dict(index_type="hnsw", hnsw_m=6, hnsw_ef_construction=30, hnsw_ef_search=10),
]
MODES = [dict(bit_width=4), dict(bit_width=2), dict(mixed_ratio=0.5)]


def tie_heavy(rng, n, dim):
    """Few distinct integer vectors, each many times: scores tie everywhere."""
    base = rng.integers(-3, 4, (5, dim)).astype(np.float32)
    return base[rng.integers(0, 5, n)]


def built(dim, data, ids=None, **kw):
    index = Kivo(dim, **kw)
    index.add(list(range(len(data))) if ids is None else ids, data)
    index.build()
    return index


@pytest.mark.parametrize("kind", INDEXES, ids=lambda k: k["index_type"])
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("mode", MODES, ids=["4bit", "2bit", "mixed"])
def test_rows_equal_search_bit_for_bit(rng, kind, metric, mode):
    dim = 20
    data = tie_heavy(rng, 150, dim)
    index = built(dim, data, ids=[int(i) * 31 % 997 for i in range(150)], metric=metric, **kind, **mode)
    queries = np.concatenate([tie_heavy(rng, 9, dim), rng.standard_normal((4, dim)).astype(np.float32)])
    for k in (1, 7, 200):
        for threads in (0, 1, 2, 3):
            ids, scores = index.search_batch(queries, k, threads=threads)
            width = min(k, len(index))
            assert ids.shape == scores.shape == (len(queries), width)
            assert ids.dtype == np.uint64 and scores.dtype == np.float32
            for row, q in enumerate(queries):
                one = index.search(q, k)
                n = len(one)
                assert ids[row, :n].tolist() == [r["id"] for r in one]
                want = np.array([r["score"] for r in one], dtype=np.float32)
                assert scores[row, :n].view(np.uint32).tolist() == want.view(np.uint32).tolist()
                assert (ids[row, n:] == NO_ID).all() and np.isneginf(scores[row, n:]).all()


def test_input_forms_give_the_same_answer(rng):
    dim = 12
    data = clustered(rng, 200, dim)
    index = built(dim, data)
    q = clustered(rng, 5, dim)
    want = index.search_batch(q, 4)
    for form in (q.tolist(), np.asfortranarray(q), q.astype(np.float64), q[::1], np.repeat(q, 2, axis=0)[::2],
                 tuple(map(tuple, q.tolist()))):
        got = index.search_batch(form, 4)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


def test_results_are_new_arrays_and_the_count_is_recoverable(rng):
    index = built(8, clustered(rng, 3, 8))
    q = clustered(rng, 2, 8)
    ids, scores = index.search_batch(q, 10)
    assert ids.shape == (2, 3)  # k' = min(k, len)
    assert ids.flags.c_contiguous and ids.flags.writeable and ids.base is None
    ids, scores = index.search_batch(q, 2, allowlist=[1])
    assert ((ids != NO_ID).sum(axis=1) == 1).all()
    assert ids[:, 0].tolist() == [1, 1] and np.isneginf(scores[:, 1]).all()
    ids, scores = index.search_batch(q, 0)
    assert ids.shape == (2, 0) and scores.shape == (2, 0)
    ids, _ = index.search_batch(q, 3, [])
    assert (ids == NO_ID).all()


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda i: i.search_batch(np.zeros(8, np.float32), 3), ValueError,
         "search_batch() takes a 2-D batch of queries [nq, dim], got a 1-D query: pass [query] or use search()"),
        (lambda i: i.search_batch([0.0] * 8, 3), ValueError,
         "search_batch() takes a 2-D batch of queries [nq, dim], got a 1-D query: pass [query] or use search()"),
        (lambda i: i.search_batch(np.zeros((2, 2, 8), np.float32), 3), ValueError,
         "search_batch() takes a 2-D batch of queries [nq, dim], got an array of 3 dimensions"),
        (lambda i: i.search_batch(np.zeros((0, 8), np.float32), 3), ValueError,
         "search_batch() needs at least one query, got 0"),
        (lambda i: i.search_batch([], 3), ValueError, "search_batch() needs at least one query, got 0"),
        (lambda i: i.search_batch(np.zeros((2, 7), np.float32), 3), ValueError,
         "query dimension mismatch: expected 8, got 7"),
        (lambda i: i.search_batch([[0.0] * 8, [0.0] * 7], 3), ValueError,
         "vector 1 dimension mismatch: expected 8, got 7"),
        (lambda i: i.search_batch(np.zeros((2, 8), np.float32), 2.0), TypeError,
         "argument 'k': 'float' object cannot be interpreted as an integer"),
        (lambda i: i.search_batch(np.zeros((2, 8), np.float32), 3, "ab"), TypeError,
         "argument 'allowlist': Can't extract `str` to `Vec`"),
        (lambda i: i.search_batch(np.zeros((2, 8), np.float32), 3, threads=-1), ValueError,
         "argument 'threads': must be 0 (every core) or a positive count, got -1"),
        (lambda i: i.search_batch(np.zeros((2, 8), np.float32), 3, threads=1.5), TypeError,
         "argument 'threads': 'float' object cannot be interpreted as an integer"),
        (lambda i: i.search_batch(np.zeros((2, 8), np.float32), 3, None, 2), TypeError,
         "Kivo.search_batch() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda i: i.search_batch(np.zeros((2, 8), np.float32)), TypeError,
         "Kivo.search_batch() missing 1 required positional argument: 'k'"),
    ],
)
def test_bad_input_messages(rng, call, exc, message):
    index = built(8, clustered(rng, 10, 8))
    with raises_exact(exc, message):
        call(index)


def test_negative_k_is_overflow_like_search(rng):
    index = built(8, clustered(rng, 10, 8))
    with pytest.raises(OverflowError):
        index.search_batch(np.zeros((1, 8), np.float32), -1)


def test_engine_errors_like_search():
    q = np.zeros((1, 8), np.float32)
    with raises_exact(RuntimeError, "index is empty"):
        Kivo(8).search_batch(q, 3)
    ivf = Kivo(8, index_type="ivf_flat")
    ivf.add([1], np.ones((1, 8), np.float32))
    with raises_exact(RuntimeError, "call build() before search() for IvfFlat indexes"):
        ivf.search_batch(q, 3)


@pytest.mark.parametrize("kind", INDEXES[1:], ids=["ivf_flat", "hnsw"])
def test_allowlist_prefilters_where_search_postfilters(rng, kind):
    dim = 16
    data = clustered(rng, 2000, dim)
    index = built(dim, data, **kind)
    exact = built(dim, data)
    allowed = rng.choice(2000, 30, replace=False).tolist()
    q = clustered(rng, 20, dim)
    ids, _ = index.search_batch(q, 10, allowed)
    truth, _ = exact.search_batch(q, 10, allowed)
    assert (ids != NO_ID).all() and set(ids.ravel().tolist()) <= set(allowed)
    assert np.mean([len(set(a) & set(b)) / 10 for a, b in zip(ids.tolist(), truth.tolist())]) >= 0.9
    # search keeps the post-filter: fewer than k come back.
    assert sum(len(index.search(x, 10, allowed)) for x in q) < 20 * 10


def big_index(rng):
    dim = 256
    index = Kivo(dim)
    index.add(list(range(60000)), rng.standard_normal((60000, dim)).astype(np.float32))
    return index, rng.standard_normal((400, dim)).astype(np.float32)


def test_lock_released_and_concurrent_add_is_refused(rng):
    index, q = big_index(rng)
    outcome = {}
    errors = []

    def run():
        outcome["result"] = index.search_batch(q, 5, threads=1)

    worker = threading.Thread(target=run)
    worker.start()
    ticks = 0
    while worker.is_alive():
        ticks += 1  # runs only because the lock is free
        try:
            index.add([10**9 + ticks], np.zeros((1, 256), np.float32))
        except RuntimeError as e:
            errors.append(str(e))
        time.sleep(0.001)
    worker.join()
    assert errors and set(errors) == {"Already borrowed"}
    assert outcome["result"][0].shape == (400, 5)


def test_ctrl_c_stops_the_call(rng):
    index, q = big_index(rng)
    q = np.repeat(q, 10, axis=0)
    timer = threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        index.search_batch(q, 5, threads=2)
    assert time.monotonic() - start < 5.0
    timer.cancel()
    # The index is usable (and free) afterwards.
    index.add([7], np.zeros((1, 256), np.float32))
