#!/usr/bin/env python3
"""Graph indexes timed side by side with their passes interleaved: every round times one
pass over the queries for every (configuration, ef) in turn, so that a slow spell of a
shared machine falls on all of them alike. Reports, per round, each configuration's
CPU-time QPS of every pass; each (configuration, ef) is summarized by its median over the
rounds, QPS at recall@10 0.90 and 0.95 is read off those medians, and Kivo's ratio to each
peer is given with the range of the per-round ratios.

    pip install -r bench/requirements.txt && python3 bench/interleaved.py

Uses the real set of bench/compare.py (built on first use) and keeps the built indexes in
the benchmark cache, so that later runs only search.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import re
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kb_libs  # noqa: E402

kb_libs.single_thread_env()

import numpy as np  # noqa: E402

import kb_data  # noqa: E402
import kb_report  # noqa: E402

TARGETS = (0.90, 0.95)
DEFAULT_EF = "10,12,14,16,18,20,24,28,32,36,40,48,56,64"


def timed_pass(ad, queries) -> tuple[float, list]:
    """CPU-time queries per second of one pass (the searching thread's own time, summed
    over the calls, as bench/compare.py counts it) and the raw results."""
    tt = time.thread_time_ns
    search = ad.search
    total, results = 0, []
    for q in queries:
        c0 = tt()
        raw = search(q)
        total += tt() - c0
        results.append(raw)
    return len(queries) / (total / 1e9), results


def open_index(cfg, base, metric, cache: Path, sha: str):
    """The configuration's index, built once and cached, then loaded from its file (as
    the comparison loads it)."""
    ad = kb_libs.ADAPTERS[cfg["lib"]](metric, base.shape[1], cfg["params"])
    path = cache / f"{cfg['name']}-{sha[:16]}.index"
    if not path.exists():
        t0 = time.process_time()
        ad.build(base, lambda _m: None)
        ad.save(str(path))
        print(f"built {cfg['name']} in {time.process_time() - t0:.1f} CPU s", file=sys.stderr)
    ad.load(str(path))
    return ad


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", default="kivo-hnsw-4bit|hnswlib-f32|faiss-hnsw-sq4",
                    help="regular expression over graph configuration names (bench/kb_libs.py)")
    ap.add_argument("--ef", default=DEFAULT_EF, help="comma-separated ef values, every library")
    ap.add_argument("--rounds", type=int, default=25)
    ap.add_argument("--nq", type=int, default=1000, help="timed queries per pass")
    ap.add_argument("--out", default="", help="JSON file for the per-round figures")
    args = ap.parse_args()

    ds = kb_data.real_dataset(30000, 1000, 7, 2)
    metric = "cosine"
    base = np.load(ds["base"]).astype(np.float32)
    q_all = np.load(ds["queries"]).astype(np.float32)
    nq = min(args.nq, len(q_all))
    gt = np.load(kb_data.ground_truth(ds)[metric])[:nq, :kb_libs.K]
    gt_sets = [set(int(x) for x in row) for row in gt]
    cache = kb_data.CACHE_DIR / "indexes" / "interleaved"
    cache.mkdir(parents=True, exist_ok=True)
    sha = kb_data.fingerprint(ds["base"])
    efs = [int(x) for x in args.ef.split(",")]

    cfgs = [c for c in kb_libs.configs(include_graph=True)
            if c["family"] == "graph" and re.search(args.only, c["name"])]
    if not any(c["lib"] == "kivo" for c in cfgs):
        print("no Kivo configuration selected", file=sys.stderr)
        return 2
    ads = {c["name"]: open_index(c, base, metric, cache, sha) for c in cfgs}
    queries = {name: ad.prep_queries(q_all[:nq]) for name, ad in ads.items()}
    for name, ad in ads.items():
        ad.set_knob(max(efs))
        for q in queries[name][:200]:
            ad.search(q)

    names = list(ads)
    kivo = next(c["name"] for c in cfgs if c["lib"] == "kivo")
    rounds = []
    started = dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")
    # Recall does not depend on the round: read from the first round's results.
    recall = {}
    for r in range(args.rounds):
        la = os.getloadavg()[0]
        qps = {}
        for ef in efs:
            # The order of the libraries turns with the round.
            for name in names[r % len(names):] + names[:r % len(names)]:
                ad = ads[name]
                ad.set_knob(ef)
                qps[name, ef], raw = timed_pass(ad, queries[name])
                if r == 0:
                    ids = [ad.ids(x) for x in raw]
                    recall[name, ef] = float(np.mean([len(gt_sets[i].intersection(ids[i][:kb_libs.K]))
                                                      / kb_libs.K for i in range(nq)]))
        at = {}
        for name in names:
            pts = [{"knob": ef, "recall10": recall[name, ef], "qps": qps[name, ef]} for ef in efs]
            at[name] = {str(t): kb_report.qps_at_recall(pts, t) for t in TARGETS}
        rounds.append({"load1": la, "qps": {f"{n}@{ef}": v for (n, ef), v in qps.items()},
                       "at": at})
        line = "  ".join(f"{n} {t}: {kb_report._fmt(at[n][str(t)])}" for n in names for t in TARGETS)
        print(f"round {r + 1}/{args.rounds} (load {la:.2f}): {line}", file=sys.stderr)

    print(f"\nreal set, {nq} queries, k = {kb_libs.K}, {args.rounds} interleaved rounds, "
          f"started {started}; CPU-time QPS, median over rounds [min, max]\n")
    print("| configuration | ef | recall@10 | QPS |")
    print("|---|---|---|---|")
    for name in names:
        for ef in efs:
            v = [rd["qps"][f"{name}@{ef}"] for rd in rounds]
            print(f"| {name} | {ef} | {recall[name, ef]:.3f} | {statistics.median(v):,.0f} "
                  f"[{min(v):,.0f}, {max(v):,.0f}] |")
    # Each pass's figure is the median over the rounds; QPS at a recall target is read off
    # those medians. The per-round ratios show how much one round could mislead.
    med = {(n, ef): statistics.median(rd["qps"][f"{n}@{ef}"] for rd in rounds)
           for n in names for ef in efs}
    at_med = {n: {t: kb_report.qps_at_recall([{"knob": ef, "recall10": recall[n, ef], "qps": med[n, ef]}
                                              for ef in efs], t) for t in TARGETS} for n in names}
    print("\n| recall@10 | " + " | ".join(names) + " | "
          + " | ".join(f"{kivo} / {n} (per-round range)" for n in names if n != kivo) + " |")
    print("|---" * (2 * len(names)) + "|")
    summary = {}
    for t in TARGETS:
        cells = [kb_report._fmt(at_med[n][t]) if at_med[n][t] else "never" for n in names]
        for name in names:
            if name == kivo:
                continue
            ratios = [rd["at"][kivo][str(t)] / rd["at"][name][str(t)] for rd in rounds
                      if rd["at"][kivo][str(t)] and rd["at"][name][str(t)]]
            if at_med[kivo][t] and at_med[name][t]:
                ratio = at_med[kivo][t] / at_med[name][t]
                summary[f"{t}:{name}"] = {"ratio": ratio, "round_min": min(ratios), "round_max": max(ratios)}
                cells.append(f"{ratio:.2f}x [{min(ratios):.2f}, {max(ratios):.2f}]")
            else:
                cells.append("—")
        print(f"| {t:.2f} | " + " | ".join(cells) + " |")
    if args.out:
        Path(args.out).write_text(json.dumps({
            "started": started, "nq": nq, "ef": efs, "rounds": rounds,
            "recall": {f"{n}@{ef}": v for (n, ef), v in recall.items()},
            "ratios": summary, "versions": {n: ads[n].version() for n in names}}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
