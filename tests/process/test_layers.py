"""The source folders include one another in one direction only: run ->
cli -> production -> record -> ops -> image/devicedb/protocol -> serial/ui ->
platform. A header that points the other way would tie a lower layer to the
run's options or exit path. The settings travel down as values: nothing below
the command line reads them from it."""
import os
import re
import unittest

import harness

# Each folder and the folders it may include besides itself.
ALLOWED = {
    'platform': set(),
    'serial': {'platform'},
    'ui': {'platform'},
    'devicedb': {'platform', 'ui'},
    'image': {'devicedb', 'platform', 'ui'},
    'protocol': {'devicedb', 'serial', 'platform', 'ui'},
    'ops': {'image', 'devicedb', 'protocol', 'serial', 'platform', 'ui'},
    'record': {'ops', 'image', 'devicedb', 'protocol', 'serial', 'platform', 'ui'},
    'production': {'record', 'ops', 'image', 'devicedb', 'protocol', 'serial', 'platform', 'ui'},
    'cli': {'production', 'record', 'ops', 'image', 'devicedb', 'protocol', 'serial', 'platform',
            'ui'},
    'run': {'cli', 'production', 'record', 'ops', 'image', 'devicedb', 'protocol', 'serial',
            'platform', 'ui'},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)
HEADER = re.compile(r'^\s*#\s*include\s+"([a-z]+/[a-z0-9_]+\.h)"', re.M)

# The emulator builds its chips from the part table alone: picup's families,
# ICSP steps and operations are never its model, so that it can disagree with
# them. Its in-process backend stands in for the port and the clock, whose
# interfaces it implements.
SIM_MAY_INCLUDE = {'sim/', 'devicedb/part.h'}
SIM_BACKEND_MAY_INCLUDE = {'serial/port.h', 'platform/platform.h'}
SIM_BACKEND = {'inproc.cpp', 'inproc.h'}
# The fuzz harnesses drive the product's own entry points, never the emulator.
FUZZ_MAY_NOT_INCLUDE = {'sim'}


class LayerTest(unittest.TestCase):
    def test_includes_point_one_way(self):
        src = os.path.join(harness.SOURCE, 'src')
        found = set(os.listdir(src))
        self.assertEqual(found - set(ALLOWED), set(), 'a folder without a place in the layers')
        wrong = []
        for folder in sorted(found):
            for name in sorted(os.listdir(os.path.join(src, folder))):
                with open(os.path.join(src, folder, name)) as f:
                    for target in INCLUDE.findall(f.read()):
                        if target != folder and target not in ALLOWED[folder]:
                            wrong.append('%s/%s includes %s/' % (folder, name, target))
        self.assertEqual(wrong, [])

    def test_emulator_and_fuzzers_stay_in_their_place(self):
        wrong = []
        sim = os.path.join(harness.SOURCE, 'sim')
        for name in sorted(os.listdir(sim)):
            if not name.endswith(('.cpp', '.h')):
                continue
            with open(os.path.join(sim, name)) as f:
                for header in HEADER.findall(f.read()):
                    allowed = header.startswith('sim/') or header in SIM_MAY_INCLUDE or (
                        name in SIM_BACKEND and header in SIM_BACKEND_MAY_INCLUDE)
                    if not allowed:
                        wrong.append('sim/%s includes %s' % (name, header))
        fuzz = os.path.join(harness.SOURCE, 'fuzz')
        for name in sorted(os.listdir(fuzz)):
            if not name.endswith(('.cpp', '.h')):
                continue
            with open(os.path.join(fuzz, name)) as f:
                for target in INCLUDE.findall(f.read()):
                    if target in FUZZ_MAY_NOT_INCLUDE:
                        wrong.append('fuzz/%s includes %s/' % (name, target))
        self.assertEqual(wrong, [])


if __name__ == '__main__':
    unittest.main()
