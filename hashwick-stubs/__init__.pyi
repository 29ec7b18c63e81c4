"""Types for the hashwick extension module."""

from typing import Tuple, Union

# str, or bytes and its subclasses (read as UTF-8 by nthash on Python 3).
_Password = Union[str, bytes]

def lmhash(passwd: _Password, /) -> str: ...
def nthash(passwd: _Password, /) -> str: ...
def hash(passwd: _Password, /) -> Tuple[str, str]: ...
