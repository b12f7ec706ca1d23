"""Kivo quickstart: index 50,000 embeddings with each index type, measure recall, speed and size,
then save, reload and check that the reloaded index answers identically.

Run:  bash scripts/quickstart.sh
(or, inside a virtual environment: pip install ".[numpy]" && python3 examples/quickstart.py)
"""
import os
import sys
import tempfile
import time

import numpy as np

import kivo
from kivo import Kivo

N, DIM, N_QUERIES, K = 50_000, 384, 100, 10
N_CENTRES = 300


def make_data(rng):
    """Embeddings drawn around a few hundred Gaussian centres, like topics in a corpus."""
    centres = rng.standard_normal((N_CENTRES, DIM)).astype(np.float32)
    def draw(n):
        labels = rng.integers(0, N_CENTRES, n)
        return (centres[labels] + 0.8 * rng.standard_normal((n, DIM))).astype(np.float32)
    return draw(N), draw(N_QUERIES)


def exact_top_k(data, queries, k):
    """Exact cosine top-k by float32 NumPy search: the ground truth for recall."""
    d = data / np.linalg.norm(data, axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    scores = q @ d.T
    top = np.argpartition(-scores, k, axis=1)[:, :k]
    return [set(row.tolist()) for row in top]


INTERACTIVE = sys.stdout.isatty()


def progress(label, done, total):
    if INTERACTIVE:
        width = 30
        filled = width * done // total
        sys.stdout.write(f"\r  {label:<10} [{'#' * filled}{'.' * (width - filled)}] {done:>6,}/{total:,}")
    elif done == total:
        sys.stdout.write(f"  {label:<10} added {total:,}")
    sys.stdout.flush()


def build_index(index_type, data, **params):
    index = Kivo(DIM, metric="cosine", index_type=index_type, **params)
    start = time.perf_counter()
    step = 5_000
    for lo in range(0, N, step):
        hi = min(lo + step, N)
        # A C-ordered float32 matrix is read in place, without a copy.
        index.add(np.arange(lo, hi, dtype=np.uint64), data[lo:hi])
        progress(index.index_type, hi, N)
    if index.index_type == "IvfFlat":
        sys.stdout.write(", k-means...")
        sys.stdout.flush()
    index.build()
    seconds = time.perf_counter() - start
    sys.stdout.write(f"\r{' ' * 79}\r" if INTERACTIVE else "\n")
    return index, seconds


def run_queries(index, queries):
    start = time.perf_counter()
    results = [index.search(q, K) for q in queries]
    return results, time.perf_counter() - start


def main():
    rng = np.random.default_rng(42)
    print(f"kivo {kivo.__version__} quickstart: {N:,} vectors of dimension {DIM} around {N_CENTRES} "
          f"Gaussian centres, cosine, {N_QUERIES} queries, k={K}")
    data, queries = make_data(rng)
    truth = exact_top_k(data, queries, K)

    configs = [
        ("brute_force", {}),
        ("ivf_flat", {"ivf_nlist": 128, "ivf_nprobe": 16}),
        ("hnsw", {"hnsw_m": 32, "hnsw_ef_construction": 100, "hnsw_ef_search": 128}),
    ]
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for index_type, params in configs:
            index, build_s = build_index(index_type, data, **params)
            results, search_s = run_queries(index, queries)
            recall = np.mean([len({r["id"] for r in res} & t) / K for res, t in zip(results, truth)])

            path = os.path.join(tmp, f"{index_type}.kivo")
            index.save(path)
            file_bytes = os.path.getsize(path)
            loaded = Kivo.load(path)
            reloaded, _ = run_queries(loaded, queries)
            identical = reloaded == results
            rows.append((index.index_type, build_s, recall, N_QUERIES / search_s, index.packed_bytes_per_vec,
                         file_bytes / N, identical))
            print(f"  {index.index_type:<10} built in {build_s:5.1f} s, saved {file_bytes / 2**20:.1f} MiB, "
                  f"reloaded: {'identical results' if identical else 'RESULTS DIFFER'}")

    print()
    print(f"{'index':<11}{'build s':>8}{'recall@10':>11}{'queries/s':>11}{'code bytes':>12}{'file bytes/vec':>16}")
    for name, build_s, recall, qps, code_bytes, file_per_vec, _ in rows:
        print(f"{name:<11}{build_s:>8.1f}{recall:>11.3f}{qps:>11,.0f}{code_bytes:>12}{file_per_vec:>16.1f}")
    print(f"(float32 storage would take {DIM * 4} bytes per vector)")
    if not all(row[-1] for row in rows):
        sys.exit("a reloaded index answered differently")


if __name__ == "__main__":
    main()
