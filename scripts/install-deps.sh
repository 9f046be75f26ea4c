#!/usr/bin/env bash
# Installs the Debian packages VORN builds and tests with; does nothing for
# packages already present, so it is cheap to run before every build.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  liblapack-dev libblas-dev libopenblas-dev libopenblas-serial-dev liblbfgsb-dev libcminpack-dev
  libtecla-dev libpython3-dev python3
  python3-dendropy python3-biopython python3-numpy python3-scipy phylip r-cran-phangorn r-cran-ape paml iqtree quicktree
  clang libclang-rt-14-dev
  raxml
  tree-puzzle
)
# Callers may name extra packages (peer programs used by cross-checks).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
