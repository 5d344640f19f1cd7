"""The uploads the benchmark times: HEX files made here, in the address map the
target's own tools write (PIC12F629 family: configuration at word 0x2007 and
data EEPROM from word 0x2100; the others: configuration at 0x8007 and data
EEPROM from 0xF000), and the picup command line for each."""

import os


def _record(rtype, addr, payload):
    raw = bytes([len(payload), addr >> 8 & 0xFF, addr & 0xFF, rtype]) + bytes(payload)
    return ':' + (raw + bytes([-sum(raw) & 0xFF])).hex().upper()


def hex_text(words):
    """Intel HEX for {word address: value}: 8 words to a record, runs broken
    where addresses jump, extended linear address records as needed."""
    lines, upper, run = [], None, []

    def flush():
        if not run:
            return
        start = run[0][0] * 2
        payload = []
        for _, v in run:
            payload += [v & 0xFF, v >> 8 & 0xFF]
        lines.append(_record(0, start & 0xFFFF, payload))
        run.clear()

    for a, v in sorted(words.items()):
        seg = (a * 2) >> 16
        if seg != upper:
            flush()
            upper = seg
            lines.append(_record(4, 0, [seg >> 8, seg & 0xFF]))
        if run and (run[-1][0] + 1 != a or len(run) == 8):
            flush()
        run.append((a, v))
    flush()
    lines.append(_record(1, 0, []))
    return '\n'.join(lines) + '\n'


def pattern(a):
    """A 14-bit word that differs from its neighbours and from 0x3FFF."""
    return (a * 0x1F3 + 0x155) % 0x3FFF


def program_words(rows, row_size):
    """Program words filling the given row numbers."""
    return {a: pattern(a) for r in rows for a in range(r * row_size, (r + 1) * row_size)}


def full_pic16f1825():
    w = program_words(range(0x2000 // 32), 32)
    w.update({0x8000 + i: 0x3FF0 | (i + 1) for i in range(4)})
    w[0x8007], w[0x8008] = 0x3FE4, 0x3FFF
    w.update({0xF000 + i: (i * 37 + 11) & 0xFF for i in range(256)})
    return w


def full_pic16f1939():
    """16K words in rows of 32 that the chip writes 8 latches at a time: four
    programming cycles a row."""
    w = program_words(range(0x4000 // 32), 32)
    w.update({0x8000 + i: 0x3FF0 | (i + 1) for i in range(4)})
    w[0x8007], w[0x8008] = 0x3FE4, 0x3FFF
    w.update({0xF000 + i: (i * 29 + 3) & 0xFF for i in range(256)})
    return w


def full_pic12f629():
    # 0x3FF holds the factory calibration, which picup keeps itself.
    w = {a: pattern(a) for a in range(0x3FF)}
    w.update({0x2000 + i: 0x3FF0 | (i + 1) for i in range(4)})
    w[0x2007] = 0x3194  # oscillator and protection bits; BG bits come from the chip
    w.update({0x2100 + i: (i * 53 + 7) & 0xFF for i in range(128)})
    return w


class Job:
    def __init__(self, name, title, part, args, words=None, rows=None, chip=None):
        self.name = name
        self.title = title
        self.part = part
        self.args = args          # picup arguments; {hex} is the HEX file's path
        self.words = words        # None: no HEX file
        self.rows = rows          # rows holding data, for the scaling table
        self.chip = chip          # what the chip holds before the run (picup's map), or None

    def _write(self, path, words):
        if not os.path.exists(path):
            with open(path, 'w') as f:
                f.write(hex_text(words))

    def command(self, workdir):
        path = os.path.join(workdir, self.name + '.hex')
        if self.words is not None:
            self._write(path, self.words)
        return [a.replace('{hex}', path) for a in self.args]

    def sim_args(self, workdir):
        """picsim options that put the chip's starting contents in place."""
        if self.chip is None:
            return []
        path = os.path.join(workdir, self.name + '.chip.hex')
        self._write(path, self.chip)
        return ['--load', path]


def main_jobs():
    return [
        Job('full16', 'PIC16F1825 full: 8K words, 256 EEPROM bytes, config, user IDs',
            'PIC16F1825', ['{hex}'], full_pic16f1825()),
        Job('prog1k', 'PIC16F1825 program only, 1K words', 'PIC16F1825', ['{hex}'],
            program_words(range(32), 32)),
        Job('full1939', 'PIC16F1939 full: 16K words, 8 latches a 32-word row, 256 EEPROM bytes, config, user IDs',
            'PIC16F1939', ['{hex}'], full_pic16f1939()),
        Job('full629', 'PIC12F629 full: 1K words, 128 EEPROM bytes, config, user IDs',
            'PIC12F629', ['{hex}'], full_pic12f629()),
        Job('read256', '/READ of 256 words', 'PIC16F1825', ['/READ0x0-0xFF']),
        Job('info', '/INFO', 'PIC16F1825', ['/INFO']),
    ]


def changed_rows(words, rows, row_size=32):
    """The same image with one word changed in each of the given rows."""
    out = dict(words)
    for r in rows:
        a = r * row_size + 5
        out[a] = (out[a] + 1) & 0x3FFF
    return out


def update_jobs():
    """/UPDATE and /VERIFY of the full PIC16F1825 image, beside the full upload
    of the same file: onto a chip that holds it, with one row changed, with
    every row changed."""
    full = full_pic16f1825()
    return [
        Job('upd_same', '/UPDATE, chip already holds the image', 'PIC16F1825',
            ['/UPDATE', '{hex}'], full, chip=full),
        Job('upd_1row', '/UPDATE, one row differs', 'PIC16F1825',
            ['/UPDATE', '{hex}'], full, chip=changed_rows(full, [100])),
        Job('upd_all', '/UPDATE, every row differs', 'PIC16F1825',
            ['/UPDATE', '{hex}'], full, chip=changed_rows(full, range(256))),
        Job('verify', '/VERIFY of the full image', 'PIC16F1825',
            ['/VERIFY', '{hex}'], full, chip=full),
    ]


def scaling_jobs():
    """Program-only uploads of 1/8 to all of the PIC16F1825's 256 rows, once
    as one block from address 0 and once spread over the whole flash (every
    8th, 4th, 2nd row): the same data rows, the empty rows between them free."""
    out = []
    total = 256
    for denom in (8, 4, 2, 1):
        n = total // denom
        out.append(Job('block_1_%d' % denom, '1/%d of flash, one block' % denom, 'PIC16F1825',
                       ['{hex}'], program_words(range(n), 32), n))
        if denom > 1:
            out.append(Job('spread_1_%d' % denom, '1/%d of flash, every %d. row' % (denom, denom),
                           'PIC16F1825', ['{hex}'], program_words(range(0, total, denom), 32), n))
    return out
