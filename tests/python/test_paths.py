"""File paths of save and load: str and os.PathLike giving str; bytes refused; messages as for str."""
import pathlib

import pytest
from conftest import raises_exact

from kivo import Kivo


class StrPath:
    """An os.PathLike that is no pathlib object."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class BytesPath:
    def __fspath__(self):
        return b"x.kivo"


class IntPath:
    def __fspath__(self):
        return 3


class FailingPath:
    def __fspath__(self):
        raise ValueError("no path today")


PATH_KINDS = [str, pathlib.Path, pathlib.PurePosixPath, StrPath]


@pytest.fixture
def index():
    k = Kivo(8, metric="dot")
    k.add([11, 22, 33], [[float(i == j) for j in range(8)] for i in range(3)])
    return k


@pytest.mark.parametrize("kind", PATH_KINDS, ids=lambda t: t.__name__)
def test_round_trip_through_each_path_kind(index, tmp_path, kind):
    path = kind(str(tmp_path / "a.kivo"))
    index.save(path)
    assert (tmp_path / "a.kivo").read_bytes()[:4] == b"KIVO"
    loaded = Kivo.load(path)
    assert loaded.search([0, 1, 0, 0, 0, 0, 0, 0], 3) == index.search([0, 1, 0, 0, 0, 0, 0, 0], 3)


@pytest.mark.parametrize("kind", PATH_KINDS[1:], ids=lambda t: t.__name__)
@pytest.mark.parametrize("name", ["missing/dir/a.kivo", "nul\0byte.kivo"])
def test_path_like_fails_with_the_message_of_its_str(index, tmp_path, kind, name):
    text = str(tmp_path / name)
    for call in (index.save, Kivo.load):
        with pytest.raises(Exception) as as_str:
            call(text)
        with pytest.raises(Exception) as as_path:
            call(kind(text))
        assert type(as_path.value) is type(as_str.value)
        assert as_path.value.args == as_str.value.args


@pytest.mark.parametrize("path, message", [
    (b"x.kivo", "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (BytesPath(), "argument 'path': 'BytesPath' object cannot be converted to 'PyString'"),
    (IntPath(), "argument 'path': expected IntPath.__fspath__() to return str or bytes, not int"),
    (pathlib.Path, "argument 'path': 'type' object cannot be converted to 'PyString'"),
])
def test_refused_paths(index, path, message):
    for call in (index.save, Kivo.load):
        with raises_exact(TypeError, message):
            call(path)


def test_fspath_error_passes_unchanged(index):
    for call in (index.save, Kivo.load):
        with raises_exact(ValueError, "no path today"):
            call(FailingPath())

