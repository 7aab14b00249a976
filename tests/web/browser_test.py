"""The page in a real browser: headless Chromium, driven by selenium, loads the
served page, pastes the example table, runs it with pooling and compares the
pooled estimate shown and the CSV downloaded with the native program; a refused
file shows the program's message; the page asks for nothing but its own files.
A screenshot of the example's results is saved.

    /usr/bin/python3 tests/web/browser_test.py BUILD_WEB NATIVE_MORVEX SCREENSHOT.png
"""

import csv as csv_module
import functools
import http.server
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(ROOT, "examples", "alcohol-colorectal-cancer.csv")
REFUSED = os.path.join(ROOT, "tests", "e2e", "cases", "line3-no-number.txt")

results = {"passed": 0, "failed": 0}


def check(name, ok, detail=""):
    if ok:
        results["passed"] += 1
        print(f"ok   {name}")
    else:
        results["failed"] += 1
        print(f"FAIL {name}: {detail}")


def native(morvex, folder, args):
    run = subprocess.run([morvex, *args], cwd=folder, capture_output=True, check=False)
    return run.stdout.decode(), run.stderr.decode(), run.returncode


class Server(http.server.ThreadingHTTPServer):
    requested = []


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requested.append(self.path)
        super().do_GET()


def serve(folder):
    server = Server(("127.0.0.1", 0), functools.partial(Handler, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser(downloads, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--window-size=1280,1800",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    service = Service(executable_path=shutil.which("chromedriver"))
    driver = webdriver.Chrome(options=options, service=service)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    return driver


def requested_urls(driver):
    urls = []
    for entry in driver.get_log("performance"):
        match = re.search(r'"method":"Network.requestWillBeSent".*?"url":"([^"]*)"', entry["message"])
        if match:
            urls.append(match.group(1))
    return urls


def wait_for_file(folder, name, seconds=20):
    path = os.path.join(folder, name)
    end = time.time() + seconds
    while time.time() < end:
        if os.path.exists(path) and not os.path.exists(path + ".crdownload"):
            with open(path, encoding="utf-8", newline="") as f:
                return f.read()
        time.sleep(0.1)
    return None


def load_page(driver, url):
    start = time.perf_counter()
    driver.get(url)
    WebDriverWait(driver, 30).until(
        lambda d: d.execute_script("return document.body.dataset.ready === 'yes'"))
    return time.perf_counter() - start


def run_page(driver):
    """Starts a run from the keyboard, waits for its results and gives the
    page's own measure of the time from the key to the results drawn."""
    driver.find_element(By.ID, "run").send_keys(Keys.ENTER)
    took = WebDriverWait(driver, 120, poll_frequency=0.05).until(
        lambda d: d.execute_script("return document.body.dataset.took"))
    return int(took) / 1000


def example_run(driver, morvex, scratch, downloads):
    with open(EXAMPLE, encoding="utf-8") as f:
        table = f.read()
    paste = driver.find_element(By.ID, "paste")
    paste.send_keys(table)
    driver.find_element(By.XPATH, "//code[text()='--pool']/preceding-sibling::input").click()
    took = run_page(driver)
    print(f"time: the example estimated and shown in {took:.3f} s")
    with open(os.path.join(scratch, "pasted.csv"), "w", encoding="utf-8") as f:
        f.write(paste.get_attribute("value"))
    out, err, status = native(morvex, scratch,
                              ["--pool", "--summary=summary.csv", "--format=csv", "pasted.csv"])
    with open(os.path.join(scratch, "summary.csv"), encoding="utf-8", newline="") as f:
        summary = list(csv_module.DictReader(f))
    reml = [r["estimate"] for r in summary if r["analysis"] == "overall" and r["model"] == "reml"]
    shown = driver.find_element(By.CSS_SELECTOR, "#pooled-reml .pooled-beta").text
    expected = reml[0] if reml else None
    check("pooled REML estimate shown is the program's", shown == expected,
          f"{shown} against {expected}")
    rows = driver.find_elements(By.CSS_SELECTOR, "#studies tbody tr")
    check("one table row per study", len(rows) == out.count("\n") - 1, f"{len(rows)} rows")
    check("exit status shown", driver.find_element(By.ID, "exit-status").text.startswith(
        f"Exit status {status}"), driver.find_element(By.ID, "exit-status").text)
    check("picture inline", len(driver.find_elements(By.CSS_SELECTOR, "#pictures img")) == 1)
    driver.find_element(By.LINK_TEXT, "Download pasted-morvex.csv").click()
    csv = wait_for_file(downloads, "pasted-morvex.csv")
    check("downloaded CSV is byte for byte the program's", csv == out,
          "missing" if csv is None else "differs")
    # Sorting by the slope puts the smallest first.
    driver.find_element(By.XPATH, "//th/button[text()='beta']").click()
    betas = [float(r.find_elements(By.TAG_NAME, "td")[6].text)
             for r in driver.find_elements(By.CSS_SELECTOR, "#studies tbody tr")]
    check("sorted by beta", betas == sorted(betas), betas)
    del err


def refused_run(driver, morvex, scratch):
    driver.find_element(By.ID, "paste").clear()
    driver.find_element(By.ID, "files").send_keys(REFUSED)
    run_page(driver)
    # The command line the page shows, run by the native program on a copy of the file.
    shutil.copy(REFUSED, scratch)
    args = shlex.split(driver.find_element(By.ID, "command-line").text)[1:]
    _, err, _ = native(morvex, scratch, args)
    shown = [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#messages li")]
    check("refused file shows the program's message", shown == err.splitlines(),
          f"{shown} against {err.splitlines()}")


def many_studies(driver):
    """10,000 studies, pasted at once, estimated and shown."""
    with open(EXAMPLE, encoding="utf-8") as f:
        lines = f.read().splitlines()
    header, body = lines[0], lines[1:]
    rows = [header]
    for k in range(1250):  # 8 studies each
        rows.extend(re.sub(r"^([^,]*)", lambda m, k=k: f"{m.group(1)}-{k}", line) for line in body)
    driver.execute_script(
        "const p = document.getElementById('paste'); p.value = arguments[0];"
        "p.dispatchEvent(new Event('input'));", "\n".join(rows) + "\n")
    driver.find_element(By.ID, "files").clear()
    took = run_page(driver)
    shown = driver.find_element(By.ID, "study-count").text
    print(f"time: 10,000 studies estimated and shown in {took:.3f} s")
    check("10,000 studies in the table", shown == "Studies 1 to 100 of 10000.", shown)
    check("10,000 studies within 5 s", took < 5.0, f"{took:.3f} s")


def main():
    build, morvex, screenshot = sys.argv[1:4]
    morvex = os.path.abspath(morvex)
    with tempfile.TemporaryDirectory() as temp:
        downloads, profile, scratch = (os.path.join(temp, d) for d in ("downloads", "profile", "s"))
        for d in (downloads, profile, scratch):
            os.mkdir(d)
        server = serve(build)
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        driver = browser(downloads, profile)
        try:
            took = load_page(driver, url)
            print(f"time: page loaded (first visit) in {took:.3f} s")
            took = load_page(driver, url)
            print(f"time: page loaded (cached) in {took:.3f} s")
            text = driver.find_element(By.ID, "private").text
            check("says the data stay on the computer", "stay on this computer" in text, text)
            example_run(driver, morvex, scratch, downloads)
            # The whole page, from its top: the data, the options and the results.
            driver.set_window_size(1280, 2350)
            driver.execute_script("window.scrollTo(0, 0)")
            driver.save_screenshot(screenshot)
            # 200% zoom of a 1280-pixel window lays the page out 640 pixels wide.
            driver.set_window_size(640, 1800)
            width = driver.execute_script(
                "const w = document.documentElement; return [w.scrollWidth, w.clientWidth];")
            check("no sideways scrolling at 200% zoom", width[0] <= width[1] + 1, width)
            driver.set_window_size(1280, 1800)
            refused_run(driver, morvex, scratch)
            many_studies(driver)
            # The browser's own pages (chrome://) are no requests of the page.
            others = [u for u in requested_urls(driver)
                      if not u.startswith((url, "blob:", "data:", "chrome:", "about:"))]
            check("no request to any other host", others == [], others)
            files = set(os.listdir(build)) | {f"examples/{e}" for e in os.listdir(os.path.join(build, "examples"))}
            strays = [p for p in Server.requested if p.lstrip("/") not in files and p != "/"]
            check("only the page's own files requested", strays == [], strays)
        except Exception:
            driver.save_screenshot(screenshot)  # how the page looked when the test broke
            raise
        finally:
            driver.quit()
            server.shutdown()
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 0 if results["failed"] == 0 and results["passed"] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
