#!/usr/bin/python3
"""The generator on small functions: the mutations each construct takes, their schemata (which must
compile and switch), and ids that do not move with the lines."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402

PRELUDE = """typedef long NTSTATUS;
typedef unsigned long ULONG;
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0)
#define LIMIT 0x30
struct S { ULONG f; };
extern ULONG g;
void Write(ULONG a, ULONG b);
NTSTATUS Step(void);
"""

# A function, then the (operator, original, mutated) of each mutation it takes, in the generator's order.
CASES = [
    ("int F(ULONG a, ULONG b) { return a < b; }", [("boundary", "a < b", "a <= b")]),
    ("int F(ULONG a, ULONG b) { return a != b || a > 2; }",
     [("equality", "a != b", "a == b"), ("constant", "2", "3"), ("constant", "2", "1"),
      ("boundary", "a > 2", "a >= 2"), ("logical", "a != b || a > 2", "a != b && a > 2")]),
    ("ULONG F(ULONG a) { return a & 0x0C; }", [("constant", "0x0C", "0x08"), ("constant", "0x0C", "0x0E")]),
    ("ULONG F(ULONG a) { return a & LIMIT; }",
     [("constant", "LIMIT 0x30", "LIMIT 0x20"), ("constant", "LIMIT 0x30", "LIMIT 0x38")]),
    ("ULONG F(ULONG a, ULONG n) { return a << n; }",
     [("shift", "a << n", "a << (n+1)"), ("shift", "a << n", "a << (n-1)")]),
    ("void F(ULONG a, ULONG b) { if (a) Write(a, b); }",
     [("negate", "a", "!(a)"), ("swap", "Write(a, b)", "Write(b, a)"), ("call", "Write(a, b)", "")]),
    ("NTSTATUS F(void) { NTSTATUS s = Step(); if (!NT_SUCCESS(s)) { return s; } return Step(); }",
     [("negate", "!NT_SUCCESS(s)", "!(!NT_SUCCESS(s))"), ("status", "s", "STATUS_SUCCESS"),
      ("status-check", "if (!NT_SUCCESS(s)) { return s; }", ""), ("status", "Step()", "STATUS_SUCCESS")]),
    ("void F(S* p, ULONG v) { ULONG t = v; p->f = t; g = t; t = 0; }",
     [("store", "p->f = t", ""), ("store", "g = t", ""), ("constant", "0", "1")]),
    # Constant contexts are left to the report: a case label.
    ("int F(int a) { switch (a) { case 4: return 1; } return 0; }",
     [("constant", "1", "2"), ("constant", "1", "0"), ("constant", "0", "1")]),
]

# A function and, per switch number, what it returns for (5, 3) with that mutant on: the schemata run.
RUNS = "int F(int a, int b) { if (a > b) { return a - 1; } return b; }"
RUN_RESULTS = {0: 4, 1: 4, 2: 3, 3: 5, 4: 3}
HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "quav_mutant.h")
MAIN = """
#include <cstdio>
#include <cstdlib>
extern "C" {
unsigned char QuavMutantReached[64];
unsigned int QuavMutantActive;
}
int main(int, char** argv)
{
    QuavMutantActive = std::atoi(argv[1]);
    std::printf("%d", F(5, 3));
}
"""


class Generator(unittest.TestCase):
    def schemata(self, text, name="driver/x.cpp"):
        root = tempfile.mkdtemp()
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path))
        with open(path, "w") as f:
            f.write(PRELUDE + text + "\n")
        tu = mutate.ci.Index.create().parse(path, args=["-x", "c++", "-std=c++17"],
                                            options=mutate.ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
        numbering = mutate.Numbering(root)
        fm, out = mutate.generate(tu, path, {}, numbering)
        return fm, out, numbering

    def test_mutations_per_construct(self):
        for text, expected in CASES:
            with self.subTest(text):
                fm, out, numbering = self.schemata(text)
                made = sorted([(m.index, m.op, m.original, m.mutated) for m in fm.mutants] +
                              [(m.index, m.op, m.original, m.mutated) for m in numbering.macros.values()])
                self.assertEqual(sorted(t[1:] for t in made), sorted(expected))

    def test_schemata_switch_one_mutant_at_a_time(self):
        fm, out, _ = self.schemata(RUNS)
        self.assertEqual(len(fm.mutants), len(RUN_RESULTS) - 1)
        d = tempfile.mkdtemp()
        src, exe = os.path.join(d, "s.cpp"), os.path.join(d, "s")
        with open(src, "w") as f:
            f.write(out + MAIN)
        subprocess.run(["g++", "-std=c++17", "-include", HEADER, "-o", exe, src], check=True)
        got = {n: int(subprocess.run([exe, str(n)], capture_output=True, text=True, check=True).stdout)
               for n in RUN_RESULTS}
        self.assertEqual(got, RUN_RESULTS)

    def test_ids_follow_the_code_not_its_lines(self):
        body = "int F(int a) { int x = a < 1; int y = a < 1; return x + y; }"
        first, _, _ = self.schemata(body)
        moved, _, _ = self.schemata("\n\n// a comment\n" + body)
        mutate.stable_ids("driver/x.cpp", first.mutants)
        mutate.stable_ids("driver/x.cpp", moved.mutants)
        ids = [m.id for m in first.mutants]
        self.assertEqual(ids, [m.id for m in moved.mutants])
        self.assertEqual(len(set(ids)), len(ids))


if __name__ == "__main__":
    unittest.main()
