#!/usr/bin/env python3
"""Builds the Debian packages of a build tree with CPack into a temporary
folder, extracts each with dpkg -x and checks its files, its Depends and the
version it carries.

    check_debs.py CPACK BUILD_DIR VERSION [--shared] [--python]
"""
import os
import re
import subprocess
import sys
import tempfile

cpack, build, version = sys.argv[1:4]
shared, python = "--shared" in sys.argv, "--python" in sys.argv
deb_version = version + "-1"
major = version.split(".")[0]
exact = "libvela-asr%s (= %s)" % (major, deb_version)

PUBLIC_HEADERS = {
    "usr/include/vela/speech-asr-sdk/VelaASRLinuxSDK.h",
    "usr/include/vela/speech-asr-sdk/VelaASRMessage.h",
    "usr/include/vela/speech-util/utilcxx/mutex/atomic.h",
    "usr/include/vela/speech-util/utilcxx/mutex/make_core.h",
    "usr/include/vela/speech-util/utilcxx/mutex/recmutex.h",
} | ({"usr/include/vela/asr.h", "usr/include/vela/asr.hpp"} if shared else set())

# package: (files it must hold, entries its Depends must name)
EXPECTED = {
    "libvela-asr-dev": (
        PUBLIC_HEADERS | {
            "usr/lib/libspeechasr.a", "usr/lib/libspeechutil.a", "usr/lib/libvadcodec.a",
            "usr/lib/pkgconfig/vela-asr.pc", "usr/lib/pkgconfig/vela-asr-static.pc",
            "usr/lib/cmake/VelaASR/VelaASRConfig.cmake", "usr/lib/cmake/VelaASR/VelaASRTargets.cmake",
        } | ({"usr/lib/libvela-asr.so"} if shared else set()),
        ["libcurl4-openssl-dev", "libjsoncpp-dev", "libgoogle-glog-dev", "zlib1g-dev", "libboost-dev"]
        + ([exact] if shared else []),
    ),
    "vela-asr-server": (
        {"usr/bin/" + p for p in ("asr-server", "bv32enc", "bv32dec", "vadscan", "asr-stream")} | {
            "usr/lib/systemd/system/vela-asr-server.service",
            "usr/share/vela-asr/deploy/nginx/asr-cluster.conf.in",
            "usr/share/vela-asr/deploy/nginx/render.sh",
            "usr/share/vela-asr/scripts/cluster.sh",
            "usr/share/vela-asr/scripts/lib/vela.sh",  # cluster.sh sources it
            "usr/share/vela-asr/wire/vela_wire.h",  # render.sh reads nginx's refusal bodies from it
        },
        # asr-stream links the SDK: the shared library when it is built, else the archives with libcurl.
        ["libc6", "libstdc++6", "libpocketsphinx3", "libssl3", "libsndfile1"] + ([exact] if shared else ["libcurl4"]),
    ),
}
if shared:
    EXPECTED["libvela-asr" + major] = (
        {"usr/lib/libvela-asr.so." + major}, ["libc6", "libstdc++6", "libcurl4", "libgoogle-glog0v6"])
if python:
    EXPECTED["python3-vela-asr"] = ({"usr/lib/python3/dist-packages/vela_asr/__init__.py"}, ["python3", exact])

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def check_package(name, deb, root):
    files, needed = EXPECTED[name]
    field = lambda f: subprocess.check_output(["dpkg-deb", "-f", deb, f], text=True).strip()
    check(field("Version") == deb_version, "%s: version %s" % (name, field("Version")))
    depends = [d.strip() for d in field("Depends").split(",")]
    for entry in needed:
        # A bare name matches any version constraint; an entry with one matches exactly.
        check(any(d == entry or d.split(" ")[0] == entry for d in depends),
              "%s: Depends lacks %s: %s" % (name, entry, depends))
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    held = set()
    for top, _, names in os.walk(root):
        held.update(os.path.relpath(os.path.join(top, n), root) for n in names)
    check(files <= held, "%s: missing %s" % (name, sorted(files - held)))
    for f in sorted(held):
        check(f.startswith("usr/"), "%s: outside /usr: %s" % (name, f))
        data = f.startswith("usr/share/vela-asr/")  # files the installed scripts read
        check(not re.search(r"\.(h|hpp)$", f) or f in PUBLIC_HEADERS or data, "%s: internal header %s" % (name, f))


with tempfile.TemporaryDirectory(prefix="vela-debs-") as tmp:
    subprocess.run([cpack, "-G", "DEB", "-B", tmp, "--config", os.path.join(build, "CPackConfig.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    debs = {f.split("_")[0]: os.path.join(tmp, f) for f in os.listdir(tmp) if f.endswith(".deb")}
    check(set(debs) == set(EXPECTED), "packages %s, expected %s" % (sorted(debs), sorted(EXPECTED)))
    for name in sorted(set(debs) & set(EXPECTED)):
        check_package(name, debs[name], os.path.join(tmp, "x-" + name))
        print("%s: %d bytes" % (os.path.basename(debs[name]), os.path.getsize(debs[name])))

    server = os.path.join(tmp, "x-vela-asr-server")
    if os.path.isdir(server):
        out = subprocess.run([server + "/usr/bin/asr-server", "--version"], capture_output=True, text=True)
        check(out.stdout == "asr-server %s\n" % version, "asr-server --version: %r" % out.stdout)
    pc = os.path.join(tmp, "x-libvela-asr-dev/usr/lib/pkgconfig/vela-asr.pc")
    if os.path.exists(pc):
        with open(pc) as f:
            check("Version: %s\n" % version in f.read(), "vela-asr.pc: wrong version")

for f in failures:
    print("FAIL " + f, file=sys.stderr)
sys.exit(1 if failures else 0)
