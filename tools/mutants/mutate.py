#!/usr/bin/python3
"""Writes the mutant schemata of driver/: every mutation compiled in behind QuavMutant(n).

Each driver source is parsed with libclang (the mutant build's compile_commands.json) and rewritten
bottom-up: a node's text is its source with its children's rewritten texts in place, then wrapped in its
own mutations, e.g. `(QuavMutant(3) ? (a <= b) : (a < b))`. Only one arm of each ?: runs, so copies of
an operand never evaluate it twice. The line numbers of the original stay (copies lose their newlines
and comments), so the compiler's errors name original lines: mutations it refuses there (constant
contexts the run-time switch cannot reach) are dropped and reported as not built.

Usage: mutate.py BUILD_DIR SOURCE_DIR   writes BUILD_DIR/mutants/src/driver/** and mutants/manifest.json
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys

import clang.cindex as ci

K = ci.CursorKind
RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}
FUNCTIONS = (K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.DESTRUCTOR, K.FUNCTION_TEMPLATE)
LOOPS = (K.WHILE_STMT, K.DO_STMT, K.FOR_STMT)
STATUS_CHECK = re.compile(r"^!\s*NT_SUCCESS\s*\(")
INT_LITERAL = re.compile(r"^(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)$")


def flatten(text):
    """One line of TEXT without its comments: a copy that keeps the lines of what follows."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            i = n if j < 0 else j + 2
            out.append(" ")
        elif c == "\n":
            out.append(" ")
            i += 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def literal_mutations(token):
    """The mutated spellings of an integer literal: decimal +-1, a hexadecimal mask with one bit flipped
    (its lowest set bit cleared, and the bit below it, or above the highest, set)."""
    m = INT_LITERAL.match(token)
    if not m:
        return []
    digits, suffix = m.groups()
    if digits.lower().startswith("0x"):
        value, width = int(digits, 16), len(digits) - 2
        out = []
        if value:
            low = value & -value
            out.append(value & ~low)
            out.append(value | (low >> 1) if low > 1 else value | (1 << value.bit_length()))
        else:
            out.append(1)
        return ["0x%0*X%s" % (width, v, suffix) for v in out]
    value = int(digits, 8) if len(digits) > 1 and digits.startswith("0") else int(digits)
    return [str(v) + suffix for v in ([value + 1, value - 1] if value else [1])]


class Mutant:
    def __init__(self, op, start, end, original, mutated, function):
        self.op, self.start, self.end = op, start, end
        self.original, self.mutated, self.function = original, mutated, function
        self.index = 0


class Numbering:
    """Switch numbers across all files (0 is the original driver), and the mutants of the driver's
    constant macros, one per definition and value: every use the switch can reach takes it."""

    def __init__(self, source):
        self.next, self.source, self.macros, self.refused = 1, source, {}, {}

    def take(self, m):
        m.index = self.next
        self.next += 1
        return m


class FileMutator:
    """The schemata of one source file. EXCLUDED: (start, end, op) of mutations not to compile in."""

    def __init__(self, tu, path, excluded, numbering):
        self.tu, self.path, self.excluded, self.numbering = tu, path, excluded, numbering
        with open(path, "rb") as f:
            self.src = f.read().decode("latin-1")
        self.macros, self.constant_macros = [], {}
        driver = os.path.join(numbering.source, "driver") + "/"
        for c in tu.cursor.get_children():
            if c.kind == K.MACRO_INSTANTIATION and self.mine(c):
                self.macros.append(self.ext(c))
                d = c.referenced
                if d is not None and d.location.file is not None and d.location.file.name.startswith(driver):
                    body = [t.spelling for t in d.get_tokens()][1:]
                    if body[:1] == ["("] and body[-1:] == [")"] and len(body) == 3:
                        body = body[1:2]
                    if len(body) == 1 and INT_LITERAL.match(body[0]) and self.src[c.extent.end.offset:][:1] != "(":
                        self.constant_macros[self.ext(c)] = (d, body[0])
        self.mutants, self.not_built = [], []
        self.function = ""

    def mine(self, c):
        f = c.extent.start.file
        return f is not None and f.name == self.path and c.extent.end.file is not None

    @staticmethod
    def ext(c):
        return c.extent.start.offset, c.extent.end.offset

    def in_macro(self, s, e):
        return any(ms <= s and e <= me for ms, me in self.macros)

    def text(self, s, e):
        return self.src[s:e]

    def add(self, op, s, e, mutated):
        """Records a mutation of [s, e) to MUTATED (its original spelling) and returns its switch number,
        or 0 when it is excluded."""
        key = (s, e, op)
        if key in self.excluded or self.excluded.get(("line", self.line(s))):
            return 0
        m = Mutant(op, s, e, flatten(self.text(s, e)), flatten(mutated), self.function)
        m.file, m.line = None, self.line(s)
        self.mutants.append(m)
        return self.numbering.take(m)

    def macro_use(self, s, e):
        """A use of one of the driver's constant macros: the definition's mutants, switched here."""
        d, literal = self.constant_macros[(s, e)]
        if (s, e, "constant") in self.excluded or self.excluded.get(("line", self.line(s))):
            return self.text(s, e)
        alts = []
        for v in literal_mutations(literal):
            rel = os.path.relpath(d.location.file.name, self.numbering.source)
            key = (rel, d.spelling, v)
            m = self.numbering.macros.get(key)
            if m is None:
                m = Mutant("constant", 0, 0, "%s %s" % (d.spelling, literal), "%s %s" % (d.spelling, v), d.spelling)
                m.file, m.line = rel, d.location.line
                self.numbering.macros[key] = self.numbering.take(m)
            m.uses = getattr(m, "uses", []) + [(self.path, s, e)]
            alts.append((m, v))
        return self.choose(alts, self.text(s, e))

    def line(self, offset):
        return self.src.count("\n", 0, offset) + 1

    def run(self):
        pieces, pos = [], 0
        for c in self.definitions(self.tu.cursor):
            if c.kind == K.VAR_DECL and self.mine(c):
                self.function = c.spelling
                self.render(c, True)
            if c.kind not in FUNCTIONS or not c.is_definition() or not self.mine(c):
                continue
            body = [k for k in c.get_children() if k.kind == K.COMPOUND_STMT]
            if not body:
                continue
            self.function = c.spelling
            self.returns_status = c.result_type.spelling == "NTSTATUS"
            s, e = self.ext(body[-1])
            pieces.append(self.src[pos:s])
            pieces.append(self.render(body[-1], False))
            pos = e
        pieces.append(self.src[pos:])
        return "".join(pieces)

    def refuse(self, c, s, e, literal):
        """A constant in a context the run-time switch cannot reach (case label, array bound, static
        table): not built."""
        for v in literal_mutations(literal):
            m = Mutant("constant", s, e, flatten(self.text(s, e)), v, self.function)
            m.file, m.line = None, self.line(s)
            self.not_built.append(m)

    def definitions(self, c):
        for k in c.get_children():
            if k.kind in (K.LINKAGE_SPEC, K.UNEXPOSED_DECL, K.NAMESPACE) and self.mine(k):
                yield from self.definitions(k)
            else:
                yield k

    def kids(self, c, s, e):
        out = []
        for k in c.get_children():
            if not self.mine(k):
                continue
            ks, ke = self.ext(k)
            if ks < s or ke > e or ks >= ke:
                continue
            if out and ks < out[-1][2]:
                continue
            out.append((k, ks, ke))
        out.sort(key=lambda t: t[1])
        return out

    def render(self, c, opaque):
        """C's text with its children's schemata in place, wrapped in its own mutations."""
        s, e = self.ext(c)
        if (s, e) in self.constant_macros:
            if opaque:
                d, literal = self.constant_macros[(s, e)]
                rel = os.path.relpath(d.location.file.name, self.numbering.source)
                for v in literal_mutations(literal):
                    m = Mutant("constant", 0, 0, "%s %s" % (d.spelling, literal), "%s %s" % (d.spelling, v), d.spelling)
                    m.file, m.line = rel, d.location.line
                    self.numbering.refused.setdefault((rel, d.spelling, v), m)
                return self.text(s, e)
            return self.macro_use(s, e)
        if opaque and c.kind == K.INTEGER_LITERAL and not self.in_macro(s, e):
            self.refuse(c, s, e, self.text(s, e))
        if self.in_macro(s, e) or c.kind in (K.CXX_UNARY_EXPR, K.STATIC_ASSERT, K.LAMBDA_EXPR):
            return self.text(s, e)
        if c.kind == K.VAR_DECL:
            toks = [t.spelling for t in c.get_tokens()]
            opaque = opaque or "static" in toks or "constexpr" in toks
        kids = self.kids(c, s, e)
        eq = self.src.find("=", s, e) if c.kind == K.VAR_DECL else -1
        texts = []
        for i, (k, ks, ke) in enumerate(kids):
            kid_opaque = opaque or (c.kind == K.CASE_STMT and i == 0) or (c.kind == K.VAR_DECL and (eq < 0 or ks < eq))
            texts.append(self.render(k, kid_opaque))
        if not opaque:
            self.mutate_children(c, s, e, kids, texts)
        text = self.splice(s, e, kids, texts)
        if not opaque:
            text = self.mutate_node(c, s, e, kids, texts, text)
        return text

    # Mutations of a node as a whole: its text replaced by a schema.
    def mutate_node(self, c, s, e, kids, texts, text):
        orig = self.text(s, e)
        if c.kind == K.INTEGER_LITERAL:
            alts = [(self.add("constant", s, e, v), v) for v in literal_mutations(orig)]
            return self.choose(alts, text)
        if c.kind == K.BINARY_OPERATOR and len(kids) == 2:
            (lk, ls, le), (rk, rs, re_) = kids
            op = self.src[le:rs].strip()
            lt, rt = texts
            if op in RELATIONAL:
                new = RELATIONAL[op]
                kind = "logical" if op in ("&&", "||") else "equality" if op in ("==", "!=") else "boundary"
                m = self.add(kind, s, e, self.text(s, le) + self.src[le:rs].replace(op, new) + self.text(rs, e))
                return self.choose([(m, "(%s) %s (%s)" % (flatten(lt), new, flatten(rt)))], text)
            if op in ("<<", ">>") and rk.kind != K.INTEGER_LITERAL:
                ro = self.text(rs, re_)
                alts = [(self.add("shift", s, e, "%s %s (%s%s1)" % (self.text(s, le), op, ro, d)),
                         "(%s) %s ((%s) %s 1)" % (flatten(lt), op, flatten(rt), d)) for d in "+-"]
                return self.choose(alts, text)
        if c.kind == K.CALL_EXPR:
            return self.swap_arguments(c, s, e, kids, texts, text)
        return text

    def swap_arguments(self, c, s, e, kids, texts, text):
        args = list(c.get_arguments())
        spans = {(ks, ke): i for i, (k, ks, ke) in enumerate(kids)}
        for a, b in zip(args, args[1:]):
            ia, ib = spans.get(self.ext(a)), spans.get(self.ext(b))
            if ia is None or ib is None or self.in_macro(*self.ext(a)):
                continue
            ta, tb = self.bare_type(a), self.bare_type(b)
            oa, ob = self.text(*self.ext(a)), self.text(*self.ext(b))
            if ta != tb or a.type.spelling != b.type.spelling or oa == ob:
                continue
            (_, as_, ae), (_, bs, be) = kids[ia], kids[ib]
            m = self.add("swap", s, e, self.text(s, as_) + ob + self.text(ae, bs) + oa + self.text(be, e))
            if m:
                xa, xb = flatten(texts[ia]), flatten(texts[ib])
                texts[ia], texts[ib] = ("(%s ? (%s) : (%s))" % (self.switch(m), xb, texts[ia]),
                                        "(%s ? (%s) : (%s))" % (self.switch(m), xa, texts[ib]))
        # The arguments changed in place: reassemble.
        return self.splice(s, e, kids, texts)

    def splice(self, s, e, kids, texts):
        """The source from s to e with each child's extent replaced by its text."""
        out, pos = [], s
        for (k, ks, ke), t in zip(kids, texts):
            out.append(self.src[pos:ks])
            out.append(t)
            pos = ke
        out.append(self.src[pos:e])
        return "".join(out)

    @staticmethod
    def bare_type(c):
        while c.kind == K.UNEXPOSED_EXPR:
            inner = list(c.get_children())
            if len(inner) != 1:
                break
            c = inner[0]
        return c.type.get_canonical().spelling

    # Mutations of a node's children: conditions negated, statements removed, statuses replaced.
    def mutate_children(self, c, s, e, kids, texts):
        cond = self.condition(c, s, kids)
        if cond is not None:
            k, ks, ke = kids[cond]
            m = self.add("negate", ks, ke, "!(%s)" % self.text(ks, ke))
            if m:
                texts[cond] = "((%s) ? !%s : %s)" % (texts[cond], self.switch(m), self.switch(m))
        if c.kind == K.RETURN_STMT and self.returns_status and kids:
            k, ks, ke = kids[0]
            orig = self.text(ks, ke)
            if orig != "STATUS_SUCCESS":
                m = self.add("status", ks, ke, "STATUS_SUCCESS")
                if m:
                    texts[0] = "(%s ? STATUS_SUCCESS : (%s))" % (self.switch(m), texts[0])
        for i, (k, ks, ke) in enumerate(kids):
            if not self.is_statement_slot(c, i, kids):
                continue
            op = self.removable(k, ks, ke)
            if op is None:
                continue
            m = self.add(op, ks, ke, "")
            if m:
                texts[i] = "{ if (!%s) { %s%s } }" % (self.switch(m), texts[i], "" if k.kind == K.IF_STMT else ";")

    def is_statement_slot(self, c, i, kids):
        if c.kind == K.COMPOUND_STMT:
            return True
        if c.kind == K.IF_STMT:
            return i >= 1
        if c.kind in (K.WHILE_STMT, K.FOR_STMT):
            return i == len(kids) - 1
        return False

    def removable(self, k, ks, ke):
        """The removal operator a statement takes, if any."""
        if self.in_macro(ks, ke):
            return None
        if k.kind == K.IF_STMT:
            parts = list(k.get_children())
            if len(parts) == 2 and STATUS_CHECK.match(self.text(*self.ext(parts[0]))):
                return "status-check"
            return None
        inner = k
        while inner.kind in (K.UNEXPOSED_EXPR, K.CSTYLE_CAST_EXPR) and len(list(inner.get_children())) == 1:
            inner = list(inner.get_children())[0]
        if inner.kind == K.CALL_EXPR and self.src[ke:ke + 1] == ";":
            return "call"
        if k.kind in (K.BINARY_OPERATOR, K.COMPOUND_ASSIGNMENT_OPERATOR) and self.src[ke:ke + 1] == ";":
            lhs = list(k.get_children())[0]
            ls, le = self.ext(lhs)
            op = self.src[le:self.ext(list(k.get_children())[1])[0]].strip()
            if not op.endswith("=") or op in ("==", "!=", "<=", ">="):
                return None
            if lhs.kind == K.MEMBER_REF_EXPR or (lhs.kind == K.UNARY_OPERATOR and self.text(ls, le).startswith("*")):
                return "store"
            if lhs.kind == K.DECL_REF_EXPR and lhs.referenced is not None and lhs.referenced.kind == K.VAR_DECL \
                    and lhs.referenced.semantic_parent.kind in (K.TRANSLATION_UNIT, K.NAMESPACE):
                return "store"
        return None

    def condition(self, c, s, kids):
        """The index of the controlling condition among C's children, if C is an if or loop."""
        if c.kind == K.IF_STMT or c.kind == K.WHILE_STMT:
            i = 0
        elif c.kind == K.DO_STMT:
            i = 1
        elif c.kind == K.FOR_STMT:
            open_ = self.src.find("(", s)
            first = self.src.find(";", open_)
            i = next((j for j, (k, ks, ke) in enumerate(kids) if ks > first and self.src.find(";", first + 1) > ks), None)
            if i is None:
                return None
            # The init statement may itself end at the first semicolon: it is a child before it.
        else:
            return None
        if i >= len(kids):
            return None
        k, ks, ke = kids[i]
        if not (k.kind.is_expression() or k.kind == K.UNEXPOSED_EXPR):
            return None
        return i

    def switch(self, m):
        return "QuavMutant(%d)" % m.index

    def choose(self, alts, text):
        out = text
        for m, v in reversed([a for a in alts if a[0]]):
            out = "(%s ? (%s) : %s)" % (self.switch(m), v, out)
        return out


def stable_ids(rel, mutants):
    """Ids that survive edits elsewhere: file, function, operator, original and mutated text, and the
    occurrence among identical ones in that function."""
    seen = {}
    for m in mutants:
        key = (rel, m.function, m.op, " ".join(m.original.split()), " ".join(m.mutated.split()))
        n = seen.get(key, 0)
        seen[key] = n + 1
        m.id = hashlib.sha1(("\0".join(key) + "\0%d" % n).encode()).hexdigest()[:10]


def compile_args(entry):
    """The compiler and its arguments for ENTRY of compile_commands.json, without output, -c and the source."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out, skip = [], False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a in ("-o", "-c") or a == entry["file"]:
            skip = a == "-o"
            continue
        out.append(a)
    return args[0], out


def generate(tu, path, excluded, numbering):
    fm = FileMutator(tu, path, excluded, numbering)
    return fm, fm.run()


def main():
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    gen_root = os.path.join(build, "mutants", "src")
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if e["file"].startswith(gen_root + "/driver/")]
    entries.sort(key=lambda e: e["file"])
    index = ci.Index.create()
    units = []
    for e in entries:
        rel = os.path.relpath(e["file"], gen_root)
        orig = os.path.join(source, rel)
        compiler, args = compile_args(e)
        clang_args = [a for a in args if not a.startswith("-mgeneral-regs") and not a.startswith("-fno-threadsafe")]
        tu = index.parse(orig, args=clang_args + ["-Wno-everything"],
                         options=ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
        errors = [d for d in tu.diagnostics if d.severity >= ci.Diagnostic.Error]
        if errors:
            sys.exit("mutate: %s does not parse: %s" % (rel, errors[0]))
        units.append((rel, orig, tu, compiler, args, e["directory"]))

    excluded = {rel: {} for rel, *_ in units}
    refused = {rel: [] for rel, *_ in units}
    for attempt in range(6):
        results, numbering = [], Numbering(source)
        for rel, orig, tu, compiler, args, directory in units:
            fm, text = generate(tu, orig, excluded[rel], numbering)
            stable_ids(rel, [m for m in fm.mutants if m.file is None])
            out = os.path.join(gen_root, rel)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            if not os.path.exists(out) or open(out, encoding="latin-1").read() != text:
                with open(out, "w", encoding="latin-1") as f:
                    f.write(text)
            results.append((rel, fm, out, compiler, args, directory))
        # The compiler's verdict: mutations on the lines it refuses are dropped.
        def check(r):
            rel, fm, out, compiler, args, directory = r
            p = subprocess.run([compiler] + args + ["-fsyntax-only", "-fmax-errors=0", out], cwd=directory,
                               capture_output=True, text=True)
            lines = set()
            for line in p.stderr.splitlines():
                mm = re.match(re.escape(out) + r":(\d+):\d+: error:", line)
                if mm:
                    lines.add(int(mm.group(1)))
            return rel, fm, lines, p.returncode, p.stderr
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            verdicts = list(pool.map(check, results))
        bad = False
        for rel, fm, lines, rc, err in verdicts:
            if rc == 0:
                continue
            bad = True
            dropped = 0
            for m in fm.mutants:
                if m.file is not None:
                    for path, s, e in m.uses:
                        if path == fm.path and fm.line(s) in lines:
                            excluded[rel][(s, e, "constant")] = True
                            dropped += 1
                    continue
                first, last = fm.line(m.start), fm.line(m.end)
                if first in lines or (attempt >= 2 and any(first <= l <= last for l in lines)):
                    excluded[rel][(m.start, m.end, m.op)] = True
                    refused[rel].append(m)
                    dropped += 1
            if dropped == 0:
                if attempt >= 4:
                    for l in lines:
                        excluded[rel][("line", l)] = True
                else:
                    print(err[:3000], file=sys.stderr)
            print("mutate: %s: %d mutations refused by the compiler (lines %s)" %
                  (rel, dropped, sorted(lines)), file=sys.stderr)
        if not bad:
            break
    else:
        sys.exit("mutate: the schemata still do not compile")

    manifest = {"mutants": [], "not_built": []}
    for rel, fm, *_ in results:
        for m in fm.mutants:
            if m.file is None:
                manifest["mutants"].append({"id": m.id, "n": m.index, "file": rel, "line": m.line,
                                            "function": m.function, "op": m.op, "original": m.original,
                                            "mutated": m.mutated})
    macros = sorted(numbering.macros.values(), key=lambda m: m.index)
    for rel in sorted({m.file for m in macros}):
        stable_ids(rel, [m for m in macros if m.file == rel])
    for m in macros:
        manifest["mutants"].append({"id": m.id, "n": m.index, "file": m.file, "line": m.line, "function": m.function,
                                    "op": "constant", "original": m.original, "mutated": m.mutated,
                                    "uses": len(m.uses)})
    seen = set()
    sources = {rel: fm.src for rel, fm, *_ in results}
    for rel, fm, *_ in results:
        refused[rel] += fm.not_built
    for key, m in numbering.refused.items():
        if key not in numbering.macros:
            refused.setdefault(m.file, []).append(m)
    for rel, ms in refused.items():
        stable_ids(rel, ms)
        for m in ms:
            if m.id in seen:
                continue
            seen.add(m.id)
            entry = {"id": m.id, "file": rel, "line": m.line, "function": m.function, "op": m.op,
                     "original": m.original, "mutated": m.mutated}
            src = sources.get(rel)
            if m.file is None and src is not None and "\n" not in src[m.start:m.end]:
                # Where a build of this one file places it: run.py --build-each.
                entry["column"] = m.start - (src.rfind("\n", 0, m.start) + 1)
                entry["length"] = m.end - m.start
            if m.file is not None:
                entry["macro"] = True
            manifest["not_built"].append(entry)
    with open(os.path.join(build, "mutants", "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1)
    print("mutate: %d mutants compiled in, %d refused (constant contexts, not built)" %
          (len(manifest["mutants"]), len(manifest["not_built"])))


if __name__ == "__main__":
    main()
