"""The results file a job's master wrote: found among the files of the
job's working directory by its name (results_name), its host and its time."""

import os

from . import results_name
from .run_console import say, shown


def find(work_dir, started_ns, started, ended, hosts, window_hosts=frozenset()):
    """(the results file's path or None, a note or None): the one results file
    the master of this job wrote in the working directory.

    A candidate is a file of the program's results file name in the job's
    working directory that
    - was last modified after this job's launcher started (nanoseconds: a
      file of an earlier job finished before; the master writes its file
      well after the launcher's start);
    - names one of this job's nodes as its master's, where any is known
      (`hosts`: the host names of the job's node records and nodes; the host
      in the name is the master's processor name, which is its host name); a
      file of another group of the window (its master one of `window_hosts`)
      is left out without a word;
    - names a time within this job's run (to the second), where the name's
      time zone is one results_name knows.
    One candidate is the job's. Where several are left (another job with the
    same master wrote its own file here at the same time), none is taken: the
    record holds null and a note naming them, and a warning says so; the
    choice is never a guess. Files left out for their host or time are named
    in the note too."""
    try:
        names = sorted(os.listdir(work_dir))
    except OSError:
        return None, None
    candidates, others = [], []
    for name in names:
        found = results_name.parse(name)
        path = os.path.join(work_dir, name)
        try:
            status = os.stat(path)
        except OSError:
            continue
        if not found or not os.path.isfile(path) or status.st_mtime_ns < started_ns:
            continue
        if hosts and found.host not in hosts:
            if found.host not in window_hosts:
                others.append(f"'{shown(name)}' (its master {shown(found.host)} is none of "
                              "this job's nodes)")
        elif not named_time_within(found, started, ended):
            others.append(f"'{shown(name)}' (its time is not this job's)")
        else:
            candidates.append(path)
    note = None
    if others:
        note = "written during the run but another job's: " + ", ".join(others)
    if len(candidates) > 1:
        listed = ", ".join(f"'{shown(os.path.basename(path))}'" for path in candidates)
        note = (f"no results file taken: {len(candidates)} of this job's nodes and time "
                f"were written during the run: {listed}") + (f"; {note}" if note else "")
        say(f"{note}; the run record names none")
        return None, note
    return (candidates[0] if candidates else None), note


def named_time_within(name, started, ended):
    """Whether the time in a results file's name (results_name.Name) lies
    within [started, ended] (seconds since the epoch); True where its zone is
    not one results_name knows."""
    seconds = name.seconds()
    return seconds is None or int(started) - 1 <= seconds <= int(ended) + 1
