"""Real runs of picup against the paced emulator: the bound is never beaten
(a model that overestimates the line would show ratios below 1), the model
predicts exactly the reply bytes the line carried, and the emulator keeps its
own schedule closely enough that an ideal host lands near the model's time.

Needs PICUP and PICSIM (set by ctest)."""
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402
import idealhost  # noqa: E402
import jobs  # noqa: E402

PICUP = os.path.abspath(os.environ.get('PICUP', '')) if os.environ.get('PICUP') else ''
PICSIM = os.path.abspath(os.environ.get('PICSIM', '')) if os.environ.get('PICSIM') else ''


@unittest.skipUnless(PICUP and PICSIM and os.path.exists(PICUP) and os.path.exists(PICSIM),
                     'PICUP / PICSIM not built')
class EmulatorTiming(unittest.TestCase):
    def test_runs_never_beat_the_bound_and_match_the_model(self):
        with tempfile.TemporaryDirectory() as d:
            b = bench.Bench(PICUP, PICSIM, 1, d)
            b.launch_cpu_s = b.launch_wall_s = 0.0
            job = {j.name: j for j in jobs.main_jobs()}['prog1k']
            small = jobs.Job('small', 'two rows', 'PIC16F1825', ['{hex}'], jobs.program_words([0, 5], 32))
            for j, line in ((small, bench.Line('115200', 115200)), (small, bench.Line('9600', 9600, 2.0)),
                            (job, bench.Line('115200', 115200)),
                            (small, bench.Line('9600 dev 115200', 9600, device_baud=115200))):
                m = b.measure(j, line)  # raises when reply bytes differ
                self.assertGreaterEqual(m['ratio'], 1.0, m)
                self.assertGreater(m['delay_s'], 0, m)
                self.assertLess(m['cpu_s'], m['wall_s'], m)

    def test_the_emulator_keeps_its_schedule(self):
        with tempfile.TemporaryDirectory() as d:
            b = bench.Bench(PICUP, PICSIM, 1, d)
            read256 = {j.name: j for j in jobs.main_jobs()}['read256']
            # Best of three: room for a machine busy with other work, yet a
            # serve loop that let due reply bytes wait a poll period of its
            # own (a millisecond and more) stands out.
            late = []
            for _ in range(3):
                r = b.run_once(read256, bench.Line('115200', 115200))
                late.append(r['late_total_us'] / r['reply_bursts'])
                if late[-1] < 400:
                    break
            self.assertLess(min(late), 400, late)
            # The same traffic from a host that only writes and reads: never
            # faster than the model, and not off by whole milliseconds a wait.
            host = bytes.fromhex(r['from_host'])
            waits = r['model']['waits']
            excess = []
            for _ in range(3):
                elapsed, model = idealhost.replay_against(PICSIM, 'PIC16F1825', host, 115200)
                self.assertGreaterEqual(elapsed, model * 0.999)
                excess.append(elapsed - model)
                if excess[-1] < waits * 2e-3:
                    break
            self.assertLess(min(excess), waits * 2e-3, (excess, model, waits))

if __name__ == '__main__':
    unittest.main()
