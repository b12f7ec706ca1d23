"""Constructor: defaults, metric and index type texts, n4_dims derivation, numeric edge cases."""
import math

import pytest
from conftest import raises_exact

from kivo import Kivo


def test_defaults():
    k = Kivo(8)
    assert (k.metric, k.bit_width, k.index_type, k.padded_dim, k.n4_dims, k.n_vectors) == (
        "cosine", 4, "BruteForce", 8, 8, 0)
    assert k.dim == 8 and k.pb4_per_vec == 4 and k.packed_bytes_per_vec == 4


@pytest.mark.parametrize("text, name", [
    ("cosine", "cosine"), ("COSINE", "cosine"), ("dot", "dot"), ("DOT_PRODUCT", "dot"), ("Dot_Product", "dot"),
    ("l2", "l2"), ("L2", "l2"), ("Euclidean", "l2"),
])
def test_metric_texts(text, name):
    assert Kivo(4, metric=text).metric == name


@pytest.mark.parametrize("text, shown", [
    ("dot-product", "dot-product"), ("cos", "cos"), ("", ""), ("COSINE ", "cosine "), ("\u0130", "i\u0307"),
])
def test_unknown_metric(text, shown):
    with raises_exact(ValueError, f"unknown metric '{shown}': use 'cosine', 'dot', or 'l2'"):
        Kivo(4, metric=text)


@pytest.mark.parametrize("text, name", [
    ("brute_force", "BruteForce"), ("Brute-Force", "BruteForce"), ("bruteforce", "BruteForce"), ("BRUTE", "BruteForce"),
    ("ivf_flat", "IvfFlat"), ("IVF-Flat", "IvfFlat"), ("ivfflat", "IvfFlat"), ("ivf", "IvfFlat"),
    ("hnsw", "Hnsw"), ("HNSW", "Hnsw"),
])
def test_index_type_texts(text, name):
    assert Kivo(4, index_type=text).index_type == name


@pytest.mark.parametrize("text, shown", [("flat", "flat"), ("IVF-PQ", "ivf_pq"), ("brute force", "brute force")])
def test_unknown_index_type(text, shown):
    with raises_exact(ValueError, f"unknown index_type '{shown}': use 'brute_force', 'ivf_flat', or 'hnsw'"):
        Kivo(4, index_type=text)


def test_metric_error_before_index_type_error():
    with raises_exact(ValueError, "unknown metric 'x': use 'cosine', 'dot', or 'l2'"):
        Kivo(4, metric="x", index_type="y")


@pytest.mark.parametrize("kwargs, n4", [
    ({}, 128),
    ({"bit_width": 2}, 0),
    ({"mixed_ratio": 0.5}, 64),
    ({"mixed_ratio": 0.3}, 36),
    ({"mixed_ratio": 1.7}, 128),
    ({"mixed_ratio": 0.0}, 0),
    ({"mixed_ratio": -3}, 0),
    ({"mixed_ratio": math.nan}, 0),
    ({"mixed_ratio": math.inf}, 128),
    ({"mixed_ratio": -math.inf}, 0),
    ({"mixed_ratio": 1e300}, 128),
    ({"mixed_ratio": True}, 128),
    ({"mixed_ratio": None}, 128),
    ({"bit_width": 2, "mixed_ratio": 0.5}, 64),
    ({"n4_dims": 130}, 128),
    ({"n4_dims": 7}, 4),
    ({"n4_dims": 0}, 0),
    ({"n4_dims": None, "bit_width": 2}, 0),
    ({"mixed_ratio": 0.5, "n4_dims": 8}, 8),
    ({"bit_width": 2, "n4_dims": 2**64 - 1}, 128),
])
def test_n4_dims_derivation_dim_100(kwargs, n4):
    k = Kivo(100, **kwargs)
    assert k.padded_dim == 128
    assert k.n4_dims == n4


def test_mixed_ratio_rounds_half_away_from_zero_in_float32():
    # 0.3 * 8 = 2.4 -> 2 -> 0; 0.5625 * 8 = 4.5 -> 5 -> 4; 0.6875 * 16 = 11 -> 8
    assert Kivo(8, mixed_ratio=0.3).n4_dims == 0
    assert Kivo(8, mixed_ratio=0.5625).n4_dims == 4
    assert Kivo(16, mixed_ratio=0.6875).n4_dims == 8
    # float32 arithmetic: 0.2187499999 becomes 0.21875, and 0.21875 * 16 = 3.5
    # rounds to 4 (in double the product 3.4999999984 would round to 3 -> 0)
    assert Kivo(16, mixed_ratio=0.2187499999).n4_dims == 4


class Ratio:
    def __float__(self):
        return 0.5


class Index:
    def __index__(self):
        return 12


def test_float_and_index_protocols():
    assert Kivo(100, mixed_ratio=Ratio()).n4_dims == 64
    k = Kivo(Index(), n4_dims=Index())
    assert (k.dim, k.n4_dims) == (12, 12)


@pytest.mark.parametrize("dim, padded", [(0, 1), (1, 1), (2, 2), (3, 4), (1025, 2048), (1536, 2048)])
def test_padded_dim(dim, padded):
    k = Kivo(dim)
    assert k.padded_dim == padded
    assert k.n4_dims == padded


def test_small_dims_pure_4bit():
    assert Kivo(1).n4_dims == 1
    assert Kivo(2).n4_dims == 2


def test_bit_width_3_refused_by_engine():
    with raises_exact(ValueError, "invalid bit width: 3 (must be 2 or 4)"):
        Kivo(3, bit_width=3)


@pytest.mark.parametrize("bit_width", [256, -1, 2**63 - 1, -(2**63)])
def test_bit_width_out_of_u8(bit_width):
    with raises_exact(OverflowError, "out of range integral type conversion attempted"):
        Kivo(8, bit_width=bit_width)


@pytest.mark.parametrize("bit_width", [2**63, -(2**63) - 1, 2**100])
def test_bit_width_beyond_i64_gets_interpreter_error(bit_width):
    with pytest.raises(OverflowError) as info:
        Kivo(8, bit_width=bit_width)
    assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize("bit_width", [0, 1, 5, 8, 255])
def test_other_bit_widths_refused_by_engine(bit_width):
    with raises_exact(ValueError, f"invalid bit width: {bit_width} (must be 2 or 4)"):
        Kivo(8, bit_width=bit_width)


def test_explicit_n4_dims_is_cleared_to_a_multiple_of_4():
    # dim 3: padded 4; the constructor clears the low bits, so an explicit
    # n4_dims never reaches the engine inconsistent.
    assert Kivo(3, n4_dims=3).n4_dims == 0


@pytest.mark.parametrize("name, value", [
    ("dim", -1), ("dim", 2**64), ("n4_dims", -1), ("ivf_nlist", -5), ("ivf_nprobe", 2**64),
    ("hnsw_m", -1), ("hnsw_ef_construction", -1), ("hnsw_ef_search", 2**70),
])
def test_u64_parameters_overflow_without_prefix(name, value):
    kwargs = {"dim": 8, name: value}
    with pytest.raises(OverflowError) as info:
        Kivo(**kwargs)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name, value, message", [
    ("dim", 8.0, "argument 'dim': 'float' object cannot be interpreted as an integer"),
    ("dim", None, "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
    ("metric", None, "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"),
    ("metric", b"cosine", "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
    ("index_type", 1, "argument 'index_type': 'int' object cannot be converted to 'PyString'"),
    ("bit_width", None, "argument 'bit_width': 'NoneType' object cannot be interpreted as an integer"),
    ("bit_width", 4.0, "argument 'bit_width': 'float' object cannot be interpreted as an integer"),
    ("mixed_ratio", "0.5", "argument 'mixed_ratio': must be real number, not str"),
    ("n4_dims", 8.0, "argument 'n4_dims': 'float' object cannot be interpreted as an integer"),
    ("ivf_nlist", None, "argument 'ivf_nlist': 'NoneType' object cannot be interpreted as an integer"),
    ("hnsw_m", "32", "argument 'hnsw_m': 'str' object cannot be interpreted as an integer"),
])
def test_conversion_type_errors(name, value, message):
    kwargs = {"dim": 8, name: value}
    with raises_exact(TypeError, message):
        Kivo(**kwargs)


def test_conversion_order_follows_parameters():
    # dim is converted before metric, metric before bit_width, and so on.
    with raises_exact(TypeError, "argument 'dim': 'str' object cannot be interpreted as an integer"):
        Kivo("8", metric=None, bit_width=None)
    with raises_exact(TypeError, "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"):
        Kivo(8, metric=None, bit_width=None)
    # conversion errors come before text parsing
    with raises_exact(TypeError, "argument 'hnsw_ef_search': 'NoneType' object cannot be interpreted as an integer"):
        Kivo(8, metric="nope", hnsw_ef_search=None)


def test_unused_index_parameters_still_converted():
    with pytest.raises(OverflowError):
        Kivo(8, index_type="brute_force", hnsw_m=-1)


def test_positional_arguments():
    k = Kivo(100, "dot", 2, "hnsw", 0.5, None, 1, 2, 16, 100, 50)
    assert (k.metric, k.bit_width, k.index_type, k.n4_dims) == ("dot", 2, "Hnsw", 64)


def test_str_subclass_accepted():
    class S(str):
        pass

    assert Kivo(4, metric=S("L2")).metric == "l2"


def test_lone_surrogate_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Kivo(4, metric="\ud800")


def test_huge_dimension_raises_memory_error():
    with pytest.raises(MemoryError):
        Kivo(2**62)
    with pytest.raises(MemoryError):
        Kivo(2**63 + 1)
    with pytest.raises(MemoryError):
        Kivo(2**64 - 1)
