#!/usr/bin/env python3
"""The fleet playbook end to end with Debian's ansible-core: three hosts of a local inventory,
two simulated devices each, every report fetched and aggregated on the controller.
Usage: fleet_test.py ZEL"""
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

zel = os.path.abspath(sys.argv[1])
playbook = Path(__file__).resolve().parent.parent / "zel-fleet.yml"
HOSTS, DEVICES, REPEAT = ["lab-a", "lab-b", "lab-c"], 2, 2

with tempfile.TemporaryDirectory() as directory:
    folder = Path(directory)
    subprocess.run([zel, "fixtures", str(folder / "inputs"), "--tiles", "64"], check=True,
                   stdout=subprocess.DEVNULL)
    inventory = folder / "inventory.ini"
    inventory.write_text("[zel_hosts]\n" + "".join(
        f"{host} ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n"
        for host in HOSTS))
    variables = {
        "zel_install": False, "zel_command": zel, "zel_controller_command": zel,
        "zel_inputs_dir": str(folder / "inputs"), "zel_sim_devices": DEVICES,
        "zel_repeat": REPEAT, "zel_work_dir": str(folder / "work"),
        "zel_results_dir": str(folder / "results"),
    }
    # A report of an earlier campaign of lab-a on the controller is not counted with this one.
    stale = folder / "results" / "reports" / "lab-a"
    stale.mkdir(parents=True)
    (stale / "earlier.json").write_text(json.dumps({
        "schema": "zel-run-report/1", "host": "lab-a", "result": "error", "exit_status": 1}))
    environment = dict(os.environ, ANSIBLE_LOCAL_TEMP=str(folder / "ansible-local"),
                       ANSIBLE_REMOTE_TEMP=str(folder / "ansible-remote"),
                       ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0")
    played = subprocess.run(["ansible-playbook", "-i", str(inventory), str(playbook),
                             "-e", json.dumps(variables)],
                            capture_output=True, text=True, env=environment, timeout=600)
    if played.returncode != 0:
        print(played.stdout[-4000:], played.stderr[-4000:])
        sys.exit(1)
    summary = json.loads(subprocess.run([zel, "report", "--json", str(folder / "results")],
                                        capture_output=True, text=True).stdout)
    hosts = sorted({device["host"] for device in summary["devices"]})
    expected_runs = len(HOSTS) * DEVICES * REPEAT
    ok = (hosts == HOSTS and summary["runs"] == expected_runs and
          summary["passes"] == expected_runs and summary["unreadable"] == [] and
          (folder / "results" / "junit.xml").exists() and
          (folder / "results" / "report.html").exists())
    if not ok:
        print(f"hosts {hosts}, runs {summary['runs']} of {expected_runs}, "
              f"passes {summary['passes']}, unreadable {summary['unreadable']}")
    sys.exit(0 if ok else 1)
