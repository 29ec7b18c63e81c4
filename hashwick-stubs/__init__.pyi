"""Types for the hashwick extension module."""

from typing import Tuple, Union

# str, or bytes and its subclasses (read as UTF-8 by nthash on Python 3).
_Password = Union[str, bytes]

# A leading double underscore marks the parameter positional-only in any
# Python version a checker targets: keywords are refused at run time.
def lmhash(__passwd: _Password) -> str: ...
def nthash(__passwd: _Password) -> str: ...
def hash(__passwd: _Password) -> Tuple[str, str]: ...
