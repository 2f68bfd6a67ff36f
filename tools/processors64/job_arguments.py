"""What a job's launcher arguments (without the binary) say: the process
count, the hostfile or host list, the working directory; the arguments the
node inventory keeps, and those each group of a split keeps."""

import os
import re

from . import groups, launchers, slurm


class Job:
    """What the launcher's arguments (without the binary) say."""

    def __init__(self, kind, arguments):
        self.kind = kind
        self.processes = None
        self.hostfile = None
        self.host_list = None
        self.work_dir = os.getcwd()
        # The arguments a run of one process per node keeps: all but the
        # count, the placement and the output form.
        self.collector_arguments = []
        # The arguments every group of a split keeps: all but the count and
        # the hosts, which are the group's own.
        self.group_arguments = []
        options = launchers.KINDS[kind].options if kind in launchers.KINDS else {}
        words = list(arguments)
        while words:
            role, values = options.get(words[0], (None, 0))
            if len(words) <= values:  # an option without its values: kept as it is
                self.collector_arguments += words
                self.group_arguments += words
                break
            value = words[1] if values else None
            if role == "count":
                self.processes = value
            elif role == "hostfile":
                self.hostfile = value
            elif role == "hosts":
                self.host_list = value
            elif role == "wdir":
                self.work_dir = os.path.join(os.getcwd(), value)
            if role not in ("count", "placement", "output"):
                self.collector_arguments += words[:values + 1]
            if role not in ("count", "hostfile", "hosts"):
                self.group_arguments += words[:values + 1]
            del words[:values + 1]

    def count(self):
        """The process count given, as a number, or None."""
        return int(self.processes) if re.fullmatch(r"[0-9]+", self.processes or "") else None

    def slotted(self):
        """[(host, slots or None)] of the job's host list or hostfile, in
        order; [] where it names neither, None where the hostfile cannot be
        read."""
        if self.host_list:
            return groups.slotted_hosts(self.host_list.split(","))
        if self.hostfile:
            try:
                with open(self.hostfile, errors="surrogateescape") as f:
                    return groups.slotted_hosts(f)
            except OSError:
                return None
        return []

    def expected_hosts(self):
        """The job's nodes, first node first: those of its host arguments,
        else Slurm's, else this host."""
        return ([host for host, _ in self.slotted() or []] or slurm.job_nodes()
                or [os.uname().nodename])
