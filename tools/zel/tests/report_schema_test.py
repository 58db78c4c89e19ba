#!/usr/bin/env python3
"""The installed report schema describes the reports zel writes: a report of every kind of end
validates against it, and the schema itself is a valid JSON Schema."""
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import jsonschema

zel, schema_path = sys.argv[1], sys.argv[2]
schema = json.loads(Path(schema_path).read_text())
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)

ends = {
    "pass": [],
    "error": ["--fault", "tdi-stuck"],
    "check-failed": ["--fault", "word-survives-reset", "--fault", "poison-does-not-stick=2"],
    "refused": ["--tiles", "128"],
}
with tempfile.TemporaryDirectory() as directory:
    subprocess.run([zel, "fixtures", directory, "--tiles", "256"], check=True,
                   stdout=subprocess.DEVNULL)
    inputs = [f"{directory}/{name}" for name in
              ("configuration.zelcfg", "idle.package", "bootloader.elf")]
    failed = False
    for result, options in ends.items():
        report = f"{directory}/{result}.json"
        subprocess.run([zel, "run", "--report", report, *options, *inputs],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        document = json.loads(Path(report).read_text())
        errors = list(validator.iter_errors(document))
        for error in errors:
            print(f"{result}: {error.json_path}: {error.message}")
        if document["result"] != result:
            print(f"{result}: the run ended as {document['result']}")
            errors.append(result)
        failed = failed or bool(errors)
sys.exit(1 if failed else 0)
