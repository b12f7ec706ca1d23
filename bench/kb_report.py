"""Turns the raw results of bench/compare.py into REPORT.md, its goal verdicts and PNG plots."""

from __future__ import annotations

import json
import math
from pathlib import Path

F32_BYTES = 4


def _load(out_dir: Path):
    raw = out_dir / "raw"
    meta = json.loads((raw / "run.json").read_text()) if (raw / "run.json").exists() else {}
    results: dict[str, dict[str, dict]] = {}
    for f in sorted(raw.glob("*/*.json")):
        rec = json.loads(f.read_text())
        results.setdefault(f.parent.name, {})[rec["config"]["name"]] = rec
    # Present configurations in the order the comparison defines them.
    import kb_libs

    rank = {c["name"]: i for i, c in enumerate(kb_libs.configs(include_graph=True))}
    for ds in results:
        results[ds] = dict(sorted(results[ds].items(), key=lambda kv: rank.get(kv[0], 999)))
    return meta, results


def _ok(rec):
    return rec is not None and "error" not in rec and rec.get("search", {}).get("points")


def _bf_point(rec):
    return rec["search"]["points"][0]


def _per_vec(rec, key):
    return rec["build"][key] / rec["build"]["n"] if key.startswith(("file", "build")) else \
        rec["search"][key] / rec["build"]["n"]


def qps_at_recall(points, target, key="qps"):
    """QPS where the recall-QPS curve (ordered by knob) first reaches target, interpolated
    between the two sweep points around it (recall linear, QPS logarithmic); None if never."""
    pts = sorted(points, key=lambda p: p["knob"])
    prev = None
    for p in pts:
        if p["recall10"] >= target:
            if prev is None or prev["recall10"] >= target or p["recall10"] == prev["recall10"]:
                return p[key]
            t = (target - prev["recall10"]) / (p["recall10"] - prev["recall10"])
            return math.exp(math.log(prev[key]) + t * (math.log(p[key]) - math.log(prev[key])))
        prev = p
    return None


def _fmt(v, nd=0):
    if v is None:
        return "—"
    if isinstance(v, float) and nd == 0:
        return f"{v:,.0f}"
    return f"{v:,.{nd}f}"


def _verdict(ok):
    return "**met**" if ok else "**not met**"


# ---------------------------------------------------------------------------
# Plots
# ---------------------------------------------------------------------------

def _style(name):
    kivo = name.startswith("kivo")
    return dict(linewidth=2.4 if kivo else 1.3, linestyle="-" if kivo else "--",
                marker="o" if kivo else ".", markersize=5 if kivo else 6)


def plot_recall_qps(ds, recs, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(13, 7))
    palette = plt.get_cmap("tab20").colors
    for i, (name, rec) in enumerate(recs.items()):
        if not _ok(rec):
            continue
        color = palette[(2 * i) % 20 if i < 10 else (2 * i + 1) % 20]
        fam = rec["config"]["family"]
        pts = sorted(rec["search"]["points"], key=lambda p: (p["knob"] or 0))
        xs = [p["recall10"] for p in pts]
        ys = [p["qps_cpu"] for p in pts]
        label = rec["config"]["label"]
        if fam == "bf":
            ax.scatter(xs, ys, marker="*" if name.startswith("kivo") else "s", s=130, color=color,
                       label=label + " (brute force)", zorder=3)
        else:
            ax.plot(xs, ys, label=f"{label} ({rec['config']['knob']} sweep)", color=color, **_style(name))
    ax.set_yscale("log")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per CPU-second (single thread, log scale)")
    ax.set_title(f"recall@10 vs QPS — {ds} data set, k = 10")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7.5, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_bytes_recall(datasets, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    fig, axes = plt.subplots(1, len(datasets), figsize=(7 * len(datasets), 5.5), squeeze=False)
    for ax, (ds, recs) in zip(axes[0], datasets.items()):
        bf = [(n, r) for n, r in recs.items() if _ok(r) and r["config"]["family"] == "bf"]
        names = [n for n, _ in bf]
        x = np.arange(len(bf))
        file_b = [_per_vec(r, "file_bytes") for _, r in bf]
        rss_b = [_per_vec(r, "loaded_rss_growth") for _, r in bf]
        b1 = ax.bar(x - 0.2, file_b, 0.4, label="index file / n", color="#4c72b0")
        b2 = ax.bar(x + 0.2, rss_b, 0.4, label="resident growth / n (loaded)", color="#9ecae1")
        ax.bar_label(b1, fmt="%.0f", fontsize=7, padding=2)
        ax.bar_label(b2, fmt="%.0f", fontsize=7, padding=2)
        ax.set_ylim(0, max(file_b + rss_b) * 1.15)
        ax.set_ylabel("bytes per vector")
        ax.set_xticks(x, names, rotation=30, ha="right", fontsize=8)
        ax2 = ax.twinx()
        rec10 = [_bf_point(r)["recall10"] for _, r in bf]
        ax2.plot(x, rec10, "D", color="#d62728", label="recall@10")
        for xi, r in zip(x, rec10):
            ax2.annotate(f"{r:.3f}", (xi, r), textcoords="offset points", xytext=(0, 6),
                         ha="center", fontsize=8, color="#d62728")
        ax2.set_ylim(0, 1.08)
        ax2.set_ylabel("recall@10", color="#d62728")
        ax.set_title(f"brute force: bytes per vector and recall@10 — {ds}")
        h1, l1 = ax.get_legend_handles_labels()
        h2, l2 = ax2.get_legend_handles_labels()
        ax.legend(h1 + h2, l1 + l2, fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.22),
                  ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------------------
# Goals
# ---------------------------------------------------------------------------

def goals(results) -> list[str]:
    lines = []
    # Goal 1: brute force 4-bit against FAISS SQ 4-bit on the same data.
    lines.append("### 1. Brute force 4-bit vs FAISS IndexScalarQuantizer 4-bit")
    lines.append("Target: recall@10 at least FAISS SQ4's, QPS at least 1.5x, bytes per vector "
                 "no more (judged on both the file and the loaded resident growth).\n")
    lines.append("| data set | recall@10 Kivo / FAISS | wall QPS Kivo / FAISS (ratio) | CPU-time QPS Kivo / FAISS (ratio) "
                 "| file B/vec Kivo / FAISS | resident B/vec Kivo / FAISS | recall | QPS ≥ 1.5x | bytes |")
    lines.append("|---|---|---|---|---|---|---|---|---|")
    for ds, recs in results.items():
        k, f = recs.get("kivo-bf-4bit"), recs.get("faiss-sq4")
        if not (_ok(k) and _ok(f)):
            lines.append(f"| {ds} | not measured | | | | | | | |")
            continue
        pk, pf = _bf_point(k), _bf_point(f)
        ratio = pk["qps"] / pf["qps"]
        cratio = pk["qps_cpu"] / pf["qps_cpu"]
        fk, ff = _per_vec(k, "file_bytes"), _per_vec(f, "file_bytes")
        rk, rf = _per_vec(k, "loaded_rss_growth"), _per_vec(f, "loaded_rss_growth")
        lines.append(
            f"| {ds} | {pk['recall10']:.3f} / {pf['recall10']:.3f} | {pk['qps']:,.0f} / {pf['qps']:,.0f} "
            f"({ratio:.2f}x) | {pk['qps_cpu']:,.0f} / {pf['qps_cpu']:,.0f} ({cratio:.2f}x) | {fk:.1f} / {ff:.1f} | {rk:.1f} / {rf:.1f} | "
            f"{_verdict(pk['recall10'] >= pf['recall10'])} | {_verdict(cratio >= 1.5)} | "
            f"{_verdict(fk <= ff and rk <= rf)} (file {100 * (fk / ff - 1):+.0f} %, "
            f"resident {100 * (rk / rf - 1):+.0f} %) |")
    lines.append("")
    # Goal 2: brute force 2-bit on the real set.
    lines.append("### 2. Brute force 2-bit on the real set")
    lines.append("Target: recall@10 above 0.80 at 1/16 of float32 size.\n")
    k = results.get("real", {}).get("kivo-bf-2bit")
    if _ok(k):
        p = _bf_point(k)
        dim = k["build"]["dim"]
        target = dim * F32_BYTES / 16
        packed = k["build"].get("kivo_packed_bytes_per_vec")
        fk = _per_vec(k, "file_bytes")
        rk = _per_vec(k, "loaded_rss_growth")
        lines.append(f"- recall@10 {p['recall10']:.3f}: {_verdict(p['recall10'] > 0.80)} "
                     f"({p['recall10'] - 0.80:+.3f} against 0.80).")
        lines.append(f"- size: 1/16 of float32 is {target:.0f} bytes per vector; the packed code is "
                     f"{packed} bytes, the file {fk:.1f} bytes/vector, the loaded index "
                     f"{rk:.1f} bytes/vector of resident memory: "
                     f"{_verdict(packed is not None and packed <= target)} for the packed code "
                     f"(1/{dim * F32_BYTES / packed:.1f} of float32), file 1/{dim * F32_BYTES / fk:.1f}.")
    else:
        lines.append("- not measured")
    lines.append("")
    # Goal 3: HNSW 4-bit against hnswlib float32, same M.
    lines.append("### 3. HNSW 4-bit vs hnswlib float32 (same M) on the real set")
    lines.append("Target: at recall@10 0.80, 0.90 and at the highest recall Kivo reaches, at least "
                 "hnswlib's QPS; resident memory per vector under a third of hnswlib's.\n")
    k, h = results.get("real", {}).get("kivo-hnsw-4bit"), results.get("real", {}).get("hnswlib-f32")
    if _ok(k) and _ok(h):
        top = max(p["recall10"] for p in k["search"]["points"])
        lines.append("| recall@10 | Kivo CPU-time QPS | hnswlib CPU-time QPS | ratio | wall-clock ratio | verdict |")
        lines.append("|---|---|---|---|---|---|")
        for t, label in ((0.80, "0.80"), (0.90, "0.90"), (top, f"{top:.3f} (Kivo's highest)")):
            qk, qh = qps_at_recall(k["search"]["points"], t), qps_at_recall(h["search"]["points"], t)
            ck = qps_at_recall(k["search"]["points"], t, "qps_cpu")
            ch = qps_at_recall(h["search"]["points"], t, "qps_cpu")
            if ck is None or ch is None:
                lines.append(f"| {label} | {_fmt(ck)} | {_fmt(ch)} | — | — | "
                             f"{'not reached by Kivo' if ck is None else 'not reached by hnswlib'} |")
            else:
                lines.append(f"| {label} | {ck:,.0f} | {ch:,.0f} | {ck / ch:.2f}x | {qk / qh:.2f}x | "
                             f"{_verdict(ck >= ch)} |")
        rk, rh = _per_vec(k, "loaded_rss_growth"), _per_vec(h, "loaded_rss_growth")
        fk, fh = _per_vec(k, "file_bytes"), _per_vec(h, "file_bytes")
        lines.append("")
        lines.append(f"- resident growth per vector (loaded): Kivo {rk:.0f} B, hnswlib {rh:.0f} B, ratio "
                     f"{rk / rh:.3f} (target < 0.333): {_verdict(rk < rh / 3)}. Index files: Kivo "
                     f"{fk:.0f} B/vec, hnswlib {fh:.0f} B/vec.")
    else:
        lines.append("- not measured")
    lines.append("")
    # Goal 4: memory of a loaded brute-force 4-bit index.
    lines.append("### 4. Resident memory of a loaded brute-force 4-bit index")
    lines.append("Target: resident bytes per vector within 5 % of packed bytes + 12.\n")
    for ds, recs in results.items():
        k = recs.get("kivo-bf-4bit")
        if not _ok(k):
            lines.append(f"- {ds}: not measured")
            continue
        packed = k["build"].get("kivo_packed_bytes_per_vec")
        rk = _per_vec(k, "loaded_rss_growth")
        want = packed + 12
        dev = rk / want - 1
        lines.append(f"- {ds} (n = {k['build']['n']:,}): {rk:.1f} B/vec resident against "
                     f"{packed} + 12 = {want} B: {100 * dev:+.1f} % — {_verdict(abs(dev) <= 0.05)}.")
    lines.append("")
    return lines


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def _build(rec):
    b = rec["build"]
    return f"{b['build_s']:.1f} ({b['build_cpu_s']:.1f})"


def _bf_table(recs):
    out = ["| configuration | recall@10 | QPS | p50 / p99 µs | CPU-time QPS | CPU p50 / p99 µs | build s (CPU s) | file B/vec "
           "| resident B/vec (loaded) | resident B/vec (build) |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for name, rec in recs.items():
        if rec["config"]["family"] != "bf":
            continue
        if not _ok(rec):
            out.append(f"| {rec['config']['label']} | failed: {rec.get('error', '?')} |||||||||")
            continue
        p = _bf_point(rec)
        out.append(f"| {rec['config']['label']} | {p['recall10']:.3f} | {p['qps']:,.1f} | {p['p50_us']:,.0f} / "
                   f"{p['p99_us']:,.0f} | {p['qps_cpu']:,.1f} | {p['p50_cpu_us']:,.0f} / {p['p99_cpu_us']:,.0f} | "
                   f"{_build(rec)} | "
                   f"{_per_vec(rec, 'file_bytes'):.1f} | {_per_vec(rec, 'loaded_rss_growth'):.1f} | "
                   f"{_per_vec(rec, 'build_rss_growth'):.1f} |")
    return out


def _sweep_tables(recs):
    out = []
    fams = [r for r in recs.values() if r["config"]["family"] != "bf"]
    if not fams:
        return out
    out += ["| configuration | build s (CPU s) | file B/vec | resident B/vec (loaded) | CPU-time QPS @ 0.80 "
            "| @ 0.90 | @ 0.95 | best recall@10 |", "|---|---|---|---|---|---|---|---|"]
    for rec in fams:
        if not _ok(rec):
            out.append(f"| {rec['config']['label']} | failed: {rec.get('error', '?')} |||||||")
            continue
        pts = rec["search"]["points"]
        out.append(f"| {rec['config']['label']} | {_build(rec)} | "
                   f"{_per_vec(rec, 'file_bytes'):.0f} | {_per_vec(rec, 'loaded_rss_growth'):.0f} | "
                   f"{_fmt(qps_at_recall(pts, 0.80, 'qps_cpu'))} | {_fmt(qps_at_recall(pts, 0.90, 'qps_cpu'))} | "
                   f"{_fmt(qps_at_recall(pts, 0.95, 'qps_cpu'))} | {max(p['recall10'] for p in pts):.3f} |")
    out.append("")
    out.append("<details><summary>Full sweeps (knob, recall@10, QPS, p50 / p99 latency µs)</summary>\n")
    for rec in fams:
        if not _ok(rec):
            continue
        out.append(f"**{rec['config']['label']}** ({rec['config']['knob']})\n")
        out.append(f"| {rec['config']['knob']} | recall@10 | QPS | p50 / p99 µs | CPU-time QPS | CPU p50 / p99 µs |")
        out.append("|---|---|---|---|---|---|")
        for p in sorted(rec["search"]["points"], key=lambda p: p["knob"]):
            out.append(f"| {p['knob']} | {p['recall10']:.3f} | {p['qps']:,.0f} | {p['p50_us']:,.0f} / "
                       f"{p['p99_us']:,.0f} | {p['qps_cpu']:,.0f} | {p['p50_cpu_us']:,.0f} / {p['p99_cpu_us']:,.0f} |")
        out.append("")
    out.append("</details>")
    return out


def write(out_dir: Path) -> None:
    meta, results = _load(out_dir)
    order = ["real", "synthetic"]
    results = {k: results[k] for k in order if k in results} | \
        {k: v for k, v in results.items() if k not in order}
    m = meta.get("machine", {})
    L = ["# Kivo vs FAISS, hnswlib and USearch", ""]
    L.append(f"Run of {meta.get('started', '?')} (UTC), {meta.get('minutes', '?')} minutes, on "
             f"{m.get('cpu_model', '?')} ({m.get('cpu_family_model', '')}; {m.get('simd', '')}), "
             f"{m.get('cores', '?')} cores, {m.get('mem_gib', '?')} GiB, Linux {m.get('kernel', '?')}, "
             f"Python {m.get('python', '?')}. Kivo: {meta.get('kivo', '?')} "
             f"(source commit {meta.get('commit', '?')}).")
    L.append("")
    L.append("Command: `pip install -r bench/requirements.txt && python3 bench/compare.py` "
             "(`--quick` for a smoke run; `--help` for sizes and filters).")
    L.append("")
    L.append("Every library runs single-threaded (OpenMP / thread-count settings of 1), one query per "
             "call from Python at k = 10. Every knob value is timed in several passes over all timed queries "
             "and the fastest pass is reported (ann-benchmarks practice). QPS is wall-clock queries per second; "
             "CPU-time QPS counts only the searching thread's own CPU time. The machine is shared, so "
             "goal verdicts, the summary columns and the plots use CPU-time QPS (on an idle machine "
             "the two agree); wall-clock figures stay in the tables. Recall@10 is against exact float32 ground truth. Each "
             "configuration is built in a fresh process (build time, resident growth during build, "
             "index file; build CPU seconds in parentheses) and then loaded from its file in another fresh process, where a warm-up pass "
             "and the timed queries run; \"resident B/vec (loaded)\" is that process's resident-set "
             "growth from before the load to after the warm-up, divided by n.")
    L.append("")
    la = [meta.get("loadavg_start"), meta.get("loadavg_end")]
    L.append(f"Machine load: 1/5/15-minute load averages {la[0]} at the start and {la[1]} at the end of "
             "the run (the benchmark itself accounts for about 1.0); per-configuration load averages are "
             "in `raw/`.")
    for er in meta.get("earlier_runs", []):
        L.append(f"Part of the results come from an earlier invocation of {er.get('started')} "
                 f"(load {er.get('loadavg_start')} → {er.get('loadavg_end')}).")
    L.append("")
    L.append("## Data sets")
    L.append("")
    for ds, info in meta.get("datasets", {}).items():
        if ds == "real":
            L.append(f"- **real**: {info.get('n_base'):,} base and {info.get('n_query'):,} held-out query "
                     f"passages, dimension 384, embedded with {info.get('model')} (max "
                     f"{info.get('max_seq_tokens')} tokens, unit-normalized). Passages are the docstrings "
                     f"of the Python standard library and every installed package ({info.get('files_scanned'):,} "
                     f"source files, {info.get('distinct_passages'):,} distinct passages), split on "
                     f"paragraphs into passages of about 40 words (median "
                     f"{info.get('words_per_passage_median')}), then a seeded random sample; queries are "
                     f"different passages from the base. Metric: {info.get('metric')}; "
                     f"{info.get('timed_queries')} timed queries.")
        else:
            L.append(f"- **synthetic**: {info.get('n_base'):,} base vectors of dimension {info.get('dim')} "
                     f"from a seeded Gaussian mixture of {info.get('components')} components "
                     f"({info.get('model')}); {info.get('n_query'):,} queries from the same mixture, "
                     f"of which the first {info.get('timed_queries')} are timed and scored. "
                     f"Metric: {info.get('metric')}.")
    L.append("")
    L.append("Ground truth: exact top 100 per query by float32 inner product (cosine: over unit "
             "vectors; dot) and Euclidean distance (l2), from NumPy, cached beside the vectors under "
             "`~/.cache/kivo-bench/`.")
    L.append("")
    L.append("## Goals")
    L.append("")
    L += goals(results)
    notes = out_dir / "NOTES.md"
    if notes.exists():
        L.append(notes.read_text().rstrip())
        L.append("")
    plots = {}
    for ds, recs in results.items():
        L.append(f"## {ds} data set")
        L.append("")
        L.append("### Brute force")
        L.append("")
        L += _bf_table(recs)
        L.append("")
        sweeps = _sweep_tables(recs)
        if sweeps:
            L.append("### Graph and IVF indexes")
            L.append("")
            L += sweeps
            L.append("")
            png = f"recall_qps_{ds}.png"
            plot_recall_qps(ds, recs, out_dir / png)
            L.append(f"![recall@10 vs QPS, {ds}]({png})")
            L.append("")
        plots[ds] = recs
    # A run filtered to graph indexes (--only) has no brute-force rows to plot.
    plots = {ds: recs for ds, recs in plots.items()
             if any(_ok(r) and r["config"]["family"] == "bf" for r in recs.values())}
    if plots:
        plot_bytes_recall(plots, out_dir / "bytes_recall_bruteforce.png")
        L.append("## Bytes per vector and recall@10 (brute force)")
        L.append("")
        L.append("![bytes per vector vs recall@10](bytes_recall_bruteforce.png)")
        L.append("")
    L.append("## Versions")
    L.append("")
    versions = {}
    for recs in results.values():
        for rec in recs.values():
            if "build" in rec:
                versions[rec["config"]["lib"]] = rec["build"].get("version")
    L.append(", ".join(f"{k} {v}" for k, v in sorted(versions.items())))
    L.append("")
    (out_dir / "REPORT.md").write_text("\n".join(L))
