#!/usr/bin/env python3
"""The page checker itself: each kind of stale or unmarked block, and a broken
link, fails it; a block's leftovers are stopped.

    check_docs_test.py BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_docs  # noqa: E402

BUILD = None


class Pages(unittest.TestCase):
    def setUp(self):
        self.source = tempfile.mkdtemp(prefix="vela-docs-test.")
        self.addCleanup(shutil.rmtree, self.source)
        with open(os.path.join(self.source, "quoted.txt"), "w") as f:
            f.write("line one\nline two\n")

    def page(self, text):
        path = os.path.join(self.source, "README.md")
        with open(path, "w") as f:
            f.write(text)
        return path

    def layout_errors(self, text):
        return check_docs.parse(self.page(text), "README.md")[1]

    def check(self, text):
        """The checker's exit status and output on a README.md of `text`."""
        self.page(text)
        run = subprocess.run([sys.executable, os.path.join(HERE, "check_docs.py"), "--source", self.source,
                              "--build", BUILD], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return run.returncode, run.stdout

    def test_layout_errors(self):
        cases = [
            ("```\nls\n```\n", "without a language"),
            ("Text\n\n    ls -l\n", "indented code block"),
            ("<!-- docs-test: skip: -->\n```sh\nls\n```\n", "skip without a reason"),
            ("<!-- docs-test: run: yes -->\n```sh\nls\n```\n", "unknown directive"),
            ("```sh\nls\n", "never closed"),
        ]
        for text, error in cases:
            errors = self.layout_errors(text)
            self.assertTrue(any(error in e for e in errors), "%r: %s" % (text, errors))
        # A list item's continuation and a marked block are fine.
        self.assertEqual([], self.layout_errors(
            "- item\n\n    more of the item\n\n<!-- docs-test: skip: needs root -->\n```sh\nreboot\n```\n"))

    def test_stale_blocks_fail(self):
        cases = [
            ("```sh\nfalse\n```\n", "exit status 1"),
            ("<!-- docs-test: expect: hello -->\n```sh\necho goodbye\n```\n", "no 'hello'"),
            ("<!-- docs-test: excerpt: quoted.txt -->\n```text\nline two\nline three\n```\n", "not a verbatim"),
            ("```c\nint main(void) { return undeclared; }\n```\n", "undeclared"),
            ("```python\nimport no_such_module\n```\n", "no_such_module"),
            ("# Title\n\n[here](#title), [there](#nowhere)\n", "missing heading: #nowhere"),
            ("[page](docs/none.md)\n", "missing file: docs/none.md"),
        ]
        for text, message in cases:
            status, out = self.check(text)
            self.assertEqual(1, status, text)
            self.assertIn(message, out, text)

    def test_blocks_that_pass(self):
        status, out = self.check(
            "<!-- docs-test: excerpt: quoted.txt -->\n```text\nline two\n```\n"
            "<!-- docs-test: file: a.txt -->\n```text\nwritten\n```\n"
            "<!-- docs-test: expect: written -->\n```sh\ncat a.txt\nsleep 600 &\n```\n"
            "<!-- docs-test: server: --recognizer echo -->\n<!-- docs-test: expect: {\"status\":\"ok\"} -->\n"
            "```sh\ncurl -s http://127.0.0.1:8900/healthz\n```\n"
            "<!-- docs-test: until: listening on http://127.0.0.1:8900/ -->\n"
            "```sh\nasr-server --recognizer echo --port 8900\n```\n"
            "<!-- docs-test: needs: no-such-program -->\n```sh\nno-such-program\n```\n")
        self.assertEqual(0, status, out)
        self.assertIn("4 blocks run or compared, 1 written to files, 1 skipped", out)
        # The background sleep was stopped with its block.
        ps = subprocess.run(["pgrep", "-f", "^sleep 600$"], stdout=subprocess.PIPE, text=True)
        self.assertEqual("", ps.stdout)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
