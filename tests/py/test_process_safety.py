"""The module is a guest in the interpreter's process: beside other C++
extensions sharing one libstdc++ it decodes correctly and disturbs nothing,
it exports only its init function, and it brings no library that replaces
malloc or operator new."""

import json
import os
import shutil
import subprocess
import sysconfig

import pytest

import tamberok
from conftest import MIXED_VINS, run_python

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = tamberok._tamberok.__file__
PACKAGE_PATH = os.path.dirname(os.path.dirname(tamberok.__file__))

# The C runtime and the C++ runtime own malloc and operator new for the
# whole process; any other library defining them would replace them.
RUNTIME = ("libc.so", "libm.so", "libstdc++.so", "libgcc_s.so", "ld-linux", "libpthread.so",
           "libdl.so", "librt.so")
ALLOCATOR_SYMBOLS = {"malloc", "free", "calloc", "realloc", "aligned_alloc", "posix_memalign"}
OPERATOR_PREFIXES = ("_Znw", "_Zna", "_Zdl", "_Zda")


def defined_dynamic_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def loaded_libraries(path):
    """Every shared library the loader maps for `path`, by resolved path."""
    out = subprocess.run(["ldd", path], capture_output=True, text=True, check=True).stdout
    libraries = {}
    for line in out.splitlines():
        name, _, rest = line.strip().partition(" => ")
        if rest:
            assert not rest.startswith("not found"), line
            libraries[name] = rest.split(" (")[0]
    return libraries


@pytest.fixture(scope="module")
def binutils():
    if shutil.which("nm") is None or shutil.which("ldd") is None:
        pytest.skip("nm and ldd (binutils, libc-bin) are needed")


def test_module_exports_only_its_init_function(binutils):
    assert defined_dynamic_symbols(MODULE) == {"PyInit__tamberok"}


def test_no_library_the_module_loads_replaces_malloc_or_operator_new(binutils):
    libraries = loaded_libraries(MODULE)
    assert not any("mimalloc" in name for name in libraries), libraries
    replacing = {}
    for name, path in libraries.items():
        if name.startswith(RUNTIME):
            continue
        symbols = defined_dynamic_symbols(path)
        found = sorted(s for s in symbols
                       if s in ALLOCATOR_SYMBOLS or s.startswith(OPERATOR_PREFIXES))
        if found:
            replacing[name] = found[:5]
    assert replacing == {}


@pytest.fixture(scope="module")
def guest(tmp_path_factory):
    """The directory of tamberok_guest, built from guest_extension.cpp."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the guest extension")
    out_dir = tmp_path_factory.mktemp("guest")
    subprocess.run([compiler, "-std=c++17", "-O1", "-shared", "-fPIC",
                    "-I" + sysconfig.get_paths()["include"],
                    os.path.join(HERE, "guest_extension.cpp"),
                    "-o", str(out_dir / "tamberok_guest.abi3.so")], check=True)
    return str(out_dir)


GUEST_WORDS = 3000
GUEST_TOTAL = sum(len(f"word-{i}-") + i % 97 for i in range(GUEST_WORDS))

# What each neighbour does, and what it must answer.
NEIGHBOURS = {
    "guest": (f"import tamberok_guest\nout.append(tamberok_guest.churn({GUEST_WORDS}))",
              GUEST_TOTAL),
    "apt_pkg": ("import apt_pkg\napt_pkg.init()\n"
                "out.append([len(apt_pkg.config.dump()) > 100,"
                " apt_pkg.parse_depends('a (>= 1.2), b | c'),"
                " apt_pkg.version_compare('1.0~rc1', '1.0') < 0])",
                [True, [[["a", "1.2", ">="]], [["b", "", ""], ["c", "", ""]]], True]),
}

TAMBEROK_WORK = """
import tamberok
r = tamberok.decode("1HGCM82633A004352", flat=True)
out.append([r["model_year"], r["attributes"]["Make"], r["attributes"]["Model"], r["error_codes"]])
r = tamberok.decode("4DRBUAFN75A972003")
out.append([r["model_year"], r["error_codes"], r["check_digit_valid"]])
vins = tamberok.generate(400, seed=1) + MIXED_VINS
out.append(tamberok.decode_batch(vins) == [tamberok.decode(v) for v in vins])
out.append(len(tamberok.decode_batch_json(vins)) > 0)
"""
TAMBEROK_ANSWERS = [[2003, "HONDA", "Accord", [0]], [2005, [1], False], True, True]


def neighbour_code(name):
    if name == "apt_pkg":
        try:
            import apt_pkg  # noqa: F401
        except ImportError:
            pytest.skip("python3-apt is not installed")
    return NEIGHBOURS[name]


@pytest.mark.usefixtures("real_data")
@pytest.mark.parametrize("tamberok_first", [True, False], ids=["tamberok first", "neighbour first"])
@pytest.mark.parametrize("name", sorted(NEIGHBOURS))
def test_decodes_beside_another_cxx_extension_in_either_order(guest, name, tamberok_first):
    code, answer = neighbour_code(name)
    steps = [TAMBEROK_WORK, code, TAMBEROK_WORK, code] if tamberok_first else \
        [code, TAMBEROK_WORK, code, TAMBEROK_WORK]
    script = "\n".join(["import json", "out = []", f"MIXED_VINS = {MIXED_VINS!r}", *steps,
                        "print(json.dumps(out))"])
    got = json.loads(run_python(script, os.pathsep.join([PACKAGE_PATH, guest])))
    expected = TAMBEROK_ANSWERS + [answer] if tamberok_first else [answer] + TAMBEROK_ANSWERS
    assert got == expected * 2


LIBSTDCXX_GLOBAL_FIRST = """
import ctypes
ctypes.CDLL("libstdc++.so.6", mode=ctypes.RTLD_GLOBAL)
import tamberok
vins = tamberok.generate(5000, seed=1)
results = tamberok.decode_batch(vins)
print(len(results), results == [tamberok.decode(v) for v in vins],
      sum(r["check_digit_valid"] for r in results))
"""


@pytest.mark.usefixtures("real_data")
def test_decodes_a_batch_after_libstdcxx_was_loaded_globally():
    assert run_python(LIBSTDCXX_GLOBAL_FIRST, PACKAGE_PATH).split() == ["5000", "True", "5000"]


POOL_FAILURE = """
import os
import tamberok
for count in COUNTS:
    os.environ["RAYON_NUM_THREADS"] = count
    try:
        tamberok.decode_batch(["1HGCM82633A004352"])
        print("no failure")
    except BaseException as error:
        print(type(error).__name__ + ": " + str(error))
os.environ["RAYON_NUM_THREADS"] = "2"
print(tamberok.decode_batch(["1HGCM82633A004352"])[0]["model_year"])
"""


@pytest.mark.usefixtures("real_data")
def test_a_pool_too_large_to_build_raises_panic_exception_and_the_process_goes_on():
    counts = {"18446744073709551615": "rayon thread pool: vector::reserve",
              str(2**59): "rayon thread pool: std::bad_alloc"}
    out = run_python(f"COUNTS = {list(counts)!r}\n{POOL_FAILURE}", PACKAGE_PATH)
    assert out.splitlines() == [f"PanicException: {m}" for m in counts.values()] + ["2003"]


BUNDLED_MAPS = """
import tamberok
with open("/proc/self/maps") as maps:
    print("\\n".join(sorted({line.split(None, 5)[-1].rstrip("\\n") for line in maps if ".so" in line})))
"""


def test_libraries_bundled_beside_the_module_are_the_ones_loaded():
    here = os.path.dirname(MODULE)
    bundled = sorted(f for f in os.listdir(here) if f.startswith("lib") and ".so" in f)
    if not bundled:
        pytest.skip("no libraries beside the module (not an installed wheel)")
    mapped = run_python(BUNDLED_MAPS, PACKAGE_PATH).splitlines()
    for name in bundled:
        path = os.path.join(here, name)
        assert path in mapped or os.path.realpath(path) in mapped, (name, mapped)
        stem = name.split(".so")[0]
        elsewhere = [m for m in mapped if os.path.basename(m).startswith(stem + ".so")
                     and os.path.dirname(m) != here]
        assert elsewhere == [], elsewhere
