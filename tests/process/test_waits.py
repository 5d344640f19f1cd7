"""Replies the host waits for. On a USB serial adapter every one of them can
cost the adapter's latency timer (16 ms by default on common adapters), so a
whole-chip upload must wait only where the protocol needs it: where the
programmer's 256-byte receive buffer would otherwise overflow, and for the
reads that verify what was written. picsim counts the replies it gave and the
most bytes the host ever had unanswered."""
import unittest

import harness

# A full PIC16F1825 upload: 8K words of flash, 256 EEPROM bytes, user IDs and
# configuration words.
FLASH_WORDS = 0x2000
EEPROM_BYTES = 256
MOST_WAITS = 300
BUFFER = 256


def full_image():
    words = {a: (a * 0x1F3 + 0x155) % 0x3FFF for a in range(FLASH_WORDS)}
    words.update({0x8000 + i: 0x3FF0 | (i + 1) for i in range(4)})
    words[0x8007], words[0x8008] = 0x3FE4, 0x3FFF
    words.update({0xF000 + i: (i * 37 + 11) & 0xFF for i in range(EEPROM_BYTES)})
    return words


def on_chip(memory, words):
    """The chip's value of each cell of `words` (picsim saves the cells that
    are not erased)."""
    return {a: memory.get(a, 0xFF if a >= 0xF000 else 0x3FFF) for a in words}


def reads(sent):
    """(code, words) of every read frame the host sent, with its repeat count."""
    out, i, repeat = [], 0, 1
    while i < len(sent):
        code = sent[i]
        if code in (0x44, 0x45):
            out.append((code, repeat))
        repeat = sent[i + 1] if code == 0xD5 else 1
        i += harness.FRAME_ARGUMENTS.get(code, 0) + 2
    return out


class RepliesWaitedFor(unittest.TestCase):
    def test_full_upload_waits_little_and_still_reads_every_cell_back(self):
        words = full_image()
        r = harness.run(['full.hex'], files={'full.hex': harness.make_hex(words)}, save=True)
        self.assertEqual(r.code, 0, r)
        report = r.report
        waits = report['reply_waits']
        self.assertLessEqual(waits, MOST_WAITS, 'replies waited for in a full upload')
        # The host never sent more than the programmer's buffer holds without
        # an answer, and nothing was lost.
        self.assertLessEqual(report['rx_unanswered_peak'], BUFFER)
        self.assertEqual(report['rx_overruns'], 0)
        # What is left: the probe, VPP on, syncs and reads. The reads fetch the
        # whole flash and EEPROM back in replies of up to 255 words, plus the
        # identification and the checked user ID and configuration words.
        codes = harness.frame_codes(r.sent())
        syncs = codes.count(0xC0)
        done = reads(r.sent())
        self.assertEqual(waits, 2 + syncs + len(done), codes[:4])
        program = sum(n for code, n in done if code == 0x44)
        data = sum(n for code, n in done if code == 0x45)
        self.assertGreaterEqual(program, FLASH_WORDS)
        self.assertGreaterEqual(data, EEPROM_BYTES)
        self.assertLessEqual(len(done), -(-FLASH_WORDS // 255) + -(-EEPROM_BYTES // 255) + 8)
        # A sync only where the next frames would not fit: each one ends a
        # window that was nearly full.
        self.assertLessEqual(syncs, len(r.sent()) // (BUFFER - 16) + 1)
        self.assertEqual(on_chip(r.memory, words), words)
        record = harness.run(['/JSON=run.json', 'full.hex'],
                             files={'full.hex': harness.make_hex(words)})
        self.assertEqual(record.record()['wire']['replies'], record.report['reply_waits'])

    def test_other_parts_keep_within_the_buffer(self):
        for part, folder in (('PIC12F629', 'pic12f629'), ('PIC16F1503', 'pic16f1503'),
                             ('PIC12F1840', 'pic12f1840')):
            flash = 0x400 if part != 'PIC16F1503' else 0x800
            words = {a: (a * 0x1F3 + 0x155) % 0x3FFF for a in range(flash - 1)}
            r = harness.run(['all.hex'], part=part, files={'all.hex': harness.make_hex(words)},
                            save=True)
            self.assertEqual(r.code, 0, (part, r))
            self.assertLessEqual(r.report['rx_unanswered_peak'], BUFFER, part)
            self.assertEqual(r.report['rx_overruns'], 0, part)
            self.assertEqual(on_chip(r.memory, words), words, part)


if __name__ == '__main__':
    unittest.main()
