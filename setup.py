"""Declares the extension; metadata lives in pyproject.toml.

setup.py stays because Python 2.7 and 3.6 only get setuptools releases that
predate [project] tables: for them the few fields pip needs are read here.
"""
import io
import os
import re
import sys

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))

CXXFLAGS = ["-std=c++17", "-O3", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra"]
if sys.version_info[0] == 2:
    # Python 2's own headers declare `register` variables, which C++17 dropped.
    CXXFLAGS.append("-Wno-register")


class BuildExt(build_ext):
    def build_extensions(self):
        # Python's own C flags include some that C++ compilers warn about.
        for name in ("compiler_so", "compiler"):
            args = getattr(self.compiler, name, None)
            if args:
                args[:] = [a for a in args if a not in ("-Wstrict-prototypes",)]
        build_ext.build_extensions(self)


def legacy_metadata():
    """The [project] fields that setuptools older than 61 cannot read itself."""
    with io.open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    project = text.split("[project]", 1)[1]
    field = lambda key: re.search(r'^%s = "([^"]*)"' % key, project, re.M).group(1)
    extras = {}
    table = re.search(r"^\[project\.optional-dependencies\]\n(.*?)(?:^\[|\Z)", text, re.M | re.S)
    for name, items in re.findall(r"^(\w+) = \[(.*?)\]", table.group(1) if table else "", re.M | re.S):
        extras[name] = re.findall(r'"([^"]+)"', items)
    return dict(
        name=field("name"),
        version=field("version"),
        description=field("description"),
        python_requires=field("requires-python"),
        extras_require=extras,
    )


kwargs = {}
if int(setuptools.__version__.split(".")[0]) < 61:
    kwargs = legacy_metadata()

setup(
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
