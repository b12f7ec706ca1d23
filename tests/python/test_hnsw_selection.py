"""HNSW link selection: the keyword-only hnsw_selection of the constructor and of load, its texts and errors,
and that it decides the graph of new insertions (the file does not store it)."""
import numpy as np
import pytest
from conftest import clustered, raises_exact

from kivo import Kivo


def build(rng_seed, selection, n=600, dim=16):
    rng = np.random.default_rng(rng_seed)
    k = Kivo(dim, index_type="hnsw", hnsw_m=4, hnsw_ef_construction=32, hnsw_selection=selection)
    k.add(np.arange(n, dtype=np.uint64), clustered(rng, n, dim, centres=30, spread=0.05))
    return k


def saved_bytes(k, path):
    k.save(str(path))
    return path.read_bytes()


@pytest.mark.parametrize("text", ["diverse", "closest", "DIVERSE", "Closest"])
def test_texts_accepted(text):
    assert len(Kivo(4, index_type="hnsw", hnsw_selection=text)) == 0


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Kivo(4, index_type="hnsw", hnsw_selection="nearest"), ValueError,
     "unknown hnsw_selection 'nearest': use 'diverse' or 'closest'"),
    (lambda: Kivo(4, hnsw_selection=None), TypeError,
     "argument 'hnsw_selection': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Kivo(*range(1, 13)), TypeError,
     "Kivo.__new__() takes from 1 to 11 positional arguments but 12 were given"),
    (lambda: Kivo.load("x.kivo", "closest"), TypeError,
     "Kivo.load() takes 1 positional arguments but 2 were given"),
    (lambda: Kivo.load("x.kivo", hnsw_selection="Heuristic"), ValueError,
     "unknown hnsw_selection 'heuristic': use 'diverse' or 'closest'"),
])
def test_errors(call, exc, message):
    with raises_exact(exc, message):
        call()


def test_selection_decides_the_graph_and_is_not_stored(tmp_path):
    diverse = saved_bytes(build(5, "diverse"), tmp_path / "d.kivo")
    closest = saved_bytes(build(5, "closest"), tmp_path / "c.kivo")
    assert diverse != closest
    assert saved_bytes(build(5, "diverse"), tmp_path / "d2.kivo") == diverse  # deterministic
    # The default is diverse; the header carries no trace of the choice.
    default = Kivo(16, index_type="hnsw", hnsw_m=4, hnsw_ef_construction=32)
    rng = np.random.default_rng(5)
    default.add(np.arange(600, dtype=np.uint64), clustered(rng, 600, 16, centres=30, spread=0.05))
    assert saved_bytes(default, tmp_path / "default.kivo") == diverse
    assert diverse[:56] == closest[:56]


def test_load_takes_the_selection_for_later_insertions(tmp_path):
    path = tmp_path / "base.kivo"
    build(7, "closest", n=300).save(str(path))
    more = clustered(np.random.default_rng(8), 300, 16, centres=30, spread=0.05)
    ids = np.arange(300, 600, dtype=np.uint64)
    grown = {}
    for selection in [None, "diverse", "closest", "CLOSEST"]:
        k = Kivo.load(str(path)) if selection is None else Kivo.load(str(path), hnsw_selection=selection)
        k.add(ids, more)
        grown[selection] = saved_bytes(k, tmp_path / f"{selection}.kivo")
    assert grown[None] == grown["diverse"]
    assert grown["closest"] == grown["CLOSEST"]
    assert grown["closest"] != grown["diverse"]


def test_other_index_types_ignore_it(tmp_path):
    k = Kivo(4, hnsw_selection="closest")
    k.add([1], [[1.0, 0.0, 0.0, 0.0]])
    k.save(str(tmp_path / "b.kivo"))
    loaded = Kivo.load(str(tmp_path / "b.kivo"), hnsw_selection="closest")
    assert loaded.search([1.0, 0.0, 0.0, 0.0], 1)[0]["id"] == 1
