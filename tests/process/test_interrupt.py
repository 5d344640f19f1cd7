"""Ctrl+C and SIGTERM end a run through the normal exit path: the message, exit
code 1, the VPP-off frame C2 3E as the last bytes on the line, and the run
record."""

import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import harness

PICUP = os.environ.get("PICUP", "")

PROBE = b"\xc1\x3f"
VPP_ON_BATCH = b"\xd4\x55\xd7\xc3\x3d"
USER_ID_READ = b"\x80\x00\x00\x80\xd5\x04\x27\x44\xbc"


class SilentAfterVppProgrammer(harness.PtyLine):
    """Plays the programmer: answers the probe with status 0 and VPP on with
    ACK, then never answers again."""

    def __init__(self):
        self.user_id_read_seen = threading.Event()
        self._answered_probe = False
        self._answered_vpp = False
        super().__init__()

    def answer(self):
        if not self._answered_probe and self.received.endswith(PROBE):
            self._answered_probe = True
            os.write(self.master, b"\x00")
        if not self._answered_vpp and VPP_ON_BATCH in self.received:
            self._answered_vpp = True
            os.write(self.master, b"\x06")
        if USER_ID_READ in self.received:
            self.user_id_read_seen.set()


@unittest.skipUnless(PICUP and os.path.exists(PICUP), "PICUP not set")
class InterruptTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="picup-interrupt-")
        shutil.copy(PICUP, os.path.join(self.dir, "picup"))

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def interrupt_during_user_id_read(self, signum, extra=()):
        programmer = SilentAfterVppProgrammer()
        self.port = programmer.path
        try:
            process = subprocess.Popen(
                ["./picup", "/COM=" + programmer.path, "/INFO", "/LOG"] + list(extra), cwd=self.dir,
                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            self.assertTrue(programmer.user_id_read_seen.wait(10), "no user ID read arrived")
            process.send_signal(signum)
            out, _ = process.communicate(timeout=10)
            time.sleep(0.1)
            return process.returncode, out.decode(), bytes(programmer.received)
        finally:
            programmer.close()

    def test_ctrl_c_switches_vpp_off_and_reports(self):
        code, out, line = self.interrupt_during_user_id_read(signal.SIGINT, ["/JSON=run.json"])
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith("\nInterrupted!\n"), repr(out))
        self.assertTrue(line.startswith(PROBE), line.hex())
        self.assertEqual(line[-2:], b"\xc2\x3e", line.hex())
        with open(os.path.join(self.dir, "picup.log")) as f:
            self.assertIn("end of log", f.read())
        # The record tells the interruption and what crossed the line: every
        # byte the programmer got (VPP off included), its two answers (status
        # byte, VPP-on ACK), and no identification, which never came.
        with open(os.path.join(self.dir, "run.json")) as f:
            record = json.load(f)
        self.assertEqual((record["result"], record["message"], record["exit_code"]),
                         ("interrupted", "Interrupted!", 1))
        self.assertEqual(record["wire"]["bytes_out"], len(line))
        self.assertEqual(record["wire"]["bytes_in"], 2)
        self.assertEqual(record["port"]["path"], self.port)
        self.assertEqual(record["port"]["status"], 0)
        self.assertIsNone(record["target"]["device_id"])
        self.assertIsNone(record["target"]["name"])
        self.assertIsNone(record["checksum"])
        self.assertEqual([n for n in os.listdir(self.dir) if n.endswith(".tmp")], [])

    def test_sigterm_takes_the_same_way_out(self):
        code, out, line = self.interrupt_during_user_id_read(signal.SIGTERM)
        self.assertEqual(code, 1)
        self.assertTrue(out.endswith("\nInterrupted!\n"), repr(out))
        self.assertEqual(line[-2:], b"\xc2\x3e", line.hex())


def upload_629_files():
    with open(os.path.join(harness.SOURCE, "examples", "pic12f629", "blink.hex")) as f:
        return {"blink.hex": f.read()}


PACED_ECHO = ["--paced", "--echo"]


def interrupted_upload(delay):
    """A PIC12F629 upload on a paced, echoing line, with Ctrl+C `delay` seconds
    after picup has set up its handlers."""
    p = harness.spawn(["blink.hex"], part="PIC12F629", sim_args=PACED_ECHO,
                      files=upload_629_files())
    pid = harness.command_pid(p)
    time.sleep(delay)
    try:
        os.kill(pid, signal.SIGINT)
    except ProcessLookupError:
        pass  # the run was over
    return harness.collect(p)


class InterruptOnAnEchoingLine(unittest.TestCase):
    """On an echoing line much of a run is spent checking the echoes of long
    writes; Ctrl+C there must still leave the programmer at a frame boundary,
    so that the VPP-off frame is the last one it carries out."""

    def test_ctrl_c_anywhere_in_an_upload_leaves_vpp_off(self):
        harness.need_binaries()
        clean = harness.run(["blink.hex"], part="PIC12F629", sim_args=PACED_ECHO,
                            files=upload_629_files())
        self.assertEqual(clean.code, 0, clean)
        length = clean.report["child_wall_s"]
        delays = [length * k / 24 for k in range(24)]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(interrupted_upload, delays))
        interrupted = 0
        for delay, r in zip(delays, results):
            where = "%.3f s: %r" % (delay, r)
            if r.code == 0:
                self.assertTrue(r.stdout.endswith("\nOk!\n"), where)
            else:
                self.assertEqual(r.code, 1, where)
                self.assertTrue(r.stdout.endswith("\nInterrupted!\n"), where)
                interrupted += 1
            self.assertEqual(r.sent()[-2:], b"\xc2\x3e", where)
            self.assertTrue(r.report["last_frame_vpp_off"], where)
            self.assertFalse(r.report["vpp_on_at_end"], where)
        self.assertGreater(interrupted, len(delays) // 2)


if __name__ == "__main__":
    unittest.main()
