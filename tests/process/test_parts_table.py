"""The built-in part table (src/devicedb/parts.inc) against the parts list it
was written from, field by field, where the list is at hand (beside the
checkout in ../shared/devices/); skipped where it is not. A transcription slip
in the table could program a chip with the wrong latch count or voltage."""
import csv
import os
import re
import unittest

import harness

SOURCE = harness.SOURCE or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TABLE = os.path.join(SOURCE, 'src', 'devicedb', 'parts.inc')
LIST = os.path.join(SOURCE, '..', 'shared', 'devices', 'parts-clean.csv')
ENHANCED = '1-enhanced-6bit'
OUT_OF_REACH = '3-8bit-cmd-OUT-OF-REACH'
# Times an enhanced part's row gives where the list has none (microseconds).
ENHANCED_DEFAULTS = {'t_program_us': 2500, 't_config_us': 5000, 't_eeprom_us': 5000,
                     't_bulk_erase_us': 5000, 't_row_erase_us': 2500}

# The family that drives an older mid-range part, by its programming document (DS number).
MIDRANGE_FAMILY = {'DS41191': 'FAMILY_CALIBRATED', 'DS40001204': 'FAMILY_ROW_LATCHES',
                   'DS41244': 'FAMILY_ROW_LATCHES', 'DS41287': 'FAMILY_ROW_LATCHES',
                   'DS41196': 'FAMILY_ERASE_AFTER_LOAD', 'DS30262': 'FAMILY_ERASE_PROGRAM_CYCLE',
                   'DS41284': 'FAMILY_EXTERNALLY_TIMED', 'DS39607': 'FAMILY_CHIP_ERASE',
                   'DS39603': 'FAMILY_CHIP_ERASE', 'DS39589': 'FAMILY_BLOCK_ERASE_PROGRAM'}

ROW = re.compile(r'^\{"(?P<name>[^"]+)", (?P<family>\w+), (?P<rest>.*)\},$')


def number(text):
    text = text.strip()
    return int(text, 16) if text.lower().startswith('0x') else int(text)


def table_rows():
    """{name: fields} of every row of parts.inc."""
    rows = {}
    with open(TABLE) as f:
        for line in f:
            m = ROW.match(line.strip())
            if not m:
                continue
            masks = re.search(r'\{([^}]*)\}', m.group('rest'))
            before = m.group('rest')[:masks.start()].rstrip(', ').split(', ')
            after = m.group('rest')[masks.end():].lstrip(', ').split(', ')
            values = [number(v) for v in before + after]
            keys = ('device_id', 'id_mask', 'flash', 'row', 'latches', 'eeprom', 'config_words',
                    'cal_first', 'cal_count', 'osccal', 'save_mask', 'zero_mask',
                    'P', 'W', 'D', 'B', 'R', 'V', 'Vmin', 'Vmax')
            row = dict(zip(keys, values))
            row['family'] = m.group('family')
            row['masks'] = [number(v) for v in masks.group(1).split(',')]
            rows[m.group('name')] = row
    return rows


def tenths(volts):
    return int(round(float(volts) * 10))


@unittest.skipUnless(os.path.exists(LIST), 'the parts list is not beside the checkout')
class PartsTableTest(unittest.TestCase):
    def setUp(self):
        with open(LIST, newline='') as f:
            self.listed = {r['part']: r for r in csv.DictReader(f)}
        self.table = table_rows()

    # Where the table departs from the list on purpose: the row erase of these
    # parts rests on one source and a revision of their programming document
    # nobody has read, so picup treats them as bulk-erase-only.
    DELIBERATE = {('PIC12F617', 'row'): 0, ('PIC16F616', 'row'): 0, ('PIC16HV616', 'row'): 0}

    def test_every_enhanced_part_is_in_the_table_as_listed(self):
        enhanced = [n for n, r in self.listed.items() if r['family'] == ENHANCED]
        self.assertEqual(len(enhanced), 156)
        self.assertEqual(sorted(n for n in enhanced if n not in self.table), [])
        slips = []
        for name, listed in self.listed.items():
            if name not in self.table:
                continue
            row = self.table[name]
            want = {
                'device_id': number(listed['device_id']), 'id_mask': number(listed['id_mask']),
                'flash': number(listed['flash_words']), 'row': number(listed['erase_row_words']),
                'latches': number(listed['write_latches']), 'eeprom': number(listed['eeprom_bytes']),
                'config_words': number(listed['config_words']),
                'masks': [number(m) for m in listed['config_masks'].split()],
                'Vmin': tenths(listed['vpp_min_v']), 'Vmax': tenths(listed['vpp_max_v']),
            }
            calibration = listed['calibration_words'].replace('-', ' ').split()
            if calibration:
                want['cal_first'] = number(calibration[0])
                want['cal_count'] = number(calibration[-1]) - number(calibration[0]) + 1
            if listed['family'] == ENHANCED:
                times = {k: number(listed[k]) if listed[k].strip() else d
                         for k, d in ENHANCED_DEFAULTS.items()}
                want.update({'P': times['t_program_us'], 'W': times['t_config_us'],
                             'D': times['t_eeprom_us'], 'B': times['t_bulk_erase_us'],
                             'R': times['t_row_erase_us'], 'family': 'FAMILY_ENHANCED'})
            else:
                want['family'] = next(f for s, f in MIDRANGE_FAMILY.items()
                                      if listed['programming_spec'].startswith(s))
                # Never shorter than the list's times; the PIC12F629 family
                # keeps the 9.5 V it has always run at.
                for key, column in (('P', 't_program_us'), ('W', 't_config_us'),
                                    ('B', 't_bulk_erase_us')):
                    if listed[column].strip() and row[key] < number(listed[column]):
                        slips.append('%s %s: %d shorter than the list\'s %s'
                                     % (name, key, row[key], listed[column]))
                if want['family'] == 'FAMILY_CALIBRATED' and row['V'] != 95:
                    slips.append('%s: VPP %d, not 95' % (name, row['V']))
            for key, value in want.items():
                value = self.DELIBERATE.get((name, key), value)
                if row[key] != value:
                    slips.append('%s %s: table %r, list %r' % (name, key, row[key], value))
            # Configuration words follow 0x8007 and end before the calibration words.
            addresses = [number(a) for a in listed['config_addresses'].split()]
            if addresses != list(range(0x8007, 0x8007 + row['config_words'])):
                slips.append('%s: configuration words at %s' % (name, listed['config_addresses']))
            if row['cal_count'] and row['cal_first'] < 0x8007 + row['config_words']:
                slips.append('%s: calibration word inside the configuration words' % name)
            # The voltage picup applies lies inside the part's range.
            if not row['Vmin'] <= row['V'] <= row['Vmax']:
                slips.append('%s: VPP %d outside %d..%d' % (name, row['V'], row['Vmin'], row['Vmax']))
        self.assertEqual(slips, [])

    def test_the_table_holds_only_listed_parts_within_reach(self):
        strays = [n for n in self.table
                  if n not in self.listed or self.listed[n]['family'] == OUT_OF_REACH]
        self.assertEqual(strays, [])
        for name, row in self.table.items():
            if row['family'] != 'FAMILY_ENHANCED':
                continue
            # 8.0 to 9.0 V: never a mid-range part's 12 to 13 V.
            self.assertLessEqual(row['V'], 90, name)
            self.assertLessEqual(row['latches'], row['row'], name)
            self.assertEqual(row['row'] % row['latches'], 0, name)


if __name__ == '__main__':
    unittest.main()
