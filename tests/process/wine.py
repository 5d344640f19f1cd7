"""Running the Windows build of picup under Wine against picsim.

picup.exe reaches the emulated programmer the way it reaches real hardware:
CreateFileA on \\\\.\\COM<n>, then the Win32 comm calls. Wine maps COM<n> to
<prefix>/dosdevices/com<n>, so every run links that name to picsim's
pseudo-terminal just before picup.exe starts (picsim puts the pty path where
the command says {port}).

The 32-bit program runs under 32-bit Wine. A kernel built without 32-bit
support cannot start 32-bit Wine at all; there the same sources are built for
x86-64 and run under 64-bit Wine, so the Windows code paths are still
exercised (`Wine.bits` says which). Without a usable Wine or cross compiler
the tests skip and say why.

Environment: PICUP_EXE (a picup.exe to test instead of building one),
WINEPREFIX (default <build>/wineprefix, created on first use), besides the
harness's PICUP, PICSIM, PICUP_SOURCE and PICUP_BUILD.
"""
import fcntl
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

COM_PORT = 7
PE_MACHINE_BITS = {0x014C: 32, 0x8664: 64}

_wine = None


def _elf_bits(path):
    """32 or 64 for an ELF executable, None for anything else (scripts)."""
    try:
        with open(path, 'rb') as f:
            head = f.read(5)
    except OSError:
        return None
    if head[:4] != b'\x7fELF':
        return None
    return {1: 32, 2: 64}.get(head[4])


def pe_bits(path):
    """32 or 64 for a Windows executable (the machine field of its PE header)."""
    with open(path, 'rb') as f:
        data = f.read(4096)
    offset = int.from_bytes(data[0x3C:0x40], 'little')
    if data[:2] != b'MZ' or data[offset:offset + 4] != b'PE\0\0':
        raise ValueError('%s is not a Windows executable' % path)
    return PE_MACHINE_BITS.get(int.from_bytes(data[offset + 4:offset + 6], 'little'))


def _loader(bits):
    """The Wine loader for `bits`-bit programs, or (None, why not)."""
    names = ['/usr/lib/wine/wine', 'wine'] if bits == 32 else \
        ['/usr/lib/wine/wine64', 'wine64', 'wine']
    found = [p for p in (shutil.which(n) for n in names) if p]
    candidates = [p for p in found if _elf_bits(os.path.realpath(p)) == bits]
    if not candidates:
        return None, 'no %d-bit Wine installed' % bits
    try:
        p = subprocess.run([candidates[0], '--version'], capture_output=True, timeout=60)
    except OSError as e:
        return None, '%d-bit Wine cannot start here (%s)' % (bits, e.strerror)
    if p.returncode != 0:
        return None, '%d-bit Wine cannot start here' % bits
    return candidates[0], None


def skip_under_sanitizers():
    """The Windows program and the packages are built once, with the plain
    build; a sanitizer build of the native program adds nothing to them."""
    cache = os.path.join(harness.BUILD, 'CMakeCache.txt') if harness.BUILD else ''
    if cache and os.path.exists(cache):
        with open(cache) as f:
            if 'PICUP_SANITIZE:BOOL=ON' in f.read():
                raise unittest.SkipTest('runs with the plain build, not under sanitizers')


def _build_dir():
    return harness.BUILD or os.path.join(harness.SOURCE or tempfile.gettempdir(), 'build')


def _cross_build(bits):
    """Builds picup.exe with scripts/build-windows; skips without the compiler."""
    triple = 'i686-w64-mingw32' if bits == 32 else 'x86_64-w64-mingw32'
    if not shutil.which(triple + '-g++'):
        raise unittest.SkipTest('%s-g++ missing (scripts/wine-setup installs it)' % triple)
    script = os.path.join(harness.SOURCE, 'scripts', 'build-windows')
    out = os.path.join(_build_dir(), 'win%d' % bits)
    args = [script] + (['--64'] if bits == 64 else []) + [out]
    os.makedirs(out, exist_ok=True)
    # Suites running side by side must not build in the same folder at once.
    with open(os.path.join(out, '.build-lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        p = subprocess.run(args, capture_output=True, text=True, timeout=900)
    if p.returncode != 0:
        raise AssertionError('scripts/build-windows failed:\n' + p.stderr[-4000:])
    return p.stdout.strip().splitlines()[-1]


class Wine:
    def __init__(self, loader, bits, exe, prefix):
        self.loader = loader
        self.bits = bits
        self.exe = exe
        self.prefix = prefix
        self.server = os.path.join(os.path.dirname(loader), 'wineserver')
        if not os.path.exists(self.server):
            self.server = shutil.which('wineserver') or 'wineserver'

    def environment(self):
        """No window system and no debug chatter; no Mono or Gecko set-up."""
        os.environ.update(WINEPREFIX=self.prefix, WINEDEBUG='-all', DISPLAY='',
                          WINEDLLOVERRIDES='mscoree,mshtml=')
        os.environ.pop('WAYLAND_DISPLAY', None)

    def start(self):
        """Creates the prefix on first use, then starts a persistent wineserver
        (it ends 30 s after the last program, should the suite not stop it)."""
        self.environment()
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        if not os.path.exists(os.path.join(self.prefix, 'system.reg')):
            os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
            subprocess.run([self.loader, 'wineboot', '-i'], timeout=600, **quiet)
            # The server writes the registry out when it ends.
            subprocess.run([self.server, '-w'], timeout=120, **quiet)
            if not os.path.exists(os.path.join(self.prefix, 'system.reg')):
                raise AssertionError('wineboot did not create the prefix ' + self.prefix)
        # A session of its own: no signal meant for a test's process group
        # reaches the server; its diagnostics (an object dump whenever a serial
        # line it holds hangs up) go nowhere.
        subprocess.run([self.server, '-p30'], timeout=60, start_new_session=True, **quiet)
        # Wine's own service processes outlive the program that starts them
        # and keep its standard output open; started here, and not by a test
        # run whose output is read to its end.
        subprocess.run([self.loader, 'wineboot'], timeout=300, **quiet)

    def stop(self):
        subprocess.run([self.server, '-k'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def link(self):
        return os.path.join(self.prefix, 'dosdevices', 'com%d' % COM_PORT)

    def command(self):
        """picup.exe (in the run's working directory) behind a shell that
        first points com<n> at picsim's pseudo-terminal."""
        return ['/bin/sh', '-c', 'ln -sfn "$0" "$1" && shift && exec "$@"',
                '{port}', self.link(), self.loader, 'picup.exe']


def setup():
    """The Wine to run the suite with; SkipTest when there is none."""
    global _wine
    if _wine is not None:
        return _wine
    harness.need_binaries()
    if not harness.SOURCE:
        raise unittest.SkipTest('PICUP_SOURCE not set')
    exe = os.environ.get('PICUP_EXE', '')
    if exe:
        bits = pe_bits(exe)
        loader, why = _loader(bits)
        if loader is None:
            raise unittest.SkipTest(why)
    else:
        bits = 32
        loader, why = _loader(32)
        if loader is None:
            bits = 64
            loader, why64 = _loader(64)
            if loader is None:
                raise unittest.SkipTest('%s; %s' % (why, why64))
        exe = _cross_build(bits)
    prefix = os.environ.get('WINEPREFIX') or os.path.join(_build_dir(), 'wineprefix')
    wine = Wine(loader, bits, exe, os.path.abspath(prefix))
    wine.start()
    _wine = wine
    return wine


def teardown():
    global _wine
    if _wine is not None:
        _wine.stop()
        _wine = None


def make_workdir():
    """A private working directory holding a copy of picup.exe, which names its
    .cfg, .dat and .log after itself."""
    d = harness.make_workdir()
    shutil.copy(_wine.exe, os.path.join(d, 'picup.exe'))
    return d


def run(args, port=True, **kwargs):
    """harness.run for picup.exe /COM<n> <args> under Wine; port=False leaves
    /COM<n> out (for a port number that comes from the settings file)."""
    kwargs['workdir'] = kwargs.get('workdir') or make_workdir()
    args = (['/COM%d' % COM_PORT] if port else []) + list(args)
    try:
        return harness.run(args, command=_wine.command(), **kwargs)
    finally:
        if os.path.islink(_wine.link()):
            os.unlink(_wine.link())


def run_plain(args, workdir=None, files=None, stdin=None, timeout=60):
    """picup.exe alone under Wine, no emulator."""
    workdir = workdir or make_workdir()
    harness._write_files(workdir, files)
    p = subprocess.run([_wine.loader, 'picup.exe'] + list(args), cwd=workdir,
                       capture_output=True, timeout=timeout, input=stdin,
                       stdin=None if stdin is not None else subprocess.DEVNULL)
    return harness.Result(harness._text(p.stdout), harness._text(p.stderr), p.returncode, {},
                          workdir)


def read(result, name):
    """A file of the run's working directory as written, CR LF and all (the
    harness's reader would turn CR LF into LF)."""
    with open(result.path(name), 'rb') as f:
        return f.read().decode('latin-1')


def unix(text):
    """Console or file text with the Windows runtime's CR LF line ends made LF."""
    return text.replace('\r\n', '\n')
