"""Quillmar's resources as the tests see them: the ids and the version of
res/resource.h and res/version.h, and the dialog templates and the version
record read back out of a built Quillmar.exe (its .rsrc section). Pure
Python; needs neither Wine nor the rig."""
import re
import struct
from collections import namedtuple
from pathlib import Path

RESOURCE_H = Path(__file__).resolve().parents[2] / "res" / "resource.h"
VERSION_H = RESOURCE_H.with_name("version.h")
RT_DIALOG = 5
RT_VERSION = 16
RT_MANIFEST = 24
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
RESOURCE_DIRECTORY = 2          # the index of the resource table among the data directories

Dialog = namedtuple("Dialog", "style exstyle rect menu caption font controls")
VersionInfo = namedtuple("VersionInfo", "file_version product_version strings")
_VersionNode = namedtuple("_VersionNode", "key value children end")
Control = namedtuple("Control", "id cls style exstyle rect text")

# The predefined classes a template names by number.
CLASS_ORDINALS = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox", 0x84: "ScrollBar",
                  0x85: "ComboBox"}
_DEFINE = re.compile(r"^\s*#\s*define\s+(\w+)\s+\(?\s*(-?(?:0[xX][0-9a-fA-F]+|\d+))\s*\)?\s*(?://.*)?$")


def read_defines(path=RESOURCE_H):
    """Every `#define NAME number` of a header (a number in parentheses and a
    trailing // comment allowed): {NAME: int}."""
    defines = {}
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        match = _DEFINE.match(line)
        if match:
            defines[match.group(1)] = int(match.group(2), 0)
    return defines


def read_version(path=VERSION_H):
    """(major, minor) of res/version.h."""
    defines = read_defines(path)
    return defines["QUILLMAR_VERSION_MAJOR"], defines["QUILLMAR_VERSION_MINOR"]


def _resource_section(data):
    """(bytes of the resource section, its RVA)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    directories = optional + {0x10B: 96, 0x20B: 112}[struct.unpack_from("<H", data, optional)[0]]
    rva, size = struct.unpack_from("<II", data, directories + 8 * RESOURCE_DIRECTORY)
    for index in range(sections):
        header = optional + optional_size + 40 * index
        virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
        if address <= rva < address + max(virtual_size, raw_size):
            start = raw + rva - address
            return data[start:start + size], rva
    raise ValueError("no section holds the resource table")


def _entries(section, offset):
    """The entries of one resource directory: [(id or name, offset, is a directory)]."""
    named, numbered = struct.unpack_from("<12xHH", section, offset)
    entries = []
    for index in range(named + numbered):
        name, target = struct.unpack_from("<II", section, offset + 16 + 8 * index)
        if name & 0x80000000:
            length = struct.unpack_from("<H", section, name & 0x7FFFFFFF)[0]
            start = (name & 0x7FFFFFFF) + 2
            name = section[start:start + 2 * length].decode("utf-16-le")
        entries.append((name, target & 0x7FFFFFFF, bool(target & 0x80000000)))
    return entries


def resources(exe_path, resource_type):
    """{resource id or name: bytes} of one type, first language of each."""
    section, rva = _resource_section(Path(exe_path).read_bytes())
    found = {}
    for kind, kind_offset, _ in _entries(section, 0):
        if kind != resource_type:
            continue
        for name, name_offset, _ in _entries(section, kind_offset):
            _, leaf, _ = _entries(section, name_offset)[0]
            data_rva, size = struct.unpack_from("<II", section, leaf)
            found[name] = section[data_rva - rva:data_rva - rva + size]
    return found


class _Reader:
    def __init__(self, data):
        self.data, self.offset = data, 0

    def take(self, layout):
        values = struct.unpack_from("<" + layout, self.data, self.offset)
        self.offset += struct.calcsize("<" + layout)
        return values if len(values) > 1 else values[0]

    def align(self):
        self.offset = (self.offset + 3) & ~3

    def string(self):
        end = self.offset
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text = self.data[self.offset:end].decode("utf-16-le")
        self.offset = end + 2
        return text

    def string_or_ordinal(self):
        """A template's sz_Or_Ord: None, an ordinal (int) or a string."""
        first = self.take("H")
        if first == 0x0000:
            return None
        if first == 0xFFFF:
            return self.take("H")
        self.offset -= 2
        return self.string()


def parse_dialog(data):
    """One DLGTEMPLATE or DLGTEMPLATEEX as a Dialog. Ids are signed (IDC_STATIC
    is -1); a class given by ordinal is its name from CLASS_ORDINALS; a text
    given by ordinal (an icon's resource id) is an int, no text is ""."""
    reader = _Reader(data)
    extended = struct.unpack_from("<HH", data, 0) == (1, 0xFFFF)
    if extended:
        _, exstyle, style, count = reader.take("4xIIIH")
    else:
        style, exstyle, count = reader.take("IIH")
    rect = reader.take("4h")
    menu, window_class, caption = reader.string_or_ordinal(), reader.string_or_ordinal(), reader.string()
    font = None
    if style & 0x48:            # DS_SETFONT or DS_SHELLFONT
        if extended:
            size, weight, italic, charset = reader.take("HHBB")
            font = (size, weight, italic, charset, reader.string())
        else:
            font = (reader.take("H"), reader.string())
    assert window_class is None, "Quillmar's dialogs are of the system dialog class"
    controls = []
    for _ in range(count):
        reader.align()
        if extended:
            _, item_exstyle, item_style, x, y, cx, cy, item_id = reader.take("IIIhhhhi")
        else:
            item_style, item_exstyle, x, y, cx, cy, item_id = reader.take("IIhhhhh")
        cls = reader.string_or_ordinal()
        text = reader.string_or_ordinal() or ""
        extra = reader.take("H")                # creation data, unused by Quillmar
        reader.offset += extra
        controls.append(Control(item_id, CLASS_ORDINALS.get(cls, cls), item_style, item_exstyle, (x, y, cx, cy),
                                text))
    return Dialog(style, exstyle, rect, menu, caption, font, controls)


def dialogs(exe_path):
    """{dialog id: Dialog} of every dialog template in the executable."""
    return {name: parse_dialog(data) for name, data in resources(exe_path, RT_DIALOG).items()}


def _version_node(data, offset):
    """One node of a version record: its key, its value (text, or bytes) and
    the nodes within it. A text value's length counts UTF-16 units."""
    length, value_length, is_text = struct.unpack_from("<3H", data, offset)
    end = offset + length
    reader = _Reader(data)
    reader.offset = offset + 6
    key = reader.string()
    reader.align()
    value_end = min(end, reader.offset + value_length * (2 if is_text else 1))
    value = data[reader.offset:value_end]
    if is_text:
        value = value.decode("utf-16-le").rstrip("\0")
    children, reader.offset = [], value_end
    reader.align()
    while reader.offset < end:
        children.append(_version_node(data, reader.offset))
        reader.offset = children[-1].end
        reader.align()
    return _VersionNode(key, value, children, end)


def version_info(exe_path):
    """The executable's version record: the two four-part numbers of its
    fixed part, and {name: text} of its string tables."""
    (data,) = resources(exe_path, RT_VERSION).values()
    root = _version_node(data, 0)
    assert root.key == "VS_VERSION_INFO", root.key
    signature, _, file_high, file_low, product_high, product_low = struct.unpack_from("<6I", root.value)
    assert signature == FIXED_FILE_INFO_SIGNATURE

    def parts(high, low):
        return high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF

    strings = {string.key: string.value for block in root.children if block.key == "StringFileInfo"
               for table in block.children for string in table.children}
    return VersionInfo(parts(file_high, file_low), parts(product_high, product_low), strings)
