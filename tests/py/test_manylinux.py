"""The manylinux tag a wheel's shared objects earn (tools/manylinux.py): the
runtime versions each x86_64 policy allows, and the lowest policy that allows
every version the objects need."""

import importlib.util
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
_FOUND = importlib.util.spec_from_file_location(
    "manylinux", os.path.join(HERE, "..", "..", "tools", "manylinux.py"))
manylinux = importlib.util.module_from_spec(_FOUND)
_FOUND.loader.exec_module(manylinux)

POLICIES = manylinux.X86_64_POLICIES


def version_name(runtime, numbers):
    return f"{runtime}_{'.'.join(str(number) for number in numbers)}"


def one_above(numbers):
    """(3, 4, 30) -> (3, 4, 31)"""
    return numbers[:-1] + (numbers[-1] + 1,)


@pytest.mark.parametrize("minor,policy", POLICIES,
                         ids=[f"manylinux_2_{minor}" for minor, _ in POLICIES])
def test_a_policy_allows_its_own_glibc_and_newest_runtimes_and_refuses_one_above(minor, policy):
    newest = {version_name(runtime, numbers) for runtime, numbers in policy.items()}
    above = {version_name(runtime, one_above(numbers)) for runtime, numbers in policy.items()}
    own_glibc, next_glibc = f"GLIBC_2.{minor}", f"GLIBC_2.{minor + 1}"

    allowed = {version for version in newest | above | {own_glibc, next_glibc}
               if manylinux.policy_allows(policy, minor, version)}
    assert allowed == newest | {own_glibc}
    # Its newest versions together need this very policy: none below allows them.
    assert manylinux.lowest_policy(newest) == minor


@pytest.mark.parametrize("versions,minor", [
    (set(), 5),
    ({"GLIBC_2.2.5"}, 5),
    ({"GLIBC_2.17", "GLIBCXX_3.4.19", "CXXABI_1.3.7", "GCC_4.8.0"}, 17),
    ({"GLIBC_2.12", "CXXABI_TM_1"}, 17),
    ({"GLIBC_2.12", "CXXABI_FLOAT128"}, 24),
    ({"GLIBCXX_3.4.23"}, 27),
    ({"GCC_7.0.0"}, 27),
    ({"CXXABI_1.3.12"}, 31),
    ({"GLIBCXX_3.4.29"}, 34),
    # RE2 on Debian 12 and a module built by GCC 12.
    ({"GLIBC_2.34", "GLIBCXX_3.4.30", "CXXABI_1.3.13", "GCC_3.0"}, 35),
    ({"GLIBC_2.17", "GLIBC_ABI_DT_RELR"}, 36),
    ({"GLIBC_2.37"}, 37),
    ({"GLIBC_2.37", "GLIBCXX_3.4.30", "GCC_12.0.0"}, 37),
    ({"GLIBC_2.38"}, 38),
    ({"GLIBCXX_3.4.31"}, 39),
    ({"CXXABI_1.3.14"}, 39),
    ({"GCC_13.0.0"}, 39),
    ({"GLIBC_2.40", "GLIBCXX_3.4.33"}, 40),
    ({"GLIBC_2.41"}, None),
    ({"GLIBCXX_3.4.34", "GLIBC_2.17"}, None),
    ({"GLIBC_PRIVATE"}, None),
    ({"LIBFOO_1.0"}, None),
])
def test_the_tag_is_the_lowest_policy_that_allows_every_needed_version(versions, minor):
    assert manylinux.lowest_policy(versions) == minor


LIBRE2 = "libre2-0123abcd.so.9"


@pytest.mark.parametrize("needs,arch,outcome", [
    # What the wheel's own objects define for each other promises nothing.
    ({"_tamberok.abi3.so": {"libc.so.6": {"GLIBC_2.14", "GLIBC_2.2.5"},
                            "libstdc++.so.6": {"GLIBCXX_3.4.30", "CXXABI_1.3.13"},
                            LIBRE2: {"RE2_PRIVATE_9"}},
      LIBRE2: {"libc.so.6": {"GLIBC_2.34"}, "libgcc_s.so.1": {"GCC_3.0"}}},
     "x86_64", "manylinux_2_35_x86_64"),
    ({"_tamberok.abi3.so": {"libc.so.6": {"GLIBC_2.37"}},
      LIBRE2: {"libstdc++.so.6": {"GLIBCXX_3.4.30"}}},
     "x86_64", "manylinux_2_37_x86_64"),
    ({"_tamberok.abi3.so": {"libc.so.6": {"GLIBC_2.17", "GLIBC_2.41"},
                            "libstdc++.so.6": {"GLIBCXX_3.4.34", "GLIBCXX_3.4.9"}}},
     "x86_64", "no manylinux policy allows the symbol versions GLIBCXX_3.4.34, GLIBC_2.41"),
    # Other architectures keep the tag that promises nothing, objects unread.
    ({}, "aarch64", "linux_aarch64"),
])
def test_the_platform_tag_counts_only_versions_needed_from_outside_the_wheel(
        monkeypatch, tmp_path, needs, arch, outcome):
    monkeypatch.setattr(manylinux, "needed_versions",
                        lambda path: needs[os.path.basename(path)])
    paths = [str(tmp_path / name) for name in needs]
    try:
        tag = manylinux.platform_tag(paths, arch)
    except ValueError as error:
        tag = str(error)
    assert tag == outcome
