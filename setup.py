"""Builds the tamberok wheel and source distribution.

CMake builds the extension module (target tamberok_py). With
TAMBEROK_BUILD_DIR it reuses that configured build (`make wheel` hands it the
development build); otherwise it configures build-wheel/ without the C++
tests, so a wheel needs neither GoogleTest nor Google Benchmark.
TAMBEROK_CMAKE_ARGS adds arguments to that configure step. The module embeds
data/vpic.rkyv; without it the build stops, unless TAMBEROK_PLACEHOLDER=1 asks
for a module that embeds the EMPTY placeholder, which the version then says
with the local label +empty (0.0.6+empty). A source distribution always carries data/vpic.rkyv, so what is
built from it decodes.

Each wheel is staged afresh: whatever an earlier build left in setuptools'
staging areas stays out, so the wheel holds the package's modules, the module
built, the libraries it carries, its metadata and their licences.

The shared libraries the module needs beyond the C and C++ runtimes (RE2) go
into the wheel beside it under private names, with their licences, and the
wheel is tagged with the manylinux policy that its symbol versions earn.
"""

import filecmp
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist
from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import manylinux  # noqa: E402

ARTIFACT = os.path.join(ROOT, "data", "vpic.rkyv")

# A wheel without the vehicle data refuses every decode; one is built only when
# asked for by name, and its version says so.
PLACEHOLDER = not os.path.exists(ARTIFACT) and os.environ.get("TAMBEROK_PLACEHOLDER") == "1"
MISSING_ARTIFACT = ("tamberok: data/vpic.rkyv is missing, and a wheel without it refuses every"
                    " decode; `make download data` makes it (TAMBEROK_PLACEHOLDER=1 builds the"
                    " placeholder wheel anyway, versioned +empty)")

# Libraries every Linux system provides, which a wheel must not carry: the C
# runtime and the C++ runtime own the process-wide allocator and must be the
# process's own.
SYSTEM_LIBRARIES = ("linux-vdso.so", "ld-linux", "libc.so", "libm.so", "libdl.so",
                    "libpthread.so", "librt.so", "libstdc++.so", "libgcc_s.so")

# The licence text that goes into the wheel with each library it carries, by
# the library's name before ".so". A library without one stops the build:
# redistributing it needs its licence.
BUNDLED_LICENCES = {"libre2": "LICENSE-RE2"}


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        version = re.search(r"project\(tamberok VERSION ([0-9.]+)", cmake.read()).group(1)
    return version + "+empty" if PLACEHOLDER else version


def require_artifact():
    if not os.path.exists(ARTIFACT) and not PLACEHOLDER:
        sys.exit(MISSING_ARTIFACT)


def embeds_placeholder(build_dir):
    """Whether the module of the CMake build in `build_dir` embeds the EMPTY
    placeholder. The stage step copies what the module embeds (data/vpic.rkyv,
    or the placeholder when there is none) to embedded/vpic.rkyv, beside the
    placeholder's own embedded/empty.rkyv."""
    embedded = os.path.join(build_dir, "embedded")
    return filecmp.cmp(os.path.join(embedded, "vpic.rkyv"), os.path.join(embedded, "empty.rkyv"),
                       shallow=False)


def needed_libraries(path):
    """The shared libraries the loader maps for `path`: {soname: file}."""
    out = subprocess.run(["ldd", path], capture_output=True, text=True, check=True).stdout
    found = {}
    for line in out.splitlines():
        name, arrow, where = line.strip().partition(" => ")
        if not arrow:
            continue
        if where.startswith("not found"):
            sys.exit(f"tamberok: {path} needs {name}, which is not installed")
        found[name] = where.split(" (")[0]
    return found


def private_name(soname, path):
    """libre2.so.9 -> libre2-<8 hex of its sha256>.so.9: a name no other copy of
    RE2 in the process shares, so the loader never binds the module to another
    extension's libre2.so.9 or to one on LD_LIBRARY_PATH, nor theirs to ours."""
    with open(path, "rb") as library:
        digest = hashlib.sha256(library.read()).hexdigest()[:8]
    stem, dot_so, version = soname.partition(".so")
    return f"{stem}-{digest}{dot_so}{version}"


def patchelf(path, *arguments):
    os.chmod(path, os.stat(path).st_mode | stat.S_IWUSR)
    subprocess.run(["patchelf", *arguments, path], check=True)


def bundle_libraries(module, built, target_dir, licence_files):
    """Copies the libraries `built` needs beyond the system ones beside `module`
    under private names, and points every NEEDED entry at those names."""
    for name in os.listdir(target_dir):
        if name.startswith("lib") and ".so" in name:
            os.remove(os.path.join(target_dir, name))  # a previous build's copies
    renamed = {}
    for soname, path in sorted(needed_libraries(built).items()):
        if soname.startswith(SYSTEM_LIBRARIES):
            continue
        if BUNDLED_LICENCES.get(soname.split(".so")[0]) not in licence_files:
            sys.exit(f"tamberok: the wheel would carry {path} without its licence text;"
                     " name it in BUNDLED_LICENCES and in pyproject.toml's license-files")
        renamed[soname] = private_name(soname, path)
        copy = os.path.join(target_dir, renamed[soname])
        shutil.copyfile(path, copy)
        patchelf(copy, "--set-soname", renamed[soname])
        print(f"tamberok: bundled {path} as tamberok/{renamed[soname]}")
    for path in [module] + [os.path.join(target_dir, name) for name in renamed.values()]:
        needed = subprocess.run(["patchelf", "--print-needed", path], capture_output=True,
                                text=True, check=True).stdout.split()
        for old in needed:
            if old in renamed:
                patchelf(path, "--replace-needed", old, renamed[old])
        # patchelf 0.14 mixes up one call that both renames and sets the path.
        patchelf(path, "--set-rpath", "$ORIGIN")


class FreshBuild(build):
    """Stages the package in an empty directory: install copies all of it into
    the wheel, so a module since removed from python/tamberok, or a __pycache__
    an earlier build left there, would ship again."""

    def run(self):
        shutil.rmtree(self.build_lib, ignore_errors=True)
        super().run()


class CMakeBuild(build_ext):
    def run(self):
        require_artifact()
        super().run()

    def build_extension(self, ext):
        for tool in ("cmake", "patchelf", "ldd", "readelf"):
            if shutil.which(tool) is None:
                sys.exit(f"tamberok: building the wheel needs {tool} (`make deps` installs it)")
        build_dir = os.environ.get("TAMBEROK_BUILD_DIR")
        configure = ["cmake", "-S", ROOT, f"-DPython3_EXECUTABLE={sys.executable}"]
        if not build_dir:
            build_dir = os.path.join(ROOT, "build-wheel")
            configure.append("-DTAMBEROK_TESTS=OFF")
        configure += ["-B", build_dir, *os.environ.get("TAMBEROK_CMAKE_ARGS", "").split()]
        if os.path.exists(ARTIFACT):
            print("tamberok: the module embeds the real artifact data/vpic.rkyv")
        else:
            print("tamberok: the module embeds the EMPTY placeholder artifact"
                  " (no data/vpic.rkyv; `make download data` makes one)")
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        compile_module = ["cmake", "--build", build_dir, "--target", "tamberok_py"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:  # otherwise CMake takes it from there
            compile_module += ["-j", str(os.cpu_count() or 1)]
        subprocess.run(compile_module, check=True)
        # The stage step picks what to embed while compiling; the version was
        # chosen before, and the two must agree.
        placeholder = embeds_placeholder(build_dir)
        if placeholder and not PLACEHOLDER:
            sys.exit("tamberok: the module embeds the EMPTY placeholder, not vehicle data:"
                     " data/vpic.rkyv is the placeholder or vanished during the build")
        if PLACEHOLDER and not placeholder:
            sys.exit("tamberok: data/vpic.rkyv appeared during the build; build again")

        built = os.path.join(build_dir, "pkg", "tamberok", "_tamberok.abi3.so")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        if shutil.which("strip"):
            subprocess.run(["strip", "--strip-debug", target], check=True)
        bundle_libraries(target, built, os.path.dirname(target),
                         self.distribution.metadata.license_files or [])


class ManylinuxWheel(bdist_wheel):
    """Tags the wheel manylinux_2_X from the symbol versions that the shared
    objects it carries need, instead of the promise-free linux_x86_64. Refuses
    to start without the vehicle data unless the placeholder was asked for."""

    def run(self):
        require_artifact()
        # What an earlier, perhaps interrupted, build left in the directory the
        # wheel is zipped from, or in the metadata copied into its .dist-info,
        # would ship in this one.
        shutil.rmtree(self.bdist_dir, ignore_errors=True)
        shutil.rmtree(self.get_finalized_command("egg_info").egg_info, ignore_errors=True)
        super().run()

    def get_tag(self):
        python, abi, platform = super().get_tag()
        if not hasattr(self, "_platform_tag"):
            objects = [os.path.join(where, name) for where, _, names in os.walk(self.bdist_dir)
                       for name in names if ".so" in name]
            try:
                self._platform_tag = manylinux.platform_tag(objects, platform.partition("_")[2])
            except ValueError as error:
                sys.exit(f"tamberok: {error}")
        return python, abi, self._platform_tag


class DataSdist(sdist):
    """A source distribution is for building elsewhere; one without the vehicle
    data would build a module that refuses every decode."""

    def run(self):
        if not os.path.exists(ARTIFACT):
            sys.exit("tamberok: a source distribution carries data/vpic.rkyv, which is"
                     " missing (`make download data` makes it)")
        super().run()


setup(
    version=project_version(),
    ext_modules=[Extension("tamberok._tamberok", sources=[], py_limited_api=True)],
    cmdclass={"build": FreshBuild, "build_ext": CMakeBuild, "bdist_wheel": ManylinuxWheel,
              "sdist": DataSdist},
)
