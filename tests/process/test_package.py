"""scripts/package: the Windows zip and the Linux tarball, their contents, and
that the programs in them are the ones built and still run."""
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

import harness
import wine


def project_version():
    with open(os.path.join(harness.SOURCE, 'CMakeLists.txt')) as f:
        return re.search(r'project\(picup VERSION ([0-9.]+)', f.read()).group(1)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


class PackageTest(unittest.TestCase):
    def setUp(self):
        harness.need_binaries()
        wine.skip_under_sanitizers()
        if not harness.BUILD or not os.path.exists(os.path.join(harness.BUILD, 'sim', 'picsim')):
            self.skipTest('PICUP_BUILD with sim/picsim not set')
        self.out = self.scratch()
        self.script = os.path.join(harness.SOURCE, 'scripts', 'package')

    def scratch(self):
        d = tempfile.mkdtemp(prefix='picup-dist-')
        self.addCleanup(shutil.rmtree, d, ignore_errors=True)
        return d

    def package(self, exe):
        return subprocess.run([self.script, '--exe', exe, '--native', harness.BUILD,
                               '--out', self.out], capture_output=True, text=True, timeout=600)

    def test_archives(self):
        exe = wine._cross_build(32)
        p = self.package(exe)
        self.assertEqual(p.returncode, 0, p.stderr)
        version = project_version()
        win = 'picup-%s-win32' % version
        linux = 'picup-%s-linux-x86_64' % version
        self.assertEqual(sorted(os.listdir(self.out)), [linux + '.tar.gz', win + '.zip'])

        with zipfile.ZipFile(os.path.join(self.out, win + '.zip')) as z:
            files = {n: z.read(n) for n in z.namelist() if not n.endswith('/')}
        sample = read(os.path.join(harness.SOURCE, 'examples', 'pic16f1825', 'blink.hex'))
        self.assertEqual(files, {win + '/picup.exe': read(exe),
                                 win + '/README.md': read(os.path.join(harness.SOURCE, 'README.md')),
                                 win + '/blink.hex': sample})

        unpacked = self.scratch()
        with tarfile.open(os.path.join(self.out, linux + '.tar.gz')) as t:
            names = set(t.getnames())
            t.extractall(unpacked)
        chips = sorted(d for d in os.listdir(os.path.join(harness.SOURCE, 'examples'))
                       if os.path.isdir(os.path.join(harness.SOURCE, 'examples', d)))
        for name in ['picup', 'picsim', 'README.md', 'picup.1'] + \
                ['examples/%s/blink.hex' % c for c in chips]:
            self.assertIn('%s/%s' % (linux, name), names)
        self.assertNotIn(linux + '/examples/CMakeLists.txt', names)
        # The packaged program works from where it was unpacked.
        picup = os.path.join(unpacked, linux, 'picup')
        usage = subprocess.run([picup], capture_output=True, text=True, timeout=30)
        self.assertEqual(usage.returncode, 0)
        self.assertIn('Usage: picup [option [option]...] [<hexfile>]', usage.stdout)
        sim = subprocess.run([os.path.join(unpacked, linux, 'picsim'), '--help'],
                             capture_output=True, text=True, timeout=30)
        self.assertIn('usage: picsim', sim.stdout)

    def test_refuses_a_program_that_is_not_32_bit_windows(self):
        p = self.package(harness.PICUP)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn('is not a 32-bit Windows program', p.stderr)
        self.assertEqual(os.listdir(self.out), [])


if __name__ == '__main__':
    unittest.main()
