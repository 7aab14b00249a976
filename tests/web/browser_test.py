"""The page in a real browser: headless Chromium, driven by selenium.

The served page and the single file Morvex.html opened from disk are used as a
meta-analyst would: tables pasted (a published one, a semicolon export, one
headed Study,...,OR,Lower,Upper,Total), options set with the keyboard, runs
with pooling, a spline and an increment. The figures shown must be the native
program's full-precision figures rounded by the documented rule (implemented
again here), the curve table its predictions, the paragraph its paragraph, the
downloads its bytes. A long run must leave the page responsive and be
cancellable; every option --help names must have a control; the console must
stay clean; axe-core (injected, a test tool) must find no serious or critical
violation; the layout must read at 400 px and at 200% zoom; no host but the
page's own may be asked for anything. Screenshots of the empty page, a linear
result and a curve result are saved.

    /usr/bin/python3 tests/web/browser_test.py BUILD_WEB NATIVE_MORVEX AXE_MIN_JS SCREENSHOT_FOLDER
"""

import csv as csv_module
import functools
import http.server
import io
import os
import re
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
from selenium.webdriver.support.ui import Select, WebDriverWait

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(ROOT, "examples", "alcohol-colorectal-cancer.csv")
PUBLISHED = os.path.join(ROOT, "tests", "e2e", "tables", "alcohol_cvd.csv")
REFUSED = os.path.join(ROOT, "tests", "e2e", "cases", "line3-no-number.txt")
NOTES = os.path.join(ROOT, "tests", "e2e", "cases", "table-dose-ranges.csv")
PAGE_OWN = {"format", "threads", "help", "version"}  # the page's business, not controls
MODELS = {"fixed": "Fixed effect", "dl": "Random effects (DerSimonian-Laird)",
          "reml": "Random effects (REML)", "moments": "Random effects (method of moments)"}

results = {"passed": 0, "failed": 0}


def check(name, ok, detail=""):
    if ok:
        results["passed"] += 1
        print(f"ok   {name}")
    else:
        results["failed"] += 1
        print(f"FAIL {name}: {detail}")


# ---- the rounding rule, written again from its documentation ----

def p_text(v):
    if not v >= 0:
        return "n/a"
    if v < 0.001:
        return "< 0.001"
    if v >= 0.995:
        return "> 0.99"
    return f"{v:.{3 if v < 0.0995 else 2}f}"


def p_sentence(v):
    text = p_text(v)
    return f"p {text}" if text[0] in "<>" else f"p = {text}"


def interval(e, lo, hi):
    for d in (2, 3, 4):
        shown = (f"{e:.{d}f}", f"{lo:.{d}f}", f"{hi:.{d}f}")
        if lo == hi or (shown[1] != shown[0] and shown[0] != shown[2]):
            break
    return shown


def figure(v):
    return f"{v:.0f}" if abs(v) >= 999.5 else f"{v:.3g}"


def interval_cell(e, lo, hi):
    shown = interval(float(e), float(lo), float(hi))
    return f"{shown[0]} ({shown[1]} to {shown[2]})"


# ---- the browser and the programs ----

def native(morvex, folder, args):
    run = subprocess.run([morvex, *args], cwd=folder, capture_output=True, check=False)
    return run.stdout.decode(), run.stderr.decode(), run.returncode


def read_csv(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv_module.DictReader(f))


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
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
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


def console_clean(driver, when):
    """Every console message since the last look: none may be a warning or an error."""
    problems = [e for e in driver.get_log("browser") if e["level"] in ("WARNING", "SEVERE")]
    check(f"console clean {when}", problems == [], problems)


def wait_for_file(folder, name, seconds=20):
    path = os.path.join(folder, name)
    end = time.time() + seconds
    while time.time() < end:
        if os.path.exists(path) and not os.path.exists(path + ".crdownload"):
            time.sleep(0.1)
            with open(path, encoding="utf-8", newline="") as f:
                text = f.read()
            os.remove(path)
            return text
        time.sleep(0.1)
    return None


def load_page(driver, url):
    start = time.perf_counter()
    driver.get(url)
    WebDriverWait(driver, 60).until(
        lambda d: d.execute_script("return document.body.dataset.ready === 'yes'"))
    return time.perf_counter() - start


def paste(driver, text, stem="pasted"):
    driver.execute_script(
        "const p = document.getElementById('paste'); p.value = arguments[0];"
        "document.getElementById('paste-name').value = arguments[1];"
        "p.dispatchEvent(new Event('input', {bubbles: true}));", text, stem)


def option(driver, name):
    return driver.find_element(By.ID, f"option-{name}")


def set_options(driver, values):
    """Sets each option's control: True/False ticks a box, text fills a field or picks a choice."""
    for name, value in values.items():
        control = option(driver, name)
        if control.tag_name == "select":
            Select(control).select_by_value(value)
        elif control.get_attribute("type") == "checkbox":
            if control.is_selected() != value:
                control.send_keys(Keys.SPACE)
        else:
            control.clear()
            control.send_keys(value)
    settled(driver)


def settled(driver):
    """Waits until the command line shown reflects the controls (the adviser answered)."""
    time.sleep(0.4)


def run_page(driver):
    """Starts a run from the keyboard, waits for its results and gives the
    page's own measure of the time from the key to the results drawn."""
    driver.find_element(By.ID, "run").send_keys(Keys.ENTER)
    took = WebDriverWait(driver, 300, poll_frequency=0.05).until(
        lambda d: d.execute_script("return document.body.dataset.took"))
    return int(took) / 1000


def ran(driver):
    """The arguments the page ran, from the command line it shows."""
    text = driver.find_element(By.ID, "run-command").text
    return text.split(" ", 2)[2].split(" ") if text.startswith("Ran: Morvex") else []


def texts(driver, selector):
    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, selector)]


def table_cells(driver, selector):
    return [[c.text for c in r.find_elements(By.CSS_SELECTOR, "td")]
            for r in driver.find_elements(By.CSS_SELECTOR, f"{selector} tbody tr")]


def axe(driver, axe_source, when):
    driver.execute_script(axe_source)
    found = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document).then((r) => done(r.violations.map((v) => [v.id, v.impact, v.nodes.length])));")
    serious = [v for v in found if v[1] in ("serious", "critical")]
    print(f"axe {when}: {found}")
    check(f"axe: no serious or critical violation {when}", serious == [], serious)


def no_sideways_scrolling(driver, width, when):
    driver.set_window_size(width, 1800)
    time.sleep(0.3)
    sizes = driver.execute_script(
        "const w = document.documentElement; return [w.scrollWidth, w.clientWidth];")
    check(f"no sideways scrolling {when}", sizes[0] <= sizes[1] + 1, sizes)
    driver.set_window_size(1280, 1800)


def full_screenshot(driver, path, from_id=None):
    """The page from its top, or from an element, to its end."""
    height = driver.execute_script(
        "const top = arguments[0] ? document.getElementById(arguments[0]).offsetTop - 8 : 0;"
        "return document.documentElement.scrollHeight - top", from_id)
    # The window's own frame takes some of its height from the page's.
    chrome = driver.execute_script("return window.outerHeight - window.innerHeight")
    driver.set_window_size(1280, min(height + chrome, 4000))
    driver.execute_script("document.activeElement.blur();"
                          "arguments[0] ? document.getElementById(arguments[0]).scrollIntoView()"
                          " : window.scrollTo(0, 0)", from_id)
    time.sleep(0.3)
    driver.save_screenshot(path)
    driver.set_window_size(1280, 1800)


# ---- the scenarios ----

def every_option_has_a_control(driver, morvex):
    text = subprocess.run([morvex, "--help"], capture_output=True, text=True, check=True).stdout
    named = set(re.findall(r"--([a-z][a-z-]*)", text)) - PAGE_OWN
    missing = sorted(n for n in named if not driver.find_elements(By.CSS_SELECTOR, f"[data-option='{n}']"))
    check(f"every option of --help has a control ({len(named)})", missing == [], missing)


def example_run(driver, morvex, scratch, downloads, shots):
    """The bundled table, chosen, pooled and run with the keyboard alone."""
    driver.find_element(By.XPATH, "//button[text()='alcohol-colorectal-cancer.csv']").send_keys(Keys.ENTER)
    set_options(driver, {"pool": True, "increment": "10"})
    took = run_page(driver)
    print(f"time: the example estimated and shown in {took:.3f} s")
    check("results heading focused after the run",
          driver.switch_to.active_element.get_attribute("id") == "results-heading")
    shutil.copy(EXAMPLE, scratch)
    args = ran(driver)
    out, _, status = native(morvex, scratch, ["--format=csv", *args])
    summary = read_csv(os.path.join(scratch, "summary.csv"))
    reml = next(r for r in summary if r["analysis"] == "overall" and r["model"] == "reml")
    expected = (f"Random effects (REML): RR per 10 units of dose "
                f"{interval_cell(reml['rr'], reml['rr_lower'], reml['rr_upper']).replace('(', '(95% CI ')}, "
                f"{p_sentence(float(reml['p']))}, I\u00b2 {float(reml['I2']):.0f}%, {reml['k']} studies")
    shown = texts(driver, "ul.sentences li")
    check("pooled REML sentence is the program's figures rounded by the rule", expected in shown,
          f"{shown} against {expected}")
    rows = driver.find_elements(By.CSS_SELECTOR, "#studies tbody tr")
    check("one table row per study", len(rows) == out.count("\n") - 1, f"{len(rows)} rows")
    heights = {r.size["height"] for r in rows}
    check("each study row one line high", max(heights) < 40, heights)
    check("exit status shown", driver.find_element(By.ID, "exit-status").text.startswith(
        f"Exit status {status}"), driver.find_element(By.ID, "exit-status").text)
    captions = texts(driver, "#pictures figcaption")
    check("picture named for what it shows", captions == ["Forest plot of the studies' slopes (forest.svg)"], captions)
    driver.find_element(By.LINK_TEXT, "Download alcohol-colorectal-cancer-morvex.csv").send_keys(Keys.ENTER)
    csv = wait_for_file(downloads, "alcohol-colorectal-cancer-morvex.csv")
    check("downloaded CSV is byte for byte the program's", csv == out, "missing" if csv is None else "differs")
    driver.find_element(By.XPATH, "//th/button[text()='Slope (95% CI)']").send_keys(Keys.ENTER)
    slopes = [float(r.get_attribute("title").split(": ")[1].split(",")[0])
              for r in driver.find_elements(By.CSS_SELECTOR, "#studies tbody tr td:nth-child(5)")]
    check("sorted by the slope", slopes == sorted(slopes), slopes)
    full_screenshot(driver, os.path.join(shots, "web-page-linear.png"), "results-heading")


def spline_run(driver, morvex, scratch):
    """A published table pasted, pooled with a spline and an increment; gives
    what is shown, for the single file to match."""
    with open(PUBLISHED, encoding="utf-8") as f:
        paste(driver, f.read())
    set_options(driver, {"pool": False, "increment": "10", "trend": "spline"})
    kind = driver.find_element(By.ID, "paste-kind").text
    check("the program tells the paste is a table", "as a table: pasted.csv" in kind, kind)
    run_page(driver)
    shutil.copy(PUBLISHED, os.path.join(scratch, "pasted.csv"))
    args = ran(driver)
    native(morvex, scratch, ["--format=csv", *args])
    summary = read_csv(os.path.join(scratch, "summary.csv"))
    overall = [r for r in summary if r["analysis"] == "overall"]
    expected = [f"{MODELS[r['model']]}: RR per 10 units of dose "
                f"{interval_cell(r['rr'], r['rr_lower'], r['rr_upper']).replace('(', '(95% CI ')}, "
                f"{p_sentence(float(r['p']))}, I\u00b2 {float(r['I2']):.0f}%, {r['k']} studies" for r in overall]
    shown = {"sentences": texts(driver, "ul.sentences li")}
    check("every pooled sentence is the program's figures rounded by the rule",
          shown["sentences"] == expected, f"{shown['sentences']} against {expected}")
    predictions = [r for r in summary if r["analysis"] == "trend-prediction"]
    models = list(dict.fromkeys(r["model"] for r in predictions))
    doses = list(dict.fromkeys(r["dose"] for r in predictions))
    table = [[figure(float(d))] + [interval_cell(r["rr"], r["rr_lower"], r["rr_upper"])
                                   for m in models for r in predictions if r["model"] == m and r["dose"] == d]
             for d in doses]
    shown["curve"] = table_cells(driver, "#curve-table")
    check(f"curve table ({len(doses)} doses, {len(models)} models) is the program's predictions rounded",
          shown["curve"] == table and len(table) > 5, f"{shown['curve']} against {table}")
    tests = {r["model"]: r for r in summary if r["analysis"] == "trend-nonlinearity"}
    wald = [c[1] for c in table_cells(driver, "#wald-tests")]
    nonlinear = [f"{p_sentence(float(tests[m]['p']))} (\u03c7\u00b2 = {float(tests[m]['chi2']):.2f}, "
                 f"df = {tests[m]['chi2_df']})" for m in models]
    check("p for non-linearity of every model shown", wald == nonlinear, f"{wald} against {nonlinear}")
    with open(os.path.join(scratch, "paragraph.txt"), encoding="utf-8") as f:
        paragraph = f.read()
    shown["paragraph"] = driver.find_element(By.ID, "paragraph").get_attribute("textContent")
    check("the paragraph shown is the program's", shown["paragraph"] == paragraph,
          f"{shown['paragraph']!r} against {paragraph!r}")
    driver.find_element(By.ID, "copy-paragraph").send_keys(Keys.ENTER)
    WebDriverWait(driver, 5).until(lambda d: d.find_element(By.ID, "copy-status").text == "Copied.")
    driver.find_element(By.ID, "full-precision").send_keys(Keys.SPACE)
    full = table_cells(driver, "#curve-table")
    raw = [[d] + [f"{r['rr']} ({r['rr_lower']} to {r['rr_upper']})"
                  for m in models for r in predictions if r["model"] == m and r["dose"] == d] for d in doses]
    check("full precision shows the program's own text", full == raw, f"{full[:2]} against {raw[:2]}")
    driver.find_element(By.ID, "full-precision").send_keys(Keys.SPACE)
    return shown


def pasted_forms(driver, morvex, scratch, downloads):
    """A semicolon export with decimal commas, and a table headed
    Study,...,OR,Lower,Upper,Total, pasted: the program's results."""
    with open(EXAMPLE, encoding="utf-8") as f:
        lines = f.read().splitlines()
    semicolons = "\n".join(line.replace(",", ";").replace(".", ",") for line in lines) + "\n"
    renamed = "\n".join(["Study,Type,Dose,Cases,Total,OR,Lower,Upper"] + lines[1:]) + "\n"
    set_options(driver, {"trend": "", "increment": ""})
    for name, text in (("semicolons", semicolons), ("Study,...,OR,Lower,Upper,Total", renamed)):
        paste(driver, text)
        run_page(driver)
        with open(os.path.join(scratch, "pasted.csv"), "w", encoding="utf-8") as f:
            f.write(text)
        out, _, _ = native(morvex, scratch, ["--format=csv", *ran(driver)])
        driver.find_element(By.LINK_TEXT, "Download pasted-morvex.csv").click()
        got = wait_for_file(downloads, "pasted-morvex.csv")
        check(f"pasted table with {name}: the program's CSV", got == out and out.count("\n") == 9,
              f"{got!r} against {out!r}")


def messages_run(driver, morvex, scratch):
    """Notes, warnings and refusals look different; a refused file shows the program's message."""
    paste(driver, "")
    driver.find_element(By.ID, "files").send_keys(NOTES)
    run_page(driver)
    kinds = {li.get_attribute("class") for li in driver.find_elements(By.CSS_SELECTOR, "#messages li")}
    check("notes and refusals styled apart", {"note", "refusal"} <= kinds, kinds)
    driver.find_element(By.ID, "files").clear()
    driver.find_element(By.ID, "files").send_keys(REFUSED)
    run_page(driver)
    shutil.copy(REFUSED, scratch)
    _, err, _ = native(morvex, scratch, ran(driver))
    shown = texts(driver, "#messages li .line")
    check("refused file shows the program's message", shown == err.splitlines(),
          f"{shown} against {err.splitlines()}")
    driver.find_element(By.ID, "files").clear()


def many_studies(n_copies):
    with open(EXAMPLE, encoding="utf-8") as f:
        lines = f.read().splitlines()
    rows = [lines[0]]
    for k in range(n_copies):  # 8 studies each
        rows.extend(re.sub(r"^([^,]*)", lambda m, k=k: f"{m.group(1)}-{k}", line) for line in lines[1:])
    return "\n".join(rows) + "\n"


def long_run(driver):
    """Leaving out each of 10,000 studies in turn runs for minutes: the page
    answers meanwhile, and cancels it."""
    paste(driver, many_studies(1250))
    set_options(driver, {"leave-one-out": True, "egger": False})
    driver.find_element(By.ID, "run").send_keys(Keys.ENTER)
    time.sleep(1.5)
    check("a long run is shown as running", driver.execute_script("return document.body.dataset.running") == "yes")
    option(driver, "egger").click()
    answered = WebDriverWait(driver, 10).until(
        lambda d: "--egger" in d.find_element(By.ID, "command-line").text)
    check("a click during the run is handled (the command line follows it)", answered)
    time.sleep(1.2)
    elapsed = driver.find_element(By.ID, "elapsed").text
    check("the time taken is shown", re.fullmatch(r"\d+ s", elapsed) is not None, elapsed)
    driver.find_element(By.ID, "cancel").send_keys(Keys.ENTER)
    WebDriverWait(driver, 20).until(lambda d: d.find_element(By.ID, "run").is_enabled())
    status = driver.find_element(By.ID, "run-status").text
    check("the run is cancelled", status.startswith("Cancelled"), status)
    set_options(driver, {"leave-one-out": False, "egger": False})


def many_linear(driver):
    """10,000 studies, pasted at once, estimated and shown."""
    paste(driver, many_studies(1250))
    took = run_page(driver)
    shown = driver.find_element(By.ID, "study-count").text
    print(f"time: 10,000 studies estimated and shown in {took:.3f} s")
    check("10,000 studies in the table", shown == "Studies 1 to 100 of 10000.", shown)
    check("10,000 studies within 5 s", took < 5.0, f"{took:.3f} s")


def single_file(driver, build, morvex, scratch, served):
    """Morvex.html opened from disk gives what the served page gives, and asks for nothing."""
    size = os.path.getsize(os.path.join(build, "Morvex.html"))
    check(f"Morvex.html under 2 MiB ({size} bytes)", size < 2 * 1024 * 1024)
    requested_urls(driver)
    load_page(driver, "file://" + os.path.abspath(os.path.join(build, "Morvex.html")))
    console_clean(driver, "on loading Morvex.html from disk")
    shown = spline_run(driver, morvex, scratch)
    check("Morvex.html shows what the served page shows", shown == served)
    console_clean(driver, "after a run in Morvex.html")
    others = [u for u in requested_urls(driver) if not u.startswith(("file:", "blob:", "data:", "chrome:", "about:"))]
    check("Morvex.html asks no host for anything", others == [], others)


def main():
    build, morvex, axe_path, shots = sys.argv[1:5]
    morvex = os.path.abspath(morvex)
    with open(axe_path, encoding="utf-8") as f:
        axe_source = f.read()
    os.makedirs(shots, exist_ok=True)
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
            console_clean(driver, "on loading")
            text = driver.find_element(By.ID, "private").text
            check("says the data stay on the computer", "stay on this computer" in text, text)
            every_option_has_a_control(driver, morvex)
            axe(driver, axe_source, "on the empty page")
            full_screenshot(driver, os.path.join(shots, "web-page-empty.png"))
            example_run(driver, morvex, scratch, downloads, shots)
            served = spline_run(driver, morvex, scratch)
            axe(driver, axe_source, "on a page of results")
            full_screenshot(driver, os.path.join(shots, "web-page-curve.png"), "results-heading")
            no_sideways_scrolling(driver, 640, "at 200% zoom (640 px)")
            no_sideways_scrolling(driver, 400, "at 400 px")
            console_clean(driver, "after the runs")
            pasted_forms(driver, morvex, scratch, downloads)
            messages_run(driver, morvex, scratch)
            long_run(driver)
            many_linear(driver)
            console_clean(driver, "after the long runs")
            others = [u for u in requested_urls(driver)
                      if not u.startswith((url, "blob:", "data:", "chrome:", "about:"))]
            check("no request to any other host", others == [], others)
            strays = [p for p in Server.requested if p.lstrip("/") not in os.listdir(build) and p != "/"]
            check("only the page's own files requested", strays == [], strays)
            single_file(driver, build, morvex, scratch, served)
        except Exception:
            driver.save_screenshot(os.path.join(shots, "web-page-failed.png"))  # how it looked when it broke
            raise
        finally:
            driver.quit()
            server.shutdown()
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 0 if results["failed"] == 0 and results["passed"] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
