"""What a run record says, in words: the lines summary, compare, the
verdict and the charts print about a run's nodes, MPI and build, and what
changed between two records."""

import collections

def _text(value, unknown="unknown"):
    return unknown if value is None else str(value)


def _mpi(mpi):
    if not mpi or mpi.get("implementation") is None and mpi.get("version") is None:
        return "unknown"
    return f"{_text(mpi.get('implementation'))} {_text(mpi.get('version'))}"


def _commit(build):
    return _text(build["commit"], "not from a git checkout")


def _answered(record):
    """{host: node record} of the nodes that answered."""
    return {node["host"]: node for node in record["nodes"] if node.get("error") is None}


def summary_lines(run, hosts):
    """The record's lines of `run`'s summary; `hosts`: the report's hosts."""
    record = run.record
    if record is None:
        return ["  run record: none (a console log has none)" if run.console_log else
                "  run record: none beside the results file"]
    out = []
    models = collections.OrderedDict()
    for host, node in _answered(record).items():
        models.setdefault((node["cpu_model"], node["microcode"]), []).append(host)
    for (model, microcode), model_hosts in models.items():
        out.append(f"  CPU {_text(model, 'model unknown')}, microcode {_text(microcode)}: "
                   f"{', '.join(model_hosts)}")
    for node in record["nodes"]:
        if node.get("error") is not None:
            out.append(f"  {node['host']}: no node record ({node['error']})")
    known = {node["host"] for node in record["nodes"]}
    out += [f"  {host}: no node record (not in the run record)"
            for host in hosts if host not in known]
    out += [f"  {line}" for line in mpi_and_build(record)]
    if record["exit_status"] != 0:
        out.append(f"  the job's exit status: {record['exit_status']}")
    return out


def mpi_and_build(record):
    """Two lines of a run record: its MPI and launcher, and the build of its
    binary (compiler, flags, commit)."""
    mpi = record["mpi"]
    line = f"MPI {_mpi(mpi)}, launcher {_text(mpi['launcher'])}"
    build = record["build"]
    if build and build["mpi"] and _mpi(build["mpi"]) != _mpi(mpi):
        line += f"; the binary is built against {_mpi(build['mpi'])}"
    if build is None:
        return [line, "build: no build record of the binary"]
    return [line, f"build: compiler {_text(build['compiler'])}, flags {_text(build['flags'])}, "
                  f"commit {_commit(build)}"]


def _flags_change(old, new):
    if old is None or new is None:
        return f"compiler flags {_text(old)} -> {_text(new)}"
    before, after = collections.Counter(old.split()), collections.Counter(new.split())
    removed, added = list((before - after).elements()), list((after - before).elements())
    if not removed and not added:
        return f"compiler flags in another order: {old} -> {new}"
    if not removed:
        return f"compiler flags: {' '.join(added)} added"
    if not added:
        return f"compiler flags: {' '.join(removed)} removed"
    return f"compiler flags {' '.join(removed)} -> {' '.join(added)}, the others the same"


def _nodes_of(window):
    """{host: node record} of every run record of the window's runs."""
    nodes = {}
    for run in window.runs:
        for node in (run.record or {}).get("nodes", ()):
            nodes.setdefault(node["host"], node)
    return nodes


def _node_changes(old, new):
    """Hosts whose CPU model or microcode changed between the node records
    `old` and `new` ({host: node record}), grouped by the change."""
    changes = collections.OrderedDict()
    for host, b in new.items():
        a = old.get(host)
        if a is None or a.get("error") is not None or b.get("error") is not None:
            continue
        microcode = f"microcode {_text(a['microcode'])} -> {_text(b['microcode'])}"
        if a["cpu_model"] != b["cpu_model"]:
            change = f"CPU model {_text(a['cpu_model'])} -> {_text(b['cpu_model'])}"
            if a["microcode"] != b["microcode"]:
                change += f", {microcode}"
        elif a["microcode"] != b["microcode"]:
            change = microcode
        else:
            continue
        changes.setdefault(change, []).append(host)
    lines = [f"{', '.join(hosts)}: {change}" for change, hosts in changes.items()]
    for which, nodes, other in (("old", old, new), ("new", new, old)):
        for host, node in nodes.items():
            if node.get("error") is not None and host in other:
                lines.append(f"{host}: CPU unknown in the {which} window ({node['error']})")
    return lines


def differences(old, new):
    """Lines naming what differs between the records of two windows that
    can explain a change of their rates."""
    missing = [f"the {which} window has a run without a run record: its CPUs, MPI and build "
               "are unknown" for which, window in (("old", old), ("new", new))
               if any(run.record is None for run in window.runs)]
    if missing:
        return missing
    lines = _node_changes(_nodes_of(old), _nodes_of(new))
    if old.runs and new.runs:
        lines += run_changes(old.runs[0].record, new.runs[0].record)
    return lines or ["the run records show no difference in CPU model, microcode, MPI, "
                     "compiler, flags or commit"]


def run_changes(old, new):
    """Lines naming what differs between two run records for every node of
    the run: the MPI, the compiler and its flags, the build, the commit."""
    lines = []
    mpi = [(_mpi(record["mpi"]), _text(record["mpi"]["launcher"])) for record in (old, new)]
    if mpi[0] != mpi[1]:
        lines.append("MPI {} ({}) -> {} ({})".format(*mpi[0], *mpi[1]))
    for which, record in (("old", old), ("new", new)):
        if record["build"] is None:
            lines.append(f"the {which} run's binary has no build record: its compiler, "
                         "flags and commit are unknown")
    if old["build"] and new["build"]:
        a, b = old["build"], new["build"]
        if a["compiler"] != b["compiler"]:
            lines.append(f"compiler {_text(a['compiler'])} -> {_text(b['compiler'])}")
        if a["build_type"] != b["build_type"]:
            lines.append(f"build type {_text(a['build_type'])} -> {_text(b['build_type'])}")
        if a["flags"] != b["flags"]:
            lines.append(_flags_change(a["flags"], b["flags"]))
        if (_mpi(a["mpi"]), _mpi(b["mpi"])) not in ((_mpi(old["mpi"]), _mpi(new["mpi"])),
                                                    (_mpi(a["mpi"]),) * 2):
            lines.append(f"the binary's MPI {_mpi(a['mpi'])} -> {_mpi(b['mpi'])}")
        if a["commit"] != b["commit"]:
            lines.append(f"commit {_commit(a)} -> {_commit(b)}")
        elif (a["commit"] or "").endswith("-dirty"):
            lines.append(f"commit {a['commit']} in both: changes not committed, "
                         "which may differ")
    return lines


def node_of(record, host):
    """The node record of `host` in a run record: the node of that name, or
    of its first label where one of the names has a domain; None where
    there is none."""
    nodes = record["nodes"] if record else []
    found = [node for node in nodes if node["host"] == host]
    found = found or [node for node in nodes
                      if node["host"].split(".")[0] == host.split(".")[0]]
    return found[0] if found else None


def _memory(value):
    return "unknown" if value is None else f"{value / 2 ** 30:.1f} GiB"


def _on_off(value):
    return "unknown" if value is None else "on" if value else "off"


# What a node record says that can change a node's rates: key, words, wording.
NODE_FIELDS = (("cpu_model", "CPU model", _text), ("microcode", "microcode", _text),
               ("hypervisor", "hypervisor", _text), ("kernel", "kernel", _text),
               ("logical_cpus", "logical CPUs", lambda v: _text(v if v is None else f"{v:g}")),
               ("smt", "SMT", _on_off), ("governor", "governor", _text),
               ("max_mhz", "max MHz", lambda v: _text(v if v is None else f"{v:g}")),
               ("memory_bytes", "memory", _memory))


def node_changes(old, new):
    """One line per key of two node records of one host that differs
    ("microcode 0x2b -> 0x2c")."""
    lines = []
    for which, node in (("old", old), ("new", new)):
        if node.get("error") is not None:
            lines.append(f"no node record in the {which} run ({node['error']})")
    if lines:
        return lines
    for key, words, wording in NODE_FIELDS:
        if old[key] != new[key]:
            before, after = wording(old[key]), wording(new[key])
            if before == after:  # memory that differs below the wording's precision
                before, after = str(old[key]), str(new[key])
            lines.append(f"{words} {before} -> {after}")
    return lines


def chart_note(record):
    """The CPU model(s) and the MPI of a run, for a chart's title; '' without a record."""
    if record is None:
        return ""
    models = collections.Counter(node["cpu_model"] for node in _answered(record).values()
                                 if node["cpu_model"] is not None)
    cpus = (f"{model} ({count} {'node' if count == 1 else 'nodes'})" if len(models) > 1 else
            model for model, count in models.items())
    mpi = _mpi(record["mpi"])
    return f"\n{', '.join(cpus) or 'CPU unknown'}; {'MPI unknown' if mpi == 'unknown' else mpi}"
