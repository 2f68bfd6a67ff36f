#!/usr/bin/env python3
"""How large the window's page is and how fast headless Chromium loads,
sorts and filters it, for a cluster's worth of made-up results files.

    PYTHONPATH=tools:tests bench/page_speed.py [--nodes 4096] [--cpus 64]
        [--nodes-per-job 7] [--windows 10] [--repeat 5] [--data DIR] [--out FILE]

Writes (once, kept in --data for the next run: the same windows as
bench/results_speed.py) --windows weekly windows of --nodes nodes of --cpus
workers in jobs of --nodes-per-job nodes, one node 20% slower in the
newest; runs `html` on them as a user would; then opens the page --repeat
times in headless Chromium (Debian's chromium and chromedriver, through
python3-selenium) and times, inside the page, from the start of navigation
to the first frame drawn after the load event, and from a click to the
first frame drawn after it: sorting by the host, by a rate and back by the
verdict, the flagged-only filter on and off, and a host-name filter.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from bench import machine            # bench.py, beside this script
from results_speed import write_windows

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "tools", "results.py")
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--window-size=1280,1000")
# Milliseconds from the click (or the start of navigation) to the first
# frame after it: the work, style, layout and paint.
AFTER_NEXT_FRAME = "requestAnimationFrame(() => setTimeout(() => done(performance.now() - t)));"
ACTIONS = (
    ("sort by host", "document.querySelector('#table th[data-col=\"0\"]').click();"),
    ("sort by Float Streaming's rate",
     "document.querySelector('#table th[data-col=\"2\"]').click();"),
    ("sort back by verdict", "document.querySelector('#table th[data-col=\"15\"]').click();"),
    ("flagged only", "document.getElementById('flagged').click();"),
    ("every node again", "document.getElementById('flagged').click();"),
    ("host name holds 'node00'", "const f = document.getElementById('host'); f.value = 'node00';"
                                 " f.dispatchEvent(new Event('input'));"),
    ("host filter cleared", "const f = document.getElementById('host'); f.value = '';"
                            " f.dispatchEvent(new Event('input'));"),
)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in FLAGS + (f"--user-data-dir={profile}",):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver",
                                              log_path=os.devnull), options=options)
    driver.set_script_timeout(120)
    driver.set_page_load_timeout(120)
    return driver


def timed(driver, action):
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1]; const t = performance.now();"
        f"{action} {AFTER_NEXT_FRAME}")


def measure(page, repeat):
    """{what: [milliseconds per repeat]}."""
    found = {}
    profile = tempfile.mkdtemp(prefix="p64bench-")
    driver = browser(profile)
    try:
        for _ in range(repeat):
            driver.get("about:blank")
            driver.get("file://" + page)
            load = driver.execute_async_script(
                "const done = arguments[arguments.length - 1]; const t = 0;" + AFTER_NEXT_FRAME)
            found.setdefault("load (navigation to first frame after it)", []).append(load)
            found.setdefault("of which the load event ends", []).append(driver.execute_script(
                "return performance.getEntriesByType('navigation')[0].loadEventEnd;"))
            for name, action in ACTIONS:
                found.setdefault(name, []).append(timed(driver, action))
            rows = driver.execute_script(
                "return document.querySelectorAll('#table tbody tr:not([hidden])').length;")
            if rows < 2:
                sys.exit(f"the table shows {rows} rows after the filters")
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=4096)
    parser.add_argument("--cpus", type=int, default=64)
    parser.add_argument("--nodes-per-job", type=int, default=7)
    parser.add_argument("--windows", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--data", default="/tmp/processors64-results-speed")
    parser.add_argument("--out", help="the page (default: a temporary file)")
    args = parser.parse_args()
    directory = os.path.join(args.data, f"{args.nodes}x{args.cpus}-{args.nodes_per_job}"
                             f"-{args.windows}")
    started = time.perf_counter()
    write_windows(directory, args.nodes, args.cpus, args.nodes_per_job, args.windows)
    print(f"{machine()[0]}, Python {sys.version.split()[0]}, {browser_version()}")
    print(f"{args.nodes} nodes of {args.cpus} CPUs, jobs of {args.nodes_per_job} nodes, "
          f"{args.windows} windows (ready in {time.perf_counter() - started:.0f} s)")
    with tempfile.TemporaryDirectory(prefix="p64page-") as scratch:
        page = os.path.abspath(args.out or os.path.join(scratch, "page.html"))
        started = time.perf_counter()
        job = subprocess.run([TOOL, "html", "--out", page, directory], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL)
        if job.returncode not in (0, 1, 3):
            sys.exit(f"html: exit status {job.returncode}")
        print(f"  html: {time.perf_counter() - started:.1f} s, the page "
              f"{os.path.getsize(page) / 1e6:.2f} MB")
        for name, times in measure(page, args.repeat).items():
            print(f"  {name}: median {statistics.median(times):.0f} ms, "
                  f"slowest {max(times):.0f} ms of {len(times)}")


def browser_version():
    try:
        return subprocess.run([shutil.which("chromium") or "chromium", "--version"],
                              capture_output=True, text=True).stdout.strip()
    except OSError:
        return "chromium not found"


if __name__ == "__main__":
    main()
