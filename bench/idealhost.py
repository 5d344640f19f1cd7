"""Checks the paced emulator itself: replays a recorded run's frames against
`picsim --paced --serve` from a host that does nothing but write each batch
of frames and read its reply, and compares the elapsed time with the line
model. What is left over is the cost of the emulator's scheduling and of the
pseudo-terminal between the two, which every picup run pays as well and which
no host could avoid; a slow emulator would otherwise look like a slow host.
"""
import os
import select
import signal
import subprocess
import time
import tty

import linemodel


def _read_exactly(fd, count, timeout_s=5.0):
    got = 0
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    deadline = time.monotonic() + timeout_s
    while got < count:
        if not poller.poll(max(0, int((deadline - time.monotonic()) * 1000))):
            raise RuntimeError('no reply from the emulator (%d of %d bytes)' % (got, count))
        got += len(os.read(fd, count - got))
    return got


def replay_against(picsim, part, host_bytes, baud, latency_ms=0.0):
    """Elapsed seconds of the ideal replay, and the model's time for it."""
    frames = linemodel.link_frames(host_bytes)
    model_s, _ = linemodel.replay(frames, baud, latency_ms / 1000.0)
    proc = subprocess.Popen([picsim, '--paced', '--serve', '--part', part, '--baud', str(baud),
                             '--latency', str(latency_ms)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        path = proc.stdout.readline().strip()
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        batches = [(b''.join(f.data for f in seg), sum(f.reply_bytes() for f in seg))
                   for seg in linemodel.segments(frames)]
        start = time.perf_counter()
        end = start
        for data, reply in batches:
            os.write(fd, data)
            if reply:
                _read_exactly(fd, reply)
                end = time.perf_counter()
        os.close(fd)
        return end - start, model_s
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=10)
