"""Building the wheel from a copy of this tree, as `pip wheel .` and `make wheel`
do: without the vehicle data the build refuses in one line unless the
placeholder is asked for by name; a placeholder wheel says so in its version
and fails the wheel tests; and what earlier builds left behind stays out of the
next wheel. Compiles the module once (a minute or so). `make test-py` runs it;
the runs against an installed wheel (`make test-wheel`) skip it, the wheel
having been built already."""

import glob
import os
import py_compile
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import EMPTY_MESSAGE, run_python

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.realpath(os.path.join(HERE, "..", ".."))
VERSION = "0.0.6"

if os.environ.get("TAMBEROK_WHEEL"):
    pytest.skip("builds from the source tree, as `make test-py` does", allow_module_level=True)

MISSING_DATA = (
    "tamberok: data/vpic.rkyv is missing, and a wheel without it refuses every decode; "
    "`make download data` makes it (TAMBEROK_PLACEHOLDER=1 builds the placeholder wheel "
    "anyway, versioned +empty)"
)

# Git reads a repository that another user owns (root in a CI container over a
# checkout mounted from the host, say) only when told it is safe. This is the
# tree under test, whose code the tests run anyway.
TRUST_ROOT = ["-c", f"safe.directory={ROOT}"]

# A hang guard only: a cold build of the module on a busy machine.
BUILD_TIMEOUT = 1800
PRIVATE_RE2 = re.compile(r"tamberok/libre2-[0-9a-f]{8}\.so\.9")


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """The files git tracks or would track, copied as the working tree has them:
    a fresh clone without the vehicle data."""
    pytest.importorskip("wheel", reason="building a wheel needs the wheel package")
    where = tmp_path_factory.mktemp("clone") / "tamberok"
    listed = subprocess.run(["git", *TRUST_ROOT, "-C", ROOT, "ls-files", "-z", "--cached",
                             "--others", "--exclude-standard"], capture_output=True,
                            check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = os.path.join(ROOT, name)
        if os.path.isfile(source):  # deleted but not yet committed: not in a clone
            os.makedirs(os.path.dirname(where / name), exist_ok=True)
            shutil.copy2(source, where / name)
    assert not os.path.exists(where / "data" / "vpic.rkyv")
    yield where
    shutil.rmtree(where)  # its builds take a hundred megabytes


def pip_wheel(tree, out, placeholder=False):
    env = {name: value for name, value in os.environ.items()
           if name not in ("TAMBEROK_BUILD_DIR", "TAMBEROK_PLACEHOLDER", "PYTHONPATH")}
    if placeholder:
        env["TAMBEROK_PLACEHOLDER"] = "1"
    return subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                           "--no-deps", "--no-index", "--no-cache-dir", "-w", str(out), str(tree)],
                          cwd=out, env=env, capture_output=True, text=True, timeout=BUILD_TIMEOUT)


def make_wheel(tree):
    env = {name: value for name, value in os.environ.items()
           if name not in ("TAMBEROK_PLACEHOLDER", "MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    # -o deps: only the wheel's own steps; the Debian packages are a given here.
    return subprocess.run(["make", "--no-print-directory", "-C", str(tree), "-o", "deps", "wheel",
                           f"PYTHON={sys.executable}"], env=env, capture_output=True, text=True,
                          timeout=BUILD_TIMEOUT)


def built_wheel(out):
    wheels = glob.glob(os.path.join(out, "*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def placeholder_wheel(tree, tmp_path_factory):
    out = tmp_path_factory.mktemp("placeholder-wheel")
    done = pip_wheel(tree, out, placeholder=True)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    return built_wheel(out)


def test_without_the_vehicle_data_pip_wheel_and_make_wheel_refuse_before_building(tree, tmp_path):
    pip = pip_wheel(tree, tmp_path)
    make = make_wheel(tree)

    assert pip.returncode != 0 and make.returncode != 0
    # pip frames what the build printed; the refusal is one line of it.
    assert [line.strip() for line in pip.stderr.splitlines()].count(MISSING_DATA) == 1
    assert make.stdout == ""
    assert make.stderr.splitlines()[0] == MISSING_DATA
    assert re.fullmatch(r"make: \*\*\* \[Makefile:\d+: wheel\] Error 1",
                        make.stderr.splitlines()[1])
    assert os.listdir(tmp_path) == []
    for scratch in ("build", "build-wheel", "dist"):
        assert not os.path.exists(tree / scratch), scratch


def test_a_placeholder_wheel_asked_for_by_name_says_so_in_its_version(placeholder_wheel, tmp_path):
    name = os.path.basename(placeholder_wheel)
    assert re.fullmatch(rf"tamberok-{re.escape(VERSION)}\+empty-cp310-abi3-manylinux_2_\d+_x86_64"
                        r"\.whl", name), name
    with zipfile.ZipFile(placeholder_wheel) as archive:
        metadata = archive.read(f"tamberok-{VERSION}+empty.dist-info/METADATA").decode()
        archive.extractall(tmp_path)
    assert re.findall(r"^Version: (.*)$", metadata, re.M) == [f"{VERSION}+empty"]

    outcome = run_python("""
import tamberok
try:
    tamberok.decode("1HGCM82633A004352")
except BaseException as error:
    print(type(error).__name__, str(error))
""", str(tmp_path))
    assert outcome == f"PanicException {EMPTY_MESSAGE}\n"


def test_a_data_file_holding_the_placeholder_is_refused_as_no_data(tree, placeholder_wheel, tmp_path):
    # The placeholder wheel's build staged the EMPTY artifact beside the module.
    shutil.copy(tree / "build-wheel" / "embedded" / "empty.rkyv", tree / "data" / "vpic.rkyv")
    try:
        done = pip_wheel(tree, tmp_path)
    finally:
        os.remove(tree / "data" / "vpic.rkyv")
    assert done.returncode != 0
    assert "tamberok: the module embeds the EMPTY placeholder, not vehicle data: data/vpic.rkyv" \
           " is the placeholder or vanished during the build" in \
           [line.strip() for line in done.stderr.splitlines()]
    assert os.listdir(tmp_path) == []


def test_the_wheel_tests_fail_on_a_wheel_without_the_vehicle_data(placeholder_wheel, tmp_path):
    env = dict(os.environ, PYTHON=sys.executable, PYTHONS=sys.executable)
    env.pop("TAMBEROK_WHEEL", None)
    done = subprocess.run(["bash", os.path.join(ROOT, "tools", "test_wheel.sh"), placeholder_wheel,
                           str(tmp_path)], env=env, capture_output=True, text=True,
                          timeout=BUILD_TIMEOUT)
    assert done.returncode == 1, done.stdout[-3000:]
    assert done.stderr.splitlines()[-1] == (
        f"test-wheel: FAILED {sys.executable}: the wheel embeds the EMPTY placeholder, not the "
        "vehicle data")


def test_files_earlier_builds_left_behind_stay_out_of_the_next_wheel(tree, placeholder_wheel,
                                                                     tmp_path):
    # As the placeholder wheel's build left them: its staging area and the
    # package's metadata, where a module since removed or a bytecode cache would
    # linger; an interrupted build's wheel directory; and a bytecode cache and a
    # note that are no part of the package beside its sources.
    [staged] = glob.glob(str(tree / "build" / "setuptools" / "lib.*" / "tamberok"))
    leftovers = [os.path.join(staged, "removed.py"),
                 os.path.join(staged, "__pycache__", "removed.cpython-311.pyc"),
                 str(tree / "build" / "setuptools" / "bdist.linux-x86_64" / "wheel" / "tamberok"
                     / "stray.py"),
                 str(tree / "python" / "tamberok.egg-info" / "stray.txt"),
                 str(tree / "python" / "tamberok" / "notes.txt")]
    for path in leftovers:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as stray:
            stray.write("x = 1\n")
    py_compile.compile(str(tree / "python" / "tamberok" / "__init__.py"), doraise=True)
    assert glob.glob(str(tree / "python" / "tamberok" / "__pycache__" / "__init__.*.pyc"))

    done = pip_wheel(tree, tmp_path, placeholder=True)
    assert done.returncode == 0, done.stderr[-4000:]
    with zipfile.ZipFile(built_wheel(tmp_path)) as archive:
        members = sorted(archive.namelist())
    dist_info = f"tamberok-{VERSION}+empty.dist-info"
    private_re2 = [name for name in members if PRIVATE_RE2.fullmatch(name)]
    assert len(private_re2) == 1, members
    assert members == sorted([
        "tamberok/__init__.py", "tamberok/_tamberok.abi3.so", private_re2[0],
        f"{dist_info}/LICENSE-RE2", f"{dist_info}/METADATA", f"{dist_info}/RECORD",
        f"{dist_info}/WHEEL", f"{dist_info}/top_level.txt"])
