"""Smoke test of an installed kivo wheel (run by scripts/wheel.sh in a fresh virtual environment).

Creates each index type, adds, searches, saves and loads; checks the NumPy accessors against a
reference scoring of the exported codes (kivo.gpu's NumPy back end); and checks that dispatch picks,
for each code width, the widest kernel variant this processor has, and that every variant the
processor runs scores as the portable path does.
"""
import os
import pathlib
import sys
import tempfile

import numpy as np

import kivo
from kivo import Kivo, _kivo


def check(condition, what):
    if not condition:
        sys.exit(f"wheel smoke test failed: {what}")
    print(f"  ok  {what}")


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


def main():
    print(f"kivo {kivo.__version__} from {os.path.dirname(kivo.__file__)}")
    check(sys.prefix in kivo.__file__, "kivo is the installed wheel")
    rng = np.random.default_rng(7)
    data = rng.standard_normal((2000, 48)).astype(np.float32)
    queries = data[:5] + 0.01 * rng.standard_normal((5, 48)).astype(np.float32)

    with tempfile.TemporaryDirectory() as tmp:
        for index_type, params in [("brute_force", {}), ("ivf_flat", {"ivf_nlist": 16, "ivf_nprobe": 16}),
                                   ("hnsw", {"hnsw_m": 16})]:
            index = Kivo(48, index_type=index_type, **params)
            index.add(np.arange(2000, dtype=np.uint64), data)
            index.build()
            hits = [index.search(q, 5) for q in queries]
            check(all(h[0]["id"] == i for i, h in enumerate(hits)), f"{index_type}: each query finds its own vector")
            path = pathlib.Path(tmp) / f"{index_type}.kivo"
            index.save(path)
            loaded = Kivo.load(str(path))
            check([loaded.search(q, 5) for q in queries] == hits, f"{index_type}: save, load, same results")

        mixed = Kivo(48, metric="l2", mixed_ratio=0.5)
        mixed.fit(data[:200])
        mixed.add(np.arange(2000), data)
        check(mixed.packed_data().shape == (2000, mixed.packed_bytes_per_vec), "packed_data shape")
        check(mixed.vector_ids().dtype == np.uint64 and mixed.vector_norms().shape == (2000,), "ids and norms")
        check(Kivo.centroids_4bit().shape == (16,) and Kivo.centroids_2bit().shape == (4,), "centroid tables")
        check(mixed.transform_query_np(queries[0]).shape == (mixed.padded_dim,), "transform_query_np shape")

    sys.modules["torch"] = None  # the NumPy back end, whatever else is installed
    from kivo.gpu import Scorer

    scorer = Scorer(mixed)
    ids, scores = scorer.search(queries, 5)
    expected = [[r["id"] for r in mixed.search(q, 5)] for q in queries]
    check(scorer.backend == "numpy" and ids[:, 0].tolist() == [e[0] for e in expected],
          "exported codes rescored in NumPy give the index's best matches")

    kernels = _kivo._kernels()
    flags = cpu_flags()
    for row in kernels:
        print(f"      {row['name']:<14} supported={row['supported']!s:<5} selected={row['selected']!s:<5} "
              f"agrees={row['agrees']}")
    for bits in (2, 4):
        rows = [r for r in kernels if r["bits"] == bits]
        supported = [r for r in rows if r["supported"]]
        check([r["name"] for r in rows if r["selected"]] == [supported[0]["name"]],
              f"{bits}-bit dispatch picks the first supported variant ({supported[0]['name']})")
        check(all(r["agrees"] for r in supported), f"every supported {bits}-bit variant agrees with portable")
    if flags is not None:
        wants = {"avx2": {"avx2", "fma"}, "avx512": {"avx512f", "avx512bw"}, "portable": set()}
        for row in kernels:
            family = row["name"].rsplit("_", 1)[0]
            check(row["supported"] == wants[family] <= flags,
                  f"{row['name']} supported exactly when /proc/cpuinfo lists {sorted(wants[family]) or 'nothing'}")
    print("wheel smoke test passed")


if __name__ == "__main__":
    main()
