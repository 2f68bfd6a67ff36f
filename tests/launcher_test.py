"""The launcher table (processors64.launchers): fake launchers of both
families and of neither, its command as shell and CMake ask it, and the
launcher of this build for real.

    python3 -m pytest tests/launcher_test.py

With P64_LAUNCHER_TEST_MPIEXEC (and P64_LAUNCHER_TEST_KIND, what CMake
found), the real launcher's family must be that kind, and jobs it starts
through the table must give each rank its number, the exported variables and
its own output files, as the table says.
"""

import os
import stat
import subprocess
import sys

import pytest

from processors64 import launchers

OPENMPI_VERSION = "mpirun (Open MPI) 4.1.4\n\nReport bugs to https://www.open-mpi.org/\n"
HYDRA_VERSION = "HYDRA build details:\n    Version:                                 4.0.2\n"
OTHER_VERSION = "mpiexec (another MPI) 1.0\n"
# What Hydra printed on standard output when a worker was killed during
# Effective Frequency, after the program's own lines.
PROGRAM_LINES = "\nThread(s): 2\n\nEffective Frequency.\n"
HYDRA_DEATH = (
    "\n" + "=" * 83 + "\n"
    "=   BAD TERMINATION OF ONE OF YOUR APPLICATION PROCESSES\n"
    "=   PID 7784 RUNNING AT vm\n"
    "=   EXIT CODE: 9\n"
    "=   CLEANING UP REMAINING PROCESSES\n"
    "=   YOU CAN IGNORE THE BELOW CLEANUP MESSAGES\n"
    + "=" * 83 + "\n"
    "YOUR APPLICATION TERMINATED WITH THE EXIT STRING: Killed (signal 9)\n")


def fake_launcher(directory, name, version_text):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\ncat <<'TEXT'\n" + version_text + "TEXT\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


@pytest.fixture
def fakes(tmp_path):
    """{kind: path} of fake launchers: Open MPI's, Hydra, another MPI's."""
    return {"openmpi": fake_launcher(tmp_path, "mpirun", OPENMPI_VERSION),
            "mpich": fake_launcher(tmp_path, "mpiexec.hydra", HYDRA_VERSION),
            "other": fake_launcher(tmp_path, "mpiexec.other", OTHER_VERSION)}


def ask(*arguments):
    """The launcher table's command: (exit status, stdout, stderr)."""
    job = subprocess.run([sys.executable, "-m", "processors64.launchers", *arguments],
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    return job.returncode, job.stdout, job.stderr


# ---- Which MPI ---------------------------------------------------------------

@pytest.mark.parametrize("kind", ["openmpi", "mpich"])
def test_families_from_version_text(fakes, kind):
    assert launchers.kind_of(fakes[kind]) == kind
    assert ask("kind", fakes[kind]) == (0, kind + "\n", "")


def test_another_launcher_or_none_is_refused(fakes, tmp_path):
    for path in (fakes["other"], str(tmp_path / "missing")):
        with pytest.raises(launchers.UnknownLauncher):
            launchers.kind_of(path)
        status, out, err = ask("kind", path)
        assert (status, out, len(err.splitlines())) == (2, "", 1)
        assert path in err and "Traceback" not in err


@pytest.mark.parametrize("kind, expected", [("openmpi", "Open MPI 4.1.4"), ("mpich", "MPICH 4.0.2")])
def test_version(fakes, kind, expected):
    assert launchers.version(fakes[kind]) == expected
    assert ask("version", fakes[kind]) == (0, expected + "\n", "")
    # Hydra's build details hold other numbers (a date, flags): its Version: line counts.
    implementation, _, number = expected.rpartition(" ")
    assert launchers.describe(fakes[kind]) == launchers.Description(kind, number, fakes[kind])
    assert launchers.describe(fakes[kind]).record() == {
        "implementation": implementation, "version": number, "launcher": fakes[kind]}


def test_version_of_a_launcher_of_neither_or_none(fakes, tmp_path):
    assert launchers.describe(fakes["other"]) == launchers.Description(None, "1.0", fakes["other"])
    for path in (fakes["other"], str(tmp_path / "missing")):
        status, out, err = ask("version", path)
        assert (status, out, len(err.splitlines())) == (2, "", 1)
        assert path in err and "Traceback" not in err


def test_cores_without_affinity(monkeypatch):
    """Python has sched_getaffinity on Linux only (./run.sh on macOS)."""
    monkeypatch.delattr(os, "sched_getaffinity", raising=False)
    monkeypatch.setattr(os, "cpu_count", lambda: 6)
    assert launchers.usable_cores() == 6
    assert launchers.Launcher("mpirun", "openmpi", as_root=False).cores == 6


def test_build_launcher_from_cmake_cache(tmp_path):
    assert launchers.build_launcher(tmp_path) is None
    write(os.path.join(tmp_path, "CMakeCache.txt"),
          "//Executable for running MPI programs.\n"
          "MPIEXEC_EXECUTABLE:FILEPATH=/usr/bin/mpiexec.mpich\n")
    assert launchers.build_launcher(tmp_path) == "/usr/bin/mpiexec.mpich"


# ---- Commands and settings ------------------------------------------------------

def test_open_mpi_as_root_past_the_cores():
    mpi = launchers.Launcher("mpirun", "openmpi", cores=2, as_root=True)
    assert mpi.command(3, ["ASAN_OPTIONS", "UBSAN_OPTIONS"]) == [
        "mpirun", "-n", "3", "--allow-run-as-root", "--oversubscribe",
        "-x", "ASAN_OPTIONS", "-x", "UBSAN_OPTIONS"]


def test_open_mpi_needs_nothing_as_a_user_within_the_cores():
    mpi = launchers.Launcher("mpirun", "openmpi", cores=2, as_root=False)
    assert mpi.command(2) == ["mpirun", "-n", "2"]
    assert "OMPI_ALLOW_RUN_AS_ROOT" not in mpi.environment(2, {})
    assert mpi.environment(3, {}) == {"OMPI_MCA_rmaps_base_oversubscribe": "1"}


def test_hydra_needs_neither_root_nor_oversubscription_settings():
    mpi = launchers.Launcher("mpiexec.mpich", "mpich", cores=2, as_root=True)
    assert mpi.command(6, ["ASAN_OPTIONS", "UBSAN_OPTIONS"], extra=["w"]) == [
        "mpiexec.mpich", "-n", "6", "-genvlist", "ASAN_OPTIONS,UBSAN_OPTIONS", "w"]
    assert mpi.environment(6, {"A": "1"}) == {"A": "1"}


def test_open_mpi_as_root_environment():
    mpi = launchers.Launcher("mpirun", "openmpi", cores=2, as_root=True)
    assert mpi.environment(1, {}) == {"OMPI_ALLOW_RUN_AS_ROOT": "1",
                                      "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"}


# What the command answers, for each family, as this user: root adds Open
# MPI's two root settings, more processes than slots its oversubscription.
ROOT = os.geteuid() == 0
ROOT_SETTINGS = ["OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1"] if ROOT else []
ROOT_FLAGS = ["--allow-run-as-root"] if ROOT else []


@pytest.mark.parametrize("arguments, openmpi, mpich", [
    (["settings", "--np", "3", "--slots", "2"],
     ROOT_SETTINGS + ["OMPI_MCA_rmaps_base_oversubscribe=1"], []),
    (["settings", "--np", "2", "--slots", "2"], ROOT_SETTINGS, []),
    (["flags", "--np", "5", "--slots", "4", "--export", "A", "--export", "B"],
     ROOT_FLAGS + ["--oversubscribe", "-x", "A", "-x", "B"], ["-genvlist", "A,B"]),
    (["flags", "--np", "1", "--slots", "4"], ROOT_FLAGS, []),
    (["per-node", "--nodes", "3"], ["--map-by", "ppr:1:node"], ["-ppn", "1", "-n", "3"]),
    (["rank-variable"], ["OMPI_COMM_WORLD_RANK"], ["PMI_RANK"]),
    (["hostfile-line", "n1", "3"], ["n1 slots=3"], ["n1:3"]),
])
def test_command_answers(fakes, arguments, openmpi, mpich):
    for kind, expected in (("openmpi", openmpi), ("mpich", mpich)):
        answer = (0, "".join(line + "\n" for line in expected), "")
        assert ask(*arguments, "--kind", kind) == answer
        assert ask(*arguments, fakes[kind]) == answer


@pytest.mark.parametrize("arguments", [
    ["settings", "--np", "2"],                          # no launcher
    ["settings", "--np", "2", "--kind", "lam"],         # no such family
    ["settings", "--np", "two", "--kind", "mpich"],
    ["rank-variable", "--kind", "mpich", "mpirun"],     # both
    ["version", "--kind", "mpich"],
    ["frobnicate", "--kind", "mpich"],
])
def test_command_misuse_is_exit_2(arguments):
    status, out, err = ask(*arguments)
    assert (status, out) == (2, "")
    assert err and "Traceback" not in err


@pytest.mark.parametrize("kind, option, role", [
    ("openmpi", "-np", ("count", 1)), ("openmpi", "--map-by", ("placement", 1)),
    ("openmpi", "--pernode", ("placement", 0)), ("openmpi", "--tag-output", ("output", 0)),
    ("openmpi", "--hostfile", ("hostfile", 1)), ("openmpi", "-H", ("hosts", 1)),
    ("openmpi", "-wd", ("wdir", 1)), ("openmpi", "--mca", ("other", 2)),
    ("mpich", "-n", ("count", 1)), ("mpich", "-ppn", ("placement", 1)),
    ("mpich", "-f", ("hostfile", 1)), ("mpich", "--hostfile", ("hostfile", 1)),
    ("mpich", "-hosts", ("hosts", 1)),
    ("mpich", "-genv", ("other", 2)), ("mpich", "-outfile-pattern", ("output", 1)),
])
def test_option_roles(kind, option, role):
    assert launchers.KINDS[kind].options[option] == role


# ---- Per-rank output -------------------------------------------------------------

def test_open_mpi_layout(tmp_path):
    ranks = os.path.join(tmp_path, "ranks dir")
    write(os.path.join(ranks, "1", "rank.0", "stdout"), "report\n")
    write(os.path.join(ranks, "1", "rank.0", "stderr"), "")
    write(os.path.join(ranks, "1", "rank.12", "stderr"), "note\n")
    assert launchers.rank_outputs(ranks) == {0: ("report\n", ""), 12: ("", "note\n")}


def test_hydra_layout_and_console(tmp_path):
    ranks = os.path.join(tmp_path, "ranks dir")
    mpi = launchers.Launcher("mpiexec.mpich", "mpich", cores=2, as_root=True)
    command = mpi.command(3, ranks_dir=ranks) + ["program"]
    assert mpi.ranks_dir_of(command) == ranks
    write(os.path.join(ranks, "rank.0.stdout"), "report\n")
    write(os.path.join(ranks, "rank.2.stdout"), "two\n")
    write(os.path.join(ranks, "rank.2.stderr"), "worker note\n")
    assert launchers.rank_outputs(ranks) == {0: ("report\n", ""), 2: ("two\n", "worker note\n")}
    # The ranks' output is only in the files: the console is rebuilt in rank
    # order after the launcher's own.
    assert mpi.console(command, "", "hydra says\n") == ("report\ntwo\n", "hydra says\nworker note\n")
    assert mpi.console(["mpiexec.mpich", "-n", "1", "program"], "a", "b") == ("a", "b")


def test_open_mpi_console_is_the_launchers(tmp_path):
    ranks = os.path.join(tmp_path, "ranks dir")
    mpi = launchers.Launcher("mpirun", "openmpi", cores=2, as_root=False)
    command = mpi.command(2, ranks_dir=ranks) + ["program"]
    assert mpi.ranks_dir_of(command) == ranks
    write(os.path.join(ranks, "1", "rank.0", "stdout"), "report\n")
    assert mpi.console(command, "report\n", "") == ("report\n", "")


def test_hydra_report_follows_the_program_lines():
    mpi = launchers.Launcher("mpiexec.mpich", "mpich")
    assert mpi.split_failure_report(PROGRAM_LINES + HYDRA_DEATH) == (PROGRAM_LINES, HYDRA_DEATH)
    assert mpi.split_failure_report(PROGRAM_LINES) == (PROGRAM_LINES, "")


def test_open_mpi_reports_on_standard_error():
    mpi = launchers.Launcher("mpirun", "openmpi")
    assert mpi.split_failure_report(PROGRAM_LINES) == (PROGRAM_LINES, "")


# ---- This build's own launcher ---------------------------------------------------

@pytest.fixture
def real():
    path = os.environ.get("P64_LAUNCHER_TEST_MPIEXEC")
    if not path:
        pytest.skip("no real launcher given (P64_LAUNCHER_TEST_MPIEXEC)")
    return launchers.Launcher(path)


def test_kind_is_what_cmake_found(real):
    assert real.kind == os.environ["P64_LAUNCHER_TEST_KIND"]


def test_ranks_number_exports_and_output(real, tmp_path):
    np = real.cores + 1  # past the cores, so oversubscription must be allowed
    ranks = os.path.join(tmp_path, "ranks")
    script = f'echo "rank ${real.rank_variable} $P64_EXPORTED"; echo "err $1" >&2'
    command = real.command(np, ["P64_EXPORTED"], ranks, ["sh", "-c", script, "sh", "x"])
    env = real.environment(np, dict(os.environ, P64_EXPORTED="passed on"))
    job = subprocess.run(command, cwd=tmp_path, env=env, stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=120)
    assert job.returncode == 0, job.stderr
    assert launchers.rank_outputs(ranks) == {
        rank: (f"rank {rank} passed on\n", "err x\n") for rank in range(np)}
    stdout, stderr = real.console(command, job.stdout, job.stderr)
    assert sorted(stdout.splitlines()) == sorted(f"rank {rank} passed on" for rank in range(np))
    assert stderr.splitlines().count("err x") == np
