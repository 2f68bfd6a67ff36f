"""How the benchmark behaves when something goes wrong around it.

    python3 -m pytest faults.py::test_GROUP --binary PROGRAM [--mpiexec LAUNCHER]
        [--kind KIND] [--sanitized] [--as-root] [--cores N] [--cap N]
        [--iterations N] [--timeout SECONDS]

Groups (one CTest test each, a pytest case a case of the group):
  cap                 jobs larger than the master's cap run as a job of the cap
  results-file        read-only or full file system: the report goes on, exit 1
  results-file-fills  the file system fills up part way through the report
  planted-name        a link, FIFO, directory or earlier file at the results
                      file's name
  workdir             removed working directory, very long working directory
  stdin               the final prompt with standard input at EOF, with
                      several characters, held open, or closed
  singleton           the program started without the MPI launcher
  worker-killed       a worker killed during Effective Frequency (real program)

Every run gets standard input explicitly (never the test runner's), a bounded
wait, and a fresh directory. A group that cannot run here (no mount
namespaces, no loop devices) is skipped, and pytest's exit status is then 77.
"""

import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time

import pytest

import report  # tests/e2e, on PYTHONPATH
from processors64 import launchers
from run_e2e import rank_outputs, results_files

PROGRAM = "processors64_mpi_mac0"
NOT_SAVED = "Results could NOT be saved; the results file it tried to write was: "
UNKNOWN_DIRECTORY = " (in the working directory, whose path could not be determined)"
CANNOT_WRITE = re.compile(
    PROGRAM + r': cannot write the results file "(results_processors_lite_mac_clusters @ '
    r'.*? @ .*?\.txt)": ', re.S)


def cap_note(started, cap):
    return (f"{PROGRAM}: {started} processes were started; the master collects at most {cap}, "
            f"so ranks {cap} and above stayed idle.\n")


def write_error(name, reason):
    return f'{PROGRAM}: cannot write the results file "{name}": {reason}\n'


# ---- Running the program ----------------------------------------------------

class Runner:
    """Builds and runs the commands of one program build."""

    def __init__(self, args):
        self.binary = os.path.abspath(args.binary)
        self.mpi = launchers.Launcher(args.mpiexec, args.kind, args.cores, args.as_root)
        self.sanitized = args.sanitized
        self.cap = args.cap
        self.iterations = args.iterations
        self.timeout = args.timeout
        self.host = socket.gethostname()
        self.last = None  # the last run, shown when a case fails
        self.env = dict(os.environ)
        if self.sanitized:
            self.env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
            self.env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")

    def mpirun_command(self, np, ranks_dir=None, wrapper=()):
        """The program under its launcher; with `ranks_dir`, each rank's output
        is also kept there (see check_ranks)."""
        exports = ("ASAN_OPTIONS", "UBSAN_OPTIONS") if self.sanitized else ()
        return self.mpi.command(np, exports, ranks_dir, wrapper) + [self.binary]

    def singleton_env(self):
        """The environment of the program started without the launcher: its
        MPI library still wants what the launcher would need (root)."""
        return self.mpi.environment(1, self.env)

    def run(self, command, cwd, stdin_text=None, env=None, preexec=None):
        """Runs to the end with a bounded wait. Standard input is /dev/null
        unless `stdin_text` is given. The command gets a session of its own, so
        that on a timeout every process it started can be ended."""
        process = subprocess.Popen(
            command, cwd=cwd, env=env or self.env, start_new_session=True,
            stdin=subprocess.DEVNULL if stdin_text is None else subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec)
        try:
            out, err = process.communicate(
                None if stdin_text is None else stdin_text.encode(), timeout=self.timeout)
        except subprocess.TimeoutExpired:
            end_session(process)
            pytest.fail(f"still running after {self.timeout} s: {' '.join(command)}")
        out, err = self.mpi.console(command, decode(out), decode(err))
        self.last = subprocess.CompletedProcess(command, process.returncode, out, err)
        return self.last


def show_run(job):
    print("    command:", " ".join(job.args))
    for title, text in (("standard output", job.stdout), ("standard error", job.stderr)):
        lines = text.splitlines()
        print(f"    {title} ({len(lines)} lines, the last 40):")
        for line in lines[-40:]:
            print("      |", line)


def decode(data):
    return data.decode(errors="replace")


def end_session(process):
    """Ends a command started by Runner and everything it started."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.communicate()


class Reader(threading.Thread):
    """Collects a pipe's output while the test goes on."""

    def __init__(self, pipe):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.data = b""
        self.lock = threading.Lock()

    def run(self):
        for chunk in iter(lambda: os.read(self.pipe.fileno(), 65536), b""):
            with self.lock:
                self.data += chunk

    def text(self):
        with self.lock:
            return decode(self.data)

    def wait_for(self, needle, timeout):
        deadline = time.monotonic() + timeout
        while needle not in self.text():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True


def start_watched(command, cwd, env, stdin):
    """Starts `command` in a session of its own, its output read as it comes."""
    process = subprocess.Popen(command, cwd=cwd, env=env, start_new_session=True, stdin=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = Reader(process.stdout), Reader(process.stderr)
    out.start()
    err.start()
    return process, out, err


# ---- Checks -------------------------------------------------------------------

def expect_status(job, status):
    assert job.returncode == status, f"exit status {job.returncode}, expected {status}"


def check_saved(runner, job, directory, nproc):
    """A complete run that saved its one results file in `directory`."""
    files = results_files(directory)
    assert len(files) == 1, f"{len(files)} results files: {files!r}"
    with open(os.path.join(directory, files[0]), errors="replace") as f:
        file_text = f.read()
    try:
        _, names = report.check_report(job.stdout, file_text, files[0], directory, nproc,
                                       runner.iterations, runner.host)
    except report.ReportError as error:
        pytest.fail(str(error))
    for key, found in names.items():
        assert all(name == runner.host for name in found), (
            f"{key}: worker names {found!r}, not {runner.host!r}")
    return files[0]


def check_unsaved(runner, console, path_text, nproc):
    """The whole console report, ended by the could-NOT-be-saved path line.
    Returns the console's numbers."""
    end = report.end_of_run_console(NOT_SAVED + path_text, saved=False)
    try:
        values, _ = report.match_lines(console, report.expected_lines(nproc, False, end),
                                       "console")
        report.check_numbers(values, nproc, runner.iterations)
    except report.ReportError as error:
        pytest.fail(str(error))
    return values


def file_name_in_error(runner, stderr):
    """The results file named by the program's write error."""
    found = CANNOT_WRITE.search(stderr)
    assert found, f"no results-file error on standard error: {stderr!r}"
    try:
        report.check_file_name(found.group(1), runner.host)
    except report.ReportError as error:
        pytest.fail(str(error))
    return found.group(1)


def without(text, noise):
    """`text` without the lines that match `noise` (the launcher's own
    complaints)."""
    if noise is None:
        return text
    return "".join(line for line in text.splitlines(keepends=True)
                   if not noise.match(line.rstrip("\n")))


def check_ranks(case_dir, np, master_err, noise=None):
    """Standard error of the master is exactly `master_err` and the other ranks
    print nothing, apart from lines matching `noise`."""
    outputs = rank_outputs(case_dir)
    assert 0 in outputs, f"no output of rank 0 under {case_dir}"
    err = without(outputs[0][1], noise)
    assert err == master_err, f"master's standard error is {err!r}, expected {master_err!r}"
    for rank in range(1, np):
        out, err = outputs.get(rank, ("", ""))
        out, err = without(out, noise), without(err, noise)
        assert not out and not err, f"rank {rank} wrote {out + err!r}"


def check_stderr(stderr, expected, noise=None):
    """Standard error of a process started without the launcher."""
    stderr = without(stderr, noise)
    assert stderr == expected, f"standard error is {stderr!r}, expected {expected!r}"


# ---- Private mounts -----------------------------------------------------------

# Runs "$@" in $P64_WORK after $P64_SETUP has mounted a file system there, in a
# mount namespace of its own, so no mount is ever seen outside the test. The
# directory's contents are copied out before the namespace goes away.
IN_PRIVATE_MOUNT = r'''
set -e
eval "$P64_SETUP"
: > "$P64_MOUNTED"
cd "$P64_WORK"
set +e
"$@"
status=$?
cp -a . "$P64_SNAPSHOT"/
cd /
umount "$P64_WORK"
exit $status
'''

TMPFS_READ_ONLY = 'mount -t tmpfs -o ro,size=64k p64faults "$P64_WORK"'
# One page, filled: creating the results file works, writing to it does not.
TMPFS_FULL = ('mount -t tmpfs -o size=4k p64faults "$P64_WORK"; '
              'head -c 4096 /dev/zero > "$P64_WORK/fill"; '
              'test "$(stat -f -c %a "$P64_WORK")" = 0')
# An ext2 file system of 1 KiB blocks, filled up but for one block: the
# results file gets its first 1024 bytes and no more.
EXT2_ONE_BLOCK_FREE = (
    'truncate -s 128k "$P64_IMAGE"; mkfs.ext2 -q -F -b 1024 -m 0 "$P64_IMAGE"; '
    'mount -o loop "$P64_IMAGE" "$P64_WORK"; rmdir "$P64_WORK/lost+found"; '
    'dd if=/dev/zero of="$P64_WORK/fill" bs=1024 2>/dev/null || true; '
    'truncate -s -1K "$P64_WORK/fill"; '
    'test "$(stat -f -c %a "$P64_WORK")" = 1')


def run_in_private_mount(runner, setup, command, case_dir):
    """Returns (job, snapshot directory, working directory)."""
    work = os.path.join(case_dir, "work")
    snapshot = os.path.join(case_dir, "snapshot")
    os.mkdir(work)
    os.mkdir(snapshot)
    env = dict(runner.env, P64_SETUP=setup, P64_WORK=work, P64_SNAPSHOT=snapshot,
               P64_MOUNTED=os.path.join(case_dir, "mounted"),
               P64_IMAGE=os.path.join(case_dir, "image"))
    job = runner.run(["unshare", "--mount", "--propagation", "private", "--",
                      "sh", "-c", IN_PRIVATE_MOUNT, "sh"] + command, case_dir, env=env)
    assert os.path.exists(env["P64_MOUNTED"]), (
        f"the test's file system could not be set up: {job.stderr!r}")
    return job, snapshot, work


def probe_mount(runner, base, setup):
    """Skips the group when this machine does not let the test mount."""
    missing = [tool for tool in ("unshare", "mount", "umount") if not shutil.which(tool)]
    if missing:
        pytest.skip(f"{', '.join(missing)} not found")
    case_dir = tempfile.mkdtemp(prefix="probe-", dir=base)
    try:
        run_in_private_mount(runner, setup, ["true"], case_dir)
    except (AssertionError, pytest.fail.Exception) as error:
        pytest.skip(f"cannot mount a file system in a private mount namespace here ({error})")


# ---- Cases --------------------------------------------------------------------

def case_dir_of(base, name):
    path = os.path.join(base, re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-"))
    os.mkdir(path)
    return path


def cap_cases(runner):
    def job_of(np):
        def case(base):
            work = os.path.join(base, "work")
            os.mkdir(work)
            job = runner.run(runner.mpirun_command(np, os.path.join(base, "ranks")), work)
            expect_status(job, 0)
            check_saved(runner, job, work, min(np, runner.cap))
            check_ranks(base, np, cap_note(np, runner.cap) if np > runner.cap else "")
        return case

    cap = runner.cap
    return [
        (f"job of {cap} (the cap): full report, no note", job_of(cap)),
        (f"job of {cap + 2}: runs as a job of {cap}, one note on standard error",
         job_of(cap + 2)),
        # With the short build's tables of 8 entries, also more ranks than the
        # tables hold.
        (f"job of {cap + 6}: runs as a job of {cap}, one note on standard error",
         job_of(cap + 6)),
    ]


def unsaved_in_mount(runner, base, setup, np, reason, check_snapshot):
    job, snapshot, work = run_in_private_mount(
        runner, setup, runner.mpirun_command(np, os.path.join(base, "ranks")), base)
    expect_status(job, 1)
    name = file_name_in_error(runner, job.stderr)
    values = check_unsaved(runner, job.stdout, f"{work}/{name}", np)
    check_ranks(base, np, write_error(name, reason))
    check_snapshot(snapshot, name, values)


def results_file_cases(runner):
    def read_only(base):
        def nothing_written(snapshot, name, console_values):
            assert os.listdir(snapshot) == [], f"files left behind: {os.listdir(snapshot)!r}"
        unsaved_in_mount(runner, base, TMPFS_READ_ONLY, 2, "Read-only file system",
                         nothing_written)

    def full(base):
        def file_empty(snapshot, name, console_values):
            assert sorted(os.listdir(snapshot)) == sorted(["fill", name]), (
                f"files left behind: {os.listdir(snapshot)!r}")
            size = os.path.getsize(os.path.join(snapshot, name))
            assert size == 0, f"the results file holds {size} bytes on a full file system"
        unsaved_in_mount(runner, base, TMPFS_FULL, 2, "No space left on device", file_empty)

    return [
        ("read-only working directory: console report whole, error names the file, exit 1",
         read_only),
        ("full file system: console report whole, error names the file, exit 1", full),
    ]


# ---- Something planted at the results file's name ---------------------------

# The name is predictable to the second; these runs fix the zone so that the
# test can plant something at every name the run may choose.
PLANT_ZONE = "UTC"
PLANT_SECONDS = 120


def planted_names(runner):
    """Every results file name of a run that starts within the next
    PLANT_SECONDS seconds (and the second before, for a clock tick)."""
    now = int(time.time())
    return [f"results_processors_lite_mac_clusters @ {PLANT_ZONE} time "
            f"{time.asctime(time.gmtime(second))}\n @ {runner.host}.txt"
            for second in range(now - 1, now + PLANT_SECONDS)]


def planted_name_cases(runner):
    np = 2
    victim_text = "a file that is not the benchmark's, which no run may change\n"

    def run_among(base, plant):
        """Plants something at every possible name in a fresh working
        directory, then runs a job there. Returns (job, work, victim, names)."""
        work = os.path.join(base, "work")
        os.mkdir(work)
        victim = os.path.join(base, "victim")
        with open(victim, "w") as f:
            f.write(victim_text)
        names = planted_names(runner)
        for name in names:
            plant(os.path.join(work, name), victim)
        env = dict(runner.env, TZ=PLANT_ZONE)
        job = runner.run(runner.mpirun_command(np, os.path.join(base, "ranks")), work, env=env)
        return job, work, victim, set(names)

    def refused(plant, reason, still_there):
        def case(base):
            job, work, victim, planted = run_among(base, plant)
            expect_status(job, 1)
            name = file_name_in_error(runner, job.stderr)
            check_unsaved(runner, job.stdout, f"{work}/{name}", np)
            check_ranks(base, np, write_error(name, reason))
            with open(victim) as f:
                assert f.read() == victim_text, "the file behind the planted name was changed"
            assert set(os.listdir(work)) == planted, (
                f"the working directory holds {sorted(set(os.listdir(work)) - planted)!r}")
            assert still_there(os.path.join(work, name)), (
                "what was planted at the run's name was replaced")
        return case

    def earlier_file_rewritten(base):
        stale = "an earlier run's results, to be replaced\n"

        def plant(path, victim):
            with open(path, "w") as f:
                f.write(stale)

        job, work, _, _ = run_among(base, plant)
        expect_status(job, 0)
        rewritten = []
        for name in results_files(work):
            with open(os.path.join(work, name), errors="replace") as f:
                text = f.read()
            if text != stale:
                rewritten.append((name, text))
        assert len(rewritten) == 1, f"{len(rewritten)} results files were written"
        name, text = rewritten[0]
        try:
            report.check_report(job.stdout, text, name, work, np, runner.iterations, runner.host)
        except report.ReportError as error:
            pytest.fail(str(error))
        check_ranks(base, np, "")

    return [
        ("a symbolic link at every name the run may choose: not followed, the file it "
         "points to unchanged, console report whole, exit 1",
         refused(lambda path, victim: os.symlink(victim, path),
                 "is a symbolic link; not followed", os.path.islink)),
        ("a hard link to another file at every name: not overwritten, exit 1",
         refused(lambda path, victim: os.link(victim, path),
                 "has more than one name (a hard link); not overwritten",
                 lambda path: os.stat(path).st_nlink > 1)),
        ("a FIFO at every name: the master does not wait on it, exit 1",
         refused(lambda path, victim: os.mkfifo(path),
                 "is a FIFO; not opened", lambda path: stat.S_ISFIFO(os.lstat(path).st_mode))),
        ("a directory at every name: left alone, exit 1",
         refused(lambda path, victim: os.mkdir(path),
                 "is a directory; not opened", os.path.isdir)),
        ("an earlier regular file at every name: the run's own is truncated and rewritten, "
         "exit 0", earlier_file_rewritten),
    ]


def results_file_fills_cases(runner):
    np = 3

    def fills(base):
        def first_kilobyte(snapshot, name, console_values):
            with open(os.path.join(snapshot, name), "rb") as f:
                data = f.read()
            # Every line was flushed as it was written: the file holds the
            # lines that fitted in its 1024 bytes, so less than a line is lost.
            assert 1024 - 128 < len(data) <= 1024, (
                f"the results file holds {len(data)} bytes; 1024 were free")
            # They are the report's first lines, with the numbers the console
            # shows.
            text = decode(data)
            complete = text[:text.rindex("\n") + 1]
            lines = report.expected_lines(min(np, runner.cap), True)
            count = complete.count("\n")
            assert count < len(lines), "the whole report fitted; the test needs a longer one"
            try:
                values, _ = report.match_lines(complete, lines[:count], "results file")
            except report.ReportError as error:
                pytest.fail(str(error))
            for key, numbers in values.items():
                assert console_values[key][:len(numbers)] == numbers, (
                    f"{key}: the file holds {numbers!r}, the console {console_values[key]!r}")

        unsaved_in_mount(runner, base, EXT2_ONE_BLOCK_FREE, np, "No space left on device",
                         first_kilobyte)

    return [("file system fills up part way: the lines that fitted are kept, one error, "
             "console report whole, exit 1", fills)]


def wrapper_removing_cwd(rank_variable=None):
    """A shell that enters a new directory, removes it and starts the program
    there. Under the launcher each rank takes its own directory, named by its
    number in `rank_variable`."""
    suffix = f"/rank${rank_variable}" if rank_variable else "/gone"
    return ["sh", "-c", f'd="$1{suffix}"; mkdir "$d" && cd "$d" && rmdir "$d" && shift && '
            'exec "$@"', "sh"]


def workdir_cases(runner):
    def removed_singleton(base):
        command = wrapper_removing_cwd() + [base, runner.binary]
        job = runner.run(command, base, env=runner.singleton_env())
        expect_status(job, 1)
        name = file_name_in_error(runner, job.stderr)
        check_unsaved(runner, job.stdout, name + UNKNOWN_DIRECTORY, 1)
        check_stderr(job.stderr, write_error(name, "No such file or directory"),
                     runner.mpi.table.noise)

    def removed_under_mpirun(base):
        np = 2
        command = runner.mpirun_command(np, os.path.join(base, "ranks"),
                                        wrapper_removing_cwd(runner.mpi.rank_variable) + [base])
        job = runner.run(command, base)
        expect_status(job, 1)
        name = file_name_in_error(runner, job.stderr)
        check_unsaved(runner, job.stdout, name + UNKNOWN_DIRECTORY, np)
        check_ranks(base, np, write_error(name, "No such file or directory"),
                    runner.mpi.table.noise)

    def long_path(length):
        def case(base):
            # Nested directories of 200 characters, each below NAME_MAX, up to
            # `length` characters in all; every path the test and the
            # program use stays below PATH_MAX.
            work = base
            while len(work) < length:
                work = os.path.join(work, "d" * min(200, max(1, length - len(work) - 1)))
            os.makedirs(work)
            job = runner.run(runner.mpirun_command(2, os.path.join(base, "ranks")), work)
            expect_status(job, 0)
            name = check_saved(runner, job, work, 2)
            path = f"{work}/{name}"
            assert len(path) > 2047, f"the path is only {len(path)} characters"
            check_ranks(base, 2, "")
        return case

    return [
        ("removed working directory, started without the launcher: no crash, the path line "
         "says the directory is unknown, exit 1", removed_singleton),
        ("removed working directory of every rank under the launcher: no crash, the path line "
         "says the directory is unknown, exit 1", removed_under_mpirun),
        ("working directory of 2000 characters: the path line holds the whole path",
         long_path(2000)),
        ("working directory of 3800 characters: the path line holds the whole path",
         long_path(3800)),
    ]


def stdin_cases(runner):
    def launched(mpirun):
        """(command, env, np) of a run under the launcher with 2 processes, or
        of the program started on its own (1 process)."""
        if mpirun:
            return runner.mpirun_command(2), runner.env, 2
        return [runner.binary], runner.singleton_env(), 1

    def with_input(mpirun, stdin_text, preexec=None):
        def case(base):
            command, env, np = launched(mpirun)
            job = runner.run(command, base, stdin_text=stdin_text, env=env, preexec=preexec)
            expect_status(job, 0)
            check_saved(runner, job, base, np)
            if not mpirun:
                check_stderr(job.stderr, "")
        return case

    def held_open(mpirun):
        def case(base):
            command, env, np = launched(mpirun)
            process, out, err = start_watched(command, base, env, subprocess.PIPE)
            try:
                assert out.wait_for("Press Enter to Exit.\n", runner.timeout), (
                    f"no prompt after {runner.timeout} s: {out.text()!r}")
                # The report is complete and the results file closed while
                # the program waits.
                waiting = subprocess.CompletedProcess(command, 0, out.text(), err.text())
                check_saved(runner, waiting, base, np)
                time.sleep(3)
                assert process.poll() is None, (
                    f"ended (status {process.returncode}) before any input")
                process.stdin.write(b"x")
                process.stdin.flush()
                try:
                    process.wait(timeout=runner.timeout)
                except subprocess.TimeoutExpired:
                    pytest.fail(f"still running {runner.timeout} s after one character")
                out.join(runner.timeout)
                err.join(runner.timeout)
                expect_status(process, 0)
                job = subprocess.CompletedProcess(command, 0, out.text(), err.text())
                check_saved(runner, job, base, np)
            finally:
                if process.poll() is None:
                    end_session(process)
                process.stdin.close()
        return case

    return [
        ("launcher, standard input at EOF: ends at once, exit 0", with_input(True, None)),
        ("launcher, standard input \"abc\\n\": reads one character, exit 0",
         with_input(True, "abc\n")),
        ("launcher, standard input held open: waits at the prompt, ends on one character",
         held_open(True)),
        ("no launcher, standard input at EOF: ends at once, exit 0", with_input(False, None)),
        ("no launcher, standard input \"abc\\n\": reads one character, exit 0",
         with_input(False, "abc\n")),
        ("no launcher, standard input held open: waits at the prompt, ends on one character",
         held_open(False)),
        ("no launcher, standard input closed (no descriptor 0): ends at once, exit 0",
         with_input(False, None, preexec=lambda: os.close(0))),
    ]


def singleton_cases(runner):
    def alone(base):
        job = runner.run([runner.binary], base, env=runner.singleton_env())
        expect_status(job, 0)
        check_saved(runner, job, base, 1)
        check_stderr(job.stderr, "")

    return [("started without the launcher: a job of one process, full report, exit 0",
             alone)]


def rank_processes(mpirun_pid, rank_variable):
    """{rank: pid} of the processes started under `mpirun_pid`, each found by
    the number the launcher gave it in `rank_variable`."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        rank = [item for item in environ if item.startswith(rank_variable.encode() + b"=")]
        if rank and descends_from(pid, mpirun_pid):
            found[int(rank[0].split(b"=")[1])] = pid
    return found


def descends_from(pid, ancestor):
    while pid > 1:
        if pid == ancestor:
            return True
        try:
            with open(f"/proc/{pid}/stat") as f:
                pid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            return False
    return False


def running(pid):
    """A process that exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def worker_killed_cases(runner):
    def killed(base):
        np = 2
        command = runner.mpirun_command(np)
        process, out, err = start_watched(command, base, runner.env, subprocess.DEVNULL)
        try:
            assert out.wait_for("Effective Frequency.\n", 60), (
                f"Effective Frequency did not start within 60 s: {out.text()!r}")
            deadline = time.monotonic() + 60
            ranks = rank_processes(process.pid, runner.mpi.rank_variable)
            while len(ranks) < np and time.monotonic() < deadline:
                time.sleep(0.1)
                ranks = rank_processes(process.pid, runner.mpi.rank_variable)
            assert len(ranks) == np, f"ranks found: {ranks!r}"
            time.sleep(1)
            os.kill(ranks[1], signal.SIGKILL)
            killed_at = time.monotonic()
            try:
                process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pytest.fail("the job still runs 60 s after its worker was killed")
            ended = time.monotonic() - killed_at
            out.join(30)
            err.join(30)
            # Open MPI reports the death on standard error, MPICH's Hydra on
            # standard output, after the program's lines.
            console, death_report = runner.mpi.split_failure_report(out.text())
            print(f"    the launcher ended {ended:.1f} s after the kill with exit status "
                  f"{process.returncode}; its message: "
                  f"{' '.join((death_report + err.text()).split())!r}")
            assert process.returncode != 0, "the launcher's exit status is 0"
            assert death_report or err.text(), "the launcher did not say that a rank died"
            deadline = time.monotonic() + 30
            while any(running(pid) for pid in ranks.values()) and time.monotonic() < deadline:
                time.sleep(0.1)
            assert not any(running(pid) for pid in ranks.values()), (
                f"ranks still running after the launcher ended: {ranks!r}")
            # Every line completed before the death, on the console and in
            # the file, and nothing after it.
            banner = report.expected_lines(np, False)
            banner = banner[:[t for t, _ in banner].index("Effective Frequency.") + 1]
            try:
                report.match_lines(console, banner, "console")
            except report.ReportError as error:
                pytest.fail(str(error))
            files = results_files(base)
            assert len(files) == 1, f"{len(files)} results files: {files!r}"
            with open(os.path.join(base, files[0]), errors="replace") as f:
                file_text = f.read()
            expected = f"{report.TITLE}\n\nThread(s): {np}\n\nEffective Frequency.\n"
            assert file_text == expected, (
                f"the results file holds {file_text!r}, expected {expected!r}")
        finally:
            if process.poll() is None:
                end_session(process)
    return [("a worker killed during Effective Frequency: the job ends, non-zero status, "
             "the completed lines are saved", killed)]


GROUPS = {
    "cap": (cap_cases, None),
    "results-file": (results_file_cases, TMPFS_FULL),
    "results-file-fills": (results_file_fills_cases, EXT2_ONE_BLOCK_FREE),
    "planted-name": (planted_name_cases, None),
    "workdir": (workdir_cases, None),
    "stdin": (stdin_cases, None),
    "singleton": (singleton_cases, None),
    "worker-killed": (worker_killed_cases, None),
}



# ---- The groups -----------------------------------------------------------------

def pytest_generate_tests(metafunc):
    """Each group's test, once per case of the group."""
    if "case" not in metafunc.fixturenames:
        return
    option = metafunc.config.option
    if not option.binary:
        metafunc.parametrize("case", [pytest.param(None, marks=pytest.mark.skip(
            reason="no program build named: --binary"))])
        return
    runner = Runner(option)
    group = metafunc.function.__name__[len("test_"):].replace("_", "-")
    cases = GROUPS[group][0](runner)
    metafunc.parametrize("case", [(group, runner, case) for _, case in cases],
                         ids=[name for name, _ in cases])


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    return os.path.realpath(tmp_path_factory.mktemp("p64faults"))


PROBED = {}  # group: why it cannot run here, or None


def run_case(base, case, name):
    """One case of a group in a fresh directory; its last run shown where it fails."""
    group, runner, function = case
    setup = GROUPS[group][1]
    if setup and group not in PROBED:
        try:
            PROBED[group] = None
            probe_mount(runner, base, setup)
        except pytest.skip.Exception as reason:
            PROBED[group] = str(reason)
    if PROBED.get(group):
        pytest.skip(PROBED[group])
    runner.last = None
    try:
        function(case_dir_of(base, name))
    except (AssertionError, pytest.fail.Exception):
        if runner.last:
            show_run(runner.last)
        raise


def case_name(request):
    return request.node.callspec.id


def test_cap(base, case, request):
    run_case(base, case, case_name(request))


def test_results_file(base, case, request):
    run_case(base, case, case_name(request))


def test_results_file_fills(base, case, request):
    run_case(base, case, case_name(request))


def test_planted_name(base, case, request):
    run_case(base, case, case_name(request))


def test_workdir(base, case, request):
    run_case(base, case, case_name(request))


def test_stdin(base, case, request):
    run_case(base, case, case_name(request))


def test_singleton(base, case, request):
    run_case(base, case, case_name(request))


def test_worker_killed(base, case, request):
    run_case(base, case, case_name(request))
