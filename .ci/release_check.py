#!/usr/bin/env python3
"""release_check.py [--tag TAG] [--notes FILE] DIST...: fails unless DIST (one
sdist and the wheels) are a release of one version: the version in
pyproject.toml, the top released section of CHANGELOG.md and, given one,
the tag vX.Y.Z; each file's name and metadata carry that version; and
`twine check --strict` passes. --notes writes that CHANGELOG section, the
release's notes. Run by .ci/dist on what it builds and by the workflow
before it publishes, so a broken release shows before a tag is pushed.
Needs Python 3.11+ with twine (and so packaging) installed."""

import argparse
import email.parser
import os
import re
import subprocess
import sys
import tarfile
import time
import tomllib
import zipfile

from packaging.utils import canonicalize_name, parse_sdist_filename, parse_wheel_filename
from packaging.version import InvalidVersion, Version

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Keep a Changelog's heading of a release: "## [1.2.3] - 2026-12-09".
RELEASE = re.compile(r"^## \[(?P<version>[^\]]+)\](?: - (?P<date>\S+))?\s*$")


def changelog_release(path):
    """(version, date, notes) of the first section that is not Unreleased."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for i, line in enumerate(lines):
        m = RELEASE.match(line)
        if m and m["version"].lower() != "unreleased":
            end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("## ")), len(lines))
            return m["version"], m["date"], "\n".join(lines[i + 1 : end]).strip() + "\n"
    return None, None, ""


def metadata(path):
    """The Name and Version a distribution file declares of itself."""
    if path.endswith(".whl"):
        with zipfile.ZipFile(path) as z:
            names = [n for n in z.namelist() if re.fullmatch(r"[^/]+\.dist-info/METADATA", n)]
            text = z.read(names[0]).decode() if len(names) == 1 else ""
    else:
        with tarfile.open(path) as t:
            members = [m for m in t.getmembers() if re.fullmatch(r"[^/]+/PKG-INFO", m.name)]
            text = t.extractfile(members[0]).read().decode() if len(members) == 1 else ""
    msg = email.parser.Parser().parsestr(text, headersonly=True)
    return msg.get("Name"), msg.get("Version")


def check_files(files, name, version):
    problems = []
    sdists = [f for f in files if f.endswith(".tar.gz")]
    wheels = [f for f in files if f.endswith(".whl")]
    for f in files:
        if f not in sdists + wheels:
            problems.append(f"{f}: neither an sdist (.tar.gz) nor a wheel")
    if len(sdists) != 1:
        problems.append(f"one sdist expected, found {len(sdists)}")
    if not wheels:
        problems.append("no wheel")
    for f in sdists + wheels:
        base = os.path.basename(f)
        try:
            parse = parse_wheel_filename if f in wheels else parse_sdist_filename
            file_name, file_version = parse(base)[:2]
        except (ValueError, InvalidVersion) as e:
            problems.append(f"{base}: not a valid file name ({e})")
            continue
        if file_name != canonicalize_name(name) or file_version != Version(version):
            problems.append(f"{base}: names {file_name} {file_version}, not {name} {version}")
        try:
            meta_name, meta_version = metadata(f)
        except (OSError, tarfile.TarError, zipfile.BadZipFile, UnicodeDecodeError) as e:
            problems.append(f"{base}: metadata unreadable ({e})")
            continue
        if meta_name != name or meta_version != version:
            problems.append(f"{base}: its metadata says {meta_name} {meta_version}, not {name} {version}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tag", help="the release's tag, vX.Y.Z")
    parser.add_argument("--notes", help="write the version's CHANGELOG section here")
    parser.add_argument("dists", nargs="+")
    args = parser.parse_args()
    start = time.monotonic()

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    name, version = project["name"], project["version"]
    problems = []
    released, date, notes = changelog_release(os.path.join(ROOT, "CHANGELOG.md"))
    if released != version:
        problems.append(f"CHANGELOG.md's top release is {released}, pyproject.toml's version {version}")
    elif not (date and re.fullmatch(r"\d{4}-\d{2}-\d{2}", date)):
        problems.append(f"CHANGELOG.md's section for {version} has no date (YYYY-MM-DD)")
    if args.tag is not None and args.tag != "v" + version:
        problems.append(f"the tag is {args.tag}, the version {version}: the tag must be v{version}")
    problems += check_files(args.dists, name, version)
    twine = subprocess.run([sys.executable, "-m", "twine", "check", "--strict", *args.dists])
    if twine.returncode:
        problems.append("twine check --strict failed (above)")

    if problems:
        print("release-check: not a release:", *problems, sep="\n  ", file=sys.stderr)
        return 1
    if args.notes:
        with open(args.notes, "w", encoding="utf-8") as f:
            f.write(notes)
    tag = f", tag {args.tag}" if args.tag else ""
    print(
        f"release-check: {name} {version}{tag}: CHANGELOG and {len(args.dists)} files agree,"
        f" twine check passes ({time.monotonic() - start:.1f} s)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
