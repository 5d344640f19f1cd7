#!/usr/bin/env python3
"""Times picup against the paced emulated programmer (picsim --paced) and sets
each run beside the least time its line traffic allows (linemodel.bound at
the rate the line really runs at).

    bench.py --picup BUILD/picup --picsim BUILD/sim/picsim [--quick] [--json FILE]

Prints a table and writes the same figures as JSON.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import idealhost  # noqa: E402
import jobs  # noqa: E402
import linemodel  # noqa: E402

class Line:
    """How a job's line runs: the rate picup is set to (/BAUD=), the rate the
    programmer really sends at (a programmer on native USB ignores the host's
    rate and sends each byte as it goes, faster than the baud rate), and the
    adapter's turnaround in ms. The bound is the line model at the real rate."""

    def __init__(self, label, baud, latency_ms=0.0, device_baud=None):
        self.label = label
        self.baud = baud
        self.device_baud = device_baud or baud
        self.latency_ms = latency_ms

    def paced(self):
        return self.device_baud == self.baud


LINES = [
    Line('115200', 115200),
    Line('9600', 9600),
    Line('115200+2ms', 115200, 2.0),
]
# Bytes faster than the rate picup is set to, one by one: for the full upload.
FAST_LINES = [
    Line('115200 dev 1M', 115200, device_baud=1000000),
    Line('9600 dev 115200', 9600, device_baud=115200),
]
# USB serial adapters hold each reply back for their latency timer: 1 to 2 ms
# on some, 16 ms by default on the most common ones. Every reply the host
# waits for pays it once: for the full upload.
LATENCY_LINES = [
    Line('115200+1ms', 115200, 1.0),
    Line('115200+16ms', 115200, 16.0),
]


class Bench:
    def __init__(self, picup, picsim, runs, workdir):
        self.picsim = picsim
        self.runs = runs
        self.workdir = workdir
        self.picup = os.path.join(workdir, 'picup')
        if not os.path.exists(self.picup):
            os.symlink(os.path.abspath(picup), self.picup)

    def run_once(self, job, line):
        """One run; the report of picsim with the run's bound added."""
        report = os.path.join(self.workdir, 'report.json')
        if os.path.exists(report):
            os.unlink(report)
        state = os.path.join(self.workdir, job.part + '.state')
        if os.path.exists(state):
            os.unlink(state)  # every run starts from the same chip
        cmd = [self.picsim, '--paced', '--baud', str(line.baud),
               '--device-baud', str(line.device_baud), '--latency', str(line.latency_ms),
               '--part', job.part] + job.sim_args(self.workdir) + ['--report', report, '--', self.picup,
               '/BAUD=%d' % line.baud] + job.command(self.workdir)
        p = subprocess.run(cmd, cwd=self.workdir, capture_output=True, timeout=900,
                           stdin=subprocess.DEVNULL)
        if p.returncode != 0 or not os.path.exists(report):
            raise RuntimeError('%s failed (%d): %s %s' % (job.name, p.returncode,
                               p.stdout.decode('latin-1')[-500:], p.stderr.decode('latin-1')[-500:]))
        with open(report) as f:
            r = json.load(f)
        if r.get('lost_operations'):
            raise RuntimeError('%s: the programmer lost %d operations' % (job.name, r['lost_operations']))
        if r.get('faults'):
            raise RuntimeError('%s: the chip saw forbidden steps: %s' % (job.name, '; '.join(r['faults'])))
        host = bytes.fromhex(r['from_host'])
        b = linemodel.bound(host, line.device_baud, line.latency_ms / 1000.0)
        if b['reply_bytes'] != r['bytes_to_host']:
            raise RuntimeError('%s: model expects %d reply bytes, the line carried %d'
                               % (job.name, b['reply_bytes'], r['bytes_to_host']))
        r['model'] = b
        return r

    def launch_baseline(self):
        """Wall and CPU time of starting a process that does nothing, the
        same way picsim starts picup: every run pays it before its first byte."""
        report = os.path.join(self.workdir, 'launch.json')
        walls, cpus = [], []
        for _ in range(max(5, self.runs)):
            subprocess.run([self.picsim, '--paced', '--report', report, '--', '/bin/true'],
                           cwd=self.workdir, capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
            with open(report) as f:
                r = json.load(f)
            walls.append(r['child_wall_s'])
            cpus.append(r['child_user_s'] + r['child_sys_s'])
        self.launch_cpu_s = statistics.median(cpus)
        self.launch_wall_s = statistics.median(walls)
        return {'wall_s': statistics.median(walls), 'cpu_s': self.launch_cpu_s}

    def measure(self, job, line):
        runs = [self.run_once(job, line) for _ in range(self.runs)]
        walls = [r['child_wall_s'] for r in runs]
        cpus = [r['child_user_s'] + r['child_sys_s'] for r in runs]
        model = runs[0]['model']
        self.last_host_bytes = bytes.fromhex(runs[0]['from_host'])
        wall = statistics.median(walls)
        cpu = statistics.median(cpus)
        return {
            'job': job.name, 'title': job.title, 'line': line.label, 'baud': line.baud,
            'device_baud': line.device_baud, 'latency_ms': line.latency_ms, 'runs': len(runs),
            'wall_s': wall, 'wall_min_s': min(walls), 'wall_max_s': max(walls),
            'bound_s': model['bound_s'], 'link_bound_s': model['link_s'],
            'fixed_pauses_s': model['fixed_s'], 'wire_s': model['wire_s'],
            'delay_s': model['delay_s'], 'reply_waits': model['waits'],
            'bytes_from_host': runs[0]['bytes_from_host'], 'bytes_to_host': runs[0]['bytes_to_host'],
            'ratio': wall / model['bound_s'],
            'ratio_net': (wall - self.launch_wall_s) / model['bound_s'],
            'cpu_s': cpu, 'cpu_pct': 100.0 * cpu / wall,
            'cpu_net_pct': 100.0 * max(0.0, cpu - self.launch_cpu_s) / wall,
            'startup_s': statistics.median(r['first_host_byte_s'] for r in runs),
            'emulator_late_s': statistics.median(r['late_total_us'] for r in runs) / 1e6,
            'emulator_late_max_ms': max(r['late_max_us'] for r in runs) / 1e3,
            'host_turnaround_s': statistics.median(r['host_turnaround_total_us'] for r in runs) / 1e6,
            'rows': job.rows,
        }

    def check_emulator(self, job, m):
        """The ideal host's replay of this job's traffic, beside picup's run."""
        times = [idealhost.replay_against(self.picsim, job.part, self.last_host_bytes,
                                          m['device_baud'], m['latency_ms']) for _ in range(self.runs)]
        ideal = statistics.median(t for t, _ in times)
        model = times[0][1]
        waits = max(1, m['reply_waits'])
        # picup's link phase: its wall time less start-up and the fixed pauses
        host_link = m['wall_s'] - m['startup_s'] - m['fixed_pauses_s']
        return {'job': m['job'], 'line': m['line'], 'model_s': model, 'ideal_host_s': ideal,
                'ideal_excess_s': ideal - model, 'ideal_excess_per_wait_us': 1e6 * (ideal - model) / waits,
                'picup_link_s': host_link, 'picup_excess_s': host_link - model,
                'picup_excess_per_wait_us': 1e6 * (host_link - model) / waits}


def host_ratio(m, launch_wall_s):
    """Wall time less what no host can help here (starting a process on this
    machine, reply bytes the emulator put on the line late), over the bound."""
    return (m['wall_s'] - launch_wall_s - m['emulator_late_s']) / m['bound_s']


def fmt_row(m, launch_wall_s):
    return ('%-8s %-15s %9.3f %9.3f %6.3f %6.3f %7.3f %5.2f %5.2f %8.1f %8.1f' % (
        m['job'], m['line'], m['wall_s'], m['bound_s'], m['ratio'], host_ratio(m, launch_wall_s),
        m['cpu_s'], m['cpu_pct'], m['cpu_net_pct'], m['startup_s'] * 1e3, m['emulator_late_s'] * 1e3))


HEADER = ('%-8s %-15s %9s %9s %6s %6s %7s %5s %5s %8s %8s' % (
    'job', 'line', 'wall s', 'bound s', 'ratio', 'host', 'cpu s', 'cpu%', 'net%', 'start ms', 'late ms'))


def print_results(results):
    """The tables of a results file."""
    launch = results['launch']['wall_s']
    print('starting an empty process: %.1f ms wall, %.1f ms CPU\n'
          % (launch * 1e3, results['launch']['cpu_s'] * 1e3))
    print(HEADER)
    for m in results['jobs']:
        print(fmt_row(m, launch))
    print_latency(results['jobs'])
    print_checks(results.get('emulator_check', []))
    if results.get('scaling'):
        print_scaling(results['scaling'], results['scaling_fit'])
    print_updates(results.get('updates', [])[1:])


def print_latency(measured):
    """The full upload at 115200 with each adapter turnaround, beside the
    same upload without one."""
    rows = sorted((m for m in measured if m['job'] == 'full16' and m['baud'] == 115200
                   and m['device_baud'] == 115200), key=lambda m: m['latency_ms'])
    if not rows or rows[0]['latency_ms'] != 0:
        return
    print('\nfull PIC16F1825 upload at 115200 with adapter latency (%d replies waited for):'
          % rows[0]['reply_waits'])
    print('%-10s %9s %9s %6s %12s' % ('latency', 'wall s', 'bound s', 'ratio', 'x no latency'))
    for m in rows:
        print('%-10s %9.3f %9.3f %6.3f %12.3f' % ('%g ms' % m['latency_ms'], m['wall_s'], m['bound_s'],
                                                 m['ratio'], m['wall_s'] / rows[0]['wall_s']))


def print_updates(updates):
    """/UPDATE and /VERIFY beside the full upload of the same file."""
    if not updates:
        return
    print('\n/UPDATE and /VERIFY of the full PIC16F1825 image at 115200 (median of the runs):')
    print('%-9s %-42s %8s %8s' % ('job', '', 'wall s', 'x full'))
    for m in updates:
        print('%-9s %-42s %8.3f %8.3f' % (m['job'], m['title'], m['wall_s'], m['of_full_upload']))


def measure_updates(bench, full):
    """Each /UPDATE or /VERIFY job, with its wall time as a share of the full
    upload's (`full`, a measure() of full16 on the same line)."""
    out = []
    for job in jobs.update_jobs():
        m = bench.measure(job, LINES[0])
        m['of_full_upload'] = m['wall_s'] / full['wall_s']
        out.append(m)
    return out


def print_checks(checks):
    print('\nemulator check: the same traffic from an ideal host vs. the line model')
    print('%-8s %-8s %9s %9s %9s %11s %11s' % ('job', 'line', 'model s', 'ideal s', 'picup s',
                                               'ideal us/w', 'picup us/w'))
    for c in checks:
        print('%-8s %-8s %9.3f %9.3f %9.3f %11.1f %11.1f' % (
            c['job'], c['line'], c['model_s'], c['ideal_host_s'], c['picup_link_s'],
            c['ideal_excess_per_wait_us'], c['picup_excess_per_wait_us']))


def print_scaling(rows, fit):
    print('\nscaling at 115200, program-only PIC16F1825 uploads:')
    print('%-12s %5s %9s %9s %6s %10s' % ('job', 'rows', 'wall s', 'bound s', 'ratio', 'ms/row'))
    for m in rows:
        print('%-12s %5d %9.3f %9.3f %6.3f %10.2f' % (
            m['job'], m['rows'], m['wall_s'], m['bound_s'], m['ratio'], 1e3 * m['wall_s'] / m['rows']))
    print('fit over the block runs: %.2f ms per data row + %.1f ms; worst residual %.1f ms'
          % (fit['per_row_s'] * 1e3, fit['fixed_s'] * 1e3, fit['worst_residual_s'] * 1e3))


def scaling_fit(rows):
    """Least-squares time per data row and fixed part, over the block runs."""
    xs = [m['rows'] for m in rows]
    ys = [m['wall_s'] for m in rows]
    mx, my = statistics.mean(xs), statistics.mean(ys)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
    worst = max(abs(y - (my + slope * (x - mx))) for x, y in zip(xs, ys))
    return {'per_row_s': slope, 'fixed_s': my - slope * mx, 'worst_residual_s': worst}


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    default_build = os.environ.get('PICUP_BUILD') or os.path.join(here, '..', 'build-bench')
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--picup', default=os.path.join(default_build, 'picup'))
    ap.add_argument('--picsim', default=os.path.join(default_build, 'sim', 'picsim'))
    ap.add_argument('--json', default=os.path.join(here, 'results.json'))
    ap.add_argument('--runs', type=int, default=None, help='runs per figure (default 5, --quick 3)')
    ap.add_argument('--quick', action='store_true', help='fewer runs, no 9600 baud for the full upload')
    ap.add_argument('--only', default='', help='comma-separated job names')
    ap.add_argument('--no-scaling', action='store_true')
    ap.add_argument('--show', metavar='FILE', help='print the tables of an earlier results file')
    ap.add_argument('--updates', action='store_true',
                    help='only the /UPDATE and /VERIFY jobs (and the full upload they are set'
                         ' beside); their table replaces the one in the results file')
    a = ap.parse_args(argv)
    if a.show:
        with open(a.show) as f:
            print_results(json.load(f))
        return
    runs = a.runs or (3 if a.quick else 5)
    for path in (a.picup, a.picsim):
        if not os.access(path, os.X_OK):
            sys.exit('bench: %s not built' % path)

    workdir = tempfile.mkdtemp(prefix='picup-bench-')
    try:
        bench = Bench(a.picup, a.picsim, runs, workdir)
        if a.updates:
            bench.launch_baseline()
            full = bench.measure(jobs.main_jobs()[0], LINES[0])
            updates = measure_updates(bench, full)
            results = {}
            if os.path.exists(a.json):
                with open(a.json) as f:
                    results = json.load(f)
            results['updates'] = [full] + updates
            print_updates(updates)
            with open(a.json, 'w') as f:
                json.dump(results, f, indent=1)
            return
        only = set(filter(None, a.only.split(',')))
        results = {'machine': os.uname().nodename, 'cpus': os.cpu_count(),
                   'load_before': os.getloadavg()[0], 'runs': runs,
                   'started': time.strftime('%Y-%m-%d %H:%M:%S'), 'jobs': [], 'scaling': []}
        checks = []
        results['launch'] = bench.launch_baseline()
        print('starting an empty process: %.1f ms wall, %.1f ms CPU\n'
              % (results['launch']['wall_s'] * 1e3, results['launch']['cpu_s'] * 1e3))
        print(HEADER)
        for job in jobs.main_jobs():
            if only and job.name not in only:
                continue
            lines = LINES + (FAST_LINES + LATENCY_LINES if job.name == 'full16' else [])
            # The 16K-word upload at 115200 only: at 9600 it would take minutes a run.
            if job.name == 'full1939':
                lines = LINES[:1]
            for line in lines:
                if a.quick and line.baud == 9600 and job.name == 'full16':
                    continue
                m = bench.measure(job, line)
                results['jobs'].append(m)
                print(fmt_row(m, bench.launch_wall_s), flush=True)
                if line.label == '115200' and job.name in ('full16', 'read256', 'full629'):
                    checks.append(bench.check_emulator(job, m))
        print_latency(results['jobs'])
        print_checks(checks)
        results['emulator_check'] = checks
        if not only:
            full = next(m for m in results['jobs'] if m['job'] == 'full16' and m['line'] == '115200')
            results['updates'] = [full] + measure_updates(bench, full)
            print_updates(results['updates'][1:])
        if not a.no_scaling and not only:
            for job in jobs.scaling_jobs():
                results['scaling'].append(bench.measure(job, LINES[0]))
            fit = scaling_fit([m for m in results['scaling'] if m['job'].startswith('block')])
            results['scaling_fit'] = fit
            print_scaling(results['scaling'], fit)
        results['load_after'] = os.getloadavg()[0]
        with open(a.json, 'w') as f:
            json.dump(results, f, indent=1)
        print('\nwritten: %s (load average %.2f before, %.2f after)'
              % (a.json, results['load_before'], results['load_after']))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == '__main__':
    main()
