"""plot: PNG charts of each run, and of several runs of one cluster."""

import os
import re

from . import console, describe, exits, forms, history, libraries
from .forms import COMMON
from .model import TESTS
from .reading import number, shown


def load_matplotlib():
    """pyplot with a file-only backend; matplotlib from Debian's python3
    where this one lacks it (libraries.need)."""
    matplotlib = libraries.need("matplotlib", "python3-matplotlib", "plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot
    return pyplot


def png_name(run, taken, suffix=""):
    if run.master and run.when:
        stem = f"{run.master}-{run.when:%Y%m%d-%H%M%S}"
    else:
        stem = os.path.basename(run.path)
    stem = re.sub(r"[^A-Za-z0-9._-]+", "_", stem).strip("_") or "run"
    name, n = f"{stem}{suffix}.png", 2
    while name in taken:
        name, n = f"{stem}{suffix}-{n}.png", n + 1
    taken.add(name)
    return name


LEGEND_HOSTS = 12  # more hosts are named above the chart instead


def plot_run(pyplot, run, path, slow_pct):
    """Every worker's rate in rank order, one panel per streaming test."""
    from matplotlib.patches import Patch
    tests = [test for test in run.tests if test.rates or test.baseline]
    figure, axes = pyplot.subplots(len(tests), 1, figsize=(12, 3.6 * len(tests) + 0.8),
                                   dpi=100, squeeze=False)
    hosts = list(tests[0].host_ranks()) if tests else []
    palette = pyplot.get_cmap("tab10" if len(hosts) <= 10 else "tab20")
    colour = {host: palette(i % palette.N) for i, host in enumerate(hosts)}
    for axis, test in zip(axes[:, 0], tests):
        ranks = list(range(1, len(test.rates) + 1))
        rates = test.rates
        bars = axis.bar(ranks, rates, width=0.8 if len(ranks) < 64 else 1.0,
                        color=[colour.get(host, "grey") for host in test.hosts])
        for bar, form in zip(bars, test.forms):
            if form != COMMON:
                bar.set_hatch("//")
                bar.set_edgecolor("black")
        if test.baseline:
            axis.axhline(test.baseline[1], color="black", linestyle="--", linewidth=1.2,
                         label=f"master alone (baseline) {test.baseline[1]:g}")
        slow = [(i + 1, rate) for i, (rate, flag) in enumerate(zip(rates, test.slow)) if flag]
        if slow:
            axis.plot([s[0] for s in slow], [s[1] for s in slow], linestyle="none",
                      marker="v", color="red", markersize=8,
                      label=f"slow (over {slow_pct:g}% below its form's median)")
        handles = axis.get_legend_handles_labels()[0]
        if len(hosts) <= LEGEND_HOSTS:
            handles += [Patch(color=colour[host], label=host) for host in hosts]
        else:  # too many for a legend: each host's name above its ranks
            by_rank = test.host_ranks()
            top = axis.secondary_xaxis("top")
            top.set_xticks([(ranks[0] + ranks[-1]) / 2 for ranks in by_rank.values()])
            top.set_xticklabels(list(by_rank), rotation=90, fontsize=6)
        others = [str(i + 1) for i, form in enumerate(test.forms) if form != COMMON]
        if others:
            handles.append(Patch(facecolor="white", edgecolor="black", hatch="//",
                                 label=f"another form of the loop: rank {', '.join(others)}"))
        axis.set_title(f"{test.name}: improvement {number(test.improvement)}, "
                       f"overall {number(test.overall)}")
        axis.set_ylabel("Millions Executions/sec")
        axis.set_xlim(0.3, max(ranks + [1]) + 0.7)
        if len(ranks) <= 32:
            axis.set_xticks(ranks)
        axis.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    if tests:
        axes[-1, 0].set_xlabel("worker rank")
    figure.suptitle(f"{run.master or shown(os.path.basename(run.path))}, {run.label()}: "
                    f"{run.nproc} processes, workers on {len(hosts)} host(s)"
                    f"{describe.chart_note(run.record)}")
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)


def plot_history(pyplot, runs, path):
    """Each test's overall rate and improvement per run, over time."""
    runs = sorted(runs, key=lambda run: run.when)
    figure, axes = pyplot.subplots(2, len(TESTS), figsize=(14, 7), dpi=100, squeeze=False)
    for column, name in enumerate(TESTS):
        points = [(run.when, test) for run in runs for test in run.tests if test.name == name]
        for row, (what, value) in enumerate((("overall, Millions Executions/sec",
                                              lambda t: t.overall),
                                             ("improvement", lambda t: t.improvement))):
            axis = axes[row, column]
            shown_points = [(when, value(test)) for when, test in points
                            if value(test) is not None]
            axis.plot([p[0] for p in shown_points], [p[1] for p in shown_points], marker="o")
            axis.set_title(f"{name}: {what}", fontsize=10)
            axis.tick_params(axis="x", labelrotation=30, labelsize=8)
    figure.suptitle(f"{runs[0].master}: {len(runs)} runs, {runs[0].label()} to "
                    f"{runs[-1].label()}")
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)


def command_plot(args):
    pyplot = load_matplotlib()
    loaded = console.load(args.files, args.window, options=args)
    runs = loaded.runs
    forms.mark_slow(runs, args.slow)
    os.makedirs(args.out, exist_ok=True)
    taken = set()
    for run in runs:
        if not run.tests:
            console.warn("no streaming test to chart", run.path)
            continue
        path = os.path.join(args.out, png_name(run, taken))
        plot_run(pyplot, run, path, args.slow)
        print(path)
    clusters = {}
    for run in runs:
        if run.when and run.master and run.tests:
            hosts = tuple(sorted(run.hosts()))
            # A console log and the results file of one run count once.
            clusters.setdefault((run.master, hosts), {}).setdefault(run.when, run)
    for cluster in clusters.values():
        cluster = list(cluster.values())
        if len(cluster) > 1:
            path = os.path.join(args.out, png_name(cluster[0], taken, "-history"))
            plot_history(pyplot, cluster, path)
            print(path)
    dated = [window for window in loaded.windows if window.dated()]
    if dated:
        newest = (dated[-1].runs or [None])[0]
        history.plot_heatmaps(pyplot, dated, args.out, lambda suffix: (
            png_name(newest, taken, f"-{suffix}") if newest else f"window-{suffix}.png"))
    return exits.UNREADABLE if loaded.failed else 0

