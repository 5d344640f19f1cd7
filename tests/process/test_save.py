"""/SAVE=<hexfile>: reading a chip out into a HEX file, against picsim."""
import os
import unittest

import harness

EXAMPLES = os.path.join(harness.SOURCE, 'examples')
CALIBRATION = 0x3FF
CONFIG1 = 0x8007
BG_BITS = 0x3000


def example(chip):
    with open(os.path.join(EXAMPLES, chip, 'blink.hex')) as f:
        return f.read()


def type1_file_map(words):
    """The PIC12F629 family's assembler puts configuration space at file word
    0x2000 and data EEPROM at 0x2100; move such a file's words onto picup's map."""
    moved = {}
    for a, v in words.items():
        if a >= 0x2100:
            a = a - 0x2100 + 0xF000
        elif a >= 0x2000:
            a = a - 0x2000 + 0x8000
        moved[a] = v
    return moved


def programmed(memory):
    """Cells that hold something other than the erased value, without the
    read-only revision and device ID words."""
    return {a: v for a, v in memory.items()
            if v != (0xFF if a >= 0xF000 else 0x3FFF) and a not in (0x8005, 0x8006)}


class SaveTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def program_chip(self, part, chip):
        """A chip of `part` holding the example program; returns its workdir."""
        r = harness.run(['blink.hex'], part=part, files={'blink.hex': example(chip)},
                        state=True)
        self.assertEqual(r.code, 0, r)
        return r.workdir

    def test_round_trip_pic16f1825(self):
        workdir = self.program_chip('PIC16F1825', 'pic16f1825')
        saved = harness.run(['/SAVE=a.hex'], part='PIC16F1825', workdir=workdir,
                            state=True, save=True)
        self.assertEqual(saved.code, 0, saved)
        self.assertEqual(saved.stdout, '\nSaving target memory to a.hex...')
        # Reading changes nothing on the chip.
        self.assertNotIn('c309', saved.report['from_host'])
        original = programmed(saved.memory)
        self.assertIn(CONFIG1, original)
        self.assertTrue(any(a >= 0xF000 for a in original), 'EEPROM is saved')
        # The file reads back into the same cells as the chip holds, and
        # leaves out the device ID and every all-erased record.
        file_words = harness.read_hex(saved.path('a.hex'))
        self.assertNotIn(0x8006, file_words)
        self.assertEqual(programmed(file_words), original)
        self.assertLess(len(file_words), 0x100)

        copy = harness.run(['a.hex'], part='PIC16F1825',
                           files={'a.hex': saved.read('a.hex')}, save=True)
        self.assertEqual(copy.code, 0, copy)
        self.assertEqual(programmed(copy.memory), original)

    def test_saved_file_matches_the_assembler_output(self):
        for part, chip, type1 in (('PIC16F1825', 'pic16f1825', False),
                                  ('PIC12F1840', 'pic12f1840', False),
                                  ('PIC12F629', 'pic12f629', True)):
            with self.subTest(part=part):
                workdir = self.program_chip(part, chip)
                saved = harness.run(['/SAVE=a.hex'], part=part, workdir=workdir, state=True)
                self.assertEqual(saved.code, 0, saved)
                source = harness.parse_hex(example(chip))
                back = harness.read_hex(saved.path('a.hex'))
                if type1:
                    source, back = type1_file_map(source), type1_file_map(back)
                    # The chip's own calibration word and BG bits stay the chip's.
                    back.pop(CALIBRATION, None)
                    source.pop(CALIBRATION, None)
                    back[CONFIG1] &= ~BG_BITS
                    source[CONFIG1] &= ~BG_BITS & 0x31FF
                for a, v in source.items():
                    self.assertEqual(back.get(a, 0x3FFF), v, hex(a))
                self.assertEqual(programmed(back), programmed(source))

    def test_round_trip_pic12f629_keeps_the_new_chips_calibration(self):
        workdir = self.program_chip('PIC12F629', 'pic12f629')
        saved = harness.run(['/SAVE=a.hex'], part='PIC12F629', workdir=workdir,
                            state=True, save=True)
        self.assertEqual(saved.code, 0, saved)
        # A blank chip with other factory calibration data.
        copy = harness.run(['a.hex'], part='PIC12F629', files={'a.hex': saved.read('a.hex')},
                           sim_args=['--poke', '3ff=3420', '--poke', '8007=1fff'], save=True)
        self.assertEqual(copy.code, 0, copy)
        self.assertEqual(copy.memory[CALIBRATION], 0x3420)
        self.assertEqual(copy.memory[CONFIG1] & BG_BITS, 0x1000)
        old = programmed(saved.memory)
        new = programmed(copy.memory)
        for cells in (old, new):
            cells.pop(CALIBRATION)
            cells[CONFIG1] &= ~BG_BITS
        self.assertEqual(new, old)

    def test_save_comes_before_erase_and_upload(self):
        workdir = self.program_chip('PIC16F1825', 'pic16f1825')
        listing = harness.run(['/READ0-7'], part='PIC16F1825', workdir=workdir, state=True)
        self.assertEqual(listing.code, 0, listing)
        new = harness.make_hex({0: 0x3000, 1: 0x0008})
        r = harness.run(['/SAVE=old.hex', '/ERASE0-0x1F', 'new.hex'], part='PIC16F1825',
                        workdir=workdir, files={'new.hex': new}, state=True, save=True)
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith('\nSaving target memory to old.hex...'), r.stdout)
        self.assertTrue(r.stdout.endswith('\nOk!\n'), r.stdout)
        old = harness.read_hex(r.path('old.hex'))
        shown = [int(w, 16) for w in listing.stdout.split(':')[1].split()]
        self.assertEqual([old.get(a, 0x3FFF) for a in range(8)], shown)
        self.assertNotEqual(shown[:2], [0x3000, 0x0008])
        self.assertEqual((r.memory[0], r.memory[1]), (0x3000, 0x0008))

    def test_failures_leave_no_file(self):
        cases = (
            # Not in the database: sizes unknown, nothing is read.
            (['/SAVE=a.hex'], ['--id', '3056'],
             '\nPIC not found in data base - Reading disabled!\n'),
            (['/SAVE=missing/dir/a.hex'], [], '\ncannot open hex output file!\n'),
            # A damaged reply half way through the read-out.
            (['/SAVE=a.hex'], ['--corrupt-read', '6'],
             '\nSaving target memory to a.hex...\ncommunication error!\n'),
        )
        for args, sim_args, message in cases:
            with self.subTest(args=args, sim=sim_args):
                r = harness.run(args, part='PIC16F1825', sim_args=sim_args)
                self.assertEqual(r.code, 1, r)
                self.assertEqual(r.stdout, '\nNew file (picup.dat) written\n' + message)
                self.assertEqual(sorted(n for n in os.listdir(r.workdir)
                                        if n.startswith('a.hex')), [])
                self.assertTrue(r.report['from_host'].endswith('c23e'))


if __name__ == '__main__':
    unittest.main()
