"""The hashwick command: passwords in, NT and LM hashes out, in the format
of the system that stores them.

Passwords come from a prompt without echo or from standard input, one record
a line, never from the command line. Run `hashwick --help` for the formats.
"""
from __future__ import print_function

import argparse
import base64
import codecs
import getpass
import json
import os
import sys
import time

import hashwick

PROG = "hashwick"
# What Windows and Samba read as "no LM hash": the LM hash of no password.
NO_LM = "AAD3B435B51404EEAAD3B435B51404EE"
# Samba's password file marks a missing hash with X's.
SMBPASSWD_NO_LM = "X" * 32
# Control characters, which no consumer's file holds in a name.
NAME_FORBIDDEN = frozenset(chr(c) for c in list(range(32)) + [127])
# A users file's name needs no quotes when made of these alone.
FREERADIUS_BARE = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@")

EPILOG = r"""
formats (--format; the hex is upper case unless said otherwise):
  nt          NT hash (the default)
  lm          LM hash; this is itself the request for LM
  pair        LM:NT
  smbpasswd   Samba's password file: USER:UID:LM:NT:[U          ]:LCT-TIME:
              UID is --uid, else USER's uid in this system's user database;
              LM is 32 X's without --lm; TIME is now, 8 hex digits
  ldif        sambaNTPassword and, with --lm, sambaLMPassword lines; given
              --dn, a modify record for that entry, which also removes any
              stored sambaLMPassword without --lm and sets sambaPwdLastSet
  freeradius  a users file entry: USER NT-Password := 0x<lower-case hex>,
              and LM-Password := 0x<hex> with --lm
  crypt       crypt(3)'s NT method, as libxcrypt writes it: $3$$<lower-case
              hex>; ASCII passwords without NUL only, since that method
              widens each byte to 16 bits and stops at a NUL, and would not
              verify the hash of any other
  pwdump      USER:RID:LM:NT::: with RID from --rid; LM is
              AAD3B435B51404EEAAD3B435B51404EE (no LM hash) without --lm
  json        one JSON object a line: "line" (the input's line number),
              "nt", and "lm" with --lm

records:
  Formats with a user (smbpasswd, freeradius, pwdump, and ldif when --dn
  holds {user}) read USER:PASSWORD, split at the first colon; the others,
  and every format given --user, read the whole line as the password,
  colons included. A user the format cannot hold (a colon, a control
  character or a leading # in smbpasswd and pwdump; a name starting with
  DEFAULT, which a users file applies to everyone, in freeradius) fails its
  record. Only the line end (\n or \r\n) is removed: spaces and every
  other character count. Lines are decoded by --encoding, strictly.
  LM takes the password's bytes in that encoding (UTF-8 unless told), of
  which it keeps the first 14; non-ASCII bytes are never upper-cased.

  On a terminal, hashwick asks for the user (unless --user is given or the
  format has none) and for the password twice, without echo.

exit status:
  0 all went well; 1 a record failed (each is named on standard error by
  its line number, and the others are still written) or the output pipe
  closed early; 2 a usage error; 130 interrupted (Ctrl-C).

example:
  hashwick --format smbpasswd < accounts.txt >> smbpasswd.new
  hashwick --format freeradius --user alice   # asks for the password
"""

ARGV_PASSWORD = (
    "%s: passwords are never taken from the command line, where every user can read them in the process list "
    "and the shell keeps them in its history; run %s alone to be asked, or pipe records in: %s < passwords.txt"
)


class RecordError(Exception):
    """A record that cannot be written: reported with its line number, then skipped."""


class UsageError(Exception):
    pass


def version():
    try:
        from importlib.metadata import version as dist_version
    except ImportError:  # Python 3.7 and older
        try:
            from pkg_resources import get_distribution
        except ImportError:
            return "unknown"
        dist_version = lambda name: get_distribution(name).version
    try:
        return dist_version("hashwick")
    except Exception:  # not installed as a distribution, run from a tree
        return "unknown"


class VersionAction(argparse.Action):
    """argparse's version action, looking the version up only when asked:
    the look-up costs more than hashing thousands of passwords."""

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write("%s %s\n" % (PROG, version()))
        parser.exit()


def parser():
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Write the NT hash, and the LM hash when asked, of each password read from a prompt "
        "or from standard input, in the format of the system that stores it.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--format", "-f", choices=sorted(FORMATS), default="nt", help="the output format (default: nt)")
    p.add_argument("--lm", action="store_true",
                   help="also write the weak LM hash, for old peers only (default: the format's no-LM value)")
    p.add_argument("--user", "-u", help="the user of every record; each line is then a whole password")
    p.add_argument("--uid", type=int,
                   help="smbpasswd: line 1's uid; line N's is UID + N - 1 (default: each user's own)")
    p.add_argument("--rid", type=int, help="pwdump, which needs it: line 1's RID; line N's is RID + N - 1")
    p.add_argument("--dn", help="ldif: the entry to modify; {user} in it stands for the record's user")
    p.add_argument("--encoding", default="utf-8",
                   help="the input's codec, ASCII-compatible (default: utf-8); names and LM bytes use it too")
    p.add_argument("--version", action=VersionAction, nargs=0, help="show the version and exit")
    return p


# Each format: (has a user, the function that renders one record).
# A renderer takes the options, the record's number (from 0), the user
# (None where the format has none) and the password, and returns the text.


def hex_lm(opts, index, password):
    data = password.encode(opts.encoding)
    if len(data) > 14:
        warn(opts, index, "the password is %d bytes; LM keeps only the first 14" % len(data))
    return hashwick.lmhash(data)


def render_nt(opts, index, user, password):
    return hashwick.nthash(password) + "\n"


def render_lm(opts, index, user, password):
    return hex_lm(opts, index, password) + "\n"


def render_pair(opts, index, user, password):
    lm = hex_lm(opts, index, password) if opts.lm else NO_LM
    return "%s:%s\n" % (lm, hashwick.nthash(password))


def field_user(user):
    """A user for a colon-separated file, where a colon would shift every
    field and a leading # make the line a comment."""
    if ":" in user or NAME_FORBIDDEN.intersection(user) or user.startswith("#"):
        raise RecordError("the user holds a colon or a control character, or starts with #, "
                          "which this format cannot hold")
    return user


def system_uid(user):
    try:
        import pwd
    except ImportError:
        pwd = None
    if pwd is None:
        raise RecordError("this system has no user database to find the uid in; give --uid")
    try:
        return pwd.getpwnam(user).pw_uid
    except KeyError:
        pass
    raise RecordError("no such user in this system's user database; give --uid")


def render_smbpasswd(opts, index, user, password):
    name = field_user(user)
    uid = opts.uid + index if opts.uid is not None else system_uid(user)
    lm = hex_lm(opts, index, password) if opts.lm else SMBPASSWD_NO_LM
    return "%s:%d:%s:%s:[U          ]:LCT-%08X:\n" % (name, uid, lm, hashwick.nthash(password), int(time.time()))


def render_pwdump(opts, index, user, password):
    lm = hex_lm(opts, index, password) if opts.lm else NO_LM
    return "%s:%d:%s:%s:::\n" % (field_user(user), opts.rid + index, lm, hashwick.nthash(password))


def freeradius_name(user):
    if NAME_FORBIDDEN.intersection(user):
        raise RecordError("the user holds a control character, which a users file cannot hold")
    if user.startswith("DEFAULT"):
        # The users file's entry for every user: a password for all.
        raise RecordError("a users file reads DEFAULT as every user, so this entry would let in anyone "
                          "with this password: refused")
    if user and all(c in FREERADIUS_BARE for c in user):
        return user
    return '"%s"' % user.replace("\\", "\\\\").replace('"', '\\"')


def render_freeradius(opts, index, user, password):
    items = "NT-Password := 0x" + hashwick.nthash(password).lower()
    if opts.lm:
        items += ", LM-Password := 0x" + hex_lm(opts, index, password).lower()
    return "%s\t%s\n" % (freeradius_name(user), items)


def render_crypt(opts, index, user, password):
    if any(c >= "\x80" or c == "\0" for c in password):
        raise RecordError("crypt's NT method widens each byte to 16 bits, and stops at a NUL byte, so its value "
                          "of a password that is not ASCII, or holds a NUL, is not the NT hash: refused")
    return "$3$$%s\n" % hashwick.nthash(password).lower()


def render_json(opts, index, user, password):
    record = {"line": index + 1, "nt": hashwick.nthash(password)}
    if opts.lm:
        record["lm"] = hex_lm(opts, index, password)
    return json.dumps(record, sort_keys=True) + "\n"


def ldif_line(name, value):
    """One attribute line; a value LDIF may not hold as it is goes base64."""
    safe = value == "" or (
        all(" " <= c < "\x7f" for c in value) and value[0] not in " :<" and not value.endswith(" "))
    if safe:
        return "%s: %s\n" % (name, value)
    return "%s:: %s\n" % (name, base64.b64encode(value.encode("utf-8")).decode("ascii"))


def dn_value(user):
    """user escaped as an attribute value of a DN."""
    out = "".join("\\" + c if c in ',+"\\<>;=' else c for c in user)
    if out[:1] in (" ", "#"):
        out = "\\" + out
    if out.endswith(" ") and not out.endswith("\\ "):
        out = out[:-1] + "\\ "
    return out.replace("\0", "\\00")


def render_ldif(opts, index, user, password):
    nt = hashwick.nthash(password)
    lm = hex_lm(opts, index, password) if opts.lm else None
    if opts.dn is None:
        text = ldif_line("sambaNTPassword", nt)
        if lm:
            text += ldif_line("sambaLMPassword", lm)
        return text + "\n"
    dn = opts.dn if user is None else opts.dn.replace("{user}", dn_value(user))
    text = ldif_line("dn", dn) + "changetype: modify\n"
    text += "replace: sambaNTPassword\n" + ldif_line("sambaNTPassword", nt) + "-\n"
    # With no value, replace removes an LM hash left from an earlier password.
    text += "replace: sambaLMPassword\n" + (ldif_line("sambaLMPassword", lm) if lm else "") + "-\n"
    text += "replace: sambaPwdLastSet\nsambaPwdLastSet: %d\n-\n" % int(time.time())
    return text + "\n"


FORMATS = {
    "nt": (False, render_nt),
    "lm": (False, render_lm),
    "pair": (False, render_pair),
    "smbpasswd": (True, render_smbpasswd),
    "ldif": (False, render_ldif),
    "freeradius": (True, render_freeradius),
    "crypt": (False, render_crypt),
    "pwdump": (True, render_pwdump),
    "json": (False, render_json),
}


def warn(opts, index, message):
    """A message on standard error, naming the record's line unless it came from the prompt."""
    where = "" if opts.prompting else " line %d:" % (index + 1)
    opts.stderr.write("%s:%s %s\n" % (PROG, where, message))


def check_options(opts):
    if opts.format == "lm":
        opts.lm = True
    elif opts.lm and opts.format in ("nt", "crypt"):
        raise UsageError("--lm: the %s format has no LM field (--format lm writes the LM hash)" % opts.format)
    try:
        ascii_compatible = "\r\n:".encode(opts.encoding) == b"\r\n:" and b"\r\n:".decode(opts.encoding) == "\r\n:"
    except (LookupError, TypeError, ValueError, AttributeError):
        ascii_compatible = None
    if ascii_compatible is None:
        raise UsageError("--encoding: %r is not a text codec this Python knows" % opts.encoding)
    if not ascii_compatible:
        raise UsageError("--encoding: %s is not ASCII-compatible: lines are split at their \\n bytes" % opts.encoding)
    opts.encoding = codecs.lookup(opts.encoding).name
    has_user, _ = FORMATS[opts.format]
    if opts.format == "ldif" and opts.dn is not None and "{user}" in opts.dn:
        has_user = True
    if (opts.uid or 0) < 0 or (opts.rid or 0) < 0:
        raise UsageError("--uid and --rid count from 0")
    if opts.format == "pwdump" and opts.rid is None:
        raise UsageError("--format pwdump needs --rid: the account's RID, which only its Windows domain knows")
    for name, formats in (("uid", ("smbpasswd",)), ("rid", ("pwdump",)), ("dn", ("ldif",))):
        if getattr(opts, name) is not None and opts.format not in formats:
            raise UsageError("--%s applies to --format %s only" % (name, " or ".join(formats)))
    if opts.user is not None and not has_user:
        raise UsageError("--user: the %s format has no user" % opts.format)
    opts.has_user = has_user


def split_record(opts, text):
    """(user, password) of one record of a format with a user."""
    if opts.user is not None:
        return opts.user, text
    user, colon, password = text.partition(":")
    if not colon or not user:
        raise RecordError("no user: this format reads USER:PASSWORD")
    return user, password


def run_stream(opts, stream, out):
    """Each line of stream, a record; returns whether all were written."""
    _, render = FORMATS[opts.format]
    encoding, has_user = opts.encoding, opts.has_user
    ok = True
    for index, raw in enumerate(stream):
        try:
            text = raw.decode(encoding)
        except UnicodeDecodeError as e:
            warn(opts, index, "not %s: byte %d is 0x%02x; no output for this line"
                 % (encoding, e.start + 1, bytearray(raw)[e.start]))
            ok = False
            continue
        # The line end goes once decoded (the codec is ASCII-compatible):
        # cheaper on text than on bytes.
        if text[-1:] == "\n":
            text = text[:-2] if text[-2:-1] == "\r" else text[:-1]
        try:
            user, password = split_record(opts, text) if has_user else (None, text)
            out.write(render(opts, index, user, password).encode(encoding))
        except RecordError as e:
            warn(opts, index, "%s; no output for this line" % e)
            ok = False
    return ok


def run_prompt(opts, out):
    """One record from the terminal; returns whether it was written."""
    _, render = FORMATS[opts.format]
    opts.prompting = True
    user = opts.user
    if opts.has_user and user is None:
        opts.stderr.write("User: ")
        opts.stderr.flush()
        user = sys.stdin.readline().rstrip("\r\n")
        if not user:
            warn(opts, 0, "no user given")
            return False
    try:
        first = getpass.getpass("Password: ")
        again = getpass.getpass("Again: ")
    except EOFError:
        warn(opts, 0, "no password given; nothing written")
        return False
    if again != first:
        warn(opts, 0, "the passwords differ; nothing written")
        return False
    try:
        out.write(render(opts, 0, user, first).encode(opts.encoding))
    except RecordError as e:
        warn(opts, 0, str(e))
        return False
    return True


def main(argv=None, stdin=None, stdout=None, stderr=None):
    """Runs the command; returns its exit status. stdin and stdout are byte
    streams (the process's own by default); prompting happens only when
    stdin is the process's own and a terminal."""
    stderr = stderr or sys.stderr
    if sys.version_info[0] < 3:
        stderr.write("%s: the command needs Python 3; the module works here: import hashwick\n" % PROG)
        return 2
    p = parser()
    opts, extra = p.parse_known_args(argv)
    if extra:
        # Never echoed: an extra argument is most likely a password.
        if any(a.startswith("-") for a in extra):
            stderr.write("%s: unknown option (not repeated here, in case it holds a password); see %s --help\n"
                         % (PROG, PROG))
        else:
            stderr.write(ARGV_PASSWORD % (PROG, PROG, PROG) + "\n")
        return 2
    opts.stderr, opts.prompting = stderr, False
    try:
        check_options(opts)
    except UsageError as e:
        stderr.write("%s: %s\n" % (PROG, e))
        return 2
    out = stdout if stdout is not None else sys.stdout.buffer
    try:
        if stdin is None and sys.stdin is not None and sys.stdin.isatty():
            ok = run_prompt(opts, out)
        else:
            ok = run_stream(opts, stdin if stdin is not None else sys.stdin.buffer, out)
        out.flush()
    except KeyboardInterrupt:
        stderr.write("\n")
        return 130
    except BrokenPipeError:
        # The reader has gone (| head): stop quietly. Python would flush
        # stdout again at exit and fail once more, so point it elsewhere.
        if stdout is None:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
