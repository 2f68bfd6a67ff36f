"""A window's identity, as its jobs' run records name it: its id, every
node (for a task of a job array or a job of a named window, the job's own),
how many jobs it has, and whether the id is a name or a job array's.

The id is, first that applies: the name given (processors64-run --window
NAME, else PROCESSORS64_WINDOW), checked as manifest.valid_name; a job
array's id (SLURM_ARRAY_JOB_ID, the task's number its group in every
record); Slurm's job id; else one made at start, unique to the run.
"""

import os
import time
from dataclasses import dataclass
from typing import Optional

from . import manifest, slurm

VARIABLE = "PROCESSORS64_WINDOW"


@dataclass(frozen=True)
class Window:
    """Every job started at once to measure one allocation or host list
    (one job of a named window or an array: its nodes and its split)."""
    id: str
    nodes: tuple
    groups: int
    named: bool = False
    task: Optional[int] = None    # a job array's task: its number and the array's count
    tasks: Optional[int] = None

    def record(self, number):
        """The run record's "window" of group `number`."""
        if self.task is not None and not self.named:
            return {"id": self.id, "group": self.task, "groups": self.tasks,
                    "nodes": list(self.nodes), "array": True}
        window = {"id": self.id, "group": number, "groups": self.groups,
                  "nodes": list(self.nodes)}
        if self.named:
            window["named"] = True
        return window


def made_window_id():
    """An id for a window outside Slurm, unique to this run: the time, this
    host and this process."""
    return f"{time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())}-{os.uname().nodename}-{os.getpid()}"


def given_name(option, environ=None):
    """(the window's name or None, what is wrong with it or None): --window
    NAME where given (`option`), else PROCESSORS64_WINDOW where set."""
    environ = os.environ if environ is None else environ
    name, where = (option, "--window") if option is not None else (
        environ.get(VARIABLE) or None, VARIABLE)
    if name is None or manifest.valid_name(name):
        return name, None
    return None, (f"{where} takes a window name (letters, digits and _.+-, at most 64, "
                  f"a letter or digit first), not '{name.encode('unicode_escape').decode()}'")


def identify(name, nodes, groups, environ=None):
    """The Window of a run of `groups` jobs over `nodes`, named `name`
    where given."""
    if name is not None:
        return Window(name, tuple(nodes), groups, named=True)
    found = slurm.window_id(environ)
    if found is None:
        return Window(made_window_id(), tuple(nodes), groups)
    return Window(found.id, tuple(nodes), groups, task=found.task, tasks=found.tasks)
