"""`cmake --install` puts the module into the prefix's Python path, where it
finds its libraries without the build tree."""
import os
import subprocess
import sys

from conftest import BINARY_DIR, private_env


def test_the_installed_module_imports_and_finds_the_chip(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BINARY_DIR, "--prefix", str(prefix)], check=True, capture_output=True)
    found = [os.path.join(root, f) for root, _, files in os.walk(prefix) for f in files if f.startswith("fanscope.")
             and (f.endswith(".so") or f.endswith(".pyi"))]
    folder = prefix / "lib" / "python3" / "dist-packages"
    assert sorted(os.path.dirname(f) for f in found) == [str(folder)] * 2
    env = private_env(PYTHONPATH=str(folder), LD_LIBRARY_PATH=None)
    r = subprocess.run([sys.executable, "-c", "import fanscope; print(fanscope.__file__); print(fanscope.detect()[0].variant)"],
                       env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [str(folder / os.path.basename(r.stdout.splitlines()[0])), "TFM4411"]
