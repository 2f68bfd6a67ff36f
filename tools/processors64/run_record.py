"""The run record's file: where it lies beside its results file, reading it
(checked against its schema) and writing it.

The recorded run (processors64-run) writes "X.run.json" beside the results
file "X.txt"; a job that made none gets a record of its own name in its
working directory. The keys are in records.schema.json.
"""

import json
import math
import re
import time

from . import atomic, schema
from .schema import RecordError

RECORD_SUFFIX = ".run.json"
RESULTS_SUFFIX = ".txt"
# What the verdict writes beside a results file X.txt.
VERDICT_SUFFIXES = (".verdict.txt", ".drain.sh", ".html")
NODE_KEYS = tuple(key for key in schema.keys("node") if key != "error")
RUN_KEYS = schema.keys("run")


def utc(seconds=None):
    """A time as the records write it, UTC to the second
    (2026-12-08T16:04:46Z); now where `seconds` is None."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def record_path(path):
    """Where the record of the results file `path` lies, or None."""
    if path.endswith(RESULTS_SUFFIX):
        return path[:-len(RESULTS_SUFFIX)] + RECORD_SUFFIX
    return None


def results_path(path):
    """The results file whose record `path` is."""
    return path[:-len(RECORD_SUFFIX)] + RESULTS_SUFFIX


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
    """(the record in `path`, checked; warnings). A node record that lacks
    keys (a site's own collector) has them read as unknown (null), with a
    warning. Raises RecordError."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise RecordError(f"cannot read it: {error.strerror or error}") from None
    try:
        record = json.loads(data, parse_constant=_no_constant, parse_float=_finite)
    except (ValueError, RecursionError) as error:
        raise RecordError(f"not JSON ({error})") from None
    schema.check(record, "run")
    warnings = []
    for node in record["nodes"]:
        missing = [key for key in NODE_KEYS if key not in node]
        if missing:
            warnings.append(f"the node record of {node['host']} has no "
                            f"{', '.join(map(repr, missing))}: read as unknown")
            for key in missing:
                node[key] = None
    return record, warnings


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
    record indented within it, a node record (and a placement) a line."""
    def value(key, item):
        if key in ("nodes", "placement") and item:
            return "[\n" + ",\n".join("    " + json.dumps(entry, ensure_ascii=False)
                                       for entry in item) + "\n  ]"
        if key == "build" and item is not None:
            return json.dumps(item, indent=2, ensure_ascii=False).replace("\n", "\n  ")
        return json.dumps(item, ensure_ascii=False)
    text = "{\n" + ",\n".join(f"  {json.dumps(key)}: {value(key, item)}"
                               for key, item in record.items()) + "\n}\n"
    return _SURROGATE.sub(lambda found: f"\\u{ord(found.group()):04x}", text)


def write(path, record):
    """Writes the record to `path` whole; raises OSError."""
    atomic.write(path, dumps(record))

