#!/usr/bin/env bash
# The source distribution round trip, offline: a copy of the tree as a fresh
# clone holds it refuses to make an sdist without the vehicle data; with the
# data that `make data` makes, `python3 -m build --sdist` packs what a build
# needs, and `pip wheel` turns that sdist alone into a wheel, with GoogleTest
# and Google Benchmark out of CMake's reach, that installs and decodes.
# Usage: sdist_round_trip.sh [PYTHON]
set -euo pipefail
python=${1:-/usr/bin/python3}
root=$(cd "$(dirname "$0")/.." && pwd -P)
[ -f "$root/data/vpic.rkyv" ] || { echo "test-sdist: needs data/vpic.rkyv (make data)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "test-sdist: FAILED: $*" >&2; exit 1; }

# The files git tracks, and those it would track, as the working tree has them.
# Git reads a repository another user owns (root in a CI container over a
# checkout mounted from the host, say) only when told it is safe: this is the
# tree whose code the round trip builds and runs anyway.
mkdir "$work/tree"
git -c safe.directory="$root" -C "$root" ls-files -z --cached --others --exclude-standard |
  tar -C "$root" --null --ignore-failed-read -T - -cf - | tar -C "$work/tree" -xf -

if (cd "$work/tree" && "$python" -m build --sdist --no-isolation --outdir "$work/sdist") \
     >"$work/refused.log" 2>&1; then
  fail "an sdist was made without data/vpic.rkyv"
fi
grep -q "a source distribution carries data/vpic.rkyv, which is missing" "$work/refused.log" ||
  fail "the sdist without data/vpic.rkyv failed for another reason: $(tail -5 "$work/refused.log")"

cp "$root/data/vpic.rkyv" "$work/tree/data/"
(cd "$work/tree" && "$python" -m build --sdist --no-isolation --outdir "$work/sdist") \
  >"$work/sdist.log" 2>&1 || fail "python -m build --sdist: $(tail -20 "$work/sdist.log")"
sdist=$(ls "$work"/sdist/tamberok-*.tar.gz)
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/members"
for member in PKG-INFO setup.py setup.cfg pyproject.toml README.md LICENSE-RE2 CMakeLists.txt \
              cmake/python_module.cmake cmake/embed.S.in cmake/stage_artifact.cmake \
              tools/manylinux.py src/core/decode.cpp src/core/include/tamberok/db.h \
              src/py/module.cpp src/import/empty_artifact.cpp data/supplement/ErrorCode.tsv \
              data/vpic.rkyv python/tamberok/__init__.py; do
  grep -qx "$member" "$work/members" || fail "the sdist lacks $member"
done
grep -E '^(build|build-wheel|dist|tests)/|^data/vpic\.db$' "$work/members" &&
  fail "the sdist carries build output, tests or the vPIC database"

# The sdist alone, not the tree beside it, as the source of the wheel.
rm -rf "$work/tree"
(cd "$work" && env -u TAMBEROK_BUILD_DIR \
   TAMBEROK_CMAKE_ARGS="-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON" \
   "$python" -m pip wheel -q --no-build-isolation --no-deps --no-index --no-cache-dir \
     -w "$work/wheel" "$sdist") >"$work/wheel.log" 2>&1 ||
  fail "pip wheel from the sdist: $(tail -30 "$work/wheel.log")"

"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index --no-deps --no-cache-dir "$work"/wheel/tamberok-*.whl
got=$(cd "$work" && env -u PYTHONPATH "$work/venv/bin/python" -c 'import tamberok
r = tamberok.decode("1HGCM82633A004352", flat=True)
print(r["model_year"], r["attributes"]["Make"], r["attributes"]["Model"], r["error_codes"])')
[ "$got" = "2003 HONDA Accord [0]" ] || fail "the wheel from the sdist decodes 1HGCM82633A004352 as: $got"
echo "test-sdist: $(basename "$sdist") ($(du -h "$sdist" | cut -f1)) -> $(basename "$work"/wheel/*.whl) decodes"
