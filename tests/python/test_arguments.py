"""Argument matching (messages and order of checks), the 'argument' prefix rule, scalar conversions."""
import pytest
from conftest import raises_exact

from kivo import Kivo


@pytest.fixture
def index():
    k = Kivo(4)
    k.add([1, 2], [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0]])
    return k


@pytest.mark.parametrize("call, message", [
    (lambda k: k.search(), "Kivo.search() missing 2 required positional arguments: 'query' and 'k'"),
    (lambda k: k.search([1, 0, 0, 0]), "Kivo.search() missing 1 required positional argument: 'k'"),
    (lambda k: k.search(k=1), "Kivo.search() missing 1 required positional argument: 'query'"),
    (lambda k: k.search([1, 0, 0, 0], 1, None, 4), "Kivo.search() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda k: k.add([1], ids=[1]), "Kivo.add() got multiple values for argument 'ids'"),
    (lambda k: k.add([1], [[0] * 4], 3), "Kivo.add() takes 2 positional arguments but 3 were given"),
    (lambda k: k.add(), "Kivo.add() missing 2 required positional arguments: 'ids' and 'vectors'"),
    (lambda k: k.add(idz=[1], vectors=[]), "Kivo.add() got an unexpected keyword argument 'idz'"),
    (lambda k: k.set_nprobe(1, 2), "Kivo.set_nprobe() takes 1 positional arguments but 2 were given"),
    (lambda k: k.set_ef_search(), "Kivo.set_ef_search() missing 1 required positional argument: 'ef'"),
    (lambda k: k.fit(), "Kivo.fit() missing 1 required positional argument: 'vectors'"),
    (lambda k: k.save(), "Kivo.save() missing 1 required positional argument: 'path'"),
    (lambda k: k.save("a", path="b"), "Kivo.save() got multiple values for argument 'path'"),
    (lambda k: k.optimal_n4_dims(), "Kivo.optimal_n4_dims() missing 2 required positional arguments: 'sample_vecs' and 'avg_bits'"),
    (lambda k: k.profile_variance(samples=[]), "Kivo.profile_variance() got an unexpected keyword argument 'samples'"),
    (lambda k: k.transform_query_np(), "Kivo.transform_query_np() missing 1 required positional argument: 'query'"),
    (lambda k: Kivo.recommended_m(), "Kivo.recommended_m() missing 1 required positional argument: 'n'"),
    (lambda k: Kivo.recommended_m(1, 2), "Kivo.recommended_m() takes 1 positional arguments but 2 were given"),
    (lambda k: Kivo.load(), "Kivo.load() missing 1 required positional argument: 'path'"),
    (lambda k: Kivo.load(file="x"), "Kivo.load() got an unexpected keyword argument 'file'"),
    (lambda k: Kivo(), "Kivo.__new__() missing 1 required positional argument: 'dim'"),
    (lambda k: Kivo(dimension=8), "Kivo.__new__() got an unexpected keyword argument 'dimension'"),
    (lambda k: Kivo(8, dim=8), "Kivo.__new__() got multiple values for argument 'dim'"),
    (lambda k: Kivo(*range(12)), "Kivo.__new__() takes from 1 to 11 positional arguments but 12 were given"),
])
def test_matching_messages(index, call, message):
    with raises_exact(TypeError, message):
        call(index)


@pytest.mark.parametrize("call, message", [
    # too many positional arguments are reported before a bad keyword
    (lambda k: k.search(1, 2, 3, 4, bogus=1), "Kivo.search() takes from 2 to 3 positional arguments but 4 were given"),
    # keywords in the order given: unknown before a later duplicate
    (lambda k: k.search([0] * 4, bogus=1, query=2), "Kivo.search() got an unexpected keyword argument 'bogus'"),
    (lambda k: k.search([0] * 4, query=2, bogus=1), "Kivo.search() got multiple values for argument 'query'"),
    # keyword errors before missing parameters
    (lambda k: k.search(bogus=1), "Kivo.search() got an unexpected keyword argument 'bogus'"),
    # matching before any conversion
    (lambda k: k.search("bad query", "bad k", "bad allowlist", extra=1), "Kivo.search() got an unexpected keyword argument 'extra'"),
])
def test_order_of_checks(index, call, message):
    with raises_exact(TypeError, message):
        call(index)


def test_keyword_passing(index):
    assert index.search(k=1, query=[1.0, 0.0, 0.0, 0.0], allowlist=None)[0]["id"] == 1


@pytest.mark.parametrize("name", ["build", "is_empty", "is_mixed", "packed_data", "vector_norms", "vector_ids"])
def test_argument_less_methods_refuse_arguments(index, name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(index, name)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(index, name)(x=1)


@pytest.mark.parametrize("name", ["centroids_4bit", "centroids_2bit"])
def test_static_argument_less_methods_refuse_arguments(name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(Kivo, name)(1)


@pytest.mark.parametrize("call, message", [
    (lambda k: k.search([1, 0, 0, 0], 1.0), "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda k: k.search([1, 0, 0, 0], None), "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
    (lambda k: k.set_nprobe("eight"), "argument 'nprobe': 'str' object cannot be interpreted as an integer"),
    (lambda k: k.set_ef_search(2.5), "argument 'ef': 'float' object cannot be interpreted as an integer"),
    (lambda k: Kivo.recommended_m("1"), "argument 'n': 'str' object cannot be interpreted as an integer"),
    (lambda k: k.save(123), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda k: k.save(None), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda k: Kivo.load(b"x.kivo"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda k: k.optimal_n4_dims([[0] * 4], "three"), "argument 'avg_bits': must be real number, not str"),
    (lambda k: k.add("12", [[0] * 4]), "argument 'ids': Can't extract `str` to `Vec`"),
    (lambda k: k.add(7, [[0] * 4]), "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
    (lambda k: k.add([1.5], [[0] * 4]), "argument 'ids': 'float' object cannot be interpreted as an integer"),
    (lambda k: k.search([1, 0, 0, 0], 1, {1, 2}), "argument 'allowlist': 'set' object cannot be converted to 'Sequence'"),
    (lambda k: k.search([1, 0, 0, 0], 1, ["1"]), "argument 'allowlist': 'str' object cannot be interpreted as an integer"),
])
def test_prefix_on_type_errors_of_non_vector_arguments(index, call, message):
    with raises_exact(TypeError, message):
        call(index)


def test_qualified_type_name_in_message(index):
    class Outer:
        class Inner:
            pass

    with raises_exact(TypeError, "argument 'path': 'test_qualified_type_name_in_message.<locals>.Outer.Inner' "
                                 "object cannot be converted to 'PyString'"):
        index.save(Outer.Inner())


@pytest.mark.parametrize("call", [
    lambda k: k.search([1, 0, 0, 0], -1),
    lambda k: k.set_nprobe(-8),
    lambda k: k.set_ef_search(2**64),
    lambda k: Kivo.recommended_m(-1),
    lambda k: k.add([-1], [[0] * 4]),
    lambda k: k.add([2**64], [[0] * 4]),
    lambda k: k.search([1, 0, 0, 0], 1, [-3]),
])
def test_overflow_passes_without_prefix(index, call):
    with pytest.raises(OverflowError) as info:
        call(index)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


def test_vector_arguments_get_no_prefix(index):
    with raises_exact(TypeError, "Can't extract `str` to `Vec`"):
        index.search("abcd", 1)
    with raises_exact(TypeError, "'int' object cannot be converted to 'Sequence'"):
        index.add([1], 5)
    with raises_exact(TypeError, "'NoneType' object cannot be converted to 'Sequence'"):
        index.fit(None)
    with raises_exact(TypeError, "must be real number, not str"):
        index.profile_variance([["a"] * 4])


class SubTypeError(TypeError):
    pass


class BadIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_subclass_of_type_error_passes_unchanged(index):
    with raises_exact(SubTypeError, "custom"):
        index.search([1, 0, 0, 0], BadIndex(SubTypeError("custom")))


def test_other_errors_from_protocols_pass_unchanged(index):
    with pytest.raises(KeyError) as info:
        index.set_nprobe(BadIndex(KeyError("boom")))
    assert info.value.args == ("boom",)
    with raises_exact(ValueError, "nope"):
        index.add([BadIndex(ValueError("nope"))], [[0] * 4])


def test_prefixed_error_keeps_the_cause(index):
    cause = LookupError("root")
    inner = TypeError("inner text")
    inner.__cause__ = cause
    with raises_exact(TypeError, "argument 'k': inner text") as info:
        index.search([1, 0, 0, 0], BadIndex(inner))
    assert info.value.__cause__ is cause
    assert info.value is not inner


def test_prefixed_error_without_cause(index):
    with pytest.raises(TypeError) as info:
        index.search([1, 0, 0, 0], 1.5)
    assert info.value.__cause__ is None


def test_k_before_allowlist_before_query(index):
    with raises_exact(TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"):
        index.search("bad", "k", "bad")
    with raises_exact(TypeError, "argument 'allowlist': Can't extract `str` to `Vec`"):
        index.search("bad", 1, "bad")
    with raises_exact(TypeError, "Can't extract `str` to `Vec`"):
        index.search("bad", 1, [1])


def test_avg_bits_converted_before_sample(index):
    with raises_exact(TypeError, "argument 'avg_bits': must be real number, not NoneType"):
        index.optimal_n4_dims("not a sample", None)


def test_ids_converted_before_vectors(index):
    with raises_exact(TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"):
        index.add([1.0], "not vectors")


def test_none_only_for_optional_parameters(index):
    assert Kivo(8, mixed_ratio=None, n4_dims=None).n4_dims == 8
    assert index.search([1, 0, 0, 0], 2, None) == index.search([1, 0, 0, 0], 2)
    with pytest.raises(TypeError, match="^argument 'ids'"):
        index.add(None, [])
    with raises_exact(TypeError, "'NoneType' object cannot be converted to 'Sequence'"):
        index.search(None, 1)


def test_receiver_check_of_the_interpreter():
    # The class's functions are method descriptors: the interpreter checks
    # the receiver before the module sees the call.
    with pytest.raises(TypeError, match="descriptor 'search' for 'kivo.Kivo' objects doesn't apply to a 'object' object"):
        Kivo.search(object(), [1.0], 1)
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        Kivo.__dict__["n_vectors"].__get__(5, int)
