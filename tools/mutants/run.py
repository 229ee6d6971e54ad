#!/usr/bin/python3
"""Runs the mutants of the mutant build (mutate.py's manifest) against quav_tests and reports.

One coverage run of the suite records the sites each test reaches; each mutant then runs only the tests
that reach it, fastest first, stopping at the first failure, under a timeout, JOBS at a time.

Usage: run.py BUILD_DIR SOURCE_DIR [--sample N] [--ids FILE] [--jobs N]
  --sample N   a deterministic sample of N mutants (the same N give the same mutants)
  --ids FILE   only the mutants listed (first word of each line): the CI check, which fails unless every
               one of them is killed
"""

import argparse
import hashlib
import json
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

# Tests that start quavsim, quavctl or an install as processes: a mutant lives only in this process.
PROCESS_TESTS = ["QuavsimCli.*", "InstallTree.*", "ServeProcessTest.*", "QuavsimNumbers.*"]
TIMEOUT_FACTOR, TIMEOUT_MIN = 10, 5.0


def read_list(path):
    """<id> <reason> lines of PATH, without # comments."""
    out = {}
    if os.path.exists(path):
        for line in open(path):
            line = line.split("#", 1)[0].strip() if line.lstrip().startswith("#") else line.strip()
            if line:
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


def run_mutant(tests_bin, m, tests, times):
    if not tests:
        return "not covered", None, 0.0
    limit = max(TIMEOUT_MIN, TIMEOUT_FACTOR * sum(times[t] for t in tests))
    env = dict(os.environ, QUAV_MUTANT=str(m["n"]))
    env.pop("QUAV_MUTANT_COVERAGE", None)
    start = time.monotonic()
    p = subprocess.Popen([tests_bin, "--gtest_filter=" + ":".join(tests), "--gtest_fail_fast", "--gtest_brief=1"],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        return "timed out", None, time.monotonic() - start
    spent = time.monotonic() - start
    if p.returncode == 0:
        return "survived", None, spent
    failed = next((l.split("] ", 1)[1].split(" (")[0] for l in out.splitlines() if l.startswith("[  FAILED  ]")),
                  "crash (exit %d)" % p.returncode)
    return "killed", failed, spent


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("source")
    ap.add_argument("--sample", type=int, default=0)
    ap.add_argument("--ids")
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    tests_bin = os.path.join(build, "tests", "quav_tests")
    manifest = json.load(open(os.path.join(build, "mutants", "manifest.json")))
    lists = os.path.join(a.source, "tests", "mutants")
    equivalent = read_list(os.path.join(lists, "equivalent.txt"))
    unspecified = read_list(os.path.join(lists, "unspecified.txt"))

    mutants = [m for m in manifest["mutants"] if m["id"] not in equivalent and m["id"] not in unspecified]
    if a.ids:
        wanted = read_list(a.ids)
        known = {m["id"] for m in mutants}
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
    elapsed = time.monotonic() - start

    for m in mutants:
        m["status"], m["killed_by"], m["seconds"] = results[m["id"]]
        m["tests"] = by_site.get(m["n"], [])
    report(build, a, manifest, mutants, equivalent, unspecified, elapsed)
    if a.ids:
        bad = [m for m in mutants if m["status"] in ("survived", "not covered")]
        for m in bad:
            print("mutants: %s survived: %s:%d %s -> %s" % (m["id"], m["file"], m["line"], m["original"],
                                                             m["mutated"]), file=sys.stderr)
        sys.exit(1 if bad else 0)


def score(rows):
    caught = sum(1 for m in rows if m["status"] in ("killed", "timed out"))
    return 100.0 * caught / len(rows) if rows else 100.0


def report(build, a, manifest, mutants, equivalent, unspecified, elapsed):
    files = sorted({m["file"] for m in mutants})
    md = ["# Mutants of driver/", ""]
    what = ("the CI list %s" % a.ids) if a.ids else ("a sample of %d" % a.sample) if a.sample else "every mutant"
    md.append("Run: %s, %d mutants in %.0f s with %d jobs. Score: killed and timed out over all run "
              "(equivalent and unspecified ones excluded: %d and %d listed)." %
              (what, len(mutants), elapsed, a.jobs, len(equivalent), len(unspecified)))
    md.append("Not built: %d mutations the compiler refuses behind a run-time switch (constant contexts: "
              "case labels, array bounds, static tables), left out of the run and the score." %
              len(manifest["not_built"]))
    md += ["", "| file | made | killed | survived | timed out | not covered | score |", "|---|---|---|---|---|---|---|"]
    for f in files + [None]:
        rows = [m for m in mutants if f is None or m["file"] == f]
        c = {s: sum(1 for m in rows if m["status"] == s) for s in ("killed", "survived", "timed out", "not covered")}
        md.append("| %s | %d | %d | %d | %d | %d | %.1f%% |" % (f or "**all**", len(rows), c["killed"],
                  c["survived"] + c["not covered"], c["timed out"], c["not covered"], score(rows)))
    md += ["", "Survived counts the mutants no test covers (not covered) too.", "", "## Survivors", ""]
    for m in mutants:
        if m["status"] in ("survived", "not covered"):
            tests = m["tests"]
            shown = ", ".join(tests[:5]) + (" and %d more" % (len(tests) - 5) if len(tests) > 5 else "")
            md.append("- `%s` %s:%d (%s, %s): `%s` -> `%s`; covered by: %s" %
                      (m["id"], m["file"], m["line"], m["function"], m["op"], m["original"], m["mutated"],
                       shown or "no test"))
    with open(os.path.join(build, "mutants.md"), "w") as f:
        f.write("\n".join(md) + "\n")
    with open(os.path.join(build, "mutants.json"), "w") as f:
        json.dump({"elapsed_seconds": elapsed, "score": score(mutants), "mutants": mutants,
                   "not_built": manifest["not_built"]}, f, indent=1)
    total = [l for l in md if l.startswith("| **all**")][0]
    print("mutants: %s\nmutants: the report: %s/mutants.md (and mutants.json)" % (total, build))


if __name__ == "__main__":
    main()
