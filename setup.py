"""Declares the extension; metadata lives in pyproject.toml.

setup.py stays because Python 2.7 and 3.6 only get setuptools releases that
predate [project] tables: for them the few fields pip needs are read here.
"""
import gzip
import io
import os
import re
import shutil
import stat
import sys
import tarfile
import tempfile
import time

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

try:
    from distutils.errors import CompileError
except ImportError:  # setuptools without the stdlib's distutils (Python 3.12+)
    from setuptools.errors import CompileError

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1: the wheel package's command, if installed
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:
        bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))

CXXFLAGS = ["-std=c++17", "-O3", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra"]
if sys.version_info[0] == 2:
    # Python 2's own headers declare `register` variables, which C++17 dropped.
    CXXFLAGS.append("-Wno-register")


def normal_mode(mode):
    """The mode an artefact records, whatever the umask: 0755 for folders and executables, else 0644."""
    return 0o755 if stat.S_ISDIR(mode) or mode & 0o100 else 0o644


def wants_debug_info():
    """Whether CFLAGS or CXXFLAGS ask for debug information (sanitizer builds do)."""
    flags = (os.environ.get("CFLAGS", "") + " " + os.environ.get("CXXFLAGS", "")).split()
    return any(f.startswith("-g") and f != "-g0" for f in flags)


class BuildExt(build_ext):
    def run(self):
        # Nothing is reused: a build with other flags (sanitizers, another
        # compiler) must not ship what an earlier one left in build/.
        self.force = True
        self.build_temp = tempfile.mkdtemp(prefix="hashwick-build-")
        try:
            build_ext.run(self)
        finally:
            shutil.rmtree(self.build_temp, ignore_errors=True)

    def build_extensions(self):
        if self.compiler.compiler_type == "msvc":
            # Exports there come from __declspec in the header alone.
            for ext in self.extensions:
                ext.extra_compile_args = ["/std:c++17", "/O2", "/W4"]
        # Python's own C flags include some that C++ compilers warn about.
        for name in ("compiler_so", "compiler"):
            args = getattr(self.compiler, name, None)
            if args:
                args[:] = [a for a in args if a not in ("-Wstrict-prototypes",)]
        if self.compiler.compiler_type == "unix":
            flags = self.reproducible_flags()
            for ext in self.extensions:
                ext.extra_compile_args = ext.extra_compile_args + flags
        # pyenv's link flags name the interpreter's folder as a run-time
        # search path: no use to a module the interpreter loads, and it would
        # tie the wheel to where the interpreter was installed.
        for name in ("linker_so", "linker_so_cxx"):
            args = getattr(self.compiler, name, None)
            if args:
                args[:] = [a for a in args if not a.startswith(("-Wl,-rpath", "-Wl,--rpath", "-Wl,-R"))]
        # PyPy's sysconfig has no LDCXXSHARED, so new setuptools would link
        # C++ with no linker at all: use the C linker's flags with the C++ driver.
        if getattr(self.compiler, "linker_so_cxx", ()) is None and self.compiler.linker_so:
            self.compiler.linker_so_cxx = self.compiler.compiler_cxx[:1] + self.compiler.linker_so[1:]
        build_ext.build_extensions(self)

    def get_libraries(self, ext):
        # Before 3.8, an interpreter built with --enable-shared links libpython
        # into the module; the interpreter loading it provides those symbols
        # (auditwheel would otherwise rewrite the module to drop it).
        libraries = build_ext.get_libraries(self, ext)
        if sys.platform.startswith("linux") and not hasattr(sys, "getandroidapilevel"):
            libraries = [lib for lib in libraries if not lib.startswith("python")]
        return libraries

    def reproducible_flags(self):
        """Flags that keep the folders of a build out of what it makes.

        Python's own CFLAGS carry -g, whose DWARF would name the interpreter's
        header folders: the module ships without it (its symbol table still
        names every function in a backtrace) unless CFLAGS or CXXFLAGS ask for
        -g. Those builds see the source folder as "." (gdb run there finds the
        sources), with -fdebug-prefix-map where the compiler predates
        -ffile-prefix-map.
        """
        flags = [] if wants_debug_info() else ["-g0"]
        probe = os.path.join(self.build_temp, "probe.cpp")
        with open(probe, "w") as f:
            f.write("int main() { return 0; }\n")
        for option in ("-ffile-prefix-map", "-fdebug-prefix-map"):
            maps = ["%s=%s=." % (option, d) for d in {HERE, os.getcwd()}]
            try:
                self.compiler.compile([probe], output_dir=self.build_temp, extra_postargs=maps)
            except CompileError:
                continue
            return flags + sorted(maps)
        return flags


class Sdist(sdist):
    """Writes the .tar.gz itself, so that a commit always gives the same bytes.

    Entries in name order, each stamped SOURCE_DATE_EPOCH (when set), owned by
    uid/gid 0 with no owner names, with normal_mode; the gzip header holds the
    same time and no file name. Other formats are left to setuptools.
    """

    def make_archive(self, base_name, format, root_dir=None, base_dir=None, owner=None, group=None):
        if format != "gztar" or self.dry_run:
            return sdist.make_archive(self, base_name, format, root_dir, base_dir, owner, group)
        mtime = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
        root = os.path.abspath(root_dir or os.curdir)
        paths = []
        for folder, _, files in os.walk(os.path.join(root, base_dir)):
            paths += [folder] + [os.path.join(folder, name) for name in files]
        archive = os.path.abspath(base_name + ".tar.gz")
        self.mkpath(os.path.dirname(archive))
        with open(archive, "wb") as raw:
            with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=mtime) as gz:
                with tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as tar:
                    for path in sorted(paths):
                        st = os.stat(path)
                        info = tarfile.TarInfo(os.path.relpath(path, root).replace(os.sep, "/"))
                        info.mode, info.mtime, info.uid, info.gid, info.uname, info.gname = (
                            normal_mode(st.st_mode), mtime, 0, 0, "", "")
                        if stat.S_ISDIR(st.st_mode):
                            info.type = tarfile.DIRTYPE
                            tar.addfile(info)
                            continue
                        info.size = st.st_size
                        with open(path, "rb") as f:
                            tar.addfile(info, f)
        return archive


cmdclass = {"build_ext": BuildExt, "sdist": Sdist}
if bdist_wheel is not None:

    class BdistWheel(bdist_wheel):
        """Gives every file the wheel holds its normal_mode, whatever the umask made it or the sdist's file had."""

        def write_wheelfile(self, *args, **kwargs):
            bdist_wheel.write_wheelfile(self, *args, **kwargs)
            for folder, _, files in os.walk(self.bdist_dir):
                for path in [folder] + [os.path.join(folder, name) for name in files]:
                    os.chmod(path, normal_mode(os.lstat(path).st_mode))

    cmdclass["bdist_wheel"] = BdistWheel


def legacy_metadata():
    """The [project] fields, for setuptools too old to read them itself."""
    with io.open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    project = text.split("\n[project]\n", 1)[1].split("\n[", 1)[0]
    field = lambda key: re.search(r'^%s = "([^"]*)"' % key, project, re.M).group(1)
    strings = lambda key: re.findall(r'"([^"]+)"', re.search(r"^%s = \[(.*?)\]" % key, project, re.M | re.S).group(1))
    extras = {}
    table = re.search(r"^\[project\.optional-dependencies\]\n(.*?)(?:^\[|\Z)", text, re.M | re.S)
    for name, items in re.findall(r"^(\w+) = \[(.*?)\]", table.group(1) if table else "", re.M | re.S):
        extras[name] = re.findall(r'"([^"]+)"', items)
    table = re.search(r"^\[project\.urls\]\n(.*?)(?:^\[|\Z)", text, re.M | re.S)
    urls = dict(re.findall(r'^([\w-]+) = "([^"]+)"', table.group(1), re.M)) if table else {}
    table = re.search(r"^\[project\.scripts\]\n(.*?)(?:^\[|\Z)", text, re.M | re.S)
    scripts = ["%s = %s" % pair for pair in re.findall(r'^([\w-]+) = "([^"]+)"', table.group(1), re.M)]
    with io.open(os.path.join(HERE, field("readme")), encoding="utf-8") as f:
        readme = f.read()
    return dict(
        name=field("name"),
        version=field("version"),
        description=field("description"),
        long_description=readme,
        long_description_content_type="text/markdown",
        license=field("license"),
        license_files=strings("license-files"),
        author="The hashwick developers",
        keywords=strings("keywords"),
        classifiers=strings("classifiers"),
        python_requires=field("requires-python"),
        extras_require=extras,
        project_urls=urls,
        entry_points={"console_scripts": scripts},
    )


kwargs = {}
if int(setuptools.__version__.split(".")[0]) < 61:
    kwargs = legacy_metadata()

setup(
    # Types for mypy and pyright: an extension module cannot carry py.typed,
    # so its stubs travel as a stub-only package in the same distribution.
    packages=["hashwick-stubs"],
    # The command, a module of its own: the extension keeps its three functions.
    py_modules=["hashwick_cli"],
    package_data={"hashwick-stubs": ["__init__.pyi"]},
    # The command's man page, built from docs/cli.md by Sphinx and committed
    # (.ci/docs checks it is current): wheels are built from the sdist, where
    # Sphinx may not install. It lands in the environment's share/man.
    data_files=[("share/man/man1", ["docs/man/hashwick.1"])],
    ext_modules=[
        Extension(
            "hashwick",
            sources=["src/hashwick.cpp", "src/md4.cpp", "src/smbdes.cpp"],
            depends=["src/hashwick.h", "src/primitives.hpp"],
            include_dirs=["src"],
            extra_compile_args=CXXFLAGS,
        )
    ],
    cmdclass=cmdclass,
    **kwargs
)
