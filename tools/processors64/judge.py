"""The judgement of a window: which of its nodes go out of service, why,
what changed on them, which could not be measured, and whether the whole
cluster moved.

Every node of the newest window is held against its peers (the nodes of
its class, CPU model and logical CPUs from the run records, pooled over all
the window's jobs) and against its own past (its earlier windows, whatever
master measured it). When the whole cluster or most of a class moved, that
is an update, a configuration or the MPI, not a node: it is reported as
cluster-wide and none of those nodes is drained. A node the window was to
measure but did not (its job failed, its ranks were past the master's cap,
it is missing from its report) is not measured: never healthy.
"""

import math
import statistics
from dataclasses import dataclass, field
from typing import Optional

from . import describe, exits, history, model

HEALTHY, FLAGGED, CLUSTER_WIDE, INCONCLUSIVE = "healthy", "flagged", "cluster-wide", "inconclusive"
STATUS = {HEALTHY: exits.HEALTHY, FLAGGED: exits.FLAGGED, CLUSTER_WIDE: exits.FLAGGED,
          INCONCLUSIVE: exits.INCONCLUSIVE}
# A node's verdict, in the order the text and the page list them.
DRAIN, NOT_MEASURED, WITH_CLUSTER, NOT_JUDGED, NODE_HEALTHY = (
    "drain", "not measured", "cluster-wide", "not judged", "healthy")
NODE_ORDER = (DRAIN, NOT_MEASURED, WITH_CLUSTER, NOT_JUDGED, NODE_HEALTHY)
FEWEST_PEERS = 4       # a smaller class has no peer judgement
Z_LIMIT = -3.5         # robust z-score below which a slow host is an outlier
Z_SCALE = 0.6745       # makes the MAD of normal data comparable to its deviation
MAD_FLOOR = 0.01       # of the median: a very uniform class does not flag 2%
FEWEST_FOR_CLUSTER = 3  # hosts judged against their past for a cluster's median change
CLASS_WIDE_SIZE = 5    # in a class this large, more than a fifth flagged is class-wide
NO_RECORD = ("all hosts (no run record)",)
NO_NODE_RECORD = ("the hosts without a node record",)


@dataclass
class Figures:
    """One node in one test: its rate, against its peers (their median, how
    many, the robust z-score, whether it is slow against them) and against
    its own past (the median of its earlier windows, how many, the change,
    whether it is degraded)."""
    rate: float
    peer_median: Optional[float] = None
    peers: Optional[int] = None
    z: Optional[float] = None
    slow_vs_peers: bool = False
    past_median: Optional[float] = None
    earlier_windows: int = 0
    change: Optional[float] = None
    degraded: bool = False

    def against_peers(self):
        """The rate against the peers' median, a fraction; None without one."""
        if self.peer_median is None or not self.peer_median:
            return None
        return self.rate / self.peer_median - 1


@dataclass(frozen=True)
class Finding:
    """Why a node is flagged: slow against its "peers" or its "past" in a
    test, by a fraction."""
    kind: str
    test: str
    change: float


@dataclass
class Node:
    """The judgement of one node of the window."""
    host: str
    klass: tuple
    verdict: str = NOT_JUDGED
    run: Optional[model.Run] = None            # the run that measured it
    tests: dict = field(default_factory=dict)  # test name: Figures
    findings: list = field(default_factory=list)
    judged: bool = False
    drain: bool = False
    changes: Optional[list] = None             # what changed since its previous window
    changes_since: Optional[str] = None        # that window's label
    why_not_measured: Optional[str] = None
    measured_cpus: Optional[tuple] = None      # (CPUs, collected workers) where in part

    @property
    def flagged(self):
        return bool(self.findings)

    def reasons(self):
        """One reason per test, the worst first: "-20% Float Streaming vs
        peers and own past"."""
        by_test = {}
        for finding in self.findings:
            worst, kinds = by_test.get(finding.test, (0, []))
            by_test[finding.test] = (min(worst, finding.change), kinds + [
                "peers" if finding.kind == "peers" else "own past"])
        return [f"{worst * 100:+.0f}% {test} vs {' and '.join(kinds)}"
                for test, (worst, kinds) in sorted(by_test.items(), key=lambda item: item[1][0])]


@dataclass(frozen=True)
class ClusterWide:
    """A finding of the whole cluster ("past": the median node's change in a
    test) or of a class ("class": more than a fifth of it flagged)."""
    kind: str
    test: Optional[str]
    klass: Optional[str]
    change: Optional[float]
    hosts: int
    flagged: Optional[int]


@dataclass(frozen=True)
class Class:
    key: tuple
    hosts: tuple
    peer_judgement: bool

    @property
    def name(self):
        return class_text(self.key)


@dataclass
class Judgement:
    """The verdict on the newest window among those read."""
    verdict: str = INCONCLUSIVE
    why: str = ""
    window: Optional[model.Window] = None
    earlier: list = field(default_factory=list)   # the earlier windows, oldest first
    nodes: list = field(default_factory=list)     # Node, in verdict order
    cluster_wide: list = field(default_factory=list)
    classes: list = field(default_factory=list)
    changed_for_all: Optional[list] = None        # what changed for every node since before
    previous: Optional[model.Window] = None       # the window before, where there is one

    @property
    def status(self):
        return STATUS[self.verdict]

    def with_verdict(self, verdict):
        return [node for node in self.nodes if node.verdict == verdict]

    def drained(self):
        return [node.host for node in self.nodes if node.drain]


def class_of(run, host):
    """The peers' class of `host` in `run`: (CPU model, logical CPUs) from
    its node record; every host is of one class where the run has no
    record, and hosts without a node record are of their own."""
    if run is None or run.record is None:
        return NO_RECORD
    node = describe.node_of(run.record, host)
    if node is None or node.get("error") is not None:
        return NO_NODE_RECORD
    return (node["cpu_model"], node["logical_cpus"])


def class_text(key):
    if len(key) == 1:
        return key[0]
    model_name, cpus = key
    return (f"{model_name or 'CPU model unknown'}, "
            f"{'?' if cpus is None else f'{cpus:g}'} logical CPUs")


def _finite(value):
    return value is not None and math.isfinite(value)


def _peers(window, nodes, slow):
    """Sets each node's figures against its peers in each test: the class
    median of the host rates, the robust z-score, whether it is slow."""
    for name in model.TESTS:
        members = {}
        for node in nodes.values():
            figures = node.tests.get(name)
            if figures is not None and _finite(figures.rate):
                members.setdefault(node.klass, []).append(node)
        for mine in members.values():
            if len(mine) < FEWEST_PEERS:
                continue
            rates = [node.tests[name].rate for node in mine]
            median = statistics.median(rates)
            mad = max(statistics.median(abs(rate - median) for rate in rates),
                      MAD_FLOOR * median)
            for node in mine:
                figures = node.tests[name]
                figures.peer_median, figures.peers = median, len(mine)
                figures.z = Z_SCALE * (figures.rate - median) / mad if mad > 0 else None
                figures.slow_vs_peers = (figures.rate < median * (1 - slow / 100) and
                                         figures.z is not None and figures.z < Z_LIMIT)


def _past(nodes, windows, drop):
    """Sets each node's figures against its own earlier windows."""
    for row in history.host_rows(windows, drop):
        node = nodes.get(row.host)
        figures = node.tests.get(row.test) if node else None
        if figures is None:
            continue
        figures.past_median, figures.earlier_windows = row.median, row.earlier
        figures.change, figures.degraded = row.change, row.degraded


def what_changed(window, earlier, node):
    """(the window the host was last measured in before, lines naming what
    changed on it since: its node record and the run-wide record)."""
    for previous in reversed(earlier):
        before = previous.measured().get(node.host)
        if before is not None:
            break
    else:
        return None, []
    now = node.run
    missing = [which for which, run in (("judged", now), ("previous", before))
               if run.record is None]
    if missing:
        return previous, [f"record missing: {' and '.join(f'the {which}' for which in missing)} "
                          f"run{'s have' if len(missing) > 1 else ' has'} no run record"]
    new, old = describe.node_of(now.record, node.host), describe.node_of(before.record, node.host)
    if new is None or old is None:
        which = " and ".join(w for w, found in (("judged", new), ("previous", old))
                             if found is None)
        return previous, [f"record missing: no node record of this host in the {which} "
                          f"run's record"]
    return previous, describe.node_changes(old, new) + describe.run_changes(before.record,
                                                                             now.record)


def _cluster_wide(nodes, drop):
    """The tests in which the median node is more than `drop` percent below
    its own past: the cluster moved, not a node."""
    found = []
    for name in model.TESTS:
        changes = [node.tests[name].change for node in nodes.values() if name in node.tests
                   and node.tests[name].earlier_windows >= history.EARLIER_WINDOWS
                   and _finite(node.tests[name].change)]
        if len(changes) >= FEWEST_FOR_CLUSTER and statistics.median(changes) < -drop / 100:
            found.append(ClusterWide("past", name, None, statistics.median(changes),
                                     len(changes), None))
    return found


def _classes(nodes):
    """The classes of the window's measured nodes, and {class key: finding}
    of those of CLASS_WIDE_SIZE hosts or more of which more than a fifth are
    flagged: the class moved, not a node."""
    members_of = {}
    for node in nodes.values():
        members_of.setdefault(node.klass, []).append(node)
    listed, wide = [], {}
    for key, members in members_of.items():
        flagged = [node for node in members if node.findings]
        peer_judged = any(figures.peer_median is not None
                          for node in members for figures in node.tests.values())
        listed.append(Class(key, tuple(node.host for node in members), peer_judged))
        if len(members) >= CLASS_WIDE_SIZE and len(flagged) * 5 > len(members):
            wide[key] = ClusterWide("class", None, class_text(key), None, len(members),
                                    len(flagged))
    return listed, wide


def _measured_nodes(window):
    """{host: Node} of the window's measured nodes (model.Window.measured),
    each with its rate in every test its run reached."""
    nodes = {}
    partly = window.partly_measured()
    measured = window.measured()
    for host, run in measured.items():
        nodes[host] = Node(host, class_of(run, host), run=run, measured_cpus=partly.get(host))
    for run in dict.fromkeys(measured.values()):
        for test in run.tests:
            for host, rate in test.host_medians().items():
                if measured.get(host) is run:
                    nodes[host].tests.setdefault(test.name, Figures(rate))
    return nodes


def judge(windows, slow, drop):
    """The Judgement of the newest of `windows` (oldest first, dated)."""
    out = Judgement()
    if not windows:
        out.why = "no results file or run record with a date to judge"
        return out
    window, earlier = windows[-1], windows[:-1]
    out.window, out.earlier = window, earlier
    out.previous = earlier[-1] if earlier else None
    nodes = _measured_nodes(window)
    _peers(window, nodes, slow)
    _past(nodes, windows, drop)
    for node in nodes.values():
        for name, figures in node.tests.items():
            if figures.peer_median is not None or figures.earlier_windows >= \
                    history.EARLIER_WINDOWS:
                node.judged = True
            if figures.slow_vs_peers:
                node.findings.append(Finding("peers", name, figures.against_peers()))
            if figures.degraded:
                node.findings.append(Finding("past", name, figures.change))
    out.cluster_wide = _cluster_wide(nodes, drop)
    wide_tests = {finding.test for finding in out.cluster_wide}
    out.classes, wide_classes = _classes(nodes)
    out.cluster_wide += list(wide_classes.values())
    for node in nodes.values():
        node.drain = node.klass not in wide_classes and any(
            finding.kind == "peers" or finding.test not in wide_tests
            for finding in node.findings)
        if node.flagged:
            since, node.changes = what_changed(window, earlier, node)
            node.changes_since = since.label() if since else None
        node.verdict = (DRAIN if node.drain else WITH_CLUSTER if node.flagged else
                        NODE_HEALTHY if node.judged else NOT_JUDGED)
    missing = [Node(host, NO_NODE_RECORD, NOT_MEASURED, why_not_measured=why)
               for host, why in window.not_measured().items() if host not in nodes]
    order = {host: n for n, host in enumerate(window.nodes)}
    everyone = list(nodes.values()) + list({node.host: node for node in missing}.values())
    out.nodes = sorted(everyone, key=lambda node: (NODE_ORDER.index(node.verdict),
                                                   order.get(node.host, len(order))))
    if out.cluster_wide and out.previous is not None:
        out.changed_for_all = _changed_for_all(window, out.previous)
    if out.drained() or out.cluster_wide:
        out.verdict = CLUSTER_WIDE if out.cluster_wide else FLAGGED
    elif not any(node.judged for node in nodes.values()):
        out.verdict = INCONCLUSIVE
        out.why = ("nothing to judge: no class of {} hosts or more to hold a host against its "
                   "peers, and no host with {} earlier windows".format(
                       FEWEST_PEERS, history.EARLIER_WINDOWS) if nodes else
                   "no node of the window was measured")
    elif missing:
        out.verdict = INCONCLUSIVE
        out.why = (f"{len(missing)} {'node' if len(missing) == 1 else 'nodes'} of the window "
                   "not measured")
    else:
        out.verdict = HEALTHY
    return out


def _changed_for_all(window, previous):
    """What changed for every node of the window since the window before:
    the MPI, the compiler, the flags, the commit; None where a record is
    missing."""
    if not window.runs or not previous.runs or any(
            run.record is None for run in window.runs + previous.runs):
        return None
    return describe.run_changes(previous.runs[0].record, window.runs[0].record)
