"""make install's layout: the command, libdroidlens with its headers and CMake package
(a small C++ project builds against it), and the Python module in site-packages."""
import glob
import json
import os
import subprocess
import sys

import pytest

from conftest import BUILD_DIR, SOURCE_DIR, example


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    root = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(root)], check=True, stdout=subprocess.DEVNULL)
    return root


def test_the_installed_command_runs(prefix):
    out = subprocess.run([str(prefix / "bin" / "droidlens"), "--version"], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("droidlens ")


def run(argv, **kwargs):
    r = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    assert r.returncode == 0, f"{' '.join(argv)} failed:\n{r.stdout}\n{r.stderr}"
    return r


def test_a_cpp_program_builds_against_the_package(prefix, tmp_path):
    build = tmp_path / "build"
    run(["cmake", "-S", os.path.join(SOURCE_DIR, "tests", "python", "consumer"), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_PREFIX_PATH={prefix}"])
    run(["cmake", "--build", str(build)])
    out = run([str(build / "consumer"), example("settings_before.png"), example("settings_after.png"),
               str(tmp_path / "out")])
    record_line, error_line = out.stdout.splitlines()
    record = json.loads(record_line)
    assert record["mode"] == "diff" and record["diff_boxes"]
    assert os.path.isfile(record["diff_image_path"])
    assert error_line == "Unknown mode: nope"


def test_the_installed_python_module_imports(prefix, tmp_path):
    (site,) = glob.glob(str(prefix / "lib" / "python3*" / "site-packages"))
    assert os.path.isfile(os.path.join(site, "droidlens", "__init__.pyi"))
    code = "import droidlens; print(droidlens.__file__); print(droidlens.route(None, 'diff', '', %r)['mode'])" % (
        [example("settings_before.png"), example("settings_after.png")],)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                         env=dict(os.environ, PYTHONPATH=site), check=True)
    module_file, mode = out.stdout.splitlines()
    assert module_file.startswith(site) and mode == "diff"


def test_the_stub_names_what_the_module_has():
    import ast
    import inspect
    import droidlens
    with open(os.path.join(SOURCE_DIR, "python", "droidlens.pyi")) as f:
        tree = ast.parse(f.read())
    stub = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    stub |= {t.target.id for t in tree.body if isinstance(t, ast.AnnAssign)}
    public = {n for n in dir(droidlens) if not n.startswith("_") and not inspect.ismodule(getattr(droidlens, n))}
    public |= {"__version__"}
    assert {n for n in stub if not n.startswith("_")} | {"__version__"} == public  # _Names: typing aids only
