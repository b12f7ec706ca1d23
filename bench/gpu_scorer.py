"""Throughput of kivo.gpu.Scorer against the index's own search on the synthetic set.

One batch of queries over a brute-force 4-bit cosine index of the synthetic
mixture set (bench/kb_data.py, dimension 384): Scorer on its CPU back ends
(PyTorch, with its default and with one thread, and NumPy) against
Kivo.search_batch where the build has it and a loop of Kivo.search. Reports
queries per wall-clock second and per CPU-second (process CPU time, all
threads), the recall@k of each against the index's own results, and the load.

Run after `pip install ".[gpu]"` (tqdm for the data set's progress bar):
    python3 bench/gpu_scorer.py [--n 1000000] [--nq 1000] [--k 10]
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kb_data  # noqa: E402

from kivo import Kivo  # noqa: E402


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return result, time.perf_counter() - wall, time.process_time() - cpu


def report(name, nq, wall, cpu, recall, threads):
    print(f"{name:<34}{threads:>8}{nq / wall:>12,.1f}{nq / cpu:>14,.1f}{recall:>10.4f}", flush=True)


def recall_against(reference, ids):
    hits = sum(len(set(r) & set(i)) for r, i in zip(reference, ids))
    return hits / sum(len(r) for r in reference)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--nq", type=int, default=1000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--search-queries", type=int, default=200,
                    help="queries timed for the Kivo.search loop (it answers one at a time)")
    args = ap.parse_args()

    print(f"load before: {os.getloadavg()}", flush=True)
    ds = kb_data.synthetic_dataset(args.n, args.nq, 384, 7)
    base = np.load(ds["base"], mmap_mode="r")
    queries = np.ascontiguousarray(np.load(ds["queries"])[:args.nq])
    index = Kivo(384)
    step = 100_000
    (_, add_wall, add_cpu) = timed(lambda: [index.add(np.arange(s, min(s + step, args.n), dtype=np.uint64),
                                                      np.ascontiguousarray(base[s:s + step]))
                                            for s in range(0, args.n, step)])
    print(f"index of {len(index):,} vectors built in {add_wall:.1f} s wall, {add_cpu:.1f} s CPU", flush=True)

    print(f"{'':<34}{'threads':>8}{'q/s wall':>12}{'q/s CPU-s':>14}{'recall':>10}")
    nq_search = min(args.search_queries, args.nq)
    reference, wall, cpu = timed(lambda: [[r["id"] for r in index.search(q, args.k)] for q in queries[:nq_search]])
    report(f"Kivo.search loop ({nq_search} queries)", nq_search, wall, cpu, 1.0, 1)

    if hasattr(index, "search_batch"):
        (ids, _), wall, cpu = timed(lambda: index.search_batch(queries, args.k))
        report("Kivo.search_batch", args.nq, wall, cpu, recall_against(reference, ids.tolist()), "pool")

    import kivo.gpu

    try:
        import torch
    except ImportError:
        torch = None
    if torch is not None:
        default_threads = torch.get_num_threads()
        for threads in sorted({default_threads, 1}, reverse=True):
            torch.set_num_threads(threads)
            scorer = kivo.gpu.Scorer(index, device="cpu")
            (ids, _), wall, cpu = timed(lambda: scorer.search(queries, args.k))
            report("Scorer, PyTorch CPU", args.nq, wall, cpu, recall_against(reference, ids.tolist()), threads)
        torch.set_num_threads(default_threads)
        del scorer
    sys.modules["torch"] = None
    scorer = kivo.gpu.Scorer(index)
    (ids, _), wall, cpu = timed(lambda: scorer.search(queries, args.k))
    report("Scorer, NumPy", args.nq, wall, cpu, recall_against(reference, ids.tolist()), "BLAS")
    print(f"load after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
