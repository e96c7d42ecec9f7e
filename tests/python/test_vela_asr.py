"""The vela_asr module against asr-server --recognizer echo on a free loopback port."""
import array
import os
import shutil
import subprocess
import tempfile
import unittest
import wave

import vela_asr


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

    def test_refused_connection_names_its_cause(self):
        with vela_asr.Client(server_url="http://127.0.0.1:1/asr/v2", log_dir=os.path.join(self.tmp, "logs")) as c:
            with self.assertRaises(vela_asr.Error) as e:
                c.session()
            self.assertEqual(-6, e.exception.code)
            self.assertIn("connection refused", str(e.exception))


if __name__ == "__main__":
    unittest.main()
