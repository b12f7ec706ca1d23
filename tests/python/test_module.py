"""The module object and the class surface: attributes, docstrings, signatures, class flags."""
import inspect
import types
import weakref

import pytest

import kivo
from kivo import Kivo

METHODS = [
    # (name, text signature after the name, first docstring line)
    ("add", "($self, ids, vectors)", "Add vectors to the index."),
    ("search", "($self, query, k, allowlist=None)", "Search for the K nearest neighbors."),
    ("fit", "($self, vectors)", "Compute per-dimension standardization parameters for L2 metric."),
    ("build", "($self)", "Build the search index."),
    ("set_ef_search", "($self, ef)", "Update HNSW ef_search at runtime without rebuilding the index."),
    ("set_nprobe", "($self, nprobe)", "Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS."),
    ("save", "($self, path)", "Save the index to a .kivo file."),
    ("recommended_m", "(n)", "Recommended HNSW M value for a given corpus size."),
    ("load", "($cls, path, *, hnsw_selection=\"diverse\")", "Load an index from a .kivo file."),
    ("is_empty", "($self)", "True if the index contains no vectors."),
    ("is_mixed", "($self)", "True when index uses mixed 4-bit/2-bit quantization."),
    ("profile_variance", "($self, sample_vecs)", "Profile per-dimension variance of RHDH-rotated embeddings."),
    ("optimal_n4_dims", "($self, sample_vecs, avg_bits)", "Compute the optimal n4_dims for a given average bit budget."),
    ("search_batch", "($self, queries, k, allowlist=None, *, threads=0)",
     "Search for the K nearest neighbors of many queries at once."),
    ("remove", "($self, ids)", "Remove vectors from the index."),
    ("upsert", "($self, ids, vectors)", "Replace vectors: the vectors stored under each ID give way to the new one."),
    ("transform_query_np", "($self, query)", "Apply the full query pipeline (standardization \u2192 RHDH \u2192 scale)."),
    ("packed_data", "($self)", "Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``."),
    ("vector_norms", "($self)", "Per-vector quantized norms as a float32 numpy array of shape ``[n]``."),
    ("vector_ids", "($self)", "Vector IDs as a uint64 numpy array of shape ``[n]``."),
    ("centroids_4bit", "()", "4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``."),
    ("centroids_2bit", "()", "2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``."),
]

PROPERTIES = [
    ("n_vectors", "Number of indexed vectors."),
    ("dim", "Vector dimension."),
    ("bit_width", "Quantization bit width (2 or 4)."),
    ("index_type", "Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'."),
    ("n4_dims", "Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit)."),
    ("metric", "Distance metric: 'cosine', 'dot', or 'l2'."),
    ("padded_dim", "RHDH output dimension (`dim.next_power_of_two()`)."),
    ("packed_bytes_per_vec", "Bytes per packed vector."),
    ("pb4_per_vec", "Bytes in the 4-bit block per packed vector (0 for pure 2-bit)."),
]


def test_module_attributes():
    assert kivo.__version__ == "1.0.0"
    assert kivo.__doc__ == ""
    assert kivo.Kivo.__name__ == "Kivo"
    # No module-level functions; submodules (kivo.gpu) appear only once imported.
    public = {name for name, value in vars(kivo).items()
              if not name.startswith("_") and not isinstance(value, types.ModuleType)}
    assert public == {"Kivo"}


def test_class_signature_and_doc():
    assert Kivo.__text_signature__ == (
        '(dim, metric="cosine", bit_width=4, index_type="brute_force", mixed_ratio=None, n4_dims=None, '
        "ivf_nlist=256, ivf_nprobe=8, hnsw_m=32, hnsw_ef_construction=200, hnsw_ef_search=0, "
        '*, hnsw_selection="diverse")'
    )
    sig = inspect.signature(Kivo)
    assert list(sig.parameters) == [
        "dim", "metric", "bit_width", "index_type", "mixed_ratio", "n4_dims",
        "ivf_nlist", "ivf_nprobe", "hnsw_m", "hnsw_ef_construction", "hnsw_ef_search", "hnsw_selection",
    ]
    assert sig.parameters["hnsw_selection"].kind is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["hnsw_selection"].default == "diverse"
    assert sig.parameters["metric"].default == "cosine"
    assert sig.parameters["hnsw_ef_search"].default == 0
    doc = Kivo.__doc__
    assert doc.splitlines()[0] == "Kivo \u2014 ultra-low resource embedded vector search engine."
    assert "Parameters\n----------\n" in doc
    order = ["dim", "metric", "bit_width", "index_type", "mixed_ratio", "n4_dims", "ivf_nlist",
             "ivf_nprobe", "hnsw_m", "hnsw_ef_construction", "hnsw_ef_search", "hnsw_selection"]
    positions = [doc.index("\n" + name + " : ") for name in order]
    assert positions == sorted(positions)
    for text in [
        "Vector dimension.",
        "Similarity metric: 'cosine' (default), 'dot', or 'l2'.",
        "Quantization bits: 4 (default, 8x compression) or 2 (16x compression).",
        "Index algorithm: 'brute_force' (default), 'ivf_flat', or 'hnsw'.",
        "Fraction of dims at 4-bit (rest at 2-bit). None = pure mode.",
        "Exact number of 4-bit dimensions (padded space). Overrides mixed_ratio.",
        "HNSW: candidate list size during search. 0 = default (m*2). Runtime-tunable.",
    ]:
        assert text in doc


def test_method_table_order():
    names = [name for name in Kivo.__dict__ if not name.startswith("_")]
    methods = [n for n in names if n not in {p for p, _ in PROPERTIES}]
    assert methods == [m for m, _, _ in METHODS]


@pytest.mark.parametrize("name, text_sig, first_line", METHODS)
def test_method_signatures_and_docs(name, text_sig, first_line):
    raw = Kivo.__dict__[name]
    func = getattr(Kivo, name)
    assert func.__text_signature__ == text_sig
    inspect.signature(func)  # must parse
    assert func.__doc__.splitlines()[0] == first_line
    kind = {"recommended_m": staticmethod, "centroids_4bit": staticmethod, "centroids_2bit": staticmethod,
            "load": classmethod}.get(name)
    if kind is staticmethod:
        assert isinstance(raw, staticmethod)
    elif kind is classmethod:
        assert type(raw).__name__ == "classmethod_descriptor"
    else:
        assert type(raw).__name__ == "method_descriptor"


@pytest.mark.parametrize("name, doc", PROPERTIES)
def test_properties_read_only_with_docs(name, doc):
    prop = Kivo.__dict__[name]
    assert prop.__doc__ == doc
    k = Kivo(8)
    with pytest.raises(AttributeError):
        setattr(k, name, 1)


def test_docstring_contents():
    assert "32 for N < 1_000_000, 64 for N \u2265 1_000_000." in Kivo.recommended_m.__doc__
    assert "IvfFlat: vectors added after the last ``build()``" in Kivo.save.__doc__
    assert "Each dict has keys 'id' (int) and 'score' (float), sorted by score descending." in Kivo.search.__doc__
    assert "Unique integer IDs for each vector." in Kivo.add.__doc__
    assert "The embedding vectors to index" in Kivo.add.__doc__
    assert "If provided, only these IDs are candidates (pre-filtered)." in Kivo.search.__doc__
    assert "No-op for non-HNSW index types." in Kivo.set_ef_search.__doc__
    assert "BruteForce only \u2014 raises ``RuntimeError`` for IvfFlat / HNSW." in Kivo.packed_data.__doc__
    assert "Used by GPU scoring to avoid reimplementing RHDH in Python." in Kivo.transform_query_np.__doc__
    assert "Optimal n4_dims (multiple of 4)." in Kivo.optimal_n4_dims.__doc__


def test_class_is_final_without_dict_or_weakrefs():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (Kivo,), {})
    k = Kivo(4)
    with pytest.raises(AttributeError):
        k.anything = 1
    assert not hasattr(k, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(k)
    assert not Kivo.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    assert Kivo.__hash__ is object.__hash__ and Kivo.__eq__ is object.__eq__
    assert k == k and k != Kivo(4)


def test_no_pickling_or_copying():
    import copy
    import pickle

    with pytest.raises(TypeError, match="cannot pickle 'kivo.Kivo' object"):
        pickle.dumps(Kivo(4))
    with pytest.raises(TypeError):
        copy.copy(Kivo(4))


def test_repr_len_truth():
    k = Kivo(8)
    assert repr(k) == "Kivo(dim=8, n=0, bit_width=4, index_type=BruteForce)"
    assert len(k) == 0 and not k
    k.add([3], [[1.0] * 8])
    assert len(k) == 1 and k
    assert repr(k) == "Kivo(dim=8, n=1, bit_width=4, index_type=BruteForce)"
    assert repr(Kivo(5, bit_width=2, index_type="hnsw")) == "Kivo(dim=5, n=0, bit_width=2, index_type=Hnsw)"


def test_reimport_keeps_the_same_class():
    import importlib
    import sys

    saved = sys.modules.pop("kivo")
    try:
        again = importlib.import_module("kivo")
        assert again is not saved
        assert again.Kivo is saved.Kivo
    finally:
        sys.modules["kivo"] = saved


def test_import_refused_in_subinterpreter():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match=r"ImportError\W*: kivo can only be imported in the main interpreter"):
            interpreters.run_string(interp, "import kivo")
    finally:
        interpreters.destroy(interp)


def test_private_kernel_report_of_the_build():
    # kivo._kivo._kernels() lets a packaged build show its dispatch; kivo itself exports nothing new.
    rows = kivo._kivo._kernels()
    assert {"portable_2bit", "portable_4bit", "avx2_2bit", "avx2_4bit"} <= {r["name"] for r in rows}
    for bits in (2, 4):
        mine = [r for r in rows if r["bits"] == bits]
        supported = [r["name"] for r in mine if r["supported"]]
        assert [r["name"] for r in mine if r["selected"]] == supported[:1]
        assert all(r["agrees"] == r["supported"] for r in mine)
    assert "_kernels" not in vars(kivo)
