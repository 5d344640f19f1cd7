"""The line model that gives each benchmark its lower bound: frames parsed from
the host's bytes, where the host must wait, and the replayed time, checked on
streams small enough to work out by hand (10000 baud: 1 ms a byte)."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jobs  # noqa: E402
import linemodel as lm  # noqa: E402

MS = 1e-3


def frame(*data):
    """A frame with its check byte."""
    return bytes(data) + bytes([-sum(data) & 0xFF])


SYNC = frame(0xC0)
INC = frame(0x06)


def delay(us):
    return frame(0xE6, us & 0xFF, us >> 8)


class Frames(unittest.TestCase):
    def test_stream_splits_into_frames_with_repeat_and_replies(self):
        stream = frame(0xD4, 85) + frame(0xC3) + frame(0x80, 0, 0) + frame(0xD5, 4) + frame(0x44) \
            + frame(0x44) + delay(5000) + SYNC
        fs = lm.split_frames(stream)
        self.assertEqual([f.code for f in fs], [0xD4, 0xC3, 0x80, 0xD5, 0x44, 0x44, 0xE6, 0xC0])
        # the repeat count applies to the next frame only
        self.assertEqual([f.reply_bytes() for f in fs], [0, 1, 0, 0, 9, 3, 0, 1])
        self.assertEqual(fs[6].arg, 5000)
        self.assertEqual([len(s) for s in lm.segments(fs)], [2, 3, 1, 2])

    def test_broken_streams_are_refused(self):
        with self.assertRaisesRegex(ValueError, 'unknown'):
            lm.split_frames(bytes([0x12, 0xEE]))
        with self.assertRaisesRegex(ValueError, 'check'):
            lm.split_frames(bytes([0xC0, 0x41]))
        with self.assertRaisesRegex(ValueError, 'short'):
            lm.split_frames(frame(0x82, 1, 2)[:3])

    def test_probe_and_exit_frame_are_left_to_the_fixed_pauses(self):
        stream = frame(0xC1) + frame(0xC3) + frame(0xC2)
        self.assertEqual([f.code for f in lm.link_frames(stream)], [0xC3])
        b = lm.bound(stream, 10000)
        # 20 ms for an echo, check byte out and status back (1 ms each), 50 ms at exit
        self.assertAlmostEqual(b['fixed_s'], 0.072)
        self.assertAlmostEqual(lm.bound(stream, 10000, 2 * MS)['fixed_s'], 0.074)
        self.assertEqual(b['reply_bytes'], 2)  # status byte and the ACK


class Replay(unittest.TestCase):
    def replay(self, stream, latency_ms=0.0):
        return lm.replay(lm.split_frames(stream), 10000, latency_ms * MS)[0]

    def test_a_wait_costs_the_frame_the_reply_and_the_turnaround(self):
        self.assertAlmostEqual(self.replay(SYNC), 3 * MS)
        self.assertAlmostEqual(self.replay(SYNC, latency_ms=2), 5 * MS)
        self.assertAlmostEqual(self.replay(SYNC + SYNC, latency_ms=2), 10 * MS)
        # a read of 4 words: 3 + 2 frame bytes, one turnaround, 9 reply bytes
        self.assertAlmostEqual(self.replay(frame(0xD5, 4) + frame(0x44), latency_ms=1), 15 * MS)

    def test_frames_after_a_delay_overlap_it(self):
        # delay frame in at 4 ms, busy until 7; the increments arrive at 6 and
        # 8 ms, the sync at 10 ms finds the programmer free: ACK at 11 ms,
        # not at the 14 ms that adding everything up would give
        self.assertAlmostEqual(self.replay(delay(3000) + INC + INC + SYNC), 11 * MS)
        # a long delay holds everything behind it: 4 + 20 + 1
        self.assertAlmostEqual(self.replay(delay(20000) + INC + SYNC), 25 * MS)

    def test_the_host_sends_the_next_batch_only_after_the_reply(self):
        # delay frame in at 4 ms, busy to 5, sync in at 6, ACK at 7; the
        # second batch leaves only then, though the first delay ended at 5
        one = delay(1000) + SYNC
        self.assertAlmostEqual(self.replay(one), 7 * MS)
        self.assertAlmostEqual(self.replay(one + one), 14 * MS)


class HexFiles(unittest.TestCase):
    def test_generated_hex_reads_back_word_for_word(self):
        words = jobs.full_pic16f1825()
        data, upper = {}, 0
        for line in jobs.hex_text(words).splitlines():
            raw = bytes.fromhex(line[1:])
            self.assertEqual(sum(raw) % 256, 0, line)
            self.assertEqual(raw[0], len(raw) - 5, line)
            if raw[3] == 4:
                upper = int.from_bytes(raw[4:6], 'big') << 16
            elif raw[3] == 0:
                at = upper + (raw[1] << 8 | raw[2])
                for i, b in enumerate(raw[4:-1]):
                    data[at + i] = b
        back = {a // 2: data[a] | data[a + 1] << 8 for a in data if a % 2 == 0}
        self.assertEqual(back, words)
        self.assertTrue(all(v <= 0x3FFF for v in words.values()))

    def test_scaling_uploads_hold_equal_rows_in_block_and_spread(self):
        by_name = {j.name: j for j in jobs.scaling_jobs()}
        for d in (8, 4, 2):
            block, spread = by_name['block_1_%d' % d], by_name['spread_1_%d' % d]
            self.assertEqual(len(block.words), len(spread.words))
            self.assertEqual(len({a // 32 for a in spread.words}), 256 // d)
            self.assertGreaterEqual(max(spread.words), 0x2000 - 32 * d)


if __name__ == '__main__':
    unittest.main()
