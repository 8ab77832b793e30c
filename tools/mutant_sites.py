"""Mutants generated from korvel's syntax tree, for `tools/mutants.py --sample N --seed S`.

libclang (Debian's python3-clang-14) parses every src/*.cpp as the dev build compiles it, and every
place in src/ where one of these operators applies becomes a mutant, a replacement of a range of bytes:

  relational   < <= > >= == != : the bound moved or the test inverted (< to <=, == to !=, ...)
  arithmetic   + - * / % and their assignments swapped (+ to -, * to /, % to *), ++ and -- swapped
  bitwise      & | ^ << >> swapped (& to |, << to >>, ...)
  logical      && and || swapped, a ! removed
  constant     an integer literal plus or minus one (not an array's size), true and false swapped
  condition    the condition of an if, a while or a ?: negated
  statement    an expression statement (a call, an assignment) deleted
  return       a returned value changed (a bool negated, a number plus one, a pointer null)

Only code is mutated: comments and string literals are no nodes of the tree, and nothing inside the
arguments of a diagnostic (a call of a printf-like function declared with a format attribute, or a
print to stderr) is touched, as those only shape a message's text.

The sample is drawn with the seed over the modules (src/<name>.h and .cpp) in proportion to their
lines, then in a fixed order; `part` K/M takes every M-th mutant of it from the K-th on, so that a
run can be split and each part still spreads over the modules.

Equivalent mutants (tools/mutants-equivalent.txt) are changes that cannot alter anything korvel does;
the runner does not run or count them. An entry names the file (with " #N" for the N-th of identical
changes in it), the source line(s) the mutant touches before and after the change, and one sentence why:

  src/image_layout.cpp
  - return a.file != b.file ? a.file < b.file : a.offset < b.offset;
  + return a.file != b.file ? a.file < b.file : a.offset <= b.offset;
  why: ...
"""

import os
import random
import re
import subprocess
import sys

EQUIVALENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mutants-equivalent.txt")


def load_clang():
    """libclang's Python bindings, also for a Python that does not see Debian's packages."""
    try:
        import clang.cindex as cindex
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import clang.cindex as cindex
        except ImportError:
            sys.exit("mutants: --sample needs libclang's Python bindings: apt-get install python3-clang-14")
    try:
        cindex.Index.create()
    except cindex.LibclangError:
        cindex.Config.set_library_file("/usr/lib/llvm-14/lib/libclang.so.1")
    return cindex


class Mutant:
    """The bytes [start, end) of `file` (a path under the tree, such as src/crc.cpp) become `new`."""

    def __init__(self, file, text, start, end, new, kind):
        self.file, self.start, self.end, self.new, self.kind = file, start, end, new, kind
        self.occurrence = 1
        self.old = text[start:end].decode()
        first = text.rfind(b"\n", 0, start) + 1
        last = text.find(b"\n", end)
        last = len(text) if last < 0 else last
        self.line = text.count(b"\n", 0, start) + 1
        self.before = collapse(text[first:last].decode())
        self.after = collapse((text[first:start] + new.encode() + text[end:last]).decode())

    def change(self):
        """What names the mutant in the equivalents list: stable while its lines are unchanged."""
        return "%s\n%s\n%s" % (self.file, self.before, self.after)

    def key(self):
        """What names the mutant in a results file: its change, and which of the same changes of the file it is."""
        return self.change() + ("\n#%d" % self.occurrence if self.occurrence > 1 else "")

    def module(self):
        return os.path.splitext(os.path.basename(self.file))[0]

    def label(self):
        change = "'%s' deleted" % shorten(self.old) if self.kind == "statement" else \
            "'%s' -> '%s'" % (shorten(self.old), shorten(self.new))
        return "%s:%d %s %s" % (self.file, self.line, self.kind, change)

    def apply(self, text):
        return text[:self.start] + self.new.encode() + text[self.end:]


def collapse(text):
    return " ".join(text.split())


def shorten(text, width=60):
    text = collapse(text)
    return text if len(text) <= width else text[:width - 3] + "..."


RELATIONAL = {"<": ["<="], "<=": ["<"], ">": [">="], ">=": [">"], "==": ["!="], "!=": ["=="]}
ARITHMETIC = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["*"],
              "+=": ["-="], "-=": ["+="], "*=": ["/="], "/=": ["*="], "%=": ["*="]}
BITWISE = {"&": ["|"], "|": ["&"], "^": ["|"], "<<": [">>"], ">>": ["<<"],
           "&=": ["|="], "|=": ["&="], "^=": ["|="], "<<=": [">>="], ">>=": ["<<="]}
LOGICAL = {"&&": ["||"], "||": ["&&"]}
BINARY = [(RELATIONAL, "relational"), (ARITHMETIC, "arithmetic"), (BITWISE, "bitwise"), (LOGICAL, "logical")]
INTEGER = re.compile(r"^(0[xX][0-9a-fA-F']+|0[0-7']*|[1-9][0-9']*)([uUlL]*)$")
DIAGNOSTIC_STREAMS = {"fprintf", "vfprintf", "fputs", "fputc"}


class SiteFinder:
    """Walks the syntax trees of the tree's sources and collects every mutant in src/."""

    def __init__(self, tree, cindex):
        self.tree, self.ci, self.K = tree, cindex, cindex.CursorKind
        self.src = os.path.join(tree, "src") + os.sep
        self.texts = {}
        self.mutants = {}

    def args(self):
        flac = subprocess.run(["pkg-config", "--cflags", "flac"], stdout=subprocess.PIPE, text=True).stdout.split()
        return ["-x", "c++", "-std=c++20", "-I" + self.src, "-DKORVEL_HAVE_FLAC=1"] + flac

    def find(self):
        index = self.ci.Index.create()
        for name in sorted(os.listdir(self.src)):
            if name.endswith(".cpp"):
                tu = index.parse(self.src + name, args=self.args())
                errors = [d for d in tu.diagnostics if d.severity >= self.ci.Diagnostic.Error]
                if errors:
                    sys.exit("mutants: libclang cannot parse %s: %s" % (name, errors[0]))
                for child in tu.cursor.get_children():
                    if self.ours(child):
                        self.visit(child, False, tu.cursor)
        found = sorted(self.mutants.values(), key=lambda m: (m.file, m.start, m.end, m.new))
        seen = {}
        for m in found:  # the same change of identical lines: the first, the second, ...
            m.occurrence = seen[m.change()] = seen.get(m.change(), 0) + 1
        return found

    def ours(self, cursor):
        f = cursor.location.file
        return f is not None and f.name.startswith(self.src)

    def text(self, path):
        if path not in self.texts:
            with open(path, "rb") as f:
                self.texts[path] = f.read()
        return self.texts[path]

    def add(self, cursor_or_path, start, end, new, kind):
        path = cursor_or_path if isinstance(cursor_or_path, str) else cursor_or_path.extent.start.file.name
        text = self.text(path)
        if start >= end or end > len(text):
            return
        m = Mutant(os.path.relpath(path, self.tree), text, start, end, new, kind)
        self.mutants.setdefault((m.file, start, end, new), m)

    def span(self, cursor):
        """The cursor's bytes, when they are all in one file of src/ (not in a macro's expansion)."""
        e = cursor.extent
        if e.start.file is None or e.end.file is None or e.start.file.name != e.end.file.name:
            return None
        if not e.start.file.name.startswith(self.src) or e.start.offset >= e.end.offset:
            return None
        return e.start.file.name, e.start.offset, e.end.offset

    def visit(self, cursor, in_message, parent):
        K = self.K
        kind = cursor.kind
        if kind == K.STATIC_ASSERT:
            return
        if kind == K.CALL_EXPR and self.is_diagnostic(cursor):
            in_message = True
        if not in_message:
            handler = {K.BINARY_OPERATOR: self.binary, K.COMPOUND_ASSIGNMENT_OPERATOR: self.binary,
                       K.UNARY_OPERATOR: self.unary,
                       K.CXX_BOOL_LITERAL_EXPR: self.boolean, K.IF_STMT: self.condition,
                       K.WHILE_STMT: self.condition, K.CONDITIONAL_OPERATOR: self.ternary,
                       K.COMPOUND_STMT: self.statements, K.RETURN_STMT: self.returned}.get(kind)
            if kind == K.INTEGER_LITERAL:
                self.integer(cursor, parent.kind in (K.VAR_DECL, K.FIELD_DECL))
            elif handler:
                handler(cursor)
        for child in cursor.get_children():
            self.visit(child, in_message, cursor)

    def is_diagnostic(self, call):
        """A call that only prints a message: a printf-like function (declared with a format attribute)
        or a print to stderr."""
        args = list(call.get_arguments())
        if call.spelling in DIAGNOSTIC_STREAMS and args:
            where = self.span(args[-1] if call.spelling in ("fputs", "fputc") else args[0])
            if where and self.text(where[0])[where[1]:where[2]].endswith(b"stderr"):
                return True
        decl = call.referenced
        if decl is None:
            return False
        decl = decl.canonical
        where = self.span(decl)
        return bool(where) and b"format(printf" in self.text(where[0])[where[1]:where[2]]

    def tokens(self, cursor):
        return [t for t in cursor.get_tokens() if t.extent.start.file and
                t.extent.start.file.name == cursor.extent.start.file.name]

    def binary(self, cursor):
        children = list(cursor.get_children())
        where = self.span(cursor)
        if len(children) != 2 or not where or not self.span(children[0]):
            return
        lhs_end = children[0].extent.end.offset
        op = next((t for t in self.tokens(cursor) if t.extent.start.offset >= lhs_end), None)
        if op is None:
            return
        for table, kind in BINARY:
            for new in table.get(op.spelling, []):
                self.add(cursor, op.extent.start.offset, op.extent.end.offset, new, kind)

    def unary(self, cursor):
        toks = self.tokens(cursor)
        if not toks or not self.span(cursor):
            return
        for t in (toks[0], toks[-1]):
            swap = {"++": "--", "--": "++"}.get(t.spelling)
            if swap:
                self.add(cursor, t.extent.start.offset, t.extent.end.offset, swap, "arithmetic")
                return
        if toks[0].spelling == "!":
            self.add(cursor, toks[0].extent.start.offset, toks[0].extent.end.offset, "", "logical")

    def integer(self, cursor, in_declaration):
        """A literal plus and minus one, but not an array's size: a larger buffer changes nothing, and a smaller
        one is a memory fault that only the sanitizer build and the fuzzers can see, not the dev build's suite."""
        where = self.span(cursor)
        if not where:
            return
        text = self.text(where[0])
        literal = text[where[1]:where[2]].decode()
        bound = in_declaration and text[max(0, where[1] - 16):where[1]].rstrip().endswith(b"[") and \
            text[where[2]:where[2] + 16].lstrip()[:1] == b"]"
        m = INTEGER.match(literal)
        if not m:
            return
        digits, suffix = m.group(1).replace("'", ""), m.group(2)
        value = int(digits, 0) if not re.match(r"^0[0-7]+$", digits) else int(digits, 8)
        for changed in () if bound else (value + 1, value - 1):
            if changed < 0:
                continue
            text = ("0x%X" % changed if digits[:2].lower() == "0x" else str(changed)) + suffix
            self.add(where[0], where[1], where[2], text, "constant")

    def boolean(self, cursor):
        where = self.span(cursor)
        if where:
            old = self.text(where[0])[where[1]:where[2]]
            if old in (b"true", b"false"):
                self.add(where[0], where[1], where[2], "false" if old == b"true" else "true", "constant")

    def condition(self, cursor):
        """`if (c)` and `while (c)` become `if (!(c))`; not a condition that declares a variable
        or follows an init-statement, nor `if constexpr`."""
        if any(c.kind == self.K.VAR_DECL for c in cursor.get_children()) or not self.span(cursor):
            return
        toks = self.tokens(cursor)
        if len(toks) < 4 or toks[0].spelling not in ("if", "while") or toks[1].spelling != "(":
            return  # a macro's expansion, such as assert's
        depth = 0
        for i, t in enumerate(toks[1:], 1):
            depth += {"(": 1, ")": -1}.get(t.spelling, 0)
            if t.spelling == ";" and depth == 1:
                return
            if depth == 0:
                start, end = toks[2].extent.start.offset, toks[i - 1].extent.end.offset
                old = self.text(cursor.extent.start.file.name)[start:end].decode()
                self.add(cursor, start, end, "!(%s)" % old, "condition")
                return

    def ternary(self, cursor):
        children = list(cursor.get_children())
        where = self.span(children[0]) if children else None
        if where and any(t.spelling == "?" for t in self.tokens(cursor)):
            old = self.text(where[0])[where[1]:where[2]].decode()
            self.add(where[0], where[1], where[2], "!(%s)" % old, "condition")

    def statements(self, cursor):
        """Each expression statement of a block deleted, its semicolon kept."""
        for child in cursor.get_children():
            where = self.span(child)
            if where and child.kind.is_expression():
                text = self.text(where[0])
                # An assert is no behaviour of a sound program: deleting it changes nothing the suite could see.
                if text[where[2]:where[2] + 64].lstrip()[:1] == b";" and not text[where[1]:where[1] + 7] == b"assert(":
                    self.add(where[0], where[1], where[2], "", "statement")

    def returned(self, cursor):
        children = list(cursor.get_children())
        where = self.span(children[0]) if len(children) == 1 else None
        if not where:
            return
        T = self.ci.TypeKind
        kind = children[0].type.get_canonical().kind
        old = self.text(where[0])[where[1]:where[2]].decode()
        if kind == T.BOOL and old not in ("true", "false"):
            self.add(where[0], where[1], where[2], "!(%s)" % old, "return")
        elif kind in (T.INT, T.UINT, T.LONG, T.ULONG, T.LONGLONG, T.ULONGLONG) and not INTEGER.match(old):
            self.add(where[0], where[1], where[2], "(%s) + 1" % old, "return")
        elif kind == T.POINTER and old != "nullptr" and not old.startswith('"'):
            self.add(where[0], where[1], where[2], "nullptr", "return")


def generate(tree):
    """Every mutant of the tree's src/, in a fixed order."""
    return SiteFinder(tree, load_clang()).find()


def module_lines(tree):
    """Lines of each module: src/<name>.cpp and src/<name>.h together."""
    lines = {}
    src = os.path.join(tree, "src")
    for name in os.listdir(src):
        if name.endswith((".cpp", ".h")):
            with open(os.path.join(src, name), "rb") as f:
                module = os.path.splitext(name)[0]
                lines[module] = lines.get(module, 0) + f.read().count(b"\n")
    return lines


def quotas(n, lines, available):
    """How many of `n` mutants each module gets: in proportion to its lines (largest remainders first),
    no more than it has; what a module cannot take goes to the others."""
    share = {m: 0 for m in lines}
    left = min(n, sum(available.get(m, 0) for m in lines))
    while left > 0:
        open_ = [m for m in lines if share[m] < available.get(m, 0)]
        total = sum(lines[m] for m in open_)
        exact = {m: left * lines[m] / total for m in open_}
        step = {m: min(int(exact[m]), available[m] - share[m]) for m in open_}
        if sum(step.values()) == 0:  # the remainders: largest first, one each
            for m in sorted(open_, key=lambda m: (-(exact[m] - int(exact[m])), m))[:left]:
                step[m] = 1
        for m in open_:
            share[m] += step[m]
        left -= sum(step.values())
    return share


def sample(mutants, lines, n, seed):
    """A seeded sample of n mutants spread over the modules in proportion to their size, shuffled."""
    by_module = {}
    for m in mutants:
        by_module.setdefault(m.module(), []).append(m)
    share = quotas(n, lines, {k: len(v) for k, v in by_module.items()})
    chosen = []
    for module in sorted(share):
        if share[module]:
            chosen += random.Random("%s:%s" % (seed, module)).sample(by_module[module], share[module])
    random.Random(str(seed)).shuffle(chosen)
    return chosen


def part(chosen, which):
    """The part K/M of a sample: every M-th mutant from the K-th on."""
    k, m = (int(x) for x in which.split("/"))
    if not 1 <= k <= m:
        sys.exit("mutants: --part K/M needs 1 <= K <= M")
    return chosen[k - 1::m]


def load_equivalents(path=EQUIVALENTS):
    """The equivalents list: {key: why}."""
    entries = {}
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as f:
        blocks = re.split(r"\n\s*\n", f.read())
    for block in blocks:
        lines = [l for l in block.strip().splitlines() if not l.startswith("#")]
        if not lines:
            continue
        if len(lines) != 4 or not lines[1].startswith("- ") or not lines[2].startswith("+ ") or \
                not lines[3].startswith("why: ") or len(lines[3]) < 12:
            sys.exit("mutants: %s: an entry is a file, a '- ' line, a '+ ' line and 'why: ' with a reason:\n%s" %
                     (path, block))
        file, _, nth = lines[0].strip().partition(" #")  # "src/x.cpp #2": the second of identical changes
        key = "%s\n%s\n%s" % (file, collapse(lines[1][2:]), collapse(lines[2][2:])) + \
            ("\n#%s" % nth if nth and nth != "1" else "")
        entries[key] = lines[3][5:]
    return entries


def entry(m):
    """A mutant as an entry of the equivalents list, its reason still to be written."""
    nth = " #%d" % m.occurrence if m.occurrence > 1 else ""
    return "%s%s\n- %s\n+ %s\nwhy: " % (m.file, nth, m.before, m.after)
