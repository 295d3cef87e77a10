"""What the Python tests of the end-to-end suite share: a line per check,
"ok - WHAT" or "not ok - WHAT: DETAIL", and the count of those that failed."""

failed = 0


def check(what, condition, detail=""):
    """Prints the check's line; returns `condition`, for a test to stop on."""
    global failed
    print(("ok - " if condition else "not ok - ") + what + ("" if condition else f": {detail}"))
    if not condition:
        failed += 1
    return condition
