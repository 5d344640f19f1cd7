"""The device checksum, the figure the chip maker's tools show: /CHECKSUM of a
HEX file for a named part needs no programmer and sends nothing; an upload
tells the same figure for the chip on standard error and in the run record."""

import os
import re
import unittest

import harness

PARTS = ('PIC16F1825', 'PIC12F629', 'PIC16F1503')
CHECKSUM = re.compile(r'^Checksum: 0x([0-9A-F]{4})\n$')


def example(part):
    with open(os.path.join(harness.SOURCE, 'examples', part.lower(), 'blink.hex')) as f:
        return f.read()


class ChecksumTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()

    def file_checksum(self, part, text):
        r = harness.run_plain(['/COM=/dev/no-such-port', '/LOG', '/CHECKSUM', '/PART=' + part.lower(),
                               'blink.hex'], files={'blink.hex': text})
        self.assertEqual((r.code, r.stderr), (0, ''), r)
        m = CHECKSUM.match(r.stdout)
        self.assertTrue(m, r)
        # The port was never opened: nothing stored, no log.
        self.assertFalse(os.path.exists(r.path('picup.cfg')))
        self.assertFalse(os.path.exists(r.path('picup.log')))
        return int(m.group(1), 16)

    def test_upload_tells_the_checksum_of_the_file(self):
        for part in PARTS:
            with self.subTest(part=part):
                text = example(part)
                expected = self.file_checksum(part, text)
                r = harness.run(['/JSON=run.json', 'blink.hex'], part=part,
                                files={'blink.hex': text}, state=True)
                self.assertEqual(r.code, 0, r)
                record = r.record()
                self.assertEqual(record['device_checksum'], expected)
                self.assertIn('picup: checksum 0x%04X\n' % expected, r.stderr)
                # The upload knows the chip: the record costs no byte more on
                # the line, and a run without one tells the same.
                plain = harness.run(['blink.hex'], part=part, files={'blink.hex': text})
                self.assertIn('picup: checksum 0x%04X\n' % expected, plain.stderr)
                self.assertEqual(r.sent(), plain.sent())
                # /CHECKSUM of the file on the identified target, and of the
                # chip itself: the same figure, nothing written.
                for args in (['/CHECKSUM', 'blink.hex'], ['/CHECKSUM']):
                    again = harness.run(args, part=part, workdir=r.workdir, state=True)
                    self.assertEqual(again.code, 0, again)
                    self.assertEqual(again.stdout, 'Checksum: 0x%04X\n' % expected)
                    codes = harness.frame_codes(again.sent())
                    self.assertFalse({0x08, 0x09} & set(codes), args)

    def test_named_part_sends_nothing(self):
        r = harness.run(['/CHECKSUM', '/PART=PIC16F1825', 'blink.hex'],
                        files={'blink.hex': example('PIC16F1825')})
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.report['bytes_from_host'], 0, r.report)
        self.assertTrue(CHECKSUM.match(r.stdout), r)

    def test_part_not_in_the_table_is_refused(self):
        r = harness.run_plain(['/CHECKSUM', '/PART=PIC16F9999', 'blink.hex'],
                              files={'blink.hex': example('PIC16F1825')})
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.stdout, '\nPart PIC16F9999 is not in the part table!\n')
        self.assertIn('/PART=PIC16F1825', r.stderr)


if __name__ == '__main__':
    unittest.main()
