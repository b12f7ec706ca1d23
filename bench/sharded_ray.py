"""ShardedKivo on a local Ray cluster against one in-process Kivo index.

For 1, 2 and 4 shards on the same cores: build time, search_batch queries per
second and recall@10, and the cost of the fan-out and merge per query
(serialisation, actor calls, merge): the whole sharded call on shards of 1,000
vectors, where scanning costs little, is an upper bound of it; the driver's
CPU time per query and the merge alone are reported beside it. Data: the seeded Gaussian-mixture set of bench/kb_data.py
(cached), cosine, exact ground truth.

    python3 bench/sharded_ray.py                       # 1,000,000 x 384, 1,000 queries
    python3 bench/sharded_ray.py --n 200000 --shards 1,2

Needs `pip install ".[ray]" tqdm`. Prints a Markdown table and writes JSON.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kb_data  # noqa: E402

import ray  # noqa: E402

from kivo import Kivo  # noqa: E402
from kivo.distributed import ShardedKivo  # noqa: E402
from kivo.distributed.merge import merge_batches  # noqa: E402

CHUNK = 100_000


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def recall_at(found: np.ndarray, truth: np.ndarray, k: int) -> float:
    hits = [len(set(f[:k].tolist()) & set(t[:k].tolist())) for f, t in zip(found, truth)]
    return float(np.mean(hits)) / k


def batch_search(index, queries: np.ndarray, k: int, threads: int):
    """Kivo.search_batch when the index has it, else one search per query."""
    if hasattr(index, "search_batch"):
        return index.search_batch(queries, k, threads=threads)
    ids = np.full((len(queries), k), 2**64 - 1, np.uint64)
    for row, query in enumerate(queries):
        hits = index.search(query, k)
        ids[row, :len(hits)] = [h["id"] for h in hits]
    return ids, None


def timed(call, repeat: int = 1):
    """(best wall seconds, driver CPU seconds of that run, result)."""
    best = None
    for _ in range(repeat):
        wall0, cpu0 = time.perf_counter(), time.process_time()
        result = call()
        wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
        if best is None or wall < best[0]:
            best = (wall, cpu, result)
    return best


def add_in_chunks(index, base) -> None:
    for start in range(0, base.shape[0], CHUNK):
        rows = np.ascontiguousarray(base[start:start + CHUNK], dtype=np.float32)
        index.add(np.arange(start, start + len(rows), dtype=np.uint64), rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--shards", default="1,2,4")
    parser.add_argument("--cpus", type=int, default=2, help="CPUs of the local Ray cluster")
    parser.add_argument("--tiny", type=int, default=1000,
                        help="vectors per shard for the overhead measurement")
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "sharded_ray.json"))
    args = parser.parse_args()
    shard_counts = [int(s) for s in args.shards.split(",")]

    ds = kb_data.synthetic_dataset(args.n, args.queries, args.dim, seed=42)
    truth = np.load(kb_data.ground_truth(ds)["cosine"])
    base = np.load(ds["base"], mmap_mode="r")
    queries = np.load(ds["queries"]).astype(np.float32)
    report: dict = {"n": args.n, "dim": args.dim, "queries": args.queries, "k": args.k,
                    "cpus": args.cpus, "load_before": load_average(), "rows": [],
                    # Without Kivo.search_batch both sides loop over single searches.
                    "kivo_search_batch": hasattr(Kivo, "search_batch")}
    print(f"# {args.n:,} x {args.dim}, {args.queries} queries, k={args.k}, "
          f"{args.cpus} CPUs; load average {report['load_before']}", flush=True)

    # One in-process index on the same cores.
    one = Kivo(args.dim)
    build_s, _, _ = timed(lambda: (add_in_chunks(one, base), one.build()))
    batch_search(one, queries[:10], args.k, args.cpus)
    wall, cpu, (ids, _) = timed(lambda: batch_search(one, queries, args.k, args.cpus))
    report["rows"].append({"setup": "one in-process index", "shards": 0, "build_s": build_s,
                           "search_s": wall, "qps": args.queries / wall,
                           "recall": recall_at(ids, truth, args.k),
                           "driver_cpu_s": cpu, "load": load_average()})
    print(report["rows"][-1], flush=True)
    bytes_per_vector = one.packed_bytes_per_vec + 12
    one = Kivo(args.dim)  # frees the big index before the shards start

    # Ray starts its workers at nice 15; on a machine shared with other work
    # that would starve the shards against the in-process index at nice 0.
    os.environ.setdefault("RAY_worker_niceness", "0")
    ray.init(num_cpus=args.cpus, include_dashboard=False, logging_level="ERROR",
             object_store_memory=2 * 2**30)
    for shards in shard_counts:
        threads = max(1, args.cpus // shards)
        with ShardedKivo(args.dim, shards=shards, cpus_per_shard=args.cpus / shards) as index:
            build_s, _, _ = timed(lambda: (add_in_chunks(index, base), index.build()))
            index.search_batch(queries[:10], args.k, threads=threads)
            wall, cpu, (ids, _) = timed(
                lambda: index.search_batch(queries, args.k, threads=threads))
            with tempfile.TemporaryDirectory() as directory:
                save_s, _, _ = timed(lambda: index.save(directory))
        report["rows"].append({"setup": f"ShardedKivo, {shards} shard(s)", "shards": shards,
                               "build_s": build_s, "search_s": wall,
                               "qps": args.queries / wall,
                               "recall": recall_at(ids, truth, args.k), "driver_cpu_s": cpu,
                               "save_s": save_s, "load": load_average()})
        print(report["rows"][-1], flush=True)

    # Fan-out and merge cost: the same batch against shards of `tiny` vectors each,
    # minus the in-process search of one shard's worth of vectors.
    small = np.ascontiguousarray(base[:args.tiny], dtype=np.float32)
    local = Kivo(args.dim)
    local.add(np.arange(args.tiny, dtype=np.uint64), small)
    local_s, _, _ = timed(lambda: batch_search(local, queries, args.k, 1), repeat=3)
    report["overhead"] = []
    for shards in shard_counts:
        with ShardedKivo(args.dim, shards=shards, cpus_per_shard=args.cpus / shards) as index:
            tiny_base = np.ascontiguousarray(base[:args.tiny * shards], dtype=np.float32)
            index.add(np.arange(len(tiny_base), dtype=np.uint64), tiny_base)
            index.search_batch(queries[:10], args.k)
            wall, cpu, _ = timed(lambda: index.search_batch(queries, args.k, threads=1),
                                 repeat=3)
        parts = [(np.zeros((args.queries, args.k), np.uint64),
                  np.random.default_rng(s).standard_normal((args.queries, args.k))
                  .astype(np.float32)) for s in range(shards)]
        merge_s, _, _ = timed(lambda: merge_batches(parts, args.k, args.queries), repeat=5)
        report["overhead"].append({
            "shards": shards, "tiny_per_shard": args.tiny, "sharded_s": wall,
            "in_process_s": local_s,
            "sharded_us_per_query": wall / args.queries * 1e6,
            "in_process_us_per_query": local_s / args.queries * 1e6,
            "merge_us_per_query": merge_s / args.queries * 1e6,
            "driver_cpu_us_per_query": cpu / args.queries * 1e6})
        print(report["overhead"][-1], flush=True)
    ray.shutdown()

    report["bytes_per_vector"] = bytes_per_vector
    report["load_after"] = load_average()
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(json.dumps(report, indent=1) + "\n")

    one_qps = report["rows"][0]["qps"]
    print("\n| setup | build s | search_batch QPS | vs one index | recall@10 | load |")
    print("|---|---|---|---|---|---|")
    for row in report["rows"]:
        print(f"| {row['setup']} | {row['build_s']:.1f} | {row['qps']:.1f} | "
              f"{row['qps'] / one_qps:.2f}x | {row['recall']:.3f} | {row['load']} |")
    print(f"\n| shards | sharded call on {args.tiny:,}-vector shards, µs/query | "
          f"in-process on {args.tiny:,} vectors, µs/query | merge µs/query | "
          f"driver CPU µs/query |")
    print("|---|---|---|---|---|")
    for row in report["overhead"]:
        print(f"| {row['shards']} | {row['sharded_us_per_query']:.1f} | "
              f"{row['in_process_us_per_query']:.1f} | {row['merge_us_per_query']:.2f} | "
              f"{row['driver_cpu_us_per_query']:.1f} |")


if __name__ == "__main__":
    main()
