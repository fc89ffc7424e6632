#!/usr/bin/python3
"""The web console in a real browser: headless Chromium driven by Selenium against this build's
kor_webui, beside the oven manager on the virtual IO board, all started in a scratch folder.

Checks that the page loads without console errors, follows the board's power-on, draws new chart
points, logs in and sets a target that the board receives (register 56), lists a board fault and
its clearing, and says "reconnecting" while the manager is away, then carries on. Screenshots go
to --out. Every wait is for a condition, with a deadline meant for a loaded machine.

Run by CTest (needs Debian's chromium, chromium-driver and python3-selenium):
    /usr/bin/python3 test_webui_browser.py --bin BUILD/bin --source SOURCE --out BUILD/webui-browser
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import traceback

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

DEADLINE = 60  # seconds for any one condition
PASSWORD = "browser-oven-3"
# What a sanitizer build's programs write when they find something.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")


class Failure(Exception):
    pass


def until(what, condition, seconds=DEADLINE):
    """Waits until condition() is true (its value is returned); Failure naming what otherwise."""
    def check(_):
        try:
            return condition()
        except (OSError, WebDriverException):
            return False  # not there yet: a socket or page element still coming
    try:
        return WebDriverWait(None, seconds, poll_frequency=0.1).until(check)
    except TimeoutException:
        raise Failure("timed out after %d s waiting for %s" % (seconds, what)) from None


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Oven:
    """The virtual IO board, the oven manager and kor_webui as child processes."""

    def __init__(self, bin_dir, source_dir):
        self.bin = bin_dir
        self.work = tempfile.mkdtemp(prefix="kor_webui_browser_")
        self.link = os.path.join(self.work, "ioboard")
        self.control = os.path.join(self.work, "ioboard.ctl")
        self.procs = {}
        self.env = dict(os.environ)
        self.env.update({
            "ZEB_BUS_DIR": os.path.join(self.work, "bus"),
            "KOR_CONFIG_DIR": os.path.join(self.work, "config"),
            "ZEB_LOG": "file:" + os.path.join(self.work, "mgr.log"),
            "ZEB_FAULT_FILE": os.path.join(self.work, "faults"),
            # The manager's test knobs: a faster control cycle and short board set-up waits.
            "KOR_CYCLE_MS": "60",
            "KOR_INIT_WAIT_MS": "250",
        })
        shutil.copytree(os.path.join(source_dir, "data", "config"), self.env["KOR_CONFIG_DIR"])
        os.makedirs(self.env["ZEB_BUS_DIR"], mode=0o770)
        self.exits = {}

    def start(self, name, argv, **kw):
        out = open(os.path.join(self.work, name + ".out"), "a")
        err = open(os.path.join(self.work, name + ".err"), "a")
        self.procs[name] = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=err, **kw)
        out.close()
        err.close()

    def output(self, name):
        return read(os.path.join(self.work, name + ".out"))

    def errors(self, name):
        return read(os.path.join(self.work, name + ".err"))

    def stop(self, name, sig=signal.SIGTERM):
        p = self.procs.pop(name, None)
        if p is None:
            return None
        if p.poll() is None:
            p.send_signal(sig)
        try:
            p.wait(30)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        self.exits[name] = p.returncode
        return p.returncode

    def board(self, command):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.control)
            s.sendall((command + "\n").encode())
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        return answer.decode().strip()

    def start_board(self):
        self.start("board", [os.path.join(self.bin, "kor_ioboard_sim"), "--link", self.link,
                             "--control", self.control, "--speed", "50"])
        until("the virtual board's link", lambda: os.path.exists(self.link)
              and os.path.exists(self.control))

    def start_manager(self):
        before = self.output("mgr").count("Oven manager successfully started")
        self.start("mgr", [os.path.join(self.bin, "kor_oven_mgr"), self.link])
        until("the oven manager's start",
              lambda: self.output("mgr").count("Oven manager successfully started") > before)

    def start_webui(self):
        hashed = subprocess.run([os.path.join(self.bin, "kor_webui"), "--hash-password"],
                                input=PASSWORD + "\n", capture_output=True, text=True,
                                env=self.env, check=True).stdout.strip()
        config = os.path.join(self.work, "webui.conf")
        with open(config, "w") as f:
            f.write("password_hash = %s\n" % hashed)
        self.start("webui", [os.path.join(self.bin, "kor_webui"), "--listen", "127.0.0.1:0",
                             "--config", config])
        prefix = "kor_webui: listening on "
        until("kor_webui's address", lambda: prefix in self.output("webui"))
        return self.output("webui").split(prefix, 1)[1].split()[0]

    def report(self):
        text = ""
        for name in ("board", "mgr", "webui"):
            text += "--- %s (stdout, stderr)\n%s%s" % (name, self.output(name)[-3000:],
                                                     self.errors(name)[-3000:])
        return text + "--- manager log\n" + read(os.path.join(self.work, "mgr.log"))[-4000:]

    def sanitizer_reports(self):
        return [name for name in ("board", "mgr", "webui")
                if any(m in self.errors(name) for m in SANITIZER_MARKS)]

    def close(self):
        for name in ("webui", "mgr", "board"):
            self.stop(name)
        shutil.rmtree(self.work, ignore_errors=True)


def browser():
    options = Options()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    # --no-sandbox: the tests run as root in containers, where Chromium's sandbox cannot start.
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,900", "--disable-extensions", "--no-first-run"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")
                                              or "/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(DEADLINE)
    return driver


class Page:
    def __init__(self, driver, out):
        self.driver = driver
        self.out = out
        self.console = []  # every browser log entry so far

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def shows(self, element_id, expected):
        return until("#%s to show %r" % (element_id, expected),
                     lambda: self.text(element_id) == expected)

    def chart_points(self):
        return self.driver.execute_script(
            "return Chart.getChart('chart').data.datasets[0].data.length")

    def shot(self, name):
        self.driver.execute_script("window.scrollTo(0, 0)")  # the state and the chart
        self.driver.save_screenshot(os.path.join(self.out, name + ".png"))

    def severe(self):
        self.console += self.driver.get_log("browser")
        return [e for e in self.console if e.get("level") == "SEVERE"]


def run(oven, page, url):
    d = page.driver
    d.get(url)
    page.shows("link", "live")
    page.shows("board_state", "off")
    page.shows("mode", "off")
    page.shot("loaded")

    # The chart draws each temperature notification as it comes.
    first = until("the chart's first points", page.chart_points)
    until("new chart points", lambda: page.chart_points() >= first + 3)

    # Log in; the controls appear.
    until("the login form", lambda: d.find_element(By.ID, "login").is_displayed())
    d.find_element(By.ID, "password").send_keys(PASSWORD)
    d.find_element(By.CSS_SELECTOR, "#login button[type=submit]").click()
    until("the controls", lambda: d.find_element(By.ID, "controls").is_displayed())

    # Power on from the page: the board leaves off and the page follows it into preheat.
    d.find_element(By.CSS_SELECTOR,
                   "button[data-req='zeb.varlo.power_onoff'][data-values='1']").click()
    page.shows("board_state", "preheat")
    page.shows("mode", "preheat")

    # A new target through the page's form reaches the board's register 56.
    form = d.find_element(By.CSS_SELECTOR, "form[data-req='zeb.varlo.set_target_temperature']")
    field = form.find_element(By.NAME, "v0")
    field.clear()
    field.send_keys("450")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    until("register 56 = 450 at the board", lambda: oven.board("get 56") == "450")
    page.shows("target", "450 °F")

    # The cavity at the target: the board bakes.
    assert oven.board("set 106 448") == "ok"
    page.shows("board_state", "bake")
    page.shows("mode", "bake")
    until("a few points at bake", lambda: page.chart_points() >= first + 20)
    page.shot("bake")

    # A broken thermocouple shows with its text, and goes when the board clears it.
    assert oven.board("fault 203 1") == "ok"
    until("the fault on the page", lambda: "5: Thermocouple #1 is broken." in page.text("faults"))
    page.shot("fault")
    assert oven.board("fault 203 0") == "ok"
    page.shows("faults", "none")

    # The manager killed: the page says so, and carries on with the manager started again.
    oven.stop("mgr", signal.SIGKILL)
    page.shows("link", "reconnecting")
    page.shot("reconnecting")
    updated = page.text("updated")
    points = page.chart_points()
    oven.start_manager()
    page.shows("link", "live")
    until("a notification after the restart", lambda: page.text("updated") != updated)
    until("chart points after the restart", lambda: page.chart_points() >= points + 3)
    page.shot("restarted")

    severe = page.severe()
    if severe:
        raise Failure("browser console errors: %s" % severe)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    oven = Oven(args.bin, args.source)
    driver = None
    page = None
    failed = None
    try:
        oven.start_board()
        oven.start_manager()
        url = oven.start_webui()
        driver = browser()
        page = Page(driver, args.out)
        run(oven, page, url)
    except Exception as e:  # any failure: keep what shows why, then fail
        failed = "%s\n%s" % (e, traceback.format_exc())
        if page is not None:
            try:
                page.shot("failure")
                page.severe()
                print("--- browser console\n" + "\n".join(str(e) for e in page.console))
            except WebDriverException:
                pass
        print(oven.report())
    finally:
        if driver is not None:
            driver.quit()
        webui_exit = oven.stop("webui")
        mgr_exit = oven.stop("mgr")
        oven.stop("board")
        reports = oven.sanitizer_reports()
        if failed is None and webui_exit != 0:
            failed = "kor_webui exited with %s on SIGTERM\n%s" % (webui_exit, oven.errors("webui"))
        # SIGTERM ends the manager's request loop: it leaves with -ESHUTDOWN (148).
        if failed is None and mgr_exit != 148:
            failed = "kor_oven_mgr exited with %s on SIGTERM\n%s" % (mgr_exit, oven.report())
        if failed is None and reports:
            failed = "sanitizer reports from %s\n%s" % (reports, oven.report())
        oven.close()
    if failed:
        print("FAILED: " + failed)
        return 1
    print("passed; screenshots in " + args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
