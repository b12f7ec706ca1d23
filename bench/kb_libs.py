"""Adapters that give Kivo and the peer libraries one build / save / load / search shape,
and the list of configurations the comparison runs."""

from __future__ import annotations

import os

import numpy as np

K = 10
# Steps of a quarter or less up to 64, so that the recall targets (0.90, 0.95)
# are read between close points of every curve.
EF_SWEEP = [10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 56, 64, 96, 128, 192, 256, 384, 512]
NPROBE_SWEEP = [1, 2, 4, 8, 12, 16, 24, 32, 48, 64]
HNSW_M = 32
HNSW_EFC = 200
IVF_NLIST = 256
ADD_BATCH = 20000


def single_thread_env() -> None:
    """Pin every thread pool that a library might start to one thread (call before imports)."""
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[var] = "1"


def _normalized(x: np.ndarray) -> np.ndarray:
    n = np.linalg.norm(x, axis=1, keepdims=True)
    return np.ascontiguousarray(x / np.maximum(n, 1e-30), dtype=np.float32)


class Adapter:
    """One library configuration. Subclasses fill build/save/load/search/set_knob."""

    lib = ""
    knob = None  # "ef" or "nprobe" for tunable indexes

    def __init__(self, metric: str, dim: int, params: dict):
        self.metric, self.dim, self.params = metric, dim, params
        self.index = None

    # Peers get cosine as inner product over unit vectors; Kivo normalizes by itself.
    def prep(self, x: np.ndarray) -> np.ndarray:
        if self.metric == "cosine":
            return _normalized(x)
        return np.ascontiguousarray(x, dtype=np.float32)

    def prep_queries(self, q: np.ndarray) -> list:
        return [row.reshape(1, -1) for row in self.prep(q)]

    def build(self, base: np.ndarray, progress) -> None:
        """Train and add; base has already been through prep()."""
        raise NotImplementedError

    def save(self, path: str) -> None:
        raise NotImplementedError

    def load(self, path: str) -> None:
        raise NotImplementedError

    def search(self, q):
        """One single-query call of the library; returns the raw result."""
        raise NotImplementedError

    def ids(self, raw) -> list[int]:
        raise NotImplementedError

    def set_knob(self, value: int) -> None:
        pass

    @staticmethod
    def version() -> str:
        return ""


# ---------------------------------------------------------------------------
# FAISS
# ---------------------------------------------------------------------------

class Faiss(Adapter):
    lib = "faiss"

    def _faiss(self):
        import faiss

        faiss.omp_set_num_threads(1)
        return faiss

    def _mt(self, faiss):
        return faiss.METRIC_L2 if self.metric == "l2" else faiss.METRIC_INNER_PRODUCT

    def _make(self, faiss):
        d, mt, kind = self.dim, self._mt(faiss), self.params["kind"]
        sq = {"sq4": faiss.ScalarQuantizer.QT_4bit, "sq8": faiss.ScalarQuantizer.QT_8bit}
        if kind == "flat":
            return faiss.IndexFlat(d, mt)
        if kind in sq:
            return faiss.IndexScalarQuantizer(d, sq[kind], mt)
        if kind == "hnsw_flat":
            idx = faiss.IndexHNSWFlat(d, self.params["m"], mt)
        elif kind == "hnsw_sq4":
            idx = faiss.IndexHNSWSQ(d, faiss.ScalarQuantizer.QT_4bit, self.params["m"], mt)
        elif kind in ("ivf_flat", "ivf_sq4"):
            quantizer = faiss.IndexFlat(d, mt)
            if kind == "ivf_flat":
                idx = faiss.IndexIVFFlat(quantizer, d, self.params["nlist"], mt)
            else:
                idx = faiss.IndexIVFScalarQuantizer(quantizer, d, self.params["nlist"],
                                                    faiss.ScalarQuantizer.QT_4bit, mt)
            self._quantizer = quantizer
            return idx
        else:
            raise ValueError(kind)
        idx.hnsw.efConstruction = self.params["efc"]
        return idx

    def build(self, base, progress):
        faiss = self._faiss()
        x = base
        self.index = self._make(faiss)
        if not self.index.is_trained:
            # Training sample: at most 100k vectors, the usual FAISS practice.
            sample = x[np.random.default_rng(0).permutation(len(x))[:100_000]]
            self.index.train(sample)
        for s in range(0, len(x), ADD_BATCH):
            self.index.add(x[s:s + ADD_BATCH])
            progress(min(ADD_BATCH, len(x) - s))

    def save(self, path):
        self._faiss().write_index(self.index, path)

    def load(self, path):
        self.index = self._faiss().read_index(path)

    def search(self, q):
        return self.index.search(q, K)

    def ids(self, raw):
        return [int(i) for i in raw[1][0] if i >= 0]

    def set_knob(self, value):
        kind = self.params["kind"]
        if kind.startswith("hnsw"):
            self.index.hnsw.efSearch = value
        elif kind.startswith("ivf"):
            self.index.nprobe = value

    @staticmethod
    def version():
        import faiss

        return faiss.__version__


# ---------------------------------------------------------------------------
# hnswlib
# ---------------------------------------------------------------------------

class Hnswlib(Adapter):
    lib = "hnswlib"
    knob = "ef"

    def _space(self):
        return "l2" if self.metric == "l2" else "ip"

    def build(self, base, progress):
        import hnswlib

        x = base
        self.index = hnswlib.Index(space=self._space(), dim=self.dim)
        self.index.init_index(max_elements=len(x), ef_construction=self.params["efc"],
                              M=self.params["m"], random_seed=100)
        self.index.set_num_threads(1)
        for s in range(0, len(x), ADD_BATCH):
            self.index.add_items(x[s:s + ADD_BATCH], np.arange(s, min(s + ADD_BATCH, len(x))),
                                 num_threads=1)
            progress(min(ADD_BATCH, len(x) - s))

    def save(self, path):
        self.index.save_index(path)

    def load(self, path):
        import hnswlib

        self.index = hnswlib.Index(space=self._space(), dim=self.dim)
        self.index.load_index(path)
        self.index.set_num_threads(1)

    def prep_queries(self, q):
        return list(self.prep(q))

    def search(self, q):
        return self.index.knn_query(q, k=K, num_threads=1)

    def ids(self, raw):
        return [int(i) for i in raw[0][0]]

    def set_knob(self, value):
        self.index.set_ef(value)

    @staticmethod
    def version():
        import importlib.metadata as md

        return md.version("hnswlib")


# ---------------------------------------------------------------------------
# USearch
# ---------------------------------------------------------------------------

class USearch(Adapter):
    lib = "usearch"
    knob = "ef"

    def _metric(self):
        return {"cosine": "cos", "dot": "ip", "l2": "l2sq"}[self.metric]

    def build(self, base, progress):
        from usearch.index import Index

        x = base
        self.index = Index(ndim=self.dim, metric=self._metric(), dtype=self.params["dtype"],
                           connectivity=self.params["m"], expansion_add=self.params["efc"],
                           expansion_search=64)
        for s in range(0, len(x), ADD_BATCH):
            self.index.add(np.arange(s, min(s + ADD_BATCH, len(x)), dtype=np.uint64),
                           x[s:s + ADD_BATCH], threads=1)
            progress(min(ADD_BATCH, len(x) - s))

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        from usearch.index import Index

        self.index = Index.restore(path, view=False)

    def prep_queries(self, q):
        return list(self.prep(q))

    def search(self, q):
        return self.index.search(q, K, threads=1)

    def ids(self, raw):
        return [int(i) for i in raw.keys]

    def set_knob(self, value):
        self.index.expansion_search = value

    @staticmethod
    def version():
        import usearch

        return usearch.__version__


# ---------------------------------------------------------------------------
# Kivo
# ---------------------------------------------------------------------------

class KivoAdapter(Adapter):
    lib = "kivo"

    def prep(self, x):
        # Kivo takes raw vectors for every metric and prepares them itself.
        return np.ascontiguousarray(x, dtype=np.float32)

    def prep_queries(self, q):
        return list(self.prep(q))

    def build(self, base, progress):
        import kivo

        p = self.params
        kw = dict(metric=self.metric, bit_width=p["bits"], index_type=p["index_type"])
        if p.get("avg_bits") is not None:
            # Mixed mode: the 4-bit share that the library itself recommends for the budget.
            probe = kivo.Kivo(self.dim, metric=self.metric)
            sample = base[np.random.default_rng(0).permutation(len(base))[:500]]
            kw["n4_dims"] = int(probe.optimal_n4_dims(np.ascontiguousarray(sample), p["avg_bits"]))
            self.resolved = {"n4_dims": kw["n4_dims"]}
        if p["index_type"] == "hnsw":
            kw.update(hnsw_m=p["m"], hnsw_ef_construction=p["efc"])
        if p["index_type"] == "ivf_flat":
            kw.update(ivf_nlist=p["nlist"])
        self.index = kivo.Kivo(self.dim, **kw)
        x = base
        for s in range(0, len(x), ADD_BATCH):
            m = min(ADD_BATCH, len(x) - s)
            self.index.add(list(range(s, s + m)), x[s:s + m])
            progress(m)
        self.index.build()
        self.info = {"packed_bytes_per_vec": int(self.index.packed_bytes_per_vec),
                     "n4_dims": int(self.index.n4_dims),
                     "padded_dim": int(self.index.padded_dim)}

    def save(self, path):
        self.index.save(path)

    def load(self, path):
        import kivo

        self.index = kivo.Kivo.load(path)
        self.info = {"packed_bytes_per_vec": int(self.index.packed_bytes_per_vec),
                     "n4_dims": int(self.index.n4_dims),
                     "padded_dim": int(self.index.padded_dim)}

    def search(self, q):
        return self.index.search(q, K)

    def ids(self, raw):
        return [int(r["id"]) for r in raw]

    def set_knob(self, value):
        if self.params["index_type"] == "hnsw":
            self.index.set_ef_search(value)
        elif self.params["index_type"] == "ivf_flat":
            self.index.set_nprobe(value)

    @staticmethod
    def version():
        import kivo

        return kivo.__version__


ADAPTERS = {"faiss": Faiss, "hnswlib": Hnswlib, "usearch": USearch, "kivo": KivoAdapter}


def configs(include_graph: bool, kivo_extra: bool = True) -> list[dict]:
    """Every configuration: name, library, family (bf / graph / ivf), knob sweep, params."""
    g = dict(m=HNSW_M, efc=HNSW_EFC)
    out = [
        dict(name="faiss-flat", label="FAISS IndexFlat (f32, exact)", lib="faiss", family="bf",
             params=dict(kind="flat")),
        dict(name="faiss-sq8", label="FAISS IndexScalarQuantizer 8-bit", lib="faiss",
             family="bf", params=dict(kind="sq8")),
        dict(name="faiss-sq4", label="FAISS IndexScalarQuantizer 4-bit", lib="faiss",
             family="bf", params=dict(kind="sq4")),
        dict(name="kivo-bf-4bit", label="Kivo brute force 4-bit", lib="kivo", family="bf",
             params=dict(index_type="brute_force", bits=4)),
        dict(name="kivo-bf-2bit", label="Kivo brute force 2-bit", lib="kivo", family="bf",
             params=dict(index_type="brute_force", bits=2)),
        dict(name="kivo-bf-mixed3", label="Kivo brute force mixed (avg 3 bits)", lib="kivo",
             family="bf", params=dict(index_type="brute_force", bits=4, avg_bits=3.0)),
    ]
    if include_graph:
        out += [
            dict(name="hnswlib-f32", label=f"hnswlib f32 M={HNSW_M}", lib="hnswlib",
                 family="graph", params=dict(g)),
            dict(name="faiss-hnsw-flat", label=f"FAISS IndexHNSWFlat M={HNSW_M}", lib="faiss",
                 family="graph", params=dict(g, kind="hnsw_flat")),
            dict(name="faiss-hnsw-sq4", label=f"FAISS IndexHNSWSQ 4-bit M={HNSW_M}",
                 lib="faiss", family="graph", params=dict(g, kind="hnsw_sq4")),
            dict(name="usearch-f32", label=f"USearch f32 M={HNSW_M}", lib="usearch",
                 family="graph", params=dict(g, dtype="f32")),
            dict(name="usearch-i8", label=f"USearch i8 M={HNSW_M}", lib="usearch",
                 family="graph", params=dict(g, dtype="i8")),
            dict(name="kivo-hnsw-4bit", label=f"Kivo HNSW 4-bit M={HNSW_M}", lib="kivo",
                 family="graph", params=dict(g, index_type="hnsw", bits=4)),
            dict(name="faiss-ivf-flat", label=f"FAISS IndexIVFFlat nlist={IVF_NLIST}",
                 lib="faiss", family="ivf", params=dict(kind="ivf_flat", nlist=IVF_NLIST)),
            dict(name="faiss-ivf-sq4", label=f"FAISS IndexIVFScalarQuantizer 4-bit "
                 f"nlist={IVF_NLIST}", lib="faiss", family="ivf",
                 params=dict(kind="ivf_sq4", nlist=IVF_NLIST)),
            dict(name="kivo-ivf-4bit", label=f"Kivo IVF-Flat 4-bit nlist={IVF_NLIST}",
                 lib="kivo", family="ivf",
                 params=dict(index_type="ivf_flat", bits=4, nlist=IVF_NLIST)),
        ]
        if kivo_extra:
            out += [
                dict(name="kivo-hnsw-2bit", label=f"Kivo HNSW 2-bit M={HNSW_M}", lib="kivo",
                     family="graph", params=dict(g, index_type="hnsw", bits=2)),
                dict(name="kivo-hnsw-mixed3", label=f"Kivo HNSW mixed (avg 3 bits) M={HNSW_M}",
                     lib="kivo", family="graph",
                     params=dict(g, index_type="hnsw", bits=4, avg_bits=3.0)),
                dict(name="kivo-ivf-2bit", label=f"Kivo IVF-Flat 2-bit nlist={IVF_NLIST}",
                     lib="kivo", family="ivf",
                     params=dict(index_type="ivf_flat", bits=2, nlist=IVF_NLIST)),
                dict(name="kivo-ivf-mixed3",
                     label=f"Kivo IVF-Flat mixed (avg 3 bits) nlist={IVF_NLIST}", lib="kivo",
                     family="ivf", params=dict(index_type="ivf_flat", bits=4, avg_bits=3.0,
                                               nlist=IVF_NLIST)),
            ]
    for c in out:
        c["knob"] = {"graph": "ef", "ivf": "nprobe"}.get(c["family"])
        c["sweep"] = {"graph": EF_SWEEP, "ivf": NPROBE_SWEEP}.get(c["family"], [None])
    return out
