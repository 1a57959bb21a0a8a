"""What a built file defines, read through pyelftools: the symbols of each
ELF file or archive member, and whether its symbol table still names its
code. The symbol table decides, not how many bytes symbols cover: padding
between short functions is code no symbol names in a file that is whole."""

import io
import re
import struct

from elftools.common.exceptions import ELFError
from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

# Code the linker makes, which no symbol of the sources names.
LINKER_CODE = re.compile(r"^\.(i?plt|init|fini)\b")
# Symbol types: those that may name code (a function, an indirect one, an
# assembler label), a section's and a file's.
NAMED = (2, 10, 0)
STT_SECTION, STT_FILE = 3, 4
STB_LOCAL = 0
# The symbol GCC's objects of link-time optimisation define when they hold
# no machine code, only the compiler's own form of it ("slim" ones).
GCC_LTO_SLIM = "__gnu_lto_slim"


# Objects of link-time optimisation: LLVM bitcode, bare or wrapped.
BITCODE = (b"BC\xc0\xde", b"\xde\xc0\x17\x0b")


class Unreadable(Exception):
    pass


def members(path):
    """[(member, its bytes)]: ("", the file) for an ELF file, an archive's
    members in its order (two may share a name)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == b"\x7fELF":
        return [("", data)]
    if not data.startswith(b"!<arch>\n"):
        raise Unreadable("neither an ELF file nor an archive")
    found, names, at = [], b"", 8
    while at + 60 <= len(data):
        header = data[at:at + 60]
        if header[58:60] != b"`\n" or not header[48:58].strip().isdigit():
            raise Unreadable("a damaged archive")
        name, size = header[:16].decode("latin-1").rstrip(), int(header[48:58])
        body = data[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)
        if name == "//":
            names = body
        elif name.startswith("/") and name[1:].isdigit():
            start = int(name[1:])
            found.append((names[start:names.find(b"/\n", start)].decode("latin-1"), body))
        elif name not in ("/", "/SYM64/"):
            found.append((name[:-1] if name.endswith("/") else name, body))
    return found


def uleb(data, at, signed=False):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            if signed and byte & 0x40:
                value -= 1 << shift
            return value, at


# Pointer encodings of the unwind table: format -> struct code.
FORMATS = {0x00: "<Q", 0x02: "<H", 0x03: "<I", 0x04: "<Q", 0x0A: "<h", 0x0B: "<i", 0x0C: "<q"}


def pointer(data, at, encoding):
    """(value, end) of a pointer in the encoding, without its base."""
    if encoding & 0x0F in (0x01, 0x09):
        return uleb(data, at, encoding & 0x0F == 0x09)
    code = FORMATS[encoding & 0x0F]
    return struct.unpack_from(code, data, at)[0], at + struct.calcsize(code)


def fde_encoding(data, at):
    """The encoding of the start address in the FDEs of the CIE whose
    version byte is at `at`."""
    version = data[at]
    end = data.index(b"\0", at + 1)
    augmentation = data[at + 1:end].decode("latin-1")
    at = end + 1 + (8 if "eh" in augmentation else 0)
    at = uleb(data, uleb(data, at)[1], True)[1]
    at = at + 1 if version == 1 else uleb(data, at)[1]
    if not augmentation.startswith("z"):
        return 0
    at = uleb(data, at)[1]
    for letter in augmentation[1:]:
        if letter == "R":
            return data[at]
        if letter == "L":
            at += 1
        elif letter == "P":
            at = pointer(data, at + 1, data[at] & 0x0F)[1]
        elif letter not in "SB":
            break
    return 0


class Symbol:
    __slots__ = ("name", "kind", "local", "section", "value")

    def __init__(self, name, kind, local, section, value):
        self.name, self.kind, self.local = name, kind, local
        self.section, self.value = section, value


def entries(elf, section, fields):
    """The section's entries, decoded with struct: pyelftools decodes one
    entry at a time, at a hundred times the cost, and a program has tens of
    thousands."""
    wide = elf.elfclass == 64
    code = ("<" if elf.little_endian else ">") + fields[wide]
    return struct.iter_unpack(code, section.data()) if section["sh_size"] else iter(())


def symbols(elf, sections, table):
    """The table's symbols in order: name, type (STT_*), whether it is local
    (STB_LOCAL), section index (SHN_UNDEF 0, or 0xfff1 and up for absolute
    and common ones), value."""
    strings = sections[table["sh_link"]].data()
    found = []
    for entry in entries(elf, table, ("IIIBBH", "IBBHQQ")):
        if elf.elfclass == 64:
            name, info, _, where, value, _ = entry
        else:
            name, value, _, info, _, where = entry
        found.append(Symbol(strings[name:strings.index(b"\0", name)].decode("latin-1"),
                            info & 0xF, info >> 4 == STB_LOCAL, where, value))
    return found


def function_starts(elf, sections, index):
    """Where each function of the unwind table (.eh_frame, sections[index])
    starts: its address in a linked file, else (section index, offset), by
    the relocation that places it."""
    frame = sections[index]
    data, linked = frame.data(), elf["e_type"] != "ET_REL"
    encodings, fields, at = {}, [], 0
    while at + 8 <= len(data):
        length = struct.unpack_from("<I", data, at)[0]
        if length == 0xFFFFFFFF:
            break  # 64-bit entries: compilers do not write them
        body, at = at + 4, at + 4 + length
        if length == 0:
            continue
        ident = struct.unpack_from("<I", data, body)[0]
        if ident == 0:
            encodings[body - 4] = fde_encoding(data, body + 4)
        else:
            fields.append((body + 4, encodings.get(body - ident)))
    if linked:
        starts = []
        for field, encoding in fields:
            if encoding is None or encoding & 0x80 or encoding & 0x70 not in (0x00, 0x10):
                continue
            value = pointer(data, field, encoding)[0]
            if encoding & 0x70 == 0x10:
                value = (value + frame["sh_addr"] + field) & 0xFFFFFFFFFFFFFFFF
            starts.append(value)
        return starts
    placed = {}
    for section in sections:
        if section["sh_type"] in ("SHT_RELA", "SHT_REL") and section["sh_info"] == index:
            table = symbols(elf, sections, sections[section["sh_link"]])
            shift = 32 if elf.elfclass == 64 else 8
            rela = section["sh_type"] == "SHT_RELA"
            for entry in entries(elf, section, ("III", "QQq") if rela else ("II", "QQ")):
                placed[entry[0]] = (table[entry[1] >> shift], entry[2] if rela else 0)
    starts = []
    for field, _ in fields:
        if field in placed:
            symbol, addend = placed[field]
            if 0 < symbol.section < 0xFF00:
                starts.append((symbol.section, symbol.value + addend))
    return starts


class Layout:
    """One ELF file or member: the symbols it defines, each a name and, for a
    local one, the source file it was compiled from (the name of the file
    symbol before it: a compiler writes one per translation unit, and a
    linker keeps each object's locals after it; "" when none names it), or
    None for a global one; how many bytes of code and data it holds, its code
    sections that no symbol names, and the functions of its unwind table
    that start at no symbol."""

    def __init__(self, data):
        if data[:4] in BITCODE:
            raise Unreadable("LLVM bitcode, whose symbols only the compiler knows")
        try:
            elf = ELFFile(io.BytesIO(data))
            sections = list(elf.iter_sections())
            self.read(elf, sections)
        except (ELFError, struct.error, ValueError, IndexError) as error:
            raise Unreadable(str(error) or type(error).__name__)

    def read(self, elf, sections):
        linked = elf["e_type"] != "ET_REL"
        code = {i for i, s in enumerate(sections)
                if s["sh_type"] == "SHT_PROGBITS" and s["sh_flags"] & SH_FLAGS.SHF_EXECINSTR
                and s["sh_size"] and not LINKER_CODE.match(s.name)}
        self.payload = sum(s["sh_size"] for s in sections
                           if s["sh_flags"] & SH_FLAGS.SHF_ALLOC and s["sh_type"] != "SHT_NOTE")
        self.symbols, starts, named = [], set(), set()
        tables = [symbols(elf, sections, table) for table in sections
                  if table["sh_type"] == "SHT_SYMTAB"]
        # An object of link-time optimisation with machine code beside the
        # compiler's form of it ("fat") has the symbol table of that code; a
        # slim one has none, only the compiler knows what it defines.
        if any(s.name.startswith(".gnu.lto_") for s in sections) and (
                not code or any(symbol.name == GCC_LTO_SLIM and symbol.section
                                for table in tables for symbol in table)):
            raise Unreadable("a GCC link-time optimisation object without machine code (slim),"
                             " whose symbols only the compiler knows")
        for table in tables:
            source = ""
            for symbol in table:
                if symbol.kind == STT_FILE:
                    source = symbol.name
                    continue
                # Defined, and not a section's name.
                if symbol.section == 0 or symbol.kind == STT_SECTION or not symbol.name:
                    continue
                self.symbols.append((symbol.name, source if symbol.local else None))
                if symbol.kind in NAMED and symbol.section < 0xFF00:
                    named.add(symbol.section)
                    starts.add(symbol.value if linked else (symbol.section, symbol.value))
        self.unnamed_code = sorted(sections[i].name for i in code - named)
        self.functions = self.orphans = 0
        spans = [(sections[i]["sh_addr"], sections[i]["sh_addr"] + sections[i]["sh_size"])
                 for i in code]
        for index, frame in enumerate(sections):
            if frame.name != ".eh_frame" or frame["sh_type"] != "SHT_PROGBITS":
                continue
            for start in function_starts(elf, sections, index):
                if (start[0] in code if not linked
                        else any(lo <= start < hi for lo, hi in spans)):
                    self.functions += 1
                    self.orphans += start not in starts
