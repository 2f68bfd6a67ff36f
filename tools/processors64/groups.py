"""The groups of a window: how the nodes of an allocation or of a host list
are split into jobs whose masters collect every worker.

A master collects at most `cap` processes, itself included (the build
record's cap: 512, the short build's 4), so one job measures at most
cap - 1 workers. An allocation with more CPUs runs as a window of jobs side
by side, each on nodes of its own with its master on its first node:

- by default, groups of as many whole nodes, in their order, as fit cap - 1
  CPUs; a node with more CPUs than that is a group of its own with cap - 1
  workers;
- with K nodes per job, groups of K nodes whatever their size; where K
  nodes have more CPUs than cap - 1, the group's last nodes get fewer
  workers than CPUs (none, if need be), so that no rank is started that
  the master would not collect.

Outside Slurm a host's CPUs are read from its slots in the hostfile or host
list (from_slots): the first host holds the master, so it has one CPU less
than slots, as the README has users write it.
"""

from dataclasses import dataclass
from typing import Optional


@dataclass(frozen=True)
class Host:
    """A node and the CPUs the job may use on it."""
    name: str
    cpus: int


@dataclass(frozen=True)
class Place:
    """A node of a job: its CPUs (None where not known), the workers started
    there, and how many of them the master collects."""
    host: str
    cpus: Optional[int]
    workers: int
    collected: int

    def record(self):
        """The run record's entry of "placement"."""
        return {"host": self.host, "cpus": self.cpus, "workers": self.workers,
                "collected": self.collected}


@dataclass(frozen=True)
class Group:
    """One job of a window: its number (from 1) and its nodes in order, the
    master on the first."""
    number: int
    places: tuple

    @property
    def processes(self):
        """The job's process count: its workers and the master."""
        return sum(place.workers for place in self.places) + 1

    @property
    def cpus(self):
        return sum(place.cpus or 0 for place in self.places)

    def slots(self):
        """[(host, processes)] of the job's hostfile: the master on the first
        node, one process more there; nodes without a worker left out."""
        return [(place.host, place.workers + (place is self.places[0]))
                for place in self.places if place.workers or place is self.places[0]]

    def cut(self):
        """The nodes with fewer workers than CPUs."""
        return [place for place in self.places
                if place.cpus is not None and place.workers < place.cpus]

    def shown(self):
        """"node1 (1 worker), node3 (3 workers of 4 CPUs)"."""
        return ", ".join(
            f"{place.host} ({place.workers} worker{'s' * (place.workers != 1)}"
            + (f" of {place.cpus} CPUs" if place in self.cut() else "") + ")"
            for place in self.places)


def split(hosts, cap, nodes_per_job=None):
    """The groups of `hosts` (Host, in order) for a master that collects at
    most `cap` processes: as many whole nodes as fit, or `nodes_per_job`
    nodes each."""
    limit = cap - 1
    if nodes_per_job is not None:
        chunks = [hosts[at:at + nodes_per_job] for at in range(0, len(hosts), nodes_per_job)]
    else:
        chunks = []
        for host in hosts:
            if chunks and sum(node.cpus for node in chunks[-1]) + host.cpus <= limit:
                chunks[-1].append(host)
            else:
                chunks.append([host])
    return [Group(number, fill(chunk, limit)) for number, chunk in enumerate(chunks, start=1)]


def fill(hosts, limit):
    """The places of one group: a worker per CPU, in node order, up to `limit`."""
    places, left = [], limit
    for host in hosts:
        workers = min(host.cpus, left)
        places.append(Place(host.name, host.cpus, workers, workers))
        left -= workers
    return tuple(places)


def one_job(hosts):
    """The window of one job on all of `hosts`, a worker per CPU (the
    allocation fits the cap)."""
    return Group(1, tuple(Place(host.name, host.cpus, host.cpus, host.cpus) for host in hosts))


# ---- Hosts from their slots -----------------------------------------------------

def slotted_hosts(entries):
    """[(host, slots)] of hostfile lines ("node1 slots=8", "node1:8", comments
    left out) or of a host list's entries ("node1:8"), in their order, each
    host once (the slots of a host named twice added up). A host named
    without a count (or with one that is no number) has None: Open MPI gives
    it as many slots as it finds cores there, Hydra one."""
    found = {}
    for entry in entries:
        words = entry.split("#", 1)[0].split()
        if not words:
            continue
        host, colon, count = words[0].partition(":")
        for word in words[1:]:
            key, _, value = word.partition("=")
            if key == "slots" and not colon:
                count, colon = value, ":"
        slots = int(count) if colon and count.isdigit() else None
        if host in found:
            slots = None if None in (slots, found[host]) else found[host] + slots
        found[host] = slots
    return list(found.items())


def from_slots(slotted):
    """The Hosts of [(host, slots)]: the first host's CPUs are one less than
    its slots (the master's), every other host's its slots."""
    return [Host(host, slots - (number == 0)) for number, (host, slots) in enumerate(slotted)]


def as_given(slotted, processes, cap):
    """The places of a job of `processes` ranks started as given on hosts of
    [(host, slots)]: both MPIs fill each host's slots in order, rank 0 (the
    master) first; ranks from `cap` up are not collected. None where a
    host's slots or the count are not known, or the count passes the slots
    (where the launcher puts the rest is its own)."""
    if (processes is None or any(slots is None for _, slots in slotted)
            or processes > sum(slots for _, slots in slotted)):
        return None
    places, rank = [], 0
    for number, (host, slots) in enumerate(slotted):
        ranks = range(rank, min(rank + slots, processes))
        workers = [r for r in ranks if r != 0]
        places.append(Place(host, slots - (number == 0), len(workers),
                            sum(r < cap for r in workers)))
        rank = ranks.stop
    return tuple(places)
