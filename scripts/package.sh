#!/usr/bin/env bash
# Builds the Debian packages into dist/ with CPack: libvela-asr1 (when the shared
# library is built), libvela-asr-dev, vela-asr-server and python3-vela-asr (when
# the Python module exists). Builds in build-pkg/ (tests and benchmarks off),
# then lists each package's size, file count and Depends and runs lintian.
#
#   scripts/package.sh [extra cmake options]
#
# Needs dpkg-dev (dpkg-shlibdeps) and lintian (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-pkg
start=$SECONDS

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELA_BUILD_TESTS=OFF \
    -DVELA_BUILD_BENCH=OFF -DVELA_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"

rm -rf "$root/dist" "$build/cpack"
mkdir -p "$root/dist"
(cd "$build" && cpack -G DEB -B "$build/cpack" >/dev/null)
mv "$build"/cpack/*.deb "$root/dist/"
rm -rf "$build/cpack"

status=0
for deb in "$root"/dist/*.deb; do
    files=$(dpkg-deb -c "$deb" | grep -vc '/$' || true)
    printf '%s: %s bytes, %s files\n  Depends: %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
        "$files" "$(dpkg-deb -f "$deb" Depends)"
done
if command -v lintian >/dev/null; then
    # Errors fail the script; warnings are listed.
    lintian --tag-display-limit 0 "$root"/dist/*.deb || status=$?
else
    echo "package: lintian not installed, packages not checked" >&2
fi
echo "package: done in $((SECONDS - start)) s"
exit $status
