"""One measurement phase of one configuration, run in a fresh process so that resident
memory figures of different libraries do not mix: `build` (train + add, save) or `search`
(load the saved index, recall, latency and QPS over the knob sweep)."""

from __future__ import annotations

import argparse
import json
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kb_libs  # noqa: E402

kb_libs.single_thread_env()

import numpy as np  # noqa: E402
from tqdm import tqdm  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def loadavg() -> list[float]:
    with open("/proc/loadavg") as fh:
        return [float(x) for x in fh.read().split()[:3]]


def cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def make_adapter(cfg: dict, metric: str, dim: int) -> kb_libs.Adapter:
    return kb_libs.ADAPTERS[cfg["lib"]](metric, dim, cfg["params"])


def phase_build(cfg, args) -> dict:
    base = np.load(args.base)
    ad = make_adapter(cfg, args.metric, base.shape[1])
    # Import the library and prepare the input before the baseline is taken, so that the
    # growth counts what the library keeps (and its transient build memory), not our copies.
    version = ad.version()
    base = ad.prep(base)
    rss0 = rss_bytes()
    bar = tqdm(total=len(base), desc=f"  build {cfg['name']}", unit="vec", leave=False,
               dynamic_ncols=True, mininterval=1.0)
    la0, c0, t0 = loadavg(), cpu_seconds(), time.perf_counter()
    ad.build(base, bar.update)
    build_s = time.perf_counter() - t0
    build_cpu = cpu_seconds() - c0
    bar.close()
    rss1 = rss_bytes()
    ad.save(args.index)
    out = {
        "version": version,
        "n": int(base.shape[0]), "dim": int(base.shape[1]),
        "build_s": build_s, "build_cpu_s": build_cpu,
        "build_rss_growth": rss1 - rss0,
        "file_bytes": os.path.getsize(args.index),
        "loadavg_build": [la0, loadavg()],
    }
    out.update(getattr(ad, "resolved", {}))
    out.update({f"kivo_{k}": v for k, v in getattr(ad, "info", {}).items()})
    return out


def time_queries(ad, queries, nq):
    lat_wall = np.empty(nq, dtype=np.int64)
    lat_cpu = np.empty(nq, dtype=np.int64)
    results = []
    search = ad.search
    pc, tt = time.perf_counter_ns, time.thread_time_ns
    for i in range(nq):
        q = queries[i]
        c0, w0 = tt(), pc()
        raw = search(q)
        w1, c1 = pc(), tt()
        lat_wall[i], lat_cpu[i] = w1 - w0, c1 - c0
        results.append(raw)
    return lat_wall, lat_cpu, [ad.ids(r) for r in results]


def phase_search(cfg, args) -> dict:
    q_all = np.load(args.queries).astype(np.float32)
    gt = np.load(args.gt)[:, :kb_libs.K]
    nq = min(args.nq, len(q_all))
    ad = make_adapter(cfg, args.metric, q_all.shape[1])
    version = ad.version()
    queries = ad.prep_queries(q_all[:nq])
    gt_sets = [set(int(x) for x in row) for row in gt[:nq]]
    rss0 = rss_bytes()
    t0 = time.perf_counter()
    ad.load(args.index)
    load_s = time.perf_counter() - t0
    rss_loaded = rss_bytes()
    # A warm-up pass touches every page a query reads (memory-mapped files included).
    sweep = cfg["sweep"]
    if cfg["knob"]:
        ad.set_knob(max(sweep))
    # One brute-force query already reads every code; graph and IVF searches touch more
    # pages with every query.
    warm = min(5, nq) if cfg["family"] == "bf" else min(nq, args.warmup)
    for i in range(warm):
        ad.search(queries[i])
    rss_warm = rss_bytes()
    points = []
    la0 = loadavg()
    for value in tqdm(sweep, desc=f"  search {cfg['name']}", leave=False, dynamic_ncols=True):
        if value is not None:
            ad.set_knob(value)
        # Best of several passes: a pass that another process interrupted says nothing
        # about the library.
        passes = [time_queries(ad, queries, nq) for _ in range(max(1, args.reps))]
        lat_wall = min((p[0] for p in passes), key=lambda a: a.sum())
        lat_cpu = min((p[1] for p in passes), key=lambda a: a.sum())
        ids = passes[0][2]
        recall = float(np.mean([len(gt_sets[i].intersection(ids[i][:kb_libs.K])) / kb_libs.K
                                for i in range(nq)]))
        points.append({
            "knob": value, "recall10": recall,
            "qps": nq / (lat_wall.sum() / 1e9), "qps_cpu": nq / (lat_cpu.sum() / 1e9),
            "p50_us": float(np.percentile(lat_wall, 50) / 1e3),
            "p99_us": float(np.percentile(lat_wall, 99) / 1e3),
            "p50_cpu_us": float(np.percentile(lat_cpu, 50) / 1e3),
            "p99_cpu_us": float(np.percentile(lat_cpu, 99) / 1e3),
            "passes": len(passes),
            "short_results": int(sum(1 for r in ids if len(r) < kb_libs.K)),
        })
    out = {
        "version": version, "nq": nq, "load_s": load_s,
        "loaded_rss_growth": rss_warm - rss0,
        "loaded_rss_growth_before_warmup": rss_loaded - rss0,
        "points": points, "loadavg_search": [la0, loadavg()],
    }
    out.update({f"kivo_{k}": v for k, v in getattr(ad, "info", {}).items()})
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("phase", choices=["build", "search"])
    ap.add_argument("--config", required=True, help="configuration as JSON")
    ap.add_argument("--metric", required=True)
    ap.add_argument("--base")
    ap.add_argument("--queries")
    ap.add_argument("--gt")
    ap.add_argument("--index", required=True)
    ap.add_argument("--nq", type=int, default=1000)
    ap.add_argument("--warmup", type=int, default=200)
    ap.add_argument("--reps", type=int, default=3, help="timed passes per knob value (best kept)")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    cfg = json.loads(args.config)
    res = phase_build(cfg, args) if args.phase == "build" else phase_search(cfg, args)
    with open(args.out, "w") as fh:
        json.dump(res, fh, indent=1)


if __name__ == "__main__":
    main()
