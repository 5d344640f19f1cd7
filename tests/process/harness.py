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
import signal
import subprocess
import tempfile
import time
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

    def record(self, name='run.json'):
        """The run record picup wrote with /JSON=<name>, parsed."""
        with open(self.path(name), encoding='utf-8') as f:
            return json.load(f)

    def temp_files(self):
        """Names in the work directory that end in .tmp."""
        return sorted(n for n in os.listdir(self.workdir) if n.endswith('.tmp'))

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


def _picsim_start(part, files, workdir):
    """The workdir with its files, the report's path (no old report left) and
    the start of the picsim command line."""
    need_binaries()
    workdir = workdir or make_workdir()
    _write_files(workdir, files)
    report = os.path.join(workdir, 'report.json')
    if os.path.exists(report):
        os.unlink(report)
    cmd = [PICSIM, '--report', report]
    if part:
        cmd += ['--part', part]
    return workdir, report, cmd


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
    workdir, report, cmd = _picsim_start(part, files, workdir)
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


def spawn(args, part='PIC16F1825', sim_args=(), files=None, workdir=None, **popen):
    """Starts picsim --report ... -- <workdir>/picup <args> without waiting;
    `popen` goes to subprocess.Popen (stdout=PIPE by default, stdin /dev/null).
    Hand the process to collect() for its Result."""
    workdir, _, cmd = _picsim_start(part, files, workdir)
    cmd += list(sim_args) + ['--', os.path.join(workdir, 'picup')] + list(args)
    popen.setdefault('stdin', subprocess.DEVNULL)
    popen.setdefault('stdout', subprocess.PIPE)
    popen.setdefault('stderr', subprocess.PIPE)
    p = subprocess.Popen(cmd, cwd=workdir, **popen)
    p.workdir = workdir
    return p


def _catches(pid, signum):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('SigCgt:'):
                return int(line.split()[1], 16) >> (signum - 1) & 1
    return 0


def _still_picsim(pid):
    return os.path.realpath('/proc/%d/exe' % pid) == os.path.realpath(PICSIM)


def command_pid(p, catching=signal.SIGINT, timeout=5):
    """Process id of the command that picsim process `p` started (picup), once
    it has its handler for `catching` in place: a signal sent before would
    end it without its exit handler."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open('/proc/%d/task/%d/children' % (p.pid, p.pid)) as f:
                children = f.read().split()
            # Between fork and exec the child is still picsim, whose own
            # handler it carries; only the command's own handler counts. The
            # exec is looked for first, and the handlers a moment after it:
            # exec resets caught signals, so a handler seen then is the
            # command's own.
            if children and not _still_picsim(int(children[0])):
                time.sleep(0.001)
                if _catches(int(children[0]), catching):
                    return int(children[0])
        except OSError:
            pass
        time.sleep(0.001)
    raise AssertionError('picsim started no command that catches %s' % catching)


def collect(p, timeout=60):
    """Waits for a spawn()ed run and returns its Result; stdout is whatever
    the pipe still held."""
    out, err = p.communicate(timeout=timeout)
    data = {}
    report = os.path.join(p.workdir, 'report.json')
    if os.path.exists(report):
        with open(report) as f:
            data = json.load(f)
    return Result(_text(out), _text(err), p.returncode, data, p.workdir)


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


class Server:
    """picsim --serve: an emulated programmer on a pseudo-terminal of its own
    that serves whoever opens it until stop(). Runs in a session of its own,
    so a Ctrl+C meant for picup's process group does not stop the programmer.
    After stop(): `report` (picsim's report) and `memory` (the target's
    programmed cells)."""

    def __init__(self, workdir, name, part='PIC16F1825', sim_args=()):
        need_binaries()
        self.report_path = os.path.join(workdir, name + '.report.json')
        self.save_path = os.path.join(workdir, name + '.target.hex')
        cmd = [PICSIM, '--serve', '--part', part, '--report', self.report_path,
               '--save', self.save_path] + list(sim_args)
        self.process = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                        text=True, start_new_session=True)
        self.path = self.process.stdout.readline().strip()
        self.report, self.memory = {}, {}

    def stop(self):
        """SIGTERM: picsim writes its report and the target's memory."""
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()
        if os.path.exists(self.report_path):
            with open(self.report_path) as f:
                self.report = json.load(f)
        if os.path.exists(self.save_path):
            self.memory = read_hex(self.save_path)
        return self

    def sent(self):
        return bytes.fromhex(self.report.get('from_host', ''))


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


def flash_checksum(memory, flash_size):
    """The program memory checksum of a chip whose programmed cells are
    `memory` (picsim's --save): the sum of its 14-bit flash words, erased
    ones as 0x3FFF, modulo 0x10000."""
    return sum(memory.get(a, 0x3FFF) & 0x3FFF for a in range(flash_size)) % 0x10000


def region_cells(words, type1=False):
    """Cells per region of {word address: value} from a HEX file, as the run
    record counts them; `type1`: the file keeps configuration space at word
    0x2000 and data EEPROM at 0x2100 (PIC12F629 family)."""
    cells = {'flash': 0, 'eeprom': 0, 'user_id': 0, 'config': 0}
    for a in words:
        if type1 and a >= 0x2000:
            a = a - 0x2100 + 0xF000 if a >= 0x2100 else a - 0x2000 + 0x8000
        region = ('flash' if a < 0x8000 else 'user_id' if a < 0x8004 else
                  'config' if a < 0xF000 else 'eeprom')
        cells[region] += 1
    return cells


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


# Argument bytes of the programmer's own codes (0xC0 and up) that have any.
FRAME_ARGUMENTS = {0xD4: 1, 0xD5: 1, 0xE6: 2}
# Frames that change the target: bulk erase program / data, row erase, the
# loads of program and EEPROM data, begin programming (internally and
# externally timed) and chip erase. (Load Configuration only moves the
# address counter; identification uses it.)
CHANGING_FRAMES = (0x09, 0x0B, 0x11, 0x82, 0x83, 0x08, 0x18, 0x1F)


def frame_arguments(code):
    """Argument bytes of a frame: an ICSP code (below 0xC0) carries a data
    word when its 0x80 bit is set; the programmer's codes have their own."""
    if code < 0xC0:
        return 2 if code & 0x80 else 0
    return FRAME_ARGUMENTS.get(code, 0)


def frame_codes(sent):
    """The command code of every frame in the host's bytes, the probe first
    (each frame: code, its argument bytes, one check byte)."""
    codes, i = [], 0
    while i < len(sent):
        codes.append(sent[i])
        i += frame_arguments(sent[i]) + 2
    return codes


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
