"""Declares the extension; metadata lives in pyproject.toml.

setup.py stays because Python 2.7 and 3.6 only get setuptools releases that
predate [project] tables: for them the few fields pip needs are read here.
"""
import io
import os
import re
import shutil
import sys
import tempfile

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))

CXXFLAGS = ["-std=c++17", "-O3", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra"]
if sys.version_info[0] == 2:
    # Python 2's own headers declare `register` variables, which C++17 dropped.
    CXXFLAGS.append("-Wno-register")


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
        # PyPy's sysconfig has no LDCXXSHARED, so new setuptools would link
        # C++ with no linker at all: use the C linker's flags with the C++ driver.
        if getattr(self.compiler, "linker_so_cxx", ()) is None and self.compiler.linker_so:
            self.compiler.linker_so_cxx = self.compiler.compiler_cxx[:1] + self.compiler.linker_so[1:]
        build_ext.build_extensions(self)


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
    )


kwargs = {}
if int(setuptools.__version__.split(".")[0]) < 61:
    kwargs = legacy_metadata()

setup(
    # Types for mypy and pyright: an extension module cannot carry py.typed,
    # so its stubs travel as a stub-only package in the same distribution.
    packages=["hashwick-stubs"],
    package_data={"hashwick-stubs": ["__init__.pyi"]},
    ext_modules=[
        Extension(
            "hashwick",
            sources=["src/hashwick.cpp", "src/md4.cpp", "src/smbdes.cpp"],
            depends=["src/hashwick.h", "src/primitives.hpp"],
            include_dirs=["src"],
            extra_compile_args=CXXFLAGS,
        )
    ],
    cmdclass={"build_ext": BuildExt},
    **kwargs
)
