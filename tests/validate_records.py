#!/usr/bin/env python3
"""Checks results files against the record's JSON Schema.

    validate_records.py SCHEMA FILE...

Every line of every FILE must be one JSON object that SCHEMA (draft 2020-12,
docs/results-record.schema.json) accepts. Exit status 0 when they all are;
1 when one is not, with one line per error on standard output, each naming
the file, the line, where in the record and what is wrong; 2 when SCHEMA or a
FILE cannot be read or SCHEMA is no valid schema. A FILE without any record
is an error too: a test that checks an empty file checks nothing.

Uses the jsonschema package (Debian: python3-jsonschema), with formats
checked where the schema names one.
"""
import json
import sys

import jsonschema


def where(error):
    path = "".join(
        f"[{p}]" if isinstance(p, int) else f".{p}" for p in error.absolute_path)
    return path or "(the record)"


def check_file(validator, path):
    """The error lines for one file; none when every line is a record."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        return None, f"{path}: cannot read: {e.strerror}"
    errors = []
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()  # the newline that ends the last record
    else:
        errors.append(f"{path} line {len(lines)}: the last line has no newline")
    if not lines:
        return [f"{path}: no record"], None
    for number, raw in enumerate(lines, start=1):
        try:
            record = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            errors.append(f"{path} line {number}: not JSON: {e}")
            continue
        for error in sorted(validator.iter_errors(record), key=lambda e: list(e.absolute_path)):
            errors.append(f"{path} line {number}: {where(error)}: {error.message}")
    return errors, None


def main(argv):
    if len(argv) < 3:
        print("usage: validate_records.py SCHEMA FILE...", file=sys.stderr)
        return 2
    try:
        with open(argv[1], encoding="utf-8") as f:
            schema = json.load(f)
        cls = jsonschema.validators.validator_for(schema)
        cls.check_schema(schema)
    except (OSError, json.JSONDecodeError, jsonschema.exceptions.SchemaError) as e:
        print(f"validate_records.py: {argv[1]}: {e}", file=sys.stderr)
        return 2
    if cls is not jsonschema.Draft202012Validator:
        print(f"validate_records.py: {argv[1]} is not a draft 2020-12 schema", file=sys.stderr)
        return 2
    validator = cls(schema, format_checker=cls.FORMAT_CHECKER)
    failed = False
    for path in argv[2:]:
        errors, trouble = check_file(validator, path)
        if trouble:
            print(f"validate_records.py: {trouble}", file=sys.stderr)
            return 2
        for line in errors:
            print(line)
        failed = failed or bool(errors)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
