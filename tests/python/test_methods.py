"""Method bindings: results of search, setters, build, recommendations, profiling, save and load."""
import math

import numpy as np
import pytest
from conftest import clustered, raises_exact

from kivo import Kivo


@pytest.fixture
def index(rng):
    k = Kivo(16, metric="dot")
    k.add(list(range(100, 140)), clustered(rng, 40, 16))
    return k


def test_search_result_shape(index, rng):
    results = index.search(rng.standard_normal(16).astype(np.float32), 5)
    assert type(results) is list and len(results) == 5
    for r in results:
        assert type(r) is dict and list(r) == ["id", "score"]
        assert type(r["id"]) is int and type(r["score"]) is float
        assert float(np.float32(r["score"])) == r["score"]  # a widened float32
    s = [r["score"] for r in results]
    assert s == sorted(s, reverse=True)


def test_search_k_zero_and_huge(index):
    assert index.search([1.0] * 16, 0) == []
    assert len(index.search([1.0] * 16, 2**64 - 1)) == 40


def test_search_allowlist(index):
    allowed = [101, 117, 139, 5000]
    results = index.search([1.0] * 16, 10, allowed)
    assert {r["id"] for r in results} == {101, 117, 139}
    assert index.search([1.0] * 16, 10, None) == index.search([1.0] * 16, 10)
    assert index.search([1.0] * 16, 10, []) == []  # an empty allowlist filters everything


def test_search_empty_index():
    with raises_exact(RuntimeError, "index is empty"):
        Kivo(4).search([1, 2, 3, 4], 1)


def test_is_empty_is_mixed():
    k = Kivo(100)
    assert k.is_empty() and not k.is_mixed()
    assert not Kivo(100, bit_width=2).is_mixed()
    assert Kivo(100, mixed_ratio=0.5).is_mixed()
    assert not Kivo(1).is_mixed()
    k.add([1], [[0.5] * 100])
    assert not k.is_empty()


@pytest.mark.parametrize("n, m", [(0, 32), (999_999, 32), (1_000_000, 64), (2**64 - 1, 64)])
def test_recommended_m(n, m):
    assert Kivo.recommended_m(n) == m
    assert Kivo(4).recommended_m(n=n) == m


def test_recommended_m_negative():
    with pytest.raises(OverflowError):
        Kivo.recommended_m(-1)


@pytest.mark.parametrize("index_type", ["brute_force", "ivf_flat"])
def test_set_ef_search_noop_without_graph(index_type):
    k = Kivo(4, index_type=index_type)
    assert k.set_ef_search(10) is None
    assert k.set_nprobe(10) is None


def test_build_brute_force_is_noop(index):
    before = index.search([1.0] * 16, 5)
    assert index.build() is None
    assert index.search([1.0] * 16, 5) == before


def test_ivf_flat_lifecycle(rng):
    data = clustered(rng, 300, 16)
    k = Kivo(16, index_type="ivf_flat", ivf_nlist=8, ivf_nprobe=1)
    with raises_exact(RuntimeError, "index is empty"):
        k.build()
    k.add(np.arange(300), data)
    with raises_exact(RuntimeError, "call build() before search() for IvfFlat indexes"):
        k.search(data[0], 5)
    k.set_nprobe(8)  # before build: lost
    k.build()
    assert len(k) == 300
    narrow = k.search(data[0], 50)
    k2 = Kivo(16, index_type="ivf_flat", ivf_nlist=8, ivf_nprobe=1)
    k2.add(np.arange(300), data)
    k2.build()
    assert k2.search(data[0], 50) == narrow  # nprobe set before build had no effect
    k.set_nprobe(8)  # after build: all lists probed
    wide = k.search(data[0], 50)
    exact = Kivo(16)
    exact.add(np.arange(300), data)
    assert wide == exact.search(data[0], 50)


def test_ivf_count_does_not_grow_before_next_build(rng):
    data = clustered(rng, 100, 8)
    k = Kivo(8, index_type="ivf", ivf_nlist=4)
    k.add(np.arange(80), data[:80])
    k.build()
    k.add(np.arange(80, 100), data[80:])
    assert len(k) == 80
    k.build()
    assert len(k) == 100


def test_hnsw_set_ef_search(rng):
    data = clustered(rng, 200, 16)
    k = Kivo(16, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=40)
    k.add(np.arange(200), data)
    assert len(k) == 200
    k.set_ef_search(200)
    wide = k.search(data[3], 10)
    assert wide[0]["id"] == 3
    k.set_ef_search(0)
    assert len(k.search(data[3], 10)) <= 10
    k.build()  # releases construction vectors, search still works
    k.set_ef_search(200)
    assert k.search(data[3], 10) == wide


def test_fit_l2(rng):
    data = clustered(rng, 60, 8) * 50 + 10
    k = Kivo(8, metric="l2")
    k.fit(data[:40])
    k.add(np.arange(60), data)
    with raises_exact(ValueError, "fit() must be called before add() \u2014 index already contains vectors"):
        k.fit(data[:10])
    assert k.search(data[5], 1)[0]["id"] == 5
    with raises_exact(ValueError, "sample is empty \u2014 provide at least 1 vector for profiling"):
        Kivo(8, metric="l2").fit([])


def test_fit_noop_for_other_metrics(rng):
    data = clustered(rng, 20, 8)
    a, b = Kivo(8, metric="dot"), Kivo(8, metric="dot")
    a.fit(data * 100)
    a.add(np.arange(20), data)
    b.add(np.arange(20), data)
    assert np.array_equal(a.packed_data(), b.packed_data())


def test_profile_variance(rng):
    k = Kivo(100)
    sample = rng.standard_normal((200, 100)).astype(np.float32)
    profile = k.profile_variance(sample)
    assert type(profile) is list and len(profile) == 128
    assert all(type(v) is float for v in profile)
    assert 0.8 < sum(profile) / len(profile) < 1.2
    assert k.profile_variance(sample) == profile
    assert k.profile_variance(sample[:1]) == [0.0] * 128
    assert len(k) == 0


def test_profile_variance_dot_scales_by_four(rng):
    k = Kivo(16, metric="dot")
    sample = rng.standard_normal((50, 16)).astype(np.float32)
    a = np.array(k.profile_variance(sample))
    b = np.array(k.profile_variance(sample * 2))
    assert np.allclose(b, 4 * a, rtol=1e-5)


@pytest.mark.parametrize("avg_bits, n4", [
    (2.0, 0), (3.0, 512), (3.5, 768), (4.0, 1024), (5.0, 1024), (100.0, 1024), (1.0, 0), (-3.0, 0), (3.3, 664),
    (math.nan, 0), (3, 512), (True, 0),
])
def test_optimal_n4_dims_1024(rng, avg_bits, n4):
    k = Kivo(1024)
    sample = rng.standard_normal((3, 1024)).astype(np.float32)
    assert k.optimal_n4_dims(sample, avg_bits) == n4
    assert k.optimal_n4_dims(avg_bits=avg_bits, sample_vecs=sample.tolist()) == n4


@pytest.mark.parametrize("dim, avg_bits, n4", [(8, 2.75, 0), (8, 3.0, 4), (2, 4.0, 0), (2, 3.0, 0), (4, 4.0, 4)])
def test_optimal_n4_dims_small(dim, avg_bits, n4):
    assert Kivo(dim).optimal_n4_dims([[1.0] * dim], avg_bits) == n4


def test_optimal_n4_dims_errors():
    k = Kivo(8)
    with raises_exact(ValueError, "sample is empty \u2014 provide at least 1 vector for profiling"):
        k.optimal_n4_dims([], 3.0)
    with raises_exact(ValueError, "vector 0 dimension mismatch: expected 8, got 3"):
        k.optimal_n4_dims([[1, 2, 3]], 3.0)


def test_save_and_load_round_trip(index, tmp_path, rng):
    path = str(tmp_path / "index.kivo")
    assert index.save(path) is None
    loaded = Kivo.load(path)
    assert type(loaded) is Kivo and loaded is not index
    for name in ["dim", "metric", "bit_width", "index_type", "n4_dims", "n_vectors", "padded_dim",
                 "packed_bytes_per_vec", "pb4_per_vec"]:
        assert getattr(loaded, name) == getattr(index, name)
    q = rng.standard_normal(16).astype(np.float32)
    assert loaded.search(q, 10) == index.search(q, 10)
    assert loaded.load(path).n_vectors == 40  # also callable on an instance


def test_save_unbuilt_ivf(tmp_path):
    k = Kivo(4, index_type="ivf_flat")
    k.add([1], [[1, 2, 3, 4]])
    with raises_exact(RuntimeError, "call build() before search() for IvfFlat indexes"):
        k.save(str(tmp_path / "x.kivo"))


def test_non_utf8_path_refused(index):
    with pytest.raises(UnicodeEncodeError):
        index.save("bad\udcff.kivo")
