"""The catalogue of faults planted on a changed line, read with libclang's tokens and syntax tree.

Only operators, keywords, identifiers and numeric literals are ever changed: comments are no
tokens, and string and character literals are left whole. Preprocessor lines and the code an
#if leaves out are never mutated (a change there would not reach the build)."""

import bisect
import ctypes
import json
import os
import re
import shlex

import clang.cindex as ci

K = ci.CursorKind
RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
EQUALITY = {"==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
# Operands an off-by-one is added to: comparisons, arithmetic and indexes.
OFF_BY_ONE_PARENTS = {"<", "<=", ">", ">=", "==", "!=", "+", "-", "*", "/", "%"}
# Calls whose arguments can be swapped without a change.
SYMMETRIC = {"max", "min", "swap"}
BINDS_TIGHTER = {"*", "/", "%", ".", "->", "(", "[", "++", "--"}
INTEGRAL = {ci.TypeKind.INT, ci.TypeKind.UINT, ci.TypeKind.LONG, ci.TypeKind.ULONG,
            ci.TypeKind.LONGLONG, ci.TypeKind.ULONGLONG, ci.TypeKind.SHORT,
            ci.TypeKind.USHORT}
# Expressions "+ 1" can follow without a change of meaning beyond the off-by-one.
PRIMARY = {K.DECL_REF_EXPR, K.MEMBER_REF_EXPR, K.CALL_EXPR, K.ARRAY_SUBSCRIPT_EXPR,
           K.PAREN_EXPR}
INTEGER_LITERAL = re.compile(r"^(0[xX][0-9a-fA-F']+|0[bB][01']+|[1-9][0-9']*|0[0-7']*)([uUlLzZ]*)$")
# Flags of a compile command that decide what a file's code means (the rest are codegen's).
KEPT_FLAGS = ("-I", "-D", "-U", "-std=", "-isystem", "-iquote", "-include")


# The mutated text of a statement removed with its line, in the list of equivalent mutants.
REMOVED = "(line removed)"


class Mutant:
    """One fault: edits (byte ranges and their replacement) on one file, shown as whole lines."""

    def __init__(self, path, data, operator, edits):
        self.path = path  # relative to the tree
        self.operator = operator
        self.edits = sorted(edits)
        start = min(e[0] for e in self.edits)
        end = max(e[1] for e in self.edits)
        self.line = data.count(b"\n", 0, start) + 1
        first = data.rfind(b"\n", 0, start) + 1
        last = data.find(b"\n", end)
        last = len(data) if last < 0 else last
        self.before = data[first:last].decode("utf-8", "replace").split("\n")
        after = self.apply(data[first:last], -first)
        # A statement removed from a line of its own takes the line with it.
        self.after = [line for line in after.decode("utf-8", "replace").split("\n")
                      if line.strip() or not any(b.strip() for b in self.before)]

    def apply(self, data, shift=0):
        """data with the edits made (offsets moved by shift when data is a slice)."""
        for start, end, text in reversed(self.edits):
            data = data[:start + shift] + text.encode() + data[end + shift:]
        return data

    def key(self):
        """What identifies the mutant whatever its line number: the lines' text before and after."""
        return (self.path, " ".join(l.strip() for l in self.before),
                " ".join(l.strip() for l in self.after) or REMOVED)

    def diff(self):
        return ["-" + l for l in self.before] + ["+" + l for l in self.after]


class _RangeList(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint), ("ranges", ctypes.POINTER(ci.SourceRange))]


def _skipped_lines(tu, path):
    """Lines of path an #if left out of this compilation, as a set."""
    get = ci.conf.lib.clang_getAllSkippedRanges
    get.argtypes = [ctypes.c_void_p]
    get.restype = ctypes.POINTER(_RangeList)
    dispose = ci.conf.lib.clang_disposeSourceRangeList
    dispose.argtypes = [ctypes.POINTER(_RangeList)]
    found = get(tu.obj)
    lines = set()
    if found:
        for i in range(found.contents.count):
            r = found.contents.ranges[i]
            if r.start.file is None or os.path.realpath(r.start.file.name) != path:
                continue
            lines.update(range(r.start.line, r.end.line + 1))
        dispose(found)
    return lines


def _directive_lines(data):
    """Lines of preprocessor directives, their continuation lines included."""
    lines, going = set(), False
    for number, text in enumerate(data.split(b"\n"), 1):
        if going or text.lstrip().startswith(b"#"):
            lines.add(number)
            going = text.rstrip().endswith(b"\\")
    return lines


def is_source(path):
    """A C or C++ source file (not a header): what a build compiles on its own."""
    return path.endswith((".c", ".cc", ".cpp", ".cxx"))


class CompileFlags:
    """The flags of each file from a compile database (compile_commands.json), when there is one."""

    def __init__(self, database, source_root):
        self.by_file = {}
        self.source_root = os.path.realpath(source_root)
        try:
            with open(database) as f:
                entries = json.load(f)
        except (OSError, ValueError):
            entries = None
        self.present = entries is not None
        for entry in entries or []:
            args = entry.get("arguments") or shlex.split(entry.get("command", ""))
            path = os.path.realpath(os.path.join(entry.get("directory", ""), entry["file"]))
            self.by_file[path] = self._kept(args[1:], entry.get("directory", ""))

    @staticmethod
    def _kept(args, directory):
        kept, i = [], 0
        while i < len(args):
            arg = args[i]
            flag = next((f for f in KEPT_FLAGS if arg.startswith(f)), None)
            if flag:
                value = arg[len(flag):]
                if not value and flag != "-std=" and i + 1 < len(args):
                    i += 1
                    value = args[i]
                if flag in ("-I", "-isystem", "-iquote", "-include"):
                    value = os.path.join(directory, value)
                kept.append(flag + value if flag in ("-I", "-D", "-U", "-std=") else flag)
                if flag in ("-isystem", "-iquote", "-include"):
                    kept.append(value)
            i += 1
        return kept

    def compiled(self, path):
        """False for a source file the build does not compile (another system's)."""
        if not self.present or not is_source(path):
            return True
        return os.path.realpath(path) in self.by_file

    def flags(self, path):
        path = os.path.realpath(path)
        if path in self.by_file:
            return self.by_file[path]
        # A header: the flags of a source file beside it, else of any.
        folder = os.path.dirname(path)
        near = sorted(p for p in self.by_file if os.path.dirname(p) == folder)
        every = sorted(self.by_file)
        chosen = near or every
        return self.by_file[chosen[0]] if chosen else ["-I" + self.source_root]


def _language(path):
    return ["-x", "c"] if path.endswith(".c") else ["-x", "c++", "-std=c++17"]


def _unwrap(cursor):
    """The expression under implicit conversions and the like (clang's unexposed nodes)."""
    while cursor.kind == K.UNEXPOSED_EXPR:
        children = list(cursor.get_children())
        if len(children) != 1:
            break
        cursor = children[0]
    return cursor


class FileMutations:
    """Every mutant of the catalogue on the lines asked for, of one file."""

    def __init__(self, index, path, rel, flags, lines):
        self.path = os.path.realpath(path)
        self.rel = rel
        with open(path, "rb") as f:
            self.data = f.read()
        self.lines = set(lines)
        self.by_line = {}
        args = _language(path) + flags + ["-Wno-everything"]
        options = ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD
        try:
            self.tu = index.parse(path, args=args, options=options)
        except ci.TranslationUnitLoadError:
            return
        blocked = _skipped_lines(self.tu, self.path) | _directive_lines(self.data)
        self.lines -= blocked
        if not self.lines:
            return
        self.tokens = [t for t in self.tu.get_tokens(extent=self.tu.cursor.extent)
                       if t.kind != ci.TokenKind.COMMENT]
        self.starts = [t.extent.start.offset for t in self.tokens]
        self.return_literals = set()
        self._walk(self.tu.cursor, None, 0)
        for i, token in enumerate(self.tokens):
            if token.location.line in self.lines:
                self._token(i, token)

    def of_line(self, line):
        """{operator: [Mutant, ...]} of the mutants that start on line, in a fixed order."""
        return self.by_line.get(line, {})

    def _add(self, operator, edits):
        mutant = Mutant(self.rel, self.data, operator, edits)
        if mutant.line in self.lines:
            self.by_line.setdefault(mutant.line, {}).setdefault(operator, []).append(mutant)

    def _text(self, cursor):
        return self.data[cursor.extent.start.offset:cursor.extent.end.offset].decode()

    def _in_file(self, cursor):
        loc = cursor.extent.start
        return loc.file is not None and os.path.realpath(loc.file.name) == self.path

    def _spans_lines(self, cursor):
        extent = cursor.extent
        return any(extent.start.line <= n <= extent.end.line for n in self.lines)

    def _token_after(self, offset):
        i = bisect.bisect_left(self.starts, offset)
        return self.tokens[i] if i < len(self.tokens) else None

    def _walk(self, cursor, parent, depth):
        for child in cursor.get_children():
            if depth == 0 and not self._in_file(child):
                continue
            if not self._spans_lines(child):
                continue
            self._node(child, cursor)
            self._walk(child, cursor, depth + 1)

    def _node(self, node, parent):
        if not self._in_file(node) or node.extent.start.offset >= node.extent.end.offset:
            return
        kind = node.kind
        if kind == K.CALL_EXPR and parent.kind == K.COMPOUND_STMT:
            self._effect_removed(node)
        elif kind == K.CSTYLE_CAST_EXPR and parent.kind == K.COMPOUND_STMT:
            # (void)f(): a call whose result is dropped on purpose; (void)x is no call.
            inner = list(node.get_children())
            if inner and _unwrap(inner[-1]).kind == K.CALL_EXPR:
                self._effect_removed(node)
        elif kind == K.UNEXPOSED_EXPR and parent.kind == K.COMPOUND_STMT:
            if _unwrap(node).kind == K.CALL_EXPR:
                self._effect_removed(node)
        if kind == K.RETURN_STMT:
            self._return(node)
        if kind == K.CALL_EXPR and node.spelling not in SYMMETRIC and \
                not node.spelling.startswith("operator"):
            self._swaps("arguments swapped", list(node.get_arguments()))
        if kind == K.INIT_LIST_EXPR:
            self._swaps("members swapped", list(node.get_children()))
        if kind == K.BINARY_OPERATOR:
            self._off_by_one_operands(node)
        if kind == K.ARRAY_SUBSCRIPT_EXPR:
            children = list(node.get_children())
            if len(children) == 2:
                self._off_by_one_added(children[1])

    def _effect_removed(self, node):
        end = self._token_after(node.extent.end.offset)
        if end is None or end.spelling != ";" or not self._in_file(node):
            return
        self._add("statement removed", [(node.extent.start.offset, end.extent.end.offset, "")])

    def _return(self, node):
        children = list(node.get_children())
        if len(children) != 1:
            return
        value = _unwrap(children[0])
        if value.kind == K.CXX_BOOL_LITERAL_EXPR:
            text = self._text(value)
            flipped = {"true": "false", "false": "true"}.get(text)
            if flipped:
                self.return_literals.add(value.extent.start.offset)
                self._add("returned bool flipped",
                          [(value.extent.start.offset, value.extent.end.offset, flipped)])
            return
        target = value.referenced if value.kind == K.DECL_REF_EXPR else None
        if target is not None and target.kind == K.ENUM_CONSTANT_DECL:
            others = [c.spelling for c in target.semantic_parent.get_children()
                      if c.kind == K.ENUM_CONSTANT_DECL and c.spelling != target.spelling]
            name_end = value.extent.end.offset
            name_start = name_end - len(target.spelling.encode())
            if self.data[name_start:name_end].decode() != target.spelling:
                return
            for other in others:
                self._add("returned status changed", [(name_start, name_end, other)])
            return
        if children[0].type.get_canonical().kind == ci.TypeKind.BOOL:
            start, end = children[0].extent.start.offset, children[0].extent.end.offset
            self._add("returned bool flipped", [(start, start, "!("), (end, end, ")")])

    def _swaps(self, operator, items):
        items = [i for i in items if self._in_file(i) and
                 i.extent.start.offset < i.extent.end.offset]
        for a, b in zip(items, items[1:]):
            if a.extent.end.offset > b.extent.start.offset:
                continue
            if a.type.get_canonical().spelling != b.type.get_canonical().spelling:
                continue
            ta, tb = self._text(a), self._text(b)
            if ta == tb:
                continue
            self._add(operator, [(a.extent.start.offset, a.extent.end.offset, tb),
                                            (b.extent.start.offset, b.extent.end.offset, ta)])

    def _operator_token(self, node):
        children = list(node.get_children())
        if len(children) != 2:
            return None, children
        token = self._token_after(children[0].extent.end.offset)
        return token, children

    def _off_by_one_operands(self, node):
        token, children = self._operator_token(node)
        if token is None or token.spelling not in OFF_BY_ONE_PARENTS:
            return
        # Under * / % the operand is bracketed: "(n + 1) % k", not "n + 1 % k".
        bracket = token.spelling in ("*", "/", "%")
        for operand in children:
            self._off_by_one_added(operand, bracket)

    def _off_by_one_added(self, operand, bracket=False):
        inner = _unwrap(operand)
        if inner.kind not in PRIMARY or not self._in_file(inner):
            return
        if operand.type.get_canonical().kind not in INTEGRAL:
            return
        start, end = inner.extent.start.offset, inner.extent.end.offset
        for text in (" + 1", " - 1"):
            if bracket:
                self._add("off by one", [(start, start, "("), (end, end, text + ")")])
            else:
                self._add("off by one", [(end, end, text)])

    def _token(self, i, token):
        text, kind = token.spelling, token.kind
        start, end = token.extent.start.offset, token.extent.end.offset
        previous = self.tokens[i - 1].spelling if i else ""
        if previous == "operator":
            return
        if kind == ci.TokenKind.PUNCTUATION:
            cursor = token.cursor
            is_operator = cursor.kind in (K.BINARY_OPERATOR, K.UNARY_OPERATOR) or (
                cursor.kind == K.CALL_EXPR and cursor.spelling == "operator" + text)
            if not is_operator:
                return
            for table, name in ((RELATIONAL, "relational boundary"), (EQUALITY, "== and !="),
                                (LOGICAL, "&& and ||")):
                if text in table:
                    self._add(name, [(start, end, table[text])])
            if text == "!":
                self._add("! dropped", [(start, end, "")])
            if text in ("+", "-") and cursor.kind == K.BINARY_OPERATOR and i + 1 < len(self.tokens):
                following = self.tokens[i + 1]
                # In "n - 1 * k" the 1 is not what is subtracted.
                after = self.tokens[i + 2].spelling if i + 2 < len(self.tokens) else ""
                if _integer_value(following.spelling) == 1 and after not in BINDS_TIGHTER:
                    before = self.tokens[i - 1].extent.end.offset
                    self._add("off by one", [(before, following.extent.end.offset, "")])
        elif kind == ci.TokenKind.LITERAL and token.cursor.kind == K.INTEGER_LITERAL:
            value = _integer_value(text)
            if value is None:
                return
            for changed in (value + 1, value - 1):
                if changed >= 0:
                    self._add("constant changed", [(start, end, _integer_text(text, changed))])
        elif kind == ci.TokenKind.KEYWORD and text in ("true", "false"):
            if start not in self.return_literals:
                self._add("constant changed",
                          [(start, end, "false" if text == "true" else "true")])


def _integer_value(text):
    match = INTEGER_LITERAL.match(text)
    if not match:
        return None
    digits = match.group(1).replace("'", "")
    if len(digits) > 1 and digits[0] == "0" and digits[1] in "0123456789":
        return int(digits, 8)
    return int(digits, 0)


def _integer_text(text, value):
    """value written as the literal text was: its base, its width of hex digits, its suffix."""
    match = INTEGER_LITERAL.match(text)
    digits, suffix = match.group(1).replace("'", ""), match.group(2)
    if digits[:2] in ("0x", "0X"):
        form = "%0*x" if any(c in "abcdef" for c in digits[2:]) else "%0*X"
        return digits[:2] + form % (len(digits) - 2, value) + suffix
    if digits[:2] in ("0b", "0B"):
        return digits[:2] + bin(value)[2:] + suffix
    if len(digits) > 1 and digits[0] == "0":
        return "0%o%s" % (value, suffix)
    return "%d%s" % (value, suffix)
