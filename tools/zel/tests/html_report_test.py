#!/usr/bin/env python3
"""The HTML page of zel report in a real browser: headless Chromium loads it from its file, the
DOM has a table row and one SVG per device, the console shows nothing (the page loads nothing
and runs nothing, so any message is a fault), and a screenshot is kept as an artifact.
Usage: html_report_test.py ZEL ARTIFACT_DIR"""
import subprocess
import sys
import tempfile
from html.parser import HTMLParser
from pathlib import Path

zel, artifacts = sys.argv[1], Path(sys.argv[2])
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAILED: {what}")


def chromium(page, profile, *arguments):
    """Loads `page`; its standard output and the console messages Chromium logged."""
    done = subprocess.run(
        ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0", *arguments,
         page.as_uri()], capture_output=True, text=True, timeout=180)
    console = [line for line in done.stderr.splitlines() if ":CONSOLE" in line]
    return done.stdout, console


class Elements(HTMLParser):
    def __init__(self):
        super().__init__()
        self.device_rows = 0
        self.charts = 0

    def handle_starttag(self, tag, attributes):
        classes = dict(attributes).get("class", "") or ""
        if tag == "tr" and "device" in classes.split():
            self.device_rows += 1
        if tag == "svg" and "device-chart" in classes.split():
            self.charts += 1


with tempfile.TemporaryDirectory() as directory:
    folder = Path(directory)
    profile = folder / "profile"
    subprocess.run([zel, "fixtures", directory, "--tiles", "64"], check=True,
                   stdout=subprocess.DEVNULL)
    inputs = [str(folder / name) for name in
              ("configuration.zelcfg", "idle.package", "bootloader.elf")]
    # sim0 and sim1 pass; sim2, with a word that survives the reset, is a device of its own.
    subprocess.run([zel, "run", "--sim-devices", "3", "--repeat", "4", "--tiles", "1472",
                    "--report-dir", str(folder / "reports"), "--fault",
                    "sim2:word-survives-reset=0:0x80000", *inputs],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    page = folder / "report.html"
    subprocess.run([zel, "report", str(folder / "reports"), "--html", str(page)],
                   stdout=subprocess.DEVNULL)

    # The console check must be able to fail: a page that logs an error is caught.
    control = folder / "control.html"
    control.write_text("<!DOCTYPE html><html><body><script>console.error('seen')</script>"
                       "</body></html>")
    check(chromium(control, profile, "--dump-dom")[1] != [], "a console error is seen")

    dom, console = chromium(page, profile, "--dump-dom")
    elements = Elements()
    elements.feed(dom)
    check(elements.device_rows == 3, f"3 device rows, found {elements.device_rows}")
    check(elements.charts == 3, f"one SVG per device, found {elements.charts}")
    check("tile 0 address 0x80000" in dom, "the failing word is on the page")
    check(console == [], f"no console message: {console}")

    artifacts.mkdir(parents=True, exist_ok=True)
    screenshot = artifacts / "zel-report.png"
    chromium(page, profile, f"--screenshot={screenshot}", "--window-size=1280,1600",
             "--hide-scrollbars")
    check(screenshot.exists() and screenshot.stat().st_size > 0, "a screenshot was taken")

sys.exit(1 if failures else 0)
