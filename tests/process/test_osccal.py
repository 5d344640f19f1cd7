"""/OSCCAL against the emulated programmer's calibration ticks, in real time."""
import json
import os
import re
import subprocess
import time
import unittest

import harness

TICK = 0.065536


class OsccalTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def run_helper(self, rate_error, seconds, extra=()):
        """Runs /OSCCAL for about `seconds`, then presses a key (a byte on stdin)."""
        workdir = harness.make_workdir()
        report = os.path.join(workdir, 'report.json')
        cmd = [harness.PICSIM, '--report', report, '--osccal-error', str(rate_error), '--',
               os.path.join(workdir, 'picup'), '/OSCCAL'] + list(extra)
        p = subprocess.Popen(cmd, cwd=workdir, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(seconds)
        out, _ = p.communicate(b'k', timeout=30)
        with open(report) as f:
            data = json.load(f)
        return p.returncode, out.decode(), data, workdir

    def test_drift_is_shown_until_a_key(self):
        code, out, report, workdir = self.run_helper(0.02, 1.5, ['/LOG'])
        self.assertEqual(code, 0, out)
        lines = out.split('\n')
        self.assertEqual(lines[:2], ['', 'New file (picup.dat) written'])
        values = [float(v) for v in lines[3:]]
        self.assertTrue(all(re.fullmatch(r'-?\d+\.\d{6}', v) for v in lines[3:]), lines)
        # About 1.5 s of ticks, each 2 % early: the read-out grows by ~1.3 ms a tick.
        self.assertGreater(len(values), 12)
        self.assertLess(len(values), 30)
        expected = len(values) * TICK * 0.02 / 1.02
        self.assertAlmostEqual(values[-1], expected, delta=0.012)
        self.assertGreater(values[-1], values[0])
        # The helper is ended by a sync, then VPP goes off.
        sent = bytes.fromhex(report['from_host'])
        self.assertTrue(sent.endswith(bytes([0xC7, 0x39, 0xC0, 0x40, 0xC2, 0x3E])), sent.hex())
        # The log has the command, the sync and its reply, and no tick byte.
        with open(os.path.join(workdir, 'picup.log')) as f:
            log = f.read()
        self.assertRegex(log, r'\nTx: [0-9a-f ]* c7 c0\nRx: 06\n--------------- end of log')

    def test_key_before_any_tick(self):
        code, out, report, _ = self.run_helper(0.0, 0.0)
        self.assertEqual(code, 0, out)
        self.assertEqual(out, '\nNew file (picup.dat) written\n')
        sent = bytes.fromhex(report['from_host'])
        self.assertTrue(sent.endswith(bytes([0xC7, 0x39, 0xC0, 0x40, 0xC2, 0x3E])), sent.hex())


if __name__ == '__main__':
    unittest.main()
