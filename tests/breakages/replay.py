#!/usr/bin/env python3
"""Replays the breakage list: applies each fault to a scratch copy of the tree, rebuilds it
incrementally, runs the tests and prints which tests catch the fault.

A developer tool, not part of the CTest run. Usage (from anywhere in the tree):

    nice -n 10 python3 tests/breakages/replay.py [--dry-run] [--only ID,ID...] [--scratch DIR] [--jobs N]
        [--first-catch]

--dry-run only checks that every original text is found exactly once. Output, one line per
breakage: "<id>: <test>,<test>..." or "<id>: NOT CAUGHT", "<id>: STALE" (original text no longer
in the file, or not unique) or "<id>: BUILD FAILS". The slow tst_interop_rb runs only for faults
in the YMODEM sender, and tst_install (which installs and packs the build) only for faults outside
the programs' code. Each test runs directly (four at a time) with a time limit of three times
what it takes on the unbroken tree (at most 30 s more), so that a fault that makes a test wait
out its own time limits costs seconds, not minutes; a test killed at its limit counts as
catching the fault. --first-catch runs the quick tests first and ends a fault's run at the first
test that fails, naming only that one: enough for --compare, and several times faster.
"""

import argparse
import concurrent.futures
import filecmp
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LIST = Path(__file__).resolve().parent / "breakages.txt"
SENDER = {"src/device/ymodem.cpp", "src/device/ymodem.h", "src/device/ymodem_packet.cpp",
          "src/device/ymodem_transfer.cpp"}


def parse(path):
    entries, current = [], None
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("@ "):
            ident, file = line[2:].split(None, 1)
            current = {"id": ident, "file": file.strip()}
            entries.append(current)
        elif current is not None and line.startswith("# "):
            current["what"] = line[2:]
        elif current is not None and line.startswith("- "):
            current["old"] = line[2:].replace("⏎", "\n")
        elif current is not None and line.startswith("+ "):
            current["new"] = line[2:].replace("⏎", "\n")
    return entries


def run(cmd, cwd, log):
    result = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    log.write(result.stdout)
    return result


def list_tests(build):
    """The registered tests with their command, folder and environment."""
    shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, stdout=subprocess.PIPE,
                           text=True, check=True).stdout
    tests = []
    for t in json.loads(shown)["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(os.environ)
        env.update(v.split("=", 1) for v in props.get("ENVIRONMENT", []))
        tests.append({"name": t["name"], "command": t["command"], "env": env,
                      "cwd": props.get("WORKING_DIRECTORY", str(build))})
    return tests


# Programs that tests start as processes, and the tests that start them.
TOOLS = ["src/cli/fwflash", "tools/devsim/fwdevsim"]
TOOL_USERS = {"tst_fwflash", "tst_e2e_update", "tst_fwdevsim"}
# tst_install installs and packs the whole build: it needs every installed program built (the
# Qt tests need only the library, the simulator and fwflash), and it is a script, not a program
# with a fingerprint. It runs for faults outside the programs' code: the install rules, the
# package's files, the build's flags.
PACKAGE_TEST = "tst_install"
PACKAGE_TARGETS = ["src/all", "tools/all", "packaging/all", "fwupdater"]


def packs(entry):
    return not entry["file"].startswith(("src/", "tools/", "bench/", "tests/"))


# tst_layers scans the #include lines of src/: a script too, run for every fault in src/.
LAYERS_TEST = "tst_layers"
SCRIPT_TESTS = {PACKAGE_TEST, LAYERS_TEST}


def fingerprints(build, tests):
    """A digest of every test program and of the programs tests start. Linking is deterministic,
    so a program whose digest did not change does not contain the fault."""
    paths = {t["name"]: Path(t["command"][0]) for t in tests if t["name"] not in SCRIPT_TESTS}
    paths.update({tool: build / tool for tool in TOOLS})
    return {name: hashlib.sha256(path.read_bytes()).hexdigest() for name, path in paths.items()}


class Stop:
    """With --first-catch: the first failing test ends the others, whose verdicts then do not
    count."""
    def __init__(self, enabled):
        self.enabled = enabled
        self.event = threading.Event()
        self.procs = set()
        self.lock = threading.Lock()

    def start(self, proc):
        with self.lock:
            if self.event.is_set():
                os.killpg(proc.pid, signal.SIGKILL)
            self.procs.add(proc)

    def ended(self, proc, ok):
        """False when the test was ended by another's catch: its verdict does not count."""
        with self.lock:
            self.procs.discard(proc)
            if ok:
                return True
            if self.event.is_set():
                return False
            if self.enabled:
                self.event.set()
                for other in self.procs:
                    try:
                        os.killpg(other.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
            return True


def run_one(test, limit, log_lock, log, stop):
    """Returns (ok, seconds), or None for a test that --first-catch ended or never began."""
    if stop.event.is_set():
        return None
    started = time.monotonic()
    proc = subprocess.Popen(test["command"], cwd=test["cwd"], env=test["env"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", start_new_session=True)
    stop.start(proc)
    try:
        out, _ = proc.communicate(timeout=limit)
        ok = proc.returncode == 0
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        ok, out = False, out + f"\n*** killed after {limit:.0f} s\n"
    seconds = time.monotonic() - started
    if not stop.ended(proc, ok):
        return None
    with log_lock:
        log.write(f"--- {test['name']}: {'passed' if ok else 'FAILED'} in {seconds:.1f} s\n")
        if not ok:
            log.write(out[-4000:])
    return ok, seconds


def run_tests(tests, limits, log, jobs, first_catch=False):
    """Runs the tests, longest first, `jobs` at a time (most of their time is spent waiting for a
    fake device, not computing); returns name -> (ok, seconds) for the tests that gave a verdict."""
    lock = threading.Lock()
    stop = Stop(first_catch)
    # Longest first keeps the jobs busy to the end; for the first catch, the quick tests first.
    tests = sorted(tests, key=lambda t: limits.get(t["name"], 0) * (1 if first_catch else -1))
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {t["name"]: pool.submit(run_one, t, limits.get(t["name"], 300.0), lock, log,
                                          stop)
                   for t in tests}
        results = {name: f.result() for name, f in futures.items()}
        return {name: r for name, r in results.items() if r is not None}


def read_results(path):
    results = {}
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if ": " in line and not line.startswith("#"):
            ident, verdict = line.split(": ", 1)
            results[ident.strip()] = verdict.strip()
    return results


def compare(before_path, after_path):
    """Every fault caught before must be caught after; returns 1 when one is lost or missing."""
    before, after = read_results(before_path), read_results(after_path)
    def caught(verdict):
        return verdict not in ("NOT CAUGHT", "STALE", "BUILD FAILS")
    missing = [i for i in before if i not in after]
    lost = [i for i, v in before.items() if caught(v) and i in after and not caught(after[i])]
    gained = [i for i, v in after.items() if caught(v) and not caught(before.get(i, "NOT CAUGHT"))]
    print(f"before: {sum(map(caught, before.values()))} of {len(before)} caught; "
          f"after: {sum(map(caught, after.values()))} of {len(after)} caught")
    print("lost: " + (", ".join(lost) if lost else "none"))
    print("newly caught: " + (", ".join(gained) if gained else "none"))
    if missing:
        print("not replayed after: " + ", ".join(missing))
    return 1 if lost or missing else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dry-run", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--scratch", default="/tmp/fw-breakages")
    parser.add_argument("--jobs", type=int, default=4, help="tests run at the same time")
    parser.add_argument("--first-catch", action="store_true",
                        help="stop a fault's tests at the first that fails and name only that one "
                             "(enough for --compare, several times faster)")
    parser.add_argument("--keep-tree", action="store_true",
                        help="replay against the scratch copy as it is, without copying the tree")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                        help="compare two saved outputs of this script and list lost catches")
    args = parser.parse_args()
    if args.compare:
        return compare(*args.compare)

    entries = parse(LIST)
    if args.only:
        wanted = set(args.only.split(","))
        entries = [e for e in entries if e["id"] in wanted]

    if args.dry_run:
        bad = 0
        for e in entries:
            text = (ROOT / e["file"]).read_text(encoding="utf-8")
            count = text.count(e["old"])
            if count != 1 or "new" not in e:
                bad += 1
                print(f"{e['id']}: STALE (found {count} times)")
        print(f"{len(entries)} breakages, {bad} stale")
        return 1 if bad else 0

    scratch = Path(args.scratch)
    # The build folder sits inside the copy as it does in a worktree, so that ccache finds the
    # developer's own objects.
    tree = scratch / "tree"
    build = tree / "build"
    tree.mkdir(parents=True, exist_ok=True)
    log = open(scratch / "replay.log", "w", encoding="utf-8")
    # The tree as it stands, without its build folders. Only files whose content differs are
    # written (with a fresh time), so the scratch build stays incremental between runs.
    def copy_changed(src, dst):
        if not (os.path.exists(dst) and filecmp.cmp(src, dst, shallow=False)):
            shutil.copyfile(src, dst)
        return dst

    skipped = lambda d, names: [n for n in names if n == ".git" or
                                (Path(d) == ROOT and n.startswith("build"))]
    if not args.keep_tree:
        shutil.copytree(ROOT, tree, dirs_exist_ok=True, copy_function=copy_changed,
                        ignore=skipped)
        # Files moved or deleted since the last replay must not linger in the copy.
        for folder, dirs, files in os.walk(tree):
            here = Path(folder)
            rel = here.relative_to(tree)
            if rel == Path("."):
                dirs[:] = [d for d in dirs if not d.startswith("build")]
            for name in files:
                if not (ROOT / rel / name).exists():
                    (here / name).unlink()
    env = dict(os.environ, CCACHE_BASEDIR=str(scratch), CCACHE_NOHASHDIR="1")
    configure = ["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    if shutil.which("ccache"):
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    # Every fault relinks every test program; lld does that several times faster than bfd.
    if shutil.which("ld.lld"):
        configure.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
    subprocess.run(configure, check=True, env=env, stdout=subprocess.DEVNULL)
    targets = ["tests/all", "tools/devsim/all"] + PACKAGE_TARGETS
    if run(["ninja", "-C", str(build)] + targets, tree, log).returncode != 0:
        print("the unbroken tree does not build", file=sys.stderr)
        return 2

    tests = list_tests(build)
    clean = fingerprints(build, tests)
    # How long each test takes on the unbroken tree: a broken build often makes a test wait out
    # every time limit it has, and it only needs to run long enough to show that it fails.
    baseline = run_tests(tests, {}, log, args.jobs)
    for name, (ok, seconds) in sorted(baseline.items()):
        if not ok:
            print(f"warning: {name} fails on the unbroken tree", file=sys.stderr, flush=True)
    limits = {name: max(20.0, min(3 * seconds + 5, seconds + 30))
              for name, (_, seconds) in baseline.items()}

    for e in entries:
        path = tree / e["file"]
        original = path.read_text(encoding="utf-8")
        if original.count(e["old"]) != 1:
            print(f"{e['id']}: STALE", flush=True)
            continue
        log.write(f"\n=== {e['id']}\n")
        try:
            path.write_text(original.replace(e["old"], e["new"]), encoding="utf-8")
            if run(["ninja", "-C", str(build)] + targets, tree, log).returncode != 0:
                print(f"{e['id']}: BUILD FAILS", flush=True)
                continue
            # A program the fault did not change gives the verdict it gave on the unbroken tree:
            # only tests whose own program, or a program they start, changed are run.
            now = fingerprints(build, tests)
            changed_tools = any(now[t] != clean[t] for t in TOOLS)
            chosen = [t for t in tests
                      if (t["name"] == PACKAGE_TEST and packs(e))
                      or (t["name"] == LAYERS_TEST and e["file"].startswith("src/"))
                      or (t["name"] not in SCRIPT_TESTS
                          and (e["file"] in SENDER or t["name"] != "tst_interop_rb")
                          and (now[t["name"]] != clean[t["name"]]
                               or (changed_tools and t["name"] in TOOL_USERS)))]
            results = run_tests(chosen, limits, log, args.jobs, args.first_catch)
            failed = sorted(name for name, (ok, _) in results.items() if not ok)
            print(f"{e['id']}: {','.join(failed) if failed else 'NOT CAUGHT'}", flush=True)
        finally:
            path.write_text(original, encoding="utf-8")
    # Leave the scratch build matching the unbroken tree.
    run(["ninja", "-C", str(build)] + targets, tree, log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
