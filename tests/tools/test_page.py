"""results.py html: the window's page, checked in headless Chromium driven
by Selenium as a person would use it, on made-up weekly windows with run
records: 64 nodes in jobs of 8, one 20% slower with new microcode and a
class of Xeons; a window with a failed job; and host names and record
values that hold markup and script.

The browser tests are skipped where Chromium, its driver or Selenium is
missing (test.sh installs chromium, chromium-driver and python3-selenium).
P64_PAGE_SCREENSHOT=FILE.png saves the page of the slow node as the docs
show it.
"""

import csv
import functools
import http.server
import io
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
from datetime import datetime, timedelta
from html import unescape

import pytest

import made_up
from processors64.window_verdict import after_window

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "results.py")
NODES = [f"node{n:02d}" for n in range(1, 65)]
XEONS = NODES[56:]
XEON = "Intel Xeon Gold 6338"
NEW_MICROCODE = "0xa0011d2"
CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
# As root Chromium needs --no-sandbox; without the background-networking
# flags it tries connections that this machine's closed network refuses.
CHROMIUM_FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--window-size=1280,1400")
IMG = "<img src=x onerror=alert(1)>"
SCRIPT = '"><script>alert(1)</script>'
QUOTED = "x' onmouseover='alert(1)"
KERNEL = "</script><script>alert(2)</script>"
CPU = "<b onclick=alert(3)>EPYC</b> & co"

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select
except ImportError:
    webdriver = None


def tool(*args, env=None):
    job = subprocess.run([TOOL, *args], capture_output=True, text=True, env=env,
                         stdin=subprocess.DEVNULL, timeout=300)
    assert "Traceback" not in job.stderr, job.stderr
    return job


def html(*args, env=None):
    """The page of `args` written to --out, its path and exit status."""
    job = tool("html", *args, env=env)
    assert job.returncode != 2, job.stderr
    return job


def weeks(directory, newest, records=None, failed=()):
    """64 nodes measured weekly by jobs of 8 (made_up.write_weeks)."""
    return made_up.write_weeks(str(directory), NODES, newest, records=records, failed=failed,
                               nodes_per_job=8)


@pytest.fixture(scope="module")
def slow_node(tmp_path_factory):
    """node07 20% slower with new microcode in the newest of five weeks;
    node57 to node64 of another class."""
    directory = tmp_path_factory.mktemp("slow")
    records = {host: made_up.node_record(host, cpu_model=XEON) for host in XEONS}
    records["node07"] = made_up.node_record("node07", microcode=NEW_MICROCODE)
    weeks(directory, {"node07": 0.8}, records)
    return directory


@pytest.fixture(scope="module")
def failed_job(tmp_path_factory):
    directory = tmp_path_factory.mktemp("failed")
    weeks(directory, {}, failed=(3,))
    return directory


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """16 nodes in jobs of 4, five weeks: host names that hold markup and
    script (none a master: a file name holds no slash), a node record whose
    kernel closes the page's script and a class named in markup."""
    directory = tmp_path_factory.mktemp("hostile")
    nodes = [f"node{n:02d}" for n in range(1, 17)]
    nodes[1:4] = [IMG, SCRIPT, QUOTED]
    records = {host: made_up.node_record(host, cpu_model=CPU) for host in nodes[8:12]}
    records["node06"] = dict(made_up.node_record("node06"), kernel=KERNEL)
    for week in range(5):
        last = week == 4
        made_up.write_window(str(directory), nodes, 4, 4,
                             datetime(2026, 11, 2, 6) + timedelta(days=7 * week),
                             window_id=str(1000 + week), seed=week + 1,
                             factors={SCRIPT: 0.8} if last else None,
                             records=records if last else None)
    return directory


# ---- The browser -----------------------------------------------------------------

def chrome(javascript=True):
    """Headless Chromium through chromedriver (which Selenium starts on a
    free port of 127.0.0.1) with a new empty profile; its console kept."""
    if webdriver is None or not CHROMIUM or not CHROMEDRIVER:
        pytest.skip("needs chromium, chromium-driver and python3-selenium")
    profile = tempfile.mkdtemp(prefix="p64chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in CHROMIUM_FLAGS + (f"--user-data-dir={profile}",):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    if not javascript:
        options.add_experimental_option(
            "prefs", {"profile.managed_default_content_settings.javascript": 2})
    try:
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.devnull),
                                  options=options)
    except BaseException:
        shutil.rmtree(profile, ignore_errors=True)
        raise
    driver.set_page_load_timeout(120)
    return driver, profile


@pytest.fixture(scope="module")
def browser():
    driver, profile = chrome()
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture(scope="module")
def no_script():
    driver, profile = chrome(javascript=False)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture
def server(tmp_path):
    """A web server on a free port of 127.0.0.1 for the directory
    tmp_path/site: .url, .requests (each request's path)."""
    site = tmp_path / "site"
    site.mkdir()
    requests = []

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            requests.append(self.path)

    httpd = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Handler, directory=str(site)))
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield type("Server", (), {"url": f"http://127.0.0.1:{httpd.server_port}/",
                                  "site": site, "requests": requests})
    finally:
        httpd.shutdown()
        httpd.server_close()
        thread.join()


def console_errors(driver):
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def table(driver):
    """The table's rows that show: each a list of its cells' text."""
    return driver.execute_script(
        "return Array.from(document.getElementById('table').tBodies[0].rows)"
        ".filter(row => !row.hidden && !row.classList.contains('detail'))"
        ".map(row => Array.from(row.cells, cell => cell.textContent));")


def hosts(driver):
    return [row[0] for row in table(driver)]


def no_alert(driver):
    try:
        driver.switch_to.alert
    except NoAlertPresentException:
        return True
    return False


def open_page(driver, path):
    driver.get_log("browser")  # what an earlier page said
    driver.get("file://" + str(path))
    assert driver.find_element(By.ID, "table")


# ---- The tests -------------------------------------------------------------------

@pytest.mark.parametrize("case", ["slow_node", "failed_job"])
def test_the_page_says_what_the_verdict_says(case, request, tmp_path, browser, server):
    """Served over HTTP, the page asks for nothing but itself and logs no
    error; its headline, exit status, drain list and nodes are the
    verdict's on the same files."""
    directory = str(request.getfixturevalue(case))
    job = html(directory)
    text = tool("verdict", directory)
    document = json.loads(tool("verdict", "--format", "json", directory).stdout)
    drain = tool("verdict", "--drain-list", directory).stdout
    newest = document["window"]["jobs"][-1]["results_file"]  # the jobs start 3 minutes apart
    path = newest[:-len(".txt")] + ".html"
    assert job.returncode == text.returncode and job.stdout == path.replace("\n", "\\n") + "\n"
    shutil.copy(path, server.site / "page.html")

    browser.get_log("browser")
    browser.get(server.url + "page.html")
    assert server.requests == ["/page.html"], server.requests
    assert browser.execute_script(
        "return performance.getEntriesByType('resource').length") == 0
    assert console_errors(browser) == []
    headline = text.stdout.splitlines()[0]
    assert browser.find_element(By.ID, "headline").text == headline
    assert browser.find_element(By.ID, "status").text.startswith(
        f"exit status {text.returncode}: ")
    assert browser.find_element(By.ID, "drain").get_attribute("textContent") == drain
    rows = table(browser)
    assert [row[0] for row in rows] == [node["host"] for node in document["nodes"]]
    assert [row[-1] for row in rows] == [node["verdict"] for node in document["nodes"]]
    flagged = browser.execute_script(
        "return Array.from(document.querySelectorAll('#table tbody tr.f'), "
        "row => row.cells[0].textContent);")
    assert flagged == [node["host"] for node in document["nodes"] if node["flagged"]]
    if case == "slow_node":
        assert headline == "verdict: nodes flagged; drain 1: node07"
        node07 = rows[0]
        assert node07[-1] == "drain" and f"microcode 0xa0011d1 -> {NEW_MICROCODE}" in node07[-2]
        assert all(-23 < float(node07[n]) < -17 for n in (3, 5, 7, 9, 11, 13))  # peers, past
        shot = os.environ.get("P64_PAGE_SCREENSHOT")
        if shot:
            browser.save_screenshot(shot)
    else:
        missing = [row for row in rows if row[-1] == "not measured"]
        assert len(missing) == 8 and all("made no results file" in row[-2] for row in missing)
        assert browser.find_element(By.ID, "status").text.startswith(
            "exit status 3: inconclusive: 8 nodes of the window not measured")


def test_sorting_filters_and_a_nodes_workers(slow_node, tmp_path, browser):
    out = tmp_path / "page.html"
    html("--out", str(out), str(slow_node))
    open_page(browser, out)
    verdict_order = hosts(browser)

    def sort(column):
        browser.find_element(By.CSS_SELECTOR, f'#table th[data-col="{column}"]').click()
        return table(browser)

    rates = [float(row[2]) for row in sort(2)]  # Float Streaming's rate
    assert rates == sorted(rates) and table(browser)[0][0] == "node07"
    rates = [float(row[2]) for row in sort(2)]
    assert rates == sorted(rates, reverse=True)
    assert [row[0] for row in sort(0)] == NODES  # node2 before node10
    z = [float(row[12]) for row in sort(12)]   # Logic Streaming's z
    assert z == sorted(z) and z[0] < -3.5
    assert [row[0] for row in sort(15)] == verdict_order
    assert browser.find_element(By.CSS_SELECTOR, '#table th[data-col="15"]') \
        .get_attribute("aria-sort") == "ascending"

    flagged = browser.find_element(By.ID, "flagged")
    flagged.click()
    assert hosts(browser) == ["node07"]
    assert browser.find_element(By.ID, "shown").text == "1 of 64 nodes shown"
    flagged.click()
    classes = Select(browser.find_element(By.ID, "class"))
    classes.select_by_visible_text(f"{XEON}, 8 logical CPUs")
    assert sorted(hosts(browser)) == XEONS
    classes.select_by_index(0)
    field = browser.find_element(By.ID, "host")
    field.send_keys("NODE1")
    assert sorted(hosts(browser)) == [f"node{n}" for n in range(10, 20)]
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("node")
    assert len(hosts(browser)) == 64

    # node07's workers on demand, against every worker's rate in the export.
    browser.find_element(By.XPATH, "//tbody/tr/th[text()='node07']").click()
    detail = browser.find_element(By.CSS_SELECTOR, "#table tr.detail")
    spread = [[cell.text for cell in row.find_elements(By.CSS_SELECTOR, "th, td")]
              for row in detail.find_elements(By.CSS_SELECTOR, "tbody > tr")]
    export = csv.DictReader(io.StringIO(tool("export", "--format", "csv", str(slow_node)).stdout))
    mine = {}
    for record in export:
        if record["host"] == "node07" and record["window"] == "1004" and record["rank"] != "0":
            mine.setdefault(record["test"].split()[0], []).append(float(record["rate"]))
    assert [row[0] for row in spread] == ["Float", "Integer", "Logic"]
    for test, workers, low, middle, high, slow in spread:
        rates = mine[test]
        assert int(workers) == len(rates) == 4 and slow != "none"
        assert {float(pair.split(": ")[1]) for pair in slow.split(", ")} <= set(rates)
        assert [float(low), float(middle), float(high)] == pytest.approx(
            [min(rates), statistics.median(rates), max(rates)], rel=1e-5)
    terms = [term.text for term in detail.find_elements(By.TAG_NAME, "dt")]
    values = [value.text for value in detail.find_elements(By.TAG_NAME, "dd")]
    assert dict(zip(terms, values))["microcode"] == NEW_MICROCODE
    # A sort carries the open row with its node.
    sort(0)
    assert browser.execute_script(
        "const d = document.querySelector('#table tr.detail');"
        "return d.previousElementSibling.cells[0].textContent;") == "node07"
    assert console_errors(browser) == []


def test_markup_in_names_and_records_is_text(hostile, tmp_path, browser):
    """Host names and record values that hold markup show as text, run
    nothing and add no element, in the table, the heatmap, the drain list
    and each node's record."""
    out = tmp_path / "page.html"
    job = html("--out", str(out), str(hostile))
    assert job.returncode == 1 and "is no valid Slurm node name" in job.stderr
    open_page(browser, out)
    shown = hosts(browser)
    assert shown[0] == SCRIPT and {IMG, QUOTED} < set(shown)
    assert browser.find_element(By.ID, "headline").text == f"verdict: nodes flagged; drain 1: " \
                                                           f"{SCRIPT}"
    labels = [label.text for label in browser.find_elements(By.CSS_SELECTOR, "#heatmap text")]
    assert {IMG, SCRIPT, QUOTED} <= set(labels)
    assert [option.text for option in Select(browser.find_element(By.ID, "class")).options][1:] \
        == ["AMD EPYC 7B13, 8 logical CPUs", f"{CPU}, 8 logical CPUs"]
    for host in (SCRIPT, IMG, QUOTED, "node06", "node09"):
        browser.execute_script(
            "Array.from(document.querySelectorAll('#table tbody th'))"
            ".find(cell => cell.textContent === arguments[0]).click();", host)
    records = [value.text for value in browser.find_elements(By.CSS_SELECTOR, "tr.detail dd")]
    assert KERNEL in records and CPU in records, records
    captions = [caption.text for caption in browser.find_elements(By.TAG_NAME, "caption")]
    assert f"The workers of {SCRIPT}" in captions and f"The workers of {IMG}" in captions
    assert browser.execute_script(
        "return [document.images.length, document.scripts.length, "
        "document.querySelectorAll('b, [onclick], [onerror], [onmouseover]').length]") == [0, 2, 0]
    assert no_alert(browser) and console_errors(browser) == []


def test_with_script_off_the_table_reads_whole(slow_node, failed_job, tmp_path, no_script):
    for directory in (slow_node, failed_job):
        out = tmp_path / "page.html"
        html("--out", str(out), str(directory))
        document = json.loads(tool("verdict", "--format", "json", str(directory)).stdout)
        no_script.get("file://" + str(out))
        rows = no_script.find_elements(By.CSS_SELECTOR, "#table tbody tr")
        cells = [row.find_elements(By.CSS_SELECTOR, "th, td") for row in rows]
        assert [row[0].text for row in cells] == [node["host"] for node in document["nodes"]]
        assert [row[-1].text for row in cells] == [node["verdict"] for node in document["nodes"]]
        assert all(len(row) == 16 and row[0].is_displayed() for row in cells)
        assert not no_script.find_element(By.ID, "filters").is_displayed()
        assert "Script is off" in no_script.find_element(By.TAG_NAME, "noscript") \
            .get_attribute("textContent")
        assert no_script.find_element(By.ID, "heatmap").is_displayed()


# ---- Without a browser -------------------------------------------------------------

REFUSING_JINJA = '''"""Jinja2 for Debian's python3 only{}: another interpreter has none."""
import importlib, os, sys
if {} or os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
    raise ImportError("no jinja2 here")
sys.path.remove(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
del sys.modules["jinja2"]
sys.modules["jinja2"] = importlib.import_module("jinja2")
'''


def without_jinja(directory, anywhere):
    """An environment whose Python finds a jinja2 that refuses to load
    under any interpreter but Debian's (or under every one)."""
    fake = directory / ("nowhere" if anywhere else "debian-only") / "jinja2"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text(REFUSING_JINJA.format(
        " (not even there)" if anywhere else "", anywhere))
    path = os.pathsep.join([str(fake.parent), os.path.join(ROOT, "tools"),
                            os.path.join(ROOT, "tests")])
    return dict(os.environ, PYTHONPATH=path)


def test_bad_input_is_one_line(tmp_path, slow_node):
    garbled = tmp_path / "results_garbled.txt"
    garbled.write_text("Thread(s): 3\nnot a report\n")
    for args, words in (([str(garbled)], "results_garbled.txt"),
                        ([str(tmp_path / "none")], "none"),
                        (["--slow", "x", str(slow_node)], "not a percentage"),
                        (["--out", str(tmp_path / "no" / "p.html"), str(slow_node)],
                         "cannot write the page"),
                        (["--out", str(tmp_path), str(slow_node)], "cannot write the page")):
        job = tool("html", *args)
        assert job.returncode == 2 and len(job.stderr.splitlines()) == 1, (args, job.stderr)
        assert words in job.stderr and not job.stdout, (args, job.stderr)
    job = tool("html", str(garbled), str(slow_node))  # the page, and the file not read
    assert job.returncode == 2 and job.stdout.endswith(".html\n"), job.stderr

    job = tool("html", str(slow_node), env=without_jinja(tmp_path, anywhere=True))
    assert job.returncode == 2 and len(job.stderr.splitlines()) == 1, job.stderr
    assert "apt-get install python3-jinja2" in job.stderr
    # Only Debian's python3 has it: that one renders the page.
    job = tool("html", "--out", str(tmp_path / "p.html"), str(slow_node),
               env=without_jinja(tmp_path, anywhere=False))
    assert job.returncode == 1 and job.stdout == f"{tmp_path / 'p.html'}\n", job.stderr
    assert "<h1 id=\"headline\">verdict: nodes flagged" in (tmp_path / "p.html").read_text()


def test_the_batch_jobs_page(tmp_path, capsys):
    """The batch job's verdict writes X.html beside X.verdict.txt and
    X.drain.sh, in this process or, where its Python has no Jinja2, by
    Debian's python3."""
    paths = made_up.write_weeks(str(tmp_path), NODES[:16], {"node07": 0.8})
    base = paths[0][:-len(".txt")]
    assert after_window(str(tmp_path), base, "1004", 0) == 1
    capsys.readouterr()
    page = open(base + ".html").read()
    assert "<h1 id=\"headline\">verdict: nodes flagged; drain 1: node07</h1>" in page
    assert open(base + ".verdict.txt").read() in unescape(page)
    os.unlink(base + ".html")
    python = shutil.which("python3") or sys.executable
    job = subprocess.run(
        [python, "-c", "import sys; from processors64.window_verdict import after_window; "
                       "sys.exit(after_window(sys.argv[1], sys.argv[2], '1004', 0))",
         str(tmp_path), base],
        env=without_jinja(tmp_path, anywhere=False), capture_output=True, text=True,
        stdin=subprocess.DEVNULL, timeout=300)
    assert job.returncode == 1 and "Traceback" not in job.stderr, job.stderr
    assert open(base + ".html").read().count("<tr class=") == 16
