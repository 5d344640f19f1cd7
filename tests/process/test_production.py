"""Production runs: several programmers in one command (/GANG=), a serial number
per chip (/SERIAL=) and the history file (/HISTORY=), against picsim
programmers served on pseudo-terminals of their own."""

import hashlib
import json
import os
import select
import signal
import subprocess
import threading
import time
import unittest

import harness

EXAMPLES = os.path.join(harness.SOURCE, 'examples')
VPP_OFF = bytes([0xC2, 0x3E])
# Read reply 5 of an upload comes after the serial number is taken: its
# corrupted checksum fails the chip during the write.
FAULT_DURING_WRITE = ['--corrupt-read', '5']


def blink():
    with open(os.path.join(EXAMPLES, 'pic16f1825', 'blink.hex')) as f:
        return f.read()


def tag(path):
    return os.path.basename(path)


def run_picup(workdir, args, timeout=120):
    p = subprocess.run([os.path.join(workdir, 'picup')] + list(args), cwd=workdir,
                       capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
    return harness.Result(harness._text(p.stdout), harness._text(p.stderr), p.returncode, {},
                          workdir)


class Servers:
    """Programmers served side by side; stopped (reports written) on exit."""

    def __init__(self, workdir, faults):
        self.list = [harness.Server(workdir, 'prog%d' % i, sim_args=f)
                     for i, f in enumerate(faults)]

    def __enter__(self):
        return self.list

    def __exit__(self, *exc):
        for s in self.list:
            s.stop()


class GangTest(unittest.TestCase):
    def assert_programmed(self, server, words):
        for address, value in words.items():
            self.assertEqual(server.memory.get(address), value, hex(address))

    def test_three_programmers_one_failing(self):
        wd = harness.make_workdir()
        hexfile = blink()
        harness._write_files(wd, {'blink.hex': hexfile})
        with Servers(wd, [[], FAULT_DURING_WRITE, []]) as servers:
            ports = [s.path for s in servers]
            r = run_picup(wd, ['/GANG=' + ','.join(ports), '/LOG', '/JSON=run.json',
                               '/HISTORY=history.jsonl', 'blink.hex'])
        good, bad = [servers[0], servers[2]], servers[1]
        self.assertEqual(r.code, 1, r)
        # The missing device database is written once, before the children start.
        self.assertTrue(r.stdout.startswith(
            '\nNew file (picup.dat) written\n\nRunning on 3 ports...'), r)
        self.assertEqual(r.stdout.count('New file'), 1)
        for s in good:
            self.assertIn('\n%s: ' % s.path, r.stdout)
            self.assertRegex(r.stdout, r'\n%s: PIC16F1825, Ok! \(\d+\.\d s\)' % s.path)
        summary = '\n2 of 3 programmed, 1 failed: %s communication error!\n' % bad.path
        self.assertIn(summary, r.stdout)
        # The failed port's own console text follows the summary, whole.
        console = r.stdout.split(summary, 1)[1]
        self.assertTrue(console.startswith('\n--- %s ---\nBulk Erasing\n' % bad.path), console)
        self.assertTrue(console.endswith('\ncommunication error!\n'), console)
        words = harness.parse_hex(hexfile)
        for s in good:
            self.assert_programmed(s, words)
            self.assertTrue(s.report['last_frame_vpp_off'])
        self.assertTrue(bad.report['last_frame_vpp_off'], bad.sent().hex())
        self.assertFalse(bad.report['vpp_on_at_end'])
        self.assertIn(0x82, harness.frame_codes(bad.sent()))  # it failed while writing
        history = [json.loads(line) for line in r.read('history.jsonl').splitlines()]
        self.assertEqual(sorted(h['port'] for h in history), sorted(ports))
        for s in servers:
            log = r.read('picup-%s.log' % tag(s.path))
            self.assertIn('end of log', log)
            record = json.loads(r.read('run-%s.json' % tag(s.path)))
            self.assertEqual(record['port']['path'], s.path)
            self.assertEqual(record['result'], 'failed' if s is bad else 'ok')
            self.assertEqual(record['wire']['bytes_out'], len(s.sent()))
            line = [h for h in history if h['port'] == s.path][0]
            self.assertEqual(line['result'], record['result'])
            self.assertEqual(line['checksum'], record['checksum'])
        self.assertFalse(os.path.exists(r.path('run.json')))
        self.assertFalse(os.path.exists(r.path('picup.log')))
        # No child stores the port it was given.
        self.assertFalse(os.path.exists(r.path('picup.cfg')))

    def test_missing_port_and_refused_lists(self):
        wd = harness.make_workdir()
        harness._write_files(wd, {'blink.hex': blink()})
        missing = os.path.join(wd, 'no-such-tty')
        with Servers(wd, [[]]) as servers:
            r = run_picup(wd, ['/GANG=%s,%s' % (servers[0].path, missing), 'blink.hex'])
        self.assertEqual(r.code, 1, r)
        self.assertIn('\n1 of 2 programmed, 1 failed: %s Can not open port %s!\n'
                      % (missing, missing), r.stdout)
        self.assert_programmed(servers[0], harness.parse_hex(blink()))
        for args, message in (
                (['/GANG='], '\n/GANG= takes a list of ports'),
                (['/GANG=COM3,,COM4'], '\n/GANG= takes a list of ports'),
                (['/GANG=COM3,3'], '\nPorts COM3 and 3 after /GANG= would share their files!'),
                (['/GANG=/dev/a/tty0,/dev/b/tty0'], 'would share their files!')):
            r = run_picup(wd, args + ['blink.hex'])
            self.assertEqual(r.code, 1, (args, r))
            self.assertIn(message, r.stdout)
            self.assertNotIn('Running on', r.stdout)
        # The progress file a gang gives each port never takes a file that
        # holds anything else.
        r = run_picup(wd, ['/PROGRESS=blink.hex', '/COM=' + missing, 'blink.hex'])
        self.assertEqual((r.code, r.stdout), (1, ''), r)
        self.assertIn("picup: cannot keep the run's progress in /PROGRESS=blink.hex", r.stderr)
        self.assertEqual(r.read('blink.hex'), blink())

    def test_ctrl_c_stops_every_programmer_with_vpp_off(self):
        wd = harness.make_workdir()
        # About 5 s of line time at 19200 baud: Ctrl+C comes while writing.
        words = {a: (a * 7) & 0x3FFF for a in range(0x400)}
        harness._write_files(wd, {'big.hex': harness.make_hex(words)})
        paced = ['--paced', '--baud', '19200']
        with Servers(wd, [paced, paced, paced]) as servers:
            p = subprocess.Popen([os.path.join(wd, 'picup'), '/GANG=' + ','.join(
                s.path for s in servers), 'big.hex'], cwd=wd, stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                head = self.read_until(p, b'Running on 3 ports...')
                time.sleep(1.5)
                started = time.monotonic()
                p.send_signal(signal.SIGINT)
                out, err = p.communicate(timeout=30)
                elapsed = time.monotonic() - started
            finally:
                if p.poll() is None:
                    p.kill()
                    p.communicate()
        out = harness._text(head + out)
        self.assertEqual(p.returncode, 1, out)
        self.assertLess(elapsed, 3, 'every child left at its next poll')
        self.assertIn('\n0 of 3 programmed, 3 failed: ', out)
        for s in servers:
            self.assertIn('\n%s: ' % s.path, out)
            self.assertIn('%s Interrupted!' % s.path, out)
            self.assertTrue(s.report['last_frame_vpp_off'], s.sent()[-16:].hex())
            self.assertFalse(s.report['vpp_on_at_end'])
            self.assertIn(0x82, harness.frame_codes(s.sent()), 'interrupted while writing')
            self.assertLess(s.report['changed']['flash'], len(words))

    @staticmethod
    def read_until(p, text, timeout=10):
        """Standard output up to and with `text`: the run's handlers are in
        place once it prints."""
        got = b''
        deadline = time.monotonic() + timeout
        while text not in got and time.monotonic() < deadline:
            ready, _, _ = select.select([p.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(p.stdout.fileno(), 4096)
                if not chunk:
                    break
                got += chunk
        if text not in got:
            raise AssertionError('no %r in %r' % (text, got))
        return got


class SerialTest(unittest.TestCase):
    def test_twenty_chips_from_two_processes_get_consecutive_numbers(self):
        shared = harness.make_workdir()
        command = [os.path.join(shared, 'picup')]
        history = os.path.join(shared, 'history.jsonl')
        args = ['/SERIAL=0x8000,500', '/HISTORY=' + history, 'blink.hex']
        results = [[], []]
        # The device database is written by the first run alone.
        r = harness.run(['/INFO'], command=command)
        self.assertIn('New file (picup.dat) written', r.stdout)

        def station(k):
            for i in range(10):
                faulty = k == 0 and i == 3
                results[k].append(harness.run(
                    args, files={'blink.hex': blink()}, save=True, command=command,
                    sim_args=FAULT_DURING_WRITE if faulty else ()))

        threads = [threading.Thread(target=station, args=(k,)) for k in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        numbers, failed = {}, []
        for r in results[0] + results[1]:
            found = [int(line.split()[-1]) for line in r.stdout.splitlines()
                     if line.startswith('Serial number ')]
            self.assertEqual(len(found), 1, r)
            n = found[0]
            self.assertNotIn(n, numbers)
            numbers[n] = r
            if r.code != 0:
                failed.append(n)
                self.assertTrue(r.report['last_frame_vpp_off'])
                continue
            ids = [r.memory.get(0x8000 + i) for i in range(4)]
            self.assertEqual(ids, [n >> 12 & 0xF, n >> 8 & 0xF, n >> 4 & 0xF, n & 0xF], r)
        self.assertEqual(sorted(numbers), list(range(500, 520)))
        self.assertEqual(len(failed), 1)
        with open(os.path.join(shared, 'picup.serial')) as f:
            self.assertEqual(f.read(), '520\n')
        # The history holds every chip once, the failed one as failed.
        with open(history) as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual(sorted(h['serial'] for h in lines), list(range(500, 520)))
        self.assertEqual([h['serial'] for h in lines if h['result'] != 'ok'], failed)
        for h in lines:
            self.assertEqual(h['result'] == 'ok', numbers[h['serial']].code == 0)

    def test_flash_and_eeprom_places_and_refusals(self):
        wd = harness.make_workdir()
        files = {'blink.hex': blink()}
        r = harness.run(['/SERIAL=0x100,0x1234', 'blink.hex'], files=files, workdir=wd,
                        save=True)
        self.assertEqual(r.code, 0, r)
        self.assertIn('\nSerial number 4660\n', r.stdout)
        self.assertEqual([r.memory.get(0x100), r.memory.get(0x101)], [0x3434, 0x3412])
        self.assertEqual(r.memory.get(0x102), None)
        r = harness.run(['/SERIAL=0xF010,0x10,0x100000,3', 'blink.hex'], workdir=wd, save=True)
        self.assertEqual(r.code, 0, r)
        # The counter went on from 0x1235, above the first number given.
        self.assertIn('\nSerial number 4661\n', r.stdout)
        self.assertEqual([r.memory.get(0xF010 + i) for i in range(3)], [0x35, 0x12, 0x00])
        with open(r.path('picup.serial')) as f:
            self.assertEqual(f.read(), '%d\n' % (0x1235 + 0x100000))
        # A number that does not fit is not taken, and nothing is written.
        r = harness.run(['/SERIAL=0x8000,1', 'blink.hex'], workdir=wd)
        self.assertEqual(r.code, 1, r)
        self.assertTrue(r.stdout.endswith('\nSerial number does not fit its place '
                                          '(counter ran out)!\n'), r)
        self.assertFalse(set(harness.frame_codes(r.sent())) & set(harness.CHANGING_FRAMES))
        self.assertTrue(r.sent().endswith(VPP_OFF))
        with open(r.path('picup.serial')) as f:
            self.assertEqual(f.read(), '%d\n' % (0x1235 + 0x100000))
        r = harness.run(['/SERIAL=0x1FFF,1', 'blink.hex'], workdir=wd)
        self.assertEqual(r.code, 1, r)
        self.assertIn('\nSerial number does not fit in program flash!\n', r.stdout)
        r = harness.run_plain(['/SERIAL=0x8000,1', '/VERIFY', 'blink.hex'], workdir=wd)
        self.assertEqual(r.code, 1, r)
        self.assertIn('/SERIAL= cannot be used with /VERIFY', r.stdout)


class HistoryTest(unittest.TestCase):
    def test_line_facts_agree_with_the_record_and_the_chip(self):
        wd = harness.make_workdir()
        files = {'blink.hex': blink()}
        r = harness.run(['/HISTORY=h.jsonl', '/JSON=run.json', 'blink.hex'], files=files,
                        workdir=wd, save=True)
        self.assertEqual(r.code, 0, r)
        record = json.loads(r.read('run.json'))
        # A run that reaches no chip leaves no line.
        harness.run(['/HISTORY=h.jsonl', 'blink.hex'], workdir=wd, sim_args=['--silent'])
        # A failed verify is a chip too.
        r2 = harness.run(['/HISTORY=h.jsonl', '/VERIFY', 'blink.hex'], workdir=wd)
        self.assertEqual(r2.code, 1, r2)
        lines = r.read('h.jsonl').splitlines()
        self.assertEqual(len(lines), 2, lines)
        first, second = (json.loads(line) for line in lines)
        self.assertEqual(sorted(first), sorted([
            'time', 'port', 'target', 'device_id', 'revision', 'file_sha256', 'checksum',
            'device_checksum', 'serial', 'result', 'message', 'duration_s']))
        self.assertRegex(first['time'], r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$')
        self.assertEqual(first['port'], record['port']['path'])
        self.assertEqual((first['target'], first['device_id'], first['revision']),
                         ('PIC16F1825', 0x2763, 3))
        self.assertEqual(first['file_sha256'], hashlib.sha256(blink().encode()).hexdigest())
        flash = sum(r.memory.get(a, 0x3FFF) for a in range(0x2000)) & 0xFFFF
        self.assertEqual(first['checksum'], flash)
        self.assertEqual(first['checksum'], record['checksum'])
        self.assertEqual(first['device_checksum'], record['device_checksum'])
        self.assertIsNotNone(first['device_checksum'])
        self.assertEqual((first['serial'], first['result'], first['message']), (None, 'ok', None))
        self.assertEqual((second['result'], second['checksum'], second['device_checksum']),
                         ('failed', None, None))
        self.assertIn('mismatches', second['message'])

    def test_a_line_that_cannot_be_written_fails_the_run(self):
        # Found before the port opens: no chip programmed, no serial number
        # used up for a run that could not say so.
        wd = harness.make_workdir()
        os.mkdir(os.path.join(wd, 'h.jsonl'))
        r = harness.run(['/HISTORY=h.jsonl', '/JSON=run.json', '/SERIAL=0x8000,7', 'blink.hex'],
                        files={'blink.hex': blink()}, workdir=wd)
        self.assertEqual((r.code, r.stdout), (1, ''), r)
        self.assertIn('picup: cannot write /HISTORY=h.jsonl: Is a directory', r.stderr)
        record = json.loads(r.read('run.json'))
        self.assertEqual((record['result'], record['exit_code'], record['serial']), ('failed', 1, None))
        self.assertIn('/HISTORY=h.jsonl', record['message'])
        self.assertEqual(r.sent(), b'')
        self.assertFalse(os.path.exists(r.path('picup.serial')))


if __name__ == '__main__':
    unittest.main()
