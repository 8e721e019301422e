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
    libasio-dev nlohmann-json3-dev liburiparser-dev libsoxr-dev libicu-dev
    libpulse-dev pulseaudio pulseaudio-utils
    libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us pocketsphinx-testdata
    apertium apertium-eng-spa espeak-ng
    flite sox
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

# The addon's build headers (node-addon-api, node-api-headers) come from npm, pinned by the
# committed lock file; the stamp keeps a second run quiet and offline.
addon_dir=web-auth-addon
if ! cmp -s "$addon_dir/package-lock.json" "$addon_dir/node_modules/.norvi-installed-lock"; then
    echo "setup: installing the addon's npm packages"
    (cd "$addon_dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$addon_dir/package-lock.json" "$addon_dir/node_modules/.norvi-installed-lock"
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
