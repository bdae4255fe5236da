#!/usr/bin/env bash
# Installs what vexa needs from Debian's archive (only what is missing), then
# configures and builds it in build/. Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(cmake make g++ python3-dev python3-numpy python3-pytest python3-torch libtorch-dev
          pybind11-dev python3-pybind11 libgtest-dev python3-skimage python3-hypothesis
          python3-pil python3-setuptools python3-wheel python3-pip python3-venv
          python3-dask python3-distributed python3-zarr python3-matplotlib python3-networkx flake8 clang-format)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)"

# Make `import vexa` and `import _vexa` work for Debian's python3 from anywhere.
site="$(/usr/bin/python3 -c 'import site; print(site.getsitepackages()[0])')"
if [ -w "$site" ] || [ "$(id -u)" -eq 0 ]; then
    printf '%s\n%s\n' "$root" "$root/build/lib" > "$site/vexa-dev.pth"
fi
