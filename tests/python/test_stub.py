"""The type stub matches the built module (mypy.stubtest) and type-checks real usage."""
import filecmp
import importlib.util
import os
import shutil
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import kivo

pytest.importorskip("mypy")

# kivo.distributed imports Ray, an optional extra: without it that part of
# the package is left out of the checks and the rest is still checked.
HAVE_RAY = importlib.util.find_spec("ray") is not None

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "python" / "kivo.pyi"
PACKAGE = ROOT / "python" / "kivo"


def run_mypy(args, cwd, stub_dir):
    # The subprocess imports the same built module as this test run.
    module_dir = os.path.dirname(os.path.dirname(kivo.__file__))
    path = os.pathsep.join(p for p in [module_dir, os.environ.get("PYTHONPATH", "")] if p)
    env = dict(os.environ, MYPYPATH=str(stub_dir), PYTHONPATH=path)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, env=env,
                          timeout=600)


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory):
    # The package as mypy sees it installed: the stub of the extension's
    # surface, and the pure-Python companions typed inline.
    d = tmp_path_factory.mktemp("stub")
    (d / "kivo").mkdir()
    (d / "kivo" / "__init__.pyi").write_text(STUB.read_text())
    (d / "kivo" / "gpu.py").write_text((PACKAGE / "gpu.py").read_text())
    if HAVE_RAY:
        shutil.copytree(PACKAGE / "distributed", d / "kivo" / "distributed",
                        ignore=shutil.ignore_patterns("__pycache__"))
    return d


def test_stubtest_against_runtime_module(stub_dir):
    args = ["mypy.stubtest", "kivo"]
    if not HAVE_RAY:
        allowlist = stub_dir / "without-ray.txt"
        allowlist.write_text("kivo\\.distributed(\\..*)?\n")
        args[1:1] = ["--allowlist", str(allowlist)]
    result = run_mypy(args, cwd=stub_dir, stub_dir=stub_dir)
    assert result.returncode == 0, result.stdout + result.stderr


USAGE_OK = textwrap.dedent("""
    import pathlib

    import numpy as np
    from kivo import Kivo

    k: Kivo = Kivo(8, metric="dot", mixed_ratio=0.5, n4_dims=None, hnsw_m=16)
    k.add([1, 2], [[0.0] * 8, [1.0] * 8])
    k.add(np.arange(2), np.zeros((2, 8), np.float32))
    hits = k.search([0.0] * 8, 5, allowlist=[1])
    first_id: int = hits[0]["id"]
    first_score: float = hits[0]["score"]
    n: int = len(k) + k.n_vectors + k.padded_dim + k.optimal_n4_dims([[0.0] * 8], 3.0)
    name: str = k.metric + k.index_type
    codes: np.ndarray = k.packed_data()
    loaded: Kivo = Kivo.load("x.kivo")
    k.save(pathlib.Path("x.kivo"))
    again: Kivo = Kivo.load(pathlib.Path("x.kivo"))
    m: int = Kivo.recommended_m(10)
    c = Kivo.centroids_4bit()
    v: list[float] = k.profile_variance(np.zeros((3, 8), np.float32))
    flag: bool = k.is_empty() or k.is_mixed()
    gone: int = k.remove([1]) + k.remove(range(3))
    k.upsert([2], np.ones((1, 8), np.float32))

    from kivo.gpu import Scorer

    scorer = Scorer(k, device="cpu")
    top_ids, top_scores = scorer.search(np.zeros((2, 8), np.float32), 3)
    first: int = int(top_ids[0, 0])
    backend: str = scorer.backend + scorer.device
""")

USAGE_BAD = textwrap.dedent("""
    from kivo import Kivo

    k = Kivo(8)
    k.search([0.0] * 8)
    k.save(123)
    k.save(b"x.kivo")
    k.dim = 3
    s: str = k.search([0.0] * 8, 1)[0]["id"]
    k.no_such_method()
""")


def test_usage_type_checks(stub_dir):
    (stub_dir / "usage_ok.py").write_text(USAGE_OK)
    (stub_dir / "usage_bad.py").write_text(USAGE_BAD)
    good = run_mypy(["mypy", "--strict", "usage_ok.py"], cwd=stub_dir, stub_dir=stub_dir)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = run_mypy(["mypy", "usage_bad.py"], cwd=stub_dir, stub_dir=stub_dir)
    assert bad.returncode == 1
    assert bad.stdout.count("error:") == 6, bad.stdout


def test_installed_package_carries_the_stub():
    site = pathlib.Path(sysconfig.get_paths()["platlib"])
    installed = site / "kivo" / "__init__.pyi"
    if not installed.exists():
        pytest.skip("kivo is not pip-installed in this environment")
    assert filecmp.cmp(installed, STUB, shallow=False)
    assert (site / "kivo" / "py.typed").exists()
    assert filecmp.cmp(site / "kivo" / "gpu.py", PACKAGE / "gpu.py", shallow=False)


def test_installed_package_type_checks(tmp_path):
    if not (pathlib.Path(sysconfig.get_paths()["platlib"]) / "kivo" / "py.typed").exists():
        pytest.skip("kivo is not pip-installed in this environment")
    # What a user's mypy sees: the installed package, no search path of ours.
    (tmp_path / "usage_ok.py").write_text(USAGE_OK)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "usage_ok.py"], capture_output=True,
                            text=True, cwd=tmp_path, env=env, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
