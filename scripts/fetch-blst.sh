#!/usr/bin/env bash
# Fetches blst's C sources from the npm registry, checks the tarball against a
# pinned integrity hash and builds libblst.a into the given directory.
# Usage: fetch-blst.sh OUT_DIR
set -euo pipefail

PACKAGE="@chainsafe/blst@0.2.11"
TARBALL="chainsafe-blst-0.2.11.tgz"
INTEGRITY="sha512-URyOLq5GtxBoxibOnd2pgLydCy0UZzbiIIBcsRAvGxAsRzjZL04TsQfwRkz5aphU3a1ebeRoMmI/HHyMCiFSQg=="

out="${1:?usage: fetch-blst.sh OUT_DIR}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if [[ -f "$out/blst/libblst.a" && -f "$out/blst/bindings/blst.h" ]]; then
    exit 0
fi

command -v npm >/dev/null || { echo "fetch-blst: npm is not installed (run scripts/bootstrap.sh)" >&2; exit 1; }

work="$out/download"
rm -rf "$work"
mkdir -p "$work"
if ! (cd "$work" && npm pack "$PACKAGE" --silent >/dev/null); then
    echo "fetch-blst: 'npm pack $PACKAGE' failed: is the npm registry reachable?" >&2
    exit 1
fi
[[ -f "$work/$TARBALL" ]] || { echo "fetch-blst: npm pack did not produce $TARBALL" >&2; exit 1; }

want_hex="$(printf '%s' "${INTEGRITY#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')"
have_hex="$(sha512sum "$work/$TARBALL" | cut -d' ' -f1)"
if [[ "$want_hex" != "$have_hex" ]]; then
    echo "fetch-blst: integrity mismatch for $TARBALL" >&2
    echo "  expected sha512 $want_hex" >&2
    echo "  got      sha512 $have_hex" >&2
    exit 1
fi

rm -rf "$out/blst"
tar -xzf "$work/$TARBALL" -C "$work" package/blst
mv "$work/package/blst" "$out/blst"
rm -rf "$work"

if ! (cd "$out/blst" && ./build.sh >build.log 2>&1); then
    cat "$out/blst/build.log" >&2
    echo "fetch-blst: blst's build.sh failed" >&2
    exit 1
fi
[[ -f "$out/blst/libblst.a" ]] || { echo "fetch-blst: blst's build.sh produced no libblst.a" >&2; exit 1; }
