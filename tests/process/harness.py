"""Shared helpers for process-level tests: run the real picup binary against
picsim (the emulated programmer on a pseudo-terminal), each run in a private
working directory with its own picup.cfg / .dat / .log beside a symlink to the
binary, and read back what ended up in the emulated target.

Environment (set by ctest): PICUP (picup binary), PICSIM (picsim binary),
PICUP_SOURCE, PICUP_BUILD.
"""
import atexit
import select
import threading
import tty
import json
import os
import shutil
import subprocess
import tempfile
import unittest

PICUP = os.environ.get('PICUP', '')
PICSIM = os.environ.get('PICSIM', '')
SOURCE = os.environ.get('PICUP_SOURCE', '')
BUILD = os.environ.get('PICUP_BUILD', '')

_workdirs = []


def _cleanup():
    if os.environ.get('PICUP_KEEP_WORKDIRS'):
        return
    for d in _workdirs:
        shutil.rmtree(d, ignore_errors=True)


atexit.register(_cleanup)


def need_binaries(test_case=None):
    """Skip (unittest.SkipTest) when the binaries are not there."""
    missing = [n for n, p in (('PICUP', PICUP), ('PICSIM', PICSIM))
               if not p or not os.path.exists(p)]
    if missing:
        raise unittest.SkipTest('not built / not set: ' + ', '.join(missing))


class Result:
    def __init__(self, stdout, stderr, code, report, workdir, memory=None):
        self.memory = memory      # {word address: value} of programmed cells, with save=True
        self.stdout = stdout
        self.stderr = stderr
        self.code = code
        self.report = report      # dict from picsim --report, {} for run_plain
        self.workdir = workdir

    def path(self, name):
        return os.path.join(self.workdir, name)

    def read(self, name):
        with open(self.path(name), encoding='latin-1') as f:
            return f.read()

    def sent(self):
        """Every byte picup sent, as bytes."""
        return bytes.fromhex(self.report.get('from_host', ''))

    def received(self):
        return bytes.fromhex(self.report.get('to_host', ''))

    def __repr__(self):
        return 'Result(code=%r, stdout=%r, stderr=%r)' % (
            self.code, self.stdout[-2000:], self.stderr[-2000:])


def make_workdir():
    """A fresh private directory with `picup` linked into it."""
    d = tempfile.mkdtemp(prefix='picup-test-')
    _workdirs.append(d)
    if PICUP:
        os.symlink(os.path.abspath(PICUP), os.path.join(d, 'picup'))
    return d


def _write_files(workdir, files):
    for name, content in (files or {}).items():
        path = os.path.join(workdir, name)
        mode = 'wb' if isinstance(content, (bytes, bytearray)) else 'w'
        with open(path, mode) as f:
            f.write(content)


def _text(data):
    return data.decode('latin-1') if isinstance(data, bytes) else (data or '')


def run(args, part='PIC16F1825', sim_args=(), files=None, stdin=None,
        timeout=60, workdir=None, save=False, state=False, command=None):
    """picsim --report ... [sim_args] -- <workdir>/picup <args> in workdir.

    `files` maps names to str/bytes written into the workdir first; pass the
    `workdir` of an earlier Result to keep .cfg/.dat/state files across runs.
    save=True fills Result.memory with the target's programmed cells after the
    run; state=True keeps the target's memory in <workdir>/target.state, so a
    later run with the same workdir (and state=True) finds it again.
    picsim appends /COM=<pty> to the command unless an argument holds {port}.
    `command` (a list) runs in place of <workdir>/picup, e.g. under Wine.
    """
    need_binaries()
    workdir = workdir or make_workdir()
    _write_files(workdir, files)
    report = os.path.join(workdir, 'report.json')
    if os.path.exists(report):
        os.unlink(report)
    cmd = [PICSIM, '--report', report]
    if part:
        cmd += ['--part', part]
    saved = os.path.join(workdir, 'target.hex')
    if save:
        cmd += ['--save', saved]
    if state:
        cmd += ['--state', os.path.join(workdir, 'target.state')]
    program = list(command) if command else [os.path.join(workdir, 'picup')]
    cmd += list(sim_args) + ['--'] + program + list(args)
    p = subprocess.run(cmd, cwd=workdir, capture_output=True, timeout=timeout,
                       input=stdin.encode('latin-1') if isinstance(stdin, str) else stdin,
                       stdin=None if stdin is not None else subprocess.DEVNULL)
    data = {}
    if os.path.exists(report):
        with open(report) as f:
            data = json.load(f)
    memory = read_hex(saved) if save and os.path.exists(saved) else None
    return Result(_text(p.stdout), _text(p.stderr), p.returncode, data, workdir, memory)


def run_plain(args, files=None, stdin=None, timeout=60, workdir=None):
    """picup alone, no emulator."""
    if not PICUP or not os.path.exists(PICUP):
        raise unittest.SkipTest('PICUP not built / not set')
    workdir = workdir or make_workdir()
    _write_files(workdir, files)
    p = subprocess.run([os.path.join(workdir, 'picup')] + list(args), cwd=workdir,
                       capture_output=True, timeout=timeout,
                       input=stdin.encode('latin-1') if isinstance(stdin, str) else stdin,
                       stdin=None if stdin is not None else subprocess.DEVNULL)
    return Result(_text(p.stdout), _text(p.stderr), p.returncode, {}, workdir)


# --- Intel HEX in picup's address map: byte address = 2 x word address ---

def parse_hex(text):
    """{word address: value} from Intel HEX text (words low byte first)."""
    data = {}
    upper = 0
    for n, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        if not line.startswith(':'):
            raise ValueError('line %d: not a record' % n)
        raw = bytes.fromhex(line[1:])
        if len(raw) < 5 or len(raw) != raw[0] + 5 or sum(raw) % 256:
            raise ValueError('line %d: bad record' % n)
        count, addr, rtype, payload = raw[0], raw[1] << 8 | raw[2], raw[3], raw[4:-1]
        if rtype == 0:
            for i, b in enumerate(payload):
                data[upper + addr + i] = b
        elif rtype == 1:
            break
        elif rtype == 2:
            upper = (payload[0] << 8 | payload[1]) * 16
        elif rtype == 4:
            upper = (payload[0] << 8 | payload[1]) << 16
    words = {}
    for a, b in data.items():
        w = words.get(a // 2, 0)
        words[a // 2] = (w & 0x00FF) | b << 8 if a % 2 else (w & 0xFF00) | b
    return words


def read_hex(path):
    with open(path) as f:
        return parse_hex(f.read())


def _record(rtype, addr, payload):
    raw = bytes([len(payload), addr >> 8 & 0xFF, addr & 0xFF, rtype]) + bytes(payload)
    return ':' + (raw + bytes([-sum(raw) & 0xFF])).hex().upper()


def make_hex(words, per_record=8):
    """Intel HEX text for {word address: value}, with extended linear address
    records, 8 words to a record."""
    lines = []
    upper = None
    items = sorted(words.items())
    i = 0
    while i < len(items):
        start = items[i][0]
        seg = (start * 2) >> 16
        if seg != upper:
            upper = seg
            lines.append(_record(4, 0, [seg >> 8, seg & 0xFF]))
        payload = []
        a = start
        while (i < len(items) and items[i][0] == a and len(payload) < 2 * per_record
               and (a * 2) >> 16 == seg):
            payload += [items[i][1] & 0xFF, items[i][1] >> 8 & 0xFF]
            a += 1
            i += 1
        lines.append(_record(0, (start * 2) & 0xFFFF, payload))
    lines.append(_record(1, 0, []))
    return '\n'.join(lines) + '\n'


class PtyLine:
    """A pseudo-terminal whose master side records every byte picup sends.
    Subclasses play a programmer by overriding answer(), which runs after each
    read with self.received holding everything so far."""

    def __init__(self):
        self.master, self.slave_fd = os.openpty()
        self.path = os.ttyname(self.slave_fd)
        tty.setraw(self.master)
        self.received = bytearray()
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop:
            ready, _, _ = select.select([self.master], [], [], 0.02)
            if not ready:
                continue
            try:
                self.received += os.read(self.master, 4096)
            except OSError:
                return
            self.answer()

    def answer(self):
        pass

    def close(self):
        self._stop = True
        self._thread.join()
        os.close(self.master)
        os.close(self.slave_fd)
