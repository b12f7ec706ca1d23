"""Cost of Kivo.remove per index type: removing 1 %, 10 % and 50 % of an index against
rebuilding one from the remaining vectors (CPU time), resident memory of the index before
and after the removal and of the rebuilt one, and HNSW recall@10 at ef 64 before and after.

Every measurement runs in its own process, so resident memory is that process's growth
(after malloc_trim) over a baseline taken with the data (and the ids to remove) already in
memory; beside it, the bytes the allocator has handed out and not had back (mallinfo2), which
tells index memory from pages that heap fragmentation keeps resident. The full index
is built once per type and saved; each removal starts from that file, as a long-lived index
does (an HNSW graph loaded or built has released its construction vectors, so removal
rebuilds them from the codes first, and that is part of the measured time).

Run after `pip install .`:
    python3 bench/bench_remove.py [--n 100000] [--dim 384] [--types bf,ivf,hnsw]
"""
from __future__ import annotations

import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

FRACTIONS = (0.01, 0.10, 0.50)
QUERIES = 200
K = 10
KWARGS = {
    "bf": {"index_type": "brute_force"},
    "ivf": {"index_type": "ivf_flat", "ivf_nlist": 256, "ivf_nprobe": 8},
    "hnsw": {"index_type": "hnsw", "hnsw_m": 32, "hnsw_ef_construction": 200, "hnsw_ef_search": 64},
}


def data(n, dim):
    """Seeded Gaussian mixture (1,000 overlapping clusters), unit rows, and queries."""
    rng = np.random.default_rng(2026)
    centres = rng.standard_normal((1000, dim)).astype(np.float32)
    x = centres[rng.integers(0, 1000, n)] + 0.8 * rng.standard_normal((n, dim)).astype(np.float32)
    q = centres[rng.integers(0, 1000, QUERIES)] + 0.8 * rng.standard_normal((QUERIES, dim)).astype(np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    return x, q


def removed_ids(n, fraction):
    rng = np.random.default_rng(int(fraction * 1000))
    return np.sort(rng.choice(n, int(round(n * fraction)), replace=False)).astype(np.uint64)


def rss_bytes():
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_bytes():
    """Bytes in use from malloc: small chunks plus mmapped blocks."""
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def recall(index, x, q, keep):
    """recall@10 against exact cosine top-10 among the kept rows."""
    kept = np.flatnonzero(keep)
    sims = q @ x[kept].T
    truth = kept[np.argsort(-sims, axis=1)[:, :K]]
    hits = 0
    for i in range(len(q)):
        got = {r["id"] for r in index.search(q[i], K)}
        hits += len(got & set(truth[i].tolist()))
    return hits / (K * len(q))


def build(kind, ids, rows):
    from kivo import Kivo

    index = Kivo(rows.shape[1], **KWARGS[kind])
    index.add(ids, rows)
    index.build()
    return index


def worker(args):
    from kivo import Kivo

    x, q = data(args.n, args.dim)
    gone = removed_ids(args.n, args.fraction)
    keep = np.ones(args.n, bool)
    keep[gone.astype(np.int64)] = False
    base = rss_bytes()
    heap_base = heap_bytes()
    out = {}
    if args.step == "full":
        start = time.process_time()
        index = build(args.kind, np.arange(args.n, dtype=np.uint64), x)
        out["build_cpu_s"] = time.process_time() - start
        out["rss"] = rss_bytes() - base
        if args.kind == "hnsw":
            out["recall"] = recall(index, x, q, np.ones(args.n, bool))
        index.save(args.file)
    else:
        if args.step == "remove":
            index = Kivo.load(args.file)
            out["rss_before"] = rss_bytes() - base
            start = time.process_time()
            count = index.remove(gone)
            out["remove_cpu_s"] = time.process_time() - start
            assert count == len(gone) and len(index) == args.n - len(gone)
            out["rss_after"] = rss_bytes() - base
            out["heap"] = heap_bytes() - heap_base
        else:  # rebuild from the remaining vectors, in their order
            kept = np.flatnonzero(keep)
            rows = np.ascontiguousarray(x[kept])
            base = rss_bytes()
            heap_base = heap_bytes()
            start = time.process_time()
            index = build(args.kind, kept.astype(np.uint64), rows)
            out["rebuild_cpu_s"] = time.process_time() - start
            out["rss"] = rss_bytes() - base
            out["heap"] = heap_bytes() - heap_base
        if args.kind == "hnsw":
            out["recall"] = recall(index, x, q, keep)
    print(json.dumps(out))


def run(step, kind, n, dim, file, fraction=0.0):
    cmd = [sys.executable, __file__, "--worker", step, "--kind", kind, "--n", str(n), "--dim", str(dim),
           "--file", file, "--fraction", str(fraction)]
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=384)
    p.add_argument("--types", default="bf,ivf,hnsw")
    p.add_argument("--worker", dest="step")
    p.add_argument("--kind")
    p.add_argument("--file")
    p.add_argument("--fraction", type=float, default=0.0)
    args = p.parse_args()
    if args.step:
        return worker(args)

    print(f"# {args.n:,} x {args.dim}, cosine, 4-bit; load: {os.getloadavg()[0]:.2f} (1-min) at start")
    print("| index | removed | remove CPU s | rebuild CPU s | remove / rebuild | MiB before | MiB after"
          " | MiB rebuilt | after / rebuilt | heap after / rebuilt | recall before | recall after | recall rebuilt |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    mib = 1 << 20
    with tempfile.TemporaryDirectory() as tmp:
        for kind in args.types.split(","):
            file = os.path.join(tmp, kind + ".kivo")
            full = run("full", kind, args.n, args.dim, file)
            print(f"<!-- {kind}: full build {full['build_cpu_s']:.2f} CPU s, {full['rss'] / mib:.1f} MiB -->",
                  flush=True)
            for fraction in FRACTIONS:
                r = run("remove", kind, args.n, args.dim, file, fraction)
                f = run("rebuild", kind, args.n, args.dim, file, fraction)
                rec = (f"{full['recall']:.4f} | {r['recall']:.4f} | {f['recall']:.4f}" if kind == "hnsw"
                       else "- | - | -")
                print(f"| {kind} | {fraction:.0%} | {r['remove_cpu_s']:.3f} | {f['rebuild_cpu_s']:.2f}"
                      f" | {r['remove_cpu_s'] / f['rebuild_cpu_s']:.3%} | {r['rss_before'] / mib:.1f}"
                      f" | {r['rss_after'] / mib:.1f} | {f['rss'] / mib:.1f} | {r['rss_after'] / f['rss']:.3f}"
                      f" | {r['heap'] / f['heap']:.3f} | {rec} |", flush=True)
    print(f"# load: {os.getloadavg()[0]:.2f} (1-min) at end")


if __name__ == "__main__":
    main()
