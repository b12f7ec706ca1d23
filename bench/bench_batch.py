"""search_batch against a loop of search() and against FAISS / hnswlib batched search.

Run in a benchmark virtual environment that has kivo, faiss-cpu and hnswlib:
    python bench/bench_batch.py [--n 1000000] [--nq 1000] [--graph-n 50000]

Data: the cached synthetic Gaussian-mixture set of bench/kb_data.py (1,000,000 x 384
by default, cosine). Figures are queries per second from process CPU time for one
thread (robust on a shared machine) and wall time for two threads; `uptime` load is
printed with them. Ratios are measured side by side in one run.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import kb_data  # noqa: E402

K = 10


def load_avg() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def timed(fn):
    """(result, cpu seconds, wall seconds) of fn()."""
    # OpenMP workers of an earlier multi-threaded FAISS call spin for a while
    # after it returns; their spinning would count as this call's CPU time.
    time.sleep(0.5)
    c0, w0 = time.process_time(), time.perf_counter()
    out = fn()
    return out, time.process_time() - c0, time.perf_counter() - w0


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean([len(set(a[:K]) & set(b[:K])) / K for a, b in zip(found.tolist(), truth.tolist())]))


def row(name, nq, cpu, wall, rec, note=""):
    r = dict(name=name, qps_cpu=nq / cpu if cpu > 0 else float("inf"), qps_wall=nq / wall, recall=rec, note=note,
             load=load_avg())
    print(f"  {name:<44} {r['qps_cpu']:>9.1f} q/s cpu {r['qps_wall']:>9.1f} q/s wall  recall@10 {rec:.3f}"
          f"  load {r['load']} {note}", flush=True)
    return r


def set_faiss_threads(faiss, n):
    faiss.omp_set_num_threads(n)


def brute_force(base, queries, truth, n_loop, results):
    import faiss
    import kivo

    dim = base.shape[1]
    normed_q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    for bits in (4, 2):
        index = kivo.Kivo(dim, bit_width=bits)
        for s in range(0, len(base), 100_000):
            index.add(np.arange(s, min(s + 100_000, len(base)), dtype=np.uint64), np.ascontiguousarray(base[s:s + 100_000]))
        print(f"kivo brute force {bits}-bit, {len(base):,} x {dim}, {index.packed_bytes_per_vec} B/vector", flush=True)
        loop_q = queries[:n_loop]
        loop, cpu, wall = timed(lambda: [index.search(q, K) for q in loop_q])
        ids_loop = np.array([[r["id"] for r in res] for res in loop], dtype=np.uint64)
        results.append(row(f"kivo-bf-{bits}bit search loop", n_loop, cpu, wall, recall(ids_loop, truth[:n_loop])))
        for threads in (1, 2):
            (ids, _), cpu, wall = timed(lambda: index.search_batch(queries, K, threads=threads))
            assert np.array_equal(ids[:n_loop], ids_loop), "search_batch rows differ from search()"
            results.append(row(f"kivo-bf-{bits}bit search_batch threads={threads}", len(queries), cpu, wall,
                               recall(ids, truth)))
        del index

    normed = base / np.linalg.norm(base, axis=1, keepdims=True)
    normed = np.ascontiguousarray(normed, dtype=np.float32)
    peers = [("faiss-sq4 IndexScalarQuantizer QT_4bit", lambda: faiss.IndexScalarQuantizer(
        dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)),
             ("faiss-flat IndexFlatIP", lambda: faiss.IndexFlatIP(dim)),
             ("faiss-pq4fs IndexPQFastScan M=dim 4-bit (4 bits/dim)", lambda: faiss.IndexPQFastScan(
                 dim, dim, 4, faiss.METRIC_INNER_PRODUCT))]
    if hasattr(faiss, "IndexRaBitQFastScan"):
        # Blocks of 32 codes; FAISS 1.15 takes the bits per coordinate last.
        peers.append(("faiss-rabitq-fs4 IndexRaBitQFastScan 4-bit", lambda: faiss.IndexRaBitQFastScan(
            dim, faiss.METRIC_INNER_PRODUCT, 32, 4)))
        peers.append(("faiss-rabitq-fs IndexRaBitQFastScan 1-bit", lambda: faiss.IndexRaBitQFastScan(
            dim, faiss.METRIC_INNER_PRODUCT)))
    if hasattr(faiss, "IndexRaBitQ"):
        peers.append(("faiss-rabitq IndexRaBitQ", lambda: faiss.IndexRaBitQ(dim, faiss.METRIC_INNER_PRODUCT)))
    for name, make in peers:
        set_faiss_threads(faiss, 2)
        index = make()
        if not index.is_trained:
            index.train(normed[:: max(1, len(normed) // 100_000)])
        index.add(normed)
        print(f"{name}", flush=True)
        for threads in (1, 2):
            set_faiss_threads(faiss, threads)
            (_, ids), cpu, wall = timed(lambda: index.search(normed_q, K))
            results.append(row(f"{name} threads={threads}", len(queries), cpu, wall, recall(ids, truth)))
        del index


def graphs(base, queries, results):
    """HNSW and IVF-Flat search_batch against hnswlib and FAISS IVFFlat, ef/nprobe swept."""
    import faiss
    import hnswlib
    import kivo

    n, dim = base.shape
    normed = np.ascontiguousarray(base / np.linalg.norm(base, axis=1, keepdims=True), dtype=np.float32)
    normed_q = np.ascontiguousarray(queries / np.linalg.norm(queries, axis=1, keepdims=True), dtype=np.float32)
    truth = np.argsort(-(normed_q @ normed.T), axis=1)[:, :K]
    print(f"graph indexes over {n:,} x {dim} (exact float truth)", flush=True)

    k_index, build_cpu, build_wall = timed(lambda: None)
    k_index = kivo.Kivo(dim, index_type="hnsw", hnsw_m=32, hnsw_ef_construction=200)
    _, cpu, wall = timed(lambda: k_index.add(np.arange(n, dtype=np.uint64), base))
    print(f"  kivo hnsw build {wall:.1f} s wall", flush=True)
    h = hnswlib.Index(space="ip", dim=dim)
    h.init_index(max_elements=n, M=32, ef_construction=200)
    h.set_num_threads(1)
    _, cpu, wall = timed(lambda: h.add_items(normed, np.arange(n)))
    print(f"  hnswlib build {wall:.1f} s wall (1 thread)", flush=True)
    # Swept until both reach recall 0.95 where they can.
    for ef in (16, 32, 64, 128, 256, 512):
        k_index.set_ef_search(ef)
        h.set_ef(ef)
        for threads in (1, 2):
            (ids, _), cpu, wall = timed(lambda: k_index.search_batch(queries, K, threads=threads))
            results.append(row(f"kivo-hnsw-4bit ef={ef} threads={threads}", len(queries), cpu, wall,
                               recall(ids, truth)))
            h.set_num_threads(threads)
            (ids, _), cpu, wall = timed(lambda: h.knn_query(normed_q, k=K))
            results.append(row(f"hnswlib-f32 ef={ef} threads={threads}", len(queries), cpu, wall,
                               recall(ids, truth)))

    nlist = 256
    k_ivf = kivo.Kivo(dim, index_type="ivf_flat", ivf_nlist=nlist)
    k_ivf.add(np.arange(n, dtype=np.uint64), base)
    k_ivf.build()
    quant = faiss.IndexFlatIP(dim)
    f_ivf = faiss.IndexIVFFlat(quant, dim, nlist, faiss.METRIC_INNER_PRODUCT)
    f_ivf.train(normed)
    f_ivf.add(normed)
    for nprobe in (2, 4, 8, 16, 32, 64, 128):
        k_ivf.set_nprobe(nprobe)
        f_ivf.nprobe = nprobe
        for threads in (1, 2):
            (ids, _), cpu, wall = timed(lambda: k_ivf.search_batch(queries, K, threads=threads))
            results.append(row(f"kivo-ivf-4bit nprobe={nprobe} threads={threads}", len(queries), cpu, wall,
                               recall(ids, truth)))
            faiss.omp_set_num_threads(threads)
            (_, ids), cpu, wall = timed(lambda: f_ivf.search(normed_q, K))
            results.append(row(f"faiss-ivfflat nprobe={nprobe} threads={threads}", len(queries), cpu, wall,
                               recall(ids, truth)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--nq", type=int, default=1000)
    ap.add_argument("--loop", type=int, default=50, help="queries timed in the search() loop")
    ap.add_argument("--graph-n", type=int, default=50_000)
    ap.add_argument("--skip-brute", action="store_true")
    ap.add_argument("--skip-graphs", action="store_true")
    ap.add_argument("--out", default=None)
    args = ap.parse_args()

    ds = kb_data.synthetic_dataset(1_000_000, 1000, 384, 7)
    base = np.load(ds["base"], mmap_mode="r")[: args.n]
    queries = np.ascontiguousarray(np.load(ds["queries"])[: args.nq], dtype=np.float32)
    print(f"load average at start: {load_avg()} ({os.cpu_count()} cores)", flush=True)
    results = []
    if not args.skip_brute:
        # Exact cosine truth over the float vectors, in chunks.
        qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        best_s = np.full((len(queries), K), -np.inf, np.float32)
        best_i = np.zeros((len(queries), K), np.int64)
        for s in range(0, len(base), 100_000):
            b = np.asarray(base[s:s + 100_000], dtype=np.float32)
            sc = qn @ (b / np.linalg.norm(b, axis=1, keepdims=True)).T
            alls = np.concatenate([best_s, sc], axis=1)
            alli = np.concatenate([best_i, np.arange(s, s + len(b))[None, :].repeat(len(queries), 0)], axis=1)
            top = np.argpartition(-alls, K, axis=1)[:, :K]
            best_s = np.take_along_axis(alls, top, 1)
            best_i = np.take_along_axis(alli, top, 1)
        brute_force(np.asarray(base), queries, best_i, args.loop, results)
    if not args.skip_graphs:
        graphs(np.ascontiguousarray(base[: args.graph_n], dtype=np.float32), queries, results)
    print(f"load average at end: {load_avg()}", flush=True)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
