"""The Windows program, picup.exe, under Wine against picsim: the Win32 serial
port (CreateFileA on \\\\.\\COM<n>, SetCommState, SetCommTimeouts, ReadFile,
WriteFile, ClearCommError), text-mode files with CR LF line ends, the console
key test and Ctrl+C. Every run is also made with the native program on the
same emulated chip; both must print the same text, apart from CR LF, and
leave the chip in the same state."""

import json
import os
import signal
import subprocess
import time
import unittest

import harness
import wine

VPP_OFF = bytes([0xC2, 0x3E])
CMD_OSCCAL_HELPER = 0xC7
EXAMPLES = os.path.join(harness.SOURCE, 'examples')
NEW_DAT = '\nNew file (picup.dat) written\n'


def setUpModule():
    wine.skip_under_sanitizers()
    w = wine.setup()
    if w.bits != 32:
        print('\nthis machine runs no 32-bit programs: testing the x86-64 build under 64-bit Wine')


def tearDownModule():
    wine.teardown()


def load_json(path):
    with open(path) as f:
        return json.load(f)


def example(chip):
    with open(os.path.join(EXAMPLES, chip, 'blink.hex')) as f:
        return f.read()


class WindowsTest(unittest.TestCase):
    def both(self, args, **kwargs):
        """The same run under Wine and natively; returns (windows, native)."""
        files = kwargs.pop('files', None)
        w = wine.run(args, files=files, **kwargs)
        n = harness.run(args, files=files, **kwargs)
        return w, n

    def assert_same_run(self, w, n):
        """Same exit code and text (CR LF aside), same bytes to the programmer."""
        self.assertEqual(w.code, n.code, w)
        self.assertEqual(wine.unix(w.stdout), n.stdout)
        self.assertEqual(w.sent(), n.sent())
        self.assertTrue(w.sent().endswith(VPP_OFF), w.sent().hex())

    def assert_crlf(self, text):
        """Text from the Windows runtime in text mode: every line end is CR LF."""
        self.assertIn('\r\n', text)
        self.assertEqual(text.count('\n'), text.count('\r\n'), repr(text))

    def test_usage_text(self):
        w = wine.run_plain([])
        n = harness.run_plain([])
        self.assertEqual(w.code, 0, w)
        self.assertEqual(wine.unix(w.stdout), n.stdout)
        self.assertIn('\r\nUsage: picup [option [option]...] [<hexfile>]\r\n', w.stdout)
        self.assert_crlf(w.stdout)
        self.assertEqual(sorted(os.listdir(w.workdir)), ['picup', 'picup.exe'])

    def test_settings_file_rewritten_read_back_and_refused_port(self):
        first = wine.run(['/baud=57600', '/INFO'])
        self.assertEqual(first.code, 0, first)
        self.assertEqual(wine.unix(first.stdout)[:len('picup Version 0.0\n' + NEW_DAT)],
                         'picup Version 0.0\n' + NEW_DAT)
        with open(first.path('picup.cfg'), 'rb') as f:
            self.assertEqual(f.read(), b'COM7\r\nBAUD=57600\r\n')
        self.assert_crlf(wine.read(first, 'picup.dat'))

        # Without /COM the port comes from the file, CR LF and all; the file
        # is not written again.
        os.utime(first.path('picup.cfg'), (0, 0))
        again = wine.run(['/INFO'], port=False, workdir=first.workdir)
        self.assertEqual(again.code, 0, again)
        self.assertIn('PIC16F1825', again.stdout)
        self.assertEqual(os.stat(first.path('picup.cfg')).st_mtime, 0)

        # A port that is not there is not stored; stderr has the system's reason.
        missing = wine.run_plain(['/COM9'], workdir=first.workdir)
        self.assertEqual(missing.code, 1, missing)
        self.assertEqual(missing.stdout, '\r\nCan not open port COM9!\r\n')
        self.assertIn('picup: \\\\.\\COM9: ', missing.stderr, missing)
        with open(first.path('picup.cfg'), 'rb') as f:
            self.assertEqual(f.read(), b'COM7\r\nBAUD=57600\r\n')

    def test_info_on_two_chips(self):
        for part, name in (('PIC16F1825', 'Target device ID:      0x2763 = PIC16F1825'),
                           ('PIC12F629', 'Target device ID:      0x0F83 = PIC12F629')):
            with self.subTest(part=part):
                w, n = self.both(['/INFO'], part=part)
                self.assert_same_run(w, n)
                self.assertEqual(w.code, 0, w)
                self.assertIn(name, w.stdout)
                self.assertEqual(wine.read(w, 'picup.dat'), n.read('picup.dat').replace('\n', '\r\n'))

    def test_upload_with_log_pic16f1825(self):
        w, n = self.both(['/LOG', '/JSON=run.json', 'blink.hex'], part='PIC16F1825',
                         files={'blink.hex': example('pic16f1825')}, save=True)
        self.assert_same_run(w, n)
        self.assertEqual(w.code, 0, w)
        self.assertTrue(w.stdout.endswith('\r\nOk!\r\n'), w)
        self.assertEqual(w.memory, n.memory)
        source = harness.parse_hex(example('pic16f1825'))
        self.assertEqual({a: w.memory.get(a) for a in source}, source)
        log = wine.read(w, 'picup.log')
        self.assert_crlf(log)
        self.assertEqual(wine.unix(log), n.read('picup.log'))
        self.assertTrue(log.endswith('\r\n--------------- end of log --------------\r\n'))
        # The run record (committed with _commit, renamed with MoveFileEx)
        # tells the same run; only the time, the command and the port differ.
        records = [load_json(r.path('run.json')) for r in (w, n)]
        for record in records:
            for key in ('started', 'duration_s', 'command', 'port'):
                record.pop(key)
        self.assertEqual(records[0], records[1])
        self.assertEqual(records[0]['result'], 'ok')
        self.assertEqual(harness.Result.temp_files(w), [])

    def test_upload_pic12f629_over_an_echoing_line(self):
        w, n = self.both(['blink.hex'], part='PIC12F629', sim_args=['--echo'],
                         files={'blink.hex': example('pic12f629')}, save=True)
        self.assert_same_run(w, n)
        self.assertEqual(w.code, 0, w)
        self.assertTrue(w.stdout.endswith('\r\nOk!\r\n'), w)
        self.assertEqual(w.memory, n.memory)
        # The program words land where the file puts them; the factory
        # calibration word at the top of flash survives the bulk erase.
        source = harness.parse_hex(example('pic12f629'))
        program = {a: v for a, v in source.items() if a < 0x3FF}
        self.assertTrue(program)
        self.assertEqual({a: w.memory.get(a) for a in program}, program)
        self.assertEqual(w.memory.get(0x3FF, 0x3FFF) & 0x3F00, 0x3400)

    def test_hex_error(self):
        bad = ':020000000428D3\n:00000001FF\n'
        w, n = self.both(['bad.hex'], files={'bad.hex': bad})
        self.assert_same_run(w, n)
        self.assertEqual(w.code, 1, w)
        # The reason goes to standard error, in text mode like everything else.
        reason = 'picup: bad.hex:1: checksum mismatch\n'
        self.assertIn(reason, n.stderr)
        self.assertIn(reason.replace('\n', '\r\n'), w.stderr)
        self.assertNotIn('Ok!', w.stdout)

    def test_no_programmer(self):
        w = wine.run([], sim_args=['--silent'])
        self.assertEqual(w.code, 1, w)
        self.assertEqual(w.stdout, '\r\nno Programmer connected!\r\n')
        # SetCommState takes each usual rate in turn and the set one back.
        rates = [115200, 9600, 19200, 38400, 57600, 230400, 460800, 500000, 921600, 1000000]
        self.assertEqual(w.report['from_host_by_rate'],
                         [[rate, 'c13f'] for rate in rates] + [[115200, 'c23e']])
        # A programmer at another rate is named, and its exit frame goes out
        # at that rate.
        w = wine.run(['/BAUD=9600'], sim_args=['--programmer-baud', '38400'])
        self.assertEqual(w.code, 1, w)
        self.assertIn('it answers at 38400: use /BAUD=38400\r\n', w.stderr)
        self.assertEqual(w.report['from_host_by_rate'][-1], [38400, 'c23e'])
        self.assertTrue(w.report['last_frame_vpp_off'])
        # /JSON=-: the record alone on standard output (_dup/_dup2), the
        # console text on standard error.
        w = wine.run(['/JSON=-'], sim_args=['--silent'])
        self.assertEqual(w.code, 1, w)
        record = json.loads(w.stdout)
        self.assertEqual((record['result'], record['message'], record['port']['path']),
                         ('failed', 'no Programmer connected!', 'COM%d' % wine.COM_PORT))
        self.assertIn('\r\nno Programmer connected!\r\n', w.stderr)

    def test_calibration_helper_ends_at_end_of_input(self):
        # stdin is NUL: no key can ever come, so the helper stops at once
        # instead of waiting forever.
        w, n = self.both(['/OSCCAL'], timeout=30)
        self.assertEqual(w.code, 0, w)
        self.assertEqual(wine.unix(w.stdout), n.stdout)
        self.assertIn(CMD_OSCCAL_HELPER, w.sent())
        self.assertTrue(w.sent().endswith(VPP_OFF), w.sent().hex())

    def test_ctrl_c_during_calibration_switches_vpp_off(self):
        work = wine.make_workdir()
        report = os.path.join(work, 'report.json')
        # A pipe that stays open and silent: only Ctrl+C ends the helper.
        p = subprocess.Popen([harness.PICSIM, '--report', report, '--']
                             + wine._wine.command() + ['/COM%d' % wine.COM_PORT, '/OSCCAL'],
                             cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        try:
            child = self.wait_for_program(p.pid)
            time.sleep(1.5)  # the Windows process starts and the ticks flow
            os.kill(child, signal.SIGINT)
            out, err = p.communicate(timeout=30)
        finally:
            if p.poll() is None:
                p.kill()
                p.communicate()
        r = harness.Result(harness._text(out), harness._text(err), p.returncode,
                           load_json(report), work)
        self.assertEqual(r.code, 1, r)
        self.assertTrue(r.stdout.endswith('\r\nInterrupted!\r\n'), r)
        self.assertIn(CMD_OSCCAL_HELPER, r.sent())
        self.assertGreater(len(r.received()), 10, 'calibration ticks arrived')
        self.assertTrue(r.sent().endswith(VPP_OFF), r.sent().hex())

    def test_gang_of_two_programmers(self):
        """/GANG= under Windows: a child picup.exe per port through
        CreateProcess, each with its console text in a file of its own."""
        work = wine.make_workdir()
        harness._write_files(work, {'blink.hex': example('pic16f1825')})
        servers = [harness.Server(work, 'prog%d' % i) for i in range(2)]
        ports = (wine.COM_PORT, wine.COM_PORT + 1)
        links = [os.path.join(wine._wine.prefix, 'dosdevices', 'com%d' % n) for n in ports]
        try:
            for link, server in zip(links, servers):
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink(server.path, link)
            p = subprocess.run([wine._wine.loader, 'picup.exe', '/GANG=COM%d,COM%d' % ports,
                                '/LOG', 'blink.hex'], cwd=work, capture_output=True,
                               stdin=subprocess.DEVNULL, timeout=120)
        finally:
            for server in servers:
                server.stop()
            for link in links:
                if os.path.islink(link):
                    os.unlink(link)
        out = harness._text(p.stdout)
        self.assertEqual(p.returncode, 0, out + harness._text(p.stderr))
        self.assert_crlf(out)
        self.assertTrue(out.endswith('\r\n2 of 2 programmed\r\n'), out)
        source = harness.parse_hex(example('pic16f1825'))
        for n, server in zip(ports, servers):
            self.assertRegex(out, r'\r\nCOM%d: [^\r\n]*, Ok! \(' % n)
            self.assertEqual({a: server.memory.get(a) for a in source}, source)
            self.assertTrue(server.sent().endswith(VPP_OFF))
            log = wine.read(harness.Result('', '', 0, {}, work), 'picup-COM%d.log' % n)
            self.assertTrue(log.endswith('\r\n--------------- end of log --------------\r\n'))
        self.assertFalse(os.path.exists(os.path.join(work, 'picup.cfg')))

    def wait_for_program(self, parent):
        """The pid of picup.exe, picsim's child, once Wine runs it."""
        deadline = time.time() + 30
        while time.time() < deadline:
            for pid in self.children(parent):
                with open('/proc/%d/cmdline' % pid, 'rb') as f:
                    if b'picup.exe' in f.read().split(b'\0')[0]:
                        return pid
            time.sleep(0.05)
        self.fail('picup.exe did not start')

    @staticmethod
    def children(pid):
        try:
            with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
                return [int(c) for c in f.read().split()]
        except OSError:
            return []


if __name__ == '__main__':
    unittest.main()
