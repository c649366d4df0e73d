"""The wheel as shipped: the platform tag its shared objects earn, the RE2 it
carries under a private name, and the licence that comes with it. Runs when
TAMBEROK_WHEEL names the wheel whose installed copy is under test
(`make test-wheel`)."""

import os
import re
import runpy
import subprocess
import sys
import zipfile

import pytest

import tamberok

HERE = os.path.dirname(os.path.abspath(__file__))
X86_64_POLICIES = runpy.run_path(
    os.path.join(HERE, "..", "..", "tools", "manylinux.py"))["X86_64_POLICIES"]

WHEEL = os.environ.get("TAMBEROK_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="TAMBEROK_WHEEL does not name a wheel")

# What every manylinux system provides; anything else the wheel must carry.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
                    "ld-linux-x86-64.so.2"}
PRIVATE_RE2 = re.compile(r"libre2-[0-9a-f]{8}\.so\.9")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The wheel's files, unpacked: {name in the wheel: path}."""
    where = tmp_path_factory.mktemp("wheel")
    with zipfile.ZipFile(WHEEL) as archive:
        archive.extractall(where)
        return {name: os.path.join(where, name) for name in archive.namelist()}


def shared_objects(files):
    return {name: path for name, path in files.items() if ".so" in os.path.basename(name)}


def dynamic_entries(path, kind):
    """The values of one kind of dynamic-section entry (NEEDED, SONAME)."""
    out = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(rf"\({kind}\)\s+\S+ \S+: \[([^\]]+)\]", out)


def symbol_versions(path):
    """(versions of the symbols `path` takes from others, versions it defines)."""
    out = subprocess.run(["objdump", "-T", "-W", path], capture_output=True, text=True,
                         check=True).stdout
    taken, defined = set(), set()
    for line in out.splitlines():
        version = re.search(r"\s\(?([A-Z]+_[A-Z0-9_.]+)\)?\s+\S+$", line)
        if version:
            (taken if "*UND*" in line else defined).add(version.group(1))
    return taken, defined


def newest_by_runtime(versions):
    """{runtime: newest numbered version}, e.g. {"GLIBC": (2, 34)}."""
    newest = {}
    for version in versions:
        runtime, _, number = version.partition("_")
        key = tuple(int(part) for part in number.split("."))
        newest[runtime] = max(newest.get(runtime, key), key)
    return newest


def test_the_tag_is_the_lowest_manylinux_policy_allowing_every_runtime_version_needed(files):
    tag = os.path.basename(WHEEL)[:-len(".whl")].split("-", 2)[2]
    wheel_file = next(path for name, path in files.items() if name.endswith(".dist-info/WHEEL"))
    with open(wheel_file, encoding="utf-8") as text:
        assert re.findall(r"^Tag: (.+)$", text.read(), re.M) == [tag]
    python, abi, platform = tag.split("-")
    assert (python, abi) == ("cp310", "abi3")
    glibc = re.fullmatch(r"manylinux_2_([0-9]+)_x86_64", platform)
    assert glibc, f"{platform} promises nothing about the systems it loads on"

    taken, defined = set(), set()
    for path in shared_objects(files).values():
        took, gave = symbol_versions(path)
        taken |= took
        defined |= gave
    needed = taken - defined
    assert all(re.fullmatch(r"(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+", v) for v in needed), needed
    newest = newest_by_runtime(needed)
    policies = dict(X86_64_POLICIES)
    minor = int(glibc.group(1))
    assert {runtime: version for runtime, version in newest.items()
            if version > policies[minor][runtime]} == {}, policies[minor]
    lower = [other for other in policies if other < minor]
    if lower:
        assert any(version > policies[lower[-1]][runtime] for runtime, version in newest.items()), \
            f"{newest} fits manylinux_2_{lower[-1]}"


def test_the_module_needs_re2_under_a_private_name_that_the_wheel_carries(files):
    objects = shared_objects(files)
    needed = dynamic_entries(objects["tamberok/_tamberok.abi3.so"], "NEEDED")
    private = [name for name in needed if name.startswith("libre2")]
    assert len(private) == 1 and PRIVATE_RE2.fullmatch(private[0]), needed
    assert sorted(name for name in files if name.startswith("tamberok/")) == \
        sorted(["tamberok/__init__.py", "tamberok/_tamberok.abi3.so", f"tamberok/{private[0]}"])
    assert dynamic_entries(objects[f"tamberok/{private[0]}"], "SONAME") == [private[0]]
    carried = {os.path.basename(name) for name in objects}
    for name, path in objects.items():
        assert set(dynamic_entries(path, "NEEDED")) - carried - SYSTEM_LIBRARIES == set(), name


def test_the_wheel_carries_the_licence_of_re2_and_its_metadata_names_it(files):
    dist_info = next(name for name in files if name.endswith(".dist-info/METADATA"))
    dist_info = dist_info[:-len("/METADATA")]
    with open(files[f"{dist_info}/METADATA"], encoding="utf-8") as text:
        assert re.findall(r"^License-File: (.+)$", text.read(), re.M) == ["LICENSE-RE2"]
    with open(files[f"{dist_info}/LICENSE-RE2"], encoding="utf-8") as text:
        licence = text.read()
    for words in ["Upstream-Name: RE2", "Copyright: 2002-2020, Google Inc.",
                  "Redistributions in binary form must reproduce the above copyright notice",
                  "Neither the name of Google Inc. nor the names of its contributors",
                  "Copyright: 2002, Lucent Technologies"]:
        assert words in licence
    with open(files[f"{dist_info}/RECORD"], encoding="utf-8") as text:
        assert f"{dist_info}/LICENSE-RE2," in text.read()


STUB_RE2 = "int tamberok_test_stub_re2(void) { return 9; }\n"

DECODE = """
import ctypes, sys
if sys.argv[1] == "loaded":
    ctypes.CDLL(sys.argv[2], mode=ctypes.RTLD_GLOBAL)
import tamberok
r = tamberok.decode("1HGCM82633A004352", flat=True)
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split(None, 5)[-1].rstrip("\\n") for line in maps if "libre2" in line})
print(r["model_year"], r["attributes"]["Make"], r["attributes"]["Model"])
print("\\n".join(mapped))
"""


@pytest.mark.usefixtures("real_data")
@pytest.mark.parametrize("how", ["on LD_LIBRARY_PATH", "loaded"])
def test_the_module_decodes_with_its_own_re2_beside_another_libre2_so_9(tmp_path, how):
    compiler = os.environ.get("CC") or "cc"
    (tmp_path / "stub.c").write_text(STUB_RE2)
    stub = tmp_path / "libre2.so.9"
    subprocess.run([compiler, "-shared", "-fPIC", "-Wl,-soname,libre2.so.9", "-o", str(stub),
                    str(tmp_path / "stub.c")], check=True)
    env = dict(os.environ, LD_LIBRARY_PATH=str(tmp_path))
    env.pop("PYTHONPATH", None)
    done = subprocess.run([sys.executable, "-c", DECODE, how, str(stub)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    package = os.path.dirname(os.path.realpath(tamberok.__file__))
    # One path a line: a path may hold spaces.
    first, *mapped = done.stdout.splitlines()
    year, make, model = first.split()
    assert (year, make, model) == ("2003", "HONDA", "Accord")
    ours = [path for path in mapped if os.path.dirname(path) == package]
    assert len(ours) == 1 and PRIVATE_RE2.fullmatch(os.path.basename(ours[0])), mapped
    assert sorted(set(mapped) - set(ours)) == ([os.path.realpath(stub)] if how == "loaded" else [])
