#!/usr/bin/env bash
# Installs one wheel into a fresh venv for each CPython 3.10+ on this machine
# and runs the Python tests against each installed copy, outside the source
# tree. A wheel without the vehicle data fails: it is refused before the tests,
# and the tests that need the data fail instead of skipping.
# Usage: test_wheel.sh WHEEL EMPTY_PKG. PYTHON is the interpreter that built
# the wheel; PYTHONS, when set, replaces the interpreters found.
set -euo pipefail
wheel=$(realpath "$1")
empty_pkg=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# This interpreter, pyenv's, and python3.1x on PATH; each one once, by the
# executable it really runs (pyenv's shims resolve to their versions).
interpreters() {
  local candidate
  for candidate in "$python" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3 \
                   $(compgen -c | grep -E '^python3\.[0-9]+$' | sort -u); do
    "$candidate" -c 'import os, sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 10):
    print(os.path.realpath(sys.executable))' 2>/dev/null || true
  done | awk '!seen[$0]++'
}

# Debian's test packages are pure Python: an interpreter without pytest and
# hypothesis of its own reaches them through a .pth file naming links to them,
# not through all of Debian's dist-packages, whose compiled modules are 3.11's.
test_packages="$work/test-packages"
mkdir "$test_packages"
dist_packages=$("$python" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))')
for name in pytest _pytest py pluggy iniconfig packaging attr attrs hypothesis \
            _hypothesis_pytestplugin _hypothesis_ftz_detector sortedcontainers exceptiongroup tomli; do
  for path in "$dist_packages/$name" "$dist_packages/$name.py" "$dist_packages/$name"-[0-9]*-info; do
    [ -e "$path" ] && ln -s "$path" "$test_packages/"
  done
done

# Exits 3 when the installed module embeds the EMPTY placeholder.
decodes='import sys, tamberok
try:
    tamberok.decode("1HGCM82633A004352")
except BaseException as error:  # the placeholder raises PanicException, a BaseException
    if type(error).__name__ == "PanicException" and "EMPTY placeholder" in str(error):
        sys.exit(3)
    raise'

if [ -n "${PYTHONS:-}" ]; then read -r -a found <<<"$PYTHONS"; else mapfile -t found < <(interpreters); fi
[ ${#found[@]} -gt 0 ] || { echo "test-wheel: no CPython 3.10+ found" >&2; exit 1; }
failed=()
for i in "${!found[@]}"; do
  interpreter=${found[$i]}
  echo "test-wheel: $interpreter ($("$interpreter" -c 'import platform; print(platform.python_version())'))"
  venv="$work/venv-$i"
  if "$interpreter" -c 'import pytest, hypothesis' 2>/dev/null; then
    # Its own packages, and whatever else the tests meet there (apt_pkg).
    "$interpreter" -m venv --system-site-packages "$venv"
  else
    "$interpreter" -m venv "$venv"
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    echo "$test_packages" >"$site/tamberok-test-packages.pth"
  fi
  if ! "$venv/bin/python" -m pip install -q --no-index --no-deps --no-cache-dir "$wheel"; then
    failed+=("$interpreter: the wheel did not install")
    continue
  fi
  status=0
  (cd "$venv" && env -u PYTHONPATH "$venv/bin/python" -c "$decodes") || status=$?
  if [ "$status" -ne 0 ]; then
    if [ "$status" -eq 3 ]; then
      failed+=("$interpreter: the wheel embeds the EMPTY placeholder, not the vehicle data")
    else
      failed+=("$interpreter: the installed wheel does not decode")
    fi
    continue
  fi
  (cd "$venv" && env -u PYTHONPATH TAMBEROK_REQUIRE_DATA=1 TAMBEROK_WHEEL="$wheel" \
     TAMBEROK_EMPTY_PKG="$empty_pkg" \
     "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider \
       -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "$root/tests/py") ||
    failed+=("$interpreter: tests failed")
done
if [ ${#failed[@]} -gt 0 ]; then
  printf 'test-wheel: FAILED %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "test-wheel: passed on ${#found[@]} interpreters"
