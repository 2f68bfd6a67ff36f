"""The drain list: Slurm's own commands to drain the nodes a verdict
flagged and to resume those this tool drained before that are healthy now.

Host names come from results files, which anyone who can write their
directory can change: a name that is no valid Slurm node name never reaches
the list, every word is quoted for the shell, and --apply runs the commands
without one. A node drained or down for another reason is left as it is; a
node that was not measured is neither drained nor resumed.
"""

import shlex
from dataclasses import dataclass

from . import judge, slurm
from .reading import shown

REASON = "processors64: "
REASON_BYTES = 255     # Slurm keeps longer reasons, but sinfo and humans do not
# Printable ASCII that means nothing inside double quotes to a shell.
REASON_CHARACTERS = frozenset(chr(c) for c in range(32, 127)) - set('"$`\\!')


@dataclass
class Plan:
    """The commands (argument list, shell line), the notes on what was left
    out (comment lines) and the warnings (host names that are no node's)."""
    commands: list
    notes: list
    warnings: list


def reason_of(node):
    """Slurm's reason for draining the node: the worst figure and its test
    first (sinfo -R shows 20 characters), then the others and what changed;
    one line of printable ASCII, at most REASON_BYTES bytes."""
    text = ", ".join(node.reasons())
    changes = [line for line in node.changes or () if not line.startswith("record missing")]
    if changes:
        text += "; " + "; ".join(changes)
    text = REASON + "".join(c if c in REASON_CHARACTERS else "?" for c in text)
    return text if len(text) <= REASON_BYTES else text[:REASON_BYTES - 3] + "..."


def plan(judgement, states):
    """The Plan for `judgement`. `states` is Slurm's {node: (state, reason)},
    None where it could not be asked."""
    known = None if states is None else set(states)
    notes, warnings, drains, healthy = [], [], {}, []
    for node in judgement.nodes:
        if not node.judged:
            continue
        if not slurm.NODE_NAME.match(node.host):
            warnings.append(f"host {shown(node.host)!r} is no valid Slurm node name: left out "
                            "of the drain list")
            continue
        name = slurm.node_name(node.host, known)
        if name is None:
            notes.append(f"# {node.host}: no Slurm node of this name")
            continue
        if not node.drain:
            if node.verdict == judge.NODE_HEALTHY:
                healthy.append(name)
            continue  # flagged with its cluster or class: neither drained nor resumed
        state, reason = (states or {}).get(name, ("", ""))
        if (slurm.is_drained(state) or slurm.is_down(state)) and not reason.startswith(REASON):
            notes.append(f"# left as it is: {name} is {shown(state)} with a reason not "
                         f"written by this tool: {shown(reason) or 'none'}")
            continue
        drains.setdefault(reason_of(node), []).append(name)
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
    return Plan(commands, notes, warnings)


def states():
    """Slurm's {node: (state, reason)} and None; or None and why Slurm could
    not be asked."""
    try:
        return slurm.node_states(), None
    except slurm.SlurmError as error:
        return None, str(error)


def script(judgement, found, unasked=None):
    """(the drain list as a shell script, the Plan). `found`: Slurm's
    states, None where it could not be asked, `unasked` says why."""
    steps = plan(judgement, found)
    counts = [sum(state in argv for argv, _ in steps.commands)
              for state in ("State=DRAIN", "State=RESUME")]
    out = ["#!/bin/sh", f"# processors64 verdict: {judgement.verdict}; drain commands: "
           f"{counts[0]}, resume commands: {counts[1]}"]
    if found is None:
        out.append(f"# Slurm could not be asked ({shown(unasked or '')}): node names as "
                   "reported, no RESUME lines, nodes drained by hand not told apart")
    not_measured = judgement.with_verdict(judge.NOT_MEASURED)
    if not_measured:
        out.append(f"# not measured, neither drained nor resumed: "
                   f"{', '.join(shown(node.host) for node in not_measured)}")
    out += steps.notes
    out += [line for _, line in steps.commands]
    return "\n".join(out) + "\n", steps
