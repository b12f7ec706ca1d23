"""End to end for every index type and metric: add, search with and without allowlist, save, load."""
import numpy as np
import pytest
from conftest import clustered

from kivo import Kivo

DIM = 48
N = 600
INDEX_KWARGS = {
    "brute_force": {},
    "ivf_flat": {"ivf_nlist": 12, "ivf_nprobe": 12},
    "hnsw": {"hnsw_m": 32, "hnsw_ef_construction": 200, "hnsw_ef_search": 200},
}


def exact_top(data, query, metric, k):
    if metric == "cosine":
        d = data / np.linalg.norm(data, axis=1, keepdims=True)
        s = d @ (query / np.linalg.norm(query))
    elif metric == "dot":
        s = data @ query
    else:
        s = -np.sum((data - query) ** 2, axis=1)
    return set(np.argsort(-s)[:k].tolist())


@pytest.fixture(scope="module")
def dataset():
    # Norms near 1: the quantizer expects rotated coordinates near N(0, 1),
    # which dot and l2 (without fit) do not rescale.
    rng = np.random.default_rng(99)
    data = clustered(rng, N, DIM, centres=20, spread=0.4) / np.sqrt(DIM)
    queries = clustered(rng, 20, DIM, centres=20, spread=0.4) / np.sqrt(DIM)
    return data.astype(np.float32), queries.astype(np.float32)


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("index_type", ["brute_force", "ivf_flat", "hnsw"])
def test_end_to_end(tmp_path, dataset, index_type, metric):
    data, queries = dataset
    ids = np.arange(1000, 1000 + N, dtype=np.uint64)

    from_array = Kivo(DIM, metric=metric, index_type=index_type, **INDEX_KWARGS[index_type])
    from_array.add(ids, data)
    from_lists = Kivo(DIM, metric=metric, index_type=index_type, **INDEX_KWARGS[index_type])
    for start in range(0, N, 200):  # several batches, as lists
        from_lists.add(ids[start:start + 200].tolist(), data[start:start + 200].tolist())
    for k in (from_array, from_lists):
        k.build()
        assert len(k) == N

    allow = ids[::7].tolist()
    allow_set = set(allow)
    recall = []
    for q in queries:
        a = from_array.search(q, 10)
        assert a == from_lists.search(q.tolist(), 10)
        assert len(a) == 10
        found = {r["id"] - 1000 for r in a}
        recall.append(len(found & exact_top(data, q, metric, 10)) / 10)
        filtered = from_array.search(q, 10, allow)
        if index_type == "brute_force":
            # the scan skips ids outside the list: the 10 best allowed ones
            assert len(filtered) == 10 and {r["id"] for r in filtered} <= allow_set
        else:
            # the graph and the lists filter their own top 10 afterwards
            assert filtered == [r for r in a if r["id"] in allow_set]
    assert np.mean(recall) >= 0.6, np.mean(recall)

    path = str(tmp_path / f"{index_type}-{metric}.kivo")
    from_array.save(path)
    loaded = Kivo.load(path)
    assert (loaded.index_type, loaded.metric, len(loaded)) == (from_array.index_type, metric, N)
    for q in queries:
        assert loaded.search(q, 10) == from_array.search(q, 10)
        assert loaded.search(q, 10, allow) == from_array.search(q, 10, allow)
    # a loaded index keeps working and can be saved again byte for byte
    again = str(tmp_path / "again.kivo")
    loaded.save(again)
    assert open(again, "rb").read() == open(path, "rb").read()


@pytest.mark.parametrize("kwargs", [{"bit_width": 2}, {"mixed_ratio": 0.5}, {"n4_dims": 16}])
def test_bit_layouts_round_trip(tmp_path, dataset, kwargs):
    data, queries = dataset
    k = Kivo(DIM, **kwargs)
    k.add(np.arange(N), data)
    path = str(tmp_path / "layout.kivo")
    k.save(path)
    loaded = Kivo.load(path)
    assert loaded.n4_dims == k.n4_dims and loaded.bit_width == k.bit_width
    assert np.array_equal(loaded.packed_data(), k.packed_data())
    assert loaded.search(queries[0], 5) == k.search(queries[0], 5)


def test_l2_with_fit_round_trip(tmp_path, dataset):
    data, queries = dataset
    scaled = data * 30 + 5
    k = Kivo(DIM, metric="l2")
    k.fit(scaled[:200])
    k.add(np.arange(N), scaled)
    path = str(tmp_path / "fit.kivo")
    k.save(path)
    loaded = Kivo.load(path)
    q = queries[0] * 30 + 5
    assert loaded.search(q, 10) == k.search(q, 10)
    assert np.array_equal(loaded.transform_query_np(q), k.transform_query_np(q))
