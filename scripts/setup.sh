#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine, then configures and
# builds the given presets (default: "default"). Safe to run again: installs only what is missing
# and stays quiet when nothing is.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(
    build-essential cmake ninja-build pkg-config git
    clang-14 libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libasio-dev nlohmann-json3-dev liburiparser-dev libsoxr-dev
    libpulse-dev pulseaudio pulseaudio-utils
    nodejs npm
)

missing=()
for package in "${debian_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
# Node.js may come from outside Debian's archive; a working node and npm on PATH is enough.
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
    filtered=()
    for package in "${missing[@]}"; do
        [[ $package == nodejs || $package == npm ]] || filtered+=("$package")
    done
    missing=("${filtered[@]+"${filtered[@]}"}")
fi
if ((${#missing[@]} > 0)); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

presets=("$@")
((${#presets[@]} > 0)) || presets=(default)
for preset in "${presets[@]}"; do
    build_dir=build
    [[ $preset == default ]] || build_dir="build-$preset"
    if [[ ! -f $build_dir/CMakeCache.txt ]]; then
        cmake --preset "$preset" >/dev/null
    fi
    # Only the progress lines are hidden; with pipefail the build's own status decides.
    cmake --build --preset "$preset" | { grep -vE '^\[[0-9]+/[0-9]+\] ' || true; }
done
