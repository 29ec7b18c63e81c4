"""repro.py A B: exits 0 if the two files are byte-identical, else 1 with a short report of where they differ.

An sdist (.tar.gz) or a wheel (.whl) is compared by its gzip or zip header, then member by member: the first
differing member is named with what differs (order, content, mode, mtime, owner...); an ELF file, alone or as a
member, by section. Python 3.6+, standard library only.
"""

import gzip
import hashlib
import io
import struct
import sys
import tarfile
import zipfile


def first_byte(a, b):
    n = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return "first differing byte at offset %d (sizes %d and %d)" % (n, len(a), len(b))


def elf_sections(data):
    """[(name, bytes)] of an ELF image's sections, read from its section headers."""
    endian = "<" if data[5] == 1 else ">"
    if data[4] == 2:  # ELFCLASS64
        (shoff,) = struct.unpack_from(endian + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(endian + "HHH", data, 0x3A)
        layout = endian + "IIQQQQ"  # name, type, flags, addr, offset, size
    else:
        (shoff,) = struct.unpack_from(endian + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(endian + "HHH", data, 0x2E)
        layout = endian + "IIIIII"
    headers = [struct.unpack_from(layout, data, shoff + i * shentsize) for i in range(shnum)]
    strtab = data[headers[shstrndx][4] : headers[shstrndx][4] + headers[shstrndx][5]]
    sections = []
    for name, kind, _, _, offset, size in headers:
        label = strtab[name : strtab.index(b"\0", name)].decode("ascii", "replace") or "(null)"
        sections.append((label, b"" if kind == 8 else data[offset : offset + size]))  # 8: SHT_NOBITS
    return sections


def compare_elf(a, b):
    try:
        sa, sb = elf_sections(a), elf_sections(b)
    except (struct.error, IndexError, ValueError) as e:
        return ["unreadable ELF section headers (%s); %s" % (e, first_byte(a, b))]
    if [n for n, _ in sa] != [n for n, _ in sb]:
        return ["ELF sections differ: %s vs %s" % (" ".join(n for n, _ in sa), " ".join(n for n, _ in sb))]
    diff = ["%s (%d vs %d bytes)" % (n, len(x), len(y)) for (n, x), (_, y) in zip(sa, sb) if x != y]
    if diff:
        return ["ELF sections differ: " + ", ".join(diff)]
    return ["ELF headers differ, sections identical; " + first_byte(a, b)]


def describe(a, b):
    """Why two members' contents differ, in a few words."""
    if a[:4] == b[:4] == b"\x7fELF":
        return compare_elf(a, b)[0]
    return first_byte(a, b)


def tar_members(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        for m in tar.getmembers():
            meta = {"type": m.type, "mode": oct(m.mode), "mtime": m.mtime, "link": m.linkname,
                    "owner": "%d:%d (%s:%s)" % (m.uid, m.gid, m.uname, m.gname)}
            yield m.name, meta, tar.extractfile(m).read() if m.isfile() else b""


def zip_members(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for m in z.infolist():
            meta = {"mode": oct(m.external_attr >> 16), "mtime": "%04d-%02d-%02d %02d:%02d:%02d" % m.date_time,
                    "compression": m.compress_type, "system": m.create_system, "version": m.create_version,
                    "flags": m.flag_bits, "extra": m.extra, "comment": m.comment}
            yield m.filename, meta, z.read(m)


def compare_members(what, ma, mb, a, b):
    ma, mb = list(ma), list(mb)
    na, nb = [m[0] for m in ma], [m[0] for m in mb]
    if sorted(na) != sorted(nb):
        only = lambda x, y: ", ".join(n for n in x if n not in y) or "none"
        return ["%s members only in A: %s; only in B: %s" % (what, only(na, nb), only(nb, na))]
    lines = []
    if na != nb:
        i = next(i for i, (x, y) in enumerate(zip(na, nb)) if x != y)
        lines.append("%s member order differs: #%d is %s in A, %s in B" % (what, i, na[i], nb[i]))
    others = {name: (meta, content) for name, meta, content in mb}
    for name, meta, content in ma:
        meta_b, content_b = others[name]
        diff = ["%s %s vs %s" % (k, meta[k], meta_b[k]) for k in meta if meta[k] != meta_b[k]]
        if content != content_b:
            diff.insert(0, "content (%s)" % describe(content, content_b))
        if diff:
            return lines + ["first differing %s member: %s: %s" % (what, name, "; ".join(diff))]
    return lines or ["%s members identical; the archive's own headers differ: %s" % (what, first_byte(a, b))]


def gzip_header(data):
    flags, mtime, xfl, system = struct.unpack_from("<BIBB", data, 3)
    pos, name = 10, None
    if flags & 4:  # FEXTRA
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    if flags & 8:  # FNAME
        name = data[pos : data.index(b"\0", pos)].decode("latin-1")
    return {"flags": flags, "mtime": mtime, "xfl": xfl, "os": system, "file name": name}


def compare(a, b):
    if a[:2] == b[:2] == b"\x1f\x8b":
        ha, hb = gzip_header(a), gzip_header(b)
        lines = ["gzip header: %s %r vs %r" % (k, ha[k], hb[k]) for k in ha if ha[k] != hb[k]]
        a, b = gzip.decompress(a), gzip.decompress(b)
        if a == b:
            return lines or ["gzip streams differ, contents identical (another zlib or level?)"]
        try:
            return lines + compare_members("tar", tar_members(a), tar_members(b), a, b)
        except tarfile.TarError:
            return lines + ["gzip contents: " + describe(a, b)]
    if a[:4] == b[:4] == b"PK\x03\x04":
        return compare_members("zip", zip_members(a), zip_members(b), a, b)
    return [describe(a, b)]


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: repro.py A B")
    try:
        with open(argv[1], "rb") as f, open(argv[2], "rb") as g:
            a, b = f.read(), g.read()
    except OSError as e:
        sys.exit("repro.py: %s" % e)
    if a == b:
        print("identical: %s (sha256 %s)" % (argv[1], hashlib.sha256(a).hexdigest()))
        return 0
    print("DIFFER: %s and %s" % (argv[1], argv[2]))
    for line in compare(a, b):
        print("  " + line)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
