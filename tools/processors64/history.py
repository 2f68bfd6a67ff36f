"""history: each host's rate across the runs of one master, and the hosts
whose newest run fell below their own earlier runs.

One run finds a slow node only against its peers in that run; a node that
drifts slower from month to month, or a whole cluster that slows after an
update, shows only against its own past. A host's rate in a run is the
median of its workers of the common form (forms.host_medians); its newest
run is held against the median of its earlier runs.
"""

import calendar
import csv
import math
import os
import re
import statistics
import sys
import time
from datetime import datetime

from .forms import host_medians
from .reading import PROGRAM, TESTS, number, read_all, shown

DROP = 10         # percent below its own median that makes a host degraded
EARLIER_RUNS = 2  # a host with fewer earlier runs is never judged
CSV_COLUMNS = ("master", "test", "host", "runs", "median_rate", "latest_rate", "change",
               "degraded")

# Zone abbreviations that mean one zone only, in hours east of UTC. The
# machine's own zone is looked up before these; ambiguous ones (CST, IST,
# BST, AST ...) are left out rather than guessed.
ZONES = {
    "WET": 0, "WEST": 1, "CET": 1, "CEST": 2, "MET": 1, "MEST": 2, "EET": 2, "EEST": 3,
    "MSK": 3, "EST": -5, "EDT": -4, "MST": -7, "MDT": -6, "PST": -8, "PDT": -7,
    "AKST": -9, "AKDT": -8, "HST": -10, "NST": -3.5, "NDT": -2.5, "JST": 9, "KST": 9,
    "HKT": 8, "SGT": 8, "PHT": 8, "WIB": 7, "AEST": 10, "AEDT": 11, "ACST": 9.5,
    "ACDT": 10.5, "AWST": 8, "NZST": 12, "NZDT": 13, "SAST": 2, "CAT": 2, "EAT": 3,
    "WAT": 1, "PKT": 5, "UTC": 0, "GMT": 0,
}
NUMERIC_ZONE = re.compile(r"([+-])(\d\d)(\d\d)?\Z")  # "+03", "-0330", as tzdata writes some


def zone_offset(zone):
    """Seconds east of UTC of a zone abbreviation from a file name, or None."""
    if zone in ("UTC", "GMT"):
        return 0
    if zone == time.tzname[0]:
        return -time.timezone
    if time.daylight and zone == time.tzname[1]:
        return -time.altzone
    numeric = NUMERIC_ZONE.match(zone or "")
    if numeric:
        sign = -1 if numeric.group(1) == "-" else 1
        return sign * (int(numeric.group(2)) * 3600 + int(numeric.group(3) or 0) * 60)
    hours = ZONES.get(zone)
    return None if hours is None else round(hours * 3600)


def run_time(run):
    """The run's Unix time from the date and zone in its name, else from its
    run record's start; None when neither can be had."""
    if run.when is None:
        return None
    offset = zone_offset(run.zone)
    if offset is not None:
        return calendar.timegm(run.when.timetuple()) - offset
    started = run.record.get("started") if isinstance(run.record, dict) else None
    try:
        return calendar.timegm(datetime.strptime(started, "%Y-%m-%dT%H:%M:%SZ").timetuple())
    except (TypeError, ValueError):
        return None


def _order(run):
    known = run_time(run)
    return calendar.timegm(run.when.timetuple()) if known is None else known  # as if UTC


def histories(runs, warn=True):
    """{master: [its runs, oldest first]}, masters by name. A console log and
    the results file of one run count once (the one with a run record, else
    the first named); a run whose name gives no master or date is left out."""
    by_master = {}
    for run in runs:
        if not (run.master and run.when):
            if warn:
                print(f"{PROGRAM}: warning: {shown(run.path)}: no master host or date in its "
                      "name (a console log cut before its end?): left out of the history",
                      file=sys.stderr)
            continue
        seen = by_master.setdefault(run.master, {})
        key = (run.when, run.zone)
        if key not in seen or (seen[key].record is None and run.record is not None):
            seen[key] = run
    return {master: sorted(seen.values(), key=_order) for master, seen in sorted(by_master.items())}


def _median(values):
    return math.nan if any(map(math.isnan, values)) else statistics.median(values)


def host_rows(runs, drop=DROP):
    """One row per test and host over `runs` (one master, oldest first):
    the host's rate in each run (None where it is not in that run), the
    median of its earlier runs, its newest rate, the change against that
    median (a fraction), whether it is degraded, and the reference the
    tables and heatmaps hold each run against: that median, or with no
    earlier run the median of the runs it has."""
    rows = []
    for name in TESTS:
        per_run = []
        for run in runs:
            test = next((test for test in run.tests if test.name == name), None)
            per_run.append(host_medians(test) if test else {})
        # Hosts in the newest run first, in its rank order; hosts gone since after.
        for host in dict.fromkeys(host for medians in reversed(per_run) for host in medians):
            rates = [medians.get(host) for medians in per_run]
            earlier = [rate for rate in rates[:-1] if rate is not None]
            median = _median(earlier) if earlier else None
            latest = rates[-1]
            change = None
            if latest is not None and median and math.isfinite(median) and not math.isnan(latest):
                change = latest / median - 1
            rows.append({
                "test": name, "host": host, "rates": rates, "median": median, "latest": latest,
                "change": change, "runs": sum(rate is not None for rate in rates),
                "degraded": (len(earlier) >= EARLIER_RUNS and change is not None and
                             change < -drop / 100),
                "reference": median if median is not None else
                _median([rate for rate in rates if rate is not None]),
            })
    return rows


def percent_against(rate, reference):
    """The change of `rate` against `reference` in percent; None if either is
    missing or the change cannot be computed."""
    if rate is None or reference is None or not reference or not math.isfinite(reference):
        return None
    change = (rate / reference - 1) * 100
    return change if math.isfinite(change) else None


def _cell(rate, reference):
    change = percent_against(rate, reference)
    if rate is None:
        return "-"
    if change is None:
        return "?"
    whole = round(change)
    return f"{whole:+d}" if whole else "0"


def _run_list(runs):
    """The runs numbered, with their dates, a few to a line."""
    entries = [f"{n:>{len(str(len(runs)))}} {run.label()}" for n, run in enumerate(runs, 1)]
    per_line = max(1, 96 // (max(map(len, entries)) + 3))
    return ["    " + "   ".join(entries[i:i + per_line])
            for i in range(0, len(entries), per_line)]


def history_text(master, runs, rows, drop):
    out = [f"{master}: 1 run, {runs[0].label()}" if len(runs) == 1 else
           f"{master}: {len(runs)} runs, {runs[0].label()} to {runs[-1].label()}"]
    degraded = [row for row in rows if row["degraded"]]
    width = max([len(row["host"]) for row in rows] + [4])
    if len(runs) <= EARLIER_RUNS:
        these = "this is the only run" if len(runs) == 1 else f"there are only {len(runs)} runs"
        out.append(f"  degraded: none judged: {these} of {master} in these files; "
                   f"a host is held against at least {EARLIER_RUNS} earlier runs of its own")
    elif not degraded:
        out.append(f"  degraded: none (no host's newest run more than {drop:g}% below the "
                   "median of its earlier runs)")
    else:
        out.append(f"  degraded (newest run more than {drop:g}% below the median of the "
                   "host's earlier runs):")
        for row in degraded:
            out.append(f"    {row['test']:<18} {row['host']:<{width}} {number(row['latest'])} "
                       f"against {number(row['median'])}, {row['change'] * 100:+.0f}%")
    gone = list(dict.fromkeys(row["host"] for row in rows if row["latest"] is None))
    if gone:
        out.append(f"  not in the newest run: {', '.join(gone)}")
    out.append("  runs:")
    out.extend(_run_list(runs))
    out.append("  per test and host: the median rate of its workers of the common form in its")
    out.append("  earlier runs (Millions Executions/sec), then each run against it in %; "
               "'-': not in that run")
    cells = {id(row): [_cell(rate, row["reference"]) for rate in row["rates"]] for row in rows}
    column = max([len(cell) for row in rows for cell in cells[id(row)]] +
                 [len(str(len(runs)))]) + 1
    for name in TESTS:
        mine = [row for row in rows if row["test"] == name]
        if not mine:
            continue
        out.append(f"  {name}")
        out.append(f"    {'host':<{width}} {'median':>10}" +
                   "".join(f"{n:>{column}}" for n in range(1, len(runs) + 1)))
        for row in mine:
            line = (f"    {row['host']:<{width}} {number(row['reference']):>10}" +
                    "".join(f"{cell:>{column}}" for cell in cells[id(row)]))
            out.append(line + ("  degraded" if row["degraded"] else ""))
    return "\n".join(out)


def _csv_row(master, row):
    return (master, row["test"], row["host"], row["runs"],
            "" if row["median"] is None else f"{row['median']:g}",
            "" if row["latest"] is None else f"{row['latest']:g}",
            "" if row["change"] is None else f"{row['change']:+.4f}",
            "true" if row["degraded"] else "false")


def command_history(args):
    runs = read_all(args.files, slow_pct=10)
    series = histories(runs)
    if args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(CSV_COLUMNS)
        for master, mine in series.items():
            writer.writerows(_csv_row(master, row) for row in host_rows(mine, args.drop))
        return
    texts = [history_text(master, mine, host_rows(mine, args.drop), args.drop)
             for master, mine in series.items()]
    if texts:
        sys.stdout.write("\n\n".join(texts) + "\n")


CLIP = 20  # percent: the heatmap's colours end here; larger changes take the end colours


def plot_heatmaps(pyplot, runs, out, taken, png_name):
    """plot: for each master with several runs, one heatmap per streaming
    test; prints each path."""
    for master, series in histories(runs, warn=False).items():
        if len(series) < 2:
            continue
        rows = host_rows(series)
        for name in TESTS:
            mine = [row for row in rows if row["test"] == name]
            if mine:
                short = name.split()[0].lower()
                path = os.path.join(out, png_name(series[-1], taken, f"-{short}-heatmap"))
                heatmap(pyplot, master, name, series, mine, path)
                print(path)


def heatmap(pyplot, master, name, runs, rows, path):
    """Hosts by runs, each cell the host's rate against its own median."""
    import numpy
    hosts = [row["host"] for row in rows]
    values = numpy.ma.masked_invalid(numpy.array(
        [[math.nan if change is None else change
          for change in (percent_against(rate, row["reference"]) for rate in row["rates"])]
         for row in rows], dtype=float))
    height = max(4.5, 2.2 + 0.19 * len(hosts))
    figure, axis = pyplot.subplots(figsize=(max(10.0, 4 + 0.3 * len(runs)), height), dpi=100)
    colours = pyplot.get_cmap("RdBu").copy()
    colours.set_bad("0.8")
    image = axis.imshow(values, cmap=colours, vmin=-CLIP, vmax=CLIP, aspect="auto",
                        interpolation="nearest")
    bar = figure.colorbar(image, ax=axis, extend="both", fraction=0.04, pad=0.02,
                          shrink=min(1.0, 8 / height))
    bar.set_label("rate against the host's own median, %")
    label_size = 9 if len(hosts) <= 24 else 7 if len(hosts) <= 48 else 6
    axis.set_yticks(range(len(hosts)))
    axis.set_yticklabels(hosts, fontsize=label_size)
    for label, row in zip(axis.get_yticklabels(), rows):
        if row["degraded"]:
            label.set_color("firebrick")
            label.set_fontweight("bold")
    axis.set_xticks(range(len(runs)))
    axis.set_xticklabels([f"{run.when:%Y-%m-%d %H:%M}" for run in runs], rotation=45,
                         ha="right", rotation_mode="anchor", fontsize=8 if len(runs) <= 16 else 7)
    if len(hosts) * len(runs) <= 400:  # small enough to print each change in its cell
        for (y, x), value in numpy.ndenumerate(values.filled(math.nan)):
            if not math.isnan(value):
                axis.text(x, y, _cell(1 + value / 100, 1), ha="center", va="center",
                          fontsize=7, color="white" if abs(value) > 0.6 * CLIP else "black")
    axis.set_title(f"{master}, {name}: each host's rate per run against the median of its "
                   f"earlier runs, in %\n{len(hosts)} hosts, {len(runs)} runs; colours end at "
                   f"\u00b1{CLIP}%; grey: not in that run; hosts in red: degraded in the newest "
                   "run", fontsize=10)
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)
