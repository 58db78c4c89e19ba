#!/usr/bin/env python3
"""The lab at scale, as a lab meets it: many simulated devices run many times into a report
folder, the reports aggregated into the formats labs read (JUnit XML as CI systems take it, the
Prometheus text format as its own parser reads it), and the host's device nodes listed.
Usage: lab_test.py ZEL"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from prometheus_client.parser import text_string_to_metric_families

zel = sys.argv[1]
junit_schema = Path(__file__).resolve().parent / "junit.xsd"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAILED: {what}")


def run(*arguments, **options):
    return subprocess.run([zel, *arguments], capture_output=True, text=True, **options)


def junit_validates(path):
    """Against the schema of what CI systems import (xmllint, Debian's libxml2-utils)."""
    done = subprocess.run(["xmllint", "--noout", "--schema", str(junit_schema), str(path)],
                          capture_output=True, text=True)
    return done.returncode == 0, done.stderr[-2000:]


def junit_is_well_formed(root):
    """The structure CI systems read: testsuites of testsuites of testcases, counts that add
    up, a failure or error with a message for each run that did not pass."""
    check(root.tag == "testsuites", "the JUnit root is testsuites")
    cases = 0
    for suite in root.findall("testsuite"):
        for attribute in ("name", "tests", "failures", "errors"):
            check(attribute in suite.attrib, f"testsuite has {attribute}")
        suite_cases = suite.findall("testcase")
        check(int(suite.get("tests")) == len(suite_cases), "testsuite tests count its cases")
        bad = sum(1 for case in suite_cases for tag in ("failure", "error") if case.find(tag) is not None)
        check(int(suite.get("failures")) + int(suite.get("errors")) == bad, "failures add up")
        for case in suite_cases:
            check("name" in case.attrib and "classname" in case.attrib, "testcase is named")
            for tag in ("failure", "error"):
                element = case.find(tag)
                if element is not None:
                    check(bool(element.get("message")), f"{tag} has a message")
        cases += len(suite_cases)
    check(int(root.get("tests")) == cases, "testsuites counts every case")
    return cases


with tempfile.TemporaryDirectory() as directory:
    folder = Path(directory)
    subprocess.run([zel, "fixtures", directory, "--tiles", "256"], check=True,
                   stdout=subprocess.DEVNULL)
    inputs = [str(folder / name) for name in
              ("configuration.zelcfg", "idle.package", "bootloader.elf")]
    reports = folder / "reports"

    # Four devices, 25 runs each, one of them with a word that survives the reset.
    campaign = run("run", "--sim-devices", "4", "--repeat", "25", "--report-dir", str(reports),
                   "--fault", "sim2:word-survives-reset", *inputs)
    check(campaign.returncode == 1, "a campaign with a failing device ends with 1")
    check(len(list(reports.glob("*.json"))) == 100, "100 reports written")
    check("sim2 (faults injected)" in campaign.stdout,
          "the summary names the failing device")
    check("25 did not; 25 with faults injected" in campaign.stdout,
          "the totals say how many runs had faults injected")
    check("tile 735 address 0x80000" in campaign.stdout, "the summary names tile and address")

    junit, prometheus, html = folder / "j.xml", folder / "p.prom", folder / "h.html"
    aggregated = run("report", str(reports), "--json", "--junit", str(junit), "--prometheus",
                     str(prometheus), "--html", str(html))
    check(aggregated.returncode == 1, "zel report of failed runs ends with 1")
    summary = json.loads(aggregated.stdout)
    check(summary["runs"] == 100, "zel report counts 100 runs")
    check(summary["failures_by_word"][0]["what"] == "tile 735 address 0x80000",
          "the failing word is grouped")

    valid, why = junit_validates(junit)
    check(valid, f"the JUnit file validates against the importers' schema: {why}")
    # The schema check bites: a suite time in nanoseconds is refused, as importers refuse it.
    nanoseconds = folder / "nanoseconds.xml"
    nanoseconds.write_text('<testsuites><testsuite name="a" tests="0" failures="0" errors="0" '
                           'time="0.041302500"/></testsuites>')
    check(not junit_validates(nanoseconds)[0], "the schema refuses a time of nine decimals")
    root = ElementTree.parse(junit).getroot()
    check(junit_is_well_formed(root) == 100, "JUnit holds a case per run")
    failed = [case for case in root.iter("testcase") if case.find("failure") is not None]
    check(len(failed) == 25, "25 failed cases")
    check(all(case.get("classname").endswith("sim2 (faults injected)") and
              "tile 735 address 0x80000" in case.find("failure").get("message")
              for case in failed),
          "each failed case names the device, apart as injected, its tile and address")

    runs = 0
    for family in text_string_to_metric_families(prometheus.read_text()):
        if family.name == "zel_runs":
            runs += sum(sample.value for sample in family.samples)
    check(runs == 100, "the Prometheus runs counters add up to 100")

    # A device whose process is killed is said by name, and the campaign does not pass. sim0
    # stops at its first run (its node is absent); once its line is out, sim1 is still at its
    # runs, and every process of the campaign is killed (sim0's has ended already).
    campaign = subprocess.Popen(
        [zel, "run", "--sim-devices", "2", "--repeat", "1000000", "--until-fail", "--fault",
         "sim0:device-absent", "--report-dir", str(folder / "killed"), *inputs],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = campaign.stderr.readline()
    check(first.startswith("sim0: 1 of 1000000 runs, 0 passed"), f"sim0 stops first: {first}")
    for process in Path("/proc").iterdir():
        stat = process / "stat"
        try:
            parent = int(stat.read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if parent == campaign.pid:
            os.kill(int(process.name), signal.SIGKILL)
    out, err = campaign.communicate(timeout=600)
    check(campaign.returncode == 1, "a campaign with a killed device ends with 1")
    check("zel run: the runs of sim1 ended after " in err and
          "killed by signal 9 (Killed)" in err, f"the killed device is named: {err}")
    check("zel run: the runs of sim0" not in err, "a device that finished is not said killed")

    # Device nodes in a folder of their own: a character device, a regular file, none at all.
    nodes = folder / "dev"
    nodes.mkdir()
    empty = run("devices", "--dev-dir", str(nodes), "--json")
    check(empty.returncode == 1 and json.loads(empty.stdout)["nodes"] == [],
          "no node is not a usable device")
    (nodes / "zel1").write_text("")
    if os.geteuid() == 0:
        os.mknod(nodes / "zel0", 0o660 | 0o020000, os.makedev(1, 3))
        listed = json.loads(run("devices", "--dev-dir", str(nodes), "--json").stdout)["nodes"]
        check([node["usable"] for node in listed] == [True, False], "a character device is usable")
        check(listed[1]["kind"] == "regular file", "a regular file is named as such")
        # Without permission, as an unprivileged user, who may still look into the folder.
        folder.chmod(0o755)
        unprivileged = subprocess.run(
            ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", zel, "devices",
             "--dev-dir", str(nodes), "--json"], capture_output=True, text=True)
        denied = json.loads(unprivileged.stdout)["nodes"][0]
        check(unprivileged.returncode == 1 and denied["open_error"] == "EACCES",
              "a node the user may not open is not usable, with EACCES")
    else:
        print("skipped the character-device cases: making a node needs root")

sys.exit(1 if failures else 0)
