"""A window's identity: its id, every node, how many jobs it has."""

import os
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class Window:
    """Every job started at once to measure one allocation or host list."""
    id: str
    nodes: tuple
    groups: int

    def record(self, number):
        """The run record's "window" of group `number`."""
        return {"id": self.id, "group": number, "groups": self.groups, "nodes": list(self.nodes)}


def made_window_id():
    """An id for a window outside Slurm, unique to this run: the time, this
    host and this process."""
    return f"{time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())}-{os.uname().nodename}-{os.getpid()}"
