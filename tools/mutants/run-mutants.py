#!/usr/bin/env python3
"""Shows which suites notice a deliberate fault.

Copies the committed state of a checkout into a scratch folder, builds it once, then for
each fault of faults.toml: puts the fault into one file, rebuilds what the fault's suites
run, runs those suites with ctest, and takes the fault out again. A fault is caught when
at least one of its suites fails. The table at the end lists every fault with the suites
that ran and the ones that caught it.

    tools/mutants/run-mutants.py                      every fault, on this checkout's HEAD
    tools/mutants/run-mutants.py 'view-*' app-thresholds-min-max
    tools/mutants/run-mutants.py --checkout ../main --rev ef339ad --markdown table.md
    tools/mutants/run-mutants.py --show device-probe-any-exception

The scratch folder (default build-mutants/ of the checkout the script lives in) keeps its
build between runs, so only the first run builds everything; later runs, also of another
commit, rebuild what differs.
"""

import argparse
import fcntl
import fnmatch
import json
import os
import re
import subprocess
import sys
import time
import tomllib
from pathlib import Path

HERE = Path(__file__).resolve().parent
OWN_TOP = HERE.parent.parent
FIELDS = {"id", "file", "find", "replace", "suites", "mistake", "after", "pending"}


class Fault:
    def __init__(self, entry):
        unknown = set(entry) - FIELDS
        missing = {"id", "file", "suites", "mistake"} - set(entry)
        if not entry.get("pending"):
            missing |= {"find", "replace"} - set(entry)
        if unknown or missing:
            raise SystemExit(f"fault {entry.get('id', '?')}: unknown fields {sorted(unknown)}, "
                             f"missing fields {sorted(missing)}")
        self.id = entry["id"]
        self.file = entry["file"]
        # One edit, or several in one file given as lists of the same length (a mistake that
        # touches two places, such as two widgets of the form).
        finds, replaces, afters = entry.get("find", ""), entry.get("replace", ""), entry.get("after")
        if isinstance(finds, str):
            finds, replaces, afters = [finds], [replaces], [afters]
        afters = afters or [None] * len(finds)
        if not (isinstance(replaces, list) and len(finds) == len(replaces) == len(afters)):
            raise SystemExit(f"fault {self.id}: find, replace and after need the same length")
        self.edits = list(zip(afters, finds, replaces))
        self.suites = entry["suites"]
        self.mistake = " ".join(entry["mistake"].split())
        self.pending = entry.get("pending")

    def library(self):
        return self.file.split("/", 1)[0]


def loose(text):
    """A pattern for text that tolerates a different layout of its whitespace, so that a
    reformatted line still finds its fault."""
    return re.compile(r"\s+".join(re.escape(token) for token in text.split()))


def locate(source, after, find):
    """The span an edit replaces, or None and the reason it cannot be placed."""
    if after:
        anchors = list(loose(after).finditer(source))
        if len(anchors) != 1:
            return None, f"anchor found {len(anchors)} times"
        match = loose(find).search(source, anchors[0].end())
        if not match:
            return None, "text not found after its anchor"
        return match.span(), None
    matches = list(loose(find).finditer(source))
    if len(matches) != 1:
        return None, f"text found {len(matches)} times"
    return matches[0].span(), None


def mutate(source, fault):
    """The source with the fault in it and, per edit, its line, the text taken out and the
    text put in; or None and the reason the fault cannot be placed."""
    changes = []
    for after, find, replace in fault.edits:
        span, reason = locate(source, after, find)
        if span is None:
            return None, reason
        changes.append((source.count("\n", 0, span[0]) + 1, source[span[0]:span[1]], replace))
        source = source[:span[0]] + replace + source[span[1]:]
    return source, changes


def run(command, log=None, cwd=None, env=None):
    """Runs a command; with a log, its output goes there. Returns the exit code."""
    if log is None:
        return subprocess.run(command, cwd=cwd, env=env, check=False).returncode
    with open(log, "a", encoding="utf-8") as out:
        out.write(f"$ {' '.join(map(str, command))}\n")
        out.flush()
        return subprocess.run(command, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                              check=False).returncode


def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True,
                          text=True).stdout.strip()


class Scratch:
    def __init__(self, folder, jobs):
        self.folder = folder
        self.src = folder / "src"
        self.build = folder / "build"
        self.logs = folder / "logs"
        self.jobs = jobs
        self.env = dict(os.environ, CCACHE_BASEDIR=str(folder), QT_QPA_PLATFORM="offscreen")
        self.tests = {}

    def take(self, checkout, rev):
        """Makes src/ the committed state of `rev` in `checkout`. Git rewrites only the files
        that differ, so the build folder stays valid for what did not change."""
        sha = git("rev-parse", "--verify", f"{rev}^{{commit}}", cwd=checkout)
        if not (self.src / ".git").exists():
            self.src.mkdir(parents=True, exist_ok=True)
            git("init", "-q", cwd=self.src)
        git("fetch", "-q", "--no-tags", str(checkout), sha, cwd=self.src)
        git("checkout", "-q", "-f", "--detach", sha, cwd=self.src)
        git("clean", "-q", "-fdx", cwd=self.src)
        return sha

    def clear_logs(self):
        self.logs.mkdir(parents=True, exist_ok=True)
        for old in self.logs.glob("*.log"):
            old.unlink()

    def dirty(self):
        return git("status", "--porcelain", "--ignored", "--untracked-files=all", cwd=self.src)

    def configure(self):
        """Configures and builds the unmutated tree, and learns what each suite runs."""
        # Warnings must not decide the outcome: a fault stands for a wrong behaviour, and an
        # unused variable it leaves behind is no reason to call it unbuildable.
        code = run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                    "-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                    "-DBRISCA_WERROR=OFF"], log=self.logs / "configure.log", env=self.env)
        if code != 0:
            raise SystemExit(f"configure failed, see {self.logs / 'configure.log'}")
        # Everything once, unmutated; ctest names the programs of its suites only once they
        # exist.
        log = self.logs / "baseline.log"
        if run(["cmake", "--build", self.build, "-j", str(self.jobs)], log=log, env=self.env):
            raise SystemExit(f"the unmutated tree does not build, see {log}")
        shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build, check=True,
                               capture_output=True, text=True).stdout
        listed = subprocess.run(["ninja", "-C", self.build, "-t", "targets", "all"], check=True,
                                capture_output=True, text=True).stdout
        outputs = {line.split(":", 1)[0] for line in listed.splitlines()}
        build = self.build.resolve()
        for test in json.loads(shown)["tests"]:
            # What a suite runs from the build folder (its program, the virtual sensor) is what
            # has to be rebuilt for it; ninja takes those paths as targets.
            needed = set()
            for arg in test.get("command", []):
                path = Path(arg).resolve()
                if path.is_relative_to(build) and str(path.relative_to(build)) in outputs:
                    needed.add(str(path.relative_to(build)))
            self.tests[test["name"]] = needed

    def suites(self, pattern):
        return [name for name in self.tests if re.fullmatch(pattern, name)]

    def compile(self, suites, log):
        targets = sorted(set().union(*(self.tests[s] for s in suites)))
        if not targets:
            return True
        command = ["cmake", "--build", self.build, "-j", str(self.jobs), "--target", *targets]
        return run(command, log=log, env=self.env) == 0

    def check(self, suites, log):
        """Runs the suites; returns {suite: passed | failed | skipped}."""
        pattern = "^(" + "|".join(re.escape(s) for s in suites) + ")$"
        command = ["ctest", "-R", pattern, "-j", str(self.jobs), "--no-tests=error",
                   "--timeout", "600", "--output-on-failure"]
        start = log.stat().st_size if log.exists() else 0
        run(command, log=log, cwd=self.build, env=self.env)
        text = log.read_bytes()[start:].decode("utf-8", errors="replace")
        status = {}
        for name, verdict in re.findall(r"Test\s+#\d+: (\S+) \.*\s*(.*?)\s+[\d.]+ sec", text):
            if verdict.strip() == "Passed":
                status[name] = "passed"
            elif "Skipped" in verdict:
                status[name] = "skipped"
            else:
                status[name] = "failed"
        for name in suites:
            # A suite that never reported (ctest itself gave up) has not passed.
            status.setdefault(name, "failed")
        return status


def outcome_of(status, unreliable):
    ran = {s: v for s, v in status.items() if s not in unreliable}
    caught = sorted(s for s, v in ran.items() if v == "failed")
    if caught:
        return "caught", caught
    if ran and all(v == "skipped" for v in ran.values()):
        return "not-run", []
    if not ran:
        return "unknown", []
    return "missed", []


def apply_fault(scratch, fault, args):
    """Runs one fault; the file is restored whatever happens."""
    path = scratch.src / fault.file
    log = scratch.logs / f"{fault.id}.log"
    suites = scratch.suites(fault.suites)
    result = {"id": fault.id, "library": fault.library(), "mistake": fault.mistake,
              "suites": suites, "caught_by": [], "note": "", "seconds": 0.0}
    if args.suite_filter:
        suites = [s for s in suites if re.fullmatch(args.suite_filter, s)]
        result["suites"] = suites
    if fault.pending:
        result.update(outcome="pending", note=" ".join(fault.pending.split()))
        return result
    if not suites:
        result.update(outcome="not-run", note="no suite to run")
        return result
    if not path.exists():
        result.update(outcome="not-applicable", note=f"{fault.file} does not exist")
        return result
    original = path.read_bytes()
    source = original.decode("utf-8")
    mutated, reason = mutate(source, fault)
    if mutated is None:
        result.update(outcome="not-applicable", note=reason)
        return result
    started = time.monotonic()
    try:
        path.write_bytes(mutated.encode("utf-8"))
        if not scratch.compile(suites, log):
            result.update(outcome="did-not-build", note=f"see {log}")
        else:
            status = scratch.check(suites, log)
            outcome, caught = outcome_of(status, args.unreliable)
            result.update(outcome=outcome, caught_by=caught)
            skipped = sorted(s for s, v in status.items() if v == "skipped")
            if skipped:
                result["note"] = "skipped: " + ", ".join(skipped)
            shaky = sorted(set(suites) & args.unreliable)
            if shaky:
                result["note"] = (result["note"] + "; " if result["note"] else "") + \
                    "failed unmutated, not counted: " + ", ".join(shaky)
    finally:
        path.write_bytes(original)
    result["seconds"] = time.monotonic() - started
    leftover = scratch.dirty()
    if leftover:
        # Something besides the fault changed the copy (a suite writing into the sources):
        # put it back, so that the next fault starts from the committed state.
        git("checkout", "-q", "-f", "HEAD", cwd=scratch.src)
        git("clean", "-q", "-fdx", cwd=scratch.src)
        result["note"] = (result["note"] + "; " if result["note"] else "") + \
            "scratch copy was dirty afterwards: " + " ".join(leftover.split())
    return result


def show(scratch_src, fault):
    path = scratch_src / fault.file
    if fault.pending:
        print(f"{fault.id}: pending: {fault.pending}")
        return
    if not path.exists():
        print(f"{fault.id}: not applicable: {fault.file} does not exist")
        return
    mutated, changes = mutate(path.read_text(encoding="utf-8"), fault)
    if mutated is None:
        print(f"{fault.id}: not applicable: {changes}")
        return
    for line, removed, added in changes:
        print(f"--- {fault.file}:{line} ({fault.id}: {fault.mistake})")
        for text in removed.splitlines():
            print(f"-{text}")
        for text in added.splitlines():
            print(f"+{text}")


def table(results, markdown):
    rows = [(r["id"], r["outcome"], ", ".join(r["caught_by"]) or "-", ", ".join(r["suites"]) or "-",
             r["mistake"], r["note"]) for r in results]
    if markdown:
        lines = ["| Fault | Outcome | Caught by | Suites run | The mistake | Note |",
                 "| --- | --- | --- | --- | --- | --- |"]
        lines += ["| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |"
                  for row in rows]
        return "\n".join(lines) + "\n"
    width = max(len(r[0]) for r in rows)
    lines = [f"{'fault':<{width}}  {'outcome':<14}  caught by"]
    lines += [f"{r[0]:<{width}}  {r[1]:<14}  {r[2]}" + (f"  ({r[5]})" if r[5] else "")
              for r in rows]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("faults", nargs="*", help="fault ids or shell patterns (default: all)")
    parser.add_argument("--checkout", type=Path, default=OWN_TOP,
                        help="the checkout whose committed state is copied (default: this one)")
    parser.add_argument("--rev", default="HEAD", help="the commit of that checkout (default: HEAD)")
    parser.add_argument("--list", type=Path, default=HERE / "faults.toml", help="the fault list")
    parser.add_argument("--scratch", type=Path, default=OWN_TOP / "build-mutants",
                        help="scratch folder (default: build-mutants/ beside this tree)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs")
    parser.add_argument("--suite-filter", help="run only the suites of each fault that match")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the unmutated run of every suite involved")
    parser.add_argument("--markdown", type=Path, help="also write the table as markdown here")
    parser.add_argument("--json", type=Path, help="also write the results as JSON here")
    parser.add_argument("--show", action="store_true",
                        help="only print each selected fault as a diff of the scratch copy")
    args = parser.parse_args()

    with open(args.list, "rb") as stream:
        faults = [Fault(entry) for entry in tomllib.load(stream)["fault"]]
    ids = [f.id for f in faults]
    if len(set(ids)) != len(ids):
        raise SystemExit("fault ids must be unique")
    if args.faults:
        faults = [f for f in faults if any(fnmatch.fnmatchcase(f.id, p) for p in args.faults)]
        if not faults:
            raise SystemExit("no fault matches " + " ".join(args.faults))

    args.scratch.mkdir(parents=True, exist_ok=True)
    lock = open(args.scratch / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise SystemExit(f"another run uses {args.scratch}")

    scratch = Scratch(args.scratch.resolve(), args.jobs)
    started = time.monotonic()
    sha = scratch.take(args.checkout.resolve(), args.rev)
    if args.show:
        for fault in faults:
            show(scratch.src, fault)
        return 0
    print(f"scratch copy of {args.checkout} at {sha[:10]} in {scratch.src}", flush=True)
    scratch.clear_logs()
    scratch.configure()

    involved = sorted({s for f in faults if not f.pending for s in scratch.suites(f.suites)
                       if not args.suite_filter or re.fullmatch(args.suite_filter, s)})
    for fault in faults:
        if not fault.pending and not scratch.suites(fault.suites):
            print(f"warning: {fault.id}: no suite matches {fault.suites}", file=sys.stderr)
    log = scratch.logs / "baseline.log"
    args.unreliable = set()
    if involved and not args.no_baseline:
        status = scratch.check(involved, log)
        args.unreliable = {s for s, v in status.items() if v == "failed"}
        if args.unreliable:
            print("failing without a fault (not counted): " + ", ".join(sorted(args.unreliable)),
                  file=sys.stderr)
    print(f"built and checked unmutated in {time.monotonic() - started:.0f} s", flush=True)

    results = []
    for number, fault in enumerate(faults, 1):
        result = apply_fault(scratch, fault, args)
        results.append(result)
        print(f"[{number}/{len(faults)}] {fault.id}: {result['outcome']}"
              + (f" by {', '.join(result['caught_by'])}" if result["caught_by"] else "")
              + f" ({result['seconds']:.0f} s)", flush=True)

    elapsed = time.monotonic() - started
    counts = {}
    for result in results:
        counts[result["outcome"]] = counts.get(result["outcome"], 0) + 1
    summary = ", ".join(f"{n} {o}" for o, n in sorted(counts.items()))
    print()
    print(table(results, markdown=False), end="")
    print(f"\n{len(results)} faults: {summary}; {elapsed / 60:.1f} min on {args.jobs} jobs "
          f"({sha[:10]})")
    if args.markdown:
        args.markdown.write_text(table(results, markdown=True), encoding="utf-8")
    if args.json:
        args.json.write_text(json.dumps({"commit": sha, "seconds": round(elapsed),
                                         "results": results}, indent=1) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
