"""verdict: after a maintenance window, which nodes go out of service, why,
what changed on them, and which could not be measured (judge.py decides),
as text for a person, JSON for a program, or Slurm's drain list."""

import json
import math
import sys
from dataclasses import asdict

from . import console, drain, exits, history, judge, slurm
from .reading import number, shown
from .summary import counted

LISTED = 12  # hosts named in a line of the text before the rest are counted


def _percent(value):
    return "?" if value is None or not math.isfinite(value) else f"{value * 100:+.0f}%"


def _some(hosts):
    """Hosts for a line of text: all of a few, else the first and a count."""
    hosts = [shown(host) for host in hosts]
    if len(hosts) <= LISTED:
        return ", ".join(hosts)
    return f"{', '.join(hosts[:LISTED])}, ... ({len(hosts)} in all)"


def headline(judgement):
    """The first line: the verdict and the nodes to drain."""
    head = {judge.HEALTHY: "healthy", judge.INCONCLUSIVE: "inconclusive",
            judge.CLUSTER_WIDE: "cluster-wide slowdown",
            judge.FLAGGED: "nodes flagged"}[judgement.verdict]
    drained = judgement.drained()
    if drained:
        head += f"; drain {len(drained)}: {_some(drained)}"
    return f"verdict: {head}"


def window_line(judgement):
    """What was judged: the window, its jobs and nodes, its past."""
    window = judgement.window
    jobs = window.groups()
    measured = len([node for node in judgement.nodes if node.verdict != judge.NOT_MEASURED])
    masters = _some(window.masters()) or "none"
    if window.failed:
        masters += f"; {len(window.failed)} failed"
    return (f"window {shown(window.id)}, {window.label()}: "
            f"{counted(len(judgement.nodes), 'node')} in {counted(jobs, 'job')} "
            f"(masters {masters}), {measured} measured; "
            f"{counted(len(judgement.earlier), 'earlier window')}")


def cluster_wide_text(finding):
    if finding.kind == "past":
        return (f"{finding.test}: the median host is {_percent(finding.change)} against its "
                f"own past ({finding.hosts} hosts): an update, a configuration or the MPI, "
                "not a node")
    return (f"class {shown(finding.klass)}: {finding.flagged} of its {finding.hosts} hosts "
            "flagged, more than a fifth: none of them is drained")


def figure_lines(node):
    lines = []
    for finding in node.findings:
        figures = node.tests[finding.test]
        if finding.kind == "peers":
            lines.append(f"{finding.test} {number(figures.rate)}: "
                         f"{_percent(figures.against_peers())} against the median "
                         f"{number(figures.peer_median)} of its {figures.peers} peers, "
                         f"z {figures.z:.1f}")
        else:
            lines.append(f"{finding.test} {number(figures.rate)}: {_percent(figures.change)} "
                         f"against the median {number(figures.past_median)} of its "
                         f"{counted(figures.earlier_windows, 'earlier window')}")
    return lines


def change_lines(node):
    if node.changes_since is None:
        return ["changed: nothing to compare with, no earlier window measured this host"]
    if not node.changes:
        return [f"changed since the window of {node.changes_since}: nothing in the run records"]
    return ([f"changed since the window of {node.changes_since}:"] +
            [f"  {shown(line)}" for line in node.changes])


def slow_line(slow, drop):
    """What makes a node slow, in one line."""
    return (f"slow: more than {slow:g}% below the median of its class with a z-score below "
            f"{judge.Z_LIMIT}, or more than {drop:g}% below its own past")


def verdict_text(judgement, slow, drop):
    out = [headline(judgement)]
    if judgement.window is None:
        out.append(f"inconclusive: {judgement.why}")
        return "\n".join(out) + "\n"
    out.append(window_line(judgement))
    out.append(slow_line(slow, drop))
    if judgement.verdict == judge.INCONCLUSIVE:
        out.append(f"inconclusive: {judgement.why}")
    if any(run.record is None for run in judgement.window.runs):
        out.append("a run has no run record: its hosts are each other's peers and of no "
                   "other class")
    for node in judgement.with_verdict(judge.DRAIN):
        out.append(f"{shown(node.host)}: drain")
        out.extend(f"  {line}" for line in figure_lines(node) + change_lines(node))
    for node in judgement.with_verdict(judge.NOT_MEASURED):
        out.append(f"{shown(node.host)}: not measured: {shown(node.why_not_measured)}")
    for finding in judgement.cluster_wide:
        out.append(f"cluster-wide: {cluster_wide_text(finding)}")
    if judgement.cluster_wide and judgement.previous is not None:
        changed = judgement.changed_for_all
        since = f"since the window of {judgement.previous.label()}"
        if changed is None:
            out.append(f"changed for every node {since}: unknown, a run record is missing")
        elif not changed:
            out.append(f"changed for every node {since}: nothing in the MPI, compiler, flags "
                       "or commit")
        else:
            out.append(f"changed for every node {since}:")
            out.extend(f"  {shown(line)}" for line in changed)
    along = judgement.with_verdict(judge.WITH_CLUSTER)
    if along:
        out.append("flagged with the rest of the cluster or class, not drained: "
                   f"{_some(node.host for node in along)}")
    partly = [node for node in judgement.nodes if node.measured_cpus]
    if partly:
        out.append("measured in part: " + ", ".join(
            f"{shown(node.host)} ({node.measured_cpus[1]} of {node.measured_cpus[0]} CPUs)"
            for node in partly[:LISTED]) + (", ..." if len(partly) > LISTED else ""))
    for found in judgement.classes:
        if not found.peer_judgement:
            out.append(f"peers: class {shown(found.name)} has "
                       f"{counted(len(found.hosts), 'host')} ({_some(found.hosts)}): fewer "
                       f"than {judge.FEWEST_PEERS}, no peer judgement")
    earlier = len(judgement.earlier)
    if earlier < history.EARLIER_WINDOWS:
        out.append(f"past: {counted(earlier, 'earlier window')}: a host is held against at "
                   f"least {history.EARLIER_WINDOWS} of its own")
    unjudged = judgement.with_verdict(judge.NOT_JUDGED)
    measured = [node for node in judgement.nodes if node.verdict != judge.NOT_MEASURED]
    if unjudged and len(unjudged) < len(measured):
        out.append(f"not judged (no peers, no past): {_some(node.host for node in unjudged)}")
    healthy = judgement.with_verdict(judge.NODE_HEALTHY)
    out.append(f"healthy: {counted(len(healthy), 'node')} of {len(judgement.nodes)}")
    return "\n".join(out) + "\n"


# ---- JSON ------------------------------------------------------------------------

def _finite(value):
    """Floats that JSON can hold (NaN and infinities become null)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(inner) for key, inner in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(inner) for inner in value]
    return value


def class_json(key):
    if len(key) == 1:
        return None
    return {"cpu_model": key[0], "logical_cpus": key[1]}


def node_json(node):
    return {"host": node.host, "verdict": node.verdict, "class": class_json(node.klass),
            "master": node.run.master if node.run else None,
            "results_file": node.run.path if node.run else None,
            "judged": node.judged, "flagged": node.flagged, "drain": node.drain,
            "reasons": node.reasons(), "changes": node.changes,
            "changes_since": node.changes_since, "not_measured": node.why_not_measured,
            "measured_cpus": (None if node.measured_cpus is None else
                              {"cpus": node.measured_cpus[0],
                               "collected": node.measured_cpus[1]}),
            "tests": {name: asdict(figures) for name, figures in node.tests.items()}}


def window_json(window):
    return {"id": window.id, "start": window.label(), "groups": window.groups(),
            "jobs": [{"group": (run.window_key() or {}).get("group"), "master": run.master,
                      "results_file": run.path, "record": run.record is not None,
                      "complete": run.ends is None,
                      "exit_status": run.record["exit_status"] if run.record else None}
                     for run in window.runs],
            "failed_jobs": [{"group": (job.window_key() or {}).get("group"),
                             "record": job.path, "exit_status": job.record["exit_status"]}
                            for job in window.failed],
            "nodes": len(window.nodes)}


def verdict_json(judgement, status, slow, drop):
    document = {
        "verdict": judgement.verdict, "exit_status": status, "why": judgement.why or None,
        "slow_percent": slow, "drop_percent": drop,
        "window": window_json(judgement.window) if judgement.window else None,
        "earlier_windows": [{"id": window.id, "start": window.label()}
                            for window in judgement.earlier],
        "cluster_wide": [asdict(finding) for finding in judgement.cluster_wide],
        "changed_for_every_node": judgement.changed_for_all,
        "classes": [{"class": class_json(found.key), "name": found.name,
                     "hosts": list(found.hosts), "peer_judgement": found.peer_judgement}
                    for found in judgement.classes],
        "nodes": [node_json(node) for node in judgement.nodes],
    }
    return json.dumps(_finite(document), indent=1) + "\n"


# ---- Running it ------------------------------------------------------------------

def judged(loaded, slow, drop, window_id=None):
    """The Judgement of the newest dated window of `loaded` (or of the
    window `window_id` and those before it)."""
    windows = console.dated(loaded.windows, "the verdict")
    if window_id is not None:
        mine = [n for n, window in enumerate(windows) if window_id in window.ids]
        if mine:
            windows = windows[:mine[0] + 1]
    return judge.judge(windows, slow, drop)


def drain_list(judgement, apply):
    """Prints the drain list; with `apply`, runs its commands. Returns False
    where Slurm could not be asked or refused a command with `apply`."""
    states, unasked = drain.states()
    if apply and states is None:
        console.error(f"cannot read the nodes' states from Slurm ({unasked}): nothing applied")
        return False
    script, steps = drain.script(judgement, states, unasked)
    for warning in steps.warnings:
        console.warn(warning)
    sys.stdout.write(script)
    sys.stdout.flush()
    ok = True
    for argv, _ in steps.commands if apply else ():
        try:
            slurm.command(argv)
        except slurm.SlurmError as error:
            console.error(str(error))
            ok = False
    return ok


def command_verdict(args):
    loaded = console.load(args.files, args.window, workers=False, slow_pct=args.slow,
                          options=args, whole="newest")
    judgement = judged(loaded, args.slow, args.drop)
    # a file not read may hold what was judged
    status = exits.UNREADABLE if loaded.failed else judgement.status
    if args.drain_list:
        if not drain_list(judgement, args.apply):
            return exits.UNREADABLE
    elif args.format == "json":
        sys.stdout.write(verdict_json(judgement, status, args.slow, args.drop))
    else:
        sys.stdout.write(verdict_text(judgement, args.slow, args.drop))
    return status
