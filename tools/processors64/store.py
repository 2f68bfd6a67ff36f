"""The results store: what the tools judge, read once from the results
files and kept as tables (store_schema.py), so that reading a directory
again reads only the files that are new or changed, and a year of history
costs what its figures cost rather than its text.

A store is a cache of the files, never the only copy: a file is known by
its path, size, modification time and content hash; a fill reads what is
new or changed and writes it in one transaction; a store that fails its
check is made again from the files. It is SQLite by default, a file in the
directory read (DEFAULT_NAME), or any SQLite file or PostgreSQL database
that --store or PROCESSORS64_STORE names. Several clusters share one store,
kept apart by the cluster's name.

What a store gives back is what reading the files gives (reading.Reading:
runs, failed jobs, problems), so that model.windows and every sub-command
after it work alike on both.
"""

import atexit
import contextlib
import functools
import hashlib
import json
import marshal
import os
import stat
import sys
import time
import zlib
from array import array
from dataclasses import dataclass, field
from datetime import datetime
from typing import Optional

from . import forms, libraries, model, reading, results_name, run_record
from . import store_schema as schema
from .reading import Problem, Reading, shown

DEFAULT_NAME = ".processors64.sqlite"
ENVIRONMENT = "PROCESSORS64_STORE"
CLUSTER_ENVIRONMENT = "SLURM_CLUSTER_NAME"
BUSY_SECONDS = 120      # a writer waits this long for another to finish
CHUNK = 5000            # ids a query asks for at once
PROGRESS_FROM = 200     # files; a first read of fewer shows no progress
WRITE_BATCH = 64        # files read, written at once by a fill
# File systems on which SQLite's write-ahead log (shared memory) is unsafe:
# there the store keeps a rollback journal.
NETWORK_FILE_SYSTEMS = ("nfs", "nfs4", "lustre", "cifs", "smb3", "smbfs", "fuse.sshfs",
                        "gpfs", "beegfs", "ceph", "glusterfs", "9p")
LOCAL_TIME = "%Y-%m-%d %H:%M:%S"


class StoreError(Exception):
    """A store that cannot be opened, read or written."""


class DamagedStore(StoreError):
    """A store that fails its check: cut short, not a database, no schema."""


# ---- Where the store is --------------------------------------------------------------

@dataclass
class Options:
    """The command line's choice of store: --store URL (or the
    environment's), --cluster, --rebuild, --no-store."""
    url: Optional[str] = None
    cluster: Optional[str] = None
    rebuild: bool = False
    off: bool = False

    @classmethod
    def of(cls, args):
        """The options of the command line's `args` (None: the defaults)."""
        return cls(getattr(args, "store", None) or os.environ.get(ENVIRONMENT) or None,
                   getattr(args, "cluster", None), getattr(args, "rebuild", False),
                   getattr(args, "no_store", False))

    def fill_cluster(self):
        """The cluster of the runs whose records name none."""
        return self.cluster or os.environ.get(CLUSTER_ENVIRONMENT) or ""


def is_postgresql(url):
    return url.startswith(("postgresql://", "postgres://"))


def shown_url(url):
    """A URL as messages show it: no password."""
    if is_postgresql(url) and "@" in url.split("//", 1)[1]:
        scheme, rest = url.split("//", 1)
        who, where = rest.rsplit("@", 1)
        return f"{scheme}//{who.split(':')[0]}@{where}"
    return shown(url)


def _file_system(path):
    """The type of the file system `path` is on, from /proc/mounts; None
    where it cannot be told."""
    try:
        with open("/proc/self/mounts", encoding="utf-8", errors="replace") as f:
            mounts = [line.split()[1:3] for line in f if len(line.split()) > 2]
    except OSError:
        return None
    path = os.path.realpath(path)
    best = None
    for point, kind in mounts:
        point = point.replace("\\040", " ")
        if (path == point or path.startswith(point.rstrip("/") + "/")) and (
                best is None or len(point) > len(best[0])):
            best = (point, kind)
    return best[1] if best else None


# ---- The connection -------------------------------------------------------------------

@dataclass(eq=False)
class Store:
    """An open store: its name for messages, its dialect and connection."""
    where: str
    dialect: type
    connection: object
    path: Optional[str] = None  # a SQLite file's
    _windows: dict = field(default_factory=dict)   # while a fill writes (_fill_started)
    _next_ids: dict = field(default_factory=dict)

    def run(self, sql, parameters=()):
        cursor = self.connection.cursor()
        cursor.execute(self.dialect.sql(sql), parameters)
        return cursor

    def rows(self, sql, parameters=()):
        return self.run(sql, parameters).fetchall()

    def many(self, sql, rows):
        if rows:
            self.connection.cursor().executemany(self.dialect.sql(sql), rows)

    @contextlib.contextmanager
    def writing(self):
        """One write transaction: a fill, all or nothing; fills wait for
        each other."""
        for statement in self.dialect.begin_write:
            self.run(statement)
        try:
            yield self
        except BaseException:
            self.run("ROLLBACK")
            raise
        self.run("COMMIT")

    @contextlib.contextmanager
    def reading(self):
        """One read transaction: what it reads is one fill's state, however
        many fills commit meanwhile."""
        self.run("BEGIN" if self.dialect is schema.SQLite else
                 "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
        try:
            yield self
        finally:
            self.run("ROLLBACK")

    def close(self):
        with contextlib.suppress(Exception):
            self.connection.close()


def _database_errors():
    """The exceptions a database raises, of both kinds where installed."""
    import sqlite3
    errors = (sqlite3.Error,)
    with contextlib.suppress(ImportError):
        import psycopg
        errors += (psycopg.Error,)
    return errors


def _sqlite_header_problem(path):
    """What is wrong with a SQLite file's header and length (a file cut
    short by a full disk or a killed copy), or None."""
    try:
        with open(path, "rb") as f:
            header = f.read(100)
            size = os.fstat(f.fileno()).st_size
    except OSError as error:
        return f"cannot read it: {error.strerror or error}"
    if size == 0:
        return None  # made by a process that stopped before its first write
    if len(header) < 100 or not header.startswith(b"SQLite format 3\0"):
        return "not a SQLite database"
    page = int.from_bytes(header[16:18], "big")
    page = 65536 if page == 1 else page
    pages = int.from_bytes(header[28:32], "big")
    valid = header[24:28] == header[92:96]
    if page < 512 or size % page:
        return f"its length {size} is no whole number of {page}-byte pages: cut short"
    if valid and pages * page > size:
        return f"it holds {size // page} of its {pages} pages: cut short"
    return None


def open_sqlite(path, create=True):
    """The SQLite store in the file `path`; raises StoreError (where the
    file fails its check: the message says so) or OSError."""
    import sqlite3
    if os.path.exists(path):
        problem = _sqlite_header_problem(path)
        if problem:
            raise DamagedStore(f"fails its check: {problem}")
    elif not create:
        raise StoreError("no such store")
    # Another process making or filling the same new store holds its lock:
    # some of SQLite's steps (the journal mode, a read turning into a write)
    # answer "locked" at once rather than wait, so they are tried again
    # until it is done. Locked is busy, never damaged: a store another
    # process is filling is not made again under it.
    deadline = time.monotonic() + BUSY_SECONDS
    while True:
        connection = sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None,
                                     check_same_thread=False)
        store = Store(path, schema.SQLite, connection, path)
        try:
            store.run(f"PRAGMA busy_timeout = {BUSY_SECONDS * 1000}")
            store.run("PRAGMA cache_size = -65536")
            kind = _file_system(os.path.dirname(os.path.abspath(path)))
            mode = "DELETE" if kind in NETWORK_FILE_SYSTEMS else "WAL"
            store.run(f"PRAGMA journal_mode = {mode}")
            store.run("PRAGMA synchronous = NORMAL" if mode == "WAL" else
                      "PRAGMA synchronous = FULL")
            _up_to_date(store)
            return store
        except sqlite3.OperationalError as error:
            store.close()
            if not _locked(error):
                raise DamagedStore(f"fails its check: {error}") from None
            if time.monotonic() > deadline:
                raise StoreError(f"another process holds it: {error}") from None
            time.sleep(0.1)
        except sqlite3.DatabaseError as error:
            store.close()
            raise DamagedStore(f"fails its check: {error}") from None


def _locked(error):
    """Whether SQLite's error says another connection holds the lock."""
    text = str(error).lower()
    return "locked" in text or "busy" in text


def open_postgresql(url):
    """The PostgreSQL store at `url`; raises StoreError."""
    psycopg = libraries.need("psycopg", "python3-psycopg", "a PostgreSQL store")
    try:
        connection = psycopg.connect(url, autocommit=True)
    except psycopg.Error as error:
        raise StoreError(f"cannot connect: {str(error).strip().splitlines()[0]}") from None
    store = Store(shown_url(url), schema.PostgreSQL, connection)
    try:
        _up_to_date(store)
    except psycopg.Error as error:
        store.close()
        raise DamagedStore(f"fails its check: {str(error).strip().splitlines()[0]}") from None
    return store


def open_url(url, create=True):
    if is_postgresql(url):
        return open_postgresql(url)
    return open_sqlite(url, create)


def _version(store):
    """The store's schema version; 0 where it has no tables yet."""
    if store.dialect is schema.SQLite:
        tables = store.rows("SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'meta'")
    else:
        tables = store.rows("SELECT tablename FROM pg_tables WHERE tablename = 'meta' AND "
                            "schemaname = current_schema()")
    if not tables:
        return 0
    found = store.rows("SELECT value FROM meta WHERE key = 'version'")
    if not found:
        raise DamagedStore("fails its check: no schema version")
    return int(found[0][0])


def _up_to_date(store):
    """Makes the tables, or brings an older store's up to date, in one
    transaction; raises StoreError on a store of a newer version."""
    if _version(store) == schema.VERSION:
        return
    with store.writing():
        version = _version(store)  # another process may have made them meanwhile
        if version > schema.VERSION:
            raise StoreError(f"made by a newer processors64-results (schema version "
                             f"{version}; this one knows up to {schema.VERSION})")
        for step in range(version + 1, schema.VERSION + 1):
            for statement in schema.statements(store.dialect, step):
                store.run(statement)
            if version and step in MIGRATED:
                MIGRATED[step](store)
        if version == 0:
            store.many("INSERT INTO meta (key, value) VALUES (?, ?)",
                       [("version", str(schema.VERSION)), ("slow", repr(float(forms.SLOW)))])
        else:
            store.run("UPDATE meta SET value = ? WHERE key = 'version'", (str(schema.VERSION),))


def remove_sqlite(path):
    """Deletes a SQLite store and its journals."""
    for suffix in ("", "-wal", "-shm", "-journal"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path + suffix)


# ---- Values in and out -----------------------------------------------------------------

@functools.lru_cache(maxsize=64)
def _absolute(directory):
    return os.path.abspath(directory)


@functools.lru_cache(maxsize=64)
def _directory_text(directory):
    return json.dumps(os.path.join(_absolute(directory), ""))[1:-1]


# JSON's escapes of the characters of ASCII that it escapes.
_ESCAPES = {code: json.dumps(chr(code))[1:-1] for code in [*range(32), ord('"'), ord("\\")]}


def _name_text(name):
    if name.isascii():
        return name.translate(_ESCAPES)
    return json.dumps(name)[1:-1]


def _split(path):
    """os.path.split(path), the quick way for the usual "directory/name"
    (thousands of paths a read)."""
    cut = path.rfind("/")
    if cut > 0 and path[cut - 1] != "/":
        return path[:cut], path[cut + 1:]
    return os.path.split(path)


def _path_text(path):
    """An absolute path as the store keeps it: JSON's string form, which
    holds any name (a line feed, bytes that are not UTF-8) in UTF-8."""
    directory, name = _split(path)
    if not name:
        return json.dumps(os.path.join(_absolute(directory), name))[1:-1]
    return _directory_text(directory) + _name_text(name)


def _path_of(text):
    return json.loads(f'"{text}"')


def _doubles(values):
    """A blob of little-endian doubles."""
    if sys.byteorder == "big":
        values = array("d", values)
        values.byteswap()
    return values.tobytes()


def _from_doubles(data):
    values = array("d", bytes(data))
    if sys.byteorder == "big":
        values.byteswap()
    return values


def _workers_numbers(seconds, rates, written):
    """(seconds, rates) of a test's workers, as arrays, from its rates row."""
    if written is None:
        return _from_doubles(seconds), _from_doubles(rates)
    lines = zlib.decompress(written).split(b"\n")
    return tuple(array("d", map(float, line.split())) for line in lines)


def _odd(value):
    return value != value  # NaN


def _number_in(value, dialect):
    return "NaN" if dialect.nan_as_text and value is not None and value != value else value


def _number_out(value):
    return float(value) if isinstance(value, str) else value


def _text_in(value):
    """A text column of a node record: queries need no exact bytes."""
    if value is None or isinstance(value, (int, float)):
        return value
    return str(value).encode("utf-8", "replace").decode("utf-8")


def _sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def _identity(path):
    """(size, mtime_ns) of a file, or None where there is none."""
    try:
        found = os.stat(path)
    except OSError:
        return None
    return (found.st_size, found.st_mtime_ns) if stat.S_ISREG(found.st_mode) else None


# ---- Reading files for the store -------------------------------------------------------------

@dataclass
class Unit:
    """What one results file and the record beside it (or a record alone)
    hold, as the store's rows: made where the file is read, written by the
    fill. `files` (path, size, mtime_ns, sha256), the main one first;
    `problems` (which: 0 the file, 1 the record beside; message, failure)."""
    kind: str                      # "report", "record", "manifest"; "same": not read again
    path: str
    files: list
    problems: list
    cluster: str = ""
    job: Optional[tuple] = None    # the jobs row from its cluster on, without window
    window: Optional[tuple] = None  # (name, named, array, groups, nodes, its sha256)
    tests: list = field(default_factory=list)
    stretches: list = field(default_factory=list)
    figures: list = field(default_factory=list)
    slow: list = field(default_factory=list)
    rates: list = field(default_factory=list)
    nodes: list = field(default_factory=list)
    lean: tuple = (None, None)     # jobs.lean, jobs.lean_rates (_lean_of)


def _lean_of(run, host_figures):
    """(jobs.lean, jobs.lean_rates) of a run whose tests' {host:
    HostFigures} are `host_figures`: what grouping the run into windows and
    holding later windows against it need, in one row a run, read without
    a Python object per figure. lean is a line of JSON, [its record's nodes'
    hosts (null where they are its workers'), [[test name, its hosts with a
    rate in the order of its figures (null where they are its workers')]]
    of the first test of each name, its workers' hosts (null where they
    follow)], then its workers' hosts in the order of their first rank, a
    line each (no host name holds a line feed or space; the same first line
    in most runs); lean_rates the rates of those tests' hosts, test after
    test, as doubles."""
    hosts, names, rates = run.hosts(), {}, array("d")
    for test, by_host in zip(run.tests, host_figures):
        if test.name not in names:
            mine = [host for host, figures in by_host.items() if figures.rate is not None]
            names[test.name] = None if mine == hosts else mine
            rates.extend(by_host[host].rate for host in mine)
    nodes = run.record_hosts()
    lines = hosts and not any(char in host for host in hosts for char in " \n")
    text = json.dumps([None if nodes == hosts else nodes, list(names.items()),
                       None if lines else hosts], separators=(",", ":"))
    return text + "".join("\n" + host for host in hosts) if lines else text, _doubles(rates)


def _from_lean(text, data, heads):
    """(workers' hosts, nodes' hosts, {test name: (hosts, rates)}) of a
    run's jobs.lean and jobs.lean_rates (_lean_of); `heads`: {first line:
    what it says} of the runs read before."""
    head, _, lines = text.partition("\n")
    said = heads.get(head)
    if said is None:
        said = heads[head] = json.loads(head)
    nodes, names, hosts = said
    if hosts is None:
        # One string a host however many runs measured it: the windows'
        # tables of thousands of hosts are then looked up by identity.
        hosts = list(map(sys.intern, lines.split("\n")))
    values, rates, at = _from_doubles(data), {}, 0
    for name, mine in names:
        mine = hosts if mine is None else mine
        rates[name] = (mine, values[at:at + len(mine)])
        at += len(mine)
    return hosts, hosts if nodes is None else nodes, rates


def _lean_from_tables(store):
    """Works out jobs.lean of every run of a store made before it was kept,
    from the run's tables."""
    ids = [row[0] for row in store.rows("SELECT id FROM jobs WHERE report = 1")]
    for start in range(0, len(ids), CHUNK):
        chunk = ids[start:start + CHUNK]
        runs = jobs(store, chunk, dict.fromkeys(chunk, ""), workers=False)
        store.many("UPDATE jobs SET lean = ?, lean_rates = ? WHERE id = ?", [
            (*_lean_of(run, [test.host_figures(test.figures_slow) for test in run.tests]),
             job) for job, run in runs.items()])


# {schema version: what store.py works out after its statements}
MIGRATED = {2: _lean_from_tables}


def _file_of(path):
    """(bytes, (path, size, mtime_ns, sha256)) of a file read once."""
    with open(path, "rb") as f:
        found = os.fstat(f.fileno())
        data = f.read()
    return data, (path, found.st_size, found.st_mtime_ns, hashlib.sha256(data).hexdigest())


NODE_TEXTS = 8  # the node lists of windows a batch of a fill keeps as text


def _nodes_text(nodes, texts):
    """(text, sha256) of a window's node list; `texts`: [(list, text,
    sha256)] of the lists a batch met before, the same list of thousands of
    nodes in every record of a window, its text made and sent once."""
    for seen, text, sha in texts:
        if seen == nodes:
            return text, sha
    text = json.dumps(list(nodes))
    texts.insert(0, (list(nodes), text, hashlib.sha256(text.encode()).hexdigest()))
    del texts[NODE_TEXTS:]
    return texts[0][1:]


def _record_rows(unit, record, cluster, texts):
    """The record's part: its window, cluster, nodes, and its text without
    the window's node list (kept once, in the windows table; `texts`:
    _nodes_text's)."""
    window = model.window_of(record)
    text = None
    if record is not None:
        if window:
            nodes = window["nodes"]
            unit.window = (window["id"], int(bool(window.get("named"))),
                           int(bool(window.get("array"))), window["groups"],
                           *_nodes_text(nodes, texts))
            window["nodes"] = None
        text = json.dumps(record, separators=(",", ":"))
        if window:
            window["nodes"] = nodes
        unit.nodes = [(n, _text_in(node.get("host")), *(
            _text_in(node.get(key)) for key in ("cpu_vendor", "cpu_model", "microcode")),
            *(node.get(key) if isinstance(node.get(key), int) else None
              for key in ("logical_cpus", "cores", "sockets", "numa_nodes", "memory_bytes")),
            _text_in(node.get("kernel")), _text_in(node.get("os")),
            _text_in(node.get("error"))) for n, node in enumerate(record.get("nodes") or [])]
        cluster = ((record.get("slurm") or {}).get("cluster") or cluster)
    return cluster, window, text


def _report_unit(path, cluster, known, texts):
    """The Unit of a results file or console log and the record beside it;
    `known`: the sha256 of each as the store has them, where a file's date
    changed: a file whose content did not is not read again."""
    try:
        data, main = _file_of(path)
    except OSError as error:
        return Unit("report", path, [(path, -1, -1, "")],
                    [(0, f"cannot read it: {error.strerror or error}", 1)])
    files = [main]
    beside = run_record.record_path(path)
    if beside is not None and os.path.lexists(beside):
        try:
            files.append(_file_of(beside)[1])
        except OSError:
            pass  # reading says what is wrong with it
    if known and [entry[3] for entry in files] == known:
        return Unit("same", path, files, [])
    run, problems = reading.read_one(path, data, written=True)
    which = {path: 0, beside: 1}
    unit = Unit("report", path, files, [(which.get(problem.path, 0), problem.message,
                                         int(problem.failure)) for problem in problems])
    if run is None:
        return unit
    cluster, window, text = _record_rows(unit, run.record, cluster, texts)
    numbers = [run.ef_overall, run.ef_mean]
    previous = None
    host_figures = []
    for index, test in enumerate(run.tests):
        same = previous is not None and (test.stretches is previous or
                                         test.stretches == previous)
        previous = test.stretches
        baseline = test.baseline or (None, None)
        unit.tests.append((index, test.name, *baseline, test.overall, test.improvement,
                           test.mean, len(test.rates), int(same)))
        numbers += [*baseline, test.overall, test.improvement, test.mean]
        if not same:
            unit.stretches += [(index, seq, host, start, end)
                               for seq, (host, start, end) in enumerate(test.stretches)]
        by_host = test.host_figures(forms.SLOW)
        host_figures.append(by_host)
        for seq, (host, figures) in enumerate(by_host.items()):
            unit.figures.append((index, seq, host, figures.workers, figures.rate, figures.low,
                                 figures.middle, figures.high))
            unit.slow += [(index, seq, rank, rate) for rank, rate in figures.slow]
            numbers += [figures.rate, figures.low, figures.middle, figures.high]
        unit.rates.append((index, b"", b"", zlib.compress(b"\n".join(test.written), 1))
                          if test.written else
                          (index, _doubles(test.seconds), _doubles(test.rates), None))
    unit.lean = _lean_of(run, host_figures)
    name = run.name
    odd = any(value is not None and _odd(value) for value in numbers)
    unit.job = (cluster, 1, int(run.console_log), run.nproc,
                name.zone if name else None,
                name.when.strftime(LOCAL_TIME) if name and name.when else None,
                name.host if name else None, int(name is not None), run.ends,
                run.ef_overall, run.ef_mean, run.time(),
                window["group"] if window else None,
                run.record["exit_status"] if run.record else None, int(odd), text)
    return unit


def _one_file(kind, path, known, read):
    """(the Unit of a file read on its own, what `read` made of it or None):
    a file the store holds as it is now (`known`: its sha256) is not read."""
    try:
        main = _file_of(path)[1]
    except OSError as error:
        return Unit(kind, path, [(path, -1, -1, "")],
                    [(0, f"cannot read it: {error.strerror or error}", 1)]), None
    if known and [main[3]] == known:
        return Unit("same", path, [main], []), None
    found, problems = read(path)
    return Unit(kind, path, [main], [(0, problem.message, int(problem.failure))
                                     for problem in problems]), found


def _record_unit(path, cluster, known, texts):
    """The Unit of a run record whose job made no results file."""
    unit, job = _one_file("record", path, known, reading.read_record)
    if job is None:
        return unit
    cluster, window, text = _record_rows(unit, job.record, cluster, texts)
    unit.job = (cluster, 0, 0, None, None, None, None, 0, None, None, None, job.time(),
                window["group"] if window else None, job.record["exit_status"], 0, text)
    return unit


def _manifest_unit(path, cluster, known, texts=None):
    """The Unit of a window's manifest: its document, as its text."""
    unit, found = _one_file("manifest", path, known, reading.read_manifest)
    if found is not None:
        unit.job = (found.document.get("cluster") or cluster, found.name,
                    found.document.get("created"), json.dumps(found.document))
    return unit


READERS = {"report": _report_unit, "record": _record_unit, "manifest": _manifest_unit}


def _units(batch, cluster):
    """The Units of a batch of files; the node list of a window that many
    of them share is one text (sent once from a reading process)."""
    out, texts = [], []
    for kind, path, known in batch:
        unit = READERS[kind](path, cluster, known, texts)
        unit.cluster = unit.job[0] if unit.job else cluster
        out.append(unit)
    return out


# ---- Filling ------------------------------------------------------------------------------

class Progress:
    """Files read, on standard error where it is a terminal."""

    def __init__(self, total):
        self.total, self.done, self.shown = total, 0, 0.0
        self.on = total >= PROGRESS_FROM and sys.stderr.isatty()

    def step(self):
        self.done += 1
        now = time.monotonic()
        if self.on and (now - self.shown > 0.2 or self.done == self.total):
            self.shown = now
            sys.stderr.write(f"\rprocessors64-results: reading {self.done} of {self.total} "
                             "files into the store")
            sys.stderr.flush()

    def end(self):
        if self.on and self.done:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def _known_files(store):
    """{path text: (id, size, mtime_ns, sha256, unit)} of every file the
    store has read."""
    return {path: (file_id, size, mtime, sha, unit) for file_id, path, size, mtime, sha, unit
            in store.rows("SELECT id, path, size, mtime_ns, sha256, unit FROM files ORDER BY id")}


def _current(kind, path, listings=None):
    """[(path text, identity)] of the files a unit is read from now: a
    results file with the record beside it (where there is one); from the
    `listings` of its directory (_listings) where there is one."""
    directory, name = _split(path)
    listing = listings.get(directory) if listings else None
    if listing is None or not name or name not in listing:
        files = [(_path_text(path), _identity(path))]
        beside = run_record.record_path(path) if kind == "report" else None
        if beside is not None and os.path.lexists(beside):
            files.append((_path_text(beside), _identity(beside)))
        return files
    files = [listing[name]]
    beside = run_record.record_path(name) if kind == "report" else None
    if beside is not None and beside in listing:
        files.append(listing[beside])
    return files


def _name_texts(names):
    """The store's texts of the file names `names` of one directory
    (_name_text), in one pass: '/' is in no name."""
    return json.dumps("/".join(names))[1:-1].split("/")


def _stat_of(entry):
    try:
        return entry.stat()
    except OSError:
        return None


def _listings(paths, directories=(), listed=None):
    """({directory: {name: (path text, identity)}}, {directory: digest}) of
    the directories read whole (`directories`, absolute) and those that many
    of `paths` are in, each listed in one pass (os.scandir), or as reading
    listed them (`listed`, reading.inputs; taken out of it as they are
    used: a listing is used once). The digest is of the path text and
    identity of each file reading takes from a directory
    (reading.read_by_name), in the order of their names."""
    listed = {} if listed is None else listed
    count = {}
    for path in paths:
        directory = _split(path)[0]
        count[directory] = count.get(directory, 0) + 1
    found, digests = {}, {}
    for directory, many in count.items():
        if many < 16 and _absolute(directory) not in directories:
            continue
        if directory in listed:  # taken out: its entries are let go once read
            entries, read = listed.pop(directory)
        else:
            try:
                with os.scandir(directory or ".") as found_now:
                    entries = list(found_now)
            except OSError:
                continue
            read = sorted(entry.name for entry in entries if reading.read_by_name(entry.name))
        names = [entry.name for entry in entries]
        identities = list(map(_identity_of, entries))
        prefix = _directory_text(directory)
        listing = found[directory] = {name: (prefix + text, identity) for name, text, identity
                                      in zip(names, _name_texts(names), identities)}
        digests[directory] = _digest(list(map(listing.__getitem__, read)))
    return found, digests


def _unit_files(known):
    """{unit id: [path text, ...]} in the order of their ids (the main file
    first); `known` in the order of their ids (_known_files)."""
    found = {}
    for path, (file_id, _, _, _, unit) in known.items():
        found.setdefault(unit if unit is not None else file_id, []).append(path)
    return found


def _stale(now, known, members):
    """None where the store's copy of the unit whose files are `now`
    (_current) stands; else the sha256 of each of its files as the store
    has them (only where the same files are there, changed in date or size
    only: their content may not be)."""
    main = known.get(now[0][0])
    if main is None or main[4] is not None and main[4] != main[0]:
        return []
    stored = members.get(main[0], [])
    if len(now) != len(stored) or any(text != other for (text, _), other in zip(now, stored)):
        return []
    for text, identity in now:
        entry = known[text]
        if identity is None or entry[1] != identity[0] or entry[2] != identity[1]:
            return [known[text][3] for text, _ in now]
    return None


def _window_id(store, cluster, window, rows):
    """The windows row of a record's window key, made where new (into
    `rows`, as _write's)."""
    key = (cluster, window[0], window[1], window[2], window[3], window[5])
    found = store._windows.get(key)
    if found is None:
        found = store._windows[key] = _new_id(store, "windows")
        rows.setdefault("windows", []).append((found, *key[:5], key[5], window[4]))
    return found


def _fill_started(store):
    """What a fill keeps while it writes: the windows the store holds, by
    key (another fill's may be gone with its rollback), and the next free
    id of each table whose ids the fill gives."""
    store._windows = {tuple(row[1:]): row[0] for row in store.rows(
        "SELECT id, cluster, name, is_named, is_array, job_count, nodes_sha256 FROM windows")}
    store._next_ids = {table: store.rows(f"SELECT COALESCE(MAX(id), 0) + 1 FROM {table}")[0][0]
                       for table in ("files", "jobs", "windows", "manifests")}


def _new_id(store, table):
    found = store._next_ids[table]
    store._next_ids[table] = found + 1
    return found


def _forget_listings(store, directories):
    """Deletes the listings of the `directories` (directory texts)."""
    for chunk, marks in _chunks(directories):
        store.run(f"DELETE FROM listings WHERE directory IN ({marks})", chunk)


def _forget(store, paths):
    """Deletes the files `paths` (path texts) and all that was read from
    them, and the listings of their directories."""
    _forget_listings(store, {text[:text.rindex("/") + 1] for text in paths})
    for start in range(0, len(paths), CHUNK):
        chunk = paths[start:start + CHUNK]
        marks = ", ".join("?" * len(chunk))
        units = [row[0] for row in store.rows(
            f"SELECT DISTINCT COALESCE(unit, id) FROM files WHERE path IN ({marks})", chunk)]
        _forget_units(store, units)


def _forget_units(store, units):
    for start in range(0, len(units), CHUNK):
        chunk = units[start:start + CHUNK]
        marks = ", ".join("?" * len(chunk))
        jobs = f"SELECT id FROM jobs WHERE file_id IN ({marks})"
        for table in schema.JOB_TABLES:
            store.run(f"DELETE FROM {table} WHERE job_id IN ({jobs})", chunk)
        for table in ("jobs", "manifests", "problems"):
            store.run(f"DELETE FROM {table} WHERE file_id IN ({marks})", chunk)
        store.run(f"DELETE FROM files WHERE id IN ({marks}) OR unit IN ({marks})", chunk + chunk)


ROWS = (
    ("INSERT INTO files (id, path, size, mtime_ns, sha256, unit, kind, cluster) VALUES "
     "(?, ?, ?, ?, ?, ?, ?, ?)", "files"),
    ("INSERT INTO windows (id, cluster, name, is_named, is_array, job_count, nodes_sha256, "
     "nodes) VALUES (?, ?, ?, ?, ?, ?, ?, ?)", "windows"),
    ("INSERT INTO manifests (id, file_id, cluster, name, created, document) VALUES "
     "(?, ?, ?, ?, ?, ?)", "manifests"),
    ("INSERT INTO jobs (id, file_id, cluster, report, console_log, nproc, zone, local_time, "
     "master, named, ends, ef_overall, ef_mean, unix_time, window_id, window_group, "
     "exit_status, odd_numbers, record, lean, lean_rates) VALUES "
     "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", "jobs"),
    ("INSERT INTO problems (file_id, seq, path, message, failure) VALUES (?, ?, ?, ?, ?)",
     "problems"),
    ("INSERT INTO tests (job_id, test, name, baseline_seconds, baseline_rate, overall, "
     "improvement, mean, workers, hosts_as_before) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
     "tests"),
    ("INSERT INTO stretches (job_id, test, seq, host, first_rank, end_rank) VALUES "
     "(?, ?, ?, ?, ?, ?)", "stretches"),
    ("INSERT INTO figures (job_id, test, seq, host, workers, rate, low, middle, high) VALUES "
     "(?, ?, ?, ?, ?, ?, ?, ?, ?)", "figures"),
    ("INSERT INTO slow_workers (job_id, test, seq, rank, rate) VALUES (?, ?, ?, ?, ?)",
     "slow_workers"),
    ("INSERT INTO rates (job_id, test, seconds, rates, written) VALUES (?, ?, ?, ?, ?)",
     "rates"),
    ("INSERT INTO nodes (job_id, seq, host, cpu_vendor, cpu_model, microcode, logical_cpus, "
     "cores, sockets, numa_nodes, memory_bytes, kernel, os, error) VALUES "
     "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", "nodes"),
)


def _write(store, unit, rows):
    """Writes one unit read anew (its files forgotten before) into `rows`
    ({table: [row]}, ROWS), to be written with its batch's: its ids are
    given here, one after the store's last (_fill_started)."""
    dialect = store.dialect
    main = None
    for path, size, mtime, sha in unit.files:
        file_id = _new_id(store, "files")
        rows.setdefault("files", []).append(
            (file_id, _path_text(path), size, mtime, sha, main or file_id,
             None if main else unit.kind, None if main else unit.cluster))
        main = main or file_id
    rows.setdefault("problems", []).extend(
        (main, seq, str(which), message, failure)
        for seq, (which, message, failure) in enumerate(unit.problems))
    if unit.job is None:
        return
    if unit.kind == "manifest":
        rows.setdefault("manifests", []).append((_new_id(store, "manifests"), main, *unit.job))
        return
    cluster = unit.job[0]
    window = _window_id(store, cluster, unit.window, rows) if unit.window else None
    row = list(unit.job)
    odd = row[-2]
    if odd:
        row[9], row[10] = _number_in(row[9], dialect), _number_in(row[10], dialect)
    job = _new_id(store, "jobs")
    rows.setdefault("jobs", []).append(
        (job, main, *row[:12], window, *row[12:], unit.lean[0],
         None if unit.lean[1] is None else dialect.blob(unit.lean[1])))

    def numbers(found, first):
        if not odd:
            return found
        return [row[:first] + tuple(_number_in(value, dialect) for value in row[first:])
                for row in found]

    for table, found in (("tests", numbers(unit.tests, 2)), ("stretches", unit.stretches),
                         ("figures", numbers(unit.figures, 4)),
                         ("slow_workers", numbers(unit.slow, 3)),
                         ("rates", [(test, dialect.blob(seconds), dialect.blob(rates),
                                     None if written is None else dialect.blob(written))
                                    for test, seconds, rates, written in unit.rates]),
                         ("nodes", unit.nodes)):
        rows.setdefault(table, []).extend((job, *row) for row in found)


def fill(store, found, cluster, directories=()):
    """Brings the store up to date with the files `found` ({kind: [path]},
    as reading.inputs finds them: KINDS): reads what is new or changed, by
    several processes, and writes it in one transaction; forgets the files
    of `directories` (absolute) that are gone. Returns how many files were
    read."""
    return fill_planned(store, found, cluster, _plan(store, found, directories))


@dataclass
class Plan:
    """What a fill is to do: `todo` [(kind, path, stale)] to read, the path
    texts of files `gone`, the `digests` of directories to keep ({directory
    text: digest}, listings); the ids of the files the store knew (`ids`,
    {path text: file id}; the first files of units only where its
    listings were taken at their word), the path text of each file
    found (`texts`, {kind: [text]} in the order of the files found), and
    the store's generation it was made in. `check`: where the store's
    listings were taken at their word, what confirms them."""
    todo: list
    gone: list
    digests: dict
    ids: dict
    texts: dict
    generation: int
    check: "Optional[Confirmation]" = None

    def work(self):
        return bool(self.todo or self.gone or self.digests)


def _generation(store):
    return int(store.rows("SELECT value FROM meta WHERE key = 'generation'")[0][0])


def _plan(store, found, directories=(), trust=True, listed=None):
    """The Plan of a fill of the files `found`, of which those in
    `directories` (absolute) are all that reading takes from them. Where
    the store keeps a listing of each of those directories (and `trust`),
    the plan takes it at its word, to be confirmed (Plan.check) while the
    store is read; else each file is checked. `listed`: the directories as
    reading listed them (reading.inputs)."""
    listed = {} if listed is None else listed
    generation = _generation(store)
    whole = {directory: _directory_text(directory) for directory in listed
             if _absolute(directory) in directories}
    if trust and whole:
        kept = _kept_listings(store, whole.values())
        named = {directory: dict(zip(listed[directory][1], (text + name for name in _name_texts(
            listed[directory][1])))) for directory, text in whole.items()}
        texts = _listed_texts(found, named)
        if len(kept) == len(whole) and texts is not None:
            ids = {}
            for text in whole.values():  # the range of the paths in it (and below it)
                ids.update(store.rows("SELECT path, id FROM files WHERE path >= ? AND path < ? "
                                      "AND unit = id", (text, text[:-1] + "0")))
            check = Confirmation({whole[directory]: (names, listed[directory])
                                  for directory, names in named.items()}, kept)
            return Plan([], [], {}, ids, texts, generation, check=check)
    listings, digests = _listings([path for kind in KINDS for path in found[kind]],
                                  directories, listed)
    whole = {_directory_text(directory): digest for directory, digest in digests.items()
             if _absolute(directory) in directories}
    kept = _kept_listings(store, whole)
    known = _known_files(store)
    members = _unit_files(known)
    todo, wanted, texts = [], [], {}
    for kind in KINDS:
        mine = texts[kind] = []
        for path in found[kind]:
            now = _current(kind, path, listings)
            mine.append(now[0][0])
            wanted += now
            if not _unchanged(now, known, members):
                stale = _stale(now, known, members)
                if stale is not None:
                    todo.append((kind, path, stale))
    wanted = dict(wanted)
    gone = [text for text in known if text not in wanted and
            os.path.dirname(_path_of(text)) in directories]
    return Plan(todo, gone, {text: digest for text, digest in whole.items()
                             if kept.get(text) != digest},
                {text: entry[0] for text, entry in known.items()}, texts, generation)


def _kept_listings(store, directories):
    """{directory text: digest} of the listings the store keeps of these."""
    kept = {}
    for chunk, marks in _chunks(directories):
        kept.update(store.rows(f"SELECT directory, digest FROM listings WHERE directory IN "
                               f"({marks})", chunk))
    return kept


def _listed_texts(found, named):
    """{kind: [path text]} of the files `found`, each from the {name: path
    text} of its directory in `named`; None where one is not there."""
    texts = {}
    for kind in KINDS:
        mine = texts[kind] = []
        for path in found[kind]:
            directory, name = _split(path)
            text = named.get(directory, {}).get(name)
            if text is None:
                return None
            mine.append(text)
    return texts


def _digest(files):
    """The digest of a directory's listing: [(path text, identity)] of the
    files read in it, in the order of their names."""
    return hashlib.sha256(marshal.dumps(files, 2)).hexdigest()


def _identity_of(entry):
    """(size, mtime_ns) of a directory entry (os.DirEntry), as _listings
    has it; None where it is no regular file or is gone."""
    found = _stat_of(entry)
    return ((found.st_size, found.st_mtime_ns)
            if found is not None and stat.S_ISREG(found.st_mode) else None)


class Confirmation:
    """Whether the directories are as the store's listings of them: worked
    out by a child process (a stat of every file) while this one reads the
    store on the other CPU, or here where there is no fork."""

    def __init__(self, work, kept):
        """`work`: {directory text: ({name: path text}, (its entries, the
        names read))}; `kept`: {directory text: digest} as the store keeps
        them."""
        self.kept, self.answer, self.child = kept, None, None
        if hasattr(os, "fork"):
            with contextlib.suppress(OSError):
                self._fork(work)
                return
        self.answer = self._digests(work) == kept

    @staticmethod
    def _digests(work):
        found = {}
        for directory, (texts, (entries, names)) in work.items():
            by_name = {entry.name: entry for entry in entries}
            found[directory] = _digest([(texts[name], _identity_of(by_name[name]))
                                        for name in names])
        return found

    def _fork(self, work):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: digests into the pipe, and gone at once
            status = 1
            try:
                os.close(read)
                data = json.dumps(self._digests(work)).encode()
                while data:
                    data = data[os.write(write, data):]
                status = 0
            finally:
                os._exit(status)
        os.close(write)
        self.child = (pid, read)

    def confirmed(self):
        """Whether the listings stand; the child waited for (once)."""
        if self.child is not None:
            pid, read = self.child
            self.child = None
            with os.fdopen(read, "rb") as pipe:
                data = pipe.read()
            _, status = os.waitpid(pid, 0)
            try:
                self.answer = status == 0 and json.loads(data) == self.kept
            except ValueError:
                self.answer = False
        return self.answer


def _unchanged(now, known, members):
    """Whether the store's copy of the unit whose files are `now` stands,
    the quick way for the files a fill finds as it left them (else _stale
    says)."""
    main = known.get(now[0][0])
    if main is None or main[4] != main[0] or (main[1], main[2]) != now[0][1] or len(
            members.get(main[0], ())) != len(now):
        return False
    for text, identity in now[1:]:
        entry = known.get(text)
        if entry is None or entry[4] != main[0] or (entry[1], entry[2]) != identity:
            return False
    return True


def fill_planned(store, found, cluster, plan):
    """fill, by the _plan made before."""
    todo, gone = plan.todo, plan.gone
    if not plan.work():
        return 0
    progress = Progress(len(todo))
    count = 0
    # One transaction, written a batch of files at a time as they are read:
    # what is held at once is a batch's rows, not the fill's.
    with store.writing():
        generation = _generation(store)
        _fill_started(store)
        _forget(store, gone)
        batch = []
        try:
            for unit in reading.each(_units, todo, cluster):
                batch.append(unit)
                count += 1
                progress.step()
                if len(batch) == WRITE_BATCH:
                    _write_batch(store, batch)
                    batch = []
            _write_batch(store, batch)
        finally:
            progress.end()
        # The listings the plan saw are the store's now, unless another
        # fill came between the plan and this one.
        _forget_listings(store, plan.digests)
        if generation == plan.generation:
            store.many("INSERT INTO listings (directory, digest) VALUES (?, ?)",
                       list(plan.digests.items()))
        _next_generation(store)
    return count


def _write_batch(store, units):
    """Writes units read anew, forgetting first what the store had of
    their files (another fill may have written them meanwhile)."""
    _forget(store, [_path_text(entry[0]) for unit in units if unit.kind != "same"
                    for entry in unit.files])
    rows = {}
    for unit in units:
        if unit.kind == "same":  # only its dates changed: what was read stands
            store.many("UPDATE files SET size = ?, mtime_ns = ? WHERE path = ?",
                       [(size, mtime, _path_text(path)) for path, size, mtime, _ in unit.files])
        else:
            _write(store, unit, rows)
    for sql, table in ROWS:
        store.many(sql, rows.get(table, []))


# ---- Reading the store ------------------------------------------------------------------------

def _chunks(ids):
    ids = list(ids)
    for start in range(0, len(ids), CHUNK):
        chunk = ids[start:start + CHUNK]
        yield chunk, ", ".join("?" * len(chunk))


def _by_job(store, sql, ids):
    """{job id: [row without its job id]} of a query whose first column is
    the job id, over `ids` in chunks ({marks}: the chunk's parameters)."""
    found = {}
    for chunk, marks in _chunks(ids):
        for row in store.rows(sql.format(marks=marks), chunk):
            found.setdefault(row[0], []).append(row[1:])
    return found


def _name(zone, local_time, master, named):
    if not named:
        return None
    when = datetime.fromisoformat(local_time) if local_time else None
    return results_name.Name(zone, when, master)


def jobs(store, ids, paths, workers=True, slow_pct=None):
    """{job id: Run or FailedJob} of the jobs `ids`, each named by its path
    in `paths` ({job id: path}), as reading makes them: workers=False keeps
    each host's figures (slow workers by `slow_pct`), not its workers'
    rates."""
    slow = forms.SLOW if slow_pct is None else slow_pct
    stored_slow = float(store.rows("SELECT value FROM meta WHERE key = 'slow'")[0][0])
    need_rates = workers or slow != stored_slow
    rows = _by_job(store, "SELECT id, report, console_log, nproc, zone, local_time, master, "
                   "named, ends, ef_overall, ef_mean, window_id, odd_numbers, record "
                   "FROM jobs WHERE id IN ({marks})", ids)
    window_ids = {row[0][10] for row in rows.values() if row[0][10] is not None}
    lists = {}
    for chunk, marks in _chunks(window_ids):
        for window_id, nodes in store.rows(f"SELECT id, nodes FROM windows WHERE id IN ({marks})",
                                           chunk):
            lists[window_id] = json.loads(nodes)
    reports = [job for job, row in rows.items() if row[0][0]]
    tests = _by_job(store, "SELECT job_id, test, name, baseline_seconds, baseline_rate, "
                    "overall, improvement, mean, workers, hosts_as_before FROM tests "
                    "WHERE job_id IN ({marks}) ORDER BY job_id, test", reports)
    stretches = _by_job(store, "SELECT job_id, test, host, first_rank, end_rank FROM stretches "
                        "WHERE job_id IN ({marks}) ORDER BY job_id, test, seq", reports)
    figures = slow_rows = rates = {}
    if need_rates:
        rates = _by_job(store, "SELECT job_id, test, seconds, rates, written FROM rates "
                        "WHERE job_id IN ({marks})", reports)
    else:
        figures = _by_job(store, "SELECT job_id, test, host, workers, rate, low, middle, high "
                          "FROM figures WHERE job_id IN ({marks}) ORDER BY job_id, test, seq",
                          reports)
        slow_rows = _by_job(store, "SELECT job_id, test, seq, rank, rate FROM slow_workers "
                            "WHERE job_id IN ({marks}) ORDER BY job_id, test, rank", reports)
    out = {}
    for job, ((report, console_log, nproc, zone, local_time, master, named, ends, ef_overall,
               ef_mean, window_id, odd, text),) in rows.items():
        record = json.loads(text) if text is not None else None
        if window_id is not None:
            record["window"]["nodes"] = lists[window_id]
        if not report:
            out[job] = model.FailedJob(paths[job], record)
            continue
        number = _number_out if odd else (lambda value: value)
        run = model.Run(paths[job], nproc, _name(zone, local_time, master, named), ends,
                        number(ef_overall), number(ef_mean), [], record, bool(console_log))
        test_stretches = {}
        for test, host, first, end in stretches.get(job, ()):
            test_stretches.setdefault(test, []).append((host, first, end))
        test_figures, test_slow = {}, {}
        for test, host, count, rate, low, middle, high in figures.get(job, ()):
            test_figures.setdefault(test, []).append(
                (host, count, number(rate), number(low), number(middle), number(high)))
        for test, seq, rank, rate in slow_rows.get(job, ()):
            test_slow.setdefault((test, seq), []).append((rank, number(rate)))
        test_rates = {test: (seconds, values, written)
                      for test, seconds, values, written in rates.get(job, ())}
        previous = ()
        for (index, name, base_seconds, base_rate, overall, improvement, mean, count,
             as_before) in tests.get(job, ()):
            if not as_before:
                previous = tuple(test_stretches.get(index, ()))
            one = model.Test(name, None if base_seconds is None and base_rate is None else
                             (number(base_seconds), number(base_rate)),
                             stretches=previous, overall=number(overall),
                             improvement=number(improvement), mean=number(mean))
            if need_rates:
                one.seconds, one.rates = _workers_numbers(*test_rates[index])
                if not workers:
                    one.forget_workers(slow)
            else:
                one.seconds = one.rates = None
                one.figures = {host: model.HostFigures(
                    count, rate, low, middle, high, tuple(test_slow.get((index, seq), ())))
                    for seq, (host, count, rate, low, middle, high)
                    in enumerate(test_figures.get(index, ()))}
                one.figures_slow = slow
            run.tests.append(one)
        out[job] = run
    return out


# ---- Reading the store lean: what grouping needs, the rest when wanted ---------------

_UNREAD = object()


class StoredRun(model.Run):
    """A run as the store holds it, read for grouping into windows: its
    hosts, window key and time from the store's columns, each host's rate
    per test (what the past of a window needs), no tests until its window
    is wanted whole (complete), and its record read when first asked for."""

    def __init__(self, source, job, path, nproc, name, ends, ef_overall, ef_mean, console_log,
                 has_record, window, unix_time):
        super().__init__(path, nproc, name, ends, ef_overall, ef_mean, [],
                         _UNREAD if has_record else None, console_log)
        self.source, self.job, self.window, self.unix_time = source, job, window, unix_time
        self.worker_hosts, self.node_hosts, self.rates = [], [], {}
        self.known_time = _UNREAD

    @property
    def record(self):
        if self._record is _UNREAD:
            self._record = self.source.record(self.job)
        return self._record

    @record.setter
    def record(self, value):
        self._record = value

    def hosts(self):
        return list(self.worker_hosts)

    def record_hosts(self):
        return list(self.node_hosts)

    def window_key(self):
        return self.window

    def time(self):
        if self.known_time is _UNREAD:
            known = self.name.seconds() if self.name else None
            self.known_time = (known if known is not None else None if self.unix_time is None
                               else int(self.unix_time))
        return self.known_time

    def __getstate__(self):
        """As a copy for another process: with its record, without the store."""
        state = dict(self.__dict__)
        state["_record"], state["source"], state["known_time"] = self.record, None, self.time()
        return state


class Source:
    """An open store that lean runs read their records and tests from, in
    one read transaction (one fill's state) until the process ends."""

    def __init__(self, store, stack, workers, slow_pct):
        """`stack`: an ExitStack that holds the store's read transaction."""
        self.store, self.stack, self.lists = store, stack, {}
        self.workers, self.slow_pct = workers, slow_pct
        atexit.register(self.close)

    def record(self, job):
        found = self.store.rows("SELECT record, window_id FROM jobs WHERE id = ?", (job,))
        if not found or found[0][0] is None:
            return None
        record = json.loads(found[0][0])
        if found[0][1] is not None:
            record["window"]["nodes"] = self.lists[found[0][1]]
        return record

    def close(self):
        with contextlib.suppress(Exception):
            self.stack.close()
        self.store.close()


def _window_keys(store, window_ids):
    """{windows row id: the window key as run records hold it, without its group}."""
    found, lists = {}, {}  # a sweep's one-node lists come again week after week
    for chunk, marks in _chunks(window_ids):
        for window_id, name, named, of_array, count, nodes in store.rows(
                f"SELECT id, name, is_named, is_array, job_count, nodes FROM windows "
                f"WHERE id IN ({marks})", chunk):
            if nodes not in lists:
                lists[nodes] = json.loads(nodes)
            key = {"id": name, "groups": count, "nodes": lists[nodes]}
            if named:
                key["named"] = True
            if of_array:
                key["array"] = True
            found[window_id] = key
    return found


def lean_jobs(store, ids, paths, source):
    """{job id: StoredRun or FailedJob} of the jobs `ids` (named as in
    `paths`): failed jobs whole, runs lean (StoredRun, from jobs.lean)."""
    rows = []
    for chunk, marks in _chunks(ids):
        rows += store.rows(f"SELECT id, report, console_log, nproc, zone, local_time, master, "
                           f"named, ends, ef_overall, ef_mean, unix_time, window_id, "
                           f"window_group, odd_numbers, record IS NOT NULL, lean, lean_rates "
                           f"FROM jobs WHERE id IN ({marks})", chunk)
    keys = _window_keys(store, {row[12] for row in rows if row[12] is not None})
    source.lists = {window_id: key["nodes"] for window_id, key in keys.items()}
    failed = [row[0] for row in rows if not row[1]]
    out = jobs(store, failed, paths, source.workers, source.slow_pct) if failed else {}
    heads = {}
    for (job, report, console_log, nproc, zone, local_time, master, named, ends, ef_overall,
         ef_mean, unix_time, window_id, group, odd_numbers, has_record, lean,
         lean_rates) in rows:
        if not report:
            continue
        if odd_numbers:
            ef_overall, ef_mean = _number_out(ef_overall), _number_out(ef_mean)
        window = None
        if window_id is not None:
            window = dict(keys[window_id], group=group)
        run = out[job] = StoredRun(source, job, paths[job], nproc,
                                   _name(zone, local_time, master, named), ends, ef_overall,
                                   ef_mean, bool(console_log), bool(has_record), window,
                                   unix_time)
        run.worker_hosts, run.node_hosts, run.rates = _from_lean(lean, lean_rates, heads)
    return out


def window_rates(window):
    """{test: {host: rate}} of a window as model.host_rates works it out,
    from its lean runs' rates (and the tests of runs read whole)."""
    each = []
    for run in window.runs:
        if not run.complete:
            continue
        if isinstance(run, StoredRun) and not run.tests:
            each.append(run.rates)
            continue
        pairs = {}
        for test in run.tests:
            pairs.setdefault(test.name, test)
        each.append({name: (list(medians), list(medians.values())) for name, medians in (
            (name, test.host_medians()) for name, test in pairs.items())})
    by_name = {}
    for pairs in each:
        for name, (hosts, rates) in pairs.items():
            mine = by_name.setdefault(name, ([], []))
            mine[0].extend(hosts)
            mine[1].extend(rates)
    found = {}
    for name, (hosts, rates) in by_name.items():
        found[name] = dict(zip(hosts, rates))
        if len(found[name]) < len(hosts):  # a host in two runs: the first run's rate counts
            found[name] = {}
            for host, rate in zip(hosts, rates):
                found[name].setdefault(host, rate)
    return found


def complete(windows, whole):
    """Reads the lean runs of the windows `whole` whole (tests, records);
    gives every other window of lean runs its rates (model.Window.rates)."""
    for window in windows:
        lean = [run for run in window.runs + window.copies
                if isinstance(run, StoredRun) and not run.tests]
        if not lean:
            continue
        if not any(window is wanted for wanted in whole):
            window.rates = window_rates(window)
            continue
        by_source = {}
        for run in lean:
            by_source.setdefault(id(run.source), (run.source, []))[1].append(run)
        for source, runs in by_source.values():
            read_now = jobs(source.store, [run.job for run in runs],
                            {run.job: run.path for run in runs}, source.workers,
                            source.slow_pct)
            for run in runs:
                run.tests, run.record = read_now[run.job].tests, read_now[run.job].record
                run.rates = {}


def _problems(store, units, spelled):
    """{unit id: [Problem]} as reading said them, naming the files as
    `spelled` ({unit id: (main path, kind)})."""
    found = {}
    for chunk, marks in _chunks(units):
        for unit, path, message, failure in store.rows(
                f"SELECT file_id, path, message, failure FROM problems WHERE file_id IN "
                f"({marks}) ORDER BY file_id, seq", chunk):
            main, kind = spelled[unit]
            named = run_record.record_path(main) if path == "1" else main
            found.setdefault(unit, []).append(Problem(named, message, bool(failure)))
    return found


KINDS = ("manifest", "report", "record")


def _manifests(store, units):
    """{file id: document} of the manifests read from the files `units`."""
    found = {}
    for chunk, marks in _chunks(units):
        for file_id, document in store.rows(
                f"SELECT file_id, document FROM manifests WHERE file_id IN ({marks})", chunk):
            found[file_id] = json.loads(document)
    return found


def items(store, found, workers=True, slow_pct=None, source=None, ids=None, texts=None):
    """{kind: [(manifest, run or failed job; or None, problems)]} of the
    files `found` ({kind: [path]}, KINDS), as reading makes them, from the
    store (filled with them); with a `source`, runs lean (lean_jobs);
    `ids`: {path text: file id} of the store's files where known, `texts`:
    the path texts of the files found where known (Plan)."""
    spelled, unit_of, ids, text_of = {}, {}, ids or {}, {}
    for kind in KINDS:
        texts_now = text_of[kind] = (texts[kind] if texts else
                                     [_path_text(path) for path in found[kind]])
        for text in texts_now:
            if text in ids:
                unit_of[text] = ids[text]
        for chunk, marks in _chunks([text for text in texts_now if text not in unit_of]):
            for file_id, text in store.rows(
                    f"SELECT id, path FROM files WHERE path IN ({marks})", chunk):
                unit_of[text] = file_id
        for path, text in zip(found[kind], texts_now):
            if text not in unit_of:
                raise StoreError(f"{shown(path)} is not in the store after its fill")
            spelled[unit_of[text]] = (path, kind)
    job_of, loaded, documents, problems = _held(store, spelled, workers, slow_pct, source)
    out = {}
    for kind in KINDS:
        out[kind] = []
        for path, text in zip(found[kind], text_of[kind]):
            unit = unit_of[text]
            if kind == "manifest":
                item = model.Manifest(path, documents[unit]) if unit in documents else None
            else:
                item = loaded[job_of[unit]] if unit in job_of else None
            out[kind].append((item, [Problem(path if problem.path == spelled[unit][0] else
                                             problem.path, problem.message, problem.failure)
                                     for problem in problems.get(unit, [])]))
    return out


def _held(store, spelled, workers, slow_pct, source):
    """What the store holds of the files `spelled` ({file id: (path,
    kind)}): {file id: job id}, {job id: run or failed job}, {file id:
    manifest document}, {file id: [Problem]}."""
    job_of = {}
    for chunk, marks in _chunks(spelled):
        for job, file_id in store.rows(f"SELECT id, file_id FROM jobs WHERE file_id IN ({marks})",
                                       chunk):
            job_of[file_id] = job
    paths = {job: spelled[file_id][0] for file_id, job in job_of.items()}
    loaded = (lean_jobs(store, job_of.values(), paths, source) if source else
              jobs(store, job_of.values(), paths, workers, slow_pct))
    documents = _manifests(store, [unit for unit, (_, kind) in spelled.items()
                                   if kind == "manifest"])
    problems = _problems(store, spelled, spelled)
    return job_of, loaded, documents, problems


def clusters(store):
    """The clusters whose runs, failed jobs or manifests the store holds."""
    return [row[0] for row in store.rows("SELECT DISTINCT cluster FROM files WHERE unit = id "
                                         "ORDER BY 1")]


def everything(store, cluster, workers=True, slow_pct=None, source=None):
    """The Reading of every file of `cluster` in the store (manifests, then
    results files, then failed jobs' records, each in the order of their
    paths, as a directory lists them), named by their paths."""
    files = store.rows("SELECT id, path, kind FROM files WHERE cluster = ? AND unit = id",
                       (cluster,))
    spelled = {file_id: (_path_of(text), kind) for file_id, text, kind in files}
    job_of, loaded, documents, problems = _held(store, spelled, workers, slow_pct, source)
    found = Reading()
    into = {"manifest": found.manifests, "report": found.runs, "record": found.failed_jobs}
    for file_id, (path, kind) in sorted(spelled.items(), key=lambda item: (
            KINDS.index(item[1][1]), item[1][0])):
        found.problems += problems.get(file_id, [])
        if kind == "manifest" and file_id in documents:
            into[kind].append(model.Manifest(path, documents[file_id]))
        elif file_id in job_of:
            into[kind].append(loaded[job_of[file_id]])
    return found


# ---- The command line's files, through a store -------------------------------------------

@dataclass
class Outcome:
    """What the command line's files (or store) hold, the warnings about
    the stores on the way, and the error that left nothing to read (the
    exit status is then 2)."""
    reading: Optional[Reading]
    warnings: list = field(default_factory=list)
    error: Optional[str] = None


def _open_for_files(url, rebuild, where):
    """(the store at `url`, warnings) for a fill from the files; a SQLite
    store that fails its check is made again. Raises StoreError or OSError
    where there is none to be had."""
    warnings = []
    if not is_postgresql(url):
        if rebuild:
            remove_sqlite(url)
        try:
            return open_sqlite(url), warnings
        except DamagedStore as error:
            warnings.append(f"{shown(where)}: the store {error}: made again from the results "
                            "files")
            remove_sqlite(url)
            return open_sqlite(url), warnings
    return open_postgresql(url), warnings


def _through(store, found, cluster, directories, rebuild, workers, slow_pct, lean=False,
             listed=None):
    """({kind: items}, the Source of lean runs or None) of the files
    `found`, read through `store`; `lean`: runs lean (lean_jobs), the store
    left open for them; `listed`: the directories as reading listed them."""
    if rebuild and store.dialect is schema.PostgreSQL:
        with store.writing():
            _forget(store, [text for kind in KINDS for path in found[kind]
                            for text, _ in _current(kind, path)])
            _next_generation(store)
    # The files are checked in the read transaction that reads them where
    # none is read anew: what the check saw is what is read. A store whose
    # listing of a directory misleads (a fill killed between its forgetting
    # and its writing, a second fill's rows of files gone since) is checked
    # file by file.
    for trust in (True, False):
        stack = contextlib.ExitStack()
        try:
            stack.enter_context(store.reading())
            plan = _plan(store, found, directories, trust, listed)
            ids = plan.ids
            if plan.work():
                stack.close()
                fill_planned(store, found, cluster, plan)
                stack.enter_context(store.reading())
                ids = None
            source = Source(store, stack, workers, slow_pct) if lean else None
            try:
                got = items(store, found, workers, slow_pct, source, ids, plan.texts)
            except StoreError:
                if plan.check is None:
                    raise
                got = None
            finally:
                stands = plan.check is None or plan.check.confirmed()
            if got is not None and stands:
                return got, source
            stack.close()
        finally:
            if not lean:
                stack.close()
    raise AssertionError("the second check is file by file")


def _next_generation(store):
    store.run("UPDATE meta SET value = ? WHERE key = 'generation'",
              (str(_generation(store) + 1),))


def _corrupt(error):
    """Whether an error says the SQLite file is damaged."""
    import sqlite3
    return isinstance(error, DamagedStore) or type(error) is sqlite3.DatabaseError


def read(paths, options, workers=True, slow_pct=None, lean=False):
    """The Outcome of the command line's `paths` (files and directories):
    through the store --store names, else each directory's own, else (and
    with --no-store) the files alone; with no paths, every run of the
    cluster in the store --store names. `lean`: runs from a store are
    StoredRun, to be made whole where wanted with complete()."""
    if options.off or (not paths and not options.url):
        return Outcome(reading.read(paths, workers, slow_pct))
    errors = _database_errors()
    if not paths:
        return _stored_only(options, workers, slow_pct, errors, lean)
    listed = {}
    reports, records, manifests, problems = reading.inputs(paths, listed)
    found = dict(zip(KINDS, (manifests, reports, records)))
    groups = {}  # store url: (where, {kind: [indexes]}, directories)
    if options.url:
        groups[options.url] = (options.url, {kind: list(range(len(found[kind])))
                                             for kind in KINDS}, ())
    else:
        folders = {os.path.abspath(path): path for path in paths if os.path.isdir(path)}
        for kind in KINDS:
            for n, path in enumerate(found[kind]):
                folder = _absolute(_split(path)[0])
                if folder in folders:
                    url = os.path.join(folders[folder], DEFAULT_NAME)
                    groups.setdefault(url, (folders[folder], {mine: [] for mine in KINDS},
                                            (folder,)))[1][kind].append(n)
    out = {kind: [None] * len(found[kind]) for kind in KINDS}
    warnings = []
    for url, (where, indexes, directories) in groups.items():
        mine = {kind: [found[kind][n] for n in indexes[kind]] for kind in KINDS}
        got = None
        for attempt in (1, 2):
            store = None
            try:
                store, said = _open_for_files(url, options.rebuild, where)
                warnings += said
                got, source = _through(store, mine, options.fill_cluster(), directories,
                                       options.rebuild, workers, slow_pct, lean, listed)
                if source is not None:
                    store = None  # open for its lean runs until the process ends
                break
            except (StoreError, OSError, *errors) as error:
                text = getattr(error, "strerror", None) or str(error).strip().splitlines()[0]
                if attempt == 1 and not is_postgresql(url) and _corrupt(error):
                    if store is not None:
                        store.close()
                        store = None
                    remove_sqlite(url)
                    warnings.append(f"{shown(where)}: the store fails its check: {text}: "
                                    "made again from the results files")
                    continue
                what = ("cannot keep a store in this directory" if not options.url else
                        f"the store {shown_url(url)}")
                warnings.append(f"{shown(where)}: {what}: {text}; read the files alone")
                break
            finally:
                if store is not None:
                    store.close()
        if got is not None:
            for kind in KINDS:
                for n, item in zip(indexes[kind], got[kind]):
                    out[kind][n] = item
    rest = {kind: [n for n, item in enumerate(out[kind]) if item is None] for kind in KINDS}
    if any(rest.values()):
        read_manifests = reading.read_manifests([found["manifest"][n] for n in rest["manifest"]])
        read_runs, read_jobs = reading.read_items([found["report"][n] for n in rest["report"]],
                                                  [found["record"][n] for n in rest["record"]],
                                                  workers, slow_pct)
        for kind, read_now in zip(KINDS, (read_manifests, read_runs, read_jobs)):
            for n, item in zip(rest[kind], read_now):
                out[kind][n] = item
    return Outcome(reading.assemble(problems, *(out[kind] for kind in KINDS)), warnings)


def _stored_only(options, workers, slow_pct, errors, lean=False):
    """Every run of one cluster in the store --store names, and no file."""
    url = options.url
    store = None
    try:
        store = open_url(url, create=False)
        stack = contextlib.ExitStack()
        stack.enter_context(store.reading())
        source = Source(store, stack, workers, slow_pct) if lean else None
        with contextlib.nullcontext() if lean else stack:
            names = clusters(store)
            if options.cluster is not None:
                if options.cluster not in names:
                    return Outcome(None, error=f"{shown_url(url)}: no run of the cluster "
                                               f"{shown(options.cluster)!r} in the store")
                cluster = options.cluster
            elif len(names) > 1:
                return Outcome(None, error=f"{shown_url(url)}: the store holds the runs of "
                                           f"the clusters {', '.join(map(repr, names))}: "
                                           "name one with --cluster NAME")
            else:
                cluster = names[0] if names else ""
            found = everything(store, cluster, workers, slow_pct, source)
            if source is not None:
                store = None  # open for its lean runs until the process ends
            return Outcome(found)
    except StoreError as error:
        return Outcome(None, error=f"{shown_url(url)}: the store {error}" + (
            "; make it again from the results files with --rebuild and the files"
            if isinstance(error, DamagedStore) else ""))
    except (OSError, *errors) as error:
        text = getattr(error, "strerror", None) or str(error).strip().splitlines()[0]
        return Outcome(None, error=f"{shown_url(url)}: the store fails its check: {text}; "
                                   "make it again from the results files with --rebuild and "
                                   "the files")
    finally:
        if store is not None:
            store.close()
