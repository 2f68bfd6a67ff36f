"""What the results tool says on standard error, and the command line's
files read into windows with it: every sub-command starts here."""

import contextlib
import gc
import os
import sys
from dataclasses import dataclass

from . import model, reading, slurm, store
from .reading import shown

PROGRAM = os.path.basename(sys.argv[0]) or "processors64-results"


def warn(message, path=None):
    where = f"{shown(path)}: " if path is not None else ""
    print(f"{PROGRAM}: warning: {where}{message}", file=sys.stderr)


def error(message, path=None):
    where = f"{shown(path)}: " if path is not None else ""
    print(f"{PROGRAM}: {where}{message}", file=sys.stderr)


def report(problems):
    """Prints each problem on one line; True where a file could not be read."""
    for problem in problems:
        (error if problem.failure else warn)(problem.message, problem.path)
    return any(problem.failure for problem in problems)


@dataclass
class Loaded:
    """The command line's files: what reading found, the windows (oldest
    first), and whether a file could not be read (the exit status is 2)."""
    reading: reading.Reading
    windows: list
    failed: bool

    @property
    def runs(self):
        return self.reading.runs


def load(paths, minutes=model.WINDOW_MINUTES, workers=True, slow_pct=None, options=None,
         whole=None):
    """Reads `paths` (files and directories; none: the store's), through
    the store the command line's `options` choose (store.Options.of),
    says what went wrong, and groups the runs into windows. `whole`:
    "newest" reads from a store only the newest dated window whole and of
    the others each host's rates (model.host_rates), "none" only the
    rates; None reads every run whole."""
    with _no_cycles_sought():
        outcome = store.read(paths, store.Options.of(options), workers, slow_pct,
                             lean=whole is not None)
        for warning in outcome.warnings:
            warn(warning)
        if outcome.error is not None:  # nothing to read: no answer at all
            raise reading.InputError(outcome.error)
        found = outcome.reading
        failed = report(found.problems)
        windows = model.windows(found.runs, found.failed_jobs, minutes, found.manifests)
        if whole is not None:
            dated = [window for window in windows if window.dated()]
            store.complete(windows, dated[-1:] if whole == "newest" else [])
    ask_slurm(windows)
    return Loaded(found, windows, failed)


@contextlib.contextmanager
def _no_cycles_sought():
    """Loading makes a year of runs, millions of objects that live until
    the process ends and hold no garbage cycles: Python's cycle collector
    would walk them all again and again as they are made (a fifth of the
    time of a verdict through a store). It waits until they are made, and
    then leaves them out of its walks (gc.freeze)."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.freeze()
            gc.enable()


def ask_slurm(windows):
    """Asks Slurm once about the jobs of the windows' manifests that left no
    results yet (pending, running, cancelled, ended without results): what
    their nodes' "not measured" says. Where Slurm cannot be asked, they have
    no results yet."""
    waiting = {window.id: window.unreported_jobs() for window in windows if window.manifest}
    ids = [job for jobs in waiting.values() for job in jobs]
    if not ids:
        return
    states = slurm.job_states(ids)
    for window in windows:
        if window.manifest and states is not None:
            window.job_states = {job: states[job] for job in waiting[window.id] if job in states}


def dated(windows, what):
    """The windows with a date; each undated one is a warning that it is
    left out of `what` (the history, the verdict)."""
    for window in windows:
        if not window.dated():
            warn(f"no master host or date in its name (a console log cut before its end?): "
                 f"left out of {what}", window.runs[0].path)
    return [window for window in windows if window.dated()]
