"""Which lines of product code a change adds or modifies, relative to a base revision."""

import fnmatch
import re
import subprocess

SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx")
# Code that tests or measures the product rather than being it.
NOT_PRODUCT = ("tests/", "fuzz/", "bench/", "tools/", "build/")

HUNK = re.compile(r"^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@")


def git(root, *args):
    """Runs git in root; returns (ok, stdout, stderr)."""
    done = subprocess.run(["git", "-C", root, *args], capture_output=True, text=True)
    return done.returncode == 0, done.stdout, done.stderr.strip()


def default_base(root):
    """The last release tag reachable from HEAD, or the root commit without one."""
    ok, out, _ = git(root, "describe", "--tags", "--abbrev=0")
    if ok and out.strip():
        return out.strip()
    ok, out, err = git(root, "rev-list", "--max-parents=0", "HEAD")
    if not ok:
        return None
    # A history with several roots (merged unrelated histories): the oldest.
    return out.split()[-1]


def is_product(path):
    return path.endswith(SOURCE_SUFFIXES) and not path.startswith(NOT_PRODUCT)


def matches(path, patterns):
    """True when path is one of patterns, lies under one (a folder) or matches one as a glob."""
    if not patterns:
        return True
    for pattern in patterns:
        pattern = pattern.rstrip("/")
        if path == pattern or path.startswith(pattern + "/") or fnmatch.fnmatchcase(path, pattern):
            return True
    return False


def changed_lines(root, base, patterns=()):
    """Maps each product file changed since base (in the working tree) to its sorted added lines.

    Returns (lines, error): error is None on success."""
    ok, out, err = git(root, "rev-parse", "--verify", "--quiet", base + "^{commit}")
    if not ok:
        return None, "no such revision: %s %s" % (base, err)
    ok, out, err = git(root, "diff", "-U0", "--no-color", "--no-ext-diff", "--no-renames",
                       "--diff-filter=AM", base, "--")
    if not ok:
        return None, "git diff failed: " + err
    lines = {}
    path = None
    for text in out.splitlines():
        if text.startswith("+++ "):
            path = text[6:] if text.startswith("+++ b/") else None
            continue
        hunk = HUNK.match(text)
        if hunk and path:
            start, count = int(hunk.group(1)), int(hunk.group(2) or "1")
            lines.setdefault(path, set()).update(range(start, start + count))
    # Files the change adds without having told git yet: every line is new.
    ok, out, err = git(root, "ls-files", "--others", "--exclude-standard", "-z")
    for path in filter(None, out.split("\0")):
        try:
            with open("%s/%s" % (root, path), "rb") as f:
                count = f.read().count(b"\n")
        except OSError:
            continue
        lines[path] = set(range(1, count + 2))
    return {p: sorted(n) for p, n in sorted(lines.items())
            if is_product(p) and matches(p, patterns) and n}, None
