#!/usr/bin/python3
"""Runs the mutants of the mutant build (mutate.py's manifest) against quav_tests and reports.

One coverage run of the suite records the sites each test reaches; each mutant then runs only the tests
that reach it, fastest first, stopping at the first failure, under a timeout, JOBS at a time.

Usage: run.py BUILD_DIR SOURCE_DIR [--sample N] [--build-each N|all] [--ids FILE] [--jobs N]
  --sample N   a deterministic sample of N mutants (the same N give the same mutants)
  --build-each N|all  also N of the constants no switch reaches (case labels, static tables, macros of a
               source file used only there), each built into its one source file in turn
  --ids FILE   only the mutants listed (first word of each line; those no switch reaches are built one
               file at a time): the CI check, which fails unless every one of them is killed
"""

import argparse
import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

# Tests that start quavsim, quavctl or an install as processes: a mutant lives only in this process.
PROCESS_TESTS = ["QuavsimCli.*", "InstallTree.*", "ServeProcessTest.*"]
TIMEOUT_FACTOR, TIMEOUT_MIN = 10, 5.0


def read_list(path):
    """{id: reason} of PATH's "<id> <reason>" lines; lines starting with # are comments."""
    out = {}
    if os.path.exists(path):
        for line in open(path):
            line = line.strip()
            if line and not line.startswith("#"):
                word, _, reason = line.partition(" ")
                out[word] = reason.strip()
    return out


def coverage(build, tests_bin):
    """{test: (seconds, set of sites)}, from one run of the suite (kept until quav_tests changes)."""
    path = os.path.join(build, "mutants", "coverage.txt")
    if not (os.path.exists(path) and os.path.getmtime(path) > os.path.getmtime(tests_bin)):
        print("mutants: the coverage run of the suite", file=sys.stderr)
        env = dict(os.environ, QUAV_MUTANT_COVERAGE=path + ".part")
        env.pop("QUAV_MUTANT", None)
        p = subprocess.run([tests_bin, "--gtest_filter=-" + ":".join(PROCESS_TESTS), "--gtest_brief=1"],
                           env=env, capture_output=True, text=True)
        if p.returncode != 0:
            sys.exit("mutants: the suite fails without a mutant:\n" + p.stdout[-3000:])
        os.replace(path + ".part", path)
    out = {}
    for line in open(path):
        words = line.split()
        out[words[0]] = (int(words[1]) / 1e6, {int(w) for w in words[2:]})
    return out


def run_tests(tests_bin, m, tests, times):
    """(status, failed test) of TESTS against mutant M."""
    limit = max(TIMEOUT_MIN, TIMEOUT_FACTOR * sum(times[t] for t in tests))
    env = dict(os.environ, QUAV_MUTANT=str(m["n"]))
    env.pop("QUAV_MUTANT_COVERAGE", None)
    p = subprocess.Popen([tests_bin, "--gtest_filter=" + ":".join(tests), "--gtest_fail_fast", "--gtest_brief=1"],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        return "timed out", None
    if p.returncode == 0:
        return "survived", None
    failed = next((l.split("] ", 1)[1].split(" (")[0] for l in out.splitlines() if l.startswith("[  FAILED  ]")),
                  "crash (exit %d)" % p.returncode)
    return "killed", failed


def run_mutant(tests_bin, m, tests, times):
    """The fastest covering test alone first (GoogleTest runs a filter in the suite's order), then the
    rest; (status, failed test, seconds)."""
    if not tests:
        return "not covered", None, 0.0
    start = time.monotonic()
    status, failed = run_tests(tests_bin, m, tests[:1], times)
    if status == "survived" and len(tests) > 1:
        status, failed = run_tests(tests_bin, m, tests[1:], times)
    return status, failed, time.monotonic() - start


def build_each(build, source, manifest, by_site, times, count, jobs, listed, only=None):
    """A deterministic sample of COUNT of the mutations not built behind a switch (or those of ONLY), each
    compiled into its one source file (the schemata with this constant changed) and run against the tests
    that reach its function (or, for a file's static table, its file). Sequential: one build at a time."""
    placeable = [m for m in manifest["not_built"] if ("column" in m or "macro" in m) and m["file"].endswith(".cpp")
                 and m["id"] not in listed and (only is None or m["id"] in only)]
    sample = sorted(placeable, key=lambda m: hashlib.sha1(m["id"].encode()).hexdigest())[:count]
    reach = {}
    for m in manifest["mutants"]:
        for key in ((m["file"], m["function"]), (m["file"], None)):
            reach.setdefault(key, set()).update(by_site.get(m["n"], []))
    done = []
    for m in sorted(sample, key=lambda m: (m["file"], m["line"])):
        gen = os.path.join(build, "mutants", "src", m["file"])
        schemata = open(gen, encoding="latin-1").read()
        lines, orig = schemata.split("\n"), open(os.path.join(source, m["file"]), encoding="latin-1").read().split("\n")
        i = m["line"] - 1
        m["n"] = 0
        if "macro" in m:
            # A constant macro of this file used only where no switch reaches: its definition changed.
            name, old, new = m["original"].split()[0], m["original"].split()[1], m["mutated"].split()[1]
            line = re.sub(r"^(\s*#\s*define\s+%s\s+\(?)%s\b" % (re.escape(name), re.escape(old)),
                          lambda g: g.group(1) + new, orig[i])
        else:
            line = orig[i][:m["column"]] + m["mutated"] + orig[i][m["column"] + m["length"]:]
        if lines[i] != orig[i] or line == orig[i]:
            m["status"], m["killed_by"], m["seconds"] = "not placed", None, 0.0
            done.append(m)
            continue
        lines[i] = line
        start = time.monotonic()
        try:
            with open(gen, "w", encoding="latin-1") as f:
                f.write("\n".join(lines))
            b = subprocess.run(["cmake", "--build", build, "--target", "quav_tests", "-j", str(jobs)],
                               capture_output=True, text=True)
            key = (m["file"], None if "macro" in m else m["function"])
            tests = sorted(reach.get(key) or reach.get((m["file"], None), set()),
                           key=lambda t: (times[t], t))
            m["tests"] = tests
            if b.returncode != 0:
                m["status"], m["killed_by"] = "refused", None
            elif not tests:
                m["status"], m["killed_by"] = "not covered", None
            else:
                m["status"], m["killed_by"] = run_tests(os.path.join(build, "tests", "quav_tests"), m, tests, times)
        finally:
            with open(gen, "w", encoding="latin-1") as f:
                f.write(schemata)
        m["seconds"] = time.monotonic() - start
        done.append(m)
        print("mutants: built one at a time %d/%d: %s %s:%d" % (len(done), len(sample), m["status"], m["file"],
                                                                  m["line"]), file=sys.stderr)
    if done:
        subprocess.run(["cmake", "--build", build, "--target", "quav_tests", "-j", str(jobs)], capture_output=True,
                       check=True)
    return done, len(placeable)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("source")
    ap.add_argument("--sample", type=int, default=0)
    ap.add_argument("--ids")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--build-each", default="0", help="N, or all")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    tests_bin = os.path.join(build, "tests", "quav_tests")
    manifest = json.load(open(os.path.join(build, "mutants", "manifest.json")))
    lists = os.path.join(a.source, "tests", "mutants")
    equivalent = read_list(os.path.join(lists, "equivalent.txt"))
    unpinned = read_list(os.path.join(lists, "unpinned.txt"))

    mutants = [m for m in manifest["mutants"] if m["id"] not in equivalent and m["id"] not in unpinned]
    wanted = None
    if a.ids:
        wanted = read_list(a.ids)
        known = {m["id"] for m in mutants + manifest["not_built"]} - set(equivalent) - set(unpinned)
        missing = [i for i in wanted if i not in known]
        if missing:
            sys.exit("mutants: not in the schemata (or listed as equivalent): " + " ".join(missing))
        mutants = [m for m in mutants if m["id"] in wanted]
    elif a.sample:
        mutants = sorted(mutants, key=lambda m: hashlib.sha1(m["id"].encode()).hexdigest())[:a.sample]
        mutants.sort(key=lambda m: m["n"])

    cov = coverage(build, tests_bin)
    times = {t: v[0] for t, v in cov.items()}
    by_site = {}
    for t, (_, sites) in cov.items():
        for s in sites:
            by_site.setdefault(s, []).append(t)
    for ts in by_site.values():
        ts.sort(key=lambda t: (times[t], t))

    results, lock, done = {}, threading.Lock(), [0]
    counts = {"killed": 0, "survived": 0, "timed out": 0, "not covered": 0}
    start, tty = time.monotonic(), sys.stderr.isatty()

    def one(m):
        r = run_mutant(tests_bin, m, by_site.get(m["n"], []), times)
        with lock:
            results[m["id"]] = r
            counts[r[0]] += 1
            done[0] += 1
            if tty or done[0] % 100 == 0 or done[0] == len(mutants):
                print("\rmutants: %d/%d  killed %d  survived %d  timed out %d  not covered %d  (%.0f s)   " %
                      (done[0], len(mutants), counts["killed"], counts["survived"], counts["timed out"],
                       counts["not covered"], time.monotonic() - start), end="" if tty else "\n", file=sys.stderr,
                      flush=True)

    with ThreadPoolExecutor(a.jobs) as pool:
        list(pool.map(one, mutants))
    if tty:
        print(file=sys.stderr)

    for m in mutants:
        m["status"], m["killed_by"], m["seconds"] = results[m["id"]]
        m["tests"] = by_site.get(m["n"], [])
    count = len(manifest["not_built"]) if a.build_each == "all" or wanted else int(a.build_each)
    each = build_each(build, a.source, manifest, by_site, times, count, a.jobs, set(equivalent) | set(unpinned),
                      wanted) if count else None
    elapsed = time.monotonic() - start
    report(build, a, manifest, mutants, equivalent, unpinned, elapsed, each)
    if a.ids:
        bad = [m for m in mutants + (each[0] if each else []) if m["status"] in ("survived", "not covered")]
        for m in bad:
            print("mutants: %s survived: %s:%d %s -> %s" % (m["id"], m["file"], m["line"], m["original"],
                                                             m["mutated"]), file=sys.stderr)
        sys.exit(1 if bad else 0)


def score(rows):
    caught = sum(1 for m in rows if m["status"] in ("killed", "timed out"))
    return 100.0 * caught / len(rows) if rows else 100.0


RUN = ("killed", "survived", "timed out", "not covered")


def report(build, a, manifest, mutants, equivalent, unpinned, elapsed, each):
    """The Markdown and JSON reports. The mutants built one source file at a time count like the others;
    the not built (no switch reaches them and no file build placed them) are counted apart."""
    built = [m for m in (each[0] if each else []) if m["status"] in RUN]
    built_ids = {m["id"] for m in built}
    rows_all = mutants + built
    not_built = [m for m in manifest["not_built"] if m["id"] not in built_ids]
    files = sorted({m["file"] for m in rows_all} | {m["file"] for m in not_built})
    what = ("the CI list %s" % a.ids) if a.ids else ("a sample of %d" % a.sample) if a.sample else "every mutant"
    md = ["# Mutants of driver/", "",
          "Run: %s, %d behind the run-time switch and %d built one source file at a time, in %.0f s with %d jobs. "
          "Score: killed and timed out over all run; the %d equivalent and %d unpinned listed are left out." %
          (what, len(mutants), len(built), elapsed, a.jobs, len(equivalent), len(unpinned)),
          "Not built: constants no switch reaches (case labels, array bounds, static tables, macros used only "
          "there) and not built one file at a time (a header's macro, or left out of a sample); not in the score.",
          "", "| file | made | killed | survived | timed out | not covered | score | one file at a time | not built |",
          "|---|---|---|---|---|---|---|---|---|"]
    for f in files + [None]:
        rows = [m for m in rows_all if f is None or m["file"] == f]
        c = {s: sum(1 for m in rows if m["status"] == s) for s in RUN}
        md.append("| %s | %d | %d | %d | %d | %d | %s | %d | %d |" % (
            f or "**all**", len(rows), c["killed"], c["survived"] + c["not covered"], c["timed out"],
            c["not covered"], "%.1f%%" % score(rows) if rows else "-",
            sum(1 for m in built if f is None or m["file"] == f),
            sum(1 for m in not_built if f is None or m["file"] == f)))
    md += ["", "Survived counts the mutants no test covers (not covered) too.", "", "## Survivors", ""]
    for m in rows_all:
        if m["status"] in ("survived", "not covered"):
            tests = m["tests"]
            shown = ", ".join(tests[:5]) + (" and %d more" % (len(tests) - 5) if len(tests) > 5 else "")
            md.append("- `%s` %s:%d (%s, %s%s): `%s` -> `%s`; covered by: %s" %
                      (m["id"], m["file"], m["line"], m["function"], m["op"],
                       ", built alone" if m["id"] in built_ids else "", m["original"], m["mutated"],
                       shown or "no test"))
    name = "mutants-check" if a.ids else "mutants"
    with open(os.path.join(build, name + ".md"), "w") as f:
        f.write("\n".join(md) + "\n")
    with open(os.path.join(build, name + ".json"), "w") as f:
        json.dump({"elapsed_seconds": elapsed, "score": score(rows_all), "mutants": mutants,
                   "built_one_at_a_time": each[0] if each else [], "not_built": not_built}, f, indent=1)
    total = [l for l in md if l.startswith("| **all**")][0]
    print("mutants: %s\nmutants: the report: %s/%s.md (and .json)" % (total, build, name))


if __name__ == "__main__":
    main()
