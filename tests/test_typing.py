"""Type information: the stub-only package ``kestrum-stubs``.

Each check runs twice when it can:

* "installed": against ``site-packages/kestrum-stubs/__init__.pyi`` as the
  wheel installs it, found by mypy's own PEP 561 search. Skipped when the
  module was not installed with pip (for example when it is only on
  PYTHONPATH).
* "source": against ``kestrum-stubs/__init__.pyi`` of the source tree. mypy
  looks for a ``<module>-stubs`` package only in site-packages, never on
  MYPYPATH, where it wants ``kestrum.pyi`` or ``kestrum/__init__.pyi``; so the
  file is copied as ``kestrum.pyi`` into an empty temporary directory and
  MYPYPATH points there (MYPYPATH comes before site-packages in mypy's search,
  so these stubs win even when others are installed). Skipped when the tests
  run from a copy without the source tree.

The mypy checks need mypy and pandas-stubs (the ``test`` extra) and are
skipped without them.
"""

import ast
import importlib.metadata
import importlib.util
import os
import runpy
import shutil
import site
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import numpy as np
import pytest

import kestrum

HERE = Path(__file__).resolve().parent
USAGE = HERE / "typing" / "usage.py"
SOURCE_STUB = HERE.parent / "kestrum-stubs" / "__init__.pyi"
# Present in the stubs for annotations, absent from the module at run time.
NOT_MODULE_ATTRIBUTES = ["kestrum.NativeProbitModel", "kestrum.NativeProbitResults"]


def installed_stub():
    """The stub file pip installed into this interpreter's site-packages, or None."""
    dirs = set(getattr(site, "getsitepackages", list)()) | {site.getusersitepackages()}
    dirs |= {sysconfig.get_paths()[key] for key in ("purelib", "platlib")}
    for directory in sorted(dirs):
        candidate = Path(directory) / "kestrum-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    return None


def has_distribution(name):
    try:
        importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def stub_setup(kind, tmp_path):
    """(stub file, environment for a subprocess whose mypy finds exactly it),
    or None when that kind of stubs is not available."""
    env = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}
    if kind == "installed":
        path = installed_stub()
        return None if path is None else (path, env)
    if not SOURCE_STUB.is_file():
        return None
    mypypath = tmp_path / "mypypath"
    mypypath.mkdir()
    shutil.copyfile(SOURCE_STUB, mypypath / "kestrum.pyi")
    env["MYPYPATH"] = str(mypypath)
    return SOURCE_STUB, env


@pytest.fixture(params=["installed", "source"])
def stubs(request, tmp_path):
    setup = stub_setup(request.param, tmp_path)
    if setup is None:
        pytest.skip(f"no {request.param} kestrum-stubs here")
    return setup


@pytest.fixture
def some_stubs(tmp_path):
    """The installed stubs if there are any, else those of the source tree:
    for the slow checks, which need to run once only."""
    setup = stub_setup("installed", tmp_path) or stub_setup("source", tmp_path)
    if setup is None:
        pytest.skip("no kestrum-stubs here")
    return setup


@pytest.fixture
def mypy_tools():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    if not has_distribution("pandas-stubs"):
        pytest.skip("pandas-stubs is not installed")


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


def run_module(args, env, cwd):
    """python -m ARGS in a directory holding only an empty mypy configuration,
    so no configuration file of the caller's is picked up."""
    config = cwd / "mypy.ini"
    config.write_text("[mypy]\n")
    return subprocess.run(
        [sys.executable, "-m", *[str(arg).replace("{config}", str(config)) for arg in args]],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=900,
    )


def test_usage_passes_mypy_strict(stubs, mypy_tools, mypy_cache, tmp_path):
    _, env = stubs
    proc = run_module(
        ["mypy", "--strict", "--config-file", "{config}", "--cache-dir", mypy_cache, USAGE], env, tmp_path
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 source file" in proc.stdout


def test_mypy_strict_rejects_misuse(stubs, mypy_tools, mypy_cache, tmp_path):
    """The stubs are strict enough to catch wrong calls, not Any everywhere."""
    _, env = stubs
    program = tmp_path / "misuse.py"
    program.write_text(
        "import numpy as np\n"
        "import kestrum\n"
        "X = np.ones((4, 2))\n"
        "r = kestrum.fit_probit([0.0, 1.0, 0.0, 1.0], X, robust=1)\n"
        "r.converged = False\n"
        "kestrum.ame(r.model)\n"
        "kestrum.PanicException\n"
    )
    proc = run_module(
        ["mypy", "--strict", "--config-file", "{config}", "--cache-dir", mypy_cache, program], env, tmp_path
    )
    assert proc.returncode == 1, proc.stdout + proc.stderr
    for line, code in [(4, "arg-type"), (5, "misc"), (6, "arg-type"), (7, "attr-defined")]:
        assert any(f"misuse.py:{line}: error:" in row and f"[{code}]" in row for row in proc.stdout.splitlines()), (
            line,
            proc.stdout,
        )


def test_stubs_match_the_runtime_signatures(some_stubs, mypy_tools, tmp_path):
    """mypy's stubtest compares the functions and __all__ with the module."""
    _, env = some_stubs
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(NOT_MODULE_ATTRIBUTES) + "\n")
    # The subprocess must import the same module as this process.
    module_dir = str(Path(kestrum.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    proc = run_module(
        ["mypy.stubtest", "kestrum", "--mypy-config-file", "{config}", "--allowlist", allowlist], env, tmp_path
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def stub_classes(path):
    """{class name: {member name: "property" or "method"}} of a stub file."""
    tree = ast.parse(path.read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    decorators = {ast.unparse(d) for d in item.decorator_list}
                    members[item.name] = "property" if "property" in decorators else "method"
            classes[node.name] = members
    return classes


def runtime_members(cls):
    kinds = {}
    for name in dir(cls):
        if name.startswith("_"):
            continue
        attribute = cls.__dict__[name]
        kinds[name] = "property" if isinstance(attribute, types.GetSetDescriptorType) else "method"
    return kinds


def test_stub_classes_match_the_result_classes(stubs):
    """stubtest cannot see the two classes (they are not module attributes);
    compare their members with the types of real results instead."""
    path, _ = stubs
    rng = np.random.default_rng(3)
    X = np.column_stack([np.ones(60), rng.normal(size=60)])
    y = (X @ [0.2, 0.9] + rng.normal(size=60) > 0).astype(float)
    result = kestrum.fit_probit(y, X)

    declared = stub_classes(path)
    assert set(declared) == {"NativeProbitResults", "NativeProbitModel"}
    assert declared["NativeProbitResults"] == runtime_members(type(result))
    assert declared["NativeProbitModel"] == runtime_members(type(result.model))
    for name in declared:
        assert not hasattr(kestrum, name)


def test_typed_usage_example_runs(capsys):
    runpy.run_path(str(USAGE), run_name="__main__")
    out = capsys.readouterr().out
    assert "exported: ['ame', 'fit_probit']" in out
    assert "blocks agree: True" in out
