"""Committed captures of what picup sends and prints for every example and
every range command: a change of the write sequence's structure must leave the
bytes on the wire and the console text exactly as they were.

Each case starts from a chip that holds its example program (uploaded once
into a state file) and runs one command against a copy of that state.
PICUP_UPDATE_CAPTURES=1 rewrites the capture file instead of comparing; a
rewrite belongs in a commit that says why the traffic changed."""
import hashlib
import json
import os
import shutil
import unittest

import harness

CAPTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'captures.json')
EXAMPLES = os.path.join(harness.SOURCE, 'examples')

PARTS = {
    'PIC16F1825': 'pic16f1825', 'PIC16F1503': 'pic16f1503', 'PIC12F1840': 'pic12f1840',
    'PIC12F629': 'pic12f629', 'PIC16F676': 'pic16f676',
}

# Commands run on every part; {hex} is the example program.
COMMANDS = [
    ['{hex}'],
    ['/BULKERASE', '{hex}'],
    ['/INFO'],
    ['/BULKERASE'],
    ['/READ0-0x27'],
    ['/READ0x7FC-0x8008'],
    ['/READ0xF000-0xF01F'],
    ['/ERASE0x10-0x2F'],
    ['/ERASE0x21'],
    ['/FILL0x20-0x3F,0x1234'],
    ['/FILL0x5-0x7'],
    ['/FILL0x8000-0x8003,5'],
    ['/ERASE0xF000-0xF00F'],
    ['/FILL0xF010-0xF013,0xA5'],
    ['/ERASE0x40-0x5F', '{hex}'],
    ['/FILL0xF000-0xF003,0x12', '{hex}'],
]

# Commands for the PIC12F629 family only: the calibration word.
TYPE1_COMMANDS = [
    ['/FILL0x3FF,0x3480'],
    ['/FILL0x3FF,0x3480', '{hex}'],
]


def case_name(part, command):
    return part + ' ' + ' '.join(command)


class CaptureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.need_binaries()
        cls.update = os.environ.get('PICUP_UPDATE_CAPTURES') == '1'
        cls.captured = {}
        cls.committed = {}
        if os.path.exists(CAPTURES):
            with open(CAPTURES) as f:
                cls.committed = json.load(f)

    @classmethod
    def tearDownClass(cls):
        if cls.update:
            with open(CAPTURES, 'w') as f:
                json.dump(cls.captured, f, indent=1, sort_keys=True)
                f.write('\n')

    def programmed_chip(self, part):
        with open(os.path.join(EXAMPLES, PARTS[part], 'blink.hex')) as f:
            program = f.read()
        r = harness.run(['blink.hex'], part=part, files={'blink.hex': program}, state=True)
        self.assertEqual(r.code, 0, r)
        return r.workdir

    def run_case(self, part, workdir, command):
        fresh = harness.make_workdir()
        for name in ('blink.hex', 'picup.dat', 'target.state'):
            shutil.copy(os.path.join(workdir, name), os.path.join(fresh, name))
        args = ['blink.hex' if a == '{hex}' else a for a in command]
        r = harness.run(args, part=part, workdir=fresh, state=True)
        sent = r.report['from_host']
        return {'code': r.code, 'stdout': r.stdout, 'sent_bytes': len(sent) // 2,
                'sent_sha256': hashlib.sha256(bytes.fromhex(sent)).hexdigest()}

    def test_every_example_and_range_command(self):
        mismatches = []
        for part in PARTS:
            workdir = self.programmed_chip(part)
            commands = COMMANDS + (TYPE1_COMMANDS if part in ('PIC12F629', 'PIC16F676') else [])
            for command in commands:
                name = case_name(part, command)
                got = self.run_case(part, workdir, command)
                self.captured[name] = got
                if self.update:
                    continue
                want = self.committed.get(name)
                if want != got:
                    mismatches.append(name)
        self.assertEqual(mismatches, [], 'traffic or console text changed for these cases')


if __name__ == '__main__':
    unittest.main()
