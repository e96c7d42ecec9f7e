#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run everything in this
# repository. Idempotent and quiet: packages already present are skipped, and
# the package index is refreshed only when something has to be installed.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git python3
    libcurl4-openssl-dev libjsoncpp-dev libgoogle-glog-dev libboost-dev zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libssl-dev openssl
    libpocketsphinx-dev pocketsphinx-en-us libsndfile1-dev libsamplerate0-dev
    espeak-ng sox
    nginx-light
    dpkg-dev lintian
    curl
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    if [ "$status" != "install ok installed" ]; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    SUDO=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
