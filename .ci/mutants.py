#!/usr/bin/env python3
"""Mutation testing of src/. Mutants are made by operator class over the
lines the compiler sees for this interpreter (arithmetic, shift, bitwise,
comparison, logical and compound-assignment operators, integer constants,
one entry of each constant table, deleted statements, deleted wipes); each
is built into
the module and the test suite runs against it, stopping at its first
failure. A mutant whose recompiled objects are byte for byte the unmutated
ones is equivalent without a run. Those the suite leaves alive and the list
below does not explain run again against an ASan+UBSan build (the listed
ones too with --sanitize-listed). A mutant still alive must be listed in
.ci/equivalent-mutants.txt with the reason it cannot change behaviour; any other fails the run.

Mutants are compiled exactly as the module users install is: setup.py's
build_ext is run once for this interpreter, as pip runs it, and the
commands it gives the compiler (the interpreter's own CC, CFLAGS and
CCSHARED, then setup.py's CXXFLAGS and whatever its BuildExt adds) are
recorded and replayed for each mutant's unit and the link.

    python .ci/mutants.py [--jobs N] [--every K [--offset I]] [--base COMMIT] [--list] [--only TEXT]
                          [--kind CLASS]

--every K keeps every K-th mutant of each class in each file (default 1),
starting from the I-th (--offset, default 0), but every wipe and every
table: K runs with offsets 0 to K-1 make the whole set between them.
--base COMMIT keeps only the mutants of lines that differ from COMMIT (the
working tree against it): the quick check of a change before it is
committed. Rows of .ci/equivalent-mutants.txt that no mutant of the whole
set matches any more fail the run, whatever part of the set it ran: such a
row claims something nothing checks.
"""
import argparse
import collections
import concurrent.futures
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNITS = ["src/md4.cpp", "src/smbdes.cpp", "src/hashwick.cpp"]
HEADERS = ["src/primitives.hpp"]
EQUIVALENTS = os.path.join(ROOT, ".ci", "equivalent-mutants.txt")
# The tree mutants are made from: a copy of ROOT taken when the run starts
# (main sets it), so that edits made to ROOT meanwhile do not mix into it.
TREE = ROOT
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-fno-omit-frame-pointer", "-g"]
TIMEOUT = 300
# The suite's files in the order a mutant meets them: known answers first,
# which kill most mutants in seconds; the slow checks (memcheck, a million
# calls, type checkers) last. Files not named here run after these.
FIRST_TESTS = ["test_hash.py", "test_lmhash.py", "test_nthash.py", "test_des.py", "test_md4.py", "test_module.py",
               "test_bad_input.py", "test_native.py", "test_residue.py"]

Mutant = collections.namedtuple("Mutant", "path line klass before after")

# Binary operators as the house style writes them, spaced on both sides.
SWAPS = {
    "arithmetic": [(" + ", " - "), (" - ", " + "), (" * ", " + ")],
    "shift": [(" << ", " >> "), (" >> ", " << ")],
    "bitwise": [(" & ", " | "), (" | ", " & "), (" ^ ", " | ")],
    "comparison": [(" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "), (" == ", " != "),
                   (" != ", " == ")],
    "logical": [(" && ", " || "), (" || ", " && ")],
    "compound": [(" += ", " -= "), (" -= ", " += "), (" |= ", " ^= "), (" ^= ", " |= "), (" &= ", " |= ")],
}
CONSTANT = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)(?![\w.])")
STATEMENT = re.compile(r"^\s{4,}(?:[A-Za-z_][\w:.>-]*(?:\(.*\))?\s*(?:[-+|^&]?=\s.*)?|return\s.*"
                       r"|[A-Za-z_][\w:]*\(.*\));$")
TABLE = re.compile(r"^constexpr std::uint\d+_t (\w+)\[.*\] = \{")


def record_product_build(output):
    """Runs setup.py's build_ext as `pip install .` would for this
    interpreter (in the tree's folder, in a process of its own: setuptools
    patches distutils on import) and writes the compiler commands it ran to
    output, as JSON. The commands run for real, so that whatever setup.py
    asks the compiler first (which flags it takes) is answered as in a real
    build."""
    import warnings

    import setuptools

    captured = {}
    setuptools.setup = lambda **kwargs: captured.update(kwargs)
    path = os.path.join(os.getcwd(), "setup.py")
    with open(path) as f, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # setup.py's imports may warn about the host's old setuptools
        exec(compile(f.read(), path, "exec"), {"__file__": path, "__name__": "__main__"})
    commands = []

    class Recording(captured["cmdclass"]["build_ext"]):
        def build_extensions(self):
            spawn = self.compiler.spawn

            def recorded(command, **kwargs):
                commands.append(list(command))
                spawn(command, **kwargs)

            self.compiler.spawn = recorded
            super().build_extensions()

    built = tempfile.mkdtemp(prefix="hashwick-flags-")
    try:
        with open("pyproject.toml") as f:
            version = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
        dist = setuptools.Distribution({"name": "hashwick", "version": version, "ext_modules": captured["ext_modules"],
                                         "cmdclass": dict(captured["cmdclass"], build_ext=Recording)})
        command = dist.get_command_obj("build_ext")
        command.build_lib = built
        command.ensure_finalized()
        command.run()
    finally:
        shutil.rmtree(built, ignore_errors=True)
    with open(output, "w") as f:
        json.dump(commands, f)


def product_build():
    """The product's compile command for each unit and its link command,
    each a list whose "-o" target (and, in the link, whose objects) the
    Builder replaces with its own."""
    with tempfile.TemporaryDirectory(prefix="hashwick-flags-") as scratch:
        record = os.path.join(scratch, "commands.json")
        run = subprocess.run([sys.executable, os.path.abspath(__file__), "--record-product-build", record], cwd=TREE,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if run.returncode != 0:
            sys.exit("setup.py's build_ext failed:\n" + run.stdout.decode("utf-8", "replace"))
        with open(record) as f:
            commands = json.load(f)
    compiles, objects, link = {}, {}, None
    for command in commands:
        if "-c" in command:
            source = os.path.relpath(os.path.join(TREE, command[command.index("-c") + 1]), TREE)
            if source in UNITS:
                compiles[source] = command
                objects[command[command.index("-o") + 1]] = source
        elif "-shared" in command or "-bundle" in command:
            link = command
    if sorted(compiles) != sorted(UNITS) or not link:
        sys.exit("setup.py's build_ext did not compile %s and link them:\n%s" % (
            ", ".join(UNITS), "\n".join(" ".join(c) for c in commands)))
    return compiles, objects, link


def retarget(command, target, root=None):
    """command with its "-o" target replaced, and the tree's path (in
    absolute include folders, file-prefix maps) replaced by root."""
    command = [arg.replace(TREE, root or TREE) for arg in command]
    at = command.index("-o")
    return command[:at + 1] + [target] + command[at + 2:]


def live_lines(unit, path, command):
    """The lines of path that the preprocessor keeps when it builds unit
    with the product's command."""
    at = command.index("-o")
    command = [arg if arg != "-c" else "-E" for arg in command[:at] + command[at + 2:]]
    out = subprocess.check_output(command, cwd=TREE, stderr=subprocess.DEVNULL).decode("utf-8", "replace")
    live, current, line = set(), None, 0
    for text in out.splitlines():
        marker = re.match(r'^# (\d+) "([^"]+)"', text)
        if marker:
            line, current = int(marker.group(1)), os.path.normpath(os.path.join(TREE, marker.group(2)))
            continue
        if current == os.path.join(TREE, path) and text.strip():
            live.add(line)
        line += 1
    return live


def code_only(text):
    """The line with comments and string and character literals blanked."""
    text = re.sub(r'"(\\.|[^"\\])*"', lambda m: '"' + " " * (len(m.group()) - 2) + '"', text)
    text = re.sub(r"'(\\.|[^'\\])'", lambda m: "'" + " " * (len(m.group()) - 2) + "'", text)
    return text.split("//", 1)[0]


def mutants_of(path, live):
    with open(os.path.join(TREE, path)) as f:
        lines = f.read().split("\n")
    found, table, in_comment = [], None, False
    for number, text in enumerate(lines, 1):
        stripped = text.strip()
        if in_comment or stripped.startswith("/*"):
            in_comment = "*/" not in stripped
            continue
        if number not in live or stripped.startswith("#") or stripped.startswith("static_assert"):
            continue
        code = code_only(text)
        start = TABLE.match(text)
        if start or table:
            # A constant table: one mutant, its first entry. Its rows are the
            # standard's; mutating them all would only repeat this one.
            m = CONSTANT.search(code[code.index("{"):] if start else code) if table != "done" else None
            if m:
                at = (code.index("{") if start else 0) + m.start()
                found.append(Mutant(path, number, "table", text, text[:at] + str(int(m.group(), 0) + 1)
                                    + text[at + len(m.group()):]))
                table = "done"
            else:
                table = table or "open"
            if "};" in code:
                table = None
            continue
        for klass, swaps in SWAPS.items():
            for old, new in swaps:
                for m in re.finditer(re.escape(old), code):
                    found.append(Mutant(path, number, klass, text, text[:m.start()] + new + text[m.end():]))
        for m in CONSTANT.finditer(code):
            if code[:m.start()].rstrip().endswith(("[", "<")) and code[m.end():].lstrip().startswith(("]", ">")):
                continue  # array sizes and template arguments: refused by the compiler, or a different program
            value = int(m.group(), 0)
            found.append(Mutant(path, number, "constant", text, text[:m.start()] + str(value + 1 if value else 1)
                                + text[m.end():]))
        if STATEMENT.match(code) and not re.match(r"^\s*(const|constexpr|std::|unsigned|int|auto|bool|char|"
                                                  r"PyObject|Py_ssize_t|Utf16Stream|__m256i)\b", code):
            # Wipes are a class of their own, always made whole.
            klass = "wipe" if re.search(r"\b(wipe|scrub\w*)\(", code) else "deletion"
            found.append(Mutant(path, number, klass, text, re.match(r"^\s*", text).group() + ";"))
    return found


def changed_lines(base):
    """{path: set of line numbers} of src/ as it stands that differ from the
    commit base: added or changed lines, as git diff numbers them."""
    out = subprocess.check_output(["git", "-C", ROOT, "diff", "--no-color", "-U0", base, "--"] + UNITS + HEADERS)
    changed, path = collections.defaultdict(set), None
    for text in out.decode("utf-8", "replace").splitlines():
        if text.startswith("+++ "):
            path = text[6:] if text.startswith("+++ b/") else None
        hunk = re.match(r"^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@", text)
        if hunk and path:
            start, count = int(hunk.group(1)), int(hunk.group(2) or "1")
            changed[path].update(range(start, start + count))
    return changed


def read_equivalents():
    known = {}
    if os.path.exists(EQUIVALENTS):
        with open(EQUIVALENTS) as f:
            for row in f:
                if row.strip() and not row.startswith("#"):
                    # A " | " inside a line of code is written " \| ".
                    path, before, after, reason = [part.strip().replace("\\|", "|") for part in row.split(" | ")]
                    known[(path, before, after)] = reason
    return known


def key(mutant):
    return (mutant.path, mutant.before.strip(), mutant.after.strip())


class Builder:
    """A copy of src/ and tests/ with the units compiled once; a mutant
    recompiles its own unit and relinks, with the product's commands and
    `flags` after them."""

    def __init__(self, product, flags):
        self.dir = os.path.join(tempfile.mkdtemp(prefix="hashwick-mutant-"), "tree")
        shutil.copytree(TREE, self.dir)
        self.compiles, self.product_objects, self.link_command = product
        self.flags = flags
        self.out = os.path.join(self.dir, "build")
        # The unmutated units' objects stay in out; a mutant's go to their
        # own folder, so that no mutant is linked into the next one.
        self.mutated = os.path.join(self.out, "mutant")
        os.makedirs(self.mutated)
        self.objects = {unit: self.compile(unit, self.out) for unit in UNITS}
        self.link(self.objects)

    def compile(self, unit, folder):
        # Warnings (the product's -Wall -Wextra find plenty in mutants) are
        # not shown: stderr is dropped, so no -w is needed, and the code
        # compiled is exactly the product's.
        target = os.path.join(folder, os.path.basename(unit) + ".o")
        subprocess.check_call(retarget(self.compiles[unit], target, self.dir) + self.flags, cwd=self.dir,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return target

    def link(self, objects):
        module = os.path.join(self.out, "hashwick" + sysconfig.get_config_var("EXT_SUFFIX"))
        command = [objects[self.product_objects[arg]] if arg in self.product_objects else arg
                   for arg in retarget(self.link_command, module, self.dir)]
        subprocess.check_call(command + self.flags, cwd=self.dir)

    def build(self, mutant):
        """Writes the mutant in and builds: "refused" if the compiler refuses
        it, "same" if every object it recompiles is the unmutated one to
        the byte (the same machine code cannot behave otherwise), else
        "built"."""
        path = os.path.join(self.dir, mutant.path)
        with open(os.path.join(TREE, mutant.path)) as f:
            lines = f.read().split("\n")
        assert lines[mutant.line - 1] == mutant.before, mutant
        lines[mutant.line - 1] = mutant.after
        with open(path, "w") as f:
            f.write("\n".join(lines))
        units = UNITS if mutant.path in HEADERS else [mutant.path]
        try:
            objects = dict(self.objects)
            for unit in units:
                objects[unit] = self.compile(unit, self.mutated)
            if all(filecmp.cmp(objects[unit], self.objects[unit], shallow=False) for unit in units):
                return "same"
            self.link(objects)
            return "built"
        except subprocess.CalledProcessError:
            return "refused"

    def restore(self, mutant):
        shutil.copy(os.path.join(TREE, mutant.path), os.path.join(self.dir, mutant.path))

    def test(self, env_extra=None, first_failure=True):
        env = dict(os.environ, PYTHONPATH=self.out, PYTHONDONTWRITEBYTECODE="1", **(env_extra or {}))
        env.pop("HASHWICK_SLOW", None)
        files = sorted(f for f in os.listdir(os.path.join(self.dir, "tests")) if re.match(r"test_.*\.py$", f))
        files.sort(key=lambda f: FIRST_TESTS.index(f) if f in FIRST_TESTS else len(FIRST_TESTS))
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--capture=sys"]
        command += [os.path.join("tests", f) for f in files]
        try:
            run = subprocess.run(command + (["-x"] if first_failure else []), cwd=self.dir, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            return "killed (time-out)"
        if run.returncode == 0:
            return "survived"
        failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", run.stdout.decode("utf-8", "replace"), re.M)
        return "killed (%s)" % (failed[0] if failed else "exit %d" % run.returncode)


def outcome_of(builder, mutant, env=None):
    # The sources stay mutated while the suite runs: its native programs
    # are built from them too.
    built = builder.build(mutant)
    try:
        if built == "refused":
            return "refused by the compiler"
        if built == "same":
            return "equivalent (same object code)"
        return builder.test(env)
    finally:
        builder.restore(mutant)


def run_all(mutants, builder, progress=None):
    results = []
    for mutant in mutants:
        results.append((mutant, outcome_of(builder, mutant)))
        if progress:
            progress(*results[-1])
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--offset", type=int, default=0, help="with --every K: start from the I-th mutant of each "
                                                              "class (0 to K-1)")
    parser.add_argument("--base", metavar="COMMIT", help="just the mutants of the lines changed since COMMIT")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    parser.add_argument("--verbose", action="store_true", help="say what became of each mutant")
    parser.add_argument("--only", action="append", help="just the mutants at FILE:LINE, or whose line, before or "
                                                         "after the mutation, contains this text (repeatable)")
    parser.add_argument("--kind", help="just the mutants of this class")
    parser.add_argument("--sanitize-listed", action="store_true",
                        help="run the listed equivalents' survivors under ASan+UBSan too")
    parser.add_argument("--record-product-build", metavar="FILE", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.record_product_build:
        return record_product_build(args.record_product_build)
    if not 0 <= args.offset < args.every:
        parser.error("--offset must be from 0 to %d" % (args.every - 1))
    started = time.time()
    global TREE
    TREE = os.path.join(tempfile.mkdtemp(prefix="hashwick-mutants-"), "tree")
    shutil.copytree(ROOT, TREE, ignore=shutil.ignore_patterns(".git", "build", "dist", "*.so", "__pycache__",
                                                              "*.egg-info"))
    try:
        return run_mutants(args, started)
    finally:
        shutil.rmtree(os.path.dirname(TREE), ignore_errors=True)


def run_mutants(args, started):
    product = product_build()
    mutants, whole = [], []
    changed = changed_lines(args.base) if args.base else None
    for path in UNITS + HEADERS:
        unit = path if path in UNITS else "src/hashwick.cpp"
        by_class = collections.defaultdict(list)
        for mutant in mutants_of(path, live_lines(unit, path, product[0][unit])):
            whole.append(mutant)
            if changed is None or mutant.line in changed[path]:
                by_class[mutant.klass].append(mutant)
        for klass in sorted(by_class):
            every = 1 if klass in ("wipe", "table") else args.every
            mutants += by_class[klass][args.offset % every::every]
    # Judged against the whole set, so that any sample gives the same answer.
    made = set(key(m) for m in whole)
    stale = sorted(k for k in read_equivalents() if k not in made)
    if args.only:
        mutants = [m for m in mutants if any(only == "%s:%d" % (m.path, m.line) or only in m.before or only in m.after
                                             for only in args.only)]
    if args.kind:
        mutants = [m for m in mutants if m.klass == args.kind]
    if args.list:
        for m in mutants:
            print("%s:%d %s: %s" % (m.path, m.line, m.klass, m.after.strip()))
        print(len(mutants), "mutants")
        return report_stale(stale)
    sample = "every %d%s mutant of each class from the %s" % (args.every, ordinal(args.every), ordinal_of(args.offset))
    print("%d mutants (%s, all wipes and tables%s) of the %d from %s, each unit built as setup.py builds it:\n"
          "    %s" % (len(mutants), sample if args.every > 1 else "the whole set",
                      ", on lines changed since " + args.base if args.base else "", len(whole),
                      ", ".join(UNITS + HEADERS), " ".join(product[0][UNITS[-1]])), flush=True)
    if not mutants:
        return report_stale(stale)
    builders = [Builder(product, []) for _ in range(args.jobs)]
    # The unmutated build must pass, or every mutant would look killed.
    if builders[0].test(first_failure=False) != "survived":
        print("the suite fails on the unmutated sources in", builders[0].dir)
        return 2
    shards = [mutants[i::args.jobs] for i in range(args.jobs)]
    done = []

    def progress(mutant, outcome):
        done.append(mutant)
        if args.verbose:
            print("[%d/%d %.0f s] %s:%d %s: %s -> %s" % (len(done), len(mutants), time.time() - started, mutant.path,
                                                        mutant.line, mutant.klass, mutant.after.strip(), outcome),
                  flush=True)

    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        results = [r for shard in pool.map(run_all, shards, builders, [progress] * args.jobs) for r in shard]
    # What the suite leaves alive and the list does not explain, against the
    # sanitizer build as well (a full run of the suite each: the listed ones
    # only with --sanitize-listed).
    known = read_equivalents()
    alive = [m for m, outcome in results if outcome == "survived" and (args.sanitize_listed or key(m) not in known)]
    if alive:
        asan = subprocess.check_output(["gcc", "-print-file-name=libasan.so"]).decode().strip()
        env = {"LD_PRELOAD": asan, "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1",
               "UBSAN_OPTIONS": "halt_on_error=1"}
        sanitized = [Builder(product, SANITIZE) for _ in range(min(args.jobs, len(alive)))]

        def sanitize_all(mutants, builder):
            verdicts = {}
            for mutant in mutants:
                verdicts[mutant] = outcome_of(builder, mutant, env)
            return verdicts

        verdicts = {}
        with concurrent.futures.ThreadPoolExecutor(len(sanitized)) as pool:
            shards = [alive[i::len(sanitized)] for i in range(len(sanitized))]
            for part in pool.map(sanitize_all, shards, sanitized):
                verdicts.update(part)
        results = [(m, verdicts.get(m, o)) for m, o in results]
        for b in sanitized:
            shutil.rmtree(os.path.dirname(b.dir), ignore_errors=True)
    for b in builders:
        shutil.rmtree(os.path.dirname(b.dir), ignore_errors=True)

    counts = collections.Counter()
    unexplained = []
    for mutant, outcome in results:
        if outcome == "survived":
            outcome = "equivalent" if key(mutant) in known else "survived"
            if outcome == "survived":
                unexplained.append(mutant)
        counts[outcome.split(" (")[0]] += 1
    killed = counts["killed"]
    live_total = len(results) - counts["refused by the compiler"] - counts["equivalent"]
    print("\n%d mutants in %.0f s: %s" % (len(results), time.time() - started,
                                         ", ".join("%d %s" % (n, k) for k, n in sorted(counts.items()))))
    print("score: %d of %d that can change behaviour killed (%.1f%%)" % (
        killed, live_total, 100.0 * killed / max(1, live_total)))
    for m in unexplained:
        print("SURVIVED %s:%d %s\n    - %s\n    + %s" % (m.path, m.line, m.klass, m.before.strip(), m.after.strip()))
    return max(1 if unexplained else 0, report_stale(stale))


def report_stale(stale):
    for path, before, after in stale:
        print("STALE row of %s, no mutant matches it any more:\n    %s | %s | %s" % (
            os.path.relpath(EQUIVALENTS, ROOT), path, before, after))
    return 1 if stale else 0


def ordinal(n):
    return "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")


def ordinal_of(index):
    """The 0-based index as a count: 0 -> "first", 4 -> "5th"."""
    return "first" if index == 0 else "%d%s" % (index + 1, ordinal(index + 1))


if __name__ == "__main__":
    sys.exit(main())
