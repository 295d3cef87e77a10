#!/usr/bin/python3
"""tools/mutate on a tiny project of its own: a library, a CMake build and a test that checks
one changed line and not the other."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "tools")
TOOL = os.path.join(TOOLS, "mutate")
sys.dont_write_bytecode = True
sys.path.insert(0, TOOLS)
import clang.cindex  # noqa: E402
import mutate_operators  # noqa: E402

CMAKE = """cmake_minimum_required(VERSION 3.20)
project(tiny CXX)
add_library(tally lib/tally.cpp lib/spin.cpp)
target_include_directories(tally PUBLIC lib)
enable_testing()
add_executable(tally_test tests/tally_test.cpp)
target_link_libraries(tally_test tally)
add_test(NAME tally_test COMMAND tally_test)
add_executable(spin_test tests/spin_test.cpp)
target_link_libraries(spin_test tally)
add_test(NAME spin_test COMMAND spin_test)
# Fails the first time it runs in a build tree, as a test may on a loaded machine.
add_test(NAME flaky_test COMMAND sh -c "[ -e flaked ] || { touch flaked; exit 1; }")
"""
HEADER = "void note(int weight);\nint notes();\nbool keep_spinning();\n"
TALLY_RELEASED = """#include "tally.h"

namespace {
int noted = 0;
}

void note(int weight) {
  (void)weight;
}

int notes() { return noted; }
"""
# What the change makes of it: the weighted line is committed after the release, the rest is
# still in the working tree. The comment, the string, the macro and the code an #if leaves out
# hold operators that must never be mutated.
CAUGHT_LINE = "  noted = noted + weight * 2;"
SURVIVING_LINE = '  std::puts("noted: a < b && !c == 1");'
TALLY_COMMITTED = TALLY_RELEASED.replace("  (void)weight;", CAUGHT_LINE)
TALLY_CHANGED = TALLY_COMMITTED.replace('#include "tally.h"\n', """#include "tally.h"

#include <cstdio>

#define NOTE_LIMIT (1 < 2 && 3 > 0)
""").replace(CAUGHT_LINE, CAUGHT_LINE + """
  // a < b && !c: x == y || z != 3, prose and never code
""" + SURVIVING_LINE + """
#ifdef TINY_NEVER_DEFINED
  noted = noted > 0 ? 1 : 0;
#endif""")
SPIN = "#include \"tally.h\"\n\nbool keep_spinning() {\n  return false;\n}\n"
# Notes twice and checks the total; the line printed is not checked.
TALLY_TEST = """#include "tally.h"
int main() {
  note(1);
  note(1);
  return notes() == 4 ? 0 : 1;
}
"""
SPIN_TEST = "#include \"tally.h\"\nint main() {\n  while (keep_spinning()) {\n  }\n}\n"


def git(repo, *args):
    subprocess.run(["git", "-C", repo, *args], check=True, capture_output=True)


def write(repo, rel, text):
    path = os.path.join(repo, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def snapshot(repo):
    """Every file of the working tree but .git/ and the ignored build/: content and mtime."""
    files = {}
    for folder, dirs, names in os.walk(repo):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in
                   (os.path.join(repo, ".git"), os.path.join(repo, "build"))]
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, repo)] = (f.read(), os.stat(path).st_mtime_ns)
    status = subprocess.run(["git", "-C", repo, "status", "--porcelain"], capture_output=True,
                            text=True, check=True).stdout
    return status, files


def running_from(folder):
    """Processes (not zombies) whose program lies under folder."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.path.realpath("/proc/%s/exe" % pid)
            with open("/proc/%s/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if exe.startswith(folder + "/") and state != "Z":
            found.append((pid, exe))
    return found


class TinyProject(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.mkdtemp(prefix="mutate-test-")
        cls.repo = os.path.join(cls.temp, "tiny")
        os.makedirs(cls.repo)
        for key in ("AUTHOR", "COMMITTER"):
            os.environ["GIT_%s_NAME" % key] = "Tiny"
            os.environ["GIT_%s_EMAIL" % key] = "tiny@example.invalid"
        git(cls.repo, "init", "-q")
        write(cls.repo, ".gitignore", "build/\n")
        write(cls.repo, "CMakeLists.txt", CMAKE)
        write(cls.repo, "lib/tally.h", HEADER)
        write(cls.repo, "lib/tally.cpp", TALLY_RELEASED)
        write(cls.repo, "lib/spin.cpp", SPIN)
        write(cls.repo, "tests/tally_test.cpp", TALLY_TEST)
        write(cls.repo, "tests/spin_test.cpp", SPIN_TEST)
        git(cls.repo, "add", ".")
        git(cls.repo, "commit", "-q", "-m", "released")
        git(cls.repo, "tag", "v1.0")
        write(cls.repo, "lib/tally.cpp", TALLY_COMMITTED)
        # The test of the change's own code: not product, never mutated.
        write(cls.repo, "tests/tally_test.cpp",
              TALLY_TEST.replace(" : 1;", " : 1;  // both notes counted"))
        git(cls.repo, "commit", "-qam", "weighted notes")
        write(cls.repo, "lib/tally.cpp", TALLY_CHANGED)
        write(cls.repo, "lib/spin.cpp", SPIN.replace("return false;", "return false;  // not yet"))
        # New, not yet told to git: every line is the change's.
        write(cls.repo, "lib/limits.h", "inline int most_notes() { return 4; }\n")
        cls.equivalent = os.path.join(cls.temp, "equivalent.tsv")
        write(cls.temp, "equivalent.tsv",
              "# file\tline\tmutated line\treason\n"
              "lib/tally.cpp\t%s\t(line removed)\tthe line printed is for a person only\n" %
              SURVIVING_LINE.strip())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.temp)

    def mutate(self, *args):
        command = [TOOL, "--configure", "cmake -S {src} -B {build} -G Ninja",
                   "--build", "cmake --build {build}",
                   "--test", "ctest --test-dir {build} --stop-on-failure --no-tests=ignore",
                   "--full", "", "--room", "lib/tally=-R tally", *args]
        done = subprocess.run(command, cwd=self.repo, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done.stdout

    def mutants(self, output):
        """(status, file:line, operator) of each mutant the output tells."""
        return re.findall(r"^\[\d+/\d+\] (CAUGHT|SURVIVED|DOES NOT BUILD|NOT COMPILED|EQUIVALENT)? ?(\S+:\d+) "
                          r"([^:(\n]+?)(?: \(| *$|:)", output, re.M)

    def line_of(self, text):
        return "lib/tally.cpp:%d" % (TALLY_CHANGED.split("\n").index(text) + 1)

    def test_1_sample_is_every_mutable_line_once_and_reproducible(self):
        before = snapshot(self.repo)
        # Since the release tag, the committed and the uncommitted lines.
        first = self.mutate("--list", "--sample", "50", "--seed", "7")
        again = self.mutate("--list", "--sample", "50", "--seed", "7")
        self.assertEqual(first, again)
        places = sorted(place for _, place, _ in self.mutants(first))
        # Neither the comment, the string, the macro, the left-out code nor the test: each line
        # that has an operator, once.
        self.assertEqual(places, sorted([self.line_of(CAUGHT_LINE), self.line_of(SURVIVING_LINE),
                                         "lib/spin.cpp:4", "lib/limits.h:1"]))
        self.assertIn("    -" + CAUGHT_LINE + "\n", first)
        self.assertEqual(snapshot(self.repo), before)

    def test_2_caught_and_survived_with_the_tree_untouched(self):
        before = snapshot(self.repo)
        output = self.mutate("--sample", "2", "--seed", "3", "--paths", "lib/tally.cpp")
        # The first run of the unmutated suite meets the flaky test: named, and no mutant's.
        self.assertIn("failed once and passed alone (the machine's load, not the mutant): "
                      "flaky_test\n", output)
        found = {place: (status, operator) for status, place, operator in self.mutants(output)}
        self.assertEqual(found[self.line_of(CAUGHT_LINE)][0], "CAUGHT", output)
        self.assertEqual(found[self.line_of(SURVIVING_LINE)], ("SURVIVED", "statement removed"),
                         output)
        self.assertRegex(output, r"CAUGHT lib/tally.cpp:\d+ .*tally_test")
        self.assertEqual(output.rstrip().split("\n")[-1],
                         "1 caught, 1 survived, 0 do not build, 0 equivalent")
        with open(os.path.join(self.repo, "build", "mutate", "mutants.tsv")) as f:
            rows = [r.split("\t") for r in f.read().strip().split("\n")[1:]]
        self.assertEqual(sorted(r[1] for r in rows), ["CAUGHT", "SURVIVED"])
        self.assertEqual(snapshot(self.repo), before)

    def test_3_a_listed_equivalent_is_no_survivor(self):
        output = self.mutate("--sample", "2", "--seed", "3", "--paths", "lib/tally.cpp",
                             "--equivalent", self.equivalent)
        self.assertIn("EQUIVALENT %s statement removed" % self.line_of(SURVIVING_LINE), output)
        self.assertEqual(output.rstrip().split("\n")[-1],
                         "1 caught, 0 survived, 0 do not build, 1 equivalent")

    def test_4_a_hang_is_caught_by_the_time_limit(self):
        output = self.mutate("--sample", "1", "--paths", "lib/spin.cpp", "--timeout", "5")
        self.assertRegex(output, r"CAUGHT lib/spin.cpp:4 returned bool flipped \(\d+ s\): time-out")
        build = os.path.realpath(os.path.join(self.repo, "build", "mutate", "build"))
        self.assertEqual(running_from(build), [], "the hung test is still running")
        self.assertEqual(output.rstrip().split("\n")[-1],
                         "1 caught, 0 survived, 0 do not build, 0 equivalent")


    def test_6_a_header_nothing_includes_is_not_compiled(self):
        # lib/limits.h is new and no source includes it yet: no test could see its mutant. It
        # comes last, after mutants whose files were put back (and built again meanwhile).
        output = self.mutate("--sample", "3", "--seed", "2", "--paths", "lib/tally.cpp",
                             "lib/limits.h")
        self.assertRegex(output, r"\[3/3\] NOT COMPILED lib/limits.h:1 .*: nothing this build "
                                 r"makes includes it")
        self.assertEqual(output.rstrip().split("\n")[-1],
                         "1 caught, 1 survived, 0 do not build, 0 equivalent, 1 not compiled")

    def test_5_a_resumed_run_takes_over_what_was_caught_and_judges_survivors_again(self):
        earlier = os.path.join(self.temp, "earlier.tsv")
        self.mutate("--sample", "2", "--seed", "3", "--paths", "lib/tally.cpp", "--tsv", earlier)
        work = os.path.join(self.temp, "resumed")
        output = self.mutate("--sample", "2", "--seed", "3", "--paths", "lib/tally.cpp",
                             "--resume", earlier, "--work", work)
        caught = re.search(r"^\[(\d+)/2\] CAUGHT %s .*: earlier run: .*tally_test" %
                           re.escape(self.line_of(CAUGHT_LINE)), output, re.M)
        self.assertTrue(caught, output)
        survived = re.search(r"^\[(\d+)/2\] SURVIVED %s " %
                             re.escape(self.line_of(SURVIVING_LINE)), output, re.M)
        self.assertTrue(survived, output)
        # Only the survivor was built and tested again.
        tested = {name.split("-")[1] for name in os.listdir(os.path.join(work, "logs"))
                  if re.match(r"test-\d+-", name)}
        self.assertEqual(tested, {survived.group(1)})
        self.assertEqual(output.rstrip().split("\n")[-1],
                         "1 caught, 1 survived, 0 do not build, 0 equivalent")


# One line per case, with the mutants it must give (the mutated line's text, stripped) and no
# others; each is put in the code below at its mark.
CATALOGUE = [
    ("@define", "#define WORSE(a, b) ((a) < (b) && !(b))", []),
    ("@take", "void take(std::vector<int>&& moved);", []),
    ("@cond", "  if (a < b && !c)", ["if (a <= b && !c)", "if (a < b || !c)", "if (a < b && c)",
                                    "if (a + 1 < b && !c)", "if (a - 1 < b && !c)",
                                    "if (a < b + 1 && !c)", "if (a < b - 1 && !c)"]),
    ("@true", "    return true;", ["return false;"]),
    ("@w", "  std::vector<int> w;", []),
    ("@x", "  int x = 0x1f + 010 + n;", ["int x = 0x20 + 010 + n;", "int x = 0x1e + 010 + n;",
                                        "int x = 0x1f + 011 + n;", "int x = 0x1f + 07 + n;",
                                        "int x = 0x1f + 010 + n + 1;",
                                        "int x = 0x1f + 010 + n - 1;"]),
    ("@log", '  log("a < b && !c == 1");', ["(line removed)"]),
    ("@twice", "  (void)twice(n);", ["(line removed)"]),
    ("@void", "  (void)n;", []),
    ("@pair", "  Pair p{a, b};", ["Pair p{b, a};"]),
    ("@max", "  int most = std::max(a, b);", []),
    ("@add", "  int sum = add(a, b);", ["int sum = add(b, a);"]),
    ("@at", "  int at = v[n - 1] * 3;", ["int at = v[n] * 3;", "int at = v[n - 2] * 3;",
                                        "int at = v[n - 0] * 3;", "int at = v[n - 1] * 4;",
                                        "int at = v[n - 1] * 2;", "int at = (v[n - 1] + 1) * 3;",
                                        "int at = (v[n - 1] - 1) * 3;",
                                        "int at = v[n + 1 - 1] * 3;",
                                        "int at = v[n - 1 - 1] * 3;"]),
    ("@flip", "  flag = !flag;  // a < b && !c", ["flag = flag;  // a < b && !c"]),
    ("@busy", "  return Status::busy;", ["return Status::ok;", "return Status::gone;"]),
    ("@same", "  return a == b;", ["return a != b;", "return !(a == b);", "return a + 1 == b;",
                                   "return a - 1 == b;", "return a == b + 1;",
                                   "return a == b - 1;"]),
    ("@left_out", "  if (a < b) return true;", []),
]
SNIPPET = """#include <algorithm>
#include <vector>
enum class Status { ok, busy, gone };
struct Pair { int a; int b; };
void log(const char* text);
int twice(int n);
int add(int a, int b);
@define
@take
bool check(int a, int b, bool c) {
@cond
@true
  return false;
}
Status status(int a, int b, int n, std::vector<int> v, bool flag) {
@w
@x
@log
@twice
@void
@pair
@max
@add
@at
@flip
@busy
}
bool same(int a, int b) {
@same
}
#if 0
@left_out
#endif
"""


class Catalogue(unittest.TestCase):
    """The operators on one line each: what they must give, and what they must leave alone
    (template brackets, references, strings, comments, macros, code an #if leaves out)."""

    def test_each_line_gives_its_mutants_and_no_other(self):
        code = SNIPPET
        for mark, line, _ in CATALOGUE:
            code = code.replace(mark + "\n", line + "\n")
        with tempfile.TemporaryDirectory() as temp:
            path = os.path.join(temp, "snippet.cpp")
            with open(path, "w") as f:
                f.write(code)
            found = mutate_operators.FileMutations(clang.cindex.Index.create(), path,
                                                   "snippet.cpp", [],
                                                   range(1, code.count("\n") + 1))
            self.assertEqual([str(d) for d in found.tu.diagnostics], [])
        texts = code.split("\n")
        for _, line, wanted in CATALOGUE:
            got = [m.key()[2] for ms in found.of_line(texts.index(line) + 1).values() for m in ms]
            self.assertEqual(sorted(got), sorted(wanted), line)


if __name__ == "__main__":
    unittest.main(verbosity=2)
