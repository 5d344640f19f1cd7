"""/VERIFY, /UPDATE and edits of configuration words against picsim: what
each leaves on the chip, what crosses the wire, and what the console says."""
import os
import shutil
import unittest

import harness

EXAMPLES = os.path.join(harness.SOURCE, 'examples')
ROW_ERASE, BULK_ERASE, LOAD_PROGRAM = 0x11, 0x09, 0x82
FACTORY_OSCCAL = 0x3454


def example(chip):
    with open(os.path.join(EXAMPLES, chip, 'blink.hex')) as f:
        return f.read()


def codes(result):
    return harness.frame_codes(result.sent())


class ChipState:
    """A chip of `part` that holds `program`, kept in a state file; each run
    starts from a copy of it unless `keep` is given."""

    def __init__(self, part, program=None, files=None):
        self.part = part
        self.files = dict(files or {})
        if program is not None:
            self.files['prog.hex'] = program
        r = harness.run(['prog.hex'] if program else ['/INFO'], part=part, files=self.files,
                        state=True)
        assert r.code == 0, r
        self.workdir = r.workdir

    def run(self, args, sim_args=(), keep=False, files=None):
        workdir = self.workdir
        if not keep:
            workdir = harness.make_workdir()
            for name in os.listdir(self.workdir):
                if name.endswith(('.hex', '.dat', '.state')):
                    shutil.copy(os.path.join(self.workdir, name), workdir)
        return harness.run(args, part=self.part, sim_args=sim_args, workdir=workdir,
                           state=True, save=True, files=files)


class VerifyTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def test_equal_chip_and_each_region_poked(self):
        chip = ChipState('PIC16F1825', example('pic16f1825'))
        r = chip.run(['/VERIFY', 'prog.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.stdout, '\nVerifying program flash...\nVerifying Data EEPROM...'
                                   '\nVerifying User ID...\nVerifying Config Words...\nOk!\n')
        self.assertFalse(set(codes(r)) & set(harness.CHANGING_FRAMES), 'nothing is written')
        self.assertTrue(r.report['last_frame_vpp_off'])

        r = chip.run(['/VERIFY', 'prog.hex'],
                     sim_args=['--poke', '5=1234', '--poke', 'F003=77', '--poke', '8001=5',
                               '--poke', '8008=1ABC'])
        self.assertEqual(r.code, 1, r)
        self.assertIn('\nMismatch in program flash at 0x0005: chip 0x1234, file 0x0023', r.stdout)
        self.assertIn('\nMismatch in data EEPROM at 0xF003: chip 0x77, file 0x43', r.stdout)
        self.assertIn('\nMismatch in user ID at 0x8001: chip 0x0005, file 0x0001', r.stdout)
        self.assertIn('\nMismatch in config word at 0x8008: chip 0x1ABC, file 0x1FFF', r.stdout)
        self.assertTrue(r.stdout.endswith('\n4 mismatches!\n'), r.stdout)
        self.assertNotIn('Ok!', r.stdout)
        self.assertFalse(set(codes(r)) & set(harness.CHANGING_FRAMES))
        self.assertEqual(r.report['changed'], {'flash': 0, 'config': 0, 'eeprom': 0})

    def test_blank_check(self):
        r = ChipState('PIC16F1825').run(['/VERIFY'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.stdout, '\nVerifying program flash...\nVerifying Data EEPROM...'
                                   '\nVerifying User ID...\nOk!\n')
        r = ChipState('PIC16F1825', example('pic16f1825')).run(['/VERIFY'])
        self.assertEqual(r.code, 1, r)
        self.assertIn('\nMismatch in program flash at 0x0000: chip 0x2805, expected 0x3FFF', r.stdout)
        self.assertRegex(r.stdout, r'\n\d+ mismatches, the first 20 listed!\n$')
        # The PIC12F629 family's calibration word and bits are no difference.
        r = ChipState('PIC12F629').run(['/VERIFY'])
        self.assertEqual(r.code, 0, r)

    def test_pic12f629_kept_words_and_code_protection(self):
        chip = ChipState('PIC12F629', example('pic12f629'))
        r = chip.run(['/VERIFY', 'prog.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.endswith('\nOk!\n'))
        # Code protection on: the program reads as zeros, which is said once.
        r = chip.run(['/VERIFY', 'prog.hex'], sim_args=['--poke', '8007=2164'])
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.stdout, '\nTarget is code protected - program memory cannot be read!\n')


class UpdateTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def assert_chip_holds_example(self, r, chip):
        full = harness.run(['prog.hex'], part=r.report['part'],
                           files={'prog.hex': example(chip)}, save=True)
        self.assertEqual(r.memory, full.memory)

    def test_unchanged_and_one_row_changed(self):
        chip = ChipState('PIC16F1825', example('pic16f1825'))
        r = chip.run(['/UPDATE', 'prog.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertFalse(set(codes(r)) & set(harness.CHANGING_FRAMES), r.stdout)
        self.assertIn('\nProgram flash: 0 of 256 rows written, 256 unchanged', r.stdout)
        self.assertTrue(r.stdout.endswith('\nConfig Words: unchanged\nOk!\n'), r.stdout)
        self.assert_chip_holds_example(r, 'pic16f1825')

        # One word poked in row 0x20, one EEPROM byte: that row, that byte.
        r = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', '25=0', '--poke', 'F001=0'])
        self.assertEqual(r.code, 0, r)
        c = codes(r)
        self.assertEqual(c.count(ROW_ERASE), 1)
        self.assertEqual(c.count(BULK_ERASE), 0)
        self.assertEqual(c.count(0x83), 1)
        self.assertIn('\nProgram flash: 1 of 256 rows written, 255 unchanged', r.stdout)
        self.assertIn('\nData EEPROM: 1 of 4 bytes written, 3 unchanged', r.stdout)
        self.assert_chip_holds_example(r, 'pic16f1825')

        # A row the file does not hold: a full upload of a file with
        # configuration words would leave it erased, so does the update.
        r = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', '1000=1234'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(codes(r).count(ROW_ERASE), 1)
        self.assertEqual(codes(r).count(LOAD_PROGRAM), 0)
        self.assert_chip_holds_example(r, 'pic16f1825')

    def test_config_changed_means_full_upload(self):
        chip = ChipState('PIC16F1825', example('pic16f1825'))
        r = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', '8008=1ABC', '--poke', '300=1'])
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith('\nConfig words differ - full upload\nBulk Erasing'),
                        r.stdout)
        self.assert_chip_holds_example(r, 'pic16f1825')

    def test_pic12f629_equal_and_not_equal(self):
        chip = ChipState('PIC12F629', example('pic12f629'))
        r = chip.run(['/UPDATE', 'prog.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.stdout, '\nTarget already holds it - nothing written\nOk!\n')
        self.assertFalse(set(codes(r)) & set(harness.CHANGING_FRAMES))
        r = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', '0=1234'])
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith('\nTarget differs - full upload\nBulk Erasing'))
        self.assert_chip_holds_example(r, 'pic12f629')
        self.assertEqual(r.memory.get(0x3FF), FACTORY_OSCCAL)

    def test_fault_in_the_middle_never_says_ok(self):
        chip = ChipState('PIC16F1825', example('pic16f1825'))
        clean = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', '25=0'])
        frames = len(codes(clean))
        for fault in (['--nak-before-frame', str(frames - 6)],
                      ['--corrupt-read', '20'], ['--hangup-after-frame', str(frames // 2)]):
            r = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', '25=0'] + fault)
            self.assertEqual(r.code, 1, (fault, r))
            self.assertNotIn('Ok!', r.stdout)
            if '--hangup-after-frame' not in fault:
                self.assertTrue(r.report['last_frame_vpp_off'], fault)


class ConfigEditTest(unittest.TestCase):
    """A range command that changes configuration words changes only the cells
    it names, though the chip needs a bulk erase to take them."""

    def setUp(self):
        harness.need_binaries()

    def test_standard_family_keeps_program_and_ids(self):
        chip = ChipState('PIC16F1825', example('pic16f1825'))
        before = chip.run(['/INFO']).memory
        for args, changed in ((['/FILL0x8008,0x1FFF'], {0x8008: 0x1FFF}),
                              (['/ERASE0x8007-0x8008'], {0x8007: 0x3FFF, 0x8008: 0x3FFF}),
                              (['/FILL0x8001,9'], {0x8001: 9})):
            r = chip.run(args)
            self.assertEqual(r.code, 0, (args, r))
            self.assertTrue(r.stdout.endswith('Ok!\n'))
            want = dict(before)
            want.update(changed)
            self.assertEqual({a: v for a, v in r.memory.items() if v != 0x3FFF and a < 0xF000},
                             {a: v for a, v in want.items() if v != 0x3FFF and a < 0xF000}, args)
        # An erase that reaches the configuration words from 0x100 keeps 0..0xFF.
        r = chip.run(['/ERASE0x100-'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual({a: v for a, v in r.memory.items() if a < 0x100},
                         {a: v for a, v in before.items() if a < 0x100})
        self.assertFalse(any(0x100 <= a < 0x8000 for a in r.memory))
        # A HEX file with configuration words is still the whole program.
        r = chip.run(['/FILL0x8001,9', 'other.hex'],
                     files={'other.hex': harness.make_hex({0x10: 0x1234, 0x8007: 0x3FE4})})
        self.assertEqual({a: v for a, v in r.memory.items() if a < 0x8000}, {0x10: 0x1234})

    def test_pic12f629_explicit_erased_config_is_written(self):
        # Protected chip: the erase of configuration word 1 lifts the protection
        # (the calibration word, unreadable, is given by a fill).
        chip = ChipState('PIC12F629', example('pic12f629'))
        r = chip.run(['/FILL0x3FF,0x3454', '/ERASE0x8007'], sim_args=['--poke', '8007=2164'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.memory.get(0x8007, 0x3FFF) & 0x31FF, 0x31FF & ~0x1000)  # BG bits kept: 0x2000
        self.assertEqual(r.memory.get(0x3FF), FACTORY_OSCCAL)

    def test_fill_value_above_14_bits_is_refused_on_both_families(self):
        for part, chip in (('PIC16F1825', 'pic16f1825'), ('PIC12F629', 'pic12f629')):
            state = ChipState(part, example(chip))
            before = state.run(['/INFO']).memory
            r = state.run(['/FILL0-0x1F,0x4000'])
            self.assertEqual(r.code, 1, r)
            self.assertEqual(r.stdout, '\nFill value 0x4000 is not a 14-bit word (0 to 0x3FFF)!\n')
            self.assertEqual(r.report['from_host'], '', 'refused before the port is used')
            self.assertEqual(r.memory, before)


if __name__ == '__main__':
    unittest.main()


class VerifyAgreesWithUpdateTest(unittest.TestCase):
    """/VERIFY says "Ok!" exactly when /UPDATE of the same file writes nothing."""

    def test_verify_fails_where_update_would_write(self):
        harness.need_binaries()
        chip = ChipState('PIC16F1825', example('pic16f1825'))
        # A stray row and a stray user ID that the upload's bulk erase clears.
        for poke in ('0100=1234', '8003=0001'):
            with self.subTest(poke=poke):
                verify = chip.run(['/VERIFY', 'prog.hex'], sim_args=['--poke', poke])
                update = chip.run(['/UPDATE', 'prog.hex'], sim_args=['--poke', poke])
                self.assertEqual(update.code, 0, update)
                self.assertTrue(set(codes(update)) & set(harness.CHANGING_FRAMES), update)
                self.assertEqual(verify.code, 1, verify)
                self.assertIn('\nMismatch in ', verify.stdout)
        # /VERIFY /BULKERASE is a blank check.
        r = chip.run(['/VERIFY', '/BULKERASE'])
        self.assertEqual(r.code, 1, r)
        self.assertIn('expected 0x3FFF', r.stdout)
        self.assertEqual(ChipState('PIC16F1825').run(['/VERIFY', '/BULKERASE']).code, 0)
        # An erased calibration word fails /UPDATE and /VERIFY as the upload.
        chip = ChipState('PIC12F629', example('pic12f629'))
        for args in (['prog.hex'], ['/UPDATE', 'prog.hex'], ['/VERIFY', 'prog.hex']):
            with self.subTest(args=args):
                r = chip.run(args, sim_args=['--poke', '3FF=3FFF'])
                self.assertEqual(r.code, 1, r)
                self.assertTrue(r.stdout.endswith('\nimproper oscillator calibration instruction!\n'), r)
