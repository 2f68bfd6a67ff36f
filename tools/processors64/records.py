"""The run record beside a results file, and the build record of a binary:
their format, once.

The recorded run (processors64-run, run.py) writes "X.run.json" beside the
results file "X.txt": the nodes' CPUs, the MPI, the build of the binary
(CMake writes "<binary>.build.json" beside each binary). This module writes
both formats' readers and writers: it writes a record whole and renames it
into place, finds a record, checks it enough that the rest of the tool can
index it without care (every key of the format there, of its type), and words
what summary, compare and plot say about it. A record that cannot be read is
one warning: the results file is read without it.
"""

import collections
import json
import math
import os
import re
import shutil
import sys

from .reading import FAILED, PROGRAM, shown

RECORD_SUFFIX = ".run.json"
RESULTS_SUFFIX = ".txt"
# What verdict writes beside a results file X.txt: X.verdict.txt, X.drain.sh.
VERDICT_SUFFIXES = (".verdict.txt", ".drain.sh")


class RecordError(Exception):
    """A run record that is not as the scripts write it."""


# The shape of a record: a type name, an object {key: shape} (extra keys are
# let through), a one-item list [shape] (a list of them), a shape that may be
# null, or one whose key may also be left out.
class Null:
    def __init__(self, shape):
        self.shape = shape


class Optional(Null):
    pass


STRING, INTEGER, NUMBER, BOOLEAN = "a string", "an integer", "a number", "true or false"
MPI = {"implementation": Null(STRING), "version": Null(STRING), "launcher": Null(STRING)}
BUILD = {"version": Null(STRING), "commit": Null(STRING), "build_type": Null(STRING),
         "compiler": Null(STRING), "flags": Null(STRING),
         "mpi": Null({"implementation": Null(STRING), "version": Null(STRING)}),
         "launcher": Null(STRING)}
SLURM = {key: Null(STRING) for key in ("job_id", "nodelist", "partition", "cpus_per_node")}
# A node record (scripts/node_inventory.sh writes it on each node), its keys
# in their order.
NODE_STRINGS = ("cpu_vendor", "cpu_model", "microcode", "hypervisor", "governor", "kernel", "os")
NODE_KEYS = ("host", "cpu_vendor", "cpu_model", "cpu_family", "cpu_model_number", "stepping",
             "microcode", "logical_cpus", "cores", "sockets", "numa_nodes", "smt",
             "hypervisor", "governor", "max_mhz", "memory_bytes", "kernel", "os")
NODE = {key: STRING if key == "host" else Null(
    STRING if key in NODE_STRINGS else BOOLEAN if key == "smt" else NUMBER) for key in NODE_KEYS}
NODE["error"] = Optional(STRING)  # a node that did not answer has it, the others do not
# The run record, its keys in their order. results_file_note says why a
# results file was or was not taken for the job's where that was not plain
# (older records have no such key).
RECORD = {"results_file": Null(STRING), "results_file_note": Optional(STRING),
          "started": STRING, "ended": STRING,
          "exit_status": INTEGER, "command": [STRING], "processes": Null(INTEGER),
          "mpi": MPI, "build": Null(BUILD), "slurm": Null(SLURM), "nodes": [NODE]}
RUN_KEYS = tuple(RECORD)
BUILD_KEYS = tuple(BUILD)
BUILD_SUFFIX = ".build.json"


def _kind(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    return {dict: "an object", list: "a list", str: "a string"}.get(type(value), "a number")


def _wanted(shape):
    if isinstance(shape, Null):
        return f"{_wanted(shape.shape)} or null"
    if isinstance(shape, dict):
        return "an object"
    if isinstance(shape, list):
        return "a list"
    return shape


def _fits(value, shape):
    if shape == STRING:
        return isinstance(value, str)
    if shape == BOOLEAN:
        return isinstance(value, bool)
    if shape == INTEGER:
        return isinstance(value, int) and not isinstance(value, bool)
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def check(value, shape=None, where="the record"):
    """Raises RecordError naming the first key that is missing or of another
    type than the format's."""
    shape = RECORD if shape is None else shape
    if isinstance(shape, Null):
        if value is not None:
            check(value, shape.shape, where)
    elif isinstance(shape, dict):
        if not isinstance(value, dict):
            raise RecordError(f"{where} is {_kind(value)}, not an object")
        for key, inner in shape.items():
            if key in value:
                check(value[key], inner, key if where == "the record" else f"{where}.{key}")
            elif not isinstance(inner, Optional):
                raise RecordError(f"{where} has no key {key!r}")
    elif isinstance(shape, list):
        if not isinstance(value, list):
            raise RecordError(f"{where} is {_kind(value)}, not a list")
        for number, item in enumerate(value):
            check(item, shape[0], f"{where}[{number}]")
    elif not _fits(value, shape):
        raise RecordError(f"{where} is {_kind(value)}, not {_wanted(shape)}")


def _no_constant(name):
    raise ValueError(f"{name} is no JSON number")


def _finite(text):
    """A number as JSON writes it: a value too large for a double (1e999)
    would come back out of export as Infinity, which is no JSON."""
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text} is out of range")
    return value


def load(path):
    """The record in `path`, checked; raises RecordError."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise RecordError(f"cannot read it: {error.strerror or error}") from None
    try:
        record = json.loads(data, parse_constant=_no_constant, parse_float=_finite)
    except (ValueError, RecursionError) as error:
        raise RecordError(f"not JSON ({error})") from None
    check(record)
    return record


def failed_node(host, error):
    """The node record of a node that did not answer: its name, the error,
    every other key null."""
    return dict({"host": host, "error": error}, **dict.fromkeys(NODE_KEYS[1:]))


# A byte of a name that is not UTF-8 (a host name, a directory) reaches
# Python as a lone surrogate (os.fsdecode); in the record it is written as
# that surrogate's escape, \udc80 to \udcff, so that the name reads back
# exactly (os.fsencode) and the file stays valid UTF-8.
_SURROGATE = re.compile("[\ud800-\udfff]")


def dumps(record):
    """The run record as JSON text, UTF-8 as it is: a key a line, the build
    record indented within it, a node record a line."""
    def value(key, item):
        if key == "nodes" and item:
            return "[\n" + ",\n".join("    " + json.dumps(node, ensure_ascii=False)
                                       for node in item) + "\n  ]"
        if key == "build" and item is not None:
            return json.dumps(item, indent=2, ensure_ascii=False).replace("\n", "\n  ")
        return json.dumps(item, ensure_ascii=False)
    text = "{\n" + ",\n".join(f"  {json.dumps(key)}: {value(key, item)}"
                               for key, item in record.items()) + "\n}\n"
    return _SURROGATE.sub(lambda found: f"\\u{ord(found.group()):04x}", text)


def write(path, record):
    """Writes the record to `path` whole, through a temporary file in the
    same directory renamed into place; raises OSError."""
    temp = os.path.join(os.path.dirname(path) or ".", f".processors64-run.{os.getpid()}.tmp")
    try:
        with open(temp, "w", encoding="utf-8") as f:
            f.write(dumps(record))
        os.replace(temp, path)
    except OSError:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def build_record_file(binary):
    """The build record of `binary`: <binary>.build.json beside it, or the
    one an install puts in ../share/processors64/; None where it has none.
    A binary named without a directory is the one on PATH, as the launcher
    finds it; its symbolic links are followed (update-alternatives' links
    /usr/bin/NAME -> /etc/alternatives/NAME -> NAME.flavour)."""
    if "/" not in binary:
        binary = shutil.which(binary) or binary
    while os.path.islink(binary):
        binary = os.path.join(os.path.dirname(binary), os.readlink(binary))
    folder, name = os.path.split(binary)
    for candidate in (os.path.join(folder, name + BUILD_SUFFIX),
                      os.path.join(folder, "..", "share", "processors64", name + BUILD_SUFFIX)):
        if os.path.isfile(candidate):
            return candidate
    return None


def build_record(binary):
    """The build record of `binary` as an object, or None where it has none
    or it is no JSON object."""
    path = build_record_file(binary)
    if path is None:
        return None
    try:
        with open(path, "rb") as f:
            build = json.loads(f.read().decode("utf-8", "surrogateescape"))
    except (OSError, ValueError):
        return None
    return build if isinstance(build, dict) else None


def record_path(path):
    """Where the record of the results file `path` lies, or None."""
    if path.endswith(RESULTS_SUFFIX):
        return path[:-len(RESULTS_SUFFIX)] + RECORD_SUFFIX
    return None


def results_path(path):
    """The results file whose record `path` is."""
    return path[:-len(RECORD_SUFFIX)] + RESULTS_SUFFIX


def warn(path, message):
    print(f"{PROGRAM}: warning: {shown(path)}: {message}", file=sys.stderr)


def attach(run):
    """Reads the record beside the results file of `run` into run.record."""
    path = record_path(run.path)
    if path is None or not os.path.lexists(path):
        return
    try:
        run.record = load(path)
    except RecordError as error:
        warn(path, f"{error}; the results file is read without it")


def reports_named(paths):
    """The files to read for the command line's `paths`. The verdict's files
    beside a results file are left out. A run record stands for its results
    file (results_* names all of them, as they sort together): where
    that file is named too the record adds nothing, else the results file
    beside it is read in its place."""
    named = {os.path.abspath(path) for path in paths}
    reports = []
    for path in paths:
        if any(path.endswith(suffix) and os.path.lexists(path[:-len(suffix)] + RESULTS_SUFFIX)
               for suffix in VERDICT_SUFFIXES):
            continue  # the verdict on the results file beside it, no report
        if not path.endswith(RECORD_SUFFIX):
            reports.append(path)
            continue
        results = results_path(path)
        if os.path.abspath(results) in named:
            continue
        if os.path.lexists(results):
            reports.append(results)
            continue
        try:
            record = load(path)
        except RecordError as error:
            print(f"{PROGRAM}: {shown(path)}: {error}", file=sys.stderr)
            FAILED.append(path)
            continue
        if record["results_file"] is None:
            warn(path, f"the record of a job that made no results file (exit status "
                       f"{record['exit_status']}, started {record['started']}); nothing to read")
        else:
            print(f"{PROGRAM}: {shown(path)}: its results file is not beside it: "
                  f"{shown(record['results_file'])}", file=sys.stderr)
            FAILED.append(path)
    return reports


# What summary, compare and plot say about a record.

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
    mpi = record["mpi"]
    line = f"  MPI {_mpi(mpi)}, launcher {_text(mpi['launcher'])}"
    build = record["build"]
    if build and build["mpi"] and _mpi(build["mpi"]) != _mpi(mpi):
        line += f"; the binary is built against {_mpi(build['mpi'])}"
    out.append(line)
    if build is None:
        out.append("  build: no build record of the binary")
    else:
        out.append(f"  build: compiler {_text(build['compiler'])}, flags "
                   f"{_text(build['flags'])}, commit {_commit(build)}")
    if record["exit_status"] != 0:
        out.append(f"  the job's exit status: {record['exit_status']}")
    return out


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


def _node_changes(old, new):
    """Hosts whose CPU model or microcode changed, grouped by the change."""
    changes = collections.OrderedDict()
    before, after = _answered(old), _answered(new)
    for node in new["nodes"]:
        host = node["host"]
        if host not in before or host not in after:
            continue
        a, b = before[host], after[host]
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
    for which, record, other in (("old", old, after), ("new", new, before)):
        for node in record["nodes"]:
            if node.get("error") is not None and node["host"] in other:
                lines.append(f"{node['host']}: CPU unknown in the {which} run "
                             f"({node['error']})")
    return lines


def differences(old, new):
    """Lines naming what differs between the records of two runs that can
    explain a change of their rates."""
    missing = [f"the {which} run has no run record: its CPUs, MPI and build are unknown"
               for which, run in (("old", old), ("new", new)) if run.record is None]
    if missing:
        return missing
    lines = _node_changes(old.record, new.record) + run_changes(old.record, new.record)
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
