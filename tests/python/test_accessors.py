"""NumPy accessors: shapes, dtypes, copies, the BruteForce-only rule, and the external scoring contract."""
import numpy as np
import pytest
from conftest import clustered, raises_exact

from kivo import Kivo


def check_array(a, dtype, shape):
    assert type(a) is np.ndarray
    assert a.dtype == np.dtype(dtype) and a.dtype.isnative
    assert a.shape == shape
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata


def test_new_brute_force_index():
    k = Kivo(100)
    check_array(k.packed_data(), np.uint8, (0, k.packed_bytes_per_vec))
    check_array(k.vector_ids(), np.uint64, (0,))
    check_array(k.vector_norms(), np.float32, (0,))


def test_after_three_adds():
    k = Kivo(8, bit_width=2)
    k.add([7, 5, 9], [[1.0] * 8, [0.5] * 8, [-1.0] * 8])
    check_array(k.packed_data(), np.uint8, (3, 2))
    check_array(k.vector_norms(), np.float32, (3,))
    assert k.vector_ids().tolist() == [7, 5, 9]
    assert k.packed_data().strides == (2, 1)


@pytest.mark.parametrize("index_type", ["hnsw", "ivf_flat"])
@pytest.mark.parametrize("method", ["packed_data", "vector_norms", "vector_ids"])
def test_brute_force_only(index_type, method):
    k = Kivo(8, index_type=index_type, ivf_nlist=2, hnsw_m=4)
    with raises_exact(RuntimeError, f"{method}() is only available for BruteForce indexes"):
        getattr(k, method)()
    if index_type == "ivf_flat":
        k.add([1, 2, 3], np.eye(3, 8, dtype=np.float32))
        k.build()
        with raises_exact(RuntimeError, f"{method}() is only available for BruteForce indexes"):
            getattr(k, method)()


def test_centroids():
    for name, size in [("centroids_2bit", 4), ("centroids_4bit", 16)]:
        c = getattr(Kivo, name)()
        check_array(c, np.float32, (size,))
        assert np.all(np.diff(c) > 0)
        assert np.array_equal(c, -c[::-1])
        assert np.array_equal(getattr(Kivo(4), name)(), c)
    assert Kivo.centroids_2bit().view(np.uint32).tolist() == [0xBFC1555D, 0xBEE7D2C8, 0x3EE7D2C8, 0x3FC1555D]


def test_arrays_are_copies():
    k = Kivo(8)
    k.add([1, 2], [[1.0] * 8, [2.0, 1.0] * 4])
    for method in [k.packed_data, k.vector_norms, k.vector_ids, Kivo.centroids_4bit, Kivo.centroids_2bit,
                   lambda: k.transform_query_np([1.0] * 8)]:
        a = method()
        before = a.copy()
        a[...] = 0
        assert np.array_equal(method(), before)
    q = [1.0] * 8
    assert np.array_equal(k.search(q, 2), k.search(q, 2))


def test_arrays_outlive_the_index():
    k = Kivo(8)
    k.add([4], [[1.0] * 8])
    ids, codes = k.vector_ids(), k.packed_data()
    del k
    assert ids.tolist() == [4] and codes.shape == (1, 4)


def test_transform_query_np():
    k = Kivo(100)
    q = k.transform_query_np(np.ones(100, np.float32))
    check_array(q, np.float32, (128,))
    with raises_exact(ValueError, "query dimension mismatch: expected 100, got 99"):
        k.transform_query_np([0.0] * 99)
    for index_type in ["ivf_flat", "hnsw"]:
        assert np.array_equal(Kivo(100, index_type=index_type).transform_query_np(np.ones(100, np.float32)), q)


def unpack(codes, n4, padded):
    """Centroid values of every packed code (rows of `codes`)."""
    c4, c2 = Kivo.centroids_4bit(), Kivo.centroids_2bit()
    pb4 = (n4 + 1) // 2
    out = np.zeros((codes.shape[0], padded), np.float32)
    for j in range(n4):
        byte = codes[:, j // 2]
        nib = (byte & 0x0F) if j % 2 == 0 else (byte >> 4)
        out[:, j] = c4[nib]
    for j in range(padded - n4):
        byte = codes[:, pb4 + j // 4]
        out[:, n4 + j] = c2[(byte >> (2 * (j % 4))) & 3]
    return out


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("kwargs", [{}, {"bit_width": 2}, {"mixed_ratio": 0.5}])
def test_external_scoring_contract(rng, metric, kwargs):
    dim = 24
    data = clustered(rng, 30, dim)
    k = Kivo(dim, metric=metric, **kwargs)
    ids = rng.permutation(1000)[:30].astype(np.uint64)
    k.add(ids, data)
    query = rng.standard_normal(dim).astype(np.float32)
    q = k.transform_query_np(query)
    decoded = unpack(k.packed_data(), k.n4_dims, k.padded_dim)
    raw = np.array([np.float32(sum(np.float64(a) * np.float64(b) for a, b in zip(q, row))) for row in decoded])
    norms = k.vector_norms()
    if metric == "cosine":
        adjusted = np.where(norms > 1e-9, raw / norms, raw)
    elif metric == "l2":
        adjusted = raw + (norms * np.float32(-0.5)) * norms
    else:
        adjusted = raw
    results = k.search(query, 30)
    engine = {r["id"]: r["score"] for r in results}
    external = dict(zip(k.vector_ids().tolist(), adjusted.tolist()))
    assert engine.keys() == external.keys()
    for i in engine:
        assert engine[i] == pytest.approx(external[i], rel=1e-4, abs=1e-4)
