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
    read-only revision and device ID words and the factory calibration words
    above the configuration words, which no upload writes."""
    return {a: v for a, v in memory.items()
            if v != (0xFF if a >= 0xF000 else 0x3FFF) and a not in (0x8005, 0x8006)
            and not 0x8009 <= a < 0x8020}


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
        # Erased flash stays out (the upload's bulk erase clears it); user IDs,
        # both configuration words and every EEPROM byte are always in.
        self.assertLess(len([a for a in file_words if a < 0x8000]), 0x100)
        for a in (0x8000, 0x8001, 0x8002, 0x8003, 0x8007, 0x8008):
            self.assertIn(a, file_words)
        self.assertEqual([a for a in file_words if a >= 0xF000], list(range(0xF000, 0xF100)))

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

    def test_backup_gives_the_chip_back_whatever_it_held(self):
        """Chip state -> /SAVE=backup.hex new.hex -> upload backup.hex: the chip
        is as it was, every cell, for a blank chip, a programmed one and one
        whose EEPROM is erased where the new file writes bytes."""
        cases = (
            ('PIC16F1825', False, 'blank', None, []),
            ('PIC16F1825', False, 'programmed', 'pic16f1825', []),
            ('PIC16F1825', False, 'erased EEPROM', None,
             ['0=3001', '1fff=0123', '8000=1', '8003=3ffe', '8007=3fe4', '8008=1eff']),
            ('PIC12F629', True, 'blank', None, []),
            ('PIC12F629', True, 'programmed', 'pic12f629', []),
            ('PIC12F629', True, 'erased EEPROM', None,
             ['0=3001', '3fe=0123', '8002=7', '8007=2184']),
        )
        for part, type1, state, chip, pokes in cases:
            with self.subTest(part=part, state=state):
                self.check_round_trip(part, type1, chip, pokes)

    def check_round_trip(self, part, type1, chip, pokes):
        if chip is not None:
            first = harness.run(['blink.hex'], part=part, files={'blink.hex': example(chip)},
                                state=True, save=True)
        else:
            poked = [a for p in pokes for a in ('--poke', p)]
            first = harness.run(['/READ0-0'], part=part, sim_args=poked, state=True, save=True)
        self.assertEqual(first.code, 0, first)
        original = first.memory
        # Other flash (where the chip is erased and where it holds words),
        # other configuration and user ID words, other EEPROM bytes.
        config, eeprom = (0x2000, 0x2100) if type1 else (0x8000, 0xF000)
        new = {0x10: 0x1111, 0x3FE: 0x2222, config + 1: 0x0005,
               config + 7: 0x31D4 if type1 else 0x3FE4,
               eeprom: 0x12, eeprom + 0x10: 0x56, eeprom + 0x7F: 0x34}
        if not type1:
            new.update({0x1000: 0x0AAA, config + 8: 0x1EFF})
        r = harness.run(['/SAVE=backup.hex', 'new.hex'], part=part, workdir=first.workdir,
                        files={'new.hex': harness.make_hex(new)}, state=True, save=True)
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.endswith('\nOk!\n'), r)
        changed = {a for a in set(original) | set(r.memory) if original.get(a) != r.memory.get(a)}
        self.assertTrue(any(a >= 0xF000 for a in changed), 'the new file changed EEPROM')
        self.assertTrue(any(a < 0x8000 for a in changed), 'the new file changed flash')

        back = harness.run(['backup.hex'], part=part, workdir=first.workdir, state=True, save=True)
        self.assertEqual(back.code, 0, back)
        self.assertTrue(back.stdout.endswith('\nOk!\n'), back)
        self.assertEqual(back.memory, original)
        self.assertTrue(back.report['last_frame_vpp_off'])

    def test_save_file_that_is_the_hex_file_is_refused_before_any_traffic(self):
        hexfile = example('pic16f1825')
        work = harness.make_workdir()
        os.mkdir(os.path.join(work, 'sub'))
        with open(os.path.join(work, 'a.hex'), 'w') as f:
            f.write(hexfile)
        os.symlink('a.hex', os.path.join(work, 'link.hex'))
        os.link(os.path.join(work, 'a.hex'), os.path.join(work, 'hard.hex'))
        for save, upload in (('a.hex', 'a.hex'), ('a.hex', 'link.hex'), ('link.hex', 'a.hex'),
                             ('a.hex', 'sub/../a.hex'), ('hard.hex', 'a.hex')):
            with self.subTest(save=save, upload=upload):
                r = harness.run(['/SAVE=' + save, upload], workdir=work)
                self.assertEqual(r.code, 1, r)
                self.assertEqual(r.stdout, '\nSave file and hex input file are the same file!\n')
                self.assertEqual(r.report['from_host'], '')
                self.assertEqual(r.read('a.hex'), hexfile)
        # Another file of the same contents is no reason to refuse.
        r = harness.run(['/SAVE=b.hex', 'a.hex'], workdir=work, files={'b.hex': hexfile})
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.endswith('\nOk!\n'), r)

    def test_unwritable_backup_is_refused_before_the_port_opens(self):
        r = harness.run(['/SAVE=missing/dir/a.hex'], part='PIC16F1825')
        self.assertEqual((r.code, r.stdout), (1, ''), r)
        self.assertIn('picup: cannot write /SAVE=missing/dir/a.hex: No such file or directory',
                      r.stderr)
        self.assertEqual(r.sent(), b'')

    def test_failures_leave_no_file(self):
        cases = (
            # Not in the database: sizes unknown, nothing is read.
            (['/SAVE=a.hex'], ['--id', '3EE0'],
             '\nPIC not found in data base - Reading disabled!\n'),
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
    words[0x8007] |= 0x80  # code protection off: a protected chip reads zeros
    words.update({0xF000 + i: (i * 37 + 11) & 0xFF for i in range(eeprom)})
    return words


def read_ranges(flash):
    """Flash, configuration and EEPROM, odd starts, a range across the end of
    flash, single cells and reversed ranges (refused before the port opens)."""
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
