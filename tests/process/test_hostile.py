"""Hostile inputs to the real picup binary: over-long program paths and names,
settings lines cut into pieces, device database lines with over-long names and
tokens, huge and garbage files, files that are directories or links. Every run
must end with a clear message (or its specified silent exit) in bounded time,
leave VPP off, and never lose or overwrite a file that is not its own to
rewrite."""

import json
import os
import random
import re
import signal
import stat
import subprocess
import time
import unittest

import harness

VPP_OFF = bytes([0xC2, 0x3E])
NO_DATA = '\nHexfile holds no data - nothing written!\n'
NO_END = '\nHexfile has no end record - nothing written!\n'
REPORT_1825 = '\nTarget device ID:      0x2763 = '


def write(path, data):
    with open(path, 'wb' if isinstance(data, bytes) else 'w') as f:
        f.write(data)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def default_database():
    """The database picup writes on its first run."""
    r = harness.run(['/INFO'])
    assert r.code == 0, r
    return r.read('picup.dat')


class ProgramPathTest(unittest.TestCase):
    def test_long_paths_and_names_end_with_a_message_or_work(self):
        harness.need_binaries()
        work = harness.make_workdir()
        # A directory chain that makes <dir>/picup exactly 255 characters, the
        # most the base path holds, and one character more.
        for length, fits in ((255, True), (256, False)):
            d = work
            while len(os.path.join(d, 'picup')) < length - 60:
                d = os.path.join(d, 'd' * 50)
            d = os.path.join(d, 'e' * (length - len(os.path.join(d, 'picup')) - 1))
            os.makedirs(d, exist_ok=True)
            exe = os.path.join(d, 'picup')
            self.assertEqual(len(exe), length)
            os.symlink(harness.PICUP, exe)
            p = subprocess.run([exe], capture_output=True, timeout=20, cwd=work)
            if fits:
                self.assertEqual(p.returncode, 0, p)
                self.assertIn(b'\nUsage: picup [option', p.stdout)
            else:
                self.assertEqual(p.returncode, 1, p)
                self.assertEqual(p.stdout, b'\nProgram path is too long (at most 255 characters)!\n')
        # Stems of 31 and 32 characters; the extension does not count. The
        # line opens but nobody answers on it.
        line = harness.PtyLine()
        self.addCleanup(line.close)
        for stem, fits in (('s' * 31, True), ('t' * 32, False)):
            exe = os.path.join(work, stem + '.exe')
            os.symlink(harness.PICUP, exe)
            p = subprocess.run([exe, '/COM=' + line.path], capture_output=True, timeout=20, cwd=work)
            self.assertEqual(p.returncode, 1, p)
            if fits:
                self.assertEqual(p.stdout, b'\nno Programmer connected!\n')
            else:
                self.assertEqual(
                    p.stdout,
                    b'\nProgram name is too long (at most 31 characters without extension)!\n')
            # The settings are rewritten beside an executable whose names fit,
            # and nothing is written beside one whose names do not.
            self.assertEqual(os.path.exists(os.path.join(work, stem + '.cfg')), fits)


class SettingsFileTest(unittest.TestCase):
    def test_hand_edited_lines_and_a_rewrite_that_keeps_them(self):
        # A byte order mark, CR LF line ends, blank and '#' lines, blanks
        # around words, and lines of any length, each read whole as one word.
        line49 = 'READ0x00000000000000000000000000000000000000010-0x11'
        self.assertGreater(len(line49), 49)
        cfg = ('\ufeff# bench setup\r\n\r\n  COM=/dev/ttyUSB9 \r\n\t\r\n'
               '# LOG\r\n BAUD=57600\t\r\n' + line49 + '\r\nINFO' + 'x' * 5000 + '\r\n')
        r = harness.run(['/COM={port}'], files={'picup.cfg': cfg.encode('utf-8')})
        self.assertEqual(r.code, 0, r)
        self.assertIn('\n  0010:  ', r.stdout)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        # The rewrite put the new port where the old one stood and kept every
        # other line as it was; the baud rate line stays, with the value in force.
        stored = read(r.path('picup.cfg'))
        pty = re.search(rb'COM=(/dev/pts/\d+)\r\n', stored)
        self.assertTrue(pty, stored[:200])
        self.assertEqual(stored, cfg.replace('  COM=/dev/ttyUSB9 ', 'COM=' + pty.group(1).decode())
                         .replace(' BAUD=57600\t', 'BAUD=57600').encode('utf-8'))
        # An unknown word is still one, and ends the run before the port opens.
        r = harness.run(['/INFO'], files={'picup.cfg': '\n# ok\n  NOSUCH  \r\n'})
        self.assertEqual((r.code, r.stdout), (1, 'unknown option: NOSUCH\n'))
        self.assertEqual(r.sent(), b'')

    def test_settings_file_that_is_a_directory_or_a_link_loop(self):
        work = harness.make_workdir()
        os.mkdir(os.path.join(work, 'picup.cfg'))
        r = harness.run(['/INFO', '/COM={port}', '/BAUD=9600'], workdir=work)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825, r.stdout)
        # The rewrite could not replace the directory and left nothing behind.
        self.assertTrue(os.path.isdir(r.path('picup.cfg')))
        self.assertFalse(os.path.exists(r.path('picup.cfg.tmp')))
        self.assertEqual(r.sent()[-2:], VPP_OFF)

        work = harness.make_workdir()
        os.symlink('picup.cfg', os.path.join(work, 'picup.cfg'))
        r = harness.run(['/INFO'], workdir=work)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)

    def test_rewrite_killed_at_any_moment_leaves_a_whole_file(self):
        harness.need_binaries()
        work = harness.make_workdir()
        cfg = os.path.join(work, 'picup.cfg')
        # The settings are rewritten once the port is open; nobody answers on
        # this line, so each run then ends at the probe.
        line = harness.PtyLine()
        self.addCleanup(line.close)
        old = b'INFO\nCOM=/dev/old\nBAUD=9600\n'
        write(cfg, old)
        command = [os.path.join(work, 'picup'), '/COM=' + line.path]
        # The kills fall anywhere in the time a whole run takes here.
        start = time.monotonic()
        subprocess.run(command + ['/BAUD=1199'], cwd=work,
                       stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        whole_run = time.monotonic() - start
        write(cfg, old)
        rng = random.Random(4)
        seen_new = 0
        for i in range(60):
            baud = 1200 + i
            new = b'INFO\nCOM=%s\nBAUD=%d\n' % (line.path.encode(), baud)
            p = subprocess.Popen(command + ['/BAUD=%d' % baud],
                                 cwd=work, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, whole_run))
            p.send_signal(signal.SIGKILL)
            p.wait()
            content = read(cfg)
            self.assertIn(content, (old, new), 'run %d left %r' % (i, content))
            if content == new:
                seen_new += 1
            old = content
        self.assertGreater(seen_new, 0, 'no run got as far as the rewrite')


class DeviceDatabaseTest(unittest.TestCase):
    def test_long_names_and_long_tokens(self):
        db = default_database()
        # A name longer than 20 characters: the 21st character starts the
        # hardware ID field; here it reads as the ID, and the line matches.
        r = harness.run(['/INFO'], files={
            'picup.dat': 'PIC16F1825_LONGNAME_2760 0x3FE0 0x0020 0x2000 E:256\n' + db})
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825_LONGNAME_\n', r.stdout)
        # A name of hundreds of characters whose 21st is no hex digit: the
        # line is skipped and the default line further down is found.
        r = harness.run(['/INFO'], files={
            'picup.dat': 'P' + 'Q' * 400 + ' 0x2760 0x3FE0 0x20 0x2000\n' + db})
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        # A parameter token of thousands of characters is skipped whole, and
        # the parameters after it on the line still apply.
        line = 'PIC16F1825 0x2760 0x3FE0 0x0020 0x2000 C:%s E:128 V:%s\n' % ('7' * 5000, '9' * 3000)
        r = harness.run(['/INFO'], files={'picup.dat': line})
        self.assertEqual(r.code, 0, r)
        self.assertIn('\nData EEPROM:           128\n', r.stdout)

    def test_hundred_thousand_lines_are_scanned_in_bounded_time(self):
        lines = ['* filler line %d of a large database' % i for i in range(50000)]
        lines += ['PIC99X%05d 0x%04X 0x3FFF 0x0020 0x2000' % (i, 0x100 + i % 0xE00) for i in range(49999)]
        lines.append('PIC16F1825 0x2760 0x3FE0 0x0020 0x2000 E:256')
        start = time.monotonic()
        r = harness.run(['/INFO'], files={'picup.dat': '\n'.join(lines) + '\n'}, timeout=60)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        self.assertLess(time.monotonic() - start, 20)

    def test_existing_database_is_never_overwritten(self):
        # A user's own file, a directory and a dangling link all stay as
        # they are; no default file is written in their place.
        own = 'PIC16F1825 0x2760 0x3FE0 0x0020 0x2000 E:64\n'
        r = harness.run(['/INFO'], files={'picup.dat': own})
        self.assertEqual((r.code, r.read('picup.dat')), (0, own), r)
        self.assertNotIn('New file', r.stdout)

        # Where no database can be read or made, the built-in lines serve and
        # stderr says why.
        work = harness.make_workdir()
        os.mkdir(os.path.join(work, 'picup.dat'))
        r = harness.run(['/INFO'], workdir=work)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        self.assertEqual(r.stderr.splitlines()[0], 'picup: cannot read %s: not a regular file; '
                         'using the built-in device list' % r.path('picup.dat'))
        self.assertTrue(os.path.isdir(r.path('picup.dat')))

        work = harness.make_workdir()
        os.symlink('elsewhere.dat', os.path.join(work, 'picup.dat'))
        r = harness.run(['/INFO'], workdir=work)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        self.assertIn('picup: cannot create %s: File exists; using the built-in device list\n'
                      % r.path('picup.dat'), r.stderr)
        self.assertFalse(os.path.exists(r.path('elsewhere.dat')))
        self.assertEqual(r.sent()[-2:], VPP_OFF)

    def test_malformed_line_is_reported_and_skipped(self):
        # A new chip's line without its flash size, above the PIC16F1825: the
        # short line takes nothing from the next one, which still matches.
        db = default_database().splitlines(keepends=True)
        short = 'PIC16F1829 0x27E0 0x3FE0 0x0020\n'
        at = next(i for i, l in enumerate(db) if l.startswith('PIC16F1825'))
        db.insert(at, short)
        hexfile = harness.make_hex({0: 0x3FFF, 1: 0x0123, 0x8007: 0x3FE4})
        r = harness.run(['/INFO', 'a.hex'], files={'picup.dat': ''.join(db), 'a.hex': hexfile},
                        save=True)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        self.assertTrue(r.stdout.endswith('\nOk!\n'), r)
        self.assertEqual(r.memory.get(1), 0x0123)
        self.assertEqual(r.stderr.count('device line needs'), 1, r.stderr)
        self.assertIn('picup: %s:%d: device line needs <name> <ID> <mask> <row size> '
                      '<flash size>; skipped\n' % (r.path('picup.dat'), at + 1), r.stderr)


class HexInputTest(unittest.TestCase):
    def test_garbage_and_directories(self):
        harness.need_binaries()
        work = harness.make_workdir()
        write(os.path.join(work, 'picup.dat'), default_database())
        rng = random.Random(7)
        block = bytes(rng.getrandbits(8) for _ in range(1 << 16))
        # 100 MB of garbage with colons in it: the first record fails, silently.
        with open(os.path.join(work, 'garbage.hex'), 'wb') as f:
            for _ in range(1600):
                f.write(block)
        start = time.monotonic()
        r = harness.run(['garbage.hex'], workdir=work)
        self.assertEqual((r.code, r.stdout), (1, ''), r)
        self.assertLess(time.monotonic() - start, 10)
        self.assertEqual(r.report['changed'], {'flash': 0, 'config': 0, 'eeprom': 0})
        self.assertEqual(r.sent()[-2:], VPP_OFF)
        # 100 MB without a colon holds no record: read to its end in bounded
        # time and refused, nothing written.
        clean = block.replace(b':', b';')
        with open(os.path.join(work, 'garbage.hex'), 'wb') as f:
            for _ in range(1600):
                f.write(clean)
        start = time.monotonic()
        r = harness.run(['garbage.hex'], workdir=work, timeout=120)
        self.assertEqual((r.code, r.stdout), (1, NO_DATA), r)
        self.assertLess(time.monotonic() - start, 60)
        self.assertEqual(r.report['changed'], {'flash': 0, 'config': 0, 'eeprom': 0})
        os.unlink(os.path.join(work, 'garbage.hex'))
        # A directory opens but cannot be read: no HEX file, not an empty one.
        os.mkdir(os.path.join(work, 'dir.hex'))
        # Found before the port opens, with the reason.
        r = harness.run(['dir.hex'], workdir=work)
        self.assertEqual((r.code, r.stdout), (1, '\ncannot open hex input file!\n'), r)
        self.assertIn('picup: dir.hex: ', r.stderr)
        self.assertEqual(r.sent(), b'')


    def refused(self, r, message, reason=None):
        """Exit 1 with `message` last on stdout (and `reason` as the one line on
        stderr); the chip untouched: no erase, no load, nothing changed; VPP off
        the last frame."""
        self.assertEqual(r.code, 1, r)
        self.assertTrue(r.stdout.endswith(message), r)
        if reason is not None:
            self.assertEqual(r.stderr.splitlines()[:1], [reason], r)
        self.assertEqual(r.report['changed'], {'flash': 0, 'config': 0, 'eeprom': 0})
        self.assertFalse(set(harness.frame_codes(r.sent())) & set(harness.CHANGING_FRAMES), r)
        self.assertTrue(r.report['last_frame_vpp_off'])
        self.assertEqual(r.sent()[-2:], VPP_OFF)

    def test_files_that_cannot_be_written_whole_are_refused(self):
        harness.need_binaries()
        with open(os.path.join(harness.SOURCE, 'examples', 'pic16f1825', 'blink.hex')) as f:
            blink = f.read()
        rng = random.Random(16)
        noise = bytes(rng.getrandbits(8) for _ in range(4096)).replace(b':', b'.')
        whole_file = (
            # A download that broke off after five lines.
            ('cut.hex', ''.join(blink.splitlines(True)[:5]), NO_END,
             'picup: cut.hex: no end-of-file record: the file is cut short'),
            ('empty.hex', '', NO_DATA, 'picup: empty.hex: no Intel HEX record in the file'),
            ('text.hex', 'Hello, this is no HEX file.\n', NO_DATA,
             'picup: text.hex: no Intel HEX record in the file'),
            ('noise.hex', noise, NO_DATA, 'picup: noise.hex: no Intel HEX record in the file'),
            ('end.hex', ':00000001FF\n', NO_DATA, "picup: end.hex: no data for the chip's memory"),
        )
        for name, content, message, reason in whole_file:
            with self.subTest(file=name):
                r = harness.run([name], files={name: content})
                self.refused(r, message, reason)
        # Data for cells the chip does not have: the first such address named.
        eeprom = {0xF000 + i: i & 0xFF for i in range(512)}
        cells = (
            ('PIC16F1825', eeprom, '\nData from hexfile at 0xF100 exceed EEPROM size!\n'),
            ('PIC16F1503', {0: 0x3000, 0xF000: 0x12}, '\nData from hexfile at 0xF000 exceed EEPROM size!\n'),
            ('PIC16F1825', {0: 0x3000, 0x8008: 0x1FFF, 0x8009: 0x3FFF},
             '\nData from hexfile at 0x8009 exceed config memory!\n'),
            ('PIC16F1825', {0x9000: 0x0001}, '\nData from hexfile at 0x9000 exceed config memory!\n'),
            # The PIC12F629's file puts configuration space at word 0x2000.
            ('PIC12F629', {0: 0x3000, 0x2007: 0x31D4, 0x2008: 0x3FFF},
             '\nData from hexfile at 0x8008 exceed config memory!\n'),
        )
        for part, words, message in cells:
            with self.subTest(part=part, message=message):
                r = harness.run(['a.hex'], part=part, files={'a.hex': harness.make_hex(words)})
                self.refused(r, message)
        # Reserved, revision and device ID words (the ID at 0x8006) are read-only:
        # skipped with one line, and the upload is the same as without them.
        plain = harness.run(['blink.hex'], files={'blink.hex': blink}, save=True)
        self.assertEqual(plain.code, 0, plain)
        extra = harness.make_hex({0x8004: 0, 0x8005: 3, 0x8006: 0x2763}).splitlines(True)[:-1]
        with_id = ''.join(extra) + blink
        r = harness.run(['blink.hex'], files={'blink.hex': with_id}, save=True)
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.stdout, plain.stdout)
        self.assertTrue(r.stdout.endswith('\nOk!\n'), r)
        # One report, beside the checksum every completed upload tells.
        self.assertEqual(r.stderr.count('picup:'), 2, r.stderr)
        self.assertRegex(r.stderr, r'picup: checksum 0x[0-9A-F]{4}\n')
        self.assertIn('picup: blink.hex: data for 0x8004-0x8006 skipped: reserved, revision and '
                      'device ID words are read-only\n', r.stderr)
        self.assertEqual(r.sent(), plain.sent())
        self.assertEqual(r.memory, plain.memory)
        self.assertEqual(r.sent()[-2:], VPP_OFF)


class NamedPipeTest(unittest.TestCase):
    def test_named_pipes_in_place_of_files_do_not_hang_the_run(self):
        harness.need_binaries()
        # Settings: passed over like a missing file.
        work = harness.make_workdir()
        os.mkfifo(os.path.join(work, 'picup.cfg'))
        r = harness.run(['/INFO'], workdir=work, timeout=20)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        # Device database: not read and not replaced; the built-in lines serve.
        work = harness.make_workdir()
        os.mkfifo(os.path.join(work, 'picup.dat'))
        r = harness.run(['/INFO'], workdir=work, timeout=20)
        self.assertEqual(r.code, 0, r)
        self.assertIn(REPORT_1825 + 'PIC16F1825\n', r.stdout)
        self.assertIn('not a regular file; using the built-in device list', r.stderr)
        self.assertTrue(stat.S_ISFIFO(os.stat(r.path('picup.dat')).st_mode))
        # HEX file: no file to read.
        os.mkfifo(os.path.join(work, 'pipe.hex'))
        r = harness.run(['pipe.hex'], workdir=work, timeout=20)
        self.assertEqual((r.code, r.stdout), (1, '\ncannot open hex input file!\n'), r)
        self.assertEqual(r.sent(), b'')


class LogTest(unittest.TestCase):
    def test_log_writes_only_its_own_file(self):
        hexfile = harness.make_hex({0: 0x3FFF, 0x8007: 0x3FFF})
        work = harness.make_workdir()
        files = {'blink.hex': hexfile, 'picup.log.old': 'keep me\n', 'picup.dat': default_database()}
        r = harness.run(['/LOG', 'blink.hex'], files=files, workdir=work)
        self.assertEqual(r.code, 0, r)
        for name, content in files.items():
            self.assertEqual(r.read(name), content, name)
        # picsim's port is for this run only: no settings file appears.
        self.assertEqual(sorted(os.listdir(work)), sorted(
            list(files) + ['picup', 'picup.log', 'report.json']))
        self.assertTrue(r.read('picup.log').endswith('end of log --------------\n'))
        # A run that cannot open its port leaves no log and keeps the old one.
        write(r.path('picup.log'), 'earlier log\n')
        r = harness.run_plain(['/LOG', '/COM=/nonexistent', 'blink.hex'], workdir=work)
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.read('picup.log'), 'earlier log\n')
        self.assertEqual(r.read('blink.hex'), hexfile)


if __name__ == '__main__':
    unittest.main()


PROGRAM = harness.make_hex({0: 0x2805, 1: 0x0009})
NEW_DATABASE = '\nNew file (picup.dat) written\n'


def snapshot(workdir):
    """Every file of a workdir (links as links) and what it holds."""
    found = {}
    for root, _, names in os.walk(workdir):
        for name in names:
            path = os.path.join(root, name)
            key = os.path.relpath(path, workdir)
            found[key] = ('link', os.readlink(path)) if os.path.islink(path) else read(path)
    return found


class OutputFilesTest(unittest.TestCase):
    """An output option never takes the place of the HEX file, of another
    output or of picup's own files, however it is spelled; an output that
    cannot be written is found before the port opens; a replaced file that is
    a link stays a link."""

    def test_outputs_never_take_the_users_files(self):
        harness.need_binaries()
        same = (
            ['/JSON=in.hex', 'in.hex'],
            ['/SAVE=bk.hex', '/JSON=bk.hex'],
            ['/JSON=lot.jsonl', '/HISTORY=lot.jsonl', 'in.hex'],
            ['/JSON=picup.cfg', 'in.hex'],
            ['/HISTORY=picup.cfg', 'in.hex'],
            ['/JSON=picup.dat', 'in.hex'],
            ['/LOG=picup.dat', 'in.hex'],
            ['/LOG=in.hex', 'in.hex'],
            ['/LOG=lnk.hex', 'in.hex'],
            ['/JSON=sub/../in.hex', 'in.hex'],
            ['/SAVE=hard.hex', '/JSON=in.hex'],
            ['/LOG=hard.hex', 'in.hex'],
            ['/HISTORY=picup.serial', 'in.hex'],
            ['/JSON=new.json', '/LOG=./new.json', 'in.hex'],
        )
        unwritable = (
            (['/LOG=nodir/x.log', 'in.hex'], 'cannot write /LOG=nodir/x.log: No such file'),
            (['/HISTORY=sub', 'in.hex'], 'cannot write /HISTORY=sub: Is a directory'),
            (['/SAVE=nodir/b.hex'], 'cannot write /SAVE=nodir/b.hex: No such file'),
        )
        for args, reason in [(a, 'are the same file') for a in same] + list(unwritable):
            with self.subTest(args=args):
                work = harness.make_workdir()
                write(os.path.join(work, 'in.hex'), PROGRAM)
                write(os.path.join(work, 'lot.jsonl'), '{"old": 1}\n')
                write(os.path.join(work, 'picup.cfg'), 'INFO\n')
                write(os.path.join(work, 'picup.dat'), default_database())
                os.symlink('in.hex', os.path.join(work, 'lnk.hex'))
                os.link(os.path.join(work, 'in.hex'), os.path.join(work, 'hard.hex'))
                os.mkdir(os.path.join(work, 'sub'))
                before = snapshot(work)
                r = harness.run(args, workdir=work)
                self.assertEqual((r.code, r.stdout), (1, ''), r)
                self.assertIn(reason, r.stderr)
                self.assertEqual(r.sent(), b'', 'refused before the port opens')
                os.unlink(r.path('report.json'))
                self.assertEqual(snapshot(work), before)

    def test_links_stay_links(self):
        harness.need_binaries()
        shared = harness.make_workdir()
        write(os.path.join(shared, 'counter'), '5\n')
        write(os.path.join(shared, 'counter.lock'), '')
        stations = []
        for _ in range(2):
            work = harness.make_workdir()
            os.symlink(os.path.join(shared, 'counter'), os.path.join(work, 'picup.serial'))
            os.symlink(os.path.join(shared, 'counter.lock'),
                       os.path.join(work, 'picup.serial.lock'))
            os.mkdir(os.path.join(work, 'records'))
            os.symlink('records/last.json', os.path.join(work, 'run.json'))
            os.symlink('records/backup.hex', os.path.join(work, 'backup.hex'))
            stations.append(work)
        numbers = []
        for work in stations + stations:
            r = harness.run(['/SERIAL=0x8000,5', '/JSON=run.json', '/SAVE=backup.hex', 'in.hex'],
                            workdir=work, files={'in.hex': PROGRAM})
            self.assertEqual(r.code, 0, r)
            numbers.append(json.loads(read(os.path.join(work, 'records', 'last.json')))['serial'])
            for name in ('picup.serial', 'run.json', 'backup.hex'):
                self.assertTrue(os.path.islink(r.path(name)), name)
            self.assertIn(b':00000001FF', read(os.path.join(work, 'records', 'backup.hex')))
        self.assertEqual(numbers, [5, 6, 7, 8])
        self.assertEqual(read(os.path.join(shared, 'counter')), b'9\n')


class ClosedDescriptorTest(unittest.TestCase):
    """A run started with standard output or error closed opens them on the
    null device: no console text reaches the port."""

    def test_console_text_never_reaches_the_port(self):
        harness.need_binaries()
        plain = harness.run(['in.hex'], files={'in.hex': PROGRAM})
        self.assertEqual(plain.code, 0, plain)
        for closed in ('>&-', '2>&-', '<&- >&- 2>&-'):
            with self.subTest(closed=closed):
                work = harness.make_workdir()
                command = ['bash', '-c', 'exec -a "$0" "$0" "$@" ' + closed,
                           os.path.join(work, 'picup')]
                r = harness.run(['in.hex'], workdir=work, files={'in.hex': PROGRAM},
                                command=command)
                self.assertEqual(r.code, 0, r)
                self.assertEqual(r.sent(), plain.sent())
        # /JSON=- has nowhere to go: said on stderr, nothing sent.
        work = harness.make_workdir()
        command = ['bash', '-c', 'exec -a "$0" "$0" "$@" >&-', os.path.join(work, 'picup')]
        r = harness.run(['/JSON=-', 'in.hex'], workdir=work, files={'in.hex': PROGRAM},
                        command=command)
        self.assertEqual(r.code, 1, r)
        self.assertIn('standard output was closed', r.stderr)
        self.assertEqual(r.sent(), b'')


class RefusedFirstTest(unittest.TestCase):
    """What can be refused is refused before any traffic; what needs the
    chip's sizes right after identification, before any erase or write."""

    def test_refused_before_any_traffic(self):
        harness.need_binaries()
        before_port = (
            (['/SAVE=x.hex', 'x.hex'], '\ncannot open hex input file!\n', 'x.hex: No such file'),
            (['a.hex', 'in.hex'], '', 'two HEX files given (a.hex and in.hex)'),
            (['/READ0x20-0x10'], '', 'ends before it starts'),
            (['/FILL0x10-0x5,1'], '', 'ends before it starts'),
            (['/READ0x0-0xZZ'], '', 'is no range'),
            (['/SERIAL=0x8000,0x', 'in.hex'], '\n/SERIAL= takes', None),
            (['/PART=', 'in.hex'], '', '/PART= names no part'),
        )
        for args, stdout, reason in before_port:
            with self.subTest(args=args):
                r = harness.run(args, files={'in.hex': PROGRAM, 'a.hex': PROGRAM})
                self.assertEqual(r.code, 1, r)
                self.assertTrue(r.stdout.startswith(stdout), r)
                if reason:
                    self.assertIn(reason, r.stderr)
                self.assertEqual(r.sent(), b'')
                self.assertFalse(os.path.exists(r.path('x.hex')))
        # Memory the chip does not have: found after identification, nothing
        # erased or written; the identification frames and VPP off are all.
        identify = harness.run(['/INFO'])
        beyond = (
            ('PIC16F1825', '/FILL0xF100,0x12', 'data EEPROM 0xF000-0xF0FF'),
            ('PIC16F1503', '/FILL0xF000,0x12', 'no data EEPROM'),
            ('PIC16F1825', '/FILL0x2000-0x2005,0x12', 'flash 0x0000-0x1FFF'),
            ('PIC16F1825', '/FILL0x1FFF-0x2000,0x12', 'flash 0x0000-0x1FFF'),
        )
        for part, word, reason in beyond:
            with self.subTest(word=word, part=part):
                r = harness.run([word], part=part)
                self.assertEqual((r.code, r.stdout), (1, NEW_DATABASE), r)
                self.assertIn(reason, r.stderr)
                self.assertEqual(r.report['changed'], {'flash': 0, 'config': 0, 'eeprom': 0})
                self.assertFalse(set(harness.frame_codes(r.sent())) & set(harness.CHANGING_FRAMES))
                if part == 'PIC16F1825':
                    self.assertEqual(r.sent(), identify.sent())
        # The last cells the chip has are still filled.
        r = harness.run(['/FILL0x1FFF,0x12'], save=True)
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.memory[0x1FFF], 0x12)


class SerialNumberTest(unittest.TestCase):
    """/SERIAL= never silently overwrites the program nor starts elsewhere than
    the user expects."""

    def test_serial_numbers_never_overwrite_silently(self):
        harness.need_binaries()
        r = harness.run(['/SERIAL=0x0000,0x1234', 'in.hex'], files={'in.hex': PROGRAM})
        self.assertEqual((r.code, r.stdout), (1, NEW_DATABASE), r)
        self.assertIn('would overwrite program words the HEX file holds at 0x0000-0x0001', r.stderr)
        self.assertFalse(set(harness.frame_codes(r.sent())) & set(harness.CHANGING_FRAMES))
        self.assertFalse(os.path.exists(r.path('picup.serial')))
        # Words the file leaves free take the number.
        r = harness.run(['/SERIAL=0x0100,0x1234', 'in.hex'], files={'in.hex': PROGRAM}, save=True)
        self.assertEqual(r.code, 0, r)
        self.assertEqual((r.memory[0x100], r.memory[0x101]), (0x3434, 0x3412))
        # A counter that has moved on: the number used and how to restart.
        work = r.workdir
        r = harness.run(['/SERIAL=0x0100,0x1234', 'in.hex'], workdir=work)
        self.assertEqual(r.code, 0, r)
        self.assertIn('\nSerial number 4661', r.stdout)
        self.assertIn('holds 4661 as the next number, so the chip gets 4661, not the first '
                      'number 4660', r.stderr)
        write(r.path('picup.serial'), '4662\nmore\n')
        r = harness.run(['/SERIAL=0x0100,0x1234', 'in.hex'], workdir=work)
        self.assertEqual(r.code, 1, r)
        self.assertIn('Serial number file is damaged', r.stdout)
        self.assertEqual(read(r.path('picup.serial')), b'4662\nmore\n')
