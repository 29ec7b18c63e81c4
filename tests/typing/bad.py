"""Mistakes mypy must report, one per line that ends in `# error`."""
import hashwick

hashwick.nthash(1)  # error
third: str = hashwick.hash("x")[2]  # error
hashwick.lmhash(passwd="x")  # error
hashwick.nthash(None)  # error
