#!/usr/bin/env python3
"""Throughput of Kivo's exact scans (brute force 4-bit, 2-bit and mixed, IVF-Flat at
nprobe 8 and 32) against FAISS RaBitQ fast-scan and PQ fast-scan of the same bits per
dimension, one core each, side by side in one process on the same queries: one query per
call, and the whole query set in one call (Kivo's search_batch on one thread, FAISS's
batched search on one OpenMP thread).

    pip install numpy faiss-cpu && python3 bench/prune_compare.py [--n 100000] [--queries 300]
        [--dataset synthetic|real]

Uses the cached synthetic Gaussian-mixture set of bench/kb_data.py, or its real set of
passage embeddings (built by bench/compare.py), cosine, with exact ground truth. Times are
process CPU time per query (the machine may be shared); the load average is printed with
the figures. Kivo's fraction of codes scored exactly is printed by the C++ benchmark
bench/bench_scan.cpp.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kb_libs  # noqa: E402

kb_libs.single_thread_env()

import numpy as np  # noqa: E402

import kb_data  # noqa: E402


def recall(found: list[list[int]], gt: np.ndarray, k: int) -> float:
    hits = sum(len(set(f[:k]) & set(g[:k].tolist())) for f, g in zip(found, gt))
    return hits / (len(found) * k)


def timed(search, queries, k):
    """CPU seconds per query (best of two passes) and the ids of the last pass."""
    best, ids = float("inf"), []
    for _ in range(2):
        t0 = time.process_time()
        ids = [search(q, k) for q in queries]
        best = min(best, time.process_time() - t0)
    return best / len(queries), ids


def timed_batch(search_all, queries, k):
    """The same for one call over all queries."""
    best, ids = float("inf"), []
    for _ in range(2):
        t0 = time.process_time()
        ids = search_all(queries, k)
        best = min(best, time.process_time() - t0)
    return best / len(queries), ids


def kivo_rows(base, queries, args):
    import kivo

    rows = []
    dim = base.shape[1]
    padded = 1 << (dim - 1).bit_length()
    configs = [("kivo bf 4-bit", dict(bit_width=4)), ("kivo bf 2-bit", dict(bit_width=2)),
               ("kivo bf mixed 3-bit", dict(bit_width=4, n4_dims=padded // 2))]
    for name, kw in configs:
        index = kivo.Kivo(dim, metric="cosine", **kw)
        index.add(np.arange(len(base), dtype=np.uint64), base)
        rows.append((name, index.packed_bytes_per_vec,
                     lambda q, k, ix=index: [r["id"] for r in ix.search(q, k)], kivo_batch(index)))
    for nprobe in (8, 32):
        index = kivo.Kivo(dim, metric="cosine", bit_width=4, index_type="ivf_flat",
                          ivf_nlist=args.nlist, ivf_nprobe=nprobe)
        index.add(np.arange(len(base), dtype=np.uint64), base)
        index.build()
        rows.append((f"kivo ivf 4-bit nprobe {nprobe}", index.packed_bytes_per_vec,
                     lambda q, k, ix=index: [r["id"] for r in ix.search(q, k)], kivo_batch(index)))
    return rows


def kivo_batch(index):
    def run(qs, k):
        ids, _ = index.search_batch(qs, k, threads=1)
        return [row.tolist() for row in ids]
    return run


def faiss_rows(base, queries, args):
    import faiss

    faiss.omp_set_num_threads(1)
    dim = base.shape[1]
    x = base / np.maximum(np.linalg.norm(base, axis=1, keepdims=True), 1e-30)
    rows = []

    def wrap(index):
        return lambda q, k: index.search(q[None, :], k)[1][0].tolist()

    def wrap_batch(index):
        return lambda qs, k: [row.tolist() for row in index.search(qs, k)[1]]

    def bytes_per_vec(index):
        return faiss.serialize_index(index).size / max(1, index.ntotal)

    for nbits in (4, 2):
        m = dim * nbits // 4  # 4-bit sub-quantizers over dim / m coordinates each
        pq = faiss.IndexPQFastScan(dim, m, 4, faiss.METRIC_INNER_PRODUCT)
        pq.train(x[: min(len(x), 50000)])
        pq.add(x)
        rows.append((f"faiss PQ fast-scan {nbits} bits/dim", bytes_per_vec(pq), wrap(pq), wrap_batch(pq)))
    for nbits in (4, 1):
        try:
            # Blocks of 32 codes, nbits per coordinate (FAISS 1.15 takes the bit count here).
            rq = faiss.IndexRaBitQFastScan(dim, faiss.METRIC_INNER_PRODUCT, 32, nbits)
            rq.train(x[: min(len(x), 50000)])
            rq.add(x)
            rows.append((f"faiss RaBitQ fast-scan {nbits}-bit", bytes_per_vec(rq), wrap(rq), wrap_batch(rq)))
        except Exception as e:  # older FAISS without it
            print(f"# RaBitQ fast-scan {nbits}-bit unavailable: {e}")
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100000)
    ap.add_argument("--queries", type=int, default=300)
    ap.add_argument("--nlist", type=int, default=256)
    ap.add_argument("--dataset", choices=("synthetic", "real"), default="synthetic")
    args = ap.parse_args()

    if args.dataset == "real":
        ds = kb_data.real_dataset(30000, 1000, 7, 2)
        name = "real passages"
    else:
        ds = kb_data.synthetic_dataset(args.n, args.queries, 384, 7)
        name = "synthetic"
    base = np.load(ds["base"], mmap_mode="r")[: args.n].astype(np.float32)
    queries = np.load(ds["queries"])[: args.queries].astype(np.float32)
    gt = np.load(kb_data.ground_truth(ds)["cosine"])[: len(queries)]
    qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)

    print(f"# {name} {len(base)} x {base.shape[1]}, cosine, {len(queries)} queries, one core; "
          f"load average before: {os.getloadavg()}")
    rows = kivo_rows(base, queries, args) + faiss_rows(base, qn, args)
    print(f"{'index':36} {'B/vec':>7} {'k':>4} {'QPS(cpu)':>10} {'batch QPS':>10} {'recall@k':>9}")
    for k in (1, 10, 100):
        for name, bpv, search, search_all in rows:
            qs = queries if name.startswith("kivo") else qn
            sec, ids = timed(search, qs, k)
            bsec, bids = timed_batch(search_all, np.ascontiguousarray(qs), k)
            if name.startswith("kivo"):
                # The batch answers exactly what the loop of searches does.
                assert [row[: len(one)] for row, one in zip(bids, ids)] == ids, name
            print(f"{name:36} {bpv:7.0f} {k:4d} {1 / sec:10.0f} {1 / bsec:10.0f} {recall(ids, gt, k):9.3f}",
                  flush=True)
    print(f"# load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
