"""Without NumPy: import, construction and every list-based method work; arrays need NumPy (ImportError)."""
import os
import shutil
import subprocess
import sys
import textwrap
import venv

import pytest

import kivo

LIST_WORKFLOW = textwrap.dedent("""
    import array, os, sys, tempfile
    import kivo
    from kivo import Kivo

    k = Kivo(4, metric="dot")
    k.add([1, 2, 3], [[1, 0, 0, 0], [0, 1, 0, 0], (0, 0, 1, 0)])
    k.add(range(4, 5), [array.array("f", [0, 0, 0, 1])])
    assert [r["id"] for r in k.search([0, 1, 0, 0], 2, [2, 4])][0] == 2
    assert k.search(range(4), 1)
    k.build(); k.set_nprobe(2); k.set_ef_search(3)
    assert len(k) == 4 and repr(k) and k.is_empty() is False and k.is_mixed() is False
    assert len(k.profile_variance([[1, 2, 3, 4], [4, 3, 2, 1]])) == 4
    assert k.optimal_n4_dims([[1, 2, 3, 4]], 3.0) == 0
    assert Kivo.recommended_m(10) == 32
    path = os.path.join(tempfile.mkdtemp(), "a.kivo")
    k.save(path)
    assert Kivo.load(path).search([0, 1, 0, 0], 4) == k.search([0, 1, 0, 0], 4)
    l2 = Kivo(4, metric="l2")
    l2.fit([[1, 2, 3, 4], [2, 3, 4, 6]])
    l2.add([9], [[1, 2, 3, 4]])
    assert l2.search([1, 2, 3, 4], 1)[0]["id"] == 9
    for bad in ["abc", 5, {1, 2}]:
        try:
            k.search(bad, 1)
        except TypeError:
            pass
        else:
            raise AssertionError("expected TypeError")
    assert "numpy" not in sys.modules, "a list-only workflow imported numpy"
""")

ACCESSORS_NEED_NUMPY = textwrap.dedent("""
    for accessor in [k.packed_data, k.vector_ids, k.vector_norms, Kivo.centroids_2bit, Kivo.centroids_4bit,
                     lambda: k.transform_query_np([1, 2, 3, 4])]:
        try:
            accessor()
        except ImportError:
            pass
        else:
            raise AssertionError("expected ImportError without numpy")
    print("OK")
""")


def run(python, code, env_extra=None):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env.update(env_extra or {})
    return subprocess.run([python, "-c", code], capture_output=True, text=True, env=env, timeout=120)


@pytest.fixture(scope="module")
def module_dir(tmp_path_factory):
    """A directory holding only the built package (no numpy next to it)."""
    d = tmp_path_factory.mktemp("kivo_only")
    shutil.copytree(os.path.dirname(kivo.__file__), d / "kivo", ignore=shutil.ignore_patterns("__pycache__"))
    return str(d)


def test_list_workflow_never_imports_numpy(module_dir):
    # numpy is installed here: the accessors load it on first use.
    code = LIST_WORKFLOW + "print(k.vector_ids().tolist(), 'numpy' in sys.modules)\n"
    result = run(sys.executable, code, {"PYTHONPATH": module_dir})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[1, 2, 3, 4] True"


def test_blocked_numpy_gives_import_error(module_dir):
    code = "import sys\nsys.modules['numpy'] = None\n" + LIST_WORKFLOW.replace(
        'assert "numpy" not in sys.modules, "a list-only workflow imported numpy"', "") + ACCESSORS_NEED_NUMPY
    result = run(sys.executable, code, {"PYTHONPATH": module_dir})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "OK"


def test_virtual_environment_without_numpy(module_dir, tmp_path):
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=False, system_site_packages=False)
    python = str(env_dir / "bin" / "python")
    probe = run(python, "import numpy")
    assert probe.returncode != 0, "the virtual environment unexpectedly has numpy"
    result = run(python, LIST_WORKFLOW + ACCESSORS_NEED_NUMPY, {"PYTHONPATH": module_dir})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "OK"
    message = run(python, "import kivo\ntry:\n    kivo.Kivo.centroids_2bit()\nexcept ImportError as e:\n    print(type(e).__name__)",
                  {"PYTHONPATH": module_dir})
    assert message.stdout.strip() in ("ImportError", "ModuleNotFoundError"), message.stderr
