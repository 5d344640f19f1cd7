"""The older mid-range families end to end, one part of every kind: the real
picup binary against picsim's model of the part (written from the family's
programming algorithm, not from picup), through upload, /VERIFY, /UPDATE of
one changed word, a /SAVE= round trip, a code-protected chip and an
identification without /PART=. Then the emulator's own faults, provoked with
raw frames: what picsim must catch when a host gets an algorithm wrong."""
import os
import termios
import time
import tty
import unittest

import harness

EXAMPLES = os.path.join(harness.SOURCE, 'examples')


def example_words(chip):
    with open(os.path.join(EXAMPLES, chip, 'blink.hex')) as f:
        return harness.parse_hex(f.read())


def without_eeprom(words):
    return {a: w for a, w in words.items() if a < 0x2100}


def with_words(words, extra):
    out = dict(words)
    out.update(extra)
    return out


# part, its HEX file's words (file map: configuration at 0x2000, EEPROM at
# 0x2100), configuration masks, the code-protection bit of configuration
# word 1, and how /UPDATE rewrites one changed word: the row or block it is
# in ('row'), or the full upload of a chip that only erases whole ('full').
KINDS = [
    ('PIC16F690', example_words('pic16f690'), [0x0FFF], 0x40, 'row'),
    ('PIC12F683', example_words('pic12f683'), [0x0FFF], 0x40, 'row'),
    # Eight latches, two configuration words, the calibration word above them.
    ('PIC16F887', with_words(example_words('pic16f690'), {0x2008: 0x3EFF}), [0x3FFF, 0x0700], 0x40, 'row'),
    ('PIC16F917', example_words('pic16f690'), [0x1FFF], 0x40, 'row'),
    ('PIC16F628A', example_words('pic16f628a'), [0x21FF], 0x2000, 'full'),
    ('PIC16F84A', example_words('pic16f84a'), [0x3FFF], 0x10, 'full'),
    ('PIC12F615', without_eeprom(example_words('pic12f683')), [0x03FF], 0x40, 'full'),
    ('PIC16F616', without_eeprom(example_words('pic12f683')), [0x03FF], 0x40, 'full'),
    ('PIC16F88', example_words('pic16f88'), [0x3FFF, 0x0003], 0x2000, 'row'),
    ('PIC16F877A', example_words('pic16f877a'), [0x2FCF], 0x2000, 'row'),
]


def expected_cells(words, masks):
    """What the chip holds after an upload of the file: {host address: value}."""
    cells = {}
    for a, w in words.items():
        if a < 0x2000:
            cells[a] = w & 0x3FFF
        elif a < 0x2004:
            cells[0x8000 + a - 0x2000] = w & 0x3FFF
        elif 0x2007 <= a < 0x2007 + len(masks):
            cells[0x8000 + a - 0x2000] = w & masks[a - 0x2007]
        elif a >= 0x2100:
            cells[0xF000 + a - 0x2100] = w & 0xFF
    return cells


def calibration(memory, masks):
    """The words above the configuration words: the factory's calibration."""
    return {a: v for a, v in memory.items() if 0x8007 + len(masks) <= a < 0x8010}


class Chip:
    """A chip of `part` kept in a state file across runs in one directory."""

    def __init__(self, part):
        self.part = part
        self.workdir = harness.make_workdir()

    def run(self, args, files=None, sim_args=()):
        return harness.run(['/PART=' + self.part] + args, part=self.part, workdir=self.workdir,
                           state=True, save=True, files=files, sim_args=sim_args)


class MidrangeKinds(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def check_clean(self, r):
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.report.get('faults'), [], r.report.get('faults'))
        self.assertEqual(r.report.get('lost_operations'), 0)
        self.assertTrue(r.report['last_frame_vpp_off'])

    def check_holds(self, memory, cells, part):
        for a, v in cells.items():
            self.assertEqual(memory.get(a, 0xFF if a >= 0xF000 else 0x3FFF), v,
                             '%s at 0x%04X' % (part, a))

    def test_upload_verify_update_save_protect(self):
        for part, words, masks, cp_bit, update in KINDS:
            with self.subTest(part=part):
                chip = Chip(part)
                factory = calibration(chip.run(['/INFO']).memory, masks)
                r = chip.run(['prog.hex'], files={'prog.hex': harness.make_hex(words)})
                self.check_clean(r)
                self.assertTrue(r.stdout.endswith('\nOk!\n'), r)
                self.check_holds(r.memory, expected_cells(words, masks), part)
                self.assertEqual(calibration(r.memory, masks), factory, 'calibration words kept')

                r = chip.run(['/VERIFY', 'prog.hex'])
                self.check_clean(r)
                self.assertIn('Verifying Config Words...\nOk!', r.stdout)

                # One changed program word: a row or block rewritten, or the
                # whole chip where it only erases whole.
                changed = with_words(words, {0x12: words.get(0x12, 0x3FFF) ^ 0x0101})
                r = chip.run(['/UPDATE', 'new.hex'], files={'new.hex': harness.make_hex(changed)})
                self.check_clean(r)
                if update == 'row':
                    self.assertRegex(r.stdout, r'Program flash: 1 of \d+ rows written')
                else:
                    self.assertIn('Target differs - full upload', r.stdout)
                self.check_holds(r.memory, expected_cells(changed, masks), part)
                self.assertEqual(calibration(r.memory, masks), factory)

                # The saved file gives a blank chip back what this one holds.
                r = chip.run(['/SAVE=back.hex'])
                self.check_clean(r)
                held = r.memory
                blank = Chip(part)
                with open(os.path.join(chip.workdir, 'back.hex')) as f:
                    back = f.read()
                r = blank.run(['back.hex'], files={'back.hex': back})
                self.check_clean(r)
                self.assertEqual(r.memory, held)

                # Code protection on: /VERIFY says so, an upload clears it.
                protect = ['--poke', '8007=%04X' % (expected_cells(words, masks)[0x8007] & ~cp_bit)]
                r = chip.run(['/VERIFY', 'prog.hex'], sim_args=protect)
                self.assertEqual(r.code, 1, r)
                self.assertIn('Target is code protected', r.stdout)
                r = chip.run(['/SAVE=locked.hex'], sim_args=protect)
                self.assertEqual(r.code, 0, r)
                self.assertIn('code protected: its program memory reads as zeros in locked.hex', r.stderr)
                r = chip.run(['prog.hex'], sim_args=protect)
                self.check_clean(r)
                self.check_holds(r.memory, expected_cells(words, masks), part)
                self.assertEqual(calibration(r.memory, masks), factory)

    def test_unnamed_older_part_is_not_found_at_8_5_volts(self):
        for part in ('PIC16F690', 'PIC16F84A', 'PIC16F877A'):
            with self.subTest(part=part):
                r = harness.run(['/INFO'], part=part, allow_faults=True)
                self.assertEqual(r.code, 1, r)
                self.assertTrue(r.stdout.endswith('\nno target detected!\n'), r)
                self.assertIn('/PART=<name>', r.stderr)
                self.assertTrue(any('8.5 V below' in f for f in r.report['faults']), r.report)
                # VPP was never raised on a guess.
                codes = harness.frame_codes(r.sent())
                self.assertNotIn(0x09, codes)
                self.assertEqual(r.sent()[2:4], bytes([0xD4, 85]))
        # PART= in picup.cfg names the part as /PART= does.
        r = harness.run(['/INFO'], part='PIC16F628A', files={'picup.cfg': 'PART=PIC16F628A\n'})
        self.assertEqual(r.code, 0, r)
        self.assertIn('= PIC16F628A', r.stdout)
        self.assertEqual(r.sent()[2:4], bytes([0xD4, 130]))
        self.assertEqual(r.report['faults'], [])


class PartTable(unittest.TestCase):
    def test_parts_lists_every_part_once_by_family(self):
        harness.need_binaries()
        r = harness.run_plain(['/PARTS'])
        self.assertEqual(r.code, 0, r)
        lines = [l for l in r.stdout.split('\n') if l.strip()]
        names = [l.split()[0] for l in lines]
        self.assertEqual(len(names), len(set(names)))
        family_of = {l.split()[0]: l.split('  ')[-1].strip() for l in lines}
        for family, part in (('PIC16F690 family', 'PIC16F887'), ('PIC16F628A family', 'PIC16F648A'),
                             ('PIC16F84A', 'PIC16F84A'), ('PIC12F615 family', 'PIC16HV616'),
                             ('PIC16F88 family', 'PIC16F819'), ('PIC16F877A family', 'PIC16F873A'),
                             ('PIC12F629 family', 'PIC16F676')):
            self.assertEqual(family_of[part], family)


def frame(code, *args):
    body = bytes([code] + list(args))
    return body + bytes([-sum(body) & 0xFF])


def load(word):
    return frame(0x82, word & 0xFF, word >> 8)


def delay(us):
    return frame(0xE6, us & 0xFF, us >> 8)


def command(code):
    return frame(code)


START = frame(0xC1) + frame(0xD4, 130) + frame(0xC3)


class EmulatorFaults(unittest.TestCase):
    """Raw frames a wrong host would send, and the fault picsim reports."""

    def serve(self, part, data):
        workdir = harness.make_workdir()
        server = harness.Server(workdir, 'sim', part=part)
        fd = os.open(server.path, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            os.write(fd, data + frame(0xC0))
            # The sync's ACK: every frame before it has been carried out.
            deadline = time.time() + 5
            got = b''
            while time.time() < deadline and not got.endswith(b'\x06'):
                try:
                    got += os.read(fd, 64)
                except BlockingIOError:
                    time.sleep(0.01)
            os.write(fd, frame(0xC2))
            termios.tcdrain(fd)
            time.sleep(0.05)
        finally:
            os.close(fd)
        return server.stop(allow_faults=True).report['faults']

    def test_fault_matrix(self):
        load_config = frame(0x80, 0, 0)
        cases = [
            # Reset Address: none of the older parts has it.
            ('PIC16F690', command(0x16), 'ICSP command 0x16 the part does not have'),
            # Row erase for the PIC16F84A, End Programming for a PIC16F690.
            ('PIC16F84A', command(0x11), 'ICSP command 0x11 the part does not have'),
            ('PIC16F690', command(0x0A), 'ICSP command 0x0A the part does not have'),
            # A cycle given less than the part's time.
            ('PIC16F690', load(0x1234) + command(0x08) + delay(1000) + command(0x06),
             'shorter than the part\'s 3000 us'),
            # Externally timed programming never ended.
            ('PIC12F615', load(0x1234) + command(0x18) + delay(3000) + command(0x06),
             'never ended before command 0x06'),
            ('PIC16F88', load(0x1234) + command(0x18) + delay(2000), 'never ended (VPP off)'),
            # Bulk erase issued at the calibration word.
            ('PIC16F690', load_config + frame(0xD5, 8) + command(0x06) + command(0x09) + delay(6000)
             + command(0x06), 'destroyed the calibration words'),
            # Row erase in configuration space reaches the calibration word.
            ('PIC12F683', load_config + command(0x11) + delay(6000) + command(0x06),
             'row erase in configuration space destroyed the calibration words'),
            # The PIC16F628A erases only after a Load Data of 0x3FFF.
            ('PIC16F628A', command(0x09) + delay(6000), 'without a Load Data of 0x3FFF'),
            # VPP above the part's maximum.
            ('PIC16F690', frame(0xD4, 135), 'above the part\'s maximum 12.0 V'),
        ]
        for part, data, fault in cases:
            with self.subTest(part=part, fault=fault):
                faults = self.serve(part, START + data)
                self.assertTrue(any(fault in f for f in faults), faults)
        # The right sequence has none.
        faults = self.serve('PIC16F690', load(0x1234) + command(0x08) + delay(3000) + command(0x06))
        self.assertEqual(faults, [])


if __name__ == '__main__':
    unittest.main()
