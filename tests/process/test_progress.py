"""The progress display and the reasons for silent exits, seen as a person
sees them: the real picup binary with standard output and standard error on
a pseudo-terminal, against picsim serving the emulated programmer. The bytes
that reach the terminal are run through a small terminal model; the final
screen must show exactly what the same run prints to a pipe, plus the summary
line. With standard error redirected, nothing extra appears anywhere."""

import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import termios
import time
import unittest

import harness

SUMMARY = re.compile(r'picup: (\d+) words written, (\d+) bytes sent in \d+\.\d s')


class Terminal:
    """Cursor, character cells, carriage return, line feed, backspace, save and
    restore of the cursor, erase to the end of the line or of the screen,
    cursor up and to a column, and the wrap mode: everything picup and the pty
    driver may send. Anything else fails."""

    def __init__(self, columns):
        self.columns = columns
        self.rows = [[]]
        self.row = self.col = 0
        self.saved = (0, 0)
        self.wrap = True

    def _line(self):
        while len(self.rows) <= self.row:
            self.rows.append([])
        return self.rows[self.row]

    def _put(self, ch):
        if self.col >= self.columns:
            if self.wrap:
                self.row, self.col = self.row + 1, 0
            else:
                self.col = self.columns - 1
        line = self._line()
        while len(line) <= self.col:
            line.append(' ')
        line[self.col] = ch
        self.col += 1

    def feed(self, data):
        text = data.decode('latin-1')
        i = 0
        while i < len(text):
            ch = text[i]
            if ch == '\x1b':
                m = re.match(r'\x1b(7|8|\[\?7[hl]|\[K|\[J|\[(\d+)([AG]))', text[i:])
                assert m, 'unexpected control %r' % text[i:i + 8]
                seq = m.group(1)
                if m.group(3) == 'A':
                    self.row = max(0, self.row - int(m.group(2)))
                elif m.group(3) == 'G':
                    self.col = min(self.columns, int(m.group(2))) - 1
                elif seq == '[J':
                    del self._line()[self.col:]
                    del self.rows[self.row + 1:]
                elif seq == '7':
                    self.saved = (self.row, self.col)
                elif seq == '8':
                    self.row, self.col = self.saved
                elif seq == '[K':
                    del self._line()[self.col:]
                else:
                    self.wrap = seq.endswith('h')
                i += len(m.group(0))
                continue
            if ch == '\r':
                self.col = 0
            elif ch == '\n':
                self.row += 1
            elif ch == '\b':
                self.col = max(0, self.col - 1)
            else:
                assert ch >= ' ', 'unexpected control byte %r' % ch
                self._put(ch)
            i += 1
        return self

    def screen(self):
        return '\n'.join(''.join(r).rstrip() for r in self.rows).rstrip('\n')


def screen_of(text, columns):
    """The screen a plain text leaves (the pty turns each \\n into \\r\\n)."""
    return Terminal(columns).feed(text.replace('\n', '\r\n').encode('latin-1')).screen()


class Served:
    """picsim --serve: the emulated programmer on a pty until stopped."""

    def __init__(self, sim_args):
        harness.need_binaries()
        self.proc = subprocess.Popen([harness.PICSIM, '--serve'] + list(sim_args),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.path = self.proc.stdout.readline().decode().strip()
        assert self.path.startswith('/dev/'), self.path

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)
        self.proc.stdout.close()


def on_terminal(args, files=None, sim_args=(), columns=100, timeout=60):
    """Runs picup with stdout and stderr on one pty and a standard input that
    stays open without a key; returns (bytes, exit code)."""
    workdir = harness.make_workdir()
    harness._write_files(workdir, files)
    served = Served(sim_args)
    try:
        return run_on_pty(workdir, list(args) + ['/COM=' + served.path], columns, timeout)
    finally:
        served.stop()


def run_on_pty(workdir, args, columns=100, timeout=60):
    """picup <args> in workdir with stdout and stderr on one pty of `columns`
    and a standard input that stays open without a key; (bytes, exit code)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack('HHHH', 24, columns, 0, 0))
    try:
        p = subprocess.Popen([os.path.join(workdir, 'picup')] + list(args),
                             cwd=workdir, stdin=subprocess.PIPE,
                             stdout=slave, stderr=slave)
        os.close(slave)
        data = b''
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                data += chunk
            elif p.poll() is not None:
                break
        code = p.wait(timeout=10)
        p.stdin.close()
    finally:
        os.close(master)
    return data, code


def piped(args, files=None, sim_args=()):
    """The same run with stdout and stderr on pipes, and a standard input that
    stays open without a key; returns the Result."""
    workdir = harness.make_workdir()
    harness._write_files(workdir, files)
    served = Served(sim_args)
    out, err = (open(os.path.join(workdir, n), 'w+b') for n in ('out', 'err'))
    try:
        p = subprocess.Popen([os.path.join(workdir, 'picup')] + list(args)
                             + ['/COM=' + served.path], cwd=workdir, stdin=subprocess.PIPE,
                             stdout=out, stderr=err)
        code = p.wait(timeout=60)
        p.stdin.close()
    finally:
        served.stop()
    out.seek(0)
    err.seek(0)
    result = harness.Result(out.read().decode('latin-1'), err.read().decode('latin-1'),
                            code, {}, workdir)
    out.close()
    err.close()
    return result


# Slow enough that every pass lasts several tenths of a second.
PACED = ['--paced', '--baud', '57600']
FLASH = {a: (a * 37 + 5) & 0x3FFF for a in range(0x400)}
EEPROM = {0xF000 + i: i ^ 0x5A for i in range(8)}
CONFIG = {0x8007: 0x3FE4, 0x8008: 0x3FFF}


class ProgressOnATerminal(unittest.TestCase):
    def check_same_screen(self, args, files, columns, sim_args=PACED):
        plain = piped(args, files, sim_args)
        # Nothing extra in a pipe but the device checksum a completed upload tells.
        self.assertEqual(re.sub(r'^picup: checksum 0x[0-9A-F]{4}\n', '', plain.stderr), '', plain)
        data, code = on_terminal(args, files, sim_args, columns)
        self.assertEqual(code, plain.code)
        screen = Terminal(columns).feed(data).screen()
        return plain, data, screen

    def test_upload_shows_bars_then_exactly_the_output_and_a_summary(self):
        words = {**FLASH, **EEPROM, **CONFIG}
        files = {'a.hex': harness.make_hex(words)}
        plain, data, screen = self.check_same_screen(['a.hex'], files, 100)
        self.assertEqual(plain.code, 0, plain)
        self.assertTrue(plain.stdout.endswith('\nOk!\n'), plain)
        # Bars were drawn for the passes: flash, then its verification.
        self.assertIn(b'\x1b7', data)
        self.assertRegex(data.decode('latin-1'), r' [1-9]\d% \d+/1024 words')
        # The summary, then on a line apart, as every message of picup starts,
        # the chip's checksum the upload knows.
        lines = screen.split('\n')
        self.assertEqual(lines[-2:], ['', plain.stderr.rstrip('\n')])
        lines = lines[:-2]
        self.assertEqual('\n'.join(lines[:-1]), screen_of(plain.stdout, 100))
        m = SUMMARY.fullmatch(lines[-1])
        self.assertTrue(m, lines[-1])
        # Every flash word, both configuration words and the EEPROM bytes.
        self.assertEqual(int(m.group(1)), 0x400 + 2 + 8)
        self.assertGreater(int(m.group(2)), 0x400 * 4)

    def test_narrow_terminal_never_wraps_the_bar(self):
        files = {'a.hex': harness.make_hex(FLASH)}
        plain, data, screen = self.check_same_screen(['a.hex'], files, 40)
        self.assertIn(b'\x1b[?7l', data)
        # Behind "Programming program flash..." (28 columns) 11 are left, behind
        # "Verifying program flash..." 13: the time and the count give way and
        # the graph shrinks, the percentage stays, nothing is clipped.
        bars = re.findall(rb'\x1b\[K (.*?)\x1b\[\?7h', data)
        self.assertEqual(set(len(b) for b in bars), {11, 13}, bars)
        for bar in bars:
            self.assertRegex(bar, rb'^\[[#-]+\] +\d+%$')
        # The summary is an ordinary line and may wrap; nothing else does.
        expected = screen_of(plain.stdout, 40) + '\n'
        self.assertTrue(screen.startswith(expected), screen)
        self.assertTrue(SUMMARY.fullmatch(screen[len(expected):].replace('\n', '')), screen)

    def test_gang_shows_a_live_line_per_port_then_exactly_the_piped_text(self):
        # Two programmers, the second slower, so that the ports finish in the
        # same order in both runs; the same two serve both runs.
        wd = harness.make_workdir()
        harness._write_files(wd, {'a.hex': harness.make_hex({**FLASH, **EEPROM, **CONFIG})})
        servers = [harness.Server(wd, 'fast', sim_args=PACED),
                   harness.Server(wd, 'slow', sim_args=['--paced', '--baud', '38400'])]
        try:
            # The device database is written first, so neither run says so.
            subprocess.run([os.path.join(wd, 'picup'), '/COM=' + servers[0].path, '/NOSTORE',
                            '/INFO'], cwd=wd, capture_output=True, stdin=subprocess.DEVNULL,
                           timeout=60, check=True)
            args = ['/GANG=' + ','.join(s.path for s in servers), 'a.hex']
            p = subprocess.run([os.path.join(wd, 'picup')] + args, cwd=wd, capture_output=True,
                               stdin=subprocess.DEVNULL, timeout=120)
            data, code = run_on_pty(wd, args, columns=100, timeout=120)
        finally:
            for s in servers:
                s.stop()
        plain = p.stdout.decode('latin-1')
        self.assertEqual((p.returncode, code), (0, 0), plain)
        self.assertEqual(p.stderr, b'')  # nothing extra off a terminal
        self.assertNotIn('\x1b', plain)
        # While running: a line per port with its stage and percentage, and a
        # percentage between the ends for each.
        text = data.decode('latin-1')
        for s in servers:
            percents = [int(m) for m in re.findall(re.escape(s.path) + r': [a-z ]+ (\d+)%', text)]
            self.assertTrue(any(0 < n < 100 for n in percents), (s.path, percents))
        # At the end: exactly what the run to a pipe printed (the times aside).
        def times(t):
            return re.sub(r'\(\d+\.\d s\)', '(t s)', t)
        self.assertRegex(plain, r'Running on 2 ports\.\.\.\n%s: PIC16F1825, Ok! \(\d+\.\d s\)\n'
                         r'%s: PIC16F1825, Ok! ' % (re.escape(servers[0].path),
                                                    re.escape(servers[1].path)))
        self.assertEqual(times(Terminal(100).feed(data).screen()), times(screen_of(plain, 100)))

    def test_read_listing_is_left_exactly_as_printed(self):
        plain, data, screen = self.check_same_screen(['/READ0-0x17F'], {}, 80)
        self.assertEqual(plain.code, 0, plain)
        self.assertIn(b'\x1b7', data)
        self.assertEqual(screen, screen_of(plain.stdout, 80))

    def test_failure_message_is_not_left_behind_a_bar(self):
        # Read reply 4 (identification takes 2) is the second block read of
        # 255 words in the verification of program flash; its checksum is wrong.
        files = {'a.hex': harness.make_hex(FLASH)}
        sim = PACED + ['--corrupt-read', '4']
        plain = piped(['a.hex'], files, sim)
        self.assertEqual(plain.code, 1, plain)
        self.assertTrue(plain.stdout.endswith('\nVerifying program flash...\ncommunication error!\n'))
        data, code = on_terminal(['a.hex'], files, sim, 100)
        self.assertEqual(code, 1)
        self.assertIn(b'words', data)
        self.assertEqual(Terminal(100).feed(data).screen(), screen_of(plain.stdout, 100))


class ReasonsForSilentExits(unittest.TestCase):
    def test_hex_faults_name_file_line_and_reason(self):
        good = harness.make_hex({0: 0x3FFF}).splitlines()[0]
        cases = {
            'checksum mismatch': [good, good[:-2] + '00'],
            'invalid hex digit': [good, good, ':02000000zz00FE'],
            'file ends inside a record': [good, '', ':0200'],
        }
        for reason, lines in cases.items():
            with self.subTest(reason=reason):
                text = '\n'.join(lines)
                r = harness.run(['blinky.hex'], files={'blinky.hex': text})
                self.assertEqual(r.code, 1, r)
                # stdout is as it always was: the database notice only.
                self.assertEqual(r.stdout, '\nNew file (picup.dat) written\n')
                self.assertIn('picup: blinky.hex:%d: %s\n' % (len(lines), reason), r.stderr)
                # Nothing was programmed.
                self.assertFalse(any(f[0] == 0x82 for f in frames(r.sent())))

    def test_nak_names_the_stage(self):
        # Frame 11, the first after identification, starts the calibration
        # helper; the programmer refuses it, and no key ends the helper first.
        nak = ['--nak-before-frame', '11']
        reason = 'picup: programmer refused a frame (NAK) while running the calibration helper'
        r = piped(['/OSCCAL'], {}, nak)
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.stdout, '\nNew file (picup.dat) written\n')
        self.assertEqual(r.stderr, reason + '\n')
        # On a terminal the reason stands on a line of its own, like every message.
        data, code = on_terminal(['/OSCCAL'], {}, nak, 100)
        self.assertEqual(code, 1)
        self.assertEqual(Terminal(100).feed(data).screen(), screen_of(r.stdout, 100) + '\n\n' + reason)


class Install(unittest.TestCase):
    def test_install_puts_programs_and_manual_page_in_place(self):
        if not harness.BUILD or not os.path.exists(os.path.join(harness.BUILD, 'cmake_install.cmake')):
            self.skipTest('no build tree')
        stage = harness.make_workdir()
        p = subprocess.run(['cmake', '--install', harness.BUILD, '--prefix', '/usr/local'],
                           env=dict(os.environ, DESTDIR=stage), capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        root = os.path.join(stage, 'usr', 'local')
        for name in ('picup', 'picsim'):
            self.assertTrue(os.access(os.path.join(root, 'bin', name), os.X_OK), name)
        with open(os.path.join(root, 'share', 'man', 'man1', 'picup.1')) as f:
            page = f.read()
        self.assertTrue(page.startswith('.TH PICUP 1'))
        # The installed program is the real one: it prints its usage text.
        u = subprocess.run([os.path.join(root, 'bin', 'picup')], capture_output=True, timeout=30)
        self.assertEqual(u.returncode, 0)
        self.assertIn(b'Usage: picup', u.stdout)


ARG_BYTES = {0x80: 2, 0x82: 2, 0x83: 2, 0xE6: 2, 0xD4: 1, 0xD5: 1}


def frames(sent):
    """Code and arguments of each frame after the probe."""
    body, out, i = sent[2:], [], 0
    while i < len(body):
        n = 1 + ARG_BYTES.get(body[i], 0)
        out.append(body[i:i + n])
        i += n + 1
    return out


if __name__ == '__main__':
    unittest.main()
