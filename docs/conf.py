"""Sphinx configuration: the documentation site (HTML) and the hashwick(1) man page, from Markdown (MyST)."""
import io
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read(name):
    with io.open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


project = "hashwick"
author = "The hashwick developers"
# No year: the copyright line must not change with the clock of the build.
copyright = author
release = version = re.search(r'^version = "([^"]+)"', read("pyproject.toml"), re.M).group(1)
# The man page's date is the release's date in the changelog, so that the
# page is the same bytes whenever and wherever it is built, and changes only
# when a release is made (the clock, or the commit's time, would change it
# at every build or commit).
released = re.search(r"^## \[%s\] - (\d{4}-\d\d-\d\d)" % re.escape(release), read("CHANGELOG.md"), re.M)
today = released.group(1) if released else "unreleased"

extensions = ["myst_parser"]
myst_enable_extensions = ["deflist"]
# Headings get anchors, so that pages (and the README) can link to sections.
myst_heading_anchors = 3
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "man"]
# A reference to a page or section that does not exist is a warning, which
# the docs step (-W) turns into a failure.
nitpicky = True
suppress_warnings = []

html_theme = "furo"
html_title = "hashwick %s" % release
html_static_path = []
html_last_updated_fmt = None
pygments_style = "sphinx"

# The command line page is also the man page; only it goes into section 1.
man_pages = [("cli", "hashwick", "LM and NT password hashes in the format of the system that stores them",
              [author], 1)]
man_show_urls = False
