"""verdict: after a maintenance window, which nodes go out of service, why,
and what changed on them.

For each master its newest complete run is judged, its earlier runs are the
past. A host is held against its peers in that run (the hosts of the same
class: CPU model and logical CPU count from the run record) and against its
own past (as history judges it). When the whole cluster or most of a class
moved, that is an update, a configuration or the MPI, not a node: it is
reported as cluster-wide and none of those nodes goes on the drain list.

The drain list is Slurm's own commands. Host names come from results files,
which anyone who can write their directory can change: a name that is no
valid Slurm node name never reaches it, every word is quoted for the shell,
and --apply runs the commands without one.
"""

import json
import math
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys

from . import atomic, describe, history, results_name, run_record, slurm
from .forms import host_medians
from .reading import FAILED, PROGRAM, InputError, hosts_of, number, read_all, shown
from .summary import counted

HEALTHY, FLAGGED, CLUSTER_WIDE, INCONCLUSIVE = "healthy", "flagged", "cluster-wide", "inconclusive"
STATUS = {HEALTHY: 0, FLAGGED: 1, CLUSTER_WIDE: 1, INCONCLUSIVE: 3}
FEWEST_PEERS = 4       # a smaller class has no peer judgement
Z_LIMIT = -3.5         # robust z-score below which a slow host is an outlier
Z_SCALE = 0.6745       # makes the MAD of normal data comparable to its deviation
MAD_FLOOR = 0.01       # of the median: a very uniform class does not flag 2%
FEWEST_FOR_CLUSTER = 3  # hosts judged against their past for a cluster's median change
CLASS_WIDE_SIZE = 5    # in a class this large, more than a fifth flagged is class-wide
REASON = "processors64: "
REASON_BYTES = 255     # Slurm keeps longer reasons, but sinfo and humans do not
# Printable ASCII that means nothing inside double quotes to a shell.
REASON_CHARACTERS = frozenset(chr(c) for c in range(32, 127)) - set('"$`\\!')


# ---- Judging one master ---------------------------------------------------------

def class_of(run, host):
    """The peers' class of `host` in `run`: (CPU model, logical CPUs) from
    its node record; every host is of one class where the run has no
    record, and hosts without a node record are of their own."""
    if run.record is None:
        return ("all hosts (no run record)",)
    node = describe.node_of(run.record, host)
    if node is None or node.get("error") is not None:
        return ("the hosts without a node record",)
    return (node["cpu_model"], node["logical_cpus"])


def class_text(key):
    if len(key) == 1:
        return key[0]
    model, cpus = key
    return f"{model or 'CPU model unknown'}, {'?' if cpus is None else f'{cpus:g}'} logical CPUs"


def class_json(key):
    if len(key) == 1:
        return None
    return {"cpu_model": key[0], "logical_cpus": key[1]}


def _finite(value):
    return value is not None and math.isfinite(value)


def peer_judgement(judged, classes, slow):
    """{(test, host): figures} of the hosts in classes of FEWEST_PEERS or
    more: the class median of the host rates, the robust z-score, whether
    the host is slow against its peers."""
    found = {}
    for test in judged.tests:
        medians = host_medians(test)
        members = {}
        for host, rate in medians.items():
            if _finite(rate):
                members.setdefault(classes[host], []).append(host)
        for hosts in members.values():
            if len(hosts) < FEWEST_PEERS:
                continue
            rates = [medians[host] for host in hosts]
            median = statistics.median(rates)
            mad = max(statistics.median(abs(rate - median) for rate in rates),
                      MAD_FLOOR * median)
            for host in hosts:
                rate = medians[host]
                z = Z_SCALE * (rate - median) / mad if mad > 0 else None
                found[(test.name, host)] = {
                    "peer_median": median, "peers": len(hosts), "z": z,
                    "slow_vs_peers": (rate < median * (1 - slow / 100) and z is not None
                                      and z < Z_LIMIT)}
    return found


def _run_hosts(run):
    return {host for test in run.tests for host in test.hosts}


def what_changed(judged, past, host):
    """(the run the host was last in before, lines naming what changed on
    it since: its node record and the run-wide record)."""
    previous = next((run for run in reversed(past) if host in _run_hosts(run)), None)
    if previous is None:
        return None, []
    missing = [which for which, run in (("judged", judged), ("previous", previous))
               if run.record is None]
    if missing:
        return previous, [f"record missing: {' and '.join(f'the {which}' for which in missing)} "
                          f"run{'s have' if len(missing) > 1 else ' has'} no run record"]
    new, old = describe.node_of(judged.record, host), describe.node_of(previous.record, host)
    if new is None or old is None:
        which = " and ".join(w for w, node in (("judged", new), ("previous", old)) if node is None)
        return previous, [f"record missing: no node record of this host in the {which} "
                          f"run's record"]
    return previous, (describe.node_changes(old, new) +
                      describe.run_changes(previous.record, judged.record))


def _host_entry(host, key):
    return {"host": host, "class": class_json(key), "tests": {}, "judged": False,
            "flagged": False, "drain": False, "reasons": [], "changes": None,
            "changes_since": None, "_findings": []}


def _cluster_wide(judged, entries, drop):
    """The tests in which the median host is more than `drop` percent below
    its own past: the cluster moved, not a node."""
    found = []
    for test in (test.name for test in judged.tests):
        changes = [figures["change"] for entry in entries.values()
                   for name, figures in entry["tests"].items()
                   if name == test and figures["earlier_runs"] >= history.EARLIER_RUNS
                   and _finite(figures["change"])]
        if len(changes) >= FEWEST_FOR_CLUSTER and statistics.median(changes) < -drop / 100:
            found.append({"kind": "past", "test": test, "class": None,
                          "change": statistics.median(changes), "hosts": len(changes),
                          "flagged": None})
    return found


def _classes(classes, entries):
    """The classes of the run, as the document lists them, and {class key:
    finding} of those of CLASS_WIDE_SIZE hosts or more of which more than a
    fifth are flagged: the class moved, not a node."""
    members_of = {}
    for host, key in classes.items():
        members_of.setdefault(key, []).append(host)
    listed, wide = [], {}
    for key, members in members_of.items():
        flagged = [host for host in members if entries[host]["_findings"]]
        peer_judged = any(figures["peer_median"] is not None
                          for host in members for figures in entries[host]["tests"].values())
        listed.append({"class": class_json(key), "name": class_text(key),
                       "hosts": members, "peer_judgement": peer_judged})
        if len(members) >= CLASS_WIDE_SIZE and len(flagged) * 5 > len(members):
            wide[key] = {"kind": "class", "test": None, "class": class_text(key),
                         "change": None, "hosts": len(members), "flagged": len(flagged)}
    return listed, wide


def judge_master(master, runs, slow, drop):
    """The judgement of one master's newest complete run, as the JSON
    document holds it (with a few private keys the text uses)."""
    out = {"master": master, "verdict": INCONCLUSIVE, "why": "", "run": None,
           "earlier_runs": 0, "later_incomplete_runs": 0, "cluster_wide": [],
           "classes": [], "hosts": [], "not_in_run": []}
    complete = [run for run in runs if run.ends is None]
    if not complete:
        out["why"] = (f"no complete run of {master}: "
                      f"{'it stopped' if len(runs) == 1 else f'all {len(runs)} stopped'} early")
        return out
    judged = complete[-1]
    index = runs.index(judged)
    past = runs[:index]
    out["earlier_runs"] = len(past)
    out["later_incomplete_runs"] = len(runs) - index - 1
    out["run"] = {"file": judged.path, "date": judged.label(),
                  "processes": judged.nproc, "record": judged.record is not None}
    out["_run"], out["_runs"] = judged, runs
    hosts = list(hosts_of(judged.tests[0])[0]) if judged.tests else []
    classes = {host: class_of(judged, host) for host in hosts}
    peers = peer_judgement(judged, classes, slow)
    rows = history.host_rows(past + [judged], drop)
    entries = {host: _host_entry(host, classes[host]) for host in hosts}
    out["not_in_run"] = list(dict.fromkeys(row["host"] for row in rows
                                           if row["latest"] is None))

    for row in rows:
        entry = entries.get(row["host"])
        if entry is None or row["latest"] is None:
            continue
        earlier = row["runs"] - 1
        figures = {"rate": row["latest"], "peer_median": None, "peers": None, "z": None,
                   "slow_vs_peers": False, "past_median": row["median"],
                   "earlier_runs": earlier, "change": row["change"],
                   "degraded": row["degraded"]}
        figures.update(peers.get((row["test"], row["host"]), {}))
        entry["tests"][row["test"]] = figures
        if figures["peer_median"] is not None or earlier >= history.EARLIER_RUNS:
            entry["judged"] = True
        if figures["slow_vs_peers"]:
            entry["_findings"].append(("peers", row["test"],
                                       figures["rate"] / figures["peer_median"] - 1))
        if figures["degraded"]:
            entry["_findings"].append(("past", row["test"], figures["change"]))

    out["cluster_wide"] = _cluster_wide(judged, entries, drop)
    wide_tests = {finding["test"] for finding in out["cluster_wide"]}
    out["classes"], wide_classes = _classes(classes, entries)
    out["cluster_wide"] += list(wide_classes.values())
    for host, entry in entries.items():
        findings = entry["_findings"]
        entry["flagged"] = bool(findings)
        entry["reasons"] = _reasons(findings)
        entry["drain"] = classes[host] not in wide_classes and any(
            kind == "peers" or test not in wide_tests for kind, test, _ in findings)
        entry["_findings"] = findings
        if entry["flagged"]:
            since, entry["changes"] = what_changed(judged, past, host)
            entry["changes_since"] = since.label() if since else None
    out["hosts"] = list(entries.values())

    drained = [entry["host"] for entry in out["hosts"] if entry["drain"]]
    if not any(entry["judged"] for entry in out["hosts"]):
        out["why"] = (f"nothing to judge: no class of {FEWEST_PEERS} hosts or more to hold "
                      f"a host against its peers, and no host with {history.EARLIER_RUNS} "
                      "earlier runs")
    elif out["cluster_wide"]:
        out["verdict"] = CLUSTER_WIDE
    elif drained:
        out["verdict"] = FLAGGED
    else:
        out["verdict"] = HEALTHY
    return out


def _reasons(findings):
    """One reason per test, the worst first: "-20% Float Streaming vs peers
    and own past"."""
    by_test = {}
    for kind, test, change in findings:
        worst, kinds = by_test.get(test, (0, []))
        by_test[test] = (min(worst, change), kinds + ["peers" if kind == "peers" else "own past"])
    return [f"{worst * 100:+.0f}% {test} vs {' and '.join(kinds)}"
            for test, (worst, kinds) in sorted(by_test.items(), key=lambda item: item[1][0])]


def judge(runs, slow, drop):
    """The judgement of each master among `runs`; the exit status."""
    masters = [judge_master(master, series, slow, drop)
               for master, series in history.histories(runs).items()]
    statuses = {STATUS[master["verdict"]] for master in masters}
    # Something to act on comes first, then what could not be judged.
    status = next((status for status in (1, 3, 0) if status in statuses), 3)
    return masters, status


def overall(masters):
    if not masters:
        return INCONCLUSIVE
    verdicts = [master["verdict"] for master in masters]
    for verdict in (CLUSTER_WIDE, FLAGGED, INCONCLUSIVE):
        if verdict in verdicts:
            return verdict
    return HEALTHY


# ---- Text ------------------------------------------------------------------------

def _percent(value):
    return "?" if not _finite(value) else f"{value * 100:+.0f}%"


def _cluster_wide_text(finding):
    if finding["kind"] == "past":
        return (f"{finding['test']}: the median host is {_percent(finding['change'])} against "
                f"its own past ({finding['hosts']} hosts): an update, a configuration or "
                "the MPI, not a node")
    return (f"class {finding['class']}: {finding['flagged']} of its {finding['hosts']} "
            "hosts flagged, more than a fifth: none of them is drained")


def verdict_line(master):
    drained = [entry["host"] for entry in master["hosts"] if entry["drain"]]
    if master["verdict"] == INCONCLUSIVE:
        return f"inconclusive: {master['why']}"
    if master["verdict"] == HEALTHY:
        judged = sum(entry["judged"] for entry in master["hosts"])
        return f"healthy ({judged} of {len(master['hosts'])} hosts judged)"
    text = ""
    if master["verdict"] == CLUSTER_WIDE:
        text = "cluster-wide slowdown"
        if drained:
            text += ", and "
    if drained:
        text += (f"{len(drained)} {'node' if len(drained) == 1 else 'nodes'} flagged: "
                 f"{', '.join(map(shown, drained))}")
    return text


def _figure_lines(entry):
    lines = []
    for kind, test, _ in entry["_findings"]:
        figures = entry["tests"][test]
        if kind == "peers":
            lines.append(f"{test} {number(figures['rate'])}: "
                         f"{_percent(figures['rate'] / figures['peer_median'] - 1)} against "
                         f"the median {number(figures['peer_median'])} of its "
                         f"{figures['peers']} peers, z {figures['z']:.1f}")
        else:
            lines.append(f"{test} {number(figures['rate'])}: {_percent(figures['change'])} "
                         f"against the median {number(figures['past_median'])} of its "
                         f"{figures['earlier_runs']} earlier runs")
    return lines


def master_text(master, slow, drop):
    out = [f"{shown(master['master'])}: {verdict_line(master)}"]
    if master["run"] is None:
        return out
    run = master["run"]
    out.append(f"  judged: the run of {run['date']}, {counted(len(master['hosts']), 'host')}, "
               f"{counted(master['earlier_runs'], 'earlier run')}")
    out.append(f"  slow: more than {slow:g}% below the median of its class with a z-score "
               f"below {Z_LIMIT}, or more than {drop:g}% below its own past")
    if master["later_incomplete_runs"]:
        out.append(f"  {master['later_incomplete_runs']} later run(s) stopped early and are "
                   "not judged")
    if run["record"] is False:
        out.append("  the run has no run record: every host is a peer of every other")
    for found in master["cluster_wide"]:
        out.append(f"  cluster-wide: {_cluster_wide_text(found)}")
    if master["cluster_wide"]:
        out.extend(_run_wide_lines(master))
    for found in master["classes"]:
        if not found["peer_judgement"]:
            hosts = found["hosts"]
            out.append(f"  peers: class {shown(found['name'])} has {len(hosts)} "
                       f"host{'s' if len(hosts) != 1 else ''} "
                       f"({', '.join(map(shown, hosts[:8]))}{', ...' if len(hosts) > 8 else ''}):"
                       f" fewer than {FEWEST_PEERS}, no peer judgement")
    if master["earlier_runs"] < history.EARLIER_RUNS:
        out.append(f"  past: {master['earlier_runs']} earlier "
                   f"{'run' if master['earlier_runs'] == 1 else 'runs'}: a host is held "
                   f"against at least {history.EARLIER_RUNS} of its own")
    along = [entry["host"] for entry in master["hosts"] if entry["flagged"] and not entry["drain"]]
    if along:
        out.append(f"  flagged with the rest of the cluster or class, not drained: "
                   f"{', '.join(map(shown, along))}")
    for entry in master["hosts"]:
        if not entry["drain"]:
            continue
        out.append(f"  {shown(entry['host'])}: drain")
        out.extend(f"    {line}" for line in _figure_lines(entry))
        if entry["changes_since"] is None:
            out.append("    changed: nothing to compare with, no earlier run of this host")
        elif not entry["changes"]:
            out.append(f"    changed since the run of {entry['changes_since']}: nothing in the "
                       "run records")
        else:
            out.append(f"    changed since the run of {entry['changes_since']}:")
            out.extend(f"      {shown(line)}" for line in entry["changes"])
    unjudged = [entry["host"] for entry in master["hosts"] if not entry["judged"]]
    if unjudged and len(unjudged) < len(master["hosts"]):
        out.append(f"  not judged (no peers, no past): {', '.join(map(shown, unjudged))}")
    if master["not_in_run"]:
        out.append(f"  in earlier runs, not in this one: "
                   f"{', '.join(map(shown, master['not_in_run']))}")
    return out


def _run_wide_lines(master):
    """What changed for every node of the run since the run before it."""
    judged = master["_run"]
    runs = master["_runs"]
    previous = runs[runs.index(judged) - 1] if runs.index(judged) else None
    if previous is None:
        return []
    if judged.record is None or previous.record is None:
        return ["  changed for every node since the run before: unknown, a run record is "
                "missing"]
    lines = describe.run_changes(previous.record, judged.record)
    if not lines:
        return [f"  changed for every node since the run of {previous.label()}: nothing in "
                "the MPI, compiler, flags or commit"]
    return ([f"  changed for every node since the run of {previous.label()}:"] +
            [f"    {shown(line)}" for line in lines])


def verdict_text(masters, slow, drop):
    verdict = overall(masters)
    drained = [entry["host"] for master in masters for entry in master["hosts"] if entry["drain"]]
    head = {HEALTHY: "healthy", INCONCLUSIVE: "inconclusive",
            CLUSTER_WIDE: "cluster-wide slowdown", FLAGGED: "nodes flagged"}[verdict]
    if drained:
        head += f"; drain {len(drained)}: {', '.join(map(shown, drained))}"
    out = [f"verdict: {head}"]
    for master in masters:
        out.append("")
        out.extend(master_text(master, slow, drop))
    return "\n".join(out) + "\n"


# ---- JSON ------------------------------------------------------------------------

def _clean(value):
    """The document's values: floats that JSON can hold, private keys left out."""
    if isinstance(value, dict):
        return {key: _clean(inner) for key, inner in value.items() if not key.startswith("_")}
    if isinstance(value, list):
        return [_clean(inner) for inner in value]
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    return value


def verdict_json(masters, status, slow, drop):
    document = {"verdict": overall(masters), "exit_status": status, "slow_percent": slow,
                "drop_percent": drop, "masters": masters}
    return json.dumps(_clean(document), indent=1) + "\n"


# ---- Slurm -----------------------------------------------------------------------

def reason_of(entry):
    """Slurm's reason for draining the host: the worst figure and its test
    first (sinfo -R shows 20 characters), then the others and what changed;
    one line of printable ASCII, at most REASON_BYTES bytes."""
    text = ", ".join(entry["reasons"])
    changes = [line for line in entry["changes"] or () if not line.startswith("record missing")]
    if changes:
        text += "; " + "; ".join(changes)
    text = REASON + "".join(c if c in REASON_CHARACTERS else "?" for c in text)
    return text if len(text) <= REASON_BYTES else text[:REASON_BYTES - 3] + "..."


def drain_plan(masters, states):
    """The commands and what is left out: ([(argv, line)], [comment]).
    `states` is Slurm's {node: (state, reason)}, None where it could not be
    asked."""
    known = None if states is None else set(states)
    notes, drains, healthy = [], {}, []
    judged = {}  # host: its judged entries, one per master it ran under
    for master in masters:
        for entry in master["hosts"]:
            if entry["judged"]:
                judged.setdefault(entry["host"], []).append(entry)
    for host, entries in judged.items():
        if not slurm.NODE_NAME.match(host):
            warn(f"host {shown(host)!r} is no valid Slurm node name: left out of the "
                 "drain list")
            continue
        name = slurm.node_name(host, known)
        if name is None:
            notes.append(f"# {host}: no Slurm node of this name")
            continue
        drain = next((entry for entry in entries if entry["drain"]), None)
        if drain is None:
            if not any(entry["flagged"] for entry in entries):
                healthy.append(name)
            continue  # flagged with its cluster or class: neither drained nor resumed
        state, reason = (states or {}).get(name, ("", ""))
        if (slurm.is_drained(state) or slurm.is_down(state)) and not reason.startswith(REASON):
            notes.append(f"# left as it is: {name} is {shown(state)} with a reason not "
                         f"written by this tool: {shown(reason) or 'none'}")
            continue
        drains.setdefault(reason_of(drain), []).append(name)
    commands = [(["scontrol", "update", f"NodeName={','.join(names)}", "State=DRAIN",
                  f"Reason={reason}"],
                 f"scontrol update {shlex.quote('NodeName=' + ','.join(names))} State=DRAIN "
                 f'Reason="{reason}"')
                for reason, names in drains.items()]
    if states is not None:
        resume = [name for name in healthy if slurm.is_drained(states.get(name, ("", ""))[0]) and
                  not slurm.is_down(states[name][0]) and states[name][1].startswith(REASON)]
        if resume:
            word = shlex.quote("NodeName=" + ",".join(resume))
            commands.append((["scontrol", "update", f"NodeName={','.join(resume)}",
                              "State=RESUME"], f"scontrol update {word} State=RESUME"))
    return commands, notes


def warn(message):
    print(f"{PROGRAM}: warning: {message}", file=sys.stderr)


def slurm_states():
    """Slurm's {node: (state, reason)} and None; or None and why Slurm could
    not be asked."""
    try:
        return slurm.node_states(), None
    except slurm.SlurmError as error:
        return None, str(error)


def drain_script(masters, states, unasked=None):
    """The drain list as a shell script, and its commands as argument lists.
    `states`: Slurm's, None where it could not be asked, `unasked` says why."""
    commands, notes = drain_plan(masters, states)
    counts = [sum(state in argv for argv, _ in commands) for state in ("State=DRAIN",
                                                                        "State=RESUME")]
    out = ["#!/bin/sh", f"# processors64 verdict: {overall(masters)}; drain commands: "
           f"{counts[0]}, resume commands: {counts[1]}"]
    if states is None:
        out.append(f"# Slurm could not be asked ({shown(unasked or '')}): node names as "
                   "reported, no RESUME lines, nodes drained by hand not told apart")
    out += notes
    out += [line for _, line in commands]
    return "\n".join(out) + "\n", [argv for argv, _ in commands]


def drain_list(masters, apply):
    """Prints the drain list; with `apply`, runs its commands. Returns False
    where Slurm could not be asked or refused a command with `apply`."""
    states, unasked = slurm_states()
    if apply and states is None:
        print(f"{PROGRAM}: cannot read the nodes' states from Slurm ({unasked}): "
              "nothing applied", file=sys.stderr)
        return False
    script, commands = drain_script(masters, states, unasked)
    sys.stdout.write(script)
    sys.stdout.flush()
    ok = True
    for argv in commands if apply else ():
        try:
            slurm.command(argv)
        except slurm.SlurmError as error:
            print(f"{PROGRAM}: {error}", file=sys.stderr)
            ok = False
    return ok


# ---- The batch job's verdict ----------------------------------------------------

def after_window(status, results, window_id):
    """The batch job's --verdict, once every group of the window has ended
    and written its record: `status` is the window's exit status, `results`
    the results files its groups made, `window_id` its id. The verdict is
    printed and written beside the first results file; a window whose jobs
    failed keeps its own status, else it is the verdict's."""
    if not results:
        print(f"{PROGRAM}: no results file of this job: no verdict", file=sys.stderr)
        return status or STATUS[INCONCLUSIVE]
    judged = beside(results[0])
    return status or judged


def beside(results, slow=10, drop=history.DROP):
    """The verdict of a batch job that has just written the results file
    `results`: judges the results files of its directory, prints the
    verdict and writes it and the drain list beside `results` (X.txt ->
    X.verdict.txt, X.drain.sh). It never applies the list: draining nodes
    needs Slurm's administrator. Returns the verdict's exit status."""
    directory = os.path.dirname(results) or "."
    names = sorted(name for name in os.listdir(directory) if results_name.parse(name))
    runs = read_all([os.path.join(directory, name) for name in names], slow)
    masters, status = judge(runs, slow, drop)
    text = verdict_text(masters, slow, drop)
    script, _ = drain_script(masters, *slurm_states())
    sys.stdout.write(text)
    sys.stdout.flush()
    base = results[:-len(run_record.RESULTS_SUFFIX)]
    try:
        for suffix, content in zip(run_record.VERDICT_SUFFIXES, (text, script)):
            atomic.write(base + suffix, content)
    except OSError as error:
        print(f"{PROGRAM}: {shown(base)}: cannot write the verdict: {error.strerror or error}", file=sys.stderr)
        return 2
    return 2 if FAILED else status


# ---- The command -----------------------------------------------------------------

def command_verdict(args):
    runs = read_all(args.files, slow_pct=args.slow)
    masters, status = judge(runs, args.slow, args.drop)
    status = 2 if FAILED else status  # a file not read may hold what was judged
    if args.drain_list:
        if not drain_list(masters, args.apply):
            return 2
    elif args.format == "json":
        sys.stdout.write(verdict_json(masters, status, args.slow, args.drop))
    else:
        sys.stdout.write(verdict_text(masters, args.slow, args.drop))
    return status
