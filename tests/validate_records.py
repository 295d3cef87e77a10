#!/usr/bin/env python3
"""Checks results files against the record's JSON Schema.

    validate_records.py SCHEMA FILE...

Every line of every FILE must be one JSON object that SCHEMA (draft 2020-12,
docs/results-record.schema.json) accepts. Exit status 0 when they all are;
1 when one is not, with one line per error on standard output, each naming
the file, the line and what is wrong; 2 when SCHEMA or a FILE cannot be read
or SCHEMA is no valid schema. A FILE without any record is an error too: a
test that checks an empty file checks nothing.

A line that is no record is named as the station's readers name it
(records/record_line.h): "cut" (the start of a record only), "blank", "NUL
bytes", "schema N" (a record of a newer schema), or "not a record: " and
where in the record and what is wrong.

Uses the jsonschema package (Debian: python3-jsonschema), with formats
checked where the schema names one.
"""
import json
import re
import sys

import jsonschema

_NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")


class _RanOut(Exception):
    """The text ended inside a JSON value."""


class _Wrong(Exception):
    """The text is not the start of any JSON value."""


def _json_start(text):
    """True when `text` is the start of a JSON value that ran out."""
    at = 0

    def space():
        nonlocal at
        while at < len(text) and text[at] in " \t\r\n":
            at += 1
        if at == len(text):
            raise _RanOut

    def literal(word):
        nonlocal at
        part = text[at:at + len(word)]
        if not word.startswith(part):
            raise _Wrong
        at += len(word)
        if len(part) < len(word):
            raise _RanOut

    def string():
        nonlocal at
        at += 1  # the quote
        while True:
            if at == len(text):
                raise _RanOut
            c = text[at]
            if c == '"':
                at += 1
                return
            if ord(c) < 0x20:
                raise _Wrong
            if c == "\\":
                at += 1
                if at == len(text):
                    raise _RanOut
                if text[at] == "u":
                    digits = text[at + 1:at + 5]
                    if not re.fullmatch(r"[0-9a-fA-F]*", digits):
                        raise _Wrong
                    if len(digits) < 4:
                        raise _RanOut
                    at += 4
                elif text[at] not in '"\\/bfnrt':
                    raise _Wrong
            at += 1

    def number():
        nonlocal at
        match = _NUMBER.match(text, at)
        end = match.end() if match else at
        # A number cut after "-", "." or "e" ran out too.
        if end == len(text) or (text[end:end + 1] in ("", ".", "e", "E", "-", "+")
                                and re.fullmatch(r"[-+.eE0-9]*", text[end:])):
            raise _RanOut
        if not match:
            raise _Wrong
        at = end

    def value():
        nonlocal at
        space()
        c = text[at]
        if c == "{":
            at += 1
            space()
            if text[at] == "}":
                at += 1
                return
            while True:
                space()
                if text[at] != '"':
                    raise _Wrong
                string()
                space()
                if text[at] != ":":
                    raise _Wrong
                at += 1
                value()
                space()
                if text[at] == "}":
                    at += 1
                    return
                if text[at] != ",":
                    raise _Wrong
                at += 1
        elif c == "[":
            at += 1
            space()
            if text[at] == "]":
                at += 1
                return
            while True:
                value()
                space()
                if text[at] == "]":
                    at += 1
                    return
                if text[at] != ",":
                    raise _Wrong
                at += 1
        elif c == '"':
            string()
        elif c in "tfn":
            literal({"t": "true", "f": "false", "n": "null"}[c])
        else:
            number()

    try:
        value()
    except _RanOut:
        return True
    except _Wrong:
        return False
    return False


def where(error):
    path = "".join(
        f"[{p}]" if isinstance(p, int) else f".{p}" for p in error.absolute_path)
    return path or "(the record)"


def _load(text):
    """The JSON value of `text`, the first value of a name given twice (as
    the station's readers take it), and the names given twice."""
    twice = []

    def pairs(members):
        names = [name for name, _ in members]
        twice.extend(name for i, name in enumerate(names) if name in names[:i])
        return dict(reversed(members))

    return json.loads(text, object_pairs_hook=pairs), twice


def line_errors(validator, newest, raw):
    """What is wrong with one line (its newline taken off); [] for a record."""
    if raw.strip(b" \t\r") == b"":
        return ["blank"]
    if b"\0" in raw:
        return ["NUL bytes"]
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data" and raw.startswith(b"{") and \
                _json_start(raw[:e.start].decode("utf-8", "replace")):
            return ["cut"]
        return [f"not a record: not UTF-8: {e}"]
    try:
        record, twice = _load(text)
    except json.JSONDecodeError as e:
        if text.startswith("{") and _json_start(text):
            return ["cut"]
        return [f"not a record: not JSON: {e}"]
    if isinstance(record, dict):
        schema = record.get("schema")
        if isinstance(schema, int) and not isinstance(schema, bool) and schema > newest:
            return [f"schema {schema}"]
    if twice:
        return [f"not a record: \"{twice[0]}\" twice"]
    return [f"not a record: {where(error)}: {error.message}"
            for error in sorted(validator.iter_errors(record),
                                key=lambda e: list(e.absolute_path))]


def check_file(validator, newest, path):
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
        errors += [f"{path} line {number}: {e}" for e in line_errors(validator, newest, raw)]
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
        newest = schema["properties"]["schema"]["const"]
    except (OSError, json.JSONDecodeError, jsonschema.exceptions.SchemaError, KeyError) as e:
        print(f"validate_records.py: {argv[1]}: {e}", file=sys.stderr)
        return 2
    if cls is not jsonschema.Draft202012Validator:
        print(f"validate_records.py: {argv[1]} is not a draft 2020-12 schema", file=sys.stderr)
        return 2
    validator = cls(schema, format_checker=cls.FORMAT_CHECKER)
    failed = False
    for path in argv[2:]:
        errors, trouble = check_file(validator, newest, path)
        if trouble:
            print(f"validate_records.py: {trouble}", file=sys.stderr)
            return 2
        for line in errors:
            print(line)
        failed = failed or bool(errors)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
