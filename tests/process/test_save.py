"""/SAVE=<hexfile>: reading a chip out into a HEX file, against picsim; and the
/READ listings and /SAVE= files of every example chip against committed
captures (PICUP_UPDATE_CAPTURES=1 writes them anew)."""
import concurrent.futures
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


CAPTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'captures')
# Example chips: part, flash size, EEPROM bytes.
CHIPS = (('PIC12F629', 0x400, 128), ('PIC16F676', 0x400, 128), ('PIC12F1840', 0x1000, 256),
         ('PIC16F1503', 0x800, 0), ('PIC16F1825', 0x2000, 256))


def chip_pattern(flash, eeprom):
    """Every cell of the chip different from its neighbours (the revision and
    device ID words stay the chip's own)."""
    words = {a: (a * 0x1F3 + 0x155) % 0x4000 for a in range(flash)}
    words.update({0x8000 + i: 0x3FF0 | i for i in range(4)})
    words.update({0x8007 + i: (0x2A5A + 0x111 * i) & 0x3FFF for i in range(25)})
    words.update({0xF000 + i: (i * 37 + 11) & 0xFF for i in range(eeprom)})
    return words


def read_ranges(flash):
    """Flash, configuration and EEPROM, odd starts, a range across the end of
    flash, single cells and reversed ranges (those run to 0xFFFF)."""
    return ['0-0x5F', '0x3-0x10', '0x%X-0x8003' % (flash - 4), '0x8000-0x8020', '0x8006',
            '0x7FFD-0x8009', '0xEFF5-0xF013', '0xF005-0xF0FF', '0xF0FE-0xF0FF',
            '0x%X-0x10' % (flash - 3), '0x%X-0x%X' % (flash - 37, flash - 1), '0-0xFFFF']


def capture_runs(part, flash, eeprom):
    """(name, args) of every run captured for a chip."""
    runs = [('read %s' % r, ['/READ' + r]) for r in read_ranges(flash)]
    return runs + [('save', ['/SAVE=saved.hex'])]


def captured_output(part, flash, eeprom, name, args):
    files = {'chip.hex': harness.make_hex(chip_pattern(flash, eeprom))}
    r = harness.run(args, part=part, files=files, sim_args=['--load', 'chip.hex'])
    text = '%s %s\nexit %d\n%s' % (part, ' '.join(args), r.code, r.stdout)
    if name == 'save':
        text += '\n--- saved.hex\n' + r.read('saved.hex')
    return text


class CapturedOutputTest(unittest.TestCase):
    """The /READ listings and /SAVE= files of every example chip, byte for byte."""

    def test_listings_and_saved_files_match_the_captures(self):
        harness.need_binaries()
        update = bool(os.environ.get('PICUP_UPDATE_CAPTURES'))
        jobs = [(chip, name, args) for chip in CHIPS for name, args in capture_runs(*chip)]
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            texts = list(pool.map(lambda j: captured_output(*j[0], j[1], j[2]), jobs))
        per_chip = {}
        for (chip, name, _), text in zip(jobs, texts):
            per_chip.setdefault(chip[0], []).append(text)
        for part, runs in per_chip.items():
            path = os.path.join(CAPTURES, part.lower() + '.txt')
            got = '\n=====\n'.join(runs)
            if update:
                os.makedirs(CAPTURES, exist_ok=True)
                with open(path, 'w', newline='') as f:
                    f.write(got)
                continue
            with open(path, newline='') as f:
                want = f.read()
            with self.subTest(part=part):
                self.assertEqual(got.split('\n=====\n'), want.split('\n=====\n'))


if __name__ == '__main__':
    unittest.main()
