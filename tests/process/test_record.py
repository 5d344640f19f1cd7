"""The run record (/JSON=) and the part guard (/PART=), run by the real picup
against picsim: each record parses, carries the schema key, and agrees with
what picsim saw (bytes on the line, the chip's memory, its checksum) and with
what the console said. The fault matrix (test_faults.py) and the interrupt
tests check the record of every fault and of Ctrl+C."""

import hashlib
import json
import os
import re
import signal
import subprocess
import time
import unittest
from datetime import datetime, timezone

import harness

RECORD = 'run.json'
JSON = '/JSON=' + RECORD


def example(part):
    path = os.path.join(harness.SOURCE, 'examples', part, 'blink.hex')
    with open(path) as f:
        return f.read()


def project_version():
    with open(os.path.join(harness.SOURCE, 'CMakeLists.txt')) as f:
        return re.search(r'project\(picup VERSION ([0-9.]+)', f.read()).group(1)


def last_line(text):
    return text.rstrip('\n').rsplit('\n', 1)[-1]


class RecordTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def assert_wire_matches(self, record, r):
        self.assertEqual(record['wire'], {'bytes_out': r.report['bytes_from_host'],
                                          'bytes_in': r.report['bytes_to_host'],
                                          'replies': r.report['replies']})

    def test_full_upload(self):
        text = example('pic16f1825')
        started = datetime.now(timezone.utc).replace(microsecond=0)
        r = harness.run([JSON, 'blink.hex'], files={'blink.hex': text}, save=True)
        self.assertEqual(r.code, 0, r)
        record = r.record()
        self.assertEqual(record['schema'], 'picup-run/1')
        self.assertEqual(record['picup'], project_version())
        when = datetime.strptime(record['started'], '%Y-%m-%dT%H:%M:%SZ').replace(tzinfo=timezone.utc)
        self.assertLessEqual(abs((when - started).total_seconds()), 5)
        self.assertGreater(record['duration_s'], 0)
        self.assertLessEqual(record['duration_s'], r.report['elapsed_s'])
        # picsim adds the port (and /NOSTORE) behind the words given.
        port = record['command'][3]
        self.assertTrue(port.startswith('/COM='), record['command'])
        self.assertEqual(record['command'][1:4], [JSON, 'blink.hex', port])
        self.assertEqual(record['port'], {'path': port[len('/COM='):], 'baud': 115200, 'echo': False,
                                          'status': 0, 'vdd_from_target': False, 'icsp_fail': False})
        memory = r.memory
        self.assertEqual(record['target'], {
            'name': 'PIC16F1825', 'device_id': memory[0x8006], 'revision': memory[0x8006] & 0x1F,
            'user_id_words': [0x3FFF] * 4, 'flash_size': 8192, 'row_size': 32, 'eeprom_size': 256,
            'family': 'standard'})
        words = harness.parse_hex(text)
        self.assertEqual(record['file'], {
            'path': 'blink.hex', 'size': len(text), 'accepted': True,
            'sha256': hashlib.sha256(text.encode()).hexdigest(), 'cells': harness.region_cells(words)})
        rows = {a // 32 for a in words if a < 0x8000}
        stages = record['stages']
        self.assertTrue(stages['bulk_erase'])
        self.assertEqual(stages['flash'], {'rows_written': len(rows), 'rows_unchanged': 0,
                                           'rows_verified': len(rows)})
        self.assertEqual(stages['eeprom']['bytes_written'], record['file']['cells']['eeprom'])
        self.assertEqual(stages['eeprom']['bytes_verified'], record['file']['cells']['eeprom'])
        self.assertEqual(stages['user_id'], {'written': True})
        config = [memory[0x8007], memory[0x8008]]
        self.assertEqual(stages['config'], {'written': True, 'values': config, 'read_back': config})
        self.assertEqual(stages['preserved'], {'osccal': None, 'config_bits': None})
        self.assertEqual(record['checksum'], harness.flash_checksum(memory, 8192))
        self.assertEqual((record['mismatches'], record['mismatch_total']), ([], 0))
        self.assert_wire_matches(record, r)
        self.assertEqual((record['result'], record['message'], record['exit_code']), ('ok', None, 0))
        self.assertEqual(r.temp_files(), [])

    def test_calibrated_part_and_range_commands(self):
        # PIC12F629 family: the factory calibration word and bits are kept,
        # and the checksum counts the kept word.
        text = example('pic12f629')
        r = harness.run([JSON, 'blink.hex'], part='PIC12F629', files={'blink.hex': text}, save=True)
        self.assertEqual(r.code, 0, r)
        record = r.record()
        self.assertEqual(record['target']['family'], 'PIC12F629 family')
        self.assertEqual(record['target']['row_size'], 0)
        self.assertEqual(record['file']['cells'], harness.region_cells(harness.parse_hex(text), True))
        self.assertEqual(record['stages']['preserved']['osccal'], r.memory[0x3FF])
        self.assertEqual(record['stages']['preserved']['config_bits'], r.memory[0x8007] & 0x3000)
        self.assertEqual(record['checksum'], harness.flash_checksum(r.memory, 1024))
        self.assert_wire_matches(record, r)
        # A fill under the file: the file's own cells are counted, the chip
        # gets both, and the checksum is that of the chip.
        text = example('pic16f1825')
        r = harness.run([JSON, '/FILL0x40-0x7F,0x123', 'blink.hex'], files={'blink.hex': text},
                        save=True)
        self.assertEqual(r.code, 0, r)
        record = r.record()
        self.assertEqual(record['file']['cells'], harness.region_cells(harness.parse_hex(text)))
        self.assertEqual(r.memory[0x40], 0x123)
        self.assertEqual(record['checksum'], harness.flash_checksum(r.memory, 8192))

    def test_verify_and_the_checksum(self):
        text = example('pic16f1825')
        words = harness.parse_hex(text)
        files = {'blink.hex': text}
        # A blank chip: every cell of the file differs.
        r = harness.run([JSON, '/VERIFY', 'blink.hex'], files=files, state=True)
        self.assertEqual(r.code, 1, r)
        record = r.record()
        self.assertEqual(record['result'], 'failed')
        self.assertEqual(record['message'], last_line(r.stdout))
        self.assertEqual(record['mismatch_total'], len(words))
        self.assertEqual(len(record['mismatches']), min(len(words), 100))
        for m in record['mismatches']:
            eeprom = m['region'] == 'data EEPROM'
            self.assertEqual(m['expected'], words[m['address']] & (0xFF if eeprom else 0x3FFF), m)
            self.assertEqual(m['chip'], 0xFF if eeprom else 0x3FFF, m)
        self.assertIsNone(record['checksum'])
        self.assert_wire_matches(record, r)
        # A blank check reads every row of flash and so knows the checksum:
        # its traffic is that of the same run without a record.
        plain = harness.run(['/VERIFY'], workdir=r.workdir, state=True)
        blank = harness.run([JSON, '/VERIFY'], workdir=r.workdir, state=True)
        self.assertEqual((plain.code, blank.code), (0, 0), blank)
        self.assertEqual(blank.sent(), plain.sent())
        erased = blank.record()['checksum']
        self.assertEqual(erased, 0x3FFF * 8192 % 0x10000)
        # Runs that do not know every word read the flash once, after their
        # own work; the console stays as it was.
        up = harness.run([JSON, 'blink.hex'], workdir=r.workdir, state=True)
        self.assertEqual(up.code, 0, up)
        checksum = up.record()['checksum']
        self.assertNotEqual(checksum, erased)
        # /UPDATE of a changed file reads every row (the file has configuration
        # words, so a row it does not hold must be erased) and rewrites two.
        words[0x0001], words[0x0100] = 0x1234, 0x0055
        changed = harness.run([JSON, '/UPDATE', 'new.hex'], workdir=r.workdir, state=True,
                              files={'new.hex': harness.make_hex(words)}, save=True)
        self.assertEqual(changed.code, 0, changed)
        self.assertEqual(changed.record()['stages']['flash'],
                         {'rows_written': 2, 'rows_unchanged': 254, 'rows_verified': 2})
        self.assertEqual(changed.record()['checksum'], harness.flash_checksum(changed.memory, 8192))
        self.assert_wire_matches(changed.record(), changed)
        up = harness.run([JSON, 'blink.hex'], workdir=r.workdir, state=True)
        self.assertEqual(up.record()['checksum'], checksum)
        for args in (['/VERIFY', 'blink.hex'], ['/INFO']):
            plain = harness.run(args, workdir=r.workdir, state=True)
            known = harness.run([JSON] + args, workdir=r.workdir, state=True)
            self.assertEqual((plain.code, known.code), (0, 0), known)
            self.assertEqual(known.stdout, plain.stdout)
            self.assertEqual(known.sent()[:len(plain.sent()) - 2], plain.sent()[:-2])
            reads = harness.frame_codes(known.sent()[len(plain.sent()) - 2:]).count(0x44)
            # /VERIFY of a file with configuration words compares every row
            # (the upload's bulk erase leaves the others erased) and reads the
            # configuration words, so the checksums cost no read; /INFO reads
            # the configuration words, then the flash once for both, in reads
            # of up to 255 words.
            self.assertEqual(reads, 0 if '/VERIFY' in args else 1 + -(-8192 // 255))
            self.assertEqual(known.record()['checksum'], checksum)
            self.assert_wire_matches(known.record(), known)

    def test_json_to_stdout(self):
        files = {'blink.hex': example('pic16f1825')}
        plain = harness.run(['blink.hex'], files=files)
        r = harness.run(['/JSON=-', 'blink.hex'], files=files)
        self.assertEqual((plain.code, r.code), (0, 0), r)
        record = json.loads(r.stdout)  # the whole of stdout is one document
        self.assertEqual((record['schema'], record['result']), ('picup-run/1', 'ok'))
        self.assertTrue(r.stderr.startswith(plain.stdout), r)
        self.assertEqual(r.temp_files(), [])
        # A failure too: the record on stdout, the message on stderr.
        r = harness.run(['/JSON=-', 'blink.hex'], sim_args=['--silent'], files=files)
        self.assertEqual(r.code, 1)
        self.assertEqual(json.loads(r.stdout)['message'], 'no Programmer connected!')
        self.assertTrue(r.stderr.startswith('\nno Programmer connected!\n'), r)

    def test_no_programmer(self):
        r = harness.run([JSON, 'blink.hex'], sim_args=['--silent'],
                        files={'blink.hex': example('pic16f1825')})
        self.assertEqual(r.code, 1)
        record = r.record()
        self.assertEqual((record['result'], record['message']), ('failed', 'no Programmer connected!'))
        self.assertIsNone(record['port']['status'])
        self.assertFalse(record['port']['vdd_from_target'])
        self.assertEqual(set(record['target'].values()), {None})
        self.assertIsNone(record['file'])
        # One reply waited for at the set rate and one at each of the nine
        # other usual rates.
        self.assertEqual(record['wire'], {'bytes_out': r.report['bytes_from_host'], 'bytes_in': 0,
                                          'replies': 10})

    def test_hex_errors(self):
        bad = ':0400000005280000CF\n:10000000ZZ\n'
        r = harness.run([JSON, 'bad.hex'], files={'bad.hex': bad})
        self.assertEqual(r.code, 1)
        record = r.record()
        # The reader's fault goes to stderr only; the console has no message.
        self.assertEqual((record['result'], record['message']), ('failed', None))
        self.assertEqual(record['file'], {
            'path': 'bad.hex', 'size': len(bad), 'sha256': hashlib.sha256(bad.encode()).hexdigest(),
            'accepted': False, 'cells': {'flash': 0, 'eeprom': 0, 'user_id': 0, 'config': 0}})
        self.assertEqual(record['target']['name'], 'PIC16F1825')
        self.assert_wire_matches(record, r)
        # A fault the reader prints is the record's message.
        big = harness.make_hex({0x2000: 1})
        r = harness.run([JSON, 'big.hex'], files={'big.hex': big})
        self.assertEqual(r.code, 1)
        self.assertEqual(r.record()['message'], 'Data from hexfile exceed flashsize!')
        self.assertTrue(r.stdout.endswith('\nData from hexfile exceed flashsize!\n'), r)
        # A name with a quote, a UTF-8 letter and a byte of an 8-bit code page
        # (0xE4, passed through the file system's escape): the record stays
        # valid JSON and names the byte by its Latin-1 letter.
        name = 'missing "\u00e4"' + os.fsdecode(b'\xe4') + '.hex'
        r = harness.run([JSON, name])
        record = r.record()
        self.assertEqual((record['message'], record['file']), ('cannot open hex input file!', None))
        self.assertEqual(record['command'][2], 'missing "\u00e4"\u00e4.hex')

    def test_part_guard(self):
        files = {'blink.hex': example('pic16f1825')}
        for part, sim_args, told in (
                ('PIC16F1503', [], 'PIC16F1503'),
                ('PIC16F1825', ['--id', '3EE0'], '(unknown) 0x3EE0')):
            r = harness.run([JSON, '/PART=PIC16F1825', '/READ0-0x10', 'blink.hex'], part=part,
                            sim_args=sim_args, files=files)
            message = 'Target is %s, not PIC16F1825!' % told
            self.assertEqual(r.code, 1, r)
            # Ended right after identification: no read-out, nothing changed.
            self.assertEqual(r.stdout, '\nNew file (picup.dat) written\n\n' + message + '\n')
            codes = harness.frame_codes(r.sent())
            self.assertFalse(set(codes) & set(harness.CHANGING_FRAMES), codes)
            self.assertEqual(codes.count(0x44), 2)  # the user IDs and the device ID
            record = r.record()
            self.assertEqual((record['message'], record['expected_part']), (message, 'PIC16F1825'))
        # The right part, named in any case, runs as without the option.
        plain = harness.run(['blink.hex'], files=files)
        guarded = harness.run(['/PART=pic16f1825', 'blink.hex'], files=files)
        self.assertEqual((plain.code, guarded.code), (0, 0), guarded)
        self.assertEqual(guarded.stdout, plain.stdout)
        self.assertEqual(guarded.sent(), plain.sent())

        # A name the device database does not know, or none, is refused
        # before the port is opened; the nearest names are offered.
        for arg, message, hint in (
                ('/PART=16F1825', 'Unknown part 16F1825!', 'did you mean PIC16F1825?'),
                ('/PART=PIC16F1939X', 'Unknown part PIC16F1939X!', 'did you mean PIC16F1939?')):
            r = harness.run([JSON, arg, 'blink.hex'], files=files)
            self.assertEqual((r.code, r.stdout), (1, '\n' + message + '\n'), r)
            self.assertEqual(r.sent(), b'')
            self.assertEqual(r.record()['message'], message)
            self.assertIn('picup: ' + hint + ' (picup /PARTS lists every part)\n', r.stderr)
        # The parts of the user's picup.dat are known names too.
        dat = {'picup.dat': 'PICNEW 0x3333 0x3FFF 0x0020 0x1000 E:64\n'}
        r = harness.run(['/PART=picnew', 'blink.hex'], files=dict(files, **dat))
        self.assertEqual((r.code, r.stdout), (1, '\nTarget is PIC16F1825, not picnew!\n'), r)
        r = harness.run_plain(['/CHECKSUM', '/PART=picnew', 'blink.hex'], files=dict(files, **dat))
        self.assertEqual(r.code, 0, r)
        self.assertRegex(r.stdout, r'^Checksum: 0x[0-9A-F]{4}\n$')

        # /PARTS: one line a part, the user's first, without a port.
        r = harness.run_plain(['/PARTS'], files=dat)
        self.assertEqual(r.code, 0, r)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], 'PICNEW       ID 0x3333/0x3FFF  flash 0x1000  EEPROM   64  row/latches 32/32'
                                   '  standard')
        for line in ('PIC16F1939   ID 0x23C0/0x3FE0  flash 0x4000  EEPROM  256  row/latches 32/8  standard',
                     'PIC16F1459   ID 0x3023/0x3FFF  flash 0x2000  EEPROM    0  row/latches 32/32  standard',
                     'PIC12F629    ID 0x0F80/0x3FE0  flash 0x0400  EEPROM  128  row/latches 0/1'
                     '  PIC12F629 family'):
            self.assertIn(line, lines)
        names = [line.split()[0] for line in lines]
        self.assertEqual(len(names), len(set(names)))
        self.assertGreaterEqual(len(names), 157)

    def test_unwritable_record_ends_the_run_first(self):
        r = harness.run(['/JSON=nowhere/run.json', 'blink.hex'],
                        files={'blink.hex': example('pic16f1825')})
        self.assertEqual(r.code, 1)
        self.assertEqual(r.stdout, '\nCannot write the run record nowhere/run.json!\n')
        self.assertEqual(r.sent(), b'')
        self.assertFalse(os.path.exists(r.path('nowhere')))
        # A record that cannot take its name (a directory has it) is found
        # before the port opens, and leaves no temporary file.
        workdir = harness.make_workdir()
        os.mkdir(os.path.join(workdir, RECORD))
        r = harness.run([JSON, 'blink.hex'], files={'blink.hex': example('pic16f1825')},
                        workdir=workdir)
        self.assertEqual((r.code, r.stdout), (1, ''), r)
        self.assertIn('picup: cannot write /JSON=run.json: Is a directory', r.stderr)
        self.assertEqual(r.sent(), b'')
        self.assertEqual(r.temp_files(), [])


class RecordKillTest(unittest.TestCase):
    """kill -9 at any moment of a run leaves the old record or a complete new
    one under the record's name, never a part of one."""

    OLD = '{"old": "record"}\n'

    def run_killed(self, workdir, delay):
        server = subprocess.Popen([harness.PICSIM, '--serve', '--part', 'PIC16F1825'],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            with server.stdout:
                port = server.stdout.readline().strip()
            start = time.monotonic()
            picup = subprocess.Popen([os.path.join(workdir, 'picup'), '/COM=' + port, JSON,
                                      'blink.hex'], cwd=workdir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if delay is None:
                picup.wait(timeout=30)
            else:
                time.sleep(delay)
                picup.send_signal(signal.SIGKILL)
                picup.wait(timeout=30)
            return time.monotonic() - start, picup.returncode
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)

    def test_kill_at_random_moments(self):
        harness.need_binaries()
        import random
        workdir = harness.make_workdir()
        with open(os.path.join(workdir, 'blink.hex'), 'w') as f:
            f.write(example('pic16f1825'))
        record = os.path.join(workdir, RECORD)
        duration, code = self.run_killed(workdir, None)
        self.assertEqual(code, 0)
        seen = set()
        rng = random.Random(19)
        for k in range(16):
            with open(record, 'w') as f:
                f.write(self.OLD)
            # Half of the kills fall into the run's last 60 ms, where the exit
            # path switches VPP off and writes the record.
            delay = rng.uniform(0, duration) if k % 2 else rng.uniform(duration - 0.06, duration + 0.01)
            self.run_killed(workdir, max(delay, 0))
            with open(record) as f:
                text = f.read()
            if text == self.OLD:
                seen.add('old')
                continue
            self.assertEqual(json.loads(text)['schema'], 'picup-run/1', text)
            seen.add('new')
        self.assertIn("old", seen)
        # Whatever a kill left behind carries a temporary name, never the record's.
        names = os.listdir(workdir)
        self.assertEqual([n for n in names if n.startswith(RECORD) and n != RECORD
                          and not n.endswith('.tmp')], [])


if __name__ == '__main__':
    unittest.main()
