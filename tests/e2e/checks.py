"""What the Python tests of the end-to-end suite share: a line per check,
"ok - WHAT" or "not ok - WHAT: DETAIL", the count of those that failed, and a
scratch folder for their files."""
import shutil
import tempfile

failed = 0


def check(what, condition, detail=""):
    """Prints the check's line; returns `condition`, for a test to stop on."""
    global failed
    print(("ok - " if condition else "not ok - ") + what + ("" if condition else f": {detail}"))
    if not condition:
        failed += 1
    return condition


def in_scratch(prefix, body):
    """Runs body(folder) in a folder of its own, removed after; the exit
    status: 1 when any check failed."""
    scratch = tempfile.mkdtemp(prefix=prefix)
    try:
        body(scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0
