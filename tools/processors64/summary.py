"""summary: each window's jobs, masters and hosts, and each run's tests,
hosts and slow workers, as text."""

import statistics
import sys
from datetime import datetime, timezone

from . import console, describe, exits, forms
from .forms import form_medians
from .reading import number, shown


def rank_ranges(ranks):
    """[1, 2, 3, 7] -> '1-3,7'."""
    parts = []
    start = previous = ranks[0]
    for rank in ranks[1:] + [None]:
        if rank is not None and rank == previous + 1:
            previous = rank
            continue
        parts.append(str(start) if start == previous else f"{start}-{previous}")
        start = previous = rank
    return ",".join(parts)



def counted(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "es" if noun.endswith("s") else "s")


def summary_text(run, slow_pct):
    out = [f"{shown(run.path)}"]
    master = run.master or "unknown"
    zone = run.zone or "unknown"
    when = run.when.strftime("%a %Y-%m-%d %H:%M:%S") if run.when else "unknown"
    out.append(f"  date {when}, time zone {zone}, master {master}, "
               f"{counted(run.nproc, 'process')} ({counted(run.nproc - 1, 'worker')})")
    hosts = [run.master] if run.master else []
    out += describe.summary_lines(run, hosts + run.hosts())
    if run.ends:
        out.append(f"  the run stopped early: the report ends {run.ends}")
    out.append(f"  Effective Frequency: overall {number(run.ef_overall)}, "
               f"mean {number(run.ef_mean)} Giga Executions/sec")
    out.append(f"  {'test':<18} {'baseline':>10} {'overall':>10} {'improvement':>12} "
               f"{'mean':>10}   (Millions Executions/sec)")
    for test in run.tests:
        base = test.baseline[1] if test.baseline else None
        out.append(f"  {test.name:<18} {number(base):>10} {number(test.overall):>10} "
                   f"{number(test.improvement):>12} {number(test.mean):>10}")
    if any(test.rates for test in run.tests):
        out.append("  per host: workers (ranks); min / median / max rate of each test")
        ranks = run.tests[0].host_ranks()
        width = max(len(host) for host in ranks)
        rates_of = [(test, test.host_rates()) for test in run.tests]
        for host, host_ranks in ranks.items():
            cells = []
            for test, host_rates in rates_of:
                rates = host_rates.get(host)
                if rates:
                    cells.append(f"{test.name.split()[0]} {number(min(rates))} / "
                                 f"{number(statistics.median(rates))} / {number(max(rates))}")
            out.append(f"    {host:<{width}}  {len(host_ranks)} ({rank_ranges(host_ranks)}); "
                       + "; ".join(cells))
    slow = [test for test in run.tests if any(test.slow)]
    if not slow:
        out.append(f"  slow workers: none (none more than {slow_pct:g}% below "
                   "the median of their form)")
        return "\n".join(out)
    out.append(f"  slow workers (more than {slow_pct:g}% below the median of their form), "
               "by host:")
    for test in slow:
        medians = form_medians(test)
        by_host = {}
        hosts = test.hosts
        for i, flag in enumerate(test.slow):
            if flag:
                by_host.setdefault(hosts[i], []).append(i)
        for host, indexes in by_host.items():
            rates = [test.rates[i] for i in indexes]
            median, count = medians[test.forms[indexes[0]]]
            ranks = "rank" if len(indexes) == 1 else "ranks"
            low, high = min(rates), max(rates)
            span = f"{number(low)}, {(low / median - 1) * 100:+.0f}%" if low == high else (
                f"{number(low)} to {number(high)}, {(low / median - 1) * 100:+.0f}% to "
                f"{(high / median - 1) * 100:+.0f}%")
            out.append(f"    {test.name} @{host}: {ranks} {rank_ranges([i + 1 for i in indexes])}: "
                       f"{span} against the median {number(median)} of {count} workers")
    return "\n".join(out)


SPAN_SHOWN = 60  # seconds between a window's first and last job that its line shows


def _utc(seconds):
    return datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def window_text(window):
    """The window's line: its jobs, masters and nodes, and the nodes it did
    not measure or measured in part."""
    jobs = window.groups()
    not_measured = window.not_measured()
    failed = f"; {len(window.failed)} failed" if window.failed else ""
    out = [f"window {shown(window.id)}, {window.label()}: {counted(jobs, 'job')} (masters "
           f"{', '.join(map(shown, window.masters())) or 'none'}{failed}), "
           f"{counted(len(window.nodes), 'node')}, {len(window.nodes) - len(not_measured)} "
           "measured"]
    span = window.span()
    if span and span[1] - span[0] >= SPAN_SHOWN:
        out.append(f"  its jobs started from {_utc(span[0])} to {_utc(span[1])}")
    for job in window.failed:
        out.append(f"  failed job: {shown(job.path)}: exit status {job.record['exit_status']}, "
                   "no results file")
    out += [f"  not measured: {shown(node)}: {shown(why)}" for node, why in not_measured.items()]
    out += [f"  measured in part: {shown(host)}: {collected} of {cpus} CPUs"
            for host, (cpus, collected) in window.partly_measured().items()]
    return "\n".join(out)


def command_summary(args):
    loaded = console.load(args.files, args.window, options=args)
    forms.mark_slow(loaded.runs, args.slow)
    texts = []
    for window in loaded.windows:
        texts.append(window_text(window))
        named = set(map(id, window.runs + window.copies))
        texts += [summary_text(run, args.slow) for run in loaded.runs if id(run) in named]
    if texts:
        sys.stdout.write("\n\n".join(texts) + "\n")
    return exits.UNREADABLE if loaded.failed else 0
