"""Leak check: repeated calls of every method, on success and error paths, must not grow memory.

Python objects are counted with tracemalloc (a leaked reference keeps its
object's allocation alive); C++ buffers with the resident set size, over
calls whose buffers are large enough that a leak would show at once.
"""
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from kivo import Kivo

ITERATIONS = 3000
# One leaked small object per call would be >= 3000 * 28 bytes.
PY_BOUND = 16 * 1024


def python_growth(fn, iterations=ITERATIONS):
    for _ in range(50):
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(iterations):
            fn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def swallow(fn, exc):
    def call():
        try:
            fn()
        except exc:
            pass
        else:
            raise AssertionError("expected an error")
    return call


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    rng = np.random.default_rng(5)
    data = rng.standard_normal((64, 16)).astype(np.float32)
    k = Kivo(16)
    k.add(np.arange(1000, 1064), data)  # ids beyond the cached small ints
    path = str(tmp_path_factory.mktemp("leak") / "k.kivo")
    k.save(path)
    return k, data, path


class Reenter:
    def __init__(self, fn):
        self.fn = fn

    def __float__(self):
        self.fn()
        return 0.0


def cases(env):
    k, data, path = env
    q = data[0]
    ql = q.tolist()
    rows = data[:4].tolist()
    save_path = path + ".again"
    return {
        "construct": lambda: Kivo(16, metric="l2", index_type="hnsw"),
        "construct_bad_bit_width": swallow(lambda: Kivo(16, bit_width=3), ValueError),
        "construct_bad_metric": swallow(lambda: Kivo(16, metric="x"), ValueError),
        "construct_prefixed": swallow(lambda: Kivo(16, metric=None), TypeError),
        "construct_matching": swallow(lambda: Kivo(16, bogus=1), TypeError),
        "construct_overflow": swallow(lambda: Kivo(16, bit_width=300), OverflowError),
        "add_lists": lambda: Kivo(16).add([1, 2, 3, 4], rows),
        "add_array": lambda: Kivo(16).add(np.arange(4), data[:4]),
        "add_fortran": lambda: Kivo(16).add(np.arange(4), np.asfortranarray(data[:4])),
        "add_count_error": swallow(lambda: k.add([1], rows), ValueError),
        "add_ids_error": swallow(lambda: k.add("x", rows), TypeError),
        "add_row_error": swallow(lambda: k.add([1, 2], [ql, ql[:3]]), ValueError),
        "add_element_error": swallow(lambda: k.add([1], [ql[:15] + ["x"]]), TypeError),
        "search_list": lambda: k.search(ql, 10),
        "search_array_allowlist": lambda: k.search(q, 5, [1000, 1002, 1003, 70]),
        "search_k_error": swallow(lambda: k.search(q, 1.5), TypeError),
        "search_dim_error": swallow(lambda: k.search(ql[:3], 1), ValueError),
        "search_empty": swallow(lambda: Kivo(16).search(q, 1), RuntimeError),
        "search_noncontiguous": swallow(lambda: k.search(data[:, 0], 1), Exception),
        "access_conflict": swallow(lambda: k.add([1], [[Reenter(lambda: k.dim)] + ql[1:]]), RuntimeError),
        "fit": lambda: Kivo(16, metric="l2").fit(rows),
        "fit_error": swallow(lambda: Kivo(16, metric="l2").fit([]), ValueError),
        "build_and_setters": lambda: (k.build(), k.set_nprobe(4), k.set_ef_search(10)),
        "save": lambda: k.save(save_path),
        "save_error": swallow(lambda: k.save("/nonexistent-dir/x.kivo"), OSError),
        "load": lambda: Kivo.load(path),
        "load_missing": swallow(lambda: Kivo.load(path + ".missing"), OSError),
        "properties": lambda: (k.n_vectors, k.dim, k.bit_width, k.index_type, k.n4_dims, k.metric, k.padded_dim,
                               k.packed_bytes_per_vec, k.pb4_per_vec, repr(k), len(k), bool(k), k.is_empty(),
                               k.is_mixed()),
        "recommended_m": lambda: Kivo.recommended_m(10**7),
        "profile_variance": lambda: k.profile_variance(data[:8]),
        "optimal_n4_dims": lambda: k.optimal_n4_dims(rows, 3.0),
        "optimal_n4_dims_error": swallow(lambda: k.optimal_n4_dims(rows, "x"), TypeError),
        "accessors": lambda: (k.packed_data(), k.vector_norms(), k.vector_ids(), Kivo.centroids_2bit(),
                              Kivo.centroids_4bit(), k.transform_query_np(q)),
        "accessor_error": swallow(lambda: Kivo(16, index_type="hnsw").packed_data(), RuntimeError),
    }


CASE_NAMES = list(cases((None, np.zeros((4, 16), np.float32), "")).keys())


@pytest.mark.parametrize("name", CASE_NAMES)
def test_no_python_object_leak(env, name):
    fn = cases(env)[name]
    assert python_growth(fn) < PY_BOUND


def test_detector_sees_a_leak():
    kept = []
    assert python_growth(lambda: kept.append(object())) >= PY_BOUND


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_no_native_leak_on_large_buffers():
    rng = np.random.default_rng(8)
    data = rng.standard_normal((4000, 256)).astype(np.float32)
    k = Kivo(256)
    k.add(np.arange(4000), data)
    big_rows = data[:500].tolist()

    def work():
        k.packed_data()  # 512 KB copies
        k.vector_ids()
        Kivo(256).add(np.arange(500), data[:500])  # engine buffers, freed with the index
        try:
            k.add(list(range(500)), big_rows[:499])  # converted rows thrown away
        except ValueError:
            pass
        k.search(data[1], 100, list(range(0, 4000, 3)))

    for _ in range(5):
        work()
    gc.collect()
    before = rss_bytes()
    for _ in range(60):
        work()
    gc.collect()
    growth = rss_bytes() - before
    # A leak of any of these buffers would add >= 60 * 128 KB = 7.5 MB.
    assert growth < 6 * 1024 * 1024, growth


def test_instances_release_their_class(env):
    # Each instance of a heap type holds a reference to the class; memory
    # counts cannot see a missing release, since the class is never freed.
    path = env[2]
    gc.collect()
    before = sys.getrefcount(Kivo)
    for i in range(1000):
        len(Kivo(16) if i % 2 else Kivo.load(path))
    gc.collect()
    assert sys.getrefcount(Kivo) == before
