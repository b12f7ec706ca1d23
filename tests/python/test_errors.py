"""Engine errors as Python exceptions: type by variant, message alone, OSError exactly."""
import os
import struct

import numpy as np
import pytest
from conftest import raises_exact

from kivo import Kivo


@pytest.fixture
def saved(tmp_path):
    k = Kivo(8, metric="dot")
    k.add([11, 22, 33], np.eye(3, 8, dtype=np.float32))
    path = tmp_path / "base.kivo"
    k.save(str(path))
    return k, path


def patched(tmp_path, path, offset, data, name="patched.kivo"):
    raw = bytearray(path.read_bytes())
    raw[offset:offset + len(data)] = data
    out = tmp_path / name
    out.write_bytes(bytes(raw))
    return str(out)


def assert_plain_oserror(info, message=None):
    e = info.value
    assert type(e) is OSError
    assert e.errno is None and e.strerror is None and e.filename is None
    assert len(e.args) == 1
    if message is not None:
        assert str(e) == message


def test_missing_file(tmp_path):
    with pytest.raises(OSError) as info:
        Kivo.load(str(tmp_path / "missing.kivo"))
    assert_plain_oserror(info)
    assert str(info.value).startswith("io error: ")
    assert str(info.value).endswith(" (os error 2)")
    assert not isinstance(info.value, FileNotFoundError)


def test_save_into_missing_directory(saved, tmp_path):
    k, _ = saved
    with pytest.raises(OSError) as info:
        k.save(str(tmp_path / "no" / "such" / "dir.kivo"))
    assert_plain_oserror(info)
    assert str(info.value).endswith(" (os error 2)")


def test_load_directory(tmp_path):
    with pytest.raises(OSError) as info:
        Kivo.load(str(tmp_path))
    assert_plain_oserror(info)
    assert str(info.value).startswith("io error: ")


@pytest.mark.parametrize("offset, data, exc, message", [
    (0, b"KIVX", OSError, "invalid .kivo file: bad magic bytes"),
    (4, struct.pack("<I", 99), OSError, "unsupported file version: 99"),
    (4, struct.pack("<I", 0), OSError, "unsupported file version: 0"),
    (12, bytes([7]), ValueError, "invalid metric byte: 7"),
    (14, bytes([9]), ValueError, "unsupported index type byte: 9"),
])
def test_damaged_headers(saved, tmp_path, offset, data, exc, message):
    _, path = saved
    with raises_exact(exc, message) as info:
        Kivo.load(patched(tmp_path, path, offset, data))
    if exc is OSError:
        assert_plain_oserror(info, message)


def test_inconsistent_n4_dims_in_file(saved, tmp_path):
    _, path = saved
    with raises_exact(ValueError, "invalid bit width: 4 (must be 2 or 4)"):
        Kivo.load(patched(tmp_path, path, 32, struct.pack("<I", 6)))


@pytest.mark.parametrize("keep", [0, 3, 20, 55])
def test_truncated_files_raise_oserror(saved, tmp_path, keep):
    _, path = saved
    short = tmp_path / "short.kivo"
    short.write_bytes(path.read_bytes()[:keep])
    with pytest.raises(OSError) as info:
        Kivo.load(str(short))
    assert_plain_oserror(info)


def test_truncated_body(saved, tmp_path):
    _, path = saved
    raw = path.read_bytes()
    for cut in (1, 4, len(raw) - 56 - 1):
        short = tmp_path / f"body{cut}.kivo"
        short.write_bytes(raw[:len(raw) - cut])
        with pytest.raises(OSError) as info:
            Kivo.load(str(short))
        assert_plain_oserror(info)


def test_huge_count_in_header_does_not_crash(saved, tmp_path):
    _, path = saved
    with pytest.raises((OSError, MemoryError)):
        Kivo.load(patched(tmp_path, path, 16, struct.pack("<Q", 2**62)))


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Kivo(4).search([1, 2, 3, 4], 1), RuntimeError, "index is empty"),
    (lambda: Kivo(4, index_type="ivf").build(), RuntimeError, "index is empty"),
    (lambda: Kivo(4, bit_width=3), ValueError, "invalid bit width: 3 (must be 2 or 4)"),
    (lambda: Kivo(4).profile_variance([]), ValueError, "sample is empty \u2014 provide at least 1 vector for profiling"),
])
def test_engine_error_types(call, exc, message):
    with raises_exact(exc, message) as info:
        call()
    assert info.value.__cause__ is None


def test_version_1_file_gets_the_norms_of_its_codes(saved, tmp_path):
    k, path = saved
    raw = path.read_bytes()
    n, width = 3, k.packed_bytes_per_vec
    header = bytearray(raw[:32])
    header[4:8] = struct.pack("<I", 1)
    body = raw[56:56 + n * width + 8 * n]
    v1 = tmp_path / "v1.kivo"
    v1.write_bytes(bytes(header) + body)
    loaded = Kivo.load(str(v1))
    assert np.array_equal(loaded.vector_norms(), k.vector_norms())
    assert loaded.vector_ids().tolist() == [11, 22, 33]
    assert np.array_equal(loaded.packed_data(), k.packed_data())


@pytest.mark.parametrize("index_type, zero_fields", [
    ("brute_force", {"ivf": (0, 0), "hnsw": (0, 0, 0)}),
    ("hnsw", {"ivf": (0, 0), "hnsw": (12, 60, 30)}),
    ("ivf_flat", {"ivf": (3, 2), "hnsw": (0, 0, 0)}),
])
def test_parameters_of_other_index_types_are_zero(tmp_path, index_type, zero_fields):
    k = Kivo(8, index_type=index_type, ivf_nlist=3, ivf_nprobe=2, hnsw_m=12, hnsw_ef_construction=60,
             hnsw_ef_search=30)
    k.add([1, 2, 3, 4], np.eye(4, 8, dtype=np.float32))
    k.build()
    path = tmp_path / "cfg.kivo"
    k.save(str(path))
    raw = path.read_bytes()
    assert struct.unpack_from("<II", raw, 40) == zero_fields["ivf"]
    assert struct.unpack_from("<HHH", raw, 48) == zero_fields["hnsw"]
    assert struct.unpack_from("<Q", raw, 24) == (0xDEADBEEFCAFE1337,)


def test_saved_file_mode(saved, tmp_path):
    k, _ = saved
    old = os.umask(0o022)
    try:
        path = tmp_path / "mode.kivo"
        k.save(str(path))
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o644
