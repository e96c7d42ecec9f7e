"""The vela_asr module against asr-server --recognizer echo on a free loopback port,
and against a scripted loopback server for word timings and alternatives."""
import array
import http.server
import json
import os
import shutil
import subprocess
import tempfile
import threading
import unittest
import wave

import vela_asr


class ScriptedServer:
    """Answers session creation and uploads, and every fetch once the last
    packet (negative idx) is in with a final result whose content is
    `content` (before it with an empty intermediate one), on 127.0.0.1 on a
    free port."""

    def __init__(self, content):
        replies = {"create": {"asr_param": {"err_no": 0, "sid": "s1"}}, "upload": {"asr_param": {"err_no": 0}},
                   "fetch": {"asr_param": {"err_no": 0, "status": 3}, "asr_content": content},
                   "pending": {"asr_param": {"err_no": 0, "status": 2}, "asr_content": {"text": ""}}}
        last_in = threading.Event()

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def answer(self, kind):
                body = json.dumps(replies[kind]).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                data = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if "idx=-" in self.path:
                    last_in.set()
                self.answer("create" if b'name="create-session"' in data else "upload")

            def do_GET(self):
                self.answer("fetch" if last_in.is_set() else "pending")

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/asr/v2" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


class VelaAsrTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vela-python-")
        cls.server = subprocess.Popen([os.environ["VELA_ASR_SERVER_BIN"], "--port", "0", "--recognizer", "echo"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = cls.server.stdout.readline()
        assert line.startswith("listening on "), line
        cls.url = line[len("listening on "):].strip()

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait()
        cls.server.stdout.close()
        shutil.rmtree(cls.tmp)

    def client(self):
        return vela_asr.Client(server_url=self.url, log_dir=os.path.join(self.tmp, "logs"))

    def test_file_buffers_and_failures(self):
        path = os.path.join(self.tmp, "tone.wav")
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(array.array("h", [1000, -1000] * 4000).tobytes())  # one second
        with self.client() as client:
            # The echo recognizer counts the PCM it got: 5 chunks of 3,200 bytes.
            self.assertEqual("received 16000 bytes in 5 packets", client.transcribe_file(path).text)

            with client.session(rate_khz=16) as session:
                session.push(array.array("h", [0] * 16000))
                session.push(b"\0\0" * 100)  # padded to a whole chunk
                final = session.finish()
                self.assertEqual("received 35200 bytes in 11 packets", final.text)
                kinds = [r.kind for r in session.results(timeout=5)]
                self.assertEqual(vela_asr.FINAL, kinds[-1])
                with self.assertRaises(vela_asr.Error) as e:
                    session.push(b"\0\0")
                self.assertEqual(-3, e.exception.code)  # audio after finish

            with self.assertRaises(vela_asr.Error) as e:
                client.session(rate_khz=11)
            self.assertEqual(-2, e.exception.code)
        self.assertRegex(vela_asr.version(), r"^\d+\.\d+\.\d+$")

    def test_words_and_alternatives(self):
        words = [{"word": "seven", "start_ms": 120, "end_ms": 480, "conf": 0.75},
                 {"word": "eight", "start_ms": 480, "end_ms": 900, "conf": 1}]
        alternatives = [{"text": "seven eight", "score": -1234.5}, {"text": "seven hate", "score": -1300}]
        cases = [("well formed", words, [("seven", 120, 480, 0.75), ("eight", 480, 900, 1.0)],
                  [("seven eight", -1234.5), ("seven hate", -1300.0)]),
                 ("a word without times", words + [{"word": "nine", "conf": 0.5}], [],
                  [("seven eight", -1234.5), ("seven hate", -1300.0)])]
        for what, sent, expected_words, expected_alternatives in cases:
            content = {"text": "seven eight", "words": sent, "alternatives": alternatives}
            with ScriptedServer(content) as server:
                with vela_asr.Client(server_url=server.url, log_dir=os.path.join(self.tmp, "logs")) as client:
                    with client.session(rate_khz=8) as session:
                        session.push(b"\0\0" * 1600)
                        final = session.finish()
            self.assertEqual("seven eight", final.text, what)
            self.assertEqual(expected_words, [(w.word, w.start_ms, w.end_ms, w.conf) for w in final.words], what)
            self.assertEqual(expected_alternatives, [(a.text, a.score) for a in final.alternatives], what)

    def test_refused_connection_names_its_cause(self):
        with vela_asr.Client(server_url="http://127.0.0.1:1/asr/v2", log_dir=os.path.join(self.tmp, "logs")) as c:
            with self.assertRaises(vela_asr.Error) as e:
                c.session()
            self.assertEqual(-6, e.exception.code)
            self.assertIn("connection refused", str(e.exception))


if __name__ == "__main__":
    unittest.main()
