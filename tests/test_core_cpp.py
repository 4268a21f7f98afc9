"""Builds the C++ unit tests of the cores (tests/core/core_tests.cc) with
CMake and runs them. Skipped when cmake or a C++ compiler is missing.

The build directory is build/core-tests-<python> under the repository (or
$TARNDB_CORE_TESTS_BUILD_DIR), so that later runs rebuild incrementally."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import REPO_ROOT


def find_cmake():
    candidates = [Path(sys.executable).parent / "cmake", shutil.which("cmake")]
    for cand in candidates:
        if not cand or not Path(cand).exists():
            continue
        try:
            ok = subprocess.run([str(cand), "--version"], capture_output=True, timeout=60).returncode == 0
        except (OSError, subprocess.SubprocessError):
            ok = False
        if ok:
            return str(cand)
    return None


def find_cxx():
    env = os.environ.get("CXX")
    if env and shutil.which(env.split()[0]):
        return env
    for name in ("g++", "c++", "clang++"):
        if shutil.which(name):
            return name
    return None


def run(cmd, timeout):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    assert proc.returncode == 0, f"{' '.join(cmd)} failed:\n{proc.stdout.decode(errors='replace')[-6000:]}"
    return proc.stdout.decode(errors="replace")


@pytest.fixture(scope="module")
def core_tests_binary():
    cmake = find_cmake()
    if cmake is None:
        pytest.skip("cmake is not installed: cannot build tests/core/core_tests.cc")
    if find_cxx() is None:
        pytest.skip("no C++ compiler (g++, c++ or clang++) found: cannot build tests/core/core_tests.cc")
    tag = f"py{sys.version_info[0]}.{sys.version_info[1]}"
    build_dir = Path(os.environ.get("TARNDB_CORE_TESTS_BUILD_DIR", REPO_ROOT / "build" / f"core-tests-{tag}"))
    build_dir.mkdir(parents=True, exist_ok=True)
    run([cmake, "-S", str(REPO_ROOT), "-B", str(build_dir), "-DTARNDB_CORE_TESTS=ON",
         f"-DPython_EXECUTABLE={sys.executable}"], timeout=300)
    run([cmake, "--build", str(build_dir), "--target", "core_tests", "--parallel", str(os.cpu_count() or 2)],
        timeout=600)
    binary = build_dir / "core_tests"
    assert binary.exists(), f"{binary} was not built"
    return binary


def test_core_unit_tests_pass(core_tests_binary):
    proc = subprocess.run([str(core_tests_binary)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    out = proc.stdout.decode(errors="replace")
    last = out.strip().splitlines()[-1] if out.strip() else ""
    m = re.fullmatch(r"(\d+) passed, (\d+) failed", last)
    assert m, f"unexpected output of core_tests:\n{out[-6000:]}"
    assert proc.returncode == (0 if m.group(2) == "0" else 1)
    assert m.group(2) == "0", f"core_tests reported failures:\n{out[-6000:]}"
    assert int(m.group(1)) > 1000
