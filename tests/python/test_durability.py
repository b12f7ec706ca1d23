"""Durable saves, loads that cannot kill the process, interrupts, NaN ordering,
the exact-ndarray rule of the fast paths and version 1 norms.

The race and kill tests run the risky side in a child process, bounded in
count and time, and judge it by its exit status and by the bytes left behind.
"""
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from kivo import Kivo

from conftest import raises_exact

CHILD_TIMEOUT = 120


def run_child(code, *args, cwd):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=CHILD_TIMEOUT,
    )


def brute_index(n, dim, seed=0, metric="l2"):
    rng = np.random.default_rng(seed)
    index = Kivo(dim, metric=metric)
    index.add(list(range(n)), rng.standard_normal((n, dim)).astype(np.float32))
    return index


# ---- loads racing with writers ------------------------------------------------------

LOADER = """
    import sys, time
    from kivo import Kivo
    path, max_loads, max_seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    outcomes = {}
    start = time.monotonic()
    loads = 0
    while loads < max_loads and time.monotonic() - start < max_seconds:
        try:
            index = Kivo.load(path)
            key = "ok"
        except (OSError, ValueError) as e:
            key = type(e).__name__
        outcomes[key] = outcomes.get(key, 0) + 1
        loads += 1
    print(loads, sorted(outcomes.items()))
"""

WRITER = """
    import os, sys, time
    target, sources, max_copies, max_seconds = sys.argv[1], sys.argv[2:4], int(sys.argv[4]), float(sys.argv[5])
    blobs = [open(s, "rb").read() for s in sources]
    start = time.monotonic()
    copies = 0
    # What `cp new index` does: truncate the file in place and write it again.
    while copies < max_copies and time.monotonic() - start < max_seconds:
        with open(target, "r+b") as f:
            f.truncate(0)
            blob = blobs[copies % 2]
            for i in range(0, len(blob), 65536):
                f.write(blob[i:i + 65536])
                f.flush()
        copies += 1
    print(copies)
"""


def test_load_racing_with_a_writer_never_raises_sigbus(tmp_path):
    """A file truncated and rewritten while it is loaded gives an error or an
    index, never SIGBUS (the mapped loader died with signal 7 here)."""
    a, b, target = tmp_path / "a.kivo", tmp_path / "b.kivo", tmp_path / "index.kivo"
    brute_index(20000, 128, seed=1).save(a)
    brute_index(12000, 128, seed=2).save(b)
    target.write_bytes(a.read_bytes())
    writer = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(WRITER), str(target), str(a), str(b), "20000", "6"],
        cwd=tmp_path, stdout=subprocess.PIPE, text=True)
    try:
        loader = run_child(LOADER, target, 3000, 6, cwd=tmp_path)
    finally:
        writer_out, _ = writer.communicate(timeout=CHILD_TIMEOUT)
    assert loader.returncode == 0, (loader.returncode, loader.stderr)
    assert writer.returncode == 0
    loads = int(loader.stdout.split()[0])
    assert loads > 0 and int(writer_out) > 0
    # The file is whole again: it loads as one of the two indexes.
    assert len(Kivo.load(target)) in (20000, 12000)


# ---- atomic, durable save -------------------------------------------------------------

SAVER = """
    import sys
    import numpy as np
    from kivo import Kivo
    target, reference = sys.argv[1], sys.argv[2]
    rng = np.random.default_rng(7)
    index = Kivo(64, metric="dot")
    index.add(list(range(60000)), rng.standard_normal((60000, 64)).astype(np.float32))
    index.save(reference)
    print("ready", flush=True)
    for _ in range(10000):
        index.save(target)
"""


def test_a_save_killed_midway_leaves_the_old_or_the_new_file(tmp_path):
    target, reference = tmp_path / "index.kivo", tmp_path / "reference.kivo"
    brute_index(500, 64, seed=3).save(target)
    old = target.read_bytes()
    rng = np.random.default_rng(11)
    outcomes = []
    for round_ in range(6):
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(SAVER), str(target), str(reference)],
            cwd=tmp_path, stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(float(rng.uniform(0.0, 0.3)))
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait(timeout=CHILD_TIMEOUT)
        new = reference.read_bytes()
        now = target.read_bytes()
        assert now in (old, new), f"round {round_}: the file is neither the old nor the new index"
        outcomes.append("old" if now == old else "new")
        assert len(Kivo.load(target)) in (500, 60000)
        # Only temporary files of the killed save may be left beside it.
        stray = {p.name for p in tmp_path.iterdir()} - {"index.kivo", "reference.kivo"}
        assert all(name.startswith(".index.kivo.tmp-") for name in stray), stray
        target.write_bytes(old)
        for name in stray:
            (tmp_path / name).unlink()


def test_a_failed_save_leaves_the_old_file(tmp_path):
    path = tmp_path / "index.kivo"
    brute_index(100, 16).save(path)
    old = path.read_bytes()
    os.chmod(tmp_path, 0o500)  # no new files in the directory
    try:
        if os.access(tmp_path, os.W_OK):
            pytest.skip("running with privileges that ignore directory permissions")
        with pytest.raises(OSError, match=r"^io error: Permission denied \(os error 13\)$"):
            brute_index(300, 16, seed=5).save(path)
    finally:
        os.chmod(tmp_path, 0o700)
    assert path.read_bytes() == old


def test_save_keeps_permission_bits_and_leaves_no_temporary_file(tmp_path):
    path = tmp_path / "index.kivo"
    brute_index(10, 8).save(path)
    os.chmod(path, 0o640)
    brute_index(20, 8, seed=1).save(path)
    assert os.stat(path).st_mode & 0o7777 == 0o640
    assert [p.name for p in tmp_path.iterdir()] == ["index.kivo"]
    assert len(Kivo.load(path)) == 20


# ---- interrupts -----------------------------------------------------------------------

def sigint_after(delay):
    """Another process sends SIGINT to this one after `delay` seconds, as a
    terminal's Ctrl-C would. (A thread of this process could not: the call
    under test holds the interpreter lock until it returns.)"""
    return subprocess.Popen(["/bin/sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"])


def interrupted(call, delay):
    """Runs call() with SIGINT arriving after `delay` seconds. True when call()
    raised KeyboardInterrupt; False when it finished first (the late signal
    is then absorbed here)."""
    sender = sigint_after(delay)
    try:
        call()
    except KeyboardInterrupt:
        sender.wait(timeout=CHILD_TIMEOUT)
        return True
    try:
        sender.wait(timeout=CHILD_TIMEOUT)
        time.sleep(1.0)
    except KeyboardInterrupt:
        pass
    return False


def test_ctrl_c_stops_an_ivf_build_and_leaves_the_index_unchanged(rng):
    data = rng.standard_normal((60000, 32)).astype(np.float32)
    index = Kivo(32, index_type="ivf_flat", ivf_nlist=256)
    index.add(list(range(len(data))), data)
    assert interrupted(index.build, 0.2)
    assert len(index) == len(data)
    with raises_exact(RuntimeError, "call build() before search() for IvfFlat indexes"):
        index.search(data[0], 5)
    # A later build is the build that was never interrupted.
    small = Kivo(32, index_type="ivf_flat", ivf_nlist=8)
    small.add(list(range(500)), data[:500])
    reference = Kivo(32, index_type="ivf_flat", ivf_nlist=8)
    reference.add(list(range(500)), data[:500])
    small.build()
    reference.build()
    assert small.search(data[3], 10) == reference.search(data[3], 10)


def test_ctrl_c_stops_a_bulk_add_keeping_the_rows_before_it(rng):
    data = rng.standard_normal((40000, 32)).astype(np.float32)
    index = Kivo(32, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100)
    assert interrupted(lambda: index.add(list(range(len(data))), data), 0.3)
    kept = len(index)
    assert 0 < kept < len(data)
    # The rows kept are the first ones, complete and searchable.
    assert index.search(data[kept - 1], 1)[0]["id"] == kept - 1
    assert index.search(data[0], 1)[0]["id"] == 0


class alarm_raising_keyboard_interrupt:
    """SIGALRM after `seconds` of wall time, its handler raising
    KeyboardInterrupt. Unlike a signal this process sends itself with os.kill
    (which Python handles before kill returns), it arrives while a long call
    runs without running Python code, and the engine's next check sees it."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __enter__(self):
        def handler(signum, frame):
            raise KeyboardInterrupt

        self.previous = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


def test_ctrl_c_stops_a_graph_removal_and_upsert_leaving_the_index_unchanged(rng):
    # Removing half of this graph takes a few hundred milliseconds, nearly all
    # of it relinking, which the engine polls; the signal comes after 20 ms.
    n, dim = 12000, 32
    data = rng.standard_normal((n, dim)).astype(np.float32)
    index = Kivo(dim, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100)
    index.add(np.arange(n, dtype=np.uint64), data)
    index.build()
    before = [index.search(q, 10) for q in data[:20]]
    doomed = np.arange(0, n, 2, dtype=np.uint64)
    with alarm_raising_keyboard_interrupt(0.02), pytest.raises(KeyboardInterrupt):
        index.remove(doomed)
    with alarm_raising_keyboard_interrupt(0.02), pytest.raises(KeyboardInterrupt):
        index.upsert(doomed, data[::2] + 1.0)
    assert len(index) == n
    assert [index.search(q, 10) for q in data[:20]] == before
    assert index.remove(doomed) == len(doomed)
    assert len(index) == n - len(doomed)


class SignalOnFspath:
    """A path whose __fspath__ sends SIGINT to this process: the signal is
    pending when the engine starts its work and is seen at its first check."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        os.kill(os.getpid(), signal.SIGINT)
        return str(self.path)


def test_ctrl_c_during_save_and_load_keeps_the_old_file(tmp_path):
    path = tmp_path / "index.kivo"
    brute_index(50, 64).save(path)
    old = path.read_bytes()
    big = brute_index(50000, 64, seed=9)
    with pytest.raises(KeyboardInterrupt):
        big.save(SignalOnFspath(path))
    assert path.read_bytes() == old
    assert [p.name for p in tmp_path.iterdir()] == ["index.kivo"]
    big.save(path)
    with pytest.raises(KeyboardInterrupt):
        Kivo.load(SignalOnFspath(path))
    assert len(Kivo.load(path)) == 50000


def test_ctrl_c_before_a_bulk_add_adds_nothing(rng):
    class Id:
        """An id whose conversion (the last one before the engine runs)
        sends SIGINT: the engine's first check sees it."""

        def __init__(self, value, last):
            self.value, self.last = value, last

        def __index__(self):
            if self.last:
                os.kill(os.getpid(), signal.SIGINT)
            return self.value

    index = Kivo(8)
    data = rng.standard_normal((100, 8)).astype(np.float32)
    with pytest.raises(KeyboardInterrupt):
        index.add([Id(i, i == 99) for i in range(100)], data)
    assert len(index) == 0


def test_a_custom_signal_handler_exception_comes_through(tmp_path, rng):
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("stop")

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        class Path:
            def __fspath__(self):
                os.kill(os.getpid(), signal.SIGUSR1)
                return str(tmp_path / "x.kivo")

        with pytest.raises(Stop):
            brute_index(50000, 64).save(Path())
        assert list(tmp_path.iterdir()) == []
    finally:
        signal.signal(signal.SIGUSR1, previous)


# ---- NaN ordering and values the writer never produces --------------------------------

def test_a_nan_norm_in_a_file_is_refused(tmp_path):
    """The reproduction: one NaN norm on vector 0 of an L2 index made the
    query for vector 42 return ids 0-9 without 42. Such a file cannot come
    from this writer (a norm is the norm of its code) and is refused."""
    rng = np.random.default_rng(4)
    data = rng.standard_normal((100, 16)).astype(np.float32)
    index = Kivo(16, metric="l2")
    index.add(list(range(100)), data)
    assert index.search(data[42], 10)[0]["id"] == 42
    path = tmp_path / "index.kivo"
    index.save(path)
    raw = bytearray(path.read_bytes())
    norms_at = 56 + 100 * (index.packed_bytes_per_vec + 8)
    raw[norms_at:norms_at + 4] = struct.pack("<f", float("nan"))
    path.write_bytes(bytes(raw))
    with raises_exact(OSError, "invalid .kivo file: norm of vector 0 is NaN; "
                               "stored norms are finite and not negative"):
        Kivo.load(path)


@pytest.mark.parametrize("index_type", ["brute_force", "ivf_flat", "hnsw"])
def test_nan_scores_rank_below_every_number(index_type, rng):
    """A vector holding NaN scores NaN against every query: it never takes a
    place from a number, and comes last when there is room."""
    data = rng.standard_normal((200, 16)).astype(np.float32)
    data[0, 3] = np.nan
    index = Kivo(16, metric="l2", index_type=index_type, ivf_nlist=4, ivf_nprobe=4)
    index.add(list(range(200)), data)
    index.build()
    for q in (5, 42, 199):
        top = index.search(data[q], 10)
        scores = [r["score"] for r in top]
        assert top[0]["id"] == q
        assert all(not np.isnan(s) for s in scores)
        assert scores == sorted(scores, reverse=True)
    everything = index.search(data[5], 500)
    scores = [r["score"] for r in everything]
    numbers = [s for s in scores if not np.isnan(s)]
    assert scores[:len(numbers)] == sorted(numbers, reverse=True)
    assert all(np.isnan(s) for s in scores[len(numbers):])


# ---- NumPy fast paths: exact ndarray only ----------------------------------------------

def test_a_masked_id_array_takes_the_element_route():
    vectors = np.ones((3, 2), dtype=np.float32)
    ids = np.ma.array([5, 6, 7], mask=[0, 1, 0])
    index = Kivo(2)
    with pytest.raises((TypeError, ValueError)):
        index.add(ids, vectors)
    assert len(index) == 0
    # Unmasked, the same subclass is converted element by element.
    index.add(np.ma.array([5, 6, 7]), vectors)
    assert sorted(index.vector_ids().tolist()) == [5, 6, 7]


class Reversed(np.ndarray):
    """An array subclass whose own __iter__ gives its elements in reverse."""

    def __iter__(self):
        return iter([self[i] for i in range(len(self) - 1, -1, -1)])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_a_subclass_iter_is_honoured(dtype):
    index = Kivo(4, metric="dot")
    index.add([1], np.array([[1.0, 2.0, 3.0, 4.0]], dtype=np.float32))
    q = np.array([0.5, -1.0, 2.0, 3.0], dtype=dtype)
    expected = index.transform_query_np(q[::-1].copy())
    assert np.array_equal(index.transform_query_np(q.view(Reversed)), expected)
    assert index.search(q.view(Reversed), 1) == index.search(q[::-1].copy(), 1)


def test_a_float32_matrix_subclass_is_read_through_its_rows():
    class Doubled(np.ndarray):
        def __iter__(self):
            return iter([np.asarray(row) * 2 for row in np.asarray(self)])

    data = np.arange(8, dtype=np.float32).reshape(2, 4) + 1
    a, b = Kivo(4, metric="dot"), Kivo(4, metric="dot")
    a.add([1, 2], data.view(Doubled))
    b.add([1, 2], data * 2)
    assert np.array_equal(a.packed_data(), b.packed_data())


# ---- version 1 files --------------------------------------------------------------------

@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("bit_width", [2, 4])
def test_a_version_1_file_answers_alike_before_and_after_save(metric, bit_width, tmp_path):
    rng = np.random.default_rng(8)
    data = rng.standard_normal((60, 12)).astype(np.float32) * 3
    original = Kivo(12, metric=metric, bit_width=bit_width)
    original.add(list(range(60)), data)
    v6 = tmp_path / "v6.kivo"
    original.save(v6)
    body = v6.read_bytes()[56:]
    # A version 1 writer: 32-byte header, codes and ids, no norms.
    header = b"KIVO" + struct.pack("<IIBBBBQQ", 1, 12, {"cosine": 0, "dot": 1, "l2": 2}[metric],
                                   bit_width, 0, 0, 60, 0xDEADBEEFCAFE1337)
    v1 = tmp_path / "v1.kivo"
    v1.write_bytes(header + body[:-60 * 4])
    loaded = Kivo.load(v1)
    assert np.array_equal(loaded.vector_norms(), original.vector_norms())
    resaved = tmp_path / "resaved.kivo"
    loaded.save(resaved)
    assert resaved.read_bytes() == v6.read_bytes()
    reloaded = Kivo.load(resaved)
    for q in data[:5] + 0.25:
        assert loaded.search(q, 5) == original.search(q, 5) == reloaded.search(q, 5)
