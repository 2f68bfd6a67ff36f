"""The results store (tools/processors64/store.py), as users meet it: every
sub-command gives through the store what it gives from the files alone,
on made-up series; a directory read again reads only what is new or
changed; fills at once, a killed fill, a store cut short, a directory that
cannot be written; and a PostgreSQL store that several clusters share,
read with no files. The PostgreSQL tests start a throwaway server of
Debian's postgresql as the postgres user on a Unix socket in a temporary
directory, and stop it; they are skipped where it is not installed."""

import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zlib
from array import array
from datetime import datetime, timedelta

import pytest

import made_up

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "results.py")
STORE = ".processors64.sqlite"
NODES = [f"n{n}" for n in range(1, 13)]
COMMANDS = (["verdict"], ["verdict", "--format", "json"], ["verdict", "--slow", "15"],
            ["history"], ["history", "--format", "csv"], ["summary"], ["compare"],
            ["export", "--format", "json"], ["export", "--format", "csv"],
            ["export", "--format", "prometheus"], ["export", "--format", "prometheus",
                                                   "--slow", "20"])
SERIES = {
    "slow host": {"newest": {"n3": 0.7}},
    "failed group": {"newest": {"n5": 0.8}, "failed": (2,)},
    "runs by hand": {"newest": {"n7": 0.75}, "ids": False},
    "one-node jobs": {"newest": {"n2": 0.7}, "nodes_per_job": 1},
}


def tool(*args, env=None, user=None):
    """(exit status, standard output, standard error) of the tool run as a
    user would; `user`: as that unprivileged user id."""
    command = [sys.executable, TOOL, *args]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + command
    job = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                         env=dict(os.environ, **(env or {})), timeout=300)
    assert "Traceback" not in job.stderr, f"{args}: a traceback: {job.stderr}"
    return job.returncode, job.stdout, job.stderr


def series(directory, name):
    settings = dict(SERIES[name])
    made_up.write_weeks(str(directory), NODES, settings.pop("newest"), weeks=5, **settings)
    return str(directory)


def files_rows(store_path):
    with sqlite3.connect(store_path) as connection:
        return sorted(connection.execute("SELECT path, size, mtime_ns, sha256 FROM files"))


def as_version_1(connection, mark="?"):
    """Makes a store look as version 1 of its schema left it: every
    worker's numbers as doubles, no lean rows, no listings."""
    for job, test, written in connection.execute("SELECT job_id, test, written FROM rates "
                                                 "WHERE written IS NOT NULL").fetchall():
        seconds, rates = (array("d", map(float, line.split()))
                          for line in zlib.decompress(bytes(written)).split(b"\n"))
        connection.execute(f"UPDATE rates SET seconds = {mark}, rates = {mark} WHERE "
                           f"job_id = {mark} AND test = {mark}",
                           (seconds.tobytes(), rates.tobytes(), job, test))
    for statement in ("ALTER TABLE rates DROP COLUMN written", "ALTER TABLE jobs DROP COLUMN lean",
                      "ALTER TABLE jobs DROP COLUMN lean_rates", "DROP TABLE listings",
                      "DELETE FROM meta WHERE key = 'generation'",
                      "UPDATE meta SET value = '1' WHERE key = 'version'"):
        connection.execute(statement)


# ---- The same answers --------------------------------------------------------------------

@pytest.mark.parametrize("name", list(SERIES))
def test_store_answers_as_the_files(tmp_path, name):
    """Each sub-command through the store, filled anew and read again,
    says what it says from the files alone, word for word."""
    directory = series(tmp_path / "runs", name)
    for command in COMMANDS:
        files = tool(*command, "--no-store", directory)
        assert files[0] in (0, 1, 3), f"{name}: {command}: {files}"
        first = tool(*command, directory)
        again = tool(*command, directory)
        assert first == files, f"{name}: {command}: the store's first fill differs"
        assert again == files, f"{name}: {command}: read from the store, it differs"
    assert os.path.isfile(os.path.join(directory, STORE))
    no_files = tool("verdict", "--store", os.path.join(directory, STORE))
    assert no_files == tool("verdict", "--no-store", directory), (
        f"{name}: verdict from the store alone differs")


def test_what_changed_on_a_flagged_node(tmp_path):
    """What changed on a flagged node since its previous window (the store
    reads that window's records only when asked) and the page, through the
    store as from the files."""
    directory = str(tmp_path / "runs")
    made_up.write_weeks(directory, NODES, {"n3": 0.7},
                        records={"n3": made_up.node_record("n3", microcode="0xa0011ff")})
    files = tool("verdict", "--no-store", directory)
    assert "microcode 0xa0011d1 -> 0xa0011ff" in files[1], files
    for command in (["verdict"], ["verdict", "--format", "json"]):
        assert tool(*command, directory) == tool(*command, "--no-store", directory), command
    pages = []
    for how in (["--no-store"], [], []):
        page = str(tmp_path / f"page{len(pages)}.html")
        assert tool("html", "--out", page, *how, directory)[0] == files[0]
        with open(page, encoding="utf-8") as f:
            pages.append(f.read())
    assert pages[0] == pages[1] == pages[2]


def test_read_again_reads_only_what_changed(tmp_path):
    """A file whose size and date did not change is not read again; a
    changed file is; a file only touched is known by its content; a file
    removed from the directory leaves the store."""
    directory = series(tmp_path / "runs", "slow host")
    before = tool("verdict", directory)
    stored = files_rows(os.path.join(directory, STORE))
    newest = sorted(name for name in os.listdir(directory) if name.endswith(".txt"))[-1]
    path = os.path.join(directory, newest)
    found = os.stat(path)
    with open(path, "rb") as f:
        text = f.read()
    # Same size, same date: the store does not read it, so this cannot show.
    with open(path, "wb") as f:
        f.write(text.replace(b"Thread(s):", b"Threadxs):", 1))
    os.utime(path, ns=(found.st_atime_ns, found.st_mtime_ns))
    assert tool("verdict", directory) == before, "a file of the same size and date was read"
    assert files_rows(os.path.join(directory, STORE)) == stored
    # Changed: read again, as the files alone read it (now a bad file).
    os.utime(path, ns=(found.st_atime_ns, found.st_mtime_ns + 10 ** 9))
    changed = tool("verdict", directory)
    assert changed == tool("verdict", "--no-store", directory)
    assert changed[0] == 2 and "Threadxs" in changed[2], changed
    # Back as it was, touched: the answer of before, its content hash known.
    with open(path, "wb") as f:
        f.write(text)
    assert tool("verdict", directory) == before
    # Removed: gone from the store's answers as from the files'.
    os.unlink(path)
    assert tool("history", directory) == tool("history", "--no-store", directory)
    assert tool("verdict", "--store", os.path.join(directory, STORE)) == \
        tool("verdict", "--no-store", directory)


def test_a_host_measured_twice_in_an_earlier_window(tmp_path):
    """A node a sweep measured twice in one window (its job run again an
    hour later, slower): its first job's rate counts, from the store's
    lean rows of that window as from the files."""
    directory = str(tmp_path / "runs")
    made_up.write_weeks(directory, NODES, {"n3": 0.7}, shape="named", nodes_per_job=1)
    made_up.write_window(directory, ["n5"], 4, 1, datetime(2026, 11, 23, 7, 0, 0),
                         window_id="week-4", factors={"n5": 0.5}, seed=9, shape="named")
    for command in (["history", "--format", "csv"], ["verdict"], ["history"]):
        files = tool(*command, "--no-store", directory)
        assert tool(*command, directory) == files, command
        assert tool(*command, directory) == files, command


def test_workers_numbers_as_written(tmp_path):
    """Every worker's seconds and rate come back from the store as reading
    the results file gives them, however the report writes them (nan, inf,
    exponents, many digits), and the store keeps them as written."""
    hosts = made_up.cluster_hosts(2, 4)
    rates = {test: list(row) for test, row in made_up.worker_rates(hosts, 3).items()}
    for row in rates.values():
        row[1:6] = [float("nan"), float("inf"), 1.5e-05, 123456789.0, 2.0]
    made_up.write_run(str(tmp_path), hosts, rates)
    for command in (["export", "--format", "json"], ["export", "--format", "csv"],
                    ["summary"], ["verdict", "--slow", "15"]):
        files = tool(*command, "--no-store", str(tmp_path))
        assert files[0] in (0, 1, 3) and tool(*command, str(tmp_path)) == files, command
        assert tool(*command, "--store", str(tmp_path / STORE)) == files, command
    with sqlite3.connect(tmp_path / STORE) as connection:
        kept = connection.execute("SELECT written, seconds FROM rates").fetchall()
    assert kept and all(written and seconds == b"" for written, seconds in kept)
    seconds_line, rates_line = zlib.decompress(kept[0][0]).split(b"\n")
    assert rates_line.split()[1:6] == [b"nan", b"inf", b"1.5e-05", b"1.23457e+08", b"2"]


def test_listing_taken_at_its_word_and_a_store_of_the_first_schema(tmp_path):
    """A directory whose files are as the store last listed them is not
    checked file by file, yet a store that lost a file's rows behind its
    listing answers as the files; and a store made before each run's lean
    row was kept (schema version 1) is brought up to date in place, its
    runs' rows worked out from its tables, with no file to read again."""
    directory = series(tmp_path / "runs", "failed group")
    store = os.path.join(directory, STORE)
    expected = {command: tool(*command, "--no-store", directory)
                for command in (("verdict",), ("history",))}
    assert tool("verdict", directory) == expected[("verdict",)]
    with sqlite3.connect(store) as connection:
        assert connection.execute("SELECT COUNT(*) FROM listings").fetchone()[0] == 1
        newest = connection.execute("SELECT file_id FROM jobs ORDER BY unix_time DESC "
                                    "LIMIT 1").fetchone()[0]
        connection.execute("DELETE FROM jobs WHERE file_id = ?", (newest,))
        connection.execute("DELETE FROM files WHERE id = ? OR unit = ?", (newest, newest))
    assert tool("verdict", directory) == expected[("verdict",)]
    assert tool("verdict", "--store", store) == expected[("verdict",)]

    with sqlite3.connect(store) as connection:
        as_version_1(connection)
    for command, answer in expected.items():
        assert tool(*command, "--store", store) == answer, command
    with sqlite3.connect(store) as connection:
        assert connection.execute("SELECT value FROM meta WHERE key = 'version'").fetchone() \
            == ("2",)
        assert connection.execute("SELECT COUNT(*) FROM jobs WHERE report = 1 AND (lean IS NULL "
                                  "OR lean_rates IS NULL)").fetchone() == (0,)
    assert tool("verdict", directory) == expected[("verdict",)]


def test_fills_at_once(tmp_path):
    """Two fills of one new store at once: both answer right, each file is
    in the store once."""
    directory = series(tmp_path / "runs", "failed group")
    expected = tool("history", "--no-store", directory)
    for _ in range(3):
        jobs = [subprocess.Popen([sys.executable, TOOL, "history", directory],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 stdin=subprocess.DEVNULL) for _ in range(2)]
        for job in jobs:
            out, err = job.communicate(timeout=300)
            assert (job.returncode, out, err) == expected
        rows = files_rows(os.path.join(directory, STORE))
        assert len(rows) == len({row[0] for row in rows}) == len(
            [name for name in os.listdir(directory) if not name.startswith(".")])
        for name in os.listdir(directory):
            if name.startswith(STORE):
                os.unlink(os.path.join(directory, name))


def test_killed_fill_and_a_store_cut_short(tmp_path):
    """A fill killed part way leaves no shorter history behind; a store cut
    short is made again from the files with one warning, or named with
    exit status 2 where no files are given."""
    directory = series(tmp_path / "runs", "slow host")
    for week in range(5, 25):  # enough files for the fill to take a while
        made_up.write_window(directory, NODES, 4, 4, datetime(2026, 12, 7) +
                             timedelta(days=7 * (week - 5)), window_id=str(2000 + week))
    expected = tool("verdict", "--no-store", directory)
    for delay in (0.3, 0.8, 1.5, 2.5):
        job = subprocess.Popen([sys.executable, TOOL, "verdict", directory],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL, start_new_session=True)
        time.sleep(delay)
        os.killpg(job.pid, signal.SIGKILL)
        job.wait()
        assert tool("verdict", directory) == expected, f"killed after {delay} s"
        assert tool("verdict", "--store", os.path.join(directory, STORE)) == expected
    store = os.path.join(directory, STORE)
    size = os.path.getsize(store)
    with open(store, "r+b") as f:
        f.truncate(size // 2 + 100)
    alone = tool("verdict", "--store", store)
    assert alone[0] == 2 and alone[1] == "" and len(alone[2].splitlines()) == 1, alone
    assert "fails its check" in alone[2] and STORE in alone[2], alone
    status, out, err = tool("verdict", directory)
    assert (status, out) == expected[:2]
    assert len(err.splitlines()) == 1 and "fails its check" in err and "made again" in err, err
    assert tool("verdict", directory) == expected
    with open(store, "wb") as f:
        f.write(b"not a database at all" * 300)
    status, out, err = tool("verdict", directory)
    assert (status, out) == expected[:2] and "made again" in err, err


def test_directory_not_writable(tmp_path):
    """Where the directory cannot be written, the files are read as without
    a store, with one warning."""
    top = tempfile.mkdtemp(prefix="processors64-store-")
    try:
        os.chmod(top, 0o755)
        directory = series(os.path.join(top, "runs"), "slow host")
        for name in os.listdir(directory):
            os.chmod(os.path.join(directory, name), 0o644)
        os.chmod(directory, 0o555)
        expected = tool("verdict", "--no-store", directory, user=65534)
        assert expected[0] == 1, expected
        status, out, err = tool("verdict", directory, user=65534)
        assert (status, out) == expected[:2]
        assert len(err.splitlines()) == 1 and "cannot keep a store" in err, err
        assert not os.path.exists(os.path.join(directory, STORE))
    finally:
        os.chmod(os.path.join(top, "runs"), 0o755)
        shutil.rmtree(top)


def test_rebuild_and_usage(tmp_path):
    """--rebuild makes the store again; what is no use is a usage error."""
    directory = series(tmp_path / "runs", "one-node jobs")
    expected = tool("history", "--no-store", directory)
    assert tool("history", directory) == expected
    assert tool("history", "--rebuild", directory) == expected
    for args in (["verdict"], ["verdict", "--rebuild", "--store", str(tmp_path / "s")],
                 ["verdict", "--no-store", "--rebuild", directory]):
        status, out, err = tool(*args)
        assert status == 2 and out == "" and len(err.splitlines()) == 1, (args, err)
    status, out, err = tool("verdict", "--store", str(tmp_path / "none.sqlite"))
    assert status == 2 and "no such store" in err, err


# ---- PostgreSQL ------------------------------------------------------------------------------

PG_BIN = "/usr/lib/postgresql/15/bin"


@pytest.fixture(scope="module")
def postgresql():
    """The URL of a throwaway PostgreSQL server: a cluster made by initdb
    as the postgres user, listening on a Unix socket only, stopped at the
    end (after a failure too)."""
    try:
        import psycopg  # noqa: F401
    except ImportError:
        pytest.skip("no python3-psycopg (apt-get install python3-psycopg)")
    if not os.path.exists(os.path.join(PG_BIN, "initdb")):
        pytest.skip("PostgreSQL 15 is not installed (apt-get install postgresql)")
    if os.geteuid() != 0:
        pytest.skip("starting the server as the postgres user needs root")
    top = tempfile.mkdtemp(prefix="processors64-pg-")
    shutil.chown(top, "postgres", "postgres")
    data, socket_dir = os.path.join(top, "data"), top

    def as_postgres(*command):
        return subprocess.run(["runuser", "-u", "postgres", "--", *command], capture_output=True,
                              text=True, stdin=subprocess.DEVNULL, timeout=120)

    made = as_postgres(os.path.join(PG_BIN, "initdb"), "-D", data, "-A", "trust", "-U",
                       "postgres")
    assert made.returncode == 0, made.stderr
    started = as_postgres(os.path.join(PG_BIN, "pg_ctl"), "-D", data, "-w", "-l",
                          os.path.join(top, "log"), "-o",
                          f"-c listen_addresses='' -k {socket_dir}", "start")
    try:
        assert started.returncode == 0, started.stderr + open(os.path.join(top, "log")).read()
        yield f"postgresql://postgres@/postgres?host={urllib.parse.quote(socket_dir, safe='')}"
    finally:
        as_postgres(os.path.join(PG_BIN, "pg_ctl"), "-D", data, "-m", "immediate", "stop")
        shutil.rmtree(top, ignore_errors=True)


def test_postgresql_two_clusters(tmp_path, postgresql):
    """Two clusters in one PostgreSQL store, kept apart by their names: each
    judged from the store alone as from its files; with both there,
    verdict asks which."""
    one = series(tmp_path / "one", "slow host")
    two = series(tmp_path / "two", "failed group")
    expected = {}
    for directory, cluster, env in ((one, ["--cluster", "alpha"], {}),
                                    (two, [], {"SLURM_CLUSTER_NAME": "beta"})):
        for command in (["verdict"], ["history"], ["export", "--format", "prometheus"]):
            files = tool(*command, "--no-store", os.path.abspath(directory))
            assert tool(*command, "--store", postgresql, *cluster, directory, env=env) == files
        expected[directory] = tool("verdict", "--no-store", os.path.abspath(directory))
    assert not os.path.exists(os.path.join(one, STORE))
    expected_one = expected[one]
    assert tool("verdict", "--store", postgresql, "--cluster", "alpha") == expected_one
    assert tool("verdict", "--format", "json", "--store", postgresql, "--cluster", "beta") == \
        tool("verdict", "--format", "json", "--no-store", os.path.abspath(two))
    status, out, err = tool("verdict", "--store", postgresql)
    assert status == 2 and "alpha" in err and "beta" in err and "--cluster" in err, err
    status, out, err = tool("verdict", env={"PROCESSORS64_STORE": postgresql},
                            *["--cluster", "gamma"])
    assert status == 2 and "gamma" in err, err
    # Two fills of one cluster at once: both right, nothing twice.
    three = series(tmp_path / "three", "runs by hand")
    expected = tool("history", "--no-store", os.path.abspath(three))
    jobs = [subprocess.Popen([sys.executable, TOOL, "history", "--store", postgresql,
                              "--cluster", "gamma", os.path.abspath(three)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             stdin=subprocess.DEVNULL) for _ in range(2)]
    for job in jobs:
        out, err = job.communicate(timeout=300)
        assert (job.returncode, out, err) == expected
    assert tool("history", "--store", postgresql, "--cluster", "gamma") == expected
    # A store of version 1 brought up to date in place, from its tables alone.
    import psycopg
    with psycopg.connect(postgresql, autocommit=True) as connection:
        as_version_1(connection, "%s")
    assert tool("history", "--store", postgresql, "--cluster", "gamma") == expected
    assert tool("verdict", "--store", postgresql, "--cluster", "alpha") == expected_one
