"""The source folders include one another in one direction only: run -> ops ->
image/devicedb/protocol -> serial/ui -> platform. A header that points the
other way would tie a lower layer to the run's options or exit path."""
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
    'run': {'ops', 'image', 'devicedb', 'protocol', 'serial', 'platform', 'ui'},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)


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


if __name__ == '__main__':
    unittest.main()
