"""kivo.gpu.Scorer on both back ends: scores within the stated float32 bound, top k as the index's, padding."""
import subprocess
import sys

import numpy as np
import pytest

from kivo import Kivo

U = 2.0 ** -24  # float32 unit roundoff


@pytest.fixture(params=["torch", "numpy"])
def gpu(request, monkeypatch):
    """The kivo.gpu module with PyTorch present (CPU build) or absent."""
    if request.param == "torch":
        pytest.importorskip("torch")
    else:
        monkeypatch.setitem(sys.modules, "torch", None)  # `import torch` now fails
    import kivo.gpu

    return kivo.gpu


def unpack(codes, n4, padded):
    """Reference decoding of packed codes into per-coordinate codebook values."""
    n = codes.shape[0]
    pb4 = (n4 + 1) // 2
    b4 = codes[:, :pb4]
    nib = np.stack([b4 & 15, b4 >> 4], axis=2).reshape(n, -1)[:, :n4]
    b2 = codes[:, pb4:]
    pairs = np.stack([(b2 >> (2 * j)) & 3 for j in range(4)], axis=2).reshape(n, -1)[:, :padded - n4]
    return np.concatenate([Kivo.centroids_4bit()[nib], Kivo.centroids_2bit()[pairs]], axis=1)


def index_scores(index, query):
    """Every stored vector's score as the index computes it: {id: score}."""
    return {r["id"]: r["score"] for r in index.search(query, len(index))}


def tolerance(index, query):
    """Per stored vector: the bound on |Scorer score - index score| the module states."""
    q = index.transform_query_np(query).astype(np.float64)
    values = unpack(index.packed_data(), index.n4_dims, index.padded_dim).astype(np.float64)
    bound = 2 * index.padded_dim * U * (np.abs(values) * np.abs(q)).sum(axis=1)
    norms = index.vector_norms().astype(np.float64)
    if index.metric == "cosine":
        bound = bound / np.where(norms > 1e-9, norms, 1.0)
    return bound


CONFIGS = [
    pytest.param({"bit_width": 4}, id="4bit"),
    pytest.param({"bit_width": 2}, id="2bit"),
    pytest.param({"mixed_ratio": 0.5}, id="mixed"),
]


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("config", CONFIGS)
@pytest.mark.parametrize("block_rows", [None, 37], ids=["one-block", "blocks-of-37"])
def test_scores_and_top_k_agree_with_the_index(gpu, rng, monkeypatch, metric, config, block_rows):
    if block_rows is not None:  # many blocks: the running top k is merged across them
        monkeypatch.setattr(gpu, "_BLOCK_ELEMENTS", block_rows * 128)
    dim, n, k = 100, 1500, 10
    data = (rng.standard_normal((n, dim)) * rng.uniform(0.5, 3, (n, 1))).astype(np.float32)
    index = Kivo(dim, metric=metric, **config)
    if metric == "l2":
        index.fit(data[:300])
    ids = rng.permutation(10 * n)[:n].astype(np.uint64)
    index.add(ids, data)
    queries = rng.standard_normal((12, dim)).astype(np.float32)

    scorer = gpu.Scorer(index)
    got_ids, got_scores = scorer.search(queries, k)
    assert got_ids.dtype == np.uint64 and got_scores.dtype == np.float32
    assert got_ids.shape == got_scores.shape == (12, k)

    row_of = {int(i): r for r, i in enumerate(ids)}
    for qi, query in enumerate(queries):
        truth = index_scores(index, query)
        bound = tolerance(index, query)
        for vid, score in zip(got_ids[qi].tolist(), got_scores[qi].tolist()):
            assert abs(score - truth[vid]) <= bound[row_of[vid]], (vid, score, truth[vid])
        assert list(got_scores[qi]) == sorted(got_scores[qi], reverse=True)
        # Top k: a vector may differ from the index's choice only where its
        # index score is within the bounds of the k-th best (a near-tie).
        expected = [r["id"] for r in index.search(query, k)]
        kth = truth[expected[-1]]
        slack = 2 * bound.max()
        for vid in set(got_ids[qi].tolist()) ^ set(expected):
            assert abs(truth[vid] - kth) <= slack, (vid, truth[vid], kth)


def test_exact_ties_keep_the_earlier_stored_vector(gpu):
    index = Kivo(8, metric="dot")
    same = [1, 2, 3, 4, 5, 6, 7, 8]
    index.add([50, 30, 90, 10], [same, same, same, [8, 7, 6, 5, 4, 3, 2, 1]])
    ids, scores = gpu.Scorer(index).search([same], 2)
    assert ids.tolist() == [[50, 30]]
    assert scores[0, 0] == scores[0, 1]
    assert [r["id"] for r in index.search(same, 2)] == [50, 30]


def test_shapes_and_padding(gpu):
    index = Kivo(4, metric="dot")
    index.add([7, 8, 9], [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]])
    scorer = gpu.Scorer(index)
    ids, scores = scorer.search(np.eye(4, dtype=np.float32)[:2], 10)  # k' = min(k, n) = 3
    assert ids.shape == scores.shape == (2, 3)
    assert ids[0, 0] == 7 and ids[1, 0] == 8
    ids, scores = scorer.search([[np.nan, 0, 0, 0]], 2)
    assert ids.tolist() == [[2**64 - 1] * 2] and np.all(scores == -np.inf)
    for k, nq in [(0, 2), (5, 0)]:
        ids, scores = scorer.search(np.zeros((nq, 4), np.float32), k)
        assert ids.shape == scores.shape == (nq, min(k, 3))
    empty = gpu.Scorer(Kivo(4))
    assert empty.search(np.zeros((2, 4), np.float32), 5)[0].shape == (2, 0)


def test_snapshot_of_the_index_at_construction(gpu):
    index = Kivo(4, metric="dot")
    index.add([1], [[1, 0, 0, 0]])
    scorer = gpu.Scorer(index)
    index.add([2], [[2, 0, 0, 0]])
    assert len(scorer) == 1 and scorer.search([[1, 0, 0, 0]], 5)[0].tolist() == [[1]]


def test_version_1_file_scores_without_norms(gpu, tmp_path):
    index = Kivo(8, metric="cosine")
    index.add([1, 2], [[3, 0, 0, 0, 0, 0, 0, 0], [0, 0.5, 0, 0, 0, 0, 0, 0]])
    path = tmp_path / "v1.kivo"
    index.save(path)
    raw = path.read_bytes()
    header = bytearray(raw[:32])
    header[4:8] = (1).to_bytes(4, "little")  # format version 1: 32-byte header, no norms
    path.write_bytes(bytes(header) + raw[56:len(raw) - 8])
    old = Kivo.load(path)
    assert len(old.vector_norms()) == 0
    query = [1, 0.2, 0, 0, 0, 0, 0, 0]
    ids, scores = gpu.Scorer(old).search([query], 2)
    expected = old.search(query, 2)
    assert ids[0].tolist() == [r["id"] for r in expected] == [1, 2]
    # Unadjusted scores: dividing by the norms (about sqrt(8)) would be far off.
    assert np.allclose(scores[0], [r["score"] for r in expected], rtol=1e-5)


@pytest.mark.parametrize("make, args, exc, message", [
    (lambda: Kivo(4, index_type="hnsw"), None, RuntimeError, "packed_data() is only available for BruteForce indexes"),
    (lambda: "not an index", None, TypeError, "Scorer() needs a Kivo index, not str"),
    (lambda: Kivo(4), ([1, 2, 3, 4], 1), ValueError, "queries must be a 2-D array of shape [nq, 4], got 1 dimension(s)"),
    (lambda: Kivo(4), ([[1, 2, 3]], 1), ValueError, "query dimension mismatch: expected 4, got 3"),
    (lambda: Kivo(4), ([[1, 2, 3, 4]], -1), ValueError, "k must be at least 0, got -1"),
    (lambda: Kivo(4), ([[1, 2, 3, 4]], 1.5), TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_errors(gpu, make, args, exc, message):
    with pytest.raises(exc) as info:
        scorer = gpu.Scorer(make())
        scorer.search(*args)
    assert str(info.value) == message


def test_device_choice(gpu):
    scorer = gpu.Scorer(Kivo(4))
    if scorer.backend == "numpy":
        assert scorer.device == "cpu"
        with pytest.raises(ImportError, match="needs PyTorch"):
            gpu.Scorer(Kivo(4), device="cuda")
    else:
        import torch

        assert scorer.device == ("cuda" if torch.cuda.is_available() else "cpu")
        assert gpu.Scorer(Kivo(4), device="cpu").device == "cpu"


def test_import_kivo_loads_neither_gpu_nor_torch_nor_numpy():
    code = "import sys, kivo; print(sorted(m for m in ('kivo.gpu', 'torch', 'numpy') if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
