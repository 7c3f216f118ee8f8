"""tools/mkhelp.py, the help compiler: the file it writes is one WinHelp
can load (its header, directory and internal files), the HTML page it writes
holds every topic and is well formed, and a faulty source gets a clear error
naming the line, with no output written."""
import importlib.util
import struct
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest

from resources import read_version

MKHELP = Path(__file__).resolve().parents[2] / "tools" / "mkhelp.py"
SOURCE = Path(__file__).resolve().parents[2] / "res" / "help" / "quillmar-help.txt"
VERSION = "%d.%d" % read_version()
TIMEOUT = 60


def compile_help(source, output):
    return subprocess.run([sys.executable, str(MKHELP), "-D", f"VERSION={VERSION}", str(source), str(output)],
                          capture_output=True, text=True, timeout=TIMEOUT)


def internal_files(data):
    """The directory of a help file: internal file name -> its data."""
    magic, directory, _, size = struct.unpack_from("<IIiI", data, 0)
    assert magic == 0x00035F3F and size == len(data)
    tree = directory + 9
    assert struct.unpack_from("<H", data, tree)[0] == 0x293B
    page_size = struct.unpack_from("<H", data, tree + 4)[0]
    levels, entries = struct.unpack_from("<HI", data, tree + 32)
    assert levels == 1
    page = tree + 38
    assert struct.unpack_from("<h", data, page + 2)[0] == entries
    files, at = {}, page + 8
    for _ in range(entries):
        end = data.index(b"\0", at)
        name = data[at:end].decode()
        offset = struct.unpack_from("<I", data, end + 1)[0]
        reserved, used = struct.unpack_from("<II", data, offset)
        assert reserved == used + 9
        files[name] = data[offset + 9: offset + 9 + used]
        at = end + 5
    assert at <= page + page_size
    return files


def test_the_help_file_has_what_winhelp_needs(tmp_path):
    output = tmp_path / "Quillmar.hlp"
    done = compile_help(SOURCE, output)
    assert done.returncode == 0, done.stderr
    files = internal_files(output.read_bytes())
    assert sorted(files) == ["|CONTEXT", "|FONT", "|SYSTEM", "|TOPIC"]
    magic, minor, major = struct.unpack_from("<3H", files["|SYSTEM"], 0)
    assert (magic, minor, major) == (0x036C, 21, 1)
    assert b"Quillmar Help\0" in files["|SYSTEM"]
    assert len(files["|TOPIC"]) % 4096 == 0, "whole topic blocks"
    # The Japanese labels of the dialogs are in Shift-JIS.
    assert "待ち受けポート".encode("cp932") in files["|TOPIC"]


@pytest.mark.parametrize("source, line, message", [
    ("title T\ntopic a A\nSee [[b|B]].\n", 3, "the jump to 'b' names no topic"),
    ("title T\ntopic a A\n\ntopic A again\n", 4, "context id 'A' was used on line 2"),
    ("title T\nText first.\ntopic a A\n", 2, "text before the first \"topic\""),
    ("title T\ntopic a-b A\n", 2, "may hold only letters"),
    ("title T\ntopic a A\nA [[a|]] jump.\n", 3, "shows no text"),
    ("topic a A\ntext\n", None, "no \"title\" line"),
    ("title T\ntopic a A\nVer @NOPE@\n", 3, "@NOPE@ has no value"),
])
def test_a_faulty_source_is_refused_with_its_line_and_no_output(tmp_path, source, line, message):
    path = tmp_path / "help.txt"
    path.write_text(source, encoding="utf-8")
    output = tmp_path / "Quillmar.hlp"
    done = compile_help(path, output)
    assert done.returncode == 1
    where = f"{path}:{line}" if line else f"{path}"
    assert done.stderr.startswith(f"{where}: error: ") and message in done.stderr, done.stderr
    assert not output.exists() and not Path(str(output) + ".tmp").exists()


class PageReader(HTMLParser):
    """Each section's blocks (headings, paragraphs, list items) as text, the
    links, the character set, and every tag closed in order."""
    VOID = {"meta"}
    BLOCKS = {"h1", "h2", "p", "li"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open, self.sections, self.links, self.charset = [], {}, [], None
        self.section = self.block = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag not in self.VOID:
            self.open.append(tag)
        if tag == "meta" and "charset" in attrs:
            self.charset = attrs["charset"]
        elif tag == "section":
            self.section = attrs["id"]
            self.sections[self.section] = []
        elif tag in self.BLOCKS and self.section:
            self.block = []
        elif tag == "a":
            self.links.append((self.section, attrs["href"]))

    def handle_endtag(self, tag):
        assert self.open[-1:] == [tag], f"</{tag}> closes {self.open[-1:]}"
        self.open.pop()
        if tag in self.BLOCKS and self.block is not None:
            self.sections[self.section].append("".join(self.block))
            self.block = None
        elif tag == "section":
            self.section = None

    def handle_data(self, data):
        if self.block is not None:
            self.block.append(data)


def test_the_html_page_holds_every_topic_in_order_and_is_well_formed(tmp_path):
    output = tmp_path / "Quillmar.html"
    done = compile_help(SOURCE, output)
    assert done.returncode == 0, done.stderr
    page = PageReader()
    page.feed(output.read_bytes().decode("utf-8"))
    page.close()
    assert page.open == [] and page.charset.lower() == "utf-8"

    # What the page must say, from the source as the compiler reads it.
    spec = importlib.util.spec_from_file_location("mkhelp", MKHELP)
    mkhelp = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mkhelp)
    _, _, topics = mkhelp.parse(SOURCE.read_text(encoding="utf-8"), {"VERSION": VERSION})
    sections, links = {}, []
    for topic in topics:
        sections[topic.context] = [topic.title]
        for kind, text, line in topic.paragraphs:
            pieces, jumps = mkhelp.split_jumps(text[2:] if kind == "item" else text, line)
            shown = [jump[1] for jump in jumps] + [""]
            sections[topic.context].append("".join(p + s for p, s in zip(pieces, shown)))
            links += [(topic.context, "#" + target) for target, _ in jumps]
    assert list(page.sections.items()) == list(sections.items())
    assert page.links == links
