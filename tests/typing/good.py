"""Calls a user writes; mypy --strict must accept them all."""
from typing import Tuple

import hashwick

lm: str = hashwick.lmhash("Password")
nt: str = hashwick.nthash(b"Password")
pair: Tuple[str, str] = hashwick.hash("Password")
line = "%s:%s" % pair
print(lm.lower(), nt, line, bytes.fromhex(pair[1]))
