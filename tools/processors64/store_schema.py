"""The results store's tables, their version and migrations, and the few
ways SQLite and PostgreSQL differ: everything else in store.py is the same
SQL on both.

Tables (the facts the tools query, as columns):

    meta         key, value: the schema's version, the --slow of the figures
    files        every file read: path, size, mtime_ns, sha256, and the file
                 it was read with (a run record is read with its results file);
                 of a file read on its own, what it was read as and its cluster
    problems     what reading a file said (warnings, failures), replayed as read
    windows      a window key of the run records: cluster, name (its id),
                 named, array, job count, and every node of it (one row however
                 many jobs share it)
    jobs         a job: its results file (a run) or its record alone (a
                 failed job); cluster, master, date, processes, where its
                 report ends, its window and group, its start, its exit status,
                 its run record (without the window's nodes, kept once above),
                 and what grouping it into windows and judging the windows
                 after it need (lean, lean_rates: store._lean_of): its
                 workers' hosts, its nodes' hosts, and each host's rate in
                 the first test of each name
    tests        a streaming test of a run: baseline, overall, improvement, mean
    stretches    the hosts of a test's workers in rank order (host, first, end);
                 a test whose workers ran where the test before's did has none
    figures      one host in one test of one run: workers, rate (median of the
                 common form), lowest, median, highest
    slow_workers the slow workers of those figures (rank, rate)
    rates        every worker's seconds and rate of a test, as doubles; or
                 (`written`, where read from a whole results file) as the
                 file writes them, the seconds' line and the rates' line
                 compressed (zlib), the doubles then empty: a third of
                 their size, read back to the same numbers
    nodes        the node records: host, CPU, microcode, kernel, ...
    manifests    a window manifest: its window, cluster, when made, its document
    listings     a directory read whole, and the digest of the names, sizes and
                 dates of the files read in it when the store last held them
                 all (store._listings): a directory whose files are as they
                 were is not checked file by file
    meta         also `generation`, counted up by every fill: a listing's
                 digest is kept only by the fill or check that saw the store
                 of that generation

Figures hold slow workers by forms.SLOW; another --slow works them out
again from the rates.
"""

VERSION = 2

# {version: statements that bring the version before it to it}; version 1
# is made whole. A statement's {id}, {blob} are the dialect's. Version 2
# adds jobs.lean and lean_rates, which store.py then works out from the tables of each job
# (store.MIGRATED).
MIGRATIONS = {
    1: [
        "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
        """CREATE TABLE files (
            id {id}, path TEXT NOT NULL UNIQUE, size BIGINT NOT NULL,
            mtime_ns BIGINT NOT NULL, sha256 TEXT NOT NULL, unit BIGINT, kind TEXT,
            cluster TEXT)""",
        "CREATE INDEX files_unit ON files (unit)",
        "CREATE INDEX files_cluster ON files (cluster, kind)",
        """CREATE TABLE problems (
            file_id BIGINT NOT NULL, seq INTEGER NOT NULL, path TEXT NOT NULL,
            message TEXT NOT NULL, failure INTEGER NOT NULL, PRIMARY KEY (file_id, seq))""",
        """CREATE TABLE windows (
            id {id}, cluster TEXT NOT NULL, name TEXT NOT NULL, is_named INTEGER NOT NULL,
            is_array INTEGER NOT NULL, job_count INTEGER NOT NULL, nodes_sha256 TEXT NOT NULL,
            nodes TEXT NOT NULL,
            UNIQUE (cluster, name, is_named, is_array, job_count, nodes_sha256))""",
        """CREATE TABLE jobs (
            id {id}, file_id BIGINT NOT NULL UNIQUE, cluster TEXT NOT NULL,
            report INTEGER NOT NULL, console_log INTEGER NOT NULL, nproc INTEGER,
            zone TEXT, local_time TEXT, master TEXT, named INTEGER NOT NULL,
            ends TEXT, ef_overall DOUBLE PRECISION, ef_mean DOUBLE PRECISION,
            unix_time DOUBLE PRECISION, window_id BIGINT, window_group INTEGER,
            exit_status INTEGER, odd_numbers INTEGER NOT NULL, record TEXT)""",
        "CREATE INDEX jobs_cluster_time ON jobs (cluster, unix_time)",
        "CREATE INDEX jobs_window ON jobs (window_id, window_group)",
        """CREATE TABLE tests (
            job_id BIGINT NOT NULL, test INTEGER NOT NULL, name TEXT NOT NULL,
            baseline_seconds DOUBLE PRECISION, baseline_rate DOUBLE PRECISION,
            overall DOUBLE PRECISION, improvement DOUBLE PRECISION, mean DOUBLE PRECISION,
            workers INTEGER NOT NULL, hosts_as_before INTEGER NOT NULL,
            PRIMARY KEY (job_id, test))""",
        """CREATE TABLE stretches (
            job_id BIGINT NOT NULL, test INTEGER NOT NULL, seq INTEGER NOT NULL,
            host TEXT NOT NULL, first_rank INTEGER NOT NULL, end_rank INTEGER NOT NULL,
            PRIMARY KEY (job_id, test, seq))""",
        """CREATE TABLE figures (
            job_id BIGINT NOT NULL, test INTEGER NOT NULL, seq INTEGER NOT NULL,
            host TEXT NOT NULL, workers INTEGER NOT NULL, rate DOUBLE PRECISION,
            low DOUBLE PRECISION, middle DOUBLE PRECISION, high DOUBLE PRECISION,
            PRIMARY KEY (job_id, test, seq))""",
        "CREATE INDEX figures_host ON figures (host, test)",
        """CREATE TABLE slow_workers (
            job_id BIGINT NOT NULL, test INTEGER NOT NULL, seq INTEGER NOT NULL,
            rank INTEGER NOT NULL, rate DOUBLE PRECISION, PRIMARY KEY (job_id, test, rank))""",
        """CREATE TABLE rates (
            job_id BIGINT NOT NULL, test INTEGER NOT NULL, seconds {blob} NOT NULL,
            rates {blob} NOT NULL, PRIMARY KEY (job_id, test))""",
        """CREATE TABLE nodes (
            job_id BIGINT NOT NULL, seq INTEGER NOT NULL, host TEXT NOT NULL,
            cpu_vendor TEXT, cpu_model TEXT, microcode TEXT, logical_cpus INTEGER,
            cores INTEGER, sockets INTEGER, numa_nodes INTEGER, memory_bytes BIGINT,
            kernel TEXT, os TEXT, error TEXT, PRIMARY KEY (job_id, seq))""",
        "CREATE INDEX nodes_host ON nodes (host)",
        """CREATE TABLE manifests (
            id {id}, file_id BIGINT NOT NULL UNIQUE, cluster TEXT NOT NULL,
            name TEXT NOT NULL, created TEXT, document TEXT NOT NULL)""",
        "CREATE INDEX manifests_window ON manifests (cluster, name)",
    ],
    2: ["ALTER TABLE jobs ADD COLUMN lean TEXT", "ALTER TABLE jobs ADD COLUMN lean_rates {blob}",
        "CREATE TABLE listings (directory TEXT PRIMARY KEY, digest TEXT NOT NULL)",
        "INSERT INTO meta (key, value) VALUES ('generation', '0')",
        "ALTER TABLE rates ADD COLUMN written {blob}"],
}

# The tables a job's rows are in, beside jobs itself.
JOB_TABLES = ("tests", "stretches", "figures", "slow_workers", "rates", "nodes")


class SQLite:
    """SQLite's words: ? parameters, rowid keys, BLOB, BEGIN IMMEDIATE
    (one writer at a time, the others wait for it)."""
    name = "sqlite"
    words = {"id": "INTEGER PRIMARY KEY", "blob": "BLOB"}
    begin_write = ("BEGIN IMMEDIATE",)
    nan_as_text = True  # SQLite keeps NaN as NULL: a NaN goes in as 'NaN'

    @staticmethod
    def sql(text):
        return text

    @staticmethod
    def blob(data):
        return data


class PostgreSQL:
    """PostgreSQL's words: %s parameters, identity keys, BYTEA, and an
    advisory lock that lets one fill write at a time."""
    name = "postgresql"
    words = {"id": "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", "blob": "BYTEA"}
    begin_write = ("BEGIN", "SELECT pg_advisory_xact_lock(6464)")
    nan_as_text = False

    @staticmethod
    def sql(text):
        return text.replace("%", "%%").replace("?", "%s")

    @staticmethod
    def blob(data):
        return bytes(data)


def statements(dialect, version):
    """The statements of one migration, in the dialect's words."""
    return [statement.format(**dialect.words) for statement in MIGRATIONS[version]]
