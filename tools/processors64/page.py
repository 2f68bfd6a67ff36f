"""html: the window's page, one self-contained HTML file of the verdict's
judgement (judge.py decides, verdict.py words it): the decision and the
drain list at the top, every node in one table that sorts and filters, the
history heatmap and each test's rate distribution, and per node on demand
its workers' spread and its node record.

Everything on the page comes from results files and run records, which
anyone who can write their directory controls: the templates (Jinja2,
autoescaping on) take every value as text, and the data the page's script
reads travels as JSON (tojson escapes <, > and &). The page asks for
nothing outside itself: style, script and pictures are inline, and its
Content-Security-Policy forbids any other request and any script but its
own. With script off the table reads whole, in verdict order.
"""

import base64
import hashlib
import importlib
import json
import math
import os
import pickle
import subprocess
import sys
from datetime import datetime, timezone

from . import atomic, console, describe, drain, exits, history, judge, libraries, model, verdict
from .reading import InputError, number, shown

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUFFIX = ".html"

# A node's verdict as a word the style and the script know it by.
VERDICT_CLASS = {judge.DRAIN: "drain", judge.NOT_MEASURED: "missing",
                 judge.WITH_CLUSTER: "wide", judge.NOT_JUDGED: "unjudged",
                 judge.NODE_HEALTHY: "healthy"}
# The heatmap's colours: a change within the first edge (percent) has none,
# each further edge a darker shade, slower red, faster blue.
EDGES = (2, 6, 10, 14, 18)
SLOWER = ("#fddbc7", "#f4a582", "#d6604d", "#b2182b", "#67001f")
FASTER = ("#d1e5f0", "#92c5de", "#4393c3", "#2166ac", "#053061")
NOT_MEASURED_COLOUR = "#9e9e9e"
NAMED_ROWS = 100      # more hosts than this: only the flagged and degraded are named
MOST_NAMED = 300      # and at most this many of them
LABEL_CHARACTERS = 28  # of a host's name beside its heatmap row
BINS = 40             # of a rate distribution
DRAINED_NAMED = 3     # hosts named above a bar


def short(test):
    return test.split()[0]


# ---- The table --------------------------------------------------------------------

def _percent(fraction):
    if fraction is None or not math.isfinite(fraction):
        return "-"
    return f"{fraction * 100:+.1f}".replace("-0.0", "0.0").replace("+0.0", "0.0")


def _z(value):
    return "-" if value is None or not math.isfinite(value) else f"{value:.1f}".replace(
        "-0.0", "0.0")


def _cells(node):
    """(text, slow) of each test's rate, against its peers in percent and
    z, and against its own past in percent."""
    cells = []
    for name in model.TESTS:
        figures = node.tests.get(name)
        if figures is None:
            cells += [("-", False)] * 4
            continue
        rate = "?" if not math.isfinite(figures.rate) else number(figures.rate)
        z = _z(figures.z)
        cells += [(rate, False), (_percent(figures.against_peers()), figures.slow_vs_peers),
                  (z, figures.slow_vs_peers), (_percent(figures.change), figures.degraded)]
    return cells


def _what_changed(node):
    if node.why_not_measured:
        return node.why_not_measured
    said = []
    if node.flagged:
        said.append(" ".join(line.strip() for line in verdict.change_lines(node)))
    if node.measured_cpus:
        said.append(f"measured in part: {node.measured_cpus[1]} of {node.measured_cpus[0]} CPUs")
    return "; ".join(said)


def table_rows(judgement):
    """One row per node, in verdict order."""
    return [{"host": node.host, "klass": judge.class_text(node.klass),
             "verdict": node.verdict, "css": VERDICT_CLASS[node.verdict],
             "flagged": node.flagged, "cells": _cells(node), "changed": _what_changed(node),
             "reasons": ", ".join(node.reasons())} for node in judgement.nodes]


# ---- Each node on demand -------------------------------------------------------------

def _rounded(value):
    """A rate for the page's data: as the report prints it; null where it
    is no number (JSON has no NaN)."""
    return float(f"{value:.6g}") if value is not None and math.isfinite(value) else None


def node_record(judgement, node):
    """The node record of `node` in the run that measured it, else in any
    record of the window; None where there is none."""
    window = judgement.window
    records = ([node.run.record] if node.run else []) + [
        item.record for item in window.runs + window.failed if item.record]
    for record in records:
        found = describe.node_of(record, node.host)
        if found is not None:
            return found
    return None


def _spread(node, slow):
    """Each test's [workers, lowest, median, highest, [[rank, rate]...] of
    the slow workers] of the node, null where it has none."""
    out = []
    for name in model.TESTS:
        test = next((test for test in node.run.tests if test.name == name), None) \
            if node.run else None
        figures = test.host_figures(slow).get(node.host) if test else None
        out.append(None if figures is None else [
            figures.workers, _rounded(figures.low), _rounded(figures.middle),
            _rounded(figures.high), [[rank, _rounded(rate)] for rank, rate in figures.slow]])
    return out


def details(judgement, slow):
    """What the page's script shows of each node on demand, in the table's
    order: its node record (records that differ only by their host kept
    once), the run that measured it (master and results file, each run
    once, and when it started) and its workers' spread."""
    records, seen, nodes = [], {}, []
    runs = {id(run): n for n, run in enumerate(judgement.window.runs)}
    for node in judgement.nodes:
        record = node_record(judgement, node)
        index = None
        if record is not None:
            rest = {key: value for key, value in record.items() if key != "host"}
            key = json.dumps(rest, sort_keys=True)
            index = seen.get(key)
            if index is None:
                index = seen[key] = len(records)
                records.append(rest)
        nodes.append([index, runs.get(id(node.run)), _spread(node, slow)])
    return {"tests": [short(name) for name in model.TESTS], "records": records,
            "runs": [[run.master, shown(run.path), run.label()] for run in judgement.window.runs],
            "nodes": nodes}


# ---- The heatmap ------------------------------------------------------------------

def colour(change):
    """A heatmap cell's colour for a change in percent; None: no colour."""
    if change is None:
        return NOT_MEASURED_COLOUR
    level = sum(abs(change) >= edge for edge in EDGES)
    if not level:
        return None
    return (SLOWER if change < 0 else FASTER)[level - 1]


def heatmap(judgement, windows, rows):
    """The heatmap of hosts by windows, one panel per test, hosts in verdict
    order: each cell the host's rate against the median of its earlier
    windows (history.Row.reference), one path per colour. Up to NAMED_ROWS
    hosts every row is named; beyond, the flagged, degraded and unmeasured
    are named and the others are thin rows."""
    by_host = {}
    for row in rows:
        by_host.setdefault(row.host, {})[row.test] = row
    order = [node.host for node in judgement.nodes]
    judged = set(order)
    order += [host for host in by_host if host not in judged]
    marked = {node.host for node in judgement.nodes if node.verdict in (
        judge.DRAIN, judge.WITH_CLUSTER, judge.NOT_MEASURED)}
    marked |= {row.host for row in rows if row.degraded}
    everyone = len(order) <= NAMED_ROWS
    thin = 12 if everyone else 2 if len(order) <= 1000 else 1
    cell = 20 if len(windows) <= 12 else 14 if len(windows) <= 24 else max(3, 336 // len(windows))
    panel = cell * len(windows)
    left = 8 + 7 * min(LABEL_CHARACTERS, max([len(host) for host in order] + [4]))
    top, gap = 34, 14
    labels, paths, y = [], {}, top
    for host in order:
        named = everyone or (host in marked and len(labels) < MOST_NAMED)
        height = 12 if named else thin
        if named:
            text = host if len(host) <= LABEL_CHARACTERS else host[:LABEL_CHARACTERS - 1] + "…"
            labels.append({"y": y + 9.5, "text": text, "marked": host in marked})
        for n, name in enumerate(model.TESTS):
            row = by_host.get(host, {}).get(name)
            changes = [history.percent_against(rate, row.reference) if rate is not None
                       else None for rate in row.rates] if row else [None] * len(windows)
            x0 = left + n * (panel + gap)
            start = 0
            while start < len(changes):  # a stretch of one colour is one rectangle
                shade = colour(changes[start])
                end = start + 1
                while end < len(changes) and colour(changes[end]) == shade:
                    end += 1
                if shade is not None:
                    paths.setdefault(shade, []).append(
                        f"M{x0 + start * cell} {y}h{(end - start) * cell}v{height}"
                        f"h-{(end - start) * cell}z")
                start = end
        y += height
    panels = [{"x": left + n * (panel + gap), "title": short(name)}
              for n, name in enumerate(model.TESTS)]
    ticks = [{"x": left + n * (panel + gap) + (i + 0.5) * cell, "text": str(i + 1)}
             for n in range(len(model.TESTS)) for i in range(len(windows))
             if cell >= 10 or i in (0, len(windows) - 1)]
    legend = [{"text": f"{low}% to {high}%" if high else f"{low}% or more", "slower": slower,
               "faster": faster}
              for low, high, slower, faster in zip(EDGES, EDGES[1:] + (None,), SLOWER, FASTER)]
    return {"width": left + len(model.TESTS) * (panel + gap), "height": y + 4, "top": top,
            "panel": panel, "panels": panels, "labels": labels, "ticks": ticks,
            "paths": [{"colour": shade, "d": "".join(parts)} for shade, parts in paths.items()],
            "hosts": len(order), "named": len(labels), "edge": EDGES[0], "legend": legend,
            "not_measured": NOT_MEASURED_COLOUR,
            "windows": [window.label() for window in windows]}


# ---- The rate distributions --------------------------------------------------------

def distribution(judgement, name, width=340, height=110):
    """A histogram of the node rates of one test: bars of BINS equal
    intervals, those holding a drained node red, a line at the median."""
    nodes = [node for node in judgement.nodes if name in node.tests and
             math.isfinite(node.tests[name].rate)]
    if not nodes:
        return None
    rates = [node.tests[name].rate for node in nodes]
    low, high = min(rates), max(rates)
    if high - low < 1e-9 * max(abs(high), 1):
        low, high = low * 0.99, high * 1.01 + 1e-9
    bins = min(BINS, max(8, len(rates) // 2))
    step = (high - low) / bins
    counts, hosts = [0] * bins, [[] for _ in range(bins)]  # and the drained
    for node, rate in zip(nodes, rates):
        at = min(bins - 1, int((rate - low) / step))
        counts[at] += 1
        if node.drain:
            hosts[at].append(node.host)
    most = max(counts)
    bar = width / bins
    bars = []
    for i, count in enumerate(counts):
        if count:
            tall = max(2.0, (height - 8) * count / most)
            named = hosts[i][:DRAINED_NAMED] + (["..."] if len(hosts[i]) > DRAINED_NAMED else [])
            bars.append({"x": round(i * bar, 2), "y": round(height - tall, 2),
                         "w": round(max(bar - 1, 1), 2), "h": round(tall, 2),
                         "drained": ", ".join(named),
                         "title": f"{count} {'node' if count == 1 else 'nodes'} from "
                                  f"{number(_rounded(low + i * step))} to "
                                  f"{number(_rounded(low + (i + 1) * step))}"})
    middle = sorted(rates)[len(rates) // 2]
    return {"test": name, "width": width, "height": height, "bars": bars,
            "median": round((middle - low) / (high - low) * width, 2),
            "low": number(_rounded(low)), "high": number(_rounded(high)),
            "middle": number(middle), "nodes": len(rates)}


# ---- The page -----------------------------------------------------------------------

def _mpi_and_build(window):
    lines = []
    for run in window.runs:
        if run.record is None:
            lines.append("a run has no run record: its MPI and build are unknown")
        else:
            lines += describe.mpi_and_build(run.record)
    return list(dict.fromkeys(lines))


def _hash(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


def _asset(name):
    with open(os.path.join(TEMPLATES, name), encoding="utf-8") as f:
        return f.read()


def render(judgement, status, slow, drop, drain_list, text, jinja2):
    """The page of `judgement` (exit status `status`, the verdict's `text`,
    the drain list: its script and warnings), rendered by the module
    `jinja2`."""
    environment = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES),
                                     autoescape=True, undefined=jinja2.StrictUndefined,
                                     trim_blocks=True, lstrip_blocks=True)
    environment.policies["json.dumps_kwargs"] = {"separators": (",", ":"), "allow_nan": False}
    style, code = _asset("page.css"), _asset("page.js")
    window = judgement.window
    windows = judgement.earlier + [window]
    rows = history.host_rows(windows, drop)
    counts = {verdict_name: len(judgement.with_verdict(verdict_name))
              for verdict_name in judge.NODE_ORDER}
    return environment.get_template("page.html").render(
        policy=f"default-src 'none'; script-src {_hash(code)}; style-src {_hash(style)}; "
               "img-src data:; base-uri 'none'; form-action 'none'",
        style=style, code=code,
        verdict=judgement.verdict, css=judgement.verdict.replace("-", ""),
        headline=verdict.headline(judgement), status=status,
        meaning=exits.MEANING[status] + (
            f": {judgement.why}" if status == exits.INCONCLUSIVE and judgement.why else ""),
        window_line=verdict.window_line(judgement), label=window.label(), counts=counts,
        order=judge.NODE_ORDER, classes=VERDICT_CLASS,
        drained=judgement.drained(), mpi=_mpi_and_build(window),
        rule=verdict.slow_line(slow, drop),
        cluster_wide=[verdict.cluster_wide_text(finding) for finding in judgement.cluster_wide],
        script=drain_list[0], warnings=drain_list[1], text=text,
        tests=[short(name) for name in model.TESTS],
        rows=table_rows(judgement),
        class_names=list(dict.fromkeys(judge.class_text(node.klass)
                                       for node in judgement.nodes)),
        heatmap=heatmap(judgement, windows, rows) if len(windows) > 1 else None,
        distributions=[found for found in (distribution(judgement, name)
                                           for name in model.TESTS) if found],
        data=details(judgement, slow),
        made=datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))


def _jinja2_here():
    try:
        return importlib.import_module("jinja2")
    except ImportError:
        return None


def check_jinja2(command):
    """Raises InputError (how to install python3-jinja2) where neither this
    Python nor Debian's python3 has Jinja2: before `command` reads a file."""
    if _jinja2_here() is None and libraries.debian_python_with("jinja2") is None:
        raise libraries.missing("jinja2", "python3-jinja2", command)


def render_anywhere(judgement, status, slow, drop, drain_list, text):
    """The page (render's), by this Python's Jinja2, else by Debian's
    python3 with the arguments pickled through a pipe: the one way to
    Jinja2 of html and of the step after a window, whatever Python runs
    them (a batch job cannot run itself again). Raises InputError where no
    Python here has Jinja2."""
    arguments = (judgement, status, slow, drop, drain_list, text)
    jinja2 = _jinja2_here()
    if jinja2 is not None:
        return render(*arguments, jinja2)
    python = libraries.debian_python_with("jinja2")
    if python is None:
        raise libraries.missing("jinja2", "python3-jinja2", "the page")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [PACKAGE_PARENT] + [path for path in [os.environ.get("PYTHONPATH")] if path]))
    child = subprocess.run([python, "-m", "processors64.page"], input=pickle.dumps(arguments),
                           capture_output=True, env=env)
    if child.returncode != 0:
        lines = child.stderr.decode(errors="replace").strip().splitlines()
        raise InputError(f"{python} could not make the page: "
                         f"{lines[-1] if lines else f'exit status {child.returncode}'}")
    return child.stdout.decode("utf-8", "surrogateescape")


def default_path(window):
    """Beside the window's newest results file X.txt: X.html (else beside
    the record of its newest failed job)."""
    items = window.runs or window.failed
    newest = max(items, key=lambda item: item.time() or 0)
    for suffix in (".txt", ".run.json"):
        if newest.path.endswith(suffix):
            return newest.path[:-len(suffix)] + SUFFIX
    return newest.path + SUFFIX


def command_html(args):
    check_jinja2("html")
    loaded = console.load(args.files, args.window, workers=False, slow_pct=args.slow,
                          options=args, whole="newest")
    judgement = verdict.judged(loaded, args.slow, args.drop)
    status = exits.UNREADABLE if loaded.failed else judgement.status
    if judgement.window is None:
        if not loaded.failed:
            console.error(f"no page: {judgement.why}")
        return exits.UNREADABLE
    path = args.out or default_path(judgement.window)
    script, steps = drain.script(judgement, *drain.states())
    for warning in steps.warnings:
        console.warn(warning)
    page = render_anywhere(judgement, status, args.slow, args.drop, (script, steps.warnings),
                           verdict.verdict_text(judgement, args.slow, args.drop))
    try:
        atomic.write(path, page)
    except OSError as error:
        console.error(f"cannot write the page: {error.strerror or error}", path)
        return exits.UNREADABLE
    print(shown(path))
    return status


def _render_from_pipe():
    """python3 -m processors64.page: the page of the pickled arguments on
    standard input (render_anywhere's child)."""
    import jinja2
    arguments = pickle.load(sys.stdin.buffer)
    sys.stdout.buffer.write(render(*arguments, jinja2).encode("utf-8", "surrogateescape"))
    return 0


if __name__ == "__main__":
    sys.exit(_render_from_pipe())
