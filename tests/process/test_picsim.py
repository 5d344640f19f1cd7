"""picsim over a real pseudo-terminal: a small client plays the host, sends
frames and checks the programmer's replies; picsim propagates its exit code,
loads and saves target memory and writes its report."""
import json
import os
import subprocess
import sys
import time
import unittest

import harness

# A scripted host: argv = [port, step...]. Steps: w:HEX writes bytes,
# r:N reads N bytes (1 s limit), q:MS reads whatever comes within MS ms,
# s:MS sleeps, x:N exits with N. Prints one JSON list: what each read got,
# as hex, plus the time each read took in ms.
CLIENT = r'''
import json, os, select, sys, time, tty
port = sys.argv[1]
if port.startswith('/COM='):
    port = port[5:]
fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
results = []
def read(n, limit):
    got = b''
    t0 = time.monotonic()
    end = t0 + limit
    while len(got) < n:
        left = max(0.0, end - time.monotonic())
        r, _, _ = select.select([fd], [], [], left)
        if not r:
            break
        try:
            chunk = os.read(fd, n - len(got))
        except OSError:
            results.append('EIO')
            return
        if not chunk:
            break
        got += chunk
    results.append([got.hex(), round((time.monotonic() - t0) * 1000, 1)])
code = 0
for step in sys.argv[2:]:
    op, arg = step.split(':', 1)
    if op == 'w':
        os.write(fd, bytes.fromhex(arg))
    elif op == 'r':
        read(int(arg), 1.0)
    elif op == 'q':
        read(1 << 16, int(arg) / 1000)
    elif op == 's':
        time.sleep(int(arg) / 1000)
    elif op == 'x':
        code = int(arg)
print(json.dumps(results))
sys.exit(code)
'''


def frame(*b):
    """Hex of a frame with its check byte."""
    return bytes(list(b) + [-sum(b) & 0xFF]).hex()


PROBE = ['w:c1', 's:20', 'q:0', 'w:3f', 's:20', 'q:0']
VPP_ON = 'w:' + frame(0xD4, 85) + frame(0xC3)
VPP_OFF = 'w:c23e'


def word_frame(code, value):
    return frame(code, value & 0xFF, value >> 8)


def simulate(steps, sim_args=(), part='PIC16F1825', port_arg='{port}', workdir=None):
    """Runs the client under picsim; returns (reads, Result)."""
    harness.need_binaries()
    workdir = workdir or harness.make_workdir()
    client = os.path.join(workdir, 'client.py')
    with open(client, 'w') as f:
        f.write(CLIENT)
    report = os.path.join(workdir, 'report.json')
    cmd = [harness.PICSIM, '--report', report, '--part', part] + list(sim_args)
    cmd += ['--', sys.executable, client] + ([port_arg] if port_arg else []) + list(steps)
    p = subprocess.run(cmd, cwd=workdir, capture_output=True, text=True, timeout=60,
                       stdin=subprocess.DEVNULL)
    with open(report) as f:
        data = json.load(f)
    res = harness.Result(p.stdout, p.stderr, p.returncode, data, workdir)
    lines = [l for l in p.stdout.splitlines() if l.startswith('[')]
    return (json.loads(lines[-1]) if lines else None), res


def checksum_ok(hexs):
    return sum(bytes.fromhex(hexs)) % 256 == 0


class PicsimRoundTrip(unittest.TestCase):
    def test_probe_identification_and_exit_code(self):
        steps = PROBE + [VPP_ON, 'r:1',
                         'w:' + word_frame(0x80, 0) + frame(0xD5, 4) + frame(0x44), 'r:9',
                         'w:' + frame(0xD5, 3) + frame(0x06) + frame(0x44), 'r:3',
                         VPP_OFF, 'x:7']
        reads, res = simulate(steps, sim_args=['--status', '10'], port_arg='/COM={port}')
        self.assertEqual(res.code, 7, res)
        self.assertEqual(reads[0][0], '')            # nothing after C1 alone
        self.assertEqual(reads[1][0], '10')          # status byte within the 20 ms
        self.assertEqual(reads[2][0], '06')          # VPP on
        self.assertEqual(reads[3][0][:16], 'ff3f' * 4)  # erased user IDs
        self.assertTrue(checksum_ok(reads[3][0]))
        self.assertEqual(reads[4][0][:4], '6327')    # device ID 0x2763 at 0x8006
        self.assertTrue(checksum_ok(reads[4][0]))
        self.assertTrue(res.report['last_frame_vpp_off'])
        self.assertFalse(res.report['vpp_on_at_end'])
        self.assertEqual(res.report['exit_code'], 7)
        self.assertTrue(res.report['from_host'].startswith('c13fd455d7c33d'))
        self.assertEqual(res.report['to_host'][:4], '1006')
        self.assertIn('last frame VPP off: yes', res.stderr)

    def test_appends_com_option_when_no_placeholder(self):
        # Without {port} picsim appends /COM=<path> /NOSTORE: the client finds
        # the port, and that it is for this run only, last.
        script = os.path.join(harness.make_workdir(), 'last.py')
        with open(script, 'w') as f:
            f.write('import sys, os\n'
                    'a, b = sys.argv[-2:]\n'
                    'ok = a.startswith("/COM=/dev/") and os.path.exists(a[5:]) and b == "/NOSTORE"\n'
                    'sys.exit(0 if ok else 3)\n')
        harness.need_binaries()
        p = subprocess.run([harness.PICSIM, '--', sys.executable, script, '/INFO'],
                           capture_output=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)

    def test_program_save_and_state_between_runs(self):
        wd = harness.make_workdir()
        state = os.path.join(wd, 'chip.state')
        save = os.path.join(wd, 'out.hex')
        # Row at 0x20: two words, then an EEPROM byte and configuration word 1.
        write = PROBE + [VPP_ON, 'r:1',
                         'w:' + frame(0xD5, 0x20) + frame(0x06) + word_frame(0x82, 0x3001)
                         + frame(0x06) + word_frame(0x82, 0x0ABC) + frame(0x08)
                         + word_frame(0xE6, 2500),
                         'w:' + frame(0x16) + frame(0xD5, 5) + frame(0x06) + frame(0x83, 0x5A, 0)
                         + frame(0x08) + word_frame(0xE6, 5000),
                         'w:' + word_frame(0x80, 0) + frame(0xD5, 7) + frame(0x06)
                         + word_frame(0x82, 0x1FFF) + frame(0x08) + word_frame(0xE6, 5000)
                         + frame(0xC0), 'r:1', VPP_OFF]
        reads, res = simulate(write, ['--state', state, '--save', save], workdir=wd)
        self.assertEqual(res.code, 0, res)
        self.assertEqual(reads[-1][0], '06')
        saved = harness.read_hex(save)
        self.assertEqual(saved.get(0x20), 0x3001)
        self.assertEqual(saved.get(0x21), 0x0ABC)
        self.assertEqual(saved.get(0xF005), 0x5A)
        self.assertEqual(saved.get(0x8007), 0x1FFF)
        self.assertEqual(saved.get(0x8006), 0x2763)
        self.assertNotIn(0x22, saved)                # only programmed cells
        self.assertIn('flash: 2 words changed', res.stderr)
        self.assertEqual(res.report['changed'], {'flash': 2, 'config': 1, 'eeprom': 1})
        self.assertEqual(res.report['delay_us_total'], 12500)

        # Second run: the state file brings the memory back; a bulk erase
        # without its delay is lost, so the words are still there.
        read = PROBE + [VPP_ON, 'r:1',
                        'w:' + frame(0x09) + frame(0xD5, 0x20) + frame(0x06)
                        + frame(0xD5, 2) + frame(0x44), 'r:5',
                        'w:' + frame(0x16) + frame(0xD5, 5) + frame(0x06) + frame(0x45), 'r:3',
                        VPP_OFF]
        reads, res = simulate(read, ['--state', state], workdir=wd)
        self.assertEqual(reads[3][0][:8], '0130bc0a')
        self.assertTrue(checksum_ok(reads[3][0]))
        self.assertEqual(reads[4][0][:4], '5a00')
        self.assertEqual(res.report['lost_operations'], 1)

    def test_load_poke_and_type_one_part(self):
        wd = harness.make_workdir()
        src = os.path.join(wd, 'in.hex')
        with open(src, 'w') as f:
            f.write(harness.make_hex({0x000: 0x2805, 0x001: 0x0123, 0xF000: 0x11}))
        steps = PROBE + [VPP_ON, 'r:1', 'w:' + frame(0x45), 'r:3',
                         'w:' + frame(0xD5, 2) + frame(0x44), 'r:5', VPP_OFF]
        # The poke lands on word 1 after the HEX file.
        reads, res = simulate(steps, ['--load', src, '--poke', '1=0155'], part='PIC12F675',
                              workdir=wd)
        self.assertEqual(res.code, 0, res)
        self.assertEqual(reads[3][0][:4], '1100')
        self.assertEqual(reads[4][0][:8], '05285501')

    def test_echo_line_and_paced_delay(self):
        steps = PROBE + [VPP_ON, 'r:5',
                         'w:' + word_frame(0xE6, 60000) + frame(0xC0), 'r:5']
        reads, res = simulate(steps, ['--echo', '--paced', '--baud', '115200'])
        self.assertEqual(res.code, 0, res)
        self.assertEqual(reads[0][0], 'c1')          # the line echoes the code byte
        self.assertEqual(reads[1][0], '3f00')        # echo of '?', then the status
        self.assertEqual(reads[2][0], 'd455d7c33d')  # echoes of the VPP frames ...
        self.assertEqual(reads[3][0], '06e660ead0')  # ... then the ACK, then more echo
        plain = PROBE + [VPP_ON, 'r:1', 'w:' + word_frame(0xE6, 60000) + frame(0xC0), 'r:1']
        later, _ = simulate(plain, ['--paced'])
        self.assertEqual(later[3][0], '06')
        self.assertGreaterEqual(later[3][1], 55)     # the sync waited for the delay
        quick, _ = simulate(plain)
        self.assertLess(quick[3][1], 40)             # unpaced: answered at once

    def test_receive_buffer_loses_what_a_host_sends_beyond_it(self):
        # 127 increments and a sync make 256 bytes without an answer: the
        # buffer holds them. One increment more and the sync is lost, with
        # whatever follows until the host waits.
        start = PROBE + [VPP_ON, 'r:1']
        full = 'w:' + frame(0x06) * 127 + frame(0xC0)
        reads, res = simulate(start + [full, 'r:1'])
        self.assertEqual(reads[3][0], '06')
        self.assertEqual((res.report['rx_unanswered_peak'], res.report['rx_overruns']), (256, 0))
        over = 'w:' + frame(0x06) * 128 + frame(0xC0)
        reads, res = simulate(start + [over, 'r:1'])
        self.assertEqual(reads[3][0], '')
        self.assertEqual(res.report['rx_overruns'], 2)
        self.assertIn('receive buffer full', res.stderr)
        # Each answer empties it: two such windows in a row are fine, and
        # without a limit nothing is lost.
        reads, res = simulate(start + [full, 'r:1', full, 'r:1'])
        self.assertEqual([r[0] for r in reads[3:]], ['06', '06'])
        reads, res = simulate(start + [over, 'r:1'], ['--rx-buffer', '0'])
        self.assertEqual(reads[3][0], '06')
        self.assertEqual(res.report['rx_overruns'], 0)

    def test_hangup_silent_and_vpp_failure(self):
        # Frame 2 is the voltage setting: the line closes before VPP on.
        reads, res = simulate(PROBE + [VPP_ON, 'r:1'], ['--hangup-after-frame', '2'])
        self.assertEqual(reads[1][0], '00')
        # End of file or EIO at once, not a time-out.
        self.assertTrue(reads[2] == 'EIO' or (reads[2][0] == '' and reads[2][1] < 500), reads)
        self.assertEqual(res.code, 0, res)
        reads, res = simulate(PROBE, ['--silent'])
        self.assertEqual(reads[1][0], '')
        reads, res = simulate(PROBE + [VPP_ON, 'r:1'], ['--vpp-fail'])
        self.assertEqual(reads[1][0], '00')
        self.assertEqual(reads[2][0], '')

    def test_harness_runs_picup_against_picsim(self):
        res = harness.run(['/INFO'], part='PIC12F1840', sim_args=['--id', '1B85'])
        self.assertEqual(res.code, 0, res)
        self.assertIn('0x1B85 = PIC12F1840', res.stdout)
        self.assertTrue(res.report['last_frame_vpp_off'])
        self.assertTrue(os.path.exists(res.path('picup.dat')))  # private files per run
        again = harness.run(['/INFO'], part='PIC12F1840', workdir=res.workdir)
        self.assertNotIn('New file', again.stdout)
        # A write through the harness, its memory kept for a second run.
        prog = harness.make_hex({0: 0x3001, 1: 0x2F00, 0x8007: 0x3FE4})
        w = harness.run(['prog.hex'], files={'prog.hex': prog}, save=True, state=True)
        self.assertEqual(w.code, 0, w)
        self.assertEqual({a: w.memory[a] for a in (0, 1, 0x8007)}, {0: 0x3001, 1: 0x2F00, 0x8007: 0x3FE4})
        kept = harness.run(['/INFO'], workdir=w.workdir, save=True, state=True)
        self.assertEqual(kept.memory.get(1), 0x2F00)

    def test_forbidden_steps_are_named_and_fail_the_harness(self):
        # A user's line that gives a PIC16F1825 the PIC12F629 family's 13 V:
        # picsim names it, and a harness run that does not expect it fails.
        files = {'picup.dat': 'PIC16F1825 0x2760 0x3FE0 0x0020 0x2000 E:256 V:130\n'}
        # (The voltage frame goes out with the next frames that need a reply.)
        res = harness.run(['/READ0-7'], files=files, allow_faults=True)
        self.assertEqual(res.code, 0, res)
        told = "VPP 13.0 V above the part's 9.0 V maximum"
        self.assertEqual(res.report['faults'], [told])
        self.assertIn('picsim: PIC16F1825: fault: ' + told + '\n', res.stderr)
        with self.assertRaises(AssertionError):
            harness.run(['/READ0-7'], files=files)
        # Every part the table has is emulated and listed.
        p = subprocess.run([harness.PICSIM, '--list-parts'], capture_output=True, text=True, timeout=10)
        self.assertEqual(p.returncode, 0)
        lines = p.stdout.splitlines()
        self.assertGreaterEqual(len(lines), 160)
        self.assertIn('PIC16F1939   id 0x23C0/0x3FE0 flash 16384 eeprom 256 row 32 latches  8 config 2 '
                      'vpp 8.0-9.0', lines)
        self.assertIn('PIC12F1612   id 0x3058/0x3FFF flash  2048 eeprom   0 row 16 latches 16 config 3 '
                      'vpp 8.0-9.0', lines)

    def test_tick_stream_in_real_time(self):
        steps = PROBE + [VPP_ON, 'r:1', 'w:' + frame(0xC7), 'q:500', 'w:' + frame(0xC0), 'r:1']
        reads, res = simulate(steps, ['--osccal-error', '0.5'])
        ticks = bytes.fromhex(reads[3][0])
        # 500 ms at one tick per 65.536 ms / 1.5: about 11 ticks, never NAK.
        self.assertTrue(9 <= len(ticks) <= 12, reads)
        self.assertNotIn(21, ticks)
        self.assertEqual(reads[4][0], '06')  # the stream stopped at the sync

    def test_serve_until_terminated(self):
        harness.need_binaries()
        wd = harness.make_workdir()
        save = os.path.join(wd, 'out.hex')
        report = os.path.join(wd, 'r.json')
        server = subprocess.Popen([harness.PICSIM, '--serve', '--save', save, '--report', report],
                                  stdout=subprocess.PIPE, text=True)
        try:
            path = server.stdout.readline().strip()
            client = os.path.join(wd, 'client.py')
            with open(client, 'w') as f:
                f.write(CLIENT)
            steps = PROBE + [VPP_ON, 'r:1', 'w:' + word_frame(0x82, 0x0777) + frame(0x08)
                             + word_frame(0xE6, 2500) + frame(0xC0), 'r:1']
            out = subprocess.run([sys.executable, client, path] + steps, capture_output=True,
                                 text=True, timeout=30)
            reads = json.loads(out.stdout)
            self.assertEqual(reads[3][0], '06')
        finally:
            server.terminate()
            server.wait(timeout=10)
        self.assertEqual(harness.read_hex(save).get(0), 0x0777)
        with open(report) as f:
            self.assertTrue(json.load(f)['vpp_on_at_end'])

    def test_help_and_bad_options(self):
        harness.need_binaries()
        p = subprocess.run([harness.PICSIM, '--help'], capture_output=True, text=True, timeout=10)
        self.assertEqual(p.returncode, 0)
        for opt in ('--part', '--save', '--state', '--paced', '--hangup-after-frame', '--poke'):
            self.assertIn(opt, p.stdout)
        for bad in (['--bogus', '--', 'true'], ['--part', 'PIC1', '--', 'true'], []):
            p = subprocess.run([harness.PICSIM] + bad, capture_output=True, timeout=10)
            self.assertEqual(p.returncode, 2, bad)


if __name__ == '__main__':
    unittest.main()
