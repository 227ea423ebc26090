#!/usr/bin/env bash
# Installs everything brantle needs on a fresh Debian machine, as root, and nothing twice:
# the Debian build dependencies, then a project virtual environment in .venv with the
# Python packages of requirements-dev.txt. Safe to run on every `make` invocation.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(
  build-essential pkg-config
  libfftw3-dev          # single-precision FFT (libfftw3f)
  libgeographiclib-dev  # geodesics on the WGS84 ellipsoid
  libpcg-cpp-dev        # PCG32 random generator (header only)
  libgtest-dev          # engine unit tests
  libbenchmark-dev      # micro-benchmarks under bench/
  python3-dev python3-venv
)

missing=()
for pkg in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

python=${PYTHON:-python3}
if [[ ! -x .venv/bin/python ]]; then
  echo "bootstrap: creating .venv with $($python --version)"
  "$python" -m venv .venv
fi

# Reinstall the Python packages only when the requirement list changed.
stamp=.venv/.requirements.sha256
want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [[ ! -f $stamp || $(cat "$stamp") != "$want" ]]; then
  echo "bootstrap: installing Python packages into .venv"
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet -r requirements-dev.txt
  echo "$want" > "$stamp"
fi
