#!/usr/bin/env bash
# Makes sure the tools and Debian packages the build needs are present.
# As root with apt-get it installs what is missing; otherwise it prints the
# line for root to paste and fails.
set -euo pipefail

declare -A tool_pkg=([g++]=g++ [cmake]=cmake [make]=make [npm]=npm)
libs=(libyaml-dev libgtest-dev libbenchmark-dev)
# "bootstrap.sh fuzz": also clang with libFuzzer for the fuzz targets.
if [[ "${1:-}" == fuzz ]]; then
    tool_pkg[clang++-14]=clang-14
    libs+=(libclang-rt-14-dev)
fi

missing=()
for tool in "${!tool_pkg[@]}"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("${tool_pkg[$tool]}")
done
for pkg in "${libs[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done

[[ ${#missing[@]} -eq 0 ]] && exit 0

IFS=$'\n' missing=($(printf '%s\n' "${missing[@]}" | sort -u)); unset IFS
install=(apt-get install -y --no-install-recommends "${missing[@]}")
if [[ "$(id -u)" -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    echo "bootstrap: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    "${install[@]}"
else
    # Spelled for root, not sudo: a bare Debian has no sudo, and a fresh one
    # has no package lists yet.
    echo "bootstrap: missing packages: ${missing[*]}" >&2
    echo "bootstrap: as root, run:  apt-get update && ${install[*]}" >&2
    exit 1
fi
