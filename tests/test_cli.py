# -*- coding: utf-8 -*-
"""The hashwick command: each format's text, records and line ends, errors
by line number, exit statuses, pipes, signals and the terminal prompt.
Hash values are MS-NLMP's for "Password" (vectors.json)."""
import ctypes
import ctypes.util
import io
import os
import re
import select
import signal
import subprocess
import sys
import sysconfig
import time

import pytest

import hashwick
from conftest import PY2, VECTORS

import hashwick_cli

NT = VECTORS["nthash"][0]["hash"]
LM = VECTORS["lmhash"][0]["hash"]
NO_LM = VECTORS["lmhash"][1]["hash"]
NT_EMPTY = VECTORS["nthash"][1]["hash"]
assert VECTORS["nthash"][0]["password"] == VECTORS["lmhash"][0]["password"] == "Password"

py3 = pytest.mark.skipif(PY2, reason="the command needs Python 3")


def run(args, data=b"", encoding="utf-8"):
    """(status, stdout, stderr) of the command run in this process."""
    out, err = io.BytesIO(), io.StringIO() if not PY2 else io.BytesIO()
    status = hashwick_cli.main(args, stdin=io.BytesIO(data), stdout=out, stderr=err)
    return status, out.getvalue().decode(encoding), err.getvalue()


def command(*args):
    return [sys.executable, "-m", "hashwick_cli"] + list(args)


@pytest.mark.skipif(not PY2, reason="Python 2.7 only")
def test_python2_refuses_clearly():
    status, out, err = run([], b"Password\n")
    assert status == 2 and out == "" and "needs Python 3" in err


FORMATS = [
    (["--format", "nt"], b"Password\n", NT + "\n"),
    ([], b"Password", NT + "\n"),
    (["-f", "lm"], b"Password\n", LM + "\n"),
    (["-f", "pair"], b"Password\n", "%s:%s\n" % (NO_LM, NT)),
    (["-f", "pair", "--lm"], b"Password\n", "%s:%s\n" % (LM, NT)),
    (["-f", "pwdump", "--rid", "500"], b"alice:Password\n", "alice:500:%s:%s:::\n" % (NO_LM, NT)),
    (["-f", "pwdump", "--rid", "500", "--lm"], b"alice:Password\n", "alice:500:%s:%s:::\n" % (LM, NT)),
    (["-f", "freeradius"], b"alice:Password\n", "alice\tNT-Password := 0x%s\n" % NT.lower()),
    (["-f", "freeradius", "--lm"], b"alice:Password\n",
     "alice\tNT-Password := 0x%s, LM-Password := 0x%s\n" % (NT.lower(), LM.lower())),
    (["-f", "freeradius"], b'al "ice\\:Password\n', '"al \\"ice\\\\"\tNT-Password := 0x%s\n' % NT.lower()),
    (["-f", "crypt"], b"Password\n", "$3$$%s\n" % NT.lower()),
    (["-f", "json"], b"Password\n", '{"line": 1, "nt": "%s"}\n' % NT),
    (["-f", "json", "--lm"], b"\nPassword\n",
     '{"line": 1, "lm": "%s", "nt": "%s"}\n{"line": 2, "lm": "%s", "nt": "%s"}\n' % (NO_LM, NT_EMPTY, LM, NT)),
    (["-f", "ldif"], b"Password\n", "sambaNTPassword: %s\n\n" % NT),
    (["-f", "ldif", "--lm"], b"Password\n", "sambaNTPassword: %s\nsambaLMPassword: %s\n\n" % (NT, LM)),
]


@py3
@pytest.mark.parametrize("args,data,expected", FORMATS, ids=[" ".join(f[0]) or "default" for f in FORMATS])
def test_format_text(args, data, expected):
    status, out, err = run(args, data)
    assert (status, err) == (0, "")
    assert out == expected


@py3
def test_smbpasswd_line():
    before = int(time.time())
    status, out, err = run(["-f", "smbpasswd", "--uid", "1000", "--lm"], b"alice:Password\nbob:x:y\n")
    after = int(time.time())
    lines = out.splitlines()
    assert status == 0 and err == "" and len(lines) == 2
    fields = lines[0].split(":")
    assert fields[:4] == ["alice", "1000", LM, NT] and fields[4] == "[U          ]" and fields[6:] == [""]
    assert re.match(r"LCT-[0-9A-F]{8}$", fields[5]) and before <= int(fields[5][4:], 16) <= after
    # Split at the first colon only; uids count up from --uid.
    assert lines[1].split(":")[:4] == ["bob", "1001", hashwick.lmhash("x:y"), hashwick.nthash("x:y")]
    # Given --user, the whole line is the password; without --lm, LM is X's.
    status, out, err = run(["-f", "smbpasswd", "--uid", "1000", "--user", "alice"], b"Pass:word\n")
    assert (status, err) == (0, "")
    assert out.split(":")[:5] == ["alice", "1000", "X" * 32, hashwick.nthash("Pass:word"), "[U          ]"]


@py3
@pytest.mark.skipif(sys.platform == "win32", reason="no user database on Windows")
def test_smbpasswd_uid_from_the_user_database():
    import pwd
    me = pwd.getpwuid(os.getuid())
    status, out, err = run(["-f", "smbpasswd"], me.pw_name.encode() + b":Password\nno-such-user-here:x\n")
    assert out.split(":")[:2] == [me.pw_name, str(me.pw_uid)] and len(out.splitlines()) == 1
    assert status == 1 and "line 2:" in err and "--uid" in err


@py3
def test_ldif_modify_record():
    status, out, err = run(["-f", "ldif", "--dn", "uid={user},ou=people,dc=example,dc=org"],
                           u"a,b:Password\nzoë:Password\n".encode("utf-8"))
    assert status == 0 and err == ""
    first, second = out.split("\n\n")[:2]
    # Without --lm, a stored LM hash is removed: replace with no value.
    assert first.split("\n")[:7] == [
        "dn: uid=a\\,b,ou=people,dc=example,dc=org", "changetype: modify",
        "replace: sambaNTPassword", "sambaNTPassword: " + NT, "-", "replace: sambaLMPassword", "-"]
    assert re.search(r"\nreplace: sambaPwdLastSet\nsambaPwdLastSet: \d+\n-$", first)
    dn = second.split("\n")[0]
    assert dn.startswith("dn:: ")
    import base64
    assert base64.b64decode(dn[5:]).decode("utf-8") == u"uid=zoë,ou=people,dc=example,dc=org"


@py3
@pytest.mark.parametrize("data,passwords", [
    (b"", []),
    (b"\n", [""]),
    (b"a\r\nb\n", ["a", "b"]),
    (b"a\rb\r", ["a\rb\r"]),
    (b" pad \t\n", [" pad \t"]),
    (b"x:y:z", ["x:y:z"]),
    (b"a\r\r\n", ["a\r"]),
    (b"nul\0inside\n", ["nul\0inside"]),
], ids=["empty input", "empty password", "crlf", "lone cr kept", "spaces kept", "colons", "one crlf", "nul"])
def test_only_the_line_end_is_removed(data, passwords):
    status, out, err = run([], data)
    assert (status, err) == (0, "")
    assert out.splitlines() == [hashwick.nthash(p) for p in passwords]


@py3
def test_bad_lines_are_named_and_skipped():
    data = b"Password\n\xff\xfe\nPassword\n"
    status, out, err = run(["-f", "pair"], data)
    assert status == 1 and out.splitlines() == ["%s:%s" % (NO_LM, NT)] * 2
    assert err.count("\n") == 1 and "line 2:" in err and "utf-8" in err

    status, out, err = run(["-f", "pwdump", "--rid", "1"], b"nouser\n:Password\n#bob:x\nbob:Password\n")
    assert status == 1 and out == "bob:4:%s:%s:::\n" % (NO_LM, NT)
    assert "line 1:" in err and "line 2:" in err and "no user" in err and "line 3:" in err

    # A users file's DEFAULT entry would take this password from any user.
    status, out, err = run(["-f", "freeradius"], b"DEFAULT:Password\nDEFAULTS:x\nbob:Password\n")
    assert status == 1 and out.splitlines() == ["bob\tNT-Password := 0x" + NT.lower()]
    assert "line 1:" in err and "line 2:" in err and "anyone" in err


@py3
def test_crypt_refuses_what_libxcrypt_would_not_verify():
    status, out, err = run(["-f", "crypt"], u"é\nok\nnul\0\n".encode("utf-8"))
    assert status == 1 and out == "$3$$%s\n" % hashwick.nthash("ok").lower()
    assert "line 1:" in err and "line 3:" in err and "16 bits" in err


def libxcrypt():
    name = ctypes.util.find_library("crypt")
    if not name or sys.platform == "darwin":
        pytest.skip("no libxcrypt here")
    lib = ctypes.CDLL(name)
    lib.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.crypt.restype = ctypes.c_char_p
    return lib


@py3
@pytest.mark.thread_unsafe(reason="crypt() returns a buffer shared by every thread")
def test_crypt_against_libxcrypt_both_ways():
    lib = libxcrypt()
    passwords = [u"Password", u"", u"with space:and colon", u"~!@#$%^&*()"]
    status, out, _ = run(["-f", "crypt"], u"\n".join(passwords).encode("utf-8"))
    assert status == 0
    for password, value in zip(passwords, out.splitlines()):
        assert lib.crypt(password.encode("utf-8"), value.encode("ascii")) == value.encode("ascii")
    # What the refusal is for: crypt of UTF-8 "é" is the NT hash of "Ã©", not of "é".
    value = lib.crypt(u"é".encode("utf-8"), b"$3$").decode("ascii")
    assert value == "$3$$" + hashwick.nthash(u"Ã©").lower() != "$3$$" + hashwick.nthash(u"é").lower()


@py3
def test_encoding_option():
    status, out, err = run(["-f", "pair", "--lm", "--encoding", "latin-1"], u"é\n".encode("latin-1"))
    assert (status, err) == (0, "")
    assert out == "%s:%s\n" % (hashwick.lmhash(b"\xe9"), hashwick.nthash(u"é"))
    status, out, err = run(["-f", "pwdump", "--rid", "7", "--encoding", "latin-1"], u"zoë:x\n".encode("latin-1"),
                           encoding="latin-1")
    assert status == 0 and out.startswith(u"zoë:7:")


@py3
@pytest.mark.parametrize("password,warned", [("fourteen chars", False), ("fifteen chars!!", True), (u"ééééééé", False),
                                             (u"éééééééé", True)])
def test_lm_warns_past_14_bytes(password, warned):
    status, out, err = run(["-f", "lm"], password.encode("utf-8") + b"\n")
    assert status == 0 and out == hashwick.lmhash(password.encode("utf-8")) + "\n"
    assert ("first 14" in err and "line 1:" in err) == warned and (err == "") != warned
    # Without --lm, no LM is made and nothing is said.
    assert run(["-f", "pair"], password.encode("utf-8"))[2] == ""


@py3
@pytest.mark.parametrize("args,says", [
    (["hunter2"], "process list"),
    (["--password=hunter2"], "unknown option"),
    (["--lm"], "no LM field"),
    (["-f", "crypt", "--lm"], "no LM field"),
    (["-f", "pwdump"], "--rid"),
    (["-f", "pwdump", "--rid", "-1"], "count from 0"),
    (["--uid", "5"], "--uid"),
    (["-f", "nt", "--user", "bob"], "no user"),
    (["-f", "ldif", "--rid", "1"], "--rid"),
    (["--encoding", "no-such-codec"], "codec"),
    (["--encoding", "utf-16"], "ASCII-compatible"),
    (["--encoding", "rot13"], "codec"),
], ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_usage_errors(args, says):
    status, out, err = run(args, b"Password\n")
    assert status == 2 and out == "" and says in err and len(err.splitlines()) == 1
    assert "hunter2" not in err


@py3
def test_one_line_at_a_time():
    """Each record is written before the next line is read: memory stays flat."""
    out = io.BytesIO()

    def lines():
        for i in range(3):
            assert out.getvalue().count(b"\n") == i
            yield b"x\n"

    assert hashwick_cli.main([], stdin=lines(), stdout=out, stderr=io.StringIO()) == 0


@py3
def test_help_documents_every_option():
    proc = subprocess.run(command("--help"), stdout=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == 0
    for option in ("--format", "--lm", "--user", "--uid", "--rid", "--dn", "--encoding", "--version", "example:"):
        assert option in proc.stdout
    for name in hashwick_cli.FORMATS:
        assert re.search(r"^  %s " % name, proc.stdout, re.M), name


def installed_script():
    folder = sysconfig.get_path("scripts")
    for name in ("hashwick", "hashwick.exe"):
        if os.path.exists(os.path.join(folder, name)):
            return os.path.join(folder, name)
    installed = os.path.dirname(hashwick.__file__) in (sysconfig.get_path("platlib"), sysconfig.get_path("purelib"))
    if not installed:
        pytest.skip("hashwick is not installed in this interpreter (run from a build folder)")
    pytest.fail("hashwick is installed, but its command is not in %s" % folder)


@py3
def test_installed_command():
    proc = subprocess.run([installed_script(), "--format", "pair", "--lm"], input=b"Password\n",
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert proc.stdout.decode().splitlines() == ["%s:%s" % (LM, NT)]
    version = subprocess.run([installed_script(), "--version"], stdout=subprocess.PIPE).stdout.decode()
    assert re.match(r"hashwick \d+\.\d+", version)


@py3
@pytest.mark.skipif(not hasattr(signal, "SIGPIPE"), reason="no SIGPIPE on this platform")
def test_closed_pipe_ends_quietly(tmp_path):
    # Far more than a pipe holds: the command must be writing when the reader goes.
    lines = tmp_path / "lines"
    lines.write_bytes(b"Password\n" * 200000)
    with lines.open("rb") as stdin:
        proc = subprocess.Popen(command(), stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = proc.stdout.readline()
        proc.stdout.close()
        assert first.decode().strip() == NT
        assert proc.wait(timeout=60) == 1
        assert proc.stderr.read() == b""
        proc.stderr.close()


@py3
@pytest.mark.skipif(sys.platform == "win32", reason="Ctrl-C is no signal to send on Windows")
def test_interrupt_exits_130():
    proc = subprocess.Popen(command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(b"Password\n")
    proc.stdin.flush()
    assert proc.stdout.readline().decode().strip() == NT  # it is waiting for the next line
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    assert b"Traceback" not in proc.stderr.read()
    proc.stdin.close()
    proc.stdout.close()
    proc.stderr.close()


# The child takes the new terminal as its controlling one, where getpass
# reads, and becomes the command: this process, which may have threads,
# never forks itself.
BECOME = ("import fcntl, os, sys, termios; fcntl.ioctl(0, termios.TIOCSCTTY, 0); "
          "os.execv(sys.argv[1], sys.argv[1:])")


def on_a_terminal(args, answers):
    """Runs the command on a new pseudo-terminal, typing each answer after
    its prompt; returns (status, the whole terminal transcript)."""
    termios = pytest.importorskip("termios", reason="no terminals on this platform")
    if not hasattr(termios, "TIOCSCTTY"):
        pytest.skip("no way to give a process a controlling terminal here")
    try:
        master, slave = os.openpty()
    except OSError as e:  # a root without /dev/pts, say
        pytest.skip("no pseudo-terminal can be opened here: %s" % e)
    try:
        proc = subprocess.Popen([sys.executable, "-c", BECOME] + command(*args), stdin=slave, stdout=slave,
                                stderr=slave, start_new_session=True)
    finally:
        os.close(slave)  # the child's copies alone keep it open, so its end is seen
    transcript, waiting = b"", list(answers)
    try:
        while True:
            if waiting and waiting[0][0] in transcript:
                os.write(master, waiting.pop(0)[1] + b"\n")
            if not select.select([master], [], [], 60)[0]:
                pytest.fail("the command printed nothing for a minute:\n%s" % transcript.decode("utf-8", "replace"))
            try:
                chunk = os.read(master, 1024)
            except OSError:  # the terminal closed with the program
                break
            if not chunk:
                break
            transcript += chunk
    finally:
        os.close(master)
    return proc.wait(timeout=60), transcript.decode("utf-8")


@py3
@pytest.mark.skipif(sys.platform == "win32", reason="no pseudo-terminals on Windows")
def test_prompt_without_echo():
    status, transcript = on_a_terminal(["-f", "freeradius", "--lm"], [
        (b"User: ", b"alice"), (b"Password: ", b"Password"), (b"Again: ", b"Password")])
    assert status == 0 and "Password\r\n" not in transcript.replace("Password: ", "")
    assert "alice\tNT-Password := 0x%s, LM-Password := 0x%s" % (NT.lower(), LM.lower()) in transcript

    status, transcript = on_a_terminal([], [(b"Password: ", b"Password"), (b"Again: ", b"Passwort")])
    assert status == 1 and "differ" in transcript and NT not in transcript
