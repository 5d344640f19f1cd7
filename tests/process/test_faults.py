"""Fault matrix: the real picup binary against picsim with one injected line or
programmer fault at each stage of a run. Every cell checks the exit code, the
exact last console message (or none, where the run ends silently), the time the
run took against the time-outs, and that the VPP-off frame C2 3E is the last
thing on the line wherever the line still works. Every run writes a run
record (/JSON=), which must tell the same ending and agree with picsim's count
of the bytes that crossed the line.

The frame, read-reply and byte numbers of each stage are computed from a clean
run of the same command, so the matrix follows the traffic when it changes."""

import concurrent.futures
import json
import os
import subprocess
import time
import unittest

import harness

COMM_ERROR = '\ncommunication error!\n'
VPP_FAILED = '\nVPP activation failed!\n'
SILENT = ''
VPP_OFF = bytes([0xC2, 0x3E])

# Argument bytes of each command code; every other code has none.
ARGUMENTS = {0x80: 2, 0x82: 2, 0x83: 2, 0xD4: 1, 0xD5: 1, 0xE6: 2}
READS = (0x44, 0x45)
REPLY_CODES = (0xC0, 0xC1, 0xC3)  # sync, probe, VPP on: one reply byte each


class Frame:
    def __init__(self, number, code, args, host_offset):
        self.number = number            # counted from 1, the probe is frame 1
        self.code = code
        self.args = args
        self.host_offset = host_offset  # index of its first byte among the host's bytes
        self.repeat = 1
        self.read_number = 0            # counted from 1 over read replies
        self.reply_offset = -1          # index of its first reply byte among the programmer's


def split_frames(sent):
    """The host's bytes cut into frames, each annotated with the numbers the
    fault options count in."""
    frames, i, repeat, reads, replies = [], 0, 1, 0, 0
    while i < len(sent):
        code = sent[i]
        n = ARGUMENTS.get(code, 0)
        f = Frame(len(frames) + 1, code, sent[i + 1:i + 1 + n], i)
        i += n + 2
        if code in READS:
            reads += 1
            f.read_number, f.repeat = reads, repeat
            f.reply_offset, replies = replies, replies + 2 * repeat + 1
        elif code in REPLY_CODES:
            f.reply_offset, replies = replies, replies + 1
        repeat = f.args[0] if code == 0xD5 else 1
        frames.append(f)
    return frames


def first(frames, test, after=0):
    for f in frames[after:]:
        if test(f):
            return f
    return None


def checked_writes(frames):
    """Frames that start a word written and read back (user ID, config):
    load, begin programming, delay, read of one word."""
    codes = [f.code for f in frames]
    return [frames[k] for k in range(len(frames) - 3)
            if codes[k:k + 4] == [0x82, 0x08, 0xE6, 0x44]]


def stages_of_upload(frames):
    """{stage: first frame of the stage} in a whole upload."""
    by_code = lambda code, after=0: first(frames, lambda f: f.code == code, after)
    erase = by_code(0x09)
    program = by_code(0x82, erase.number)
    verify = by_code(0x44, program.number)
    eeprom = by_code(0x83)
    writes = checked_writes(frames)
    return {'probe': frames[0], 'detection': frames[1], 'bulk erase': erase,
            'flash write': program, 'verify': verify, 'EEPROM': eeprom,
            'user ID': writes[0], 'configuration': writes[4]}


def stage_after_detection(frames, code):
    """First frame with `code` after the device's own VPP voltage is set (the
    second D4 frame), where detection ends."""
    second_vpp = [f for f in frames if f.code == 0xD4][1]
    return first(frames, lambda f: f.code == code, second_vpp.number)


def first_reply(frames, start):
    return first(frames, lambda f: f.reply_offset >= 0, start.number - 1)


def first_read(frames, start):
    return first(frames, lambda f: f.read_number > 0, start.number - 1)


def run_with_key_later(args, sim_args, workdir, delay=0.4):
    """Like harness.run, with a stdin that stays open for `delay` seconds and
    then closes: the key press that ends the calibration read-out."""
    report = os.path.join(workdir, 'report.json')
    if os.path.exists(report):
        os.unlink(report)
    cmd = [harness.PICSIM, '--report', report] + list(sim_args) + [
        '--', os.path.join(workdir, 'picup')] + list(args)
    p = subprocess.Popen(cmd, cwd=workdir, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(delay)
    out, err = p.communicate(input=b'', timeout=60)
    data = {}
    if os.path.exists(report):
        with open(report) as f:
            data = json.load(f)
    return harness.Result(out.decode('latin-1'), err.decode('latin-1'), p.returncode,
                          data, workdir)



def upload_files(chip='pic16f1825'):
    """The example program with four more rows of flash behind it: the rows
    go out in more frames than the programmer's receive buffer holds, so the
    flash write has syncs of its own between the bulk erase and the verify."""
    path = os.path.join(harness.SOURCE, 'examples', chip, 'blink.hex')
    with open(path) as f:
        words = harness.parse_hex(f.read())
    words.update({a: (a * 0x1F3 + 0x155) % 0x3FFF for a in range(0x20, 0xA0)})
    return {'blink.hex': harness.make_hex(words)}


def stages_of_latch_blocks(frames):
    """The second programming cycle of the first row of a part whose rows take
    several latch blocks: a fault between the blocks of one row."""
    erase = first(frames, lambda f: f.code == 0x09)
    cycle = first(frames, lambda f: f.code == 0x08, erase.number)
    return {'latch block': first(frames, lambda f: f.code == 0x08, cycle.number)}


KEY_DELAY = 0.4  # the calibration read-out runs this long before its key

RECORD = 'run.json'

# Scenarios: the command, its files, and where its stages begin in a clean run.
# (A record of the calibration helper's run would read the flash for its
# checksum after the key, a stage of reads the helper's cells are not about.)
SCENARIOS = {
    'upload': (['/JSON=' + RECORD, 'blink.hex'], upload_files, stages_of_upload),
    # Three block reads: a fault after the first still meets a read.
    'read': (['/JSON=' + RECORD, '/READ0-0x27F'], dict,
             lambda frames: {'/READ': stage_after_detection(frames, 0x44)}),
    'osccal': (['/OSCCAL'], dict,
               lambda frames: {'/OSCCAL': stage_after_detection(frames, 0xC7)}),
    # A PIC16F1939 writes each row of 32 words in four blocks of 8 latches.
    'upload in latch blocks': (['/JSON=' + RECORD, 'blink.hex'], lambda: upload_files('pic16f1939'),
                               stages_of_latch_blocks),
}
# The part each scenario runs on where it is not the PIC16F1825.
SCENARIO_PART = {'upload in latch blocks': 'PIC16F1939'}


def execute(scenario, sim_args):
    args, files, _ = SCENARIOS[scenario]
    workdir = harness.make_workdir()
    for name, text in files().items():
        with open(os.path.join(workdir, name), 'w') as f:
            f.write(text)
    start = time.monotonic()
    if scenario == 'osccal':
        r = run_with_key_later(args, ['--part', 'PIC16F1825'] + sim_args, workdir, KEY_DELAY)
    else:
        r = harness.run(args, part=SCENARIO_PART.get(scenario, 'PIC16F1825'), sim_args=sim_args,
                        workdir=workdir)
    # picsim times the run of picup itself; the wall clock is the fallback.
    return r, r.report.get('elapsed_s', time.monotonic() - start)


def sim_args_for(fault, frames, stage, next_stage):
    """picsim options that put `fault` into `stage` (at its first frame, first
    read reply, first reply byte or first echoed byte), or None where the stage
    has nothing the fault could hit."""
    end = next_stage.number if next_stage else len(frames) + 1
    inside = lambda f: f is not None and f.number < end
    if fault == 'NAK':
        return ['--nak-before-frame', str(stage.number)]
    if fault == 'corrupt read':
        f = first_read(frames, stage)
        return ['--corrupt-read', str(f.read_number)] if inside(f) else None
    if fault == 'dropped byte':
        f = first_reply(frames, stage)
        return ['--drop-reply-byte', str(f.reply_offset + 1)] if inside(f) else None
    if fault == 'stall':
        return ['--stall-after-frame', str(stage.number)]
    if fault == 'hang-up':
        return ['--hangup-after-frame', str(stage.number)]
    if fault == 'corrupt echo':
        return ['--echo', '--corrupt-echo', str(stage.host_offset + 1)]
    if fault == 'VPP-on failure':
        return ['--vpp-fail'] if stage.number == 2 else None
    raise ValueError(fault)


# What each cell gives: exit code, the last console line ('' for a silent end,
# OK for a completed upload, None where the run goes on printing read-outs),
# and the time class: PROMPT ends without waiting out a time-out, WAIT after
# one reply time-out (~1 s), AT_KEY right after the calibration key.
OK = '\nOk!\n'
NO_PROGRAMMER = '\nno Programmer connected!\n'
VERIFY_ERROR = '\nVerify Error!\n'
ERROR = '\nError!\n'
PROMPT, WAIT, AT_KEY = 'prompt', 'one time-out', 'at the key'
F = ['NAK', 'corrupt read', 'dropped byte', 'stall', 'hang-up', 'corrupt echo',
     'VPP-on failure']
_ = None
MATRIX = {
    # stage:          NAK                       corrupt read            dropped byte
    #                 stall                     hang-up                 corrupt echo   VPP-on failure
    # A NAK to the probe is taken as the status byte 0x15 (no ICSP failure
    # bit); everything after it is verified, so the upload completes.
    'probe':         [(0, OK, PROMPT),          _,                      (1, NO_PROGRAMMER, PROMPT),
                      (1, VPP_FAILED, WAIT),    (1, NO_PROGRAMMER, PROMPT), (1, VPP_FAILED, PROMPT), _],
    'detection':     [(1, VPP_FAILED, PROMPT),  (1, COMM_ERROR, PROMPT), (1, VPP_FAILED, WAIT),
                      (1, VPP_FAILED, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT),
                      (1, VPP_FAILED, WAIT)],
    'bulk erase':    [(1, COMM_ERROR, PROMPT),  _,                      (1, COMM_ERROR, WAIT),
                      (1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    'flash write':   [(1, COMM_ERROR, PROMPT),  _,                      (1, COMM_ERROR, WAIT),
                      (1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    # The last stage of its scenario: the first read it can corrupt is the
    # verification's.
    'latch block':   [(1, COMM_ERROR, PROMPT),  (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, WAIT),
                      (1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    'verify':        [(1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, WAIT),
                      (1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    'EEPROM':        [(1, COMM_ERROR, PROMPT),  (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, WAIT),
                      (1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    # A checked write compares the word it reads back and does not use the
    # reply's checksum; the first user ID word is 0, whose reply is 00 00 00,
    # so losing one of its bytes still reads back 0 (after the checksum's wait).
    'user ID':       [(1, VERIFY_ERROR, PROMPT), (0, OK, PROMPT),        (0, OK, WAIT),
                      (1, VERIFY_ERROR, WAIT),  (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    'configuration': [(1, ERROR, PROMPT),       (0, OK, PROMPT),        (1, ERROR, WAIT),
                      (1, ERROR, WAIT),         (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    '/READ':         [(1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, WAIT),
                      (1, COMM_ERROR, WAIT),    (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
    # The programmer refusing the helper is a NAK in the tick stream: a silent
    # end. A lost tick is only one line fewer. A stalled programmer still
    # ticks, so the sync after the key reads a tick instead of its ACK.
    '/OSCCAL':       [(1, SILENT, PROMPT),      _,                      (0, None, AT_KEY),
                      (1, COMM_ERROR, AT_KEY),  (1, COMM_ERROR, PROMPT), (1, COMM_ERROR, PROMPT), _],
}

# A NAK that ends the run says on stderr that the programmer refused a frame
# and in which stage, whatever reply it broke (a sync, a read, VPP on); no
# other fault is ever taken for one.
NAK_STAGE = {
    'detection': 'identifying the target', 'bulk erase': 'bulk erasing',
    'flash write': 'programming flash', 'latch block': 'programming flash', 'verify': 'verifying flash',
    'EEPROM': 'programming data EEPROM', 'user ID': 'programming user ID',
    'configuration': 'programming config words', '/READ': 'reading memory',
    '/OSCCAL': 'running the calibration helper',
}

PROMPT_S = 0.9     # start-up, the probe (up to 220 ms), the exit's 50 ms, with margin
WAIT_S = (0.95, 2.5)
FAILURE_TEXTS = ('!\n', 'Error')


def matrix_cells():
    cells = []
    for scenario in SCENARIOS:
        clean, _ = execute(scenario, [])
        if clean.code != 0:
            raise AssertionError('clean %s run failed: %r' % (scenario, clean))
        frames = split_frames(clean.sent())
        stages = list(SCENARIOS[scenario][2](frames).items())
        for k, (stage, frame) in enumerate(stages):
            following = stages[k + 1][1] if k + 1 < len(stages) else None
            for fault, expected in zip(F, MATRIX[stage]):
                sim_args = sim_args_for(fault, frames, frame, following)
                if (sim_args is None) != (expected is None):
                    raise AssertionError('%s / %s: the stage %s' % (
                        stage, fault, 'has no place for it' if sim_args is None else
                        'has a place for it but the matrix has no cell'))
                if sim_args is not None:
                    cells.append((scenario, stage, fault, sim_args, expected))
    return cells


def observe(cell):
    scenario, stage, fault, sim_args, expected = cell
    r, seconds = execute(scenario, sim_args)
    return cell, r, seconds


def check_record(test, r, fault, message, where):
    """The record names the ending the console shows and the wire totals
    picsim counted: every byte picup wrote reached picsim unless the line was
    hung up under it; picup never reads more than picsim sent, and all of it
    in a run that completed."""
    with open(r.path(RECORD)) as f:
        record = json.load(f)
    test.assertEqual(record['schema'], 'picup-run/1', where)
    test.assertEqual(record['exit_code'], r.code, where)
    test.assertEqual(record['result'], 'ok' if r.code == 0 else 'failed', where)
    if r.code == 0:
        test.assertIsNone(record['message'], where)
        test.assertIsInstance(record['checksum'], int, where)
    else:
        test.assertEqual(record['message'], None if message == SILENT else message.strip('\n'), where)
        test.assertIsNone(record['checksum'], where)
    wire, report = record['wire'], r.report
    if fault == 'hang-up':
        test.assertGreaterEqual(wire['bytes_out'], report['bytes_from_host'], where)
    else:
        test.assertEqual(wire['bytes_out'], report['bytes_from_host'], where)
    test.assertLessEqual(wire['bytes_in'], report['bytes_to_host'], where)
    if r.code == 0:
        test.assertEqual(wire['bytes_in'], report['bytes_to_host'], where)
    # picsim counts the replies it gave; a NAK is given in place of one.
    if r.code == 0 and fault != 'NAK':
        test.assertEqual(wire['replies'], report['replies'], where)


def check_cell(test, cell, r, seconds):
    scenario, stage, fault, sim_args, (code, message, timing) = cell
    where = '%s / %s (%s): %r' % (stage, fault, ' '.join(sim_args), r)
    test.assertEqual(r.code, code, where)
    if message is not None and scenario != 'osccal':
        check_record(test, r, fault, message, where)
    if message == SILENT:
        test.assertFalse(any(t in r.stdout for t in FAILURE_TEXTS), where)
    elif message is not None:
        test.assertTrue(r.stdout.endswith(message), where)
        # One message, and nothing after it.
        test.assertEqual(r.stdout.count(message), 1, where)
    refusals = [l for l in r.stderr.splitlines() if 'refused a frame (NAK)' in l]
    if fault == 'NAK' and code == 1:
        test.assertEqual(refusals, ['picup: programmer refused a frame (NAK) while %s'
                                    % NAK_STAGE[stage]], where)
    else:
        test.assertEqual(refusals, [], where)
    start = KEY_DELAY if scenario == 'osccal' and timing == AT_KEY else 0
    if timing == WAIT:
        test.assertTrue(WAIT_S[0] <= seconds < WAIT_S[1], '%.2f s: %s' % (seconds, where))
    else:
        test.assertLess(seconds, start + PROMPT_S, where)
        test.assertGreaterEqual(seconds, start, where)
    if fault == 'hang-up':
        return  # the line is gone; nothing more can reach the programmer
    sent = r.sent()
    test.assertEqual(sent[-2:], VPP_OFF, 'last host bytes %s: %s' % (sent[-8:].hex(), where))
    if fault != 'stall':  # a stalled programmer carries out nothing more
        test.assertTrue(r.report.get('last_frame_vpp_off'), where)
        test.assertFalse(r.report.get('vpp_on_at_end'), where)


class FaultMatrixTest(unittest.TestCase):
    def test_every_fault_at_every_stage(self):
        harness.need_binaries()
        cells = matrix_cells()
        # The cells mostly wait on time-outs, so several run at once.
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(observe, cells))
        for cell, r, seconds in results:
            with self.subTest(stage=cell[1], fault=cell[2]):
                check_cell(self, cell, r, seconds)
        if os.environ.get('PICUP_FAULT_TABLE'):
            for (scenario, stage, fault, sim_args, _), r, seconds in results:
                last = r.stdout.rstrip('\n').rsplit('\n', 1)[-1] if r.stdout.strip() else ''
                print('| %s | %s | %d | %s | %.2f s | %s |' % (
                    stage, fault, r.code, last or '(none)', seconds,
                    'line gone' if fault == 'hang-up' else
                    'yes' if r.sent()[-2:] == VPP_OFF else 'NO'))

    def test_frames_split_the_way_the_programmer_counts_them(self):
        # Probe, VPP voltage, VPP on, user ID read (repeat 4), one sync, exit.
        sent = bytes.fromhex('c13f' 'd455d7' 'c33d' '800000' '80' 'd50427' '44bc' 'c040' 'c23e')
        frames = split_frames(sent)
        self.assertEqual([f.code for f in frames], [0xC1, 0xD4, 0xC3, 0x80, 0xD5, 0x44, 0xC0, 0xC2])
        read, sync = frames[5], frames[6]
        self.assertEqual((read.number, read.repeat, read.read_number), (6, 4, 1))
        # Status byte and the VPP ACK come first, then 4 words and a checksum.
        self.assertEqual((read.reply_offset, sync.reply_offset), (2, 11))
        self.assertEqual(frames[3].host_offset, 7)


def upload_629_files():
    path = os.path.join(harness.SOURCE, 'examples', 'pic12f629', 'blink.hex')
    with open(path) as f:
        return {'blink.hex': f.read()}


def upload_629(sim_args):
    return harness.run(['blink.hex'], part='PIC12F629', sim_args=sim_args,
                       files=upload_629_files())


class VppOffWhereverTheRunEnds(unittest.TestCase):
    """A run that fails in the middle of its traffic must leave the programmer
    at a frame boundary, so that the exit handler's C2 3E is carried out as a
    frame of its own and VPP ends off."""

    def assert_vpp_off(self, r, where):
        self.assertEqual(r.sent()[-2:], VPP_OFF, where)
        self.assertTrue(r.report.get('last_frame_vpp_off'), where)
        self.assertFalse(r.report.get('vpp_on_at_end'), where)

    def test_failure_inside_any_write_of_an_echoing_upload(self):
        harness.need_binaries()
        clean = upload_629(['--echo'])
        self.assertEqual(clean.code, 0, clean)
        sent = clean.sent()
        frames = split_frames(sent)
        # A wrong echo of any byte, every 23rd from after the probe, and the
        # stretch of one 256-byte write that used to end inside a frame; a NAK
        # before every 13th frame, which on an echoing line arrives in place of
        # an echo; the last frames of the run answer with nothing to check.
        echo_bytes = sorted(set(range(3, len(sent) - 40, 23)) | {334, 400, 586})
        cases = [['--echo', '--corrupt-echo', str(n)] for n in echo_bytes]
        cases += [['--echo', '--nak-before-frame', str(f.number)]
                  for f in frames[3:-8:13]]
        cases += [['--nak-before-frame', '176']]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(upload_629, cases))
        for sim_args, r in zip(cases, results):
            where = '%s: %r' % (' '.join(sim_args), r)
            self.assertEqual(r.code, 1, where)
            # A refused frame ends the run where the NAK is met: in place of
            # an echo or a reply, or waiting before a frame (silently).
            ok = r.stdout.endswith(COMM_ERROR) or (
                '--nak-before-frame' in sim_args and 'NAK' in r.stderr)
            self.assertTrue(ok, where)
            self.assert_vpp_off(r, where)

    def test_a_reader_that_goes_away_ends_the_run(self):
        # `picup /READ0- | head -3`: the listing of the whole chip stops soon
        # after the reader has gone, through the exit path.
        p = harness.spawn(['/READ0-'])
        lines = [p.stdout.readline() for _ in range(4)]
        self.assertEqual(lines[3], b'  0000:  3fff 3fff 3fff 3fff 3fff 3fff 3fff 3fff\n')
        p.stdout.close()
        r = harness.collect(p)
        self.assertEqual(r.code, 1, r)
        self.assertIn('picup: standard output cannot be written (closed pipe?) while reading '
                      'memory; run stopped\n', r.stderr)
        self.assert_vpp_off(r, repr(r))
        # At least six bytes go out for each of the 8K flash words of a whole listing.
        self.assertLess(len(r.sent()), 6 * 0x2000, r)
        # A short listing fits in the output buffer: the failure shows when the
        # completed run flushes it, and still ends the run with exit code 1.
        reader, writer = os.pipe()
        os.close(reader)
        try:
            p = harness.spawn(['/READ0-0x10'], stdout=writer)
        finally:
            os.close(writer)
        r = harness.collect(p)
        self.assertEqual(r.code, 1, r)
        self.assertIn('standard output cannot be written', r.stderr)
        self.assert_vpp_off(r, repr(r))


if __name__ == '__main__':
    unittest.main()
