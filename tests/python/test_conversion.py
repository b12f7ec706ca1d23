"""Vector, batch and id-list arguments: lists, sequences and NumPy arrays, with their exact errors."""
import array

import numpy as np
import pytest
from conftest import raises_exact

from kivo import Kivo

DIM = 8


@pytest.fixture
def index():
    k = Kivo(DIM, metric="dot")
    k.add([1, 2, 3], np.eye(3, DIM, dtype=np.float32))
    return k


def scores(results):
    return [(r["id"], r["score"]) for r in results]


# ---- single vector (query) ---------------------------------------------------

QUERY = [0.5, -1.0, 2.0, 0.0, 1.0, 3.0, -2.0, 0.25]


@pytest.mark.parametrize("make", [
    lambda q: q,
    lambda q: tuple(q),
    lambda q: [int(x * 4) / 4 for x in q],
    lambda q: np.array(q, dtype=np.float32),
    lambda q: np.array(q, dtype=np.float64),
    lambda q: np.array(q, dtype=np.float16),
    lambda q: np.array(q, dtype=">f4"),  # byte-swapped: sequence route
    lambda q: array.array("f", q),
    lambda q: [np.float32(x) for x in q],
])
def test_query_forms_agree(index, make):
    expected = scores(index.search(QUERY, 3))
    assert scores(index.search(make(QUERY), 3)) == expected
    assert np.array_equal(index.transform_query_np(make(QUERY)), index.transform_query_np(QUERY))


def test_query_of_ints(index):
    assert scores(index.search([1, 0, 0, 0, 0, 0, 0, 0], 1)) == scores(index.search([1.0] + [0.0] * 7, 1))


@pytest.mark.parametrize("query, got", [([0.0] * 9, 9), ([0.0] * 7, 7), ([], 0), (np.zeros(9, np.float32), 9),
                                        (np.zeros(3, np.float64), 3)])
def test_query_length(index, query, got):
    with raises_exact(ValueError, f"query dimension mismatch: expected 8, got {got}"):
        index.search(query, 1)
    with raises_exact(ValueError, f"query dimension mismatch: expected 8, got {got}"):
        index.transform_query_np(query)


def test_strided_float32_query_refused_but_float64_accepted(index):
    with raises_exact(TypeError, "The given array is not contiguous"):
        index.search(np.arange(16, dtype=np.float32)[::2], 1)
    assert len(index.search(np.arange(16, dtype=np.float64)[::2], 1)) == 1


def test_float32_matrix_query_takes_sequence_route(index):
    with pytest.raises(TypeError, match="only (length-1|0-dimensional) arrays can be converted|must be real number"):
        index.search(np.zeros((1, DIM), np.float32), 1)


@pytest.mark.parametrize("query, exc, message", [
    ("abcdefgh", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({1.0: 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ({1.0, 2.0}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    (iter([1.0] * 8), TypeError, "'list_iterator' object cannot be converted to 'Sequence'"),
    ([1.0] * 7 + ["x"], TypeError, "must be real number, not str"),
    ([1.0] * 7 + [None], TypeError, "must be real number, not NoneType"),
])
def test_query_errors(index, query, exc, message):
    with raises_exact(exc, message):
        index.search(query, 1)


def test_element_error_propagates_unchanged(index):
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("custom")

    with raises_exact(ZeroDivisionError, "custom"):
        index.search([Bad()] + [0.0] * 7, 1)


def test_values_beyond_float32_become_infinities(index):
    q = np.asarray(index.transform_query_np([1e300] + [0.0] * 7))
    assert np.isnan(q).any() or np.isinf(q).any()
    big = np.float64(np.finfo(np.float32).max) * (1 + 2**-25)  # rounds back down to FLT_MAX
    k = Kivo(1, metric="dot")
    assert np.isfinite(k.transform_query_np([big])).all()
    assert np.isinf(k.transform_query_np([np.float64(np.finfo(np.float32).max) * 1.5])).all()


def test_read_only_query_untouched(index):
    q = np.array(QUERY, dtype=np.float32)
    q.setflags(write=False)
    before = q.copy()
    index.search(q, 2)
    index.transform_query_np(q)
    assert np.array_equal(q, before)


# ---- batches ------------------------------------------------------------------

def test_batch_row_lengths_checked_after_conversion():
    k = Kivo(DIM)
    rows = [[0.0] * 8, [0.0] * 8, [0.0] * 7, [0.0] * 7 + ["x"]]
    with raises_exact(TypeError, "must be real number, not str"):
        k.add([1, 2, 3, 4], rows)
    with raises_exact(ValueError, "vector 1 dimension mismatch: expected 8, got 7"):
        k.add([1, 2], [[0.0] * 8, [0.0] * 7])
    assert len(k) == 0


@pytest.mark.parametrize("vectors, exc, message", [
    (np.zeros((5, 7), np.float32), ValueError, "vector dimension mismatch: expected 8, got 7"),
    ("rows", TypeError, "Can't extract `str` to `Vec`"),
    (3.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
    ([[0.0] * 8, "abcdefgh"], TypeError, "Can't extract `str` to `Vec`"),
    ([[0.0] * 8, 1.0], TypeError, "'float' object cannot be converted to 'Sequence'"),
    (np.zeros((4, 16), np.float32)[:, ::2], TypeError, "The given array is not contiguous"),
])
def test_batch_errors(vectors, exc, message):
    k = Kivo(DIM)
    for call in (lambda: k.add([1, 2, 3, 4], vectors), lambda: k.fit(vectors), lambda: k.profile_variance(vectors)):
        with raises_exact(exc, message):
            call()


# Both directions for every route a matrix takes: the C-ordered float32 one is
# read in place and checked by its own path, the others after conversion.
@pytest.mark.parametrize("ids, vectors", [
    ([1, 2, 3, 4], np.zeros((5, 8), np.float32)),
    ([1, 2, 3], np.zeros((2, 8), np.float32)),
    ([1, 2, 3], [[0.0] * 8, [1.0] * 8]),
    ([1, 2, 3], np.zeros((2, 8), np.float64)),
    ([1, 2], np.zeros((8, 3), np.float32).T),
])
def test_ids_and_rows_count(ids, vectors):
    k = Kivo(DIM)
    with raises_exact(ValueError, f"ids length ({len(ids)}) != vectors length ({len(vectors)})"):
        k.add(ids, vectors)
    assert len(k) == 0


def batch_forms(data):
    return {
        "list": data.tolist(),
        "tuple": tuple(tuple(r) for r in data.tolist()),
        "c_f32": data.copy(),
        "f_f32": np.asfortranarray(data),
        "f64": data.astype(np.float64),
        "swapped": data.astype(">f4"),
        "rows_of_arrays": [r.copy() for r in data],
        "strided_rows": [np.repeat(r, 2)[::2] for r in data],
        "read_only": _read_only(data.copy()),
        "unaligned": _unaligned(data),
        "subclass": data.copy().view(_Sub),
    }


class _Sub(np.ndarray):
    pass


def _read_only(a):
    a.setflags(write=False)
    return a


def _unaligned(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)
    view = buf[1:].view(np.float32).reshape(a.shape)
    view[...] = a
    assert not view.flags.aligned
    return view


@pytest.mark.parametrize("form", list(batch_forms(np.zeros((1, 1), np.float32))))
def test_batch_forms_store_identical_codes(rng, form):
    data = rng.standard_normal((6, DIM)).astype(np.float32)
    reference = Kivo(DIM)
    reference.add(list(range(6)), data.tolist())
    k = Kivo(DIM)
    vectors = batch_forms(data)[form]
    snapshot = np.array(vectors, dtype=np.float32, copy=True)
    k.add(np.arange(6), vectors)
    assert np.array_equal(k.packed_data(), reference.packed_data())
    assert np.array_equal(k.vector_norms(), reference.vector_norms())
    assert np.array_equal(np.array(vectors, dtype=np.float32), snapshot)  # never written
    # the same rows as a sample for profiling
    assert k.profile_variance(vectors) == reference.profile_variance(data.tolist())


def test_empty_batches():
    k = Kivo(DIM)
    k.add([], [])
    k.add([], np.zeros((0, DIM), np.float32))
    k.add(np.array([], np.uint64), np.zeros((0, DIM), np.float64))
    assert len(k) == 0
    with raises_exact(ValueError, "sample is empty \u2014 provide at least 1 vector for profiling"):
        k.profile_variance(np.zeros((0, DIM), np.float32))


def test_zero_dimension_float32_matrix():
    k = Kivo(0)
    k.add([1, 2], np.zeros((2, 0), np.float32))
    k.add([3], [[]])
    assert len(k) == 3
    assert k.vector_ids().tolist() == [1, 2, 3]


# ---- id lists ---------------------------------------------------------------------

@pytest.mark.parametrize("ids", [
    [7, 5, 9], (7, 5, 9), range(7, 10, 1), np.array([7, 5, 9], np.int64), np.array([7, 5, 9], np.uint64),
    np.array([7, 5, 9], np.uint8), np.array([7, 5, 9], ">i8"), np.array([7, 5, 9, 1], np.int32)[:3],
    np.array([7, 0, 5, 0, 9], np.int16)[::2], [np.int64(7), np.uint16(5), 9], [True, False, 9],
])
def test_id_forms(ids):
    k = Kivo(2)
    k.add(ids, [[1, 0], [0, 1], [1, 1]])
    assert k.vector_ids().tolist() == [int(i) for i in ids]


def test_ids_full_u64_range_and_duplicates():
    k = Kivo(2)
    k.add([2**64 - 1, 0, 2**64 - 1], [[1, 0], [0, 1], [1, 1]])
    assert k.vector_ids().tolist() == [2**64 - 1, 0, 2**64 - 1]
    assert k.vector_ids().dtype == np.uint64
    top = k.search([1, 0], 3)
    assert {r["id"] for r in top} == {0, 2**64 - 1}
    assert all(type(r["id"]) is int for r in top)


@pytest.mark.parametrize("ids, exc, message", [
    ("123", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ({1, 2, 3}, TypeError, "argument 'ids': 'set' object cannot be converted to 'Sequence'"),
    ([1, 2, 3.0], TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
    (np.array([1, 2, 3], np.float32), TypeError, "argument 'ids': 'numpy.float32' object cannot be interpreted as an integer"),
    ([1, 2, -3], OverflowError, "can't convert negative int to unsigned"),
    (np.array([1, -2, 3], np.int64), OverflowError, "can't convert negative int to unsigned"),
    ([1, 2, 2**64], OverflowError, "int too big to convert"),
])
def test_id_errors(ids, exc, message):
    k = Kivo(2)
    with raises_exact(exc, message):
        k.add(ids, [[1, 0], [0, 1], [1, 1]])
    assert len(k) == 0


def test_generator_refused_as_ids():
    k = Kivo(2)
    with raises_exact(TypeError, "argument 'ids': 'generator' object cannot be converted to 'Sequence'"):
        k.add((i for i in range(3)), [[1, 0], [0, 1], [1, 1]])


def test_absurd_len_hint_is_only_a_hint():
    class Lying:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return [1.0, 0.0]

    k = Kivo(2)
    k.add([1, 2, 3], Lying())
    assert len(k) == 3


def test_len_failure_is_ignored():
    class NoLen:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return i

    k = Kivo(2)
    k.add([1], [NoLen()])
    assert k.vector_ids().tolist() == [1]


def test_list_mutated_during_conversion():
    row = [1.0, 0.0]

    class Shrink:
        def __float__(self):
            row.pop()
            return 1.0

    row[0] = Shrink()
    k = Kivo(2)
    with raises_exact(ValueError, "vector 0 dimension mismatch: expected 2, got 1"):
        k.add([1], [row])
