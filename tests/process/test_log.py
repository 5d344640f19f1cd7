"""The communication log (/LOG) written by the real picup binary against
picsim: its exact text for a short run, the time-out mark, what is left out
(probe, VPP-on acknowledgement, check bytes, echoes, the exit frame), and its
line structure over a whole upload."""

import re
import unittest

import harness

END = '\n--------------- end of log --------------\n'
USER_ID_POKES = ['--poke', '8000=3FF1', '--poke', '8001=0002',
                 '--poke', '8002=3FF3', '--poke', '8003=0004']
# Argument bytes that follow each command code on the wire.
ARGS = {0x80: 2, 0x82: 2, 0x83: 2, 0xE6: 2, 0xD4: 1, 0xD5: 1}

START_OF_RUN = ('\nTx: d4 55 c3 80 00 00 d5 04 44'
                '\nRx: f1 3f 02 00 f3 3f 04 00 98'
                '\nTx: d5 03 06 44'
                '\nRx: 65 27 74'
                '\nTx: d4 55')


def frames_without_checks(sent):
    """Code and argument bytes of every frame after the probe, check bytes
    dropped; the exit handler's C2 3E at the end is not part of the traffic."""
    assert sent[:2] == bytes([0xC1, 0x3F]) and sent[-2:] == bytes([0xC2, 0x3E])
    body, frames, i = sent[2:-2], [], 0
    while i < len(body):
        n = 1 + ARGS.get(body[i], 0)
        frame = body[i:i + n + 1]
        assert sum(frame) % 256 == 0, 'bad check byte at %d' % i
        frames.append(frame[:-1])
        i += n + 1
    return frames


def log_lines(text):
    """[(direction, [bytes...], tail text)] for every line of the log body."""
    assert text.endswith(END) and text.startswith('\n')
    lines = []
    for line in text[1:-len(END)].split('\n'):
        m = re.fullmatch(r'(Tx|Rx):((?: [0-9a-f]{2})*)(.*)', line)
        assert m, 'malformed log line %r' % line
        lines.append((m.group(1), bytes.fromhex(m.group(2)), m.group(3)))
    return lines


class Log(unittest.TestCase):
    def test_short_run_exactly(self):
        r = harness.run(['/INFO', '/LOG'], sim_args=['--id', '2765'] + USER_ID_POKES)
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.read('picup.log'), START_OF_RUN + END)
        # On an echoing line the log is the same: echoes are never logged.
        e = harness.run(['/INFO', '/LOG'], sim_args=['--id', '2765', '--echo'] + USER_ID_POKES)
        self.assertEqual(e.code, 0, e)
        self.assertEqual(e.read('picup.log'), START_OF_RUN + END)

    def test_time_out_mark_and_nak_in_place_of_a_reply(self):
        # Reply bytes 1 and 2 are the status byte and the VPP-on ACK; losing
        # byte 3 leaves the user ID reply one short, so its checksum times out.
        r = harness.run(['/LOG'], sim_args=['--id', '2765', '--drop-reply-byte', '3']
                        + USER_ID_POKES)
        self.assertEqual(r.code, 1, r)
        self.assertEqual(r.stdout, '\ncommunication error!\n')
        self.assertEqual(r.read('picup.log'),
                         '\nTx: d4 55 c3 80 00 00 d5 04 44'
                         '\nRx: 3f 02 00 f3 3f 04 00 98 !!! Timeout !!!' + END)
        # A NAK answering the user ID read is logged as the byte received.
        n = harness.run(['/LOG'], sim_args=['--nak-before-frame', '6'])
        self.assertEqual(n.code, 1, n)
        self.assertEqual(n.stdout, '\ncommunication error!\n')
        self.assertTrue(n.read('picup.log').startswith(
            '\nTx: d4 55 c3 80 00 00 d5 04 44\nRx: 15'), n.read('picup.log'))
        self.assertTrue(n.sent().endswith(bytes([0xC2, 0x3E])))

    def test_whole_upload_is_logged_without_check_bytes(self):
        flash = {a: (a * 37) & 0x3FFF for a in range(0x50)}
        full = dict(flash)
        full.update({0xF000 + i: i for i in range(8)})
        full[0x8007] = 0x3FE4
        for part, words in (('PIC16F1825', full), ('PIC12F629', flash)):
            with self.subTest(part=part):
                r = harness.run(['/LOG', 'a.hex'], part=part,
                                files={'a.hex': harness.make_hex(words)})
                self.assertEqual(r.code, 0, r)
                lines = log_lines(r.read('picup.log'))
                tx = b''.join(b for d, b, _ in lines if d == 'Tx')
                rx = b''.join(b for d, b, _ in lines if d == 'Rx')
                # Frames still queued when the run ends are logged, never sent.
                frames = frames_without_checks(r.sent())
                wire = b''.join(frames)
                self.assertEqual(tx[:len(wire)], wire)
                self.assertLess(len(tx) - len(wire), 256)
                # Everything received but the probe's status byte and the
                # VPP-on acknowledgements (one per VPP cycle) is logged.
                vpp_ons = sum(1 for f in frames if f[0] == 0xC3)
                received = r.received()
                self.assertEqual(len(rx), len(received) - 1 - vpp_ons)
                if vpp_ons == 1:
                    self.assertEqual(rx, received[2:])
                for k, (d, b, tail) in enumerate(lines):
                    self.assertTrue(1 <= len(b) <= 17, lines[k])
                    self.assertEqual(tail, '')
                    if k + 1 < len(lines) and lines[k + 1][0] == d:
                        self.assertEqual(len(b), 17, 'line %d broken early' % k)


if __name__ == '__main__':
    unittest.main()
