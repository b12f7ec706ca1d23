#!/usr/bin/env python3
"""Kivo against FAISS, hnswlib and USearch on real text embeddings and a synthetic set:
builds or reuses the cached data, runs every configuration in fresh processes and writes
bench/results/REPORT.md with its plots.

    pip install -r bench/requirements.txt && python3 bench/compare.py
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kb_libs  # noqa: E402

kb_libs.single_thread_env()

import kb_data  # noqa: E402
import kb_report  # noqa: E402

RESULTS = HERE / "results"
REPS = 3


def machine_info() -> dict:
    cpu = {}
    with open("/proc/cpuinfo") as fh:
        for line in fh:
            if ":" in line:
                k, v = (s.strip() for s in line.split(":", 1))
                cpu.setdefault(k, v)
            if not line.strip():
                break
    flags = cpu.get("flags", "").split()
    with open("/proc/meminfo") as fh:
        mem_kb = int(fh.readline().split()[1])
    return {
        "cpu_model": cpu.get("model name", platform.processor()),
        "cpu_family_model": f"family {cpu.get('cpu family')} model {cpu.get('model')} "
                            f"stepping {cpu.get('stepping')}",
        "simd": " ".join(f for f in ("avx2", "fma", "avx512f", "avx512bw", "avx512_vnni")
                         if f in flags),
        "cores": os.cpu_count(),
        "mem_gib": round(mem_kb / 2**20, 1),
        "kernel": platform.release(),
        "python": platform.python_version(),
    }


def _commit() -> str:
    try:
        return subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10).stdout.strip() or "?"
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def kivo_available() -> tuple[bool, str]:
    try:
        r = subprocess.run([sys.executable, "-c", "import kivo; kivo.Kivo(4); print(kivo.__version__)"],
                           capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return False, "import timed out"
    if r.returncode != 0:
        return False, (r.stderr.strip().splitlines() or ["import failed"])[-1]
    return True, r.stdout.strip()


def run_worker(phase: str, cfg: dict, ds: dict, metric: str, index: Path, out: Path,
               gt: Path | None, nq: int, timeout: float) -> dict:
    cmd = [sys.executable, str(HERE / "kb_worker.py"), phase, "--config", json.dumps(cfg),
           "--metric", metric, "--index", str(index), "--out", str(out), "--nq", str(nq),
           "--reps", str(REPS)]
    if phase == "build":
        cmd += ["--base", str(ds["base"])]
    else:
        cmd += ["--queries", str(ds["queries"]), "--gt", str(gt)]
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=None, text=True, timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError(f"{phase} exited with status {r.returncode}")
    return json.loads(out.read_text())


def run_config(cfg: dict, ds: dict, metric: str, gt: Path, nq: int, raw_dir: Path,
               timeout: float) -> dict:
    work = kb_data.CACHE_DIR / "indexes" / ds["key"]
    work.mkdir(parents=True, exist_ok=True)
    index = work / f"{cfg['name']}.index"
    rec = {"config": cfg, "dataset": ds["key"], "metric": metric,
           "started": dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")}
    try:
        rec["build"] = run_worker("build", cfg, ds, metric, index, work / f"{cfg['name']}.build.json", gt, nq,
                                  timeout)
        rec["search"] = run_worker("search", cfg, ds, metric, index, work / f"{cfg['name']}.search.json", gt,
                                   nq, timeout)
    except (RuntimeError, subprocess.TimeoutExpired, json.JSONDecodeError, OSError) as exc:
        rec["error"] = str(exc)
    finally:
        index.unlink(missing_ok=True)
    rec["finished"] = dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")
    (raw_dir / f"{cfg['name']}.json").write_text(json.dumps(rec, indent=1))
    return rec


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="smoke run: small data sets, short sweeps, report under results/quick/")
    ap.add_argument("--real-n", type=int, default=30000, help="base passages of the real set")
    ap.add_argument("--real-nq", type=int, default=1000, help="held-out query passages")
    ap.add_argument("--syn-n", type=int, default=1_000_000, help="synthetic base vectors")
    ap.add_argument("--syn-nq", type=int, default=1000, help="synthetic queries (ground truth)")
    ap.add_argument("--syn-timed", type=int, default=200,
                    help="synthetic queries that are timed and scored (brute force over 1M is slow)")
    ap.add_argument("--datasets", default="real,synthetic")
    ap.add_argument("--synthetic-graph", action="store_true",
                    help="also run the graph and IVF indexes on the synthetic set (slow at 1M)")
    ap.add_argument("--only", default="", help="regular expression over configuration names")
    ap.add_argument("--resume", action="store_true",
                    help="keep results already in results/raw/ and run only missing ones")
    ap.add_argument("--report-only", action="store_true", help="rewrite the report from raw results")
    ap.add_argument("--embed-threads", type=int, default=2,
                    help="torch threads for the one-off embedding (the benchmark itself is single-threaded)")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--timeout", type=float, default=1800, help="seconds per phase of one configuration")
    ap.add_argument("--out", default="",
                    help="results directory under bench/results/ (default: bench/results itself)")
    ap.add_argument("--reps", type=int, default=3,
                    help="timed passes over the queries per knob value; the fastest is reported")
    args = ap.parse_args()
    global REPS
    REPS = args.reps

    if args.quick:
        args.real_n, args.real_nq = min(args.real_n, 3000), min(args.real_nq, 100)
        args.syn_n, args.syn_nq, args.syn_timed = min(args.syn_n, 20000), 100, 100
        kb_libs.EF_SWEEP[:] = [16, 64, 256]
        kb_libs.NPROBE_SWEEP[:] = [1, 8, 64]
    out_dir = RESULTS / "quick" if args.quick else RESULTS
    if args.out:
        out_dir = RESULTS / args.out
    raw_root = out_dir / "raw"
    if args.report_only:
        kb_report.write(out_dir)
        print(f"wrote {out_dir / 'REPORT.md'}")
        return 0

    from tqdm import tqdm

    ok, kivo_note = kivo_available()
    if not ok:
        print(f"kivo is not importable ({kivo_note}); Kivo configurations are skipped. "
              f"Install it with `pip install .` first.", file=sys.stderr)

    wanted = set(args.datasets.split(","))
    plans = []
    if "real" in wanted:
        ds = kb_data.real_dataset(args.real_n, args.real_nq, args.seed, args.embed_threads)
        ds["key"] = "real"
        plans.append((ds, "cosine", args.real_nq, True))
    if "synthetic" in wanted:
        ds = kb_data.synthetic_dataset(args.syn_n, args.syn_nq, 384, args.seed)
        ds["key"] = "synthetic"
        # Graph and IVF indexes of 1M vectors would take most of the time budget to build
        # single-threaded; the synthetic set serves brute force and memory, except in smoke runs.
        plans.append((ds, "cosine", args.syn_timed, args.quick or args.synthetic_graph))

    started = dt.datetime.now(dt.timezone.utc)
    run_meta = {"started": started.isoformat(timespec="seconds"), "machine": machine_info(),
                "kivo": kivo_note if ok else f"not available: {kivo_note}",
                "loadavg_start": os.getloadavg(), "args": vars(args), "datasets": {},
                "commit": _commit()}
    jobs = []
    for ds, metric, nq, graph in plans:
        gt = kb_data.ground_truth(ds)[metric]
        raw_dir = raw_root / ds["key"]
        raw_dir.mkdir(parents=True, exist_ok=True)
        run_meta["datasets"][ds["key"]] = {**ds["meta"], "metric": metric, "timed_queries": nq,
                                           "cache_dir": str(ds["dir"]),
                                           "base_sha": kb_data.fingerprint(ds["base"])}
        for cfg in kb_libs.configs(include_graph=graph):
            if args.only and not re.search(args.only, cfg["name"]):
                continue
            if cfg["lib"] == "kivo" and not ok:
                continue
            if args.resume and (raw_dir / f"{cfg['name']}.json").exists():
                prev = json.loads((raw_dir / f"{cfg['name']}.json").read_text())
                if "error" not in prev:
                    continue
            jobs.append((cfg, ds, metric, gt, nq, raw_dir))

    # Goal-deciding configurations first, so that a run cut short still answers the goals.
    first = ["faiss-sq4", "kivo-bf-4bit", "kivo-bf-2bit", "kivo-bf-mixed3", "hnswlib-f32",
             "kivo-hnsw-4bit"]
    jobs.sort(key=lambda j: (j[1]["key"] != "real", j[0]["name"] not in first,
                             first.index(j[0]["name"]) if j[0]["name"] in first else 0))
    bar = tqdm(jobs, desc="configurations", unit="cfg", dynamic_ncols=True)
    for cfg, ds, metric, gt, nq, raw_dir in bar:
        bar.set_postfix_str(f"{ds['key']}/{cfg['name']}")
        rec = run_config(cfg, ds, metric, gt, nq, raw_dir, args.timeout)
        if "error" in rec:
            tqdm.write(f"{ds['key']}/{cfg['name']}: FAILED ({rec['error']})", file=sys.stderr)
        else:
            best = max(rec["search"]["points"], key=lambda p: p["recall10"])
            tqdm.write(f"{ds['key']}/{cfg['name']}: recall@10 {best['recall10']:.3f} "
                       f"at {best['qps']:.0f} QPS, build {rec['build']['build_s']:.1f} s",
                       file=sys.stderr)

    run_meta["finished"] = dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")
    run_meta["loadavg_end"] = os.getloadavg()
    run_meta["minutes"] = round((time.time() - started.timestamp()) / 60, 1)
    meta_f = raw_root / "run.json"
    if args.resume and meta_f.exists():
        old = json.loads(meta_f.read_text())
        for key, info in old.get("datasets", {}).items():
            run_meta["datasets"].setdefault(key, info)
        run_meta.setdefault("earlier_runs", old.get("earlier_runs", []))
        run_meta["earlier_runs"].append({k: old.get(k) for k in
                                         ("started", "finished", "loadavg_start", "loadavg_end",
                                          "minutes", "kivo")})
    raw_root.mkdir(parents=True, exist_ok=True)
    meta_f.write_text(json.dumps(run_meta, indent=1))
    kb_report.write(out_dir)
    print(f"wrote {out_dir / 'REPORT.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
