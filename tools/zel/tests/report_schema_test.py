#!/usr/bin/env python3
"""The installed report schema describes the reports zel writes: a report of every kind of end
validates against it, zel replay's too, and the schema itself is a valid JSON Schema."""
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
    # A faithful replay, and one whose trace says the stack wrote another value than it does.
    trace = f"{directory}/trace.jsonl"
    subprocess.run([zel, "run", "--trace", trace, *inputs], stdout=subprocess.DEVNULL, check=True)
    lines = Path(trace).read_text().splitlines(keepends=True)
    store = next(i for i, text in enumerate(lines) if '"op":"store"' in text)
    line = json.loads(lines[store])
    line["value"] = hex(int(line["value"], 16) ^ 1)
    lines[store] = json.dumps(line, separators=(",", ":")) + "\n"
    Path(f"{directory}/edited.jsonl").write_text("".join(lines))
    replays = {"replayed pass": (trace, "pass"),
               "replayed divergence": (f"{directory}/edited.jsonl", "diverged")}

    failed = False
    runs = [(result, ["run", *options, *inputs], result) for result, options in ends.items()]
    runs += [(name, ["replay", trace_file, *inputs], result)
             for name, (trace_file, result) in replays.items()]
    for name, command, result in runs:
        report = f"{directory}/{name}.json"
        subprocess.run([zel, *command, "--report", report],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        document = json.loads(Path(report).read_text())
        errors = list(validator.iter_errors(document))
        for error in errors:
            print(f"{name}: {error.json_path}: {error.message}")
        if document["result"] != result:
            print(f"{name}: the run ended as {document['result']}")
            errors.append(name)
        failed = failed or bool(errors)
sys.exit(1 if failed else 0)
