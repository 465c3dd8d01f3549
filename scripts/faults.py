#!/usr/bin/env python3
"""Scores the test suite against the planted faults of scripts/faults.txt.

Copies the working tree (without .git, build*/, out/ and cache/) into a
scratch folder, builds it once natively (Ninja, RelWithDebInfo, -Werror,
ccache when it is on the PATH) and runs the unpatched tests, which must pass.
Then, one fault at a time: applies the fault, builds, runs the tests, puts
the file back, and prints one line ("F012 caught (3 tests)", "F012 missed",
"F012 does not build", ...). Ends with "score: N of M faults caught" and
writes a table (TSV) of each fault and the tests that failed with it.

Tests run in two tiers. Tier 1 is every test but the slow end-to-end and
robustness programs; tier 2 runs those, only when tier 1 misses the fault
(--full: always). Only the tests that the fault can reach are run: when the
build changed nothing but some test programs, only theirs.

Faults in app/ or in a *_win32.cpp file live in the Windows program: they are
built by the 32-bit MinGW cross build (64-bit where this machine cannot run
32-bit code) and tested by tests/app/wine_gui_test.py in a real window under
Wine (--no-wine skips them).

Usage: scripts/faults.py [--only ID...] [--folder DIR...] [--jobs N]
                         [--out TABLE] [--full] [--no-wine] [--check]
Scratch folder: out/faults, or $ZENTRIX_FAULTS_DIR.
"""
import argparse
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Top-level entries of the work tree that are not copied.
NOT_COPIED = re.compile(r"^(\.git|build.*|out|cache)$")
# Test programs of tier 2: slow, run only when tier 1 misses a fault.
SLOW_PROGRAMS = {"e2e_tests", "robustness_tests"}
TEST_TIMEOUT = 120       # seconds a test may take where it sets no limit itself
RUN_TIMEOUT = 1800       # seconds one ctest or build run may take in all
WINE_TIMEOUT = 1200      # seconds the real-window test may take


class Stop(Exception):
    """Ends the run with a message: a stale list, a broken baseline, ..."""


# -- the list ----------------------------------------------------------------

class Fault:
    def __init__(self, ident, path, what, line):
        self.id, self.path, self.what, self.line = ident, path, what, line
        self.replacements = []  # (old, new), each whole lines ending in "\n"

    @property
    def folder(self):
        return self.path.split("/")[0]

    @property
    def windows(self):
        """Built only into the Windows program."""
        return self.folder == "app" or self.path.endswith("_win32.cpp")


def read_list(path):
    """The faults of the list, in order. Raises Stop on a malformed list."""
    faults, fault, block, part = [], None, None, None
    with open(path, encoding="utf-8") as listing:
        lines = listing.read().split("\n")
    for number, line in enumerate(lines, 1):
        where = f"{os.path.relpath(path, ROOT)}:{number}"
        if part is not None:  # inside <<< ... === ... >>>
            if line == "===" and part == "old":
                part = "new"
            elif line == ">>>" and part == "new":
                old, new = ("".join(text + "\n" for text in block[k]) for k in ("old", "new"))
                if not old or old == new:
                    raise Stop(f"{where}: {fault.id}: the old text is empty or the same as the new")
                fault.replacements.append((old, new))
                part = None
            else:
                block[part].append(line)
            continue
        if line.startswith("== "):
            fields = line[3:].split(None, 2)
            if len(fields) < 3:
                raise Stop(f"{where}: '== ID PATH WHAT' expected")
            fault = Fault(fields[0], fields[1], fields[2], number)
            faults.append(fault)
        elif line == "<<<":
            if not fault:
                raise Stop(f"{where}: a replacement before the first '== ID PATH WHAT'")
            block, part = {"old": [], "new": []}, "old"
        elif line.strip() and not line.startswith("#"):
            raise Stop(f"{where}: unexpected line {line!r}")
    if part is not None:
        raise Stop(f"{path}: the list ends inside a replacement")
    seen = set()
    for fault in faults:
        if fault.id in seen:
            raise Stop(f"{fault.id} appears twice in the list")
        seen.add(fault.id)
        if not fault.replacements:
            raise Stop(f"{fault.id} has no replacement")
    return faults


def line_matches(text, old):
    """Offsets where old begins a line of text."""
    found, at = [], text.find(old)
    while at >= 0:
        if at == 0 or text[at - 1] == "\n":
            found.append(at)
        at = text.find(old, at + 1)
    return found


def patched(text, fault):
    """text with the fault's replacements made; raises Stop when an old text
    is not found exactly once (the list is stale)."""
    for old, new in fault.replacements:
        found = line_matches(text, old)
        if len(found) != 1:
            first = old.split("\n")[0].strip()
            raise Stop(f"{fault.id} ({fault.path}): the old text '{first}' ... is found "
                       f"{len(found)} times, not once: the list is stale")
        text = text[:found[0]] + new + text[found[0] + len(old):]
    return text


def check_list(faults, tree):
    """Every fault applies to the files of tree; the stale ones raise Stop."""
    problems = []
    for fault in faults:
        path = os.path.join(tree, fault.path)
        try:
            with open(path, encoding="utf-8") as source:
                patched(source.read(), fault)
        except FileNotFoundError:
            problems.append(f"{fault.id}: {fault.path} does not exist")
        except Stop as stale:
            problems.append(str(stale))
    if problems:
        raise Stop("the fault list does not fit the tree:\n  " + "\n  ".join(problems))


# -- the scratch tree ----------------------------------------------------------

def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as x, open(b, "rb") as y:
        return x.read() == y.read()


def sync_tree(source, target):
    """Makes target a copy of source's files. Only changed files are written
    (and get a new time, so that the build sees them); the rest keep theirs."""
    wanted = set()
    for folder, folders, files in os.walk(source):
        relative = os.path.relpath(folder, source)
        if relative == ".":
            folders[:] = [f for f in folders if not NOT_COPIED.match(f)]
            files = [f for f in files if not NOT_COPIED.match(f)]
        for name in files:
            path = os.path.normpath(os.path.join(relative, name))
            from_path, to_path = os.path.join(source, path), os.path.join(target, path)
            if os.path.islink(from_path) or not os.path.isfile(from_path):
                continue
            wanted.add(path)
            if os.path.isfile(to_path) and same_file(from_path, to_path):
                continue
            os.makedirs(os.path.dirname(to_path), exist_ok=True)
            shutil.copyfile(from_path, to_path)
            shutil.copymode(from_path, to_path)
    for folder, folders, files in os.walk(target):
        if os.path.samefile(folder, target):  # the builds live beside the copy
            folders[:] = [f for f in folders if not NOT_COPIED.match(f)]
            files = [f for f in files if not NOT_COPIED.match(f)]
        for name in files:
            path = os.path.relpath(os.path.join(folder, name), target)
            if path not in wanted:
                os.remove(os.path.join(target, path))


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write(text)


# -- running -------------------------------------------------------------------

def run(command, log, timeout=RUN_TIMEOUT, env=None, cwd=None):
    """Runs command in its own process group; its output goes to log (and is
    returned). The exit status, or None when it ran out of time."""
    with open(log, "w") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=env,
                                   cwd=cwd, start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = None
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
        if status is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    with open(log, errors="replace") as out:
        return status, out.read()


def tail(text, lines=15):
    return "\n".join("    " + line for line in text.rstrip().split("\n")[-lines:])


class Build:
    """One CMake build folder of the scratch tree."""

    def __init__(self, folder, configure, jobs, env):
        self.folder, self.configure_args, self.jobs, self.env = folder, configure, jobs, env
        self.hashes = {}   # path -> (mtime, size, digest) of the last look
        self.baseline = {}  # path -> digest after the unpatched build

    def configure(self, log):
        status, output = run(["cmake", *self.configure_args, "-B", self.folder], log, env=self.env)
        if status != 0:
            raise Stop(f"configuring {self.folder} failed:\n{tail(output)}")

    def build(self, log):
        """True when the build succeeded."""
        status, _ = run(["cmake", "--build", self.folder, "-j", str(self.jobs)], log,
                        env=self.env)
        return status == 0

    def outputs(self):
        """Digest of every file in bin/ (programs, modules); files whose time
        and size are unchanged are not read again."""
        digests, top = {}, os.path.join(self.folder, "bin")
        for folder, _, files in os.walk(top):
            for name in files:
                path = os.path.join(folder, name)
                status = os.stat(path)
                key = (status.st_mtime_ns, status.st_size)
                known = self.hashes.get(path)
                if not known or known[:2] != key:
                    digest = hashlib.sha1()
                    with open(path, "rb") as data:
                        for chunk in iter(lambda: data.read(1 << 20), b""):
                            digest.update(chunk)
                    known = (*key, digest.hexdigest())
                    self.hashes[path] = known
                digests[os.path.relpath(path, top)] = known[2]
        return digests

    def changed(self):
        """bin/ files that differ from the unpatched build."""
        now = self.outputs()
        return {p for p in set(now) | set(self.baseline) if now.get(p) != self.baseline.get(p)}


class Tests:
    """The native tests as ctest knows them, by program and tier."""

    def __init__(self, build, jobs, scratch):
        self.build, self.jobs, self.scratch = build, jobs, scratch
        self.programs = {}  # program (bin/ path) -> test names

    def discover(self):
        import json
        output = subprocess.run(["ctest", "--test-dir", self.build.folder,
                                 "--show-only=json-v1"], capture_output=True, text=True,
                                check=True).stdout
        bin_dir = os.path.join(self.build.folder, "bin")
        for test in json.loads(output)["tests"]:
            program = os.path.relpath(test["command"][0], bin_dir)
            self.programs.setdefault(program, []).append(test["name"])
        if not self.programs:
            raise Stop("ctest lists no tests")

        self.find_uses()

    def find_uses(self):
        """What each test program runs or loads: the other programs and
        modules of bin/ whose names it holds (zentrix-cli, tambrix.dll, ...),
        and what those hold in turn."""
        bin_dir = os.path.join(self.build.folder, "bin")
        files = [os.path.relpath(os.path.join(folder, name), bin_dir)
                 for folder, _, names in os.walk(bin_dir) for name in names]
        others = {os.path.basename(f) for f in files if f not in self.programs}
        holds = {}  # file name -> the other names found in its files
        for path in files:
            with open(os.path.join(bin_dir, path), "rb") as data:
                content = data.read()
            found = {n for n in others if n.encode() in content and n != os.path.basename(path)}
            holds.setdefault(os.path.basename(path), set()).update(found)
        self.uses = {}
        for program in self.programs:
            reached, todo = set(), [os.path.basename(program)]
            while todo:
                for name in holds.get(todo.pop(), ()):
                    if name not in reached:
                        reached.add(name)
                        todo.append(name)
            self.uses[program] = reached

    def slow(self, program):
        return os.path.basename(program) in SLOW_PROGRAMS

    def affected(self, changed):
        """Test programs that the changed bin/ files can reach: a changed test
        program, or one that runs or loads a changed program or module. A
        changed file that no test program names reaches them all."""
        names = {os.path.basename(f) for f in changed - set(self.programs)}
        if any(not any(n in uses for uses in self.uses.values()) for n in names):
            return set(self.programs)
        return {p for p in self.programs if p in changed or names & self.uses[p]}

    def run(self, programs, log):
        """Names of the failed tests of programs ([] when all passed)."""
        names = [n for p in sorted(programs) for n in self.programs[p]]
        if not names:
            return []
        # Test names as suite prefixes: a short pattern that still picks them.
        suites = sorted({re.escape(name.split(".")[0]) for name in names})
        status, output = run(["ctest", "--test-dir", self.build.folder, "-j", str(self.jobs),
                              "--timeout", str(TEST_TIMEOUT), "-R", "^(" + "|".join(suites) + r")\."],
                             log)
        # "  12 - Suite.Name/(2, 1) (Timeout)": names may hold spaces.
        failed = re.findall(r"^\s*\d+ - (.*\S) \([^()]*\)\s*$",
                            output.split("The following tests FAILED:")[-1],
                            re.M) if "The following tests FAILED:" in output else []
        if status is None:
            failed.append("(ctest ran out of time)")
        elif status != 0 and not failed:
            failed.append("(ctest failed: see " + os.path.relpath(log, self.scratch) + ")")
        return failed


class Wine:
    """The Windows program, cross-built, and its real-window test."""

    def __init__(self, args, scratch, src, native_bin, env):
        self.args, self.scratch, self.src, self.native_bin, self.env = (
            args, scratch, src, native_bin, env)
        self.build = None
        self.unavailable = None  # why the tier cannot run

    def runs_32bit(self):
        """Whether this machine runs 32-bit x86 code: a static i386 program
        that only exits, made with the binutils at hand."""
        with tempfile.TemporaryDirectory() as folder:
            source, obj, exe = (os.path.join(folder, n) for n in ("exit.s", "exit.o", "exit"))
            with open(source, "w") as out:
                out.write(".globl _start\n_start:\n movl $1, %eax\n xorl %ebx, %ebx\n int $0x80\n")
            try:
                subprocess.run(["as", "--32", "-o", obj, source], check=True, **QUIET)
                subprocess.run(["ld", "-m", "elf_i386", "-o", exe, obj], check=True, **QUIET)
                return subprocess.run([exe], **QUIET).returncode == 0
            except (OSError, subprocess.CalledProcessError):
                return False

    def prepare(self, jobs):
        """Configures and builds the cross build and runs the unpatched test.
        Leaves self.unavailable set when the tier cannot run."""
        missing = [t for t in ("wine", "wineserver", "Xvfb", "xdotool", "import")
                   if not shutil.which(t)]
        if missing:
            self.unavailable = "missing " + ", ".join(missing) + " (ZENTRIX_WINE=1 scripts/setup.sh)"
            return
        self.arch, target = ("win32", "i686") if self.runs_32bit() else ("win64", "x86_64")
        if not shutil.which(f"{target}-w64-mingw32-g++"):
            self.unavailable = f"no {target} MinGW-w64 compiler"
            return
        log = os.path.join(self.scratch, "logs", "ffmpeg-mingw.log")
        with open(log, "w") as err:
            found = subprocess.run(["bash", os.path.join(self.src, "scripts", "build-ffmpeg-mingw.sh"),
                                    "--target", target], stdout=subprocess.PIPE, stderr=err,
                                   text=True)
        if found.returncode != 0:
            self.unavailable = f"the {target} FFmpeg build failed (see {log})"
            return
        folder = os.path.join(self.src, "build", "mingw" if target == "i686" else "mingw64")
        self.build = Build(folder, ["-S", self.src, "-G", "Ninja",
                                    f"-DCMAKE_TOOLCHAIN_FILE={self.src}/cmake/mingw-{target}.cmake",
                                    "-DCMAKE_BUILD_TYPE=Release", "-DZENTRIX_WERROR=ON",
                                    "-DZENTRIX_TESTS=OFF",
                                    f"-DZENTRIX_FFMPEG_ROOT={found.stdout.strip()}",
                                    *launcher_args()], jobs, self.env)
        self.build.configure(os.path.join(self.scratch, "logs", "mingw-configure.log"))
        print(f"..    the Windows tier: {target} build, {self.arch} Wine", flush=True)
        if not self.build.build(os.path.join(self.scratch, "logs", "mingw-build.log")):
            raise Stop("the unpatched Windows build fails: see out/faults/logs/mingw-build.log")
        self.build.baseline = self.build.outputs()
        self.checks = []
        failed = self.test(os.path.join(self.scratch, "logs", "wine-baseline.log"))
        with open(os.path.join(self.scratch, "logs", "wine-baseline.log")) as log:
            self.checks = re.findall(r"^ok    (.*)$", log.read(), re.M)
        if failed:
            self.unavailable = ("the unpatched real-window test fails (" + "; ".join(failed[:3]) +
                                ")")

    def test(self, log):
        """The checks of the real-window test that failed ([] when all passed)."""
        status, output = run([sys.executable, os.path.join(self.src, "tests", "app",
                                                           "wine_gui_test.py"),
                              "--arch", self.arch, "--mingw-bin",
                              os.path.join(self.build.folder, "bin"),
                              "--native-bin", self.native_bin,
                              "--out", os.path.join(self.scratch, "wine")], log,
                             timeout=WINE_TIMEOUT)
        # "FAIL  what: detail": the check is the passing check of the
        # unpatched run that the line begins with.
        failed = []
        for line in re.findall(r"^FAIL  (.*)$", output, re.M):
            known = [c for c in self.checks if line == c or line.startswith(c + ": ")]
            failed.append("wine-gui: " + (max(known, key=len) if known else line.split(": ")[0]))
        if status is None:
            failed.append("wine-gui: (ran out of time)")
        elif status != 0 and not failed:
            failed.append("wine-gui: (failed: see " + os.path.relpath(log, self.scratch) + ")")
        return failed


QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def launcher_args():
    if not shutil.which("ccache"):
        return []
    return ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]


# -- one fault -----------------------------------------------------------------

class Result:
    def __init__(self, fault):
        self.fault, self.status, self.tier, self.tests, self.seconds = fault, "", "", [], 0.0

    def line(self):
        ident = self.fault.id
        if self.status == "caught":
            count = len(self.tests)
            return f"{ident} caught ({count} test{'' if count == 1 else 's'}, tier {self.tier})"
        return {"missed": f"{ident} missed",
                "no-build": f"{ident} does not build",
                "no-effect": f"{ident} changes no program (dead code?)",
                "not-run": f"{ident} not run ({self.tier})"}[self.status]


def try_fault(fault, src, native, tests, wine, args, logs):
    result = Result(fault)
    started = time.time()
    path = os.path.join(src, fault.path)
    with open(path, encoding="utf-8", newline="") as source:
        original = source.read()
    broken = patched(original, fault)
    log = os.path.join(logs, fault.id)
    try:
        write_text(path, broken)
        if fault.windows:
            if wine.unavailable or not wine.build:
                result.status, result.tier = "not-run", wine.unavailable or "--no-wine"
            elif not wine.build.build(log + "-build.log"):
                result.status = "no-build"
            elif not wine.build.changed():
                result.status = "no-effect"
            else:
                result.tests = wine.test(log + "-wine.log")
                result.status, result.tier = ("caught", "wine") if result.tests else ("missed", "")
        elif not native.build(log + "-build.log"):
            result.status = "no-build"
        else:
            changed = native.changed()
            reached = tests.affected(changed)
            if not changed:
                result.status = "no-effect"
            else:
                fast = {p for p in reached if not tests.slow(p)}
                slow = reached - fast
                result.tests = tests.run(fast, log + "-tier1.log")
                result.tier = "1"
                if slow and (args.full or not result.tests):
                    more = tests.run(slow, log + "-tier2.log")
                    # The tier that caught it; both, for a fault that was missed.
                    result.tier = "2" if more and not result.tests else "1" if result.tests else "1+2"
                    result.tests += more
                result.status = "caught" if result.tests else "missed"
    finally:
        write_text(path, original)
    result.seconds = time.time() - started
    return result


# -- the whole run -------------------------------------------------------------

def write_table(path, results):
    with open(path, "w") as out:
        out.write("fault\tfolder\tfile\tresult\ttier\tseconds\tfailed tests\twhat the fault does\n")
        for r in results:
            out.write(f"{r.fault.id}\t{r.fault.folder}\t{r.fault.path}\t{r.status}\t{r.tier}\t"
                      f"{r.seconds:.0f}\t{'; '.join(r.tests)}\t{r.fault.what}\n")


def sole_catchers(results):
    """Test -> the faults that it alone caught."""
    alone = {}
    for r in results:
        if r.status == "caught" and len(r.tests) == 1:
            alone.setdefault(r.tests[0], []).append(r.fault.id)
    return alone


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "scripts", "faults.txt"),
                        help="the fault list (default scripts/faults.txt)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run only these faults")
    parser.add_argument("--folder", nargs="+", metavar="DIR",
                        help="run only the faults of these folders (recording, avi, app, ...)")
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    parser.add_argument("--out", help="the table to write (default SCRATCH/faults.tsv)")
    parser.add_argument("--full", action="store_true",
                        help="run tier 2 for every fault, not only for those tier 1 misses")
    parser.add_argument("--no-wine", action="store_true",
                        help="skip the faults of the Windows program (app/, *_win32.cpp)")
    parser.add_argument("--check", action="store_true",
                        help="only check that every fault applies to the tree, then stop")
    args = parser.parse_args()

    try:
        faults = read_list(args.list)
        check_list(faults, ROOT)
        if args.check:
            print(f"{len(faults)} faults, each applies to the tree "
                  f"({len({f.folder for f in faults})} folders)")
            return 0
        if args.only:
            unknown = set(args.only) - {f.id for f in faults}
            if unknown:
                raise Stop("no such fault: " + ", ".join(sorted(unknown)))
            faults = [f for f in faults if f.id in args.only]
        if args.folder:
            faults = [f for f in faults if f.folder in {d.strip("/") for d in args.folder}]
        if not faults:
            raise Stop("no fault chosen")

        scratch = os.path.abspath(os.environ.get("ZENTRIX_FAULTS_DIR") or
                                  os.path.join(ROOT, "out", "faults"))
        src, logs = os.path.join(scratch, "tree"), os.path.join(scratch, "logs")
        os.makedirs(src, exist_ok=True)
        shutil.rmtree(logs, ignore_errors=True)
        os.makedirs(logs)
        started = time.time()
        sync_tree(ROOT, src)
        env = dict(os.environ, CCACHE_BASEDIR=src, CCACHE_NOHASHDIR="1")
        print(f"..    {len(faults)} faults; scratch tree {scratch}", flush=True)

        # The builds lie in the copy as in a work tree, so that ccache finds
        # what other trees built from the same sources.
        native = Build(os.path.join(src, "build", "native"),
                       ["-S", src, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DZENTRIX_WERROR=ON", *launcher_args()], args.jobs, env)
        tests = Tests(native, args.jobs, scratch)
        wine = Wine(args, scratch, src, os.path.join(native.folder, "bin"), env)
        if any(not f.windows for f in faults) or any(f.windows for f in faults):
            native.configure(os.path.join(logs, "configure.log"))
            if not native.build(os.path.join(logs, "build.log")):
                raise Stop("the unpatched tree does not build: see " +
                           os.path.join(logs, "build.log"))
            native.baseline = native.outputs()
            tests.discover()
        if any(not f.windows for f in faults):
            failed = tests.run(set(tests.programs), os.path.join(logs, "baseline-tests.log"))
            if failed:
                raise Stop("the unpatched tests fail: " + ", ".join(failed[:10]) + " (see " +
                           os.path.join(logs, "baseline-tests.log") + ")")
            count = sum(len(n) for n in tests.programs.values())
            print(f"..    baseline: {count} tests pass ({time.time() - started:.0f} s so far)",
                  flush=True)
        if any(f.windows for f in faults):
            if args.no_wine:
                wine.unavailable = "--no-wine"
            else:
                wine.prepare(args.jobs)
            if wine.unavailable:
                print(f"..    the Windows program's faults are not run: {wine.unavailable}",
                      flush=True)

        results = []
        for fault in faults:
            result = try_fault(fault, src, native, tests, wine, args, logs)
            results.append(result)
            print(f"{result.line()}  [{result.seconds:.0f} s]", flush=True)
        # Leave the scratch builds as the unpatched tree.
        native.build(os.path.join(logs, "build-final.log"))
        if wine.build:
            wine.build.build(os.path.join(logs, "mingw-build-final.log"))

        table = os.path.abspath(args.out or os.path.join(scratch, "faults.tsv"))
        write_table(table, results)
        counted = [r for r in results if r.status != "not-run"]
        caught = sum(r.status == "caught" for r in counted)
        for status in ("no-build", "no-effect", "not-run"):
            ids = [r.fault.id for r in results if r.status == status]
            if ids:
                print(f"..    {status}: {' '.join(ids)}")
        missed = [r.fault.id for r in results if r.status == "missed"]
        print("..    missed: " + (" ".join(missed) if missed else "none"))
        alone = sole_catchers(results)
        if alone:
            print("..    faults that one test alone catches:")
            for test in sorted(alone):
                print(f"        {test}: {' '.join(alone[test])}")
        print(f"..    table: {table}; {time.time() - started:.0f} s in all")
        print(f"score: {caught} of {len(counted)} faults caught")
        return 0
    except Stop as stop:
        print(f"faults: {stop}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("faults: interrupted (the scratch tree is put back at the next run)", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
