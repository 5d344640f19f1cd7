"""The least time an upload can take on the line: replays the bytes a run
actually sent through the programmer's timing (10 bits a byte at the baud
rate each way, CMD_DELAY_US keeping the programmer busy, the adapter's
turnaround before each burst of replies) with a host that answers every reply
the instant its last byte is in and sends each batch of frames in one go.

The host can only go on after a reply it waits for, so the run falls into
segments: the frames sent since the last reply, ending with the frame whose
reply the host then reads. Inside a segment the programmer may still be busy
with a delay while later frames arrive; the replay lets those overlap, which is
what makes the result a bound and not just a sum.
"""

# Argument bytes of each command code (the check byte comes on top).
ARGUMENTS = {
    0x06: 0, 0x08: 0, 0x09: 0, 0x0B: 0, 0x11: 0, 0x16: 0, 0x44: 0, 0x45: 0,
    0xC0: 0, 0xC1: 0, 0xC2: 0, 0xC3: 0, 0xC7: 0,
    0xD4: 1, 0xD5: 1,
    0x80: 2, 0x82: 2, 0x83: 2, 0xE6: 2,
}
CMD_READ_PROGRAM, CMD_READ_DATA = 0x44, 0x45
CMD_SYNC, CMD_PROBE, CMD_VPP_OFF, CMD_VPP_ON = 0xC0, 0xC1, 0xC2, 0xC3
CMD_SET_REPEAT, CMD_DELAY_US = 0xD5, 0xE6

# Pauses the host must make whatever the line: after the probe's code byte
# the host waits 20 ms for an echo (that is how an echoing line is told apart;
# a line without echo, like the benchmark's, sends nothing back), and the
# VPP-off frame at exit is given 50 ms to leave before the port is closed.
PROBE_ECHO_S = 0.020
EXIT_PAUSE_S = 0.050


class Frame:
    def __init__(self, data):
        self.data = bytes(data)
        self.code = data[0]
        self.repeat = 1  # set by a CMD_SET_REPEAT just before it
        args = self.data[1:-1]
        self.arg = int.from_bytes(args, 'little') if args else 0

    def reply_bytes(self):
        """Bytes the programmer answers this frame with."""
        if self.code in (CMD_SYNC, CMD_PROBE, CMD_VPP_ON):
            return 1
        if self.code in (CMD_READ_PROGRAM, CMD_READ_DATA):
            return 2 * self.repeat + 1
        return 0


def split_frames(data):
    """Frames of the host's byte stream; ValueError on an unknown code, a bad
    check byte or a cut frame."""
    frames, i, repeat = [], 0, 1
    while i < len(data):
        code = data[i]
        if code not in ARGUMENTS:
            raise ValueError('unknown command code %02x at byte %d' % (code, i))
        size = ARGUMENTS[code] + 2
        raw = data[i:i + size]
        if len(raw) < size:
            raise ValueError('frame cut short at byte %d' % i)
        if sum(raw) % 256:
            raise ValueError('bad check byte in frame at byte %d' % i)
        f = Frame(raw)
        if code == CMD_SET_REPEAT:
            repeat = max(1, f.arg)
        else:
            f.repeat, repeat = repeat, 1
        frames.append(f)
        i += size
    return frames


def segments(frames):
    """Lists of frames, each ending with one whose reply the host waits for
    (the last list may have none)."""
    out, current = [], []
    for f in frames:
        current.append(f)
        if f.reply_bytes():
            out.append(current)
            current = []
    if current:
        out.append(current)
    return out


class Line:
    """The programmer's side of the timing, as the emulator models it."""

    def __init__(self, baud, latency_s):
        self.byte_s = 10.0 / baud
        self.latency_s = latency_s
        self.last_arrival = float('-inf')  # host to programmer
        self.line_free = float('-inf')     # programmer to host
        self.busy_until = 0.0
        self.last_reply = None

    def host_sends(self, frame, at):
        for _ in frame.data:
            self.last_arrival = max(at, self.last_arrival) + self.byte_s
        t = max(self.last_arrival, self.busy_until)
        if frame.code == CMD_DELAY_US:
            self.busy_until = t + frame.arg / 1e6
        for _ in range(frame.reply_bytes()):
            self.reply_at(t)

    def reply_at(self, ready):
        start = ready + self.latency_s if ready >= self.line_free else self.line_free
        self.line_free = start + self.byte_s
        self.last_reply = self.line_free


def replay(frames, baud, latency_s=0.0):
    """Seconds from the first frame to the last reply byte with an ideal
    host, and the number of reply bytes on the way."""
    line = Line(baud, latency_s)
    t, reply_bytes = 0.0, 0
    for seg in segments(frames):
        for f in seg:
            line.host_sends(f, t)
            reply_bytes += f.reply_bytes()
        if seg[-1].reply_bytes():
            t = line.last_reply
    return t, reply_bytes


def link_frames(host_bytes):
    """The frames of a run less the probe at its start and the exit handler's
    VPP-off frame at its end, which go out around fixed pauses."""
    frames = split_frames(host_bytes)
    if frames and frames[0].code == CMD_PROBE:
        frames = frames[1:]
    if frames and frames[-1].code == CMD_VPP_OFF:
        frames = frames[:-1]
    return frames


def probe_s(baud, latency_s=0.0):
    """The probe on a line without echo: the echo time after the code byte,
    then the check byte out and the status byte back."""
    return PROBE_ECHO_S + 2 * 10.0 / baud + latency_s


def bound(host_bytes, baud, latency_s=0.0):
    """Lower bound of a whole run in seconds, and its parts: the fixed
    pauses (probe and exit), the replayed link time, the reply bytes and the
    delay total. `baud` is the rate the line really runs at."""
    frames = link_frames(host_bytes)
    link_s, reply_bytes = replay(frames, baud, latency_s)
    fixed = EXIT_PAUSE_S
    if host_bytes[:1] == bytes([CMD_PROBE]):
        fixed += probe_s(baud, latency_s)
    delays = sum(f.arg for f in frames if f.code == CMD_DELAY_US) / 1e6
    waits = sum(1 for f in frames if f.reply_bytes())
    return {
        'bound_s': fixed + link_s,
        'fixed_s': fixed,
        'link_s': link_s,
        'reply_bytes': reply_bytes + (1 if host_bytes[:1] == bytes([CMD_PROBE]) else 0),
        'delay_s': delays,
        'waits': waits,
        'wire_s': (len(host_bytes) + reply_bytes) * 10.0 / baud,
    }
