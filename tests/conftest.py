"""What the project's pytest groups share: their command-line options (the
build CTest names), and the exit status 77 of a group that could not run here
(every test skipped), which CTest reports as skipped (SKIP_RETURN_CODE)."""

import os

SKIPPED = 77


def pytest_addoption(parser):
    group = parser.getgroup("processors64", "the build under test (CTest passes them)")
    group.addoption("--binary", help="the program build to run")
    group.addoption("--mpiexec", default="mpirun",
                    help="the launcher of the MPI the program was built against")
    group.addoption("--kind", help="its MPI family (default: from its --version)")
    group.addoption("--cores", type=int, default=len(os.sched_getaffinity(0)),
                    help="processes that fit without allowing oversubscription")
    group.addoption("--as-root", action="store_true", default=os.geteuid() == 0,
                    help="tell the launcher it runs as root, where it asks for that")
    group.addoption("--sanitized", action="store_true",
                    help="pass the sanitizer options to the ranks")
    group.addoption("--cap", type=int, default=4, help="the master's process cap")
    group.addoption("--iterations", type=int, default=8192)
    group.addoption("--timeout", type=float, default=120, help="bound of every wait")
    group.addoption("--job", action="append", default=[],
                    help="a word of the job to run (mpirun ... BINARY), one option a word")
    group.addoption("--cluster-run", help="the directory of the cluster test's cases")


OUTCOMES = {"passed": 0, "failed": 0, "skipped": 0}


def pytest_runtest_logreport(report):
    if report.when == "call" or report.outcome != "passed":
        OUTCOMES[report.outcome] = OUTCOMES.get(report.outcome, 0) + 1


def pytest_sessionfinish(session, exitstatus):
    if exitstatus == 0 and OUTCOMES["skipped"] and not OUTCOMES["passed"] and \
            not OUTCOMES["failed"]:
        session.exitstatus = SKIPPED
