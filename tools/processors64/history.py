"""history: each host across the windows that measured it, whatever its
master, and the hosts whose newest window fell below their own past.

One window finds a slow node only against its peers; a node that drifts
slower from month to month, or a whole cluster that slows after an update,
shows only against its own past. A host's rate in a window is the median of
its workers of the common form (model.HostFigures.rate); its rate in the
newest window is held against the median of its earlier windows.
"""

import csv
import itertools
import math
import operator
import os
import re
import sys
from dataclasses import dataclass
from typing import Optional

from . import console, exits, forms, model
from .reading import number, shown

DROP = 10            # percent below its own median that makes a host degraded
EARLIER_WINDOWS = 2  # a host with fewer earlier windows is never judged against its past
CSV_COLUMNS = ("window", "test", "host", "windows", "median_rate", "latest_rate", "change",
               "degraded")


@dataclass
class Row:
    """One host in one test across the windows: its rate in each (None
    where not measured), the median of its earlier windows, its rate in the
    newest, the change against that median (a fraction), whether it is
    degraded, and the reference the tables and heatmaps hold each window
    against: that median, or with no earlier window the median of those it
    has."""
    test: str
    host: str
    rates: list
    median: Optional[float]
    latest: Optional[float]
    change: Optional[float]
    degraded: bool
    reference: Optional[float]

    @property
    def windows(self):
        return len(self.rates) - self.rates.count(None)

    @property
    def earlier(self):
        return len(self.rates) - 1 - self.rates[:-1].count(None) if self.rates else 0


def host_rows(windows, drop=DROP):
    """One Row per test and host over `windows` (oldest first): hosts of the
    newest window first, in its order; hosts it did not measure after."""
    rows = []
    for name in model.TESTS:
        per_window = [model.host_rates(window, name) for window in windows]
        newest = per_window[-1] if per_window else {}
        hosts = dict.fromkeys(newest)
        for rates in reversed(per_window[:-1]):
            hosts.update(dict.fromkeys(rates))
        count = len(per_window)
        for host in hosts:
            rates = list(map(dict.get, per_window, itertools.repeat(host, count)))
            earlier = list(itertools.compress(rates, map(operator.is_not, rates[:-1],
                                                         itertools.repeat(None))))
            median = forms.median(earlier) if earlier else None
            latest = rates[-1]
            change = None
            if latest is not None and median and math.isfinite(median) and not math.isnan(latest):
                change = latest / median - 1
            rows.append(Row(
                name, host, rates, median, latest, change,
                len(earlier) >= EARLIER_WINDOWS and change is not None and change < -drop / 100,
                median if median is not None else
                forms.median(rate for rate in rates if rate is not None)))
    return rows


def percent_against(rate, reference):
    """The change of `rate` against `reference` in percent; None if either is
    missing or the change cannot be computed."""
    if rate is None or reference is None or not reference or not math.isfinite(reference):
        return None
    change = (rate / reference - 1) * 100
    return change if math.isfinite(change) else None


def cell(rate, reference):
    """A table's cell: the change in whole percent, '-' not measured, '?'
    where it cannot be worked out."""
    change = percent_against(rate, reference)
    if rate is None:
        return "-"
    if change is None:
        return "?"
    whole = round(change)
    return f"{whole:+d}" if whole else "0"


def _cells(row):
    """cell() of each of a row's rates, the quick way through the hundreds
    of thousands of cells of a large cluster's history."""
    reference = row.reference
    if reference is None or not reference or not math.isfinite(reference):
        return ["-" if rate is None else "?" for rate in row.rates]
    out = []
    for rate in row.rates:
        if rate is None:
            out.append("-")
            continue
        change = (rate / reference - 1) * 100
        if not math.isfinite(change):
            out.append("?")
            continue
        whole = round(change)
        out.append(f"{whole:+d}" if whole else "0")
    return out


def _window_list(windows):
    """The windows numbered, with their dates, a few to a line."""
    entries = [f"{n:>{len(str(len(windows)))}} {window.label()}"
               for n, window in enumerate(windows, 1)]
    per_line = max(1, 96 // (max(map(len, entries)) + 3))
    return ["    " + "   ".join(entries[i:i + per_line])
            for i in range(0, len(entries), per_line)]


def natural(host):
    """A host's place in a list for people: node2 before node10."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.split(r"(\d+)", host)]


def history_text(windows, rows, drop):
    hosts = len({row.host for row in rows})
    out = [f"{hosts} hosts, 1 window, {windows[0].label()}" if len(windows) == 1 else
           f"{hosts} hosts, {len(windows)} windows, {windows[0].label()} to "
           f"{windows[-1].label()}"]
    degraded = [row for row in rows if row.degraded]
    width = max([len(shown(row.host)) for row in rows] + [4])
    if len(windows) <= EARLIER_WINDOWS:
        these = ("this is the only window" if len(windows) == 1 else
                 f"there are only {len(windows)} windows")
        out.append(f"  degraded: none judged: {these} in these files; a host is held against "
                   f"at least {EARLIER_WINDOWS} earlier windows of its own")
    elif not degraded:
        out.append(f"  degraded: none (no host's newest window more than {drop:g}% below the "
                   "median of its earlier windows)")
    else:
        out.append(f"  degraded (newest window more than {drop:g}% below the median of the "
                   "host's earlier windows):")
        for row in degraded:
            out.append(f"    {row.test:<18} {shown(row.host):<{width}} {number(row.latest)} "
                       f"against {number(row.median)}, {row.change * 100:+.0f}%")
    gone = list(dict.fromkeys(row.host for row in rows if row.latest is None))
    if gone:
        out.append(f"  not in the newest window: {', '.join(map(shown, gone))}")
    out.append("  windows:")
    out.extend(_window_list(windows))
    out.append("  per test and host: the median rate of its workers of the common form in its")
    out.append("  earlier windows (Millions Executions/sec), then each window against it in %; "
               "'-': not measured in that window")
    cells = {id(row): _cells(row) for row in rows}
    column = max([max(map(len, texts)) for texts in cells.values() if texts] +
                 [len(str(len(windows)))]) + 1
    columns = f"{{:>{column}}}" * len(windows)
    for name in model.TESTS:
        mine = sorted((row for row in rows if row.test == name), key=lambda row: natural(row.host))
        if not mine:
            continue
        out.append(f"  {name}")
        out.append(f"    {'host':<{width}} {'median':>10}" +
                   "".join(f"{n:>{column}}" for n in range(1, len(windows) + 1)))
        for row in mine:
            line = (f"    {shown(row.host):<{width}} {number(row.reference):>10}" +
                    columns.format(*cells[id(row)]))
            out.append(line + ("  degraded" if row.degraded else ""))
    return "\n".join(out)


def _csv_row(window, row):
    return (window.id, row.test, row.host, row.windows,
            "" if row.median is None else f"{row.median:g}",
            "" if row.latest is None else f"{row.latest:g}",
            "" if row.change is None else f"{row.change:+.4f}",
            "true" if row.degraded else "false")


def command_history(args):
    loaded = console.load(args.files, args.window, workers=False, options=args, whole="none")
    windows = console.dated(loaded.windows, "the history")
    if not windows:
        return exits.UNREADABLE if loaded.failed else 0
    rows = host_rows(windows, args.drop)
    if args.format == "csv":
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(CSV_COLUMNS)
        writer.writerows(_csv_row(windows[-1], row) for row in rows)
    else:
        sys.stdout.write(history_text(windows, rows, args.drop) + "\n")
    return exits.UNREADABLE if loaded.failed else 0


# ---- The heatmap ---------------------------------------------------------------

CLIP = 20  # percent: the heatmap's colours end here; larger changes take the end colours
ORDINALS = {2: "second", 3: "third", 4: "fourth"}


def plot_heatmaps(pyplot, windows, out, name_of):
    """plot: where there are several windows, one heatmap per streaming
    test, hosts by windows; prints each path."""
    windows = [window for window in windows if window.dated()]
    if len(windows) < 2:
        return
    rows = host_rows(windows)
    for name in model.TESTS:
        mine = [row for row in rows if row.test == name]
        if mine:
            path = os.path.join(out, name_of(f"{name.split()[0].lower()}-heatmap"))
            heatmap(pyplot, name, windows, mine, path)
            print(path)


def heatmap(pyplot, name, windows, rows, path):
    """Hosts by windows, each cell the host's rate against its own median.
    Hosts degraded in the newest window come first, in red, then the others
    by name; at hundreds of hosts a row is a few pixels high and only every
    n-th host is named, the degraded always."""
    import numpy
    rows = sorted(rows, key=lambda row: (not row.degraded, natural(row.host)))
    hosts = [row.host for row in rows]
    values = numpy.ma.masked_invalid(numpy.array(
        [[math.nan if change is None else change
          for change in (percent_against(rate, row.reference) for rate in row.rates)]
         for row in rows], dtype=float))
    per_host = 0.19 if len(hosts) <= 64 else 0.11 if len(hosts) <= 256 else 0.06
    height = max(4.5, 2.2 + per_host * len(hosts))
    figure, axis = pyplot.subplots(figsize=(max(10.0, 4 + 0.3 * len(windows)), height), dpi=100)
    colours = pyplot.get_cmap("RdBu").copy()
    colours.set_bad("0.8")
    image = axis.imshow(values, cmap=colours, vmin=-CLIP, vmax=CLIP, aspect="auto",
                        interpolation="nearest")
    bar = figure.colorbar(image, ax=axis, extend="both", fraction=0.04, pad=0.02,
                          shrink=min(1.0, 8 / height))
    bar.set_label("rate against the host's own median, %")
    label_size = 9 if len(hosts) <= 24 else 7 if len(hosts) <= 48 else 6 if len(hosts) <= 256 else 5
    every = 1 if len(hosts) <= 256 else math.ceil(len(hosts) / 256)
    named = [i for i, row in enumerate(rows) if row.degraded or i % every == 0]
    axis.set_yticks(named)
    axis.set_yticklabels([hosts[i] for i in named], fontsize=label_size)
    for label, i in zip(axis.get_yticklabels(), named):
        if rows[i].degraded:
            label.set_color("firebrick")
            label.set_fontweight("bold")
    axis.set_xticks(range(len(windows)))
    axis.set_xticklabels([window.label()[:16] for window in windows], rotation=45, ha="right",
                         rotation_mode="anchor", fontsize=8 if len(windows) <= 16 else 7)
    if len(hosts) * len(windows) <= 400:  # small enough to print each change in its cell
        for (y, x), value in numpy.ndenumerate(values.filled(math.nan)):
            if not math.isnan(value):
                axis.text(x, y, cell(1 + value / 100, 1), ha="center", va="center",
                          fontsize=7, color="white" if abs(value) > 0.6 * CLIP else "black")
    named_hosts = "" if every == 1 else f"; every {ORDINALS.get(every, f'{every}th')} host named"
    axis.set_title(f"{name}: each host's rate per window against the median of its earlier "
                   f"windows, in %\n{len(hosts)} hosts, {len(windows)} windows; colours end at "
                   f"\u00b1{CLIP}%; grey: not measured\nhosts in red, first: degraded in the "
                   f"newest window{named_hosts}", fontsize=10)
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)
