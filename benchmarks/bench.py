"""hashwick against its peers and the floor, at the Python and native levels.

    pip install ".[bench]" && python benchmarks/bench.py [--quick]

Python level: every candidate runs in one process, interleaved in random
order round after round; the figure is the median per call. Each peer's
output is checked against hashwick's before it is timed. libpass installs
itself as `passlib`, so it runs in a second process of this script beside
its own hashwick and floor, and its ratios come from that process.
Native level: benchmarks/native.cpp, built from the project's sources.
"Before": where git can give it, the module and the DES unit as they were
at BEFORE (the last table-driven, variable-time DES) are built beside the
current ones and timed in the same runs.
Threads (--threads PYTHON...; default the pair benchmarks/cpythons builds,
CPython 3.13 with and without the GIL from one source): in each
interpreter, calls per second of each function and of the floor with one
thread and with two, each thread with argument objects of its own, in
interleaved rounds; the figure is the ratio of the medians, two threads to
one, beside the single-thread cost as a ratio to that interpreter's floor.
The command: `hashwick --format nt` over a million lines against a bare
Python loop that writes nthash of each, in turn (--command: that section
alone, measured anew and written into the report and the page).
Writes benchmarks/results.md, benchmarks/results.png and (with threads)
benchmarks/threads.png, and puts the tables into the documentation's
performance page (docs/performance.md) between its benchmark markers.
"""
import argparse
import json
import os
import platform
import random
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "bench")
CXXFLAGS = ["-std=c++17", "-O3", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra"]
PASSWORDS = {8: "Tr0ub4dor", 14: "correcthorseba", 40: "correct horse battery staple and more 40"}
PASSWORDS = {n: (p * 2)[:n] for n, p in PASSWORDS.items()}
# HASHWICK_BENCH_BEFORE=<commit> measures another revision beside this one
# instead, for a before-and-after in one run.
TABLE_DRIVEN = "12761d8"
BEFORE = os.environ.get("HASHWICK_BENCH_BEFORE", TABLE_DRIVEN)
BEFORE_NOTE = " (variable-time DES)" if BEFORE == TABLE_DRIVEN else ""
# What --threads measures, the floor first.
SCALED = ("floor", "lmhash", "nthash", "hash")


def before_source(path):
    """The file at BEFORE, or None where there is no git history."""
    try:
        return subprocess.check_output(["git", "-C", ROOT, "show", "%s:%s" % (BEFORE, path)],
                                       stderr=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError):
        return None


def build_before_module():
    """The module at BEFORE, loaded under its own name beside the current one."""
    import importlib.util
    import tarfile

    target = os.path.join(BUILD, "before")
    source = os.path.join(BUILD, "before-src")
    try:
        archive = subprocess.check_output(["git", "-C", ROOT, "archive", BEFORE], stderr=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError):
        return None
    import io
    import shutil

    shutil.rmtree(source, ignore_errors=True)
    shutil.rmtree(target, ignore_errors=True)
    tarfile.open(fileobj=io.BytesIO(archive)).extractall(source)
    subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", target, source])
    path = next(os.path.join(target, f) for f in os.listdir(target) if f.startswith("hashwick") and f.endswith(".so"))
    spec = importlib.util.spec_from_file_location("hashwick", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def build_floor():
    os.makedirs(BUILD, exist_ok=True)
    target = os.path.join(BUILD, "hashwick_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.check_call(["gcc", "-shared", "-fPIC", "-O2", "-I" + sysconfig.get_paths()["include"],
                           os.path.join(HERE, "floor.c"), "-o", target])
    sys.path.insert(0, BUILD)
    import hashwick_floor

    return hashwick_floor.floor


def peers():
    """name -> (lmhash, nthash), each returning hashwick's text form."""
    found = {}
    try:
        from passlib.hash import lmhash, nthash

        found["passlib"] = (lambda p: lmhash.hash(p).upper(), lambda p: nthash.hash(p).upper())
    except ImportError:
        pass
    try:
        from impacket.ntlm import compute_lmhash, compute_nthash

        found["impacket"] = (lambda p: compute_lmhash(p).hex().upper(), lambda p: compute_nthash(p).hex().upper())
    except ImportError:
        pass
    try:
        from Crypto.Cipher import DES
        from Crypto.Hash import MD4

        def spread(k):
            bits = int.from_bytes(k, "big")
            return bytes(((bits >> (49 - 7 * i)) & 0x7F) << 1 for i in range(8))

        def lm(p):
            raw = p.encode("utf-8") if isinstance(p, str) else p
            key = raw[:14].upper().ljust(14, b"\0")
            halves = (DES.new(spread(key[i:i + 7]), DES.MODE_ECB).encrypt(b"KGS!@#$%") for i in (0, 7))
            return b"".join(halves).hex().upper()

        def nt(p):
            text = p if isinstance(p, str) else p.decode("utf-8")
            return MD4.new(text.encode("utf-16-le")).hexdigest().upper()

        found["pycryptodome"] = (lm, nt)
    except ImportError:
        pass
    return found


def timer(func, arg, calls):
    # Ten calls a loop step keep the loop's own cost small beside the calls.
    loop = range(calls // 10)
    start = time.perf_counter()
    for _ in loop:
        func(arg); func(arg); func(arg); func(arg); func(arg)  # noqa: E702
        func(arg); func(arg); func(arg); func(arg); func(arg)  # noqa: E702
    return (time.perf_counter() - start) / (calls // 10 * 10) * 1e9


def python_level(rounds, calls):
    import hashwick

    floor = build_floor()
    before = build_before_module() if not os.environ.get("HASHWICK_BENCH_CHILD") else None
    candidates = {}
    for size, text in PASSWORDS.items():
        for kind, arg in (("str", text), ("bytes", text.encode())):
            key = "%d %s" % (size, kind)
            candidates[("floor", "floor", key)] = (floor, arg)
            for name in ("lmhash", "nthash", "hash"):
                candidates[("hashwick", name, key)] = (getattr(hashwick, name), arg)
                if before is not None:
                    assert getattr(before, name)(arg) == getattr(hashwick, name)(arg)
                    candidates[("before", name, key)] = (getattr(before, name), arg)
            for peer, (lm, nt) in peers().items():
                for name, func, ours in (("lmhash", lm, hashwick.lmhash), ("nthash", nt, hashwick.nthash)):
                    try:
                        agrees = func(arg) == ours(arg)
                    except Exception:
                        agrees = False
                    if agrees:
                        candidates[(peer, name, key)] = (func, arg)
                    else:
                        print("skipped, disagrees with hashwick:", peer, name, key, file=sys.stderr)
    samples = {c: [] for c in candidates}
    order = list(candidates)
    for _ in range(rounds):
        random.shuffle(order)
        for c in order:
            func, arg = candidates[c]
            slow = c[0] not in ("hashwick", "floor")
            samples[c].append(timer(func, arg, max(10, calls // 50) if slow else calls))
    return {"|".join(c): sorted(s)[len(s) // 2] for c, s in samples.items()}


def scaling_level(rounds, calls):
    """In this interpreter: {function|threads: calls per second}, the median
    of rounds, each thread calling with a str object of its own."""
    import threading

    import hashwick

    floor = build_floor()
    # A module that turned the GIL on would make this a measure of the GIL.
    assert not sysconfig.get_config_var("Py_GIL_DISABLED") or not sys._is_gil_enabled()
    functions = dict((name, floor if name == "floor" else getattr(hashwick, name)) for name in SCALED)
    text = PASSWORDS[8]

    def rate(func, threads):
        gate = threading.Barrier(threads + 1)
        ends = []

        def work(arg):
            gate.wait()
            timer(func, arg, calls)
            ends.append(time.perf_counter())

        pool = [threading.Thread(target=work, args=("".join(list(text)),)) for _ in range(threads)]
        for t in pool:
            t.start()
        gate.wait()
        start = time.perf_counter()
        for t in pool:
            t.join()
        return threads * (calls // 10 * 10) / (max(ends) - start)

    samples = {(name, n): [] for name in functions for n in (1, 2)}
    order = list(samples)
    for _ in range(rounds):
        random.shuffle(order)
        for name, n in order:
            samples[(name, n)].append(rate(functions[name], n))
    return {"%s|%d" % c: sorted(s)[len(s) // 2] for c, s in samples.items()}


def threads_level(interpreters, rounds, calls):
    """{interpreter label: scaling_level there}, each in a fresh environment
    holding the module built from this tree."""
    found = {}
    for py in interpreters:
        version = subprocess.check_output([py, "-c", "import platform, sysconfig; print(platform.python_version() + "
                                           "('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))"])
        label = "CPython " + version.decode().strip()
        venv = os.path.join(BUILD, "threads-" + label.split()[1])
        if not os.path.exists(os.path.join(venv, "bin", "python")):
            subprocess.check_call([py, "-m", "venv", venv])
        python = os.path.join(venv, "bin", "python")
        subprocess.check_call([python, "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall", ROOT])
        out = subprocess.check_output([python, __file__, "--scaling-child", str(rounds), str(calls)], cwd=BUILD)
        found[label] = json.loads(out.decode())
    return found


def native_level(rounds):
    binary = os.path.join(BUILD, "native")
    os.makedirs(BUILD, exist_ok=True)
    src = "-I" + os.path.join(ROOT, "src")
    sources = [os.path.join(HERE, "native.cpp"), os.path.join(ROOT, "src", "md4.cpp")]
    old = before_source("src/smbdes.cpp")
    if old is not None:
        # Compiled against the current header: E_P16's declaration is unchanged.
        path = os.path.join(BUILD, "smbdes_before.cpp")
        with open(path, "wb") as f:
            f.write(old)
        subprocess.check_call(["g++"] + CXXFLAGS + [src, "-DE_P16=E_P16_before", "-c", path, "-o", path + ".o"])
        sources += ["-DHASHWICK_BEFORE=1", path + ".o"]
    subprocess.check_call(["g++"] + CXXFLAGS + ["-Wno-deprecated-declarations", src] + sources
                          + ["-lcrypto", "-o", binary])
    return json.loads(subprocess.check_output([binary, str(rounds)]).decode())


def libpass_level(rounds, calls):
    """Runs this script again with libpass in place of passlib."""
    target = os.path.join(BUILD, "libpass")
    if not os.path.isdir(os.path.join(target, "passlib")):
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", "--target", target, "libpass"])
    env = dict(os.environ, PYTHONPATH=target + os.pathsep + os.environ.get("PYTHONPATH", ""), HASHWICK_BENCH_CHILD="1")
    out = subprocess.check_output([sys.executable, __file__, "--child", str(rounds), str(calls)], env=env)
    return json.loads(out.decode())


# The loop the command is measured against: what a user would write instead.
BARE_LOOP = """import sys
from hashwick import nthash
out = sys.stdout
for line in sys.stdin.buffer:
    out.write(nthash(line.rstrip(b"\\n").decode()) + "\\n")
"""


LAUNCHER = """import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
sys.stderr.write(str(usage.ru_maxrss))
sys.exit(status >> 8)
"""


def command_level(rounds, count):
    """The hashwick command (--format nt) over count lines against BARE_LOOP
    on the same lines, run in turn: {name: median seconds}, the outputs
    checked equal, and each one's peak memory at count and at count / 10."""
    import sysconfig

    os.makedirs(BUILD, exist_ok=True)
    rng = random.Random(count)
    alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    paths = {}
    for n in (count // 10, count):
        paths[n] = os.path.join(BUILD, "lines-%d.txt" % n)
        with open(paths[n], "w") as f:
            for _ in range(n):
                f.write("".join(rng.choice(alphabet) for _ in range(rng.randint(6, 14))) + "\n")
    script = os.path.join(sysconfig.get_path("scripts"), "hashwick")
    commands = {"hashwick --format nt": [script, "--format", "nt"], "bare loop": [sys.executable, "-c", BARE_LOOP]}

    def run(argv, path):
        """(seconds, peak resident KiB, output) of one run. Linux counts a
        child's memory before its exec in its peak, so a lean interpreter
        starts it and reports the peak."""
        with open(path, "rb") as stdin:
            start = time.perf_counter()
            proc = subprocess.run([sys.executable, "-S", "-c", LAUNCHER] + argv, stdin=stdin,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            seconds = time.perf_counter() - start
        assert proc.returncode == 0, argv
        return seconds, int(proc.stderr), proc.stdout

    outputs = {name: run(argv, paths[count])[2] for name, argv in commands.items()}
    assert len(set(outputs.values())) == 1 and outputs["bare loop"].count(b"\n") == count
    samples = {name: [] for name in commands}
    order = list(commands)
    for _ in range(rounds):
        random.shuffle(order)
        for name in order:
            samples[name].append(run(commands[name], paths[count])[0])
    result = {name: sorted(s)[len(s) // 2] for name, s in samples.items()}
    for n in (count // 10, count):
        result["memory %d" % n] = run(commands["hashwick --format nt"], paths[n])[1]
    result["count"] = count
    return result


def command_report(cmd):
    count, small = cmd["count"], cmd["count"] // 10
    return "\n".join([
        "## The command over %s lines" % format(count, ","), "",
        "Each a new process reading the same file of 6 to 14-character passwords, run in turn; "
        "median seconds of each, and the command's peak resident memory.", "",
        "| run | seconds | over the bare loop |", "|---|---|---|",
        "| `hashwick --format nt` | %.2f | %.2f |" % (cmd["hashwick --format nt"],
                                                     cmd["hashwick --format nt"] / cmd["bare loop"]),
        "| a bare Python loop writing `nthash` of each line | %.2f | 1.00 |" % cmd["bare loop"], "",
        "Peak memory of the command: %.1f MiB over %s lines, %.1f MiB over %s." % (
            cmd["memory %d" % small] / 1024, format(small, ","), cmd["memory %d" % count] / 1024,
            format(count, ",")), ""])


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    gxx = subprocess.check_output(["g++", "--version"]).decode().splitlines()[0]
    return "%s, %d cores; Python %s; %s; flags %s" % (cpu, os.cpu_count(), platform.python_version(), gxx,
                                                     " ".join(CXXFLAGS))


def report(py, lib, native, threads=None, cmd=None):
    peers_ = sorted(set(k.split("|")[0] for k in py) - {"hashwick", "floor", "before"})
    keys = ["%d %s" % (n, kind) for n in PASSWORDS for kind in ("str", "bytes")]
    get = lambda who, name, key, src=py: src.get("|".join((who, name, key)))
    fmt = lambda v: "%.0f" % v if v is not None and v >= 100 else ("%.1f" % v if v is not None else "n/a")
    lines = ["# hashwick benchmark", "", "Machine: " + machine(), "",
             "## Python level: median ns per call", "",
             "| candidate | function | " + " | ".join(keys) + " |", "|---|---|" + "---|" * len(keys)]
    rows = [("floor", "floor")] + [("hashwick", n) for n in ("lmhash", "nthash", "hash")]
    if get("before", "lmhash", keys[0]):
        rows += [("before", n) for n in ("lmhash", "nthash", "hash")]
    rows += [(p, n) for p in peers_ for n in ("lmhash", "nthash")]
    label = {"before": "hashwick at %s%s" % (BEFORE, BEFORE_NOTE)}
    for who, name in rows:
        lines.append("| %s | %s | %s |" % (label.get(who, who), name,
                                          " | ".join(fmt(get(who, name, k)) for k in keys)))
    for name in ("lmhash", "nthash"):
        if lib.get("passlib|%s|8 str" % name):
            lines.append("| libpass | %s | %s |" % (name, " | ".join(fmt(lib.get("passlib|%s|%s" % (name, k)))
                                                                   for k in keys)))
    key = "8 str"
    floor = get("floor", "floor", key)
    lm, nt, both = (get("hashwick", n, key) for n in ("lmhash", "nthash", "hash"))
    lines += ["", "## Ratios, 8-character str password", "",
              "| measure | ratio |", "|---|---|",
              "| lmhash / floor | %.2f |" % (lm / floor),
              "| nthash / floor | %.2f |" % (nt / floor),
              "| hash / (lmhash + nthash) | %.2f |" % (both / (lm + nt)),
              "| nthash 40 chars / 8 chars | %.2f |" % (get("hashwick", "nthash", "40 str") / nt),
              "| lmhash 40 chars / 14 chars | %.2f |" % (get("hashwick", "lmhash", "40 str")
                                                         / get("hashwick", "lmhash", "14 str"))]
    for name in ("lmhash", "nthash", "hash"):
        if get("before", name, key):
            lines.append("| %s now / at %s | %.2f |" % (name, BEFORE, get("hashwick", name, key)
                                                        / get("before", name, key)))
    for p in peers_:
        for name, ours in (("lmhash", lm), ("nthash", nt)):
            if get(p, name, key):
                lines.append("| %s %s / hashwick | %.1f |" % (p, name, get(p, name, key) / ours))
    for name in ("lmhash", "nthash"):
        if lib.get("passlib|%s|8 str" % name):
            lines.append("| libpass %s / hashwick | %.1f |" % (
                name, lib["passlib|%s|8 str" % name] / lib["hashwick|%s|8 str" % name]))
    lines += ["", "## Native level: median ns per call", "",
              "| operation | hashwick | OpenSSL | hashwick / OpenSSL |", "|---|---|---|---|"]
    rows = [("E_P16 (two DES keys and blocks), as dispatched", "E_P16", "openssl_des"),
            ("E_P16, portable form", "E_P16_portable", "openssl_des"),
            ("E_P16, AVX2 form", "E_P16_avx2", "openssl_des"),
            ("E_P16 at %s%s" % (BEFORE, " (table-driven, variable-time)" if BEFORE_NOTE else ""), "E_P16_before",
             "openssl_des"),
            ("MD4 of 16 bytes", "mdfour_16", "openssl_md4_16"),
            ("MD4 of 1 MiB", "mdfour_1mib", "openssl_md4_1mib")]
    for label_, ours, theirs in rows:
        if ours in native:
            lines.append("| %s | %s | %s | %.2f |" % (label_, fmt(native[ours]), fmt(native[theirs]),
                                                      native[ours] / native[theirs]))
    forms = [f for f in ("portable", "avx2") if "part_rounds_" + f in native]
    if forms:
        lines += ["", "## Parts of E_P16: median ns per call", "",
                  "Each part timed alone, calls independent of each other. The AVX2 form's parts add up "
                  "to more than its whole: it makes each round's keys during the round before, in the "
                  "vector units the rounds leave idle. A scrub's stores overlap the work after it.", "",
                  "| part | " + " | ".join(f.replace("avx2", "AVX2") for f in forms) + " |",
                  "|---|" + "---|" * len(forms)]
        parts = [("key schedules, both keys", "part_schedule_"),
                 ("initial permutation (of the fixed plaintext: made at compile time)", None),
                 ("16 rounds, both blocks", "part_rounds_"), ("final permutations, both blocks", "part_final_"),
                 ("stack scrub after the form", "part_scrub_"), ("whole E_P16", "E_P16_")]
        for label_, prefix in parts:
            lines.append("| %s | %s |" % (label_, " | ".join(fmt(native[prefix + f]) if prefix else "0"
                                                             for f in forms)))
    mib = lambda ns: (1 << 20) / ns * 1e9 / (1 << 20)
    lines.append("")
    lines.append("MD4 throughput on 1 MiB: hashwick %.0f MiB/s, OpenSSL %.0f MiB/s." % (
        mib(native["mdfour_1mib"]), mib(native["openssl_md4_1mib"])))
    if threads:
        names = SCALED
        lines += ["", "## Threads: 8-character str password, a str object per thread", "",
                  "Calls per second with two threads over calls per second with one (2 cores); one "
                  "thread's time per call, the floor's in ns and the others' over that interpreter's floor.", "",
                  "| interpreter | " + " | ".join("%s 2/1" % n for n in names) + " | floor ns | "
                  + " | ".join("%s / floor" % n for n in names[1:]) + " |", "|---|" + "---|" * 8]
        for label_, rates in threads.items():
            scale = ["%.2f" % (rates[n + "|2"] / rates[n + "|1"]) for n in names]
            cost = ["%.2f" % (rates["floor|1"] / rates[n + "|1"]) for n in names[1:]]
            lines.append("| %s | %s | %.1f | %s |" % (label_, " | ".join(scale), 1e9 / rates["floor|1"],
                                                      " | ".join(cost)))
    if cmd:
        lines += ["", command_report(cmd).rstrip("\n")]
    return "\n".join(lines) + "\n"


PAGE = os.path.join(ROOT, "docs", "performance.md")
PAGE_START = "<!-- benchmark results: written by benchmarks/bench.py -->\n"
PAGE_END = "<!-- end of benchmark results -->\n"


def update_page(text):
    """Puts the report between the performance page's markers, under its "Results" heading."""
    with open(PAGE) as f:
        page = f.read()
    head, rest = page.split(PAGE_START, 1)
    tail = rest.split(PAGE_END, 1)[1]
    # The report without its title, one level down: the page has its own.
    body = text.split("\n", 2)[2].replace("## ", "### ")
    # The charts stay where bench.py writes them; the page is one folder down.
    body = body.replace("### Python level", "![Per-call time of each candidate, log scale](../benchmarks/results.png)"
                        "\n\n### Python level", 1)
    body = body.replace("### Threads", "![Scaling to two threads, with and without the GIL](../benchmarks/threads.png)"
                        "\n\n### Threads", 1)
    with open(PAGE, "w") as f:
        f.write(head + PAGE_START + body + PAGE_END + tail)


def chart(py, lib, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bars = [("floor", py["floor|floor|8 str"])]
    label = {"before": "hashwick\nat " + BEFORE}
    for who in ["hashwick", "before"] + sorted(set(k.split("|")[0] for k in py) - {"hashwick", "floor", "before"}):
        for name in ("lmhash", "nthash"):
            if "%s|%s|8 str" % (who, name) in py:
                bars.append(("%s\n%s" % (label.get(who, who), name), py["%s|%s|8 str" % (who, name)]))
    for name in ("lmhash", "nthash"):
        if "passlib|%s|8 str" % name in lib:
            bars.append(("libpass\n%s" % name, lib["passlib|%s|8 str" % name]))
    fig, ax = plt.subplots(figsize=(11, 4.5))
    colors = ["#888888"] + ["#1f77b4" if b[0].startswith("hashwick") else "#ff7f0e" for b in bars[1:]]
    ax.bar(range(len(bars)), [b[1] for b in bars], color=colors)
    ax.set_yscale("log")
    ax.set_xticks(range(len(bars)))
    ax.set_xticklabels([b[0] for b in bars], fontsize=8)
    ax.set_ylabel("ns per call (log scale)")
    ax.set_title("LM and NT hash of an 8-character str password, Python %s" % platform.python_version())
    for i, (_, v) in enumerate(bars):
        ax.text(i, v * 1.1, "%.0f" % v, ha="center", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def threads_chart(threads, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = SCALED
    fig, ax = plt.subplots(figsize=(8, 4))
    width = 0.8 / len(threads)
    for i, (label, rates) in enumerate(threads.items()):
        ratios = [rates[n + "|2"] / rates[n + "|1"] for n in names]
        ax.bar([x + i * width for x in range(len(names))], ratios, width, label=label)
        for x, r in enumerate(ratios):
            ax.text(x + i * width, r + 0.02, "%.2f" % r, ha="center", fontsize=8)
    ax.axhline(2, color="#888888", linestyle="--", linewidth=1)
    ax.set_xticks([x + width * (len(threads) - 1) / 2 for x in range(len(names))])
    ax.set_xticklabels(names)
    ax.set_ylabel("calls per second, 2 threads / 1")
    ax.set_title("Scaling to two threads, 8-character str password")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    parser.add_argument("--threads", nargs="*", metavar="PYTHON",
                        help="also measure scaling to two threads in each (default: benchmarks/cpythons' pair)")
    parser.add_argument("--command", action="store_true",
                        help="only the command against a bare loop: its section of the report, written anew")
    parser.add_argument("--child", nargs=2, type=int, help=argparse.SUPPRESS)
    parser.add_argument("--scaling-child", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        json.dump(python_level(*args.child), sys.stdout)
        return
    if args.scaling_child:
        json.dump(scaling_level(*args.scaling_child), sys.stdout)
        return
    if args.command:
        section = command_report(command_level(3 if args.quick else 11, 10**5 if args.quick else 10**6))
        print(section)
        if not args.quick:
            # Only this section of the report and the page is measured anew.
            with open(os.path.join(HERE, "results.md")) as f:
                text = f.read().split("\n## The command over", 1)[0].rstrip("\n") + "\n\n" + section
            with open(os.path.join(HERE, "results.md"), "w") as f:
                f.write(text)
            update_page(text)
        return
    rounds, calls = (5, 2000) if args.quick else (61, 20000)
    py = python_level(rounds, calls)
    lib = libpass_level(rounds, calls)
    native = native_level(7 if args.quick else 31)
    threads = None
    if args.threads is not None:
        pair = [os.path.join(ROOT, "build", "bench", "cpython-gil", "install", "bin", "python3.13"),
                os.path.join(ROOT, "build", "bench", "cpython-nogil", "install", "bin", "python3.13t")]
        threads = threads_level(args.threads or pair, 5 if args.quick else 21, calls * 5)
        threads_chart(threads, os.path.join(HERE, "threads.png"))
    cmd = command_level(3 if args.quick else 11, 10**5 if args.quick else 10**6)
    text = report(py, lib, native, threads, cmd)
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write(text)
    chart(py, lib, os.path.join(HERE, "results.png"))
    update_page(text)
    print(text)


if __name__ == "__main__":
    main()
