"""One part of every kind the enhanced mid-range table holds, run end to end
against picsim: write latches fewer than the erase row, 16- and 32-word rows,
two or three configuration words, the device ID with the revision in its low
bits or a full 14-bit ID with a revision word, data EEPROM or none. Each is
uploaded, verified, updated with one changed row, saved and restored; the
chip's calibration words and device ID never change, and picsim sees nothing
the part's programming algorithm forbids."""
import os
import shutil
import unittest

import harness

EXAMPLES = os.path.join(harness.SOURCE, 'examples')
BEGIN_PROGRAMMING, ROW_ERASE, BULK_ERASE = 0x08, 0x11, 0x09
CALIBRATION_FACTORY = 0x1A5C


def example(chip):
    with open(os.path.join(EXAMPLES, chip, 'blink.hex')) as f:
        return harness.parse_hex(f.read())


def pattern(flash_words, config):
    """Words that differ from their neighbours over three rows from 0x0F3
    (not aligned to a row or a latch block), the user IDs and `config`: a
    word written into the wrong latch or block shows."""
    words = {a: (a * 0x9D + 0x155) & 0x3FFF for a in range(0xF3, 0xF3 + 70)}
    words.update({0x8000 + i: i + 1 for i in range(4)})
    words.update({0x8007 + i: w for i, w in enumerate(config)})
    assert max(a for a in words if a < 0x8000) < flash_words
    return words


# part, program (word address: value), erase row words, latches,
# configuration words, EEPROM bytes, revision in a word of its own
KINDS = [
    ('PIC16F1939', example('pic16f1939'), 32, 8, 2, 256, False),
    ('PIC16F1847', example('pic16f1847'), 32, 32, 2, 256, False),
    ('PIC16F1459', example('pic16f1459'), 32, 32, 2, 0, True),
    ('PIC12F1612', example('pic12f1612'), 16, 16, 3, 0, True),
    ('PIC16F1574', pattern(0x1000, [0x0EC4, 0x1FF3]), 32, 16, 2, 0, True),
    ('PIC16LF1826', pattern(0x800, [0x0FC4, 0x1FFF]), 32, 8, 2, 256, False),
    ('PIC12F1822', pattern(0x800, [0x0FC4, 0x1FFF]), 16, 16, 2, 256, False),
]


def chip_cells(memory, eeprom, config_words):
    """The cells a HEX file of the part can set, from picsim's --save."""
    return {a: v for a, v in memory.items()
            if a < 0x8004 or 0x8007 <= a < 0x8007 + config_words or 0xF000 <= a < 0xF000 + eeprom}


def flash_rows(words, row):
    return len({a // row for a in words if a < 0x8000})


class PartKindsTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def run_on(self, part, workdir, args, sim_args=()):
        r = harness.run(args, part=part, workdir=workdir, state=True, save=True, sim_args=sim_args)
        self.assertEqual(r.report.get('faults'), [], r)
        self.assertEqual(r.report.get('lost_operations'), 0, r)
        return r

    def copy(self, workdir):
        fresh = harness.make_workdir()
        for name in os.listdir(workdir):
            if name.endswith(('.hex', '.dat', '.state')):
                shutil.copy(os.path.join(workdir, name), fresh)
        return fresh

    def test_upload_verify_update_save_and_restore(self):
        for part, words, row, latches, config_words, eeprom, revision_word in KINDS:
            with self.subTest(part=part):
                self.check_part(part, words, row, latches, config_words, eeprom, revision_word)

    def check_part(self, part, words, row, latches, config_words, eeprom, revision_word):
        program = harness.make_hex(words)
        workdir = harness.make_workdir()
        with open(os.path.join(workdir, 'prog.hex'), 'w') as f:
            f.write(program)

        # Identification: the part's own name, and the revision from where
        # the part keeps it.
        r = self.run_on(part, workdir, ['/INFO', '/JSON=run.json'])
        self.assertEqual(r.code, 0, r)
        self.assertIn('= %s\n' % part, r.stdout)
        factory = r.memory
        record = r.record()
        if revision_word:
            self.assertIn('\nRevision:              0x%04X\n' % factory[0x8005], r.stdout)
            self.assertEqual(record['target']['revision'], factory[0x8005])
        else:
            self.assertNotIn('Revision', r.stdout)
            self.assertEqual(record['target']['revision'], factory[0x8006] & 0x1F)

        # Upload: every row erased in bulk and written a latch block per
        # programming cycle; the chip holds the file, nothing shifted.
        r = self.run_on(part, workdir, ['prog.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.endswith('\nProgramming Config Words\nOk!\n'), r.stdout)
        self.assertEqual(chip_cells(r.memory, eeprom, config_words), words)
        codes = harness.frame_codes(r.sent())
        cycles = (flash_rows(words, row) * (row // latches) + sum(1 for a in words if a >= 0xF000)
                  + sum(1 for a in words if 0x8000 <= a < 0x8004) + config_words)
        self.assertEqual(codes.count(BEGIN_PROGRAMMING), cycles)
        for a in list(range(0x8005, 0x8007)) + [a for a in factory if 0x8007 + config_words <= a < 0xF000]:
            self.assertEqual(r.memory.get(a), factory.get(a), hex(a))
        calibration = [a for a in factory if 0x8007 + config_words <= a < 0xF000]
        self.assertTrue(calibration and all(factory[a] >= CALIBRATION_FACTORY for a in calibration))

        # /VERIFY agrees and writes nothing.
        r = self.run_on(part, self.copy(workdir), ['/VERIFY', 'prog.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertFalse(set(harness.frame_codes(r.sent())) & set(harness.CHANGING_FRAMES))

        # /UPDATE with one word changed in the last row that holds data:
        # that row alone is erased and written again, block by block.
        changed = dict(words)
        last = max(a for a in words if a < 0x8000)
        changed[last] = 0x3FFF & ~changed[last]
        with open(os.path.join(workdir, 'new.hex'), 'w') as f:
            f.write(harness.make_hex(changed))
        r = self.run_on(part, self.copy(workdir), ['/UPDATE', 'new.hex'])
        self.assertEqual(r.code, 0, r)
        codes = harness.frame_codes(r.sent())
        self.assertEqual((codes.count(ROW_ERASE), codes.count(BULK_ERASE)), (1, 0))
        self.assertEqual(codes.count(BEGIN_PROGRAMMING), row // latches)
        self.assertEqual(chip_cells(r.memory, eeprom, config_words), changed)

        # Range commands within rows: the rest of each row is read back and
        # written again around the cells changed, a latch block at a time.
        first = min(a for a in words if a < 0x8000) + 3
        edited = dict(words)
        edited.update({a: 0x1234 for a in range(first, first + 5)})
        for a in range(first + 9, first + 9 + row):
            edited.pop(a, None)
        r = self.run_on(part, self.copy(workdir),
                        ['/FILL0x%X-0x%X,0x1234' % (first, first + 4),
                         '/ERASE0x%X-0x%X' % (first + 9, first + 8 + row)])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(chip_cells(r.memory, eeprom, config_words), edited)

        # /SAVE= then a blank chip: the saved file gives it back as it was.
        r = self.run_on(part, workdir, ['/SAVE=backup.hex'])
        self.assertEqual(r.code, 0, r)
        saved = harness.read_hex(r.path('backup.hex'))
        blank = harness.make_workdir()
        shutil.copy(r.path('backup.hex'), blank)
        r = self.run_on(part, blank, ['backup.hex'])
        self.assertEqual(r.code, 0, r)
        self.assertEqual(chip_cells(r.memory, eeprom, config_words), words)
        self.assertEqual({a: v for a, v in saved.items() if v != (0xFF if a >= 0xF000 else 0x3FFF)},
                         chip_cells(r.memory, eeprom, config_words))

    def test_a_database_an_older_picup_wrote_still_finds_the_new_parts(self):
        old = ''.join('%s 0x%04X 0x3FE0 0x%04X 0x%04X%s\n' % line for line in (
            ('PIC12F1840', 0x1B80, 0x20, 0x1000, ' E:256'), ('PIC16F1503', 0x2CE0, 0x10, 0x800, ''),
            ('PIC16F1825', 0x2760, 0x20, 0x2000, ' E:256'), ('PIC16LF1825', 0x2860, 0x20, 0x2000, ' E:256')))
        words = example('pic16f1939')
        files = {'picup.dat': '* PIC data base for picup.exe\n' + old, 'prog.hex': harness.make_hex(words)}
        r = harness.run(['prog.hex'], part='PIC16F1939', files=files, save=True)
        self.assertEqual(r.code, 0, r)
        self.assertNotIn('New file', r.stdout)
        self.assertEqual(chip_cells(r.memory, 256, 2), words)
        self.assertEqual(r.stderr.count(' holds 4 of the '), 1, r.stderr)
        self.assertIn('rename or delete the file and the next run writes it with every part', r.stderr)
        self.assertEqual(r.read('picup.dat'), files['picup.dat'], 'never rewritten')

    def test_low_voltage_part_on_the_programmers_supply_is_told(self):
        told = 'PIC16LF1939 takes at most 3.6 V on VDD, which the programmer supplies here'
        r = harness.run(['/INFO'], part='PIC16LF1939')
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.stderr.count(told), 1, r.stderr)
        self.assertIn('\nVDD by programmer\n', r.stdout)
        # Its own supply, or an F part: nothing to tell.
        for part, status in (('PIC16LF1939', '10'), ('PIC16F1939', '00')):
            r = harness.run(['/INFO'], part=part, sim_args=['--status', status])
            self.assertEqual(r.code, 0, r)
            self.assertNotIn('3.6 V', r.stderr)


if __name__ == '__main__':
    unittest.main()
