#!/usr/bin/env python3
"""Runs the code blocks of README.md and docs/*.md, so that they cannot rot.

    check_docs.py --source DIR --build DIR [--cc CC] [--cxx CXX] [PAGE.md ...]

Every fenced block whose language is sh, bash, c, cpp or python is checked;
blocks of other languages (text, cmake, yaml, ini) are only shown. A fenced
block without a language, or an indented code block, fails the check: every
block says what it is. One or more HTML comments on the lines just above the
fence, one directive each, change how a block is checked:

  <!-- docs-test: skip: REASON -->    not run; REASON says why (needs root,
                                       other machines, minutes of work)
  <!-- docs-test: excerpt: PATH -->   a verbatim part of the file PATH of the
                                       repository (code quoted from an example)
  <!-- docs-test: file: NAME -->      written to NAME (later blocks use it);
                                       a c/cpp/python file is not compiled
  <!-- docs-test: server: OPTIONS --> runs beside an asr-server the test starts
                                       with `--port 0 OPTIONS` in the page's
                                       folder (one per OPTIONS, shared by the
                                       blocks), e.g. `--recognizer echo`
  <!-- docs-test: until: TEXT -->     (sh) runs until TEXT appears in its
                                       output (a server), then is stopped with
                                       SIGTERM, like Ctrl-C
  <!-- docs-test: expect: TEXT -->    the output must contain TEXT
  <!-- docs-test: needs: PROGRAM -->  skipped, and said so, where PROGRAM (a
                                       tool, e.g. curl, or a program of an
                                       optional target, e.g. loadgen) is
                                       not installed

Links between the pages, `[text](docs/page.md#heading)`, must name an existing
file and, after `#`, one of its headings.

How blocks run. Each page gets a fresh folder that stands for the repository
root: links to the source tree's top-level entries, and `build` to the build
tree. Its blocks run there in order, so a later block sees the files of an
earlier one. Shell blocks run with `bash -e -o pipefail`, the build's bin/ on
PATH, and at most 60 s each. c and cpp blocks are compiled (warnings are
errors) against a private install of the SDK found with `pkg-config vela-asr`,
and run when they have a main; python blocks run with the source tree's module
(PYTHONPATH and VELA_ASR_LIBRARY set for them alone, so that a shell block
must say how it finds the module).
Every 8900 in a block that runs (the SDK's default port) becomes a free
loopback port, the one of the test's asr-server when there is one;
VELA_ASR_SERVER_URL names that server. PKG_CONFIG_PATH and LD_LIBRARY_PATH point
at the private install, TMPDIR at a folder of the test; all of it is removed at
the end.
"""
import argparse
import glob
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CHECKED = {"sh", "bash", "c", "cpp", "python"}
DIRECTIVES = {"skip", "excerpt", "file", "server", "until", "expect", "needs"}
BLOCK_TIMEOUT_S = 60
DIRECTIVE_RE = re.compile(r"^<!-- docs-test: (\w+):\s*(.*?)\s*-->$")
FENCE_RE = re.compile(r"^(```|~~~)\s*([\w+-]*)\s*$")


class Block:
    def __init__(self, page, line, lang, text, directives):
        self.page, self.line, self.lang, self.text = page, line, lang, text
        self.directives = directives  # name -> value

    def where(self):
        return "%s:%d" % (self.page, self.line)


def parse(path, name):
    """The fenced blocks of a page, and its layout errors."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    blocks, errors = [], []
    i = 0
    while i < len(lines):
        m = FENCE_RE.match(lines[i])
        if not m:
            # An indented code block: four blanks after a blank line, not
            # continuing a list item.
            if (lines[i].startswith("    ") and i > 0 and lines[i - 1] == ""
                    and not any(re.match(r"^\s*([-*]|\d+\.)\s", l) or l.startswith("  ")
                                for l in lines[max(0, i - 2):i - 1] if l)):
                errors.append("%s:%d: indented code block; fence it with a language" % (name, i + 1))
            i += 1
            continue
        start, fence, lang = i, m.group(1), m.group(2)
        directives, j = {}, i - 1
        while j >= 0 and lines[j].startswith("<!-- docs-test:"):
            d = DIRECTIVE_RE.match(lines[j])
            if not d or d.group(1) not in DIRECTIVES:
                errors.append("%s:%d: unknown directive: %s" % (name, j + 1, lines[j]))
            else:
                directives[d.group(1)] = d.group(2)
            j -= 1
        i += 1
        while i < len(lines) and not lines[i].startswith(fence):
            i += 1
        if i == len(lines):
            errors.append("%s:%d: fence never closed" % (name, start + 1))
        text = "\n".join(lines[start + 1:i]) + "\n"
        i += 1
        if not lang:
            errors.append("%s:%d: fenced block without a language" % (name, start + 1))
            continue
        if "skip" in directives and not directives["skip"]:
            errors.append("%s:%d: skip without a reason" % (name, start + 1))
        blocks.append(Block(name, start + 1, lang, text, directives))
    return blocks, errors


def anchors(path):
    """The link anchors of a page's headings, made as GitHub makes them."""
    with open(path, encoding="utf-8") as f:
        text = re.sub(r"^```.*?^```", "", f.read(), flags=re.M | re.S)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, flags=re.M)}


def link_errors(source, page):
    """Relative links of `page` whose file or heading does not exist."""
    with open(os.path.join(source, page), encoding="utf-8") as f:
        text = re.sub(r"^```.*?^```", "", f.read(), flags=re.M | re.S)
    errors = []
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"^[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        path = os.path.normpath(os.path.join(source, os.path.dirname(page), path or os.path.basename(page)))
        if not os.path.exists(path):
            errors.append("%s: link to a missing file: %s" % (page, target))
        elif anchor and path.endswith(".md") and anchor not in anchors(path):
            errors.append("%s: link to a missing heading: %s" % (page, target))
    return errors


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop_group(proc):
    """SIGTERM to the process group, then SIGKILL to whatever is left after 10 s."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        proc.poll()
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    proc.wait()


class Output:
    """Collects a child's merged output and signals when a text appears in it."""

    def __init__(self, proc, wanted=None):
        self.text, self.wanted, self.seen = "", wanted, threading.Event()
        self.thread = threading.Thread(target=self._read, args=(proc,), daemon=True)
        self.thread.start()

    def _read(self, proc):
        for chunk in iter(lambda: proc.stdout.readline(), ""):
            self.text += chunk
            if self.wanted and self.wanted in self.text:
                self.seen.set()
        self.seen.set()


class Checker:
    def __init__(self, args, root):
        self.args, self.root = args, root
        self.tmp = os.path.join(root, "tmp")
        self.prefix = os.path.join(root, "prefix")
        os.mkdir(self.tmp)
        self.env = dict(os.environ)
        self.env.update({
            "PATH": os.path.join(args.build, "bin") + os.pathsep + os.environ.get("PATH", ""),
            "TMPDIR": self.tmp,
            "PKG_CONFIG_PATH": os.path.join(self.prefix, "lib", "pkgconfig"),
            "LD_LIBRARY_PATH": os.path.join(self.prefix, "lib"),
        })
        for name in ("VELA_ASR_SERVER_URL", "PYTHONPATH", "VELA_ASR_LIBRARY"):
            self.env.pop(name, None)
        self.servers = {}  # options -> (process, URL), shared by the blocks
        # The SDK as an application finds it: the library and its headers.
        for component in ("runtime", "dev"):
            subprocess.run(["cmake", "--install", args.build, "--prefix", self.prefix, "--component", component],
                           check=True, stdout=subprocess.DEVNULL)
        out = subprocess.run(["pkg-config", "--cflags", "--libs", "vela-asr"], env=self.env, check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        self.flags = shlex.split(out)

    def close(self):
        for proc, _ in self.servers.values():
            stop_group(proc)

    def page_folder(self, page):
        folder = os.path.join(self.root, "pages", page.replace("/", "_"))
        os.makedirs(folder)
        for entry in os.listdir(self.args.source):
            if entry not in (".git", "build") and not entry.startswith("build-"):
                os.symlink(os.path.join(self.args.source, entry), os.path.join(folder, entry))
        os.symlink(self.args.build, os.path.join(folder, "build"))
        return folder

    def server(self, options, cwd):
        """The URL of an asr-server with these options, started in `cwd` on first use."""
        if options not in self.servers:
            proc = subprocess.Popen([os.path.join(self.args.build, "bin", "asr-server"), "--port", "0"] +
                                    shlex.split(options), cwd=cwd, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True, start_new_session=True)
            out = Output(proc, "listening on ")
            out.seen.wait(BLOCK_TIMEOUT_S)
            m = re.search(r"listening on (http\S+)", out.text)
            if not m:
                stop_group(proc)
                raise RuntimeError("asr-server %s did not start:\n%s" % (options, out.text))
            self.servers[options] = (proc, m.group(1))
        return self.servers[options][1]

    def run(self, command, cwd, env, until=None):
        """Runs a command in its own process group; (exit status, output). The
        output is read for at most 10 s after the group is stopped: a process
        that left the group may still hold the pipe."""
        proc = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, start_new_session=True)
        out = Output(proc, until)
        try:
            if until:
                out.seen.wait(BLOCK_TIMEOUT_S)
                status = 0 if until in out.text else "no '%s' within %d s" % (until, BLOCK_TIMEOUT_S)
            else:
                try:
                    status = proc.wait(BLOCK_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    status = "still running after %d s" % BLOCK_TIMEOUT_S
        finally:
            stop_group(proc)  # and whatever the block left running in the background
            out.thread.join(10)
        return status, out.text

    def check(self, block, cwd):
        """None when the block passes, else what went wrong."""
        d = block.directives
        if "skip" in d:
            return None
        missing = [p for p in d.get("needs", "").split() if shutil.which(p, path=self.env["PATH"]) is None]
        if missing:
            d["skip"] = "not installed: " + " ".join(missing)
            return None
        if "excerpt" in d:
            with open(os.path.join(self.args.source, d["excerpt"]), encoding="utf-8") as f:
                source = f.read()
            return None if block.text in source else "not a verbatim part of " + d["excerpt"]
        if "file" in d:
            with open(os.path.join(cwd, d["file"]), "w", encoding="utf-8") as f:
                f.write(block.text)
            return None
        if block.lang not in CHECKED:
            return None
        env, port, text = dict(self.env), free_port(), block.text
        if "server" in d:
            env["VELA_ASR_SERVER_URL"] = self.server(d["server"], cwd)
            port = int(re.search(r":(\d+)/", env["VELA_ASR_SERVER_URL"]).group(1))
        text = text.replace("8900", str(port))
        d = {k: v.replace("8900", str(port)) for k, v in d.items()}
        if block.lang in ("sh", "bash"):
            status, out = self.run(["bash", "-e", "-o", "pipefail", "-c", text], cwd, env, d.get("until"))
        elif block.lang == "python":
            env["PYTHONPATH"] = os.path.join(self.args.source, "python")
            env["VELA_ASR_LIBRARY"] = os.path.join(self.args.build, "lib", "libvela-asr.so.1")
            status, out = self.run([sys.executable, "-c", text], cwd, env)
        else:
            status, out = self.compile_and_run(block, text, cwd, env)
        if status != 0:
            return "exit status %s:\n%s" % (status, out)
        if "expect" in d and d["expect"] not in out:
            return "no '%s' in the output:\n%s" % (d["expect"], out)
        if self.args.verbose:
            print(out, end="")
        return None

    def compile_and_run(self, block, text, cwd, env):
        c = block.lang == "c"
        source = os.path.join(cwd, ".block.c" if c else ".block.cpp")
        program = os.path.join(cwd, ".block")
        with open(source, "w", encoding="utf-8") as f:
            f.write(text)
        compiler = [self.args.cc, "-std=c11"] if c else [self.args.cxx, "-std=c++17"]
        has_main = re.search(r"\bint\s+main\s*\(", text) is not None
        command = compiler + ["-Wall", "-Wextra", "-Werror", source] + self.flags
        command += ["-o", program] if has_main else ["-c", "-o", program + ".o"]
        status, out = self.run(command, cwd, env)
        if status != 0 or not has_main:
            return status, out
        return self.run([program], cwd, env)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--cxx", default="c++")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("pages", nargs="*", help="pages relative to the source tree (default: all)")
    args = parser.parse_args()
    args.source, args.build = os.path.abspath(args.source), os.path.abspath(args.build)
    pages = args.pages or ["README.md"] + sorted(
        os.path.relpath(p, args.source) for p in glob.glob(os.path.join(args.source, "docs", "*.md")))

    failures, counts = [], {"run": 0, "file": 0, "skipped": 0, "shown": 0}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # ctest's time-out: clean up all the same
    root = tempfile.mkdtemp(prefix="vela-docs.")
    checker = None
    try:
        checker = Checker(args, root)
        for page in pages:
            blocks, errors = parse(os.path.join(args.source, page), page)
            failures += errors + link_errors(args.source, page)
            cwd = checker.page_folder(page)
            for block in blocks:
                started = time.monotonic()
                try:
                    problem = checker.check(block, cwd)
                except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
                    problem = str(e)
                kind = ("skipped" if "skip" in block.directives else "file" if "file" in block.directives else
                        "run" if block.lang in CHECKED or "excerpt" in block.directives else "shown")
                counts[kind] += 1
                print("%-8s %s (%s) %.1f s %s" % (kind if not problem else "FAIL", block.where(), block.lang,
                                                  time.monotonic() - started, block.directives.get("skip", "")),
                      flush=True)
                if problem:
                    failures.append("%s: %s" % (block.where(), problem))
    finally:
        if checker:
            checker.close()
        shutil.rmtree(root, ignore_errors=True)
    print("%d blocks run or compared, %d written to files, %d skipped, %d shown only" %
          (counts["run"], counts["file"], counts["skipped"], counts["shown"]))
    for f in failures:
        print("FAIL: " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
