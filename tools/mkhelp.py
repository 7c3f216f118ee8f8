#!/usr/bin/python3
"""mkhelp.py: turn a plain-text help source into a WinHelp (.hlp) file, or
into one HTML page with the same topics.

Usage: python3 tools/mkhelp.py [-D NAME=VALUE]... SOURCE-FILE OUTPUT-FILE

An OUTPUT-FILE whose name ends in .html gets the HTML page, any other the
WinHelp file. Standard library only; the build runs it to make Quillmar.hlp
and Quillmar.html from res/help/quillmar-help.txt, with -D VERSION=... from
res/version.h.

Source format (plain text, UTF-8, one statement a line; the notes on the
right are not part of the file):

    # A comment line.                          ignored
    title Quillmar Help                        the help file's title, once, first
    copyright (c) Quillmar                     optional, once
    topic contents Quillmar                    a topic: its context id, then its title
    The first paragraph of the topic, which    a paragraph: lines up to the next
    may go on over several lines.              blank line, joined by one space

    - An item of a list.                       a line starting with "- " is a
    - Another item.                            paragraph of its own, indented
    See [[serial|the serial port]].            a jump: [[context id|text shown]]
    Quillmar Ver @VERSION@                     @NAME@ (capitals, digits, '_') is the
                                               value given with -D NAME=VALUE

- The first topic is the one WinHelp shows first (the contents).
- A context id is letters, digits, '_' and '.'; each is used once. Every
  jump names a topic of the file.
- Text that is all ASCII is written in code page 1252; text with Japanese
  characters makes the file a Japanese one (Shift-JIS, code page 932).

Output: a WinHelp 3.1 file without compression: the internal file system
(a header, the internal files, a directory B+ tree), with |SYSTEM (version
and title), |TOPIC (topic headers and display paragraphs in 4 KB blocks),
|FONT (two faces in two sizes), and |CONTEXT (a B+ tree of the context ids'
hashes, which WinHelp needs to load the file and to follow jumps).

The HTML page (UTF-8) holds the title, each topic as a section whose id is
its context id, with the topic's title as a heading, its paragraphs and its
lists, each jump as a link to the section it names, and the copyright at the
end.

Any mistake in the source stops the script with "FILE:LINE: error: ..." on
stderr and exit status 1, and no output file is written.
"""

import argparse
import html
import os
import re
import struct
import sys

FILE_MAGIC = 0x00035F3F
BTREE_MAGIC = 0x293B
SYSTEM_MAGIC = 0x036C
HELP_MINOR_VERSION = 21     # WinHelp 3.1
HELP_MAJOR_VERSION = 1
NO_COMPRESSION = 0
FILE_FLAGS = 4              # an ordinary internal file
NO_POSITION = 0xFFFFFFFF
NO_PAGE = 0xFFFF

TOPIC_BLOCK_SIZE = 0x1000
TOPIC_BLOCK_HEADER = 12
TOPIC_BLOCK_DATA = TOPIC_BLOCK_SIZE - TOPIC_BLOCK_HEADER
# A position in |TOPIC counts 16 KB per block: block * 0x4000 + 12 + offset.
TOPIC_POSITION_BLOCK = 0x4000
# A topic offset (for browsing and |CONTEXT) counts characters, 32 K a block.
TOPIC_OFFSET_BLOCK = 0x8000

RECORD_TOPIC_HEADER = 0x02
RECORD_DISPLAY = 0x20
LINK_HEADER_SIZE = 21

SYSTEM_TITLE = 1
SYSTEM_COPYRIGHT = 2
SYSTEM_CHARSET = 11
SHIFTJIS_CHARSET = 128

DIRECTORY_PAGE_SIZE = 0x400
CONTEXT_PAGE_SIZE = 0x800
FACE_NAME_SIZE = 32

# Paragraph format commands.
CMD_FONT = 0x80
CMD_END_PARAGRAPH = 0x82
CMD_JUMP = 0xE3
CMD_END_HOTSPOT = 0x89
CMD_END = 0xFF
# Paragraph attribute bits.
SPACE_AFTER = 0x0004
LEFT_INDENT = 0x0010
PARAGRAPH_SPACE = 6         # half points
LIST_INDENT = 20

FONT_TEXT, FONT_HEADING = 0, 1
SWISS = 3
BOLD = 1


class SourceError(Exception):
    def __init__(self, line, message):
        super().__init__(message)
        self.line = line


class Topic:
    def __init__(self, line, context, title):
        self.line = line
        self.context = context
        self.title = title
        self.paragraphs = []     # (kind, text, line): kind 'text' or 'item'


DEFINE_NAME = r'[A-Z][A-Z0-9_]*'
PLACEHOLDER = re.compile('@(%s)@' % DEFINE_NAME)


def parse(text, defines=None):
    """Read a help source, its @NAME@ replaced from defines; return (title,
    copyright, topics)."""
    defines = defines or {}
    title = copyright = None
    topics = []
    paragraph, paragraph_line = [], None

    def end_paragraph():
        nonlocal paragraph, paragraph_line
        if paragraph:
            topics[-1].paragraphs.append(('text', ' '.join(paragraph), paragraph_line))
        paragraph, paragraph_line = [], None

    for num, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if line.startswith('#'):
            continue
        for name in PLACEHOLDER.findall(line):
            if name not in defines:
                raise SourceError(num, '@%s@ has no value: give -D %s=VALUE' % (name, name))
        line = PLACEHOLDER.sub(lambda match: defines[match.group(1)], line)
        if not line:
            if topics:
                end_paragraph()
            continue
        word, rest = (line.split(None, 1) + [''])[:2]
        if word == 'title' and not topics:
            if title is not None:
                raise SourceError(num, 'title given twice')
            title = rest
        elif word == 'copyright' and not topics:
            if copyright is not None:
                raise SourceError(num, 'copyright given twice')
            copyright = rest
        elif word == 'topic' and not paragraph:
            parts = rest.split(None, 1)
            if len(parts) != 2:
                raise SourceError(num, 'expected "topic CONTEXT-ID TITLE"')
            context, topic_title = parts
            if not re.fullmatch(r'[A-Za-z0-9_.]+', context):
                raise SourceError(num, 'context id %r may hold only letters, digits, "_" and "."' % context)
            for other in topics:
                if other.context.lower() == context.lower():
                    raise SourceError(num, 'context id %r was used on line %d' % (context, other.line))
            topics.append(Topic(num, context, topic_title))
        elif not topics:
            raise SourceError(num, 'text before the first "topic"')
        elif line.startswith('- '):
            end_paragraph()
            topics[-1].paragraphs.append(('item', line, num))
        else:
            if paragraph_line is None:
                paragraph_line = num
            paragraph.append(line)
    if topics:
        end_paragraph()
    if title is None:
        raise SourceError(None, 'no "title" line')
    if not topics:
        raise SourceError(None, 'no topic')
    contexts = {topic.context.lower() for topic in topics}
    for topic in topics:
        for _, paragraph_text, line in topic.paragraphs:
            for target, shown in split_jumps(paragraph_text, line)[1]:
                if target.lower() not in contexts:
                    raise SourceError(line, 'the jump to %r names no topic' % target)
    return title, copyright, topics


JUMP = re.compile(r'\[\[([^|\]]*)\|([^\]]*)\]\]')


def split_jumps(text, line):
    """Split a paragraph into its plain pieces and its jumps:
    (['before', 'between', 'after'], [(target, shown), ...])."""
    pieces, jumps, start = [], [], 0
    for match in JUMP.finditer(text):
        if not match.group(2):
            raise SourceError(line, 'the jump to %r shows no text' % match.group(1))
        pieces.append(text[start:match.start()])
        jumps.append((match.group(1), match.group(2)))
        start = match.end()
    pieces.append(text[start:])
    if '[[' in ''.join(pieces) or ']]' in ''.join(pieces):
        raise SourceError(line, 'a jump is written [[context-id|text]]')
    return pieces, jumps


def context_hash(context):
    """WinHelp's hash of a context id, as a signed 32-bit number."""
    value = 0
    for c in context:
        if 'A' <= c <= 'Z' or 'a' <= c <= 'z':
            x = ord(c.upper()) - ord('A') + 17
        elif '1' <= c <= '9':
            x = ord(c) - ord('0')
        elif c == '0':
            x = 10
        elif c == '.':
            x = 12
        else:   # '_', the only other character a context id may hold
            x = 13
        value = (value * 43 + x) & 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


# The compressed numbers of the paragraph records: the low bit of the first
# byte says whether the short or the long form follows.
def compressed_long(value):
    if -0x4000 <= value < 0x4000:
        return struct.pack('<H', 0x8000 + 2 * value)
    return struct.pack('<I', 0x80000000 + 2 * value + 1)


def compressed_ushort(value):
    if value < 0x80:
        return struct.pack('<B', 2 * value)
    if value >= 0x8000:
        raise ValueError('paragraph too long')
    return struct.pack('<H', 2 * value + 1)


def compressed_short(value):
    if -0x40 <= value < 0x40:
        return struct.pack('<B', 0x80 + 2 * value)
    return struct.pack('<H', 0x8000 + 2 * value + 1)


class Link:
    """One topic link: a record of |TOPIC before its positions are known."""

    def __init__(self, record_type, data1, data2, characters=0):
        self.record_type = record_type
        self.data1 = data1
        self.data2 = data2
        self.characters = characters    # what the paragraph counts for topic offsets
        self.start = 0                  # offset in the stream of block data
        self.topic_offset = 0           # for topic headers

    def size(self):
        return LINK_HEADER_SIZE + len(self.data1) + len(self.data2)


def paragraph_link(pieces, jumps, font, bits, encode):
    """A display paragraph: text strings alternating with format commands."""
    attributes = b''
    if bits & SPACE_AFTER:
        attributes += compressed_short(PARAGRAPH_SPACE)
    if bits & LEFT_INDENT:
        attributes += compressed_short(LIST_INDENT)
    strings = [b'']
    commands = [struct.pack('<BH', CMD_FONT, font)]
    characters = 0
    for index, piece in enumerate(pieces):
        strings.append(encode(piece))
        characters += len(strings[-1])
        if index < len(jumps):
            commands.append(struct.pack('<Bi', CMD_JUMP, context_hash(jumps[index][0])))
            strings.append(encode(jumps[index][1]))
            characters += len(strings[-1])
            commands.append(struct.pack('<B', CMD_END_HOTSPOT))
    commands.append(struct.pack('<B', CMD_END_PARAGRAPH))
    characters += 1
    strings.append(b'')
    commands.append(struct.pack('<B', CMD_END))
    text = b''.join(s + b'\0' for s in strings)
    # Two bytes of no known use precede the attribute bits, as in every file.
    data1 = (compressed_long(len(text)) + compressed_ushort(characters) + b'\x00\x80\x00\x00' +
             struct.pack('<H', bits) + attributes + b''.join(commands))
    return Link(RECORD_DISPLAY, data1, text, characters)


def topic_links(topics, encode):
    """Every link of |TOPIC, in order, and the header link of each topic."""
    links, headers = [], []
    for topic in topics:
        header = Link(RECORD_TOPIC_HEADER, bytes(28), encode(topic.title))
        header.topic = topic
        links.append(header)
        headers.append(header)
        links.append(paragraph_link([topic.title], [], FONT_HEADING, SPACE_AFTER, encode))
        for kind, text, line in topic.paragraphs:
            pieces, jumps = split_jumps(text, line)
            bits = SPACE_AFTER | (LEFT_INDENT if kind == 'item' else 0)
            links.append(paragraph_link(pieces, jumps, FONT_TEXT, bits, encode))
    return links, headers


def position(stream_offset):
    block, offset = divmod(stream_offset, TOPIC_BLOCK_DATA)
    return block * TOPIC_POSITION_BLOCK + TOPIC_BLOCK_HEADER + offset


def build_topic_file(links, headers):
    """Lays the links out in 4 KB blocks and fills in every position."""
    stream = 0
    for link in links:
        link.start = stream
        stream += link.size()
    # Topic offsets count the characters of the paragraphs that start in the
    # same block before the topic, as WinHelp counts them.
    block, characters = None, 0
    for link in links:
        link_block = link.start // TOPIC_BLOCK_DATA
        if link_block != block:
            block, characters = link_block, 0
        if link.record_type == RECORD_TOPIC_HEADER:
            link.topic_offset = link_block * TOPIC_OFFSET_BLOCK + characters
        characters += link.characters

    for number, header in enumerate(headers):
        index = links.index(header)
        following = headers[number + 1] if number + 1 < len(headers) else None
        end = following.start if following else stream
        header.data1 = struct.pack(
            '<7I', end - header.start,
            headers[number - 1].topic_offset if number > 0 else NO_POSITION,
            following.topic_offset if following else NO_POSITION,
            number,
            NO_POSITION,                            # no non-scrolling region
            position(links[index + 1].start),       # the scrolling region
            position(following.start) if following else NO_POSITION)

    data = bytearray()
    for number, link in enumerate(links):
        previous = position(links[number - 1].start) if number > 0 else NO_POSITION
        following = position(links[number + 1].start) if number + 1 < len(links) else NO_POSITION
        data1_end = LINK_HEADER_SIZE + len(link.data1)
        data += struct.pack('<5IB', link.size(), len(link.data2), previous, following, data1_end,
                            link.record_type)
        data += link.data1 + link.data2

    # Each block starts with where the links around it are; the last block is
    # filled up, so that a reader may take every block whole.
    blocks = bytearray()
    for start in range(0, len(data), TOPIC_BLOCK_DATA):
        block_end = start + TOPIC_BLOCK_DATA
        before = [link for link in links if link.start < start]
        first = [link for link in links if start <= link.start < block_end]
        headers_before = [link for link in headers if link.start < start]
        blocks += struct.pack('<3I',
                              position(before[-1].start) if before else NO_POSITION,
                              position(first[0].start) if first else NO_POSITION,
                              position(headers_before[-1].start) if headers_before else NO_POSITION)
        blocks += data[start:block_end].ljust(TOPIC_BLOCK_DATA, b'\0')
    return bytes(blocks)


def build_system_file(title, copyright, encode, japanese):
    data = struct.pack('<3HIH', SYSTEM_MAGIC, HELP_MINOR_VERSION, HELP_MAJOR_VERSION, 0, NO_COMPRESSION)

    def record(kind, body):
        return struct.pack('<2H', kind, len(body)) + body

    data += record(SYSTEM_TITLE, encode(title) + b'\0')
    if copyright is not None:
        data += record(SYSTEM_COPYRIGHT, encode(copyright) + b'\0')
    if japanese:
        data += record(SYSTEM_CHARSET, struct.pack('<H', SHIFTJIS_CHARSET))
    return data


def build_font_file(japanese, encode):
    faces = ['ＭＳ Ｐゴシック'] if japanese else ['Arial']
    names = b''.join(encode(face).ljust(FACE_NAME_SIZE, b'\0')[:FACE_NAME_SIZE] for face in faces)
    descriptors = [  # attributes, half points, family, face
        (0, 20, SWISS, 0),          # FONT_TEXT: 10 points
        (BOLD, 28, SWISS, 0),       # FONT_HEADING: 14 points, bold
    ]
    header_size = 8
    data = struct.pack('<4H', len(faces), len(descriptors), header_size, header_size + len(names)) + names
    for attributes, half_points, family, face in descriptors:
        data += struct.pack('<3BH3s3s', attributes, half_points, family, face, b'\0\0\0', b'\xff\xff\xff')
    return data


def btree(entries, page_size, structure, flags):
    """A B+ tree of one leaf page: enough for a small help file."""
    body = b''.join(entries)
    if 8 + len(body) > page_size:
        raise SourceError(None, 'too many entries for one %d-byte B+ tree page' % page_size)
    page = struct.pack('<Hh2H', page_size - 8 - len(body), len(entries), NO_PAGE, NO_PAGE) + body
    header = struct.pack('<3H16s6HI', BTREE_MAGIC, flags, page_size, structure.encode(), 0, 0, 0, NO_PAGE, 1,
                         1, len(entries))
    return header + page.ljust(page_size, b'\0')


def build_context_file(headers):
    entries = sorted((context_hash(header.topic.context), header.topic_offset) for header in headers)
    for first, second in zip(entries, entries[1:]):
        if first[0] == second[0]:
            raise SourceError(None, 'two context ids have the same hash %d' % first[0])
    return btree([struct.pack('<iI', *entry) for entry in entries], CONTEXT_PAGE_SIZE, 'L4', 0x0002)


def internal_file(data):
    return struct.pack('<2IB', len(data) + 9, len(data), FILE_FLAGS) + data


def build(title, copyright, topics):
    text = '\n'.join([title, copyright or ''] + [t.title for t in topics] +
                     [p[1] for t in topics for p in t.paragraphs])
    japanese = not text.isascii()
    codepage = 'cp932' if japanese else 'cp1252'

    def encode(value):
        try:
            return value.encode(codepage)
        except UnicodeEncodeError:
            raise SourceError(None, 'cannot write %r in code page %s' % (value, codepage[2:])) from None

    links, headers = topic_links(topics, encode)
    # The topic file first: laying it out gives the topics their offsets.
    topic_file = build_topic_file(links, headers)
    files = {
        '|CONTEXT': build_context_file(headers),
        '|FONT': build_font_file(japanese, encode),
        '|SYSTEM': build_system_file(title, copyright, encode, japanese),
        '|TOPIC': topic_file,
    }
    out = bytearray(16)
    offsets = {}
    for name in sorted(files):
        offsets[name] = len(out)
        out += internal_file(files[name])
    directory_start = len(out)
    directory = btree([name.encode() + b'\0' + struct.pack('<I', offsets[name]) for name in sorted(files)],
                      DIRECTORY_PAGE_SIZE, 'z4', 0x0402)
    out += internal_file(directory)
    out[0:16] = struct.pack('<IIiI', FILE_MAGIC, directory_start, -1, len(out))
    return bytes(out)


def escape(text):
    return html.escape(text, quote=False)


def html_paragraph(text, line, contexts):
    """A paragraph's text with its jumps as links, escaped for HTML."""
    pieces, jumps = split_jumps(text, line)
    out = [escape(pieces[0])]
    for (target, shown), piece in zip(jumps, pieces[1:]):
        out.append('<a href="#%s">%s</a>' % (contexts[target.lower()], escape(shown)))
        out.append(escape(piece))
    return ''.join(out)


def build_html(title, copyright, topics):
    """One page: a section per topic, in the order of the source. The first
    topic, the contents, has the page's main heading."""
    contexts = {topic.context.lower(): topic.context for topic in topics}
    out = ['<!DOCTYPE html>',
           '<html lang="en">',
           '<head>',
           '<meta charset="utf-8">',
           '<meta name="viewport" content="width=device-width, initial-scale=1">',
           '<title>%s</title>' % escape(title),
           '<style>',
           'body { font-family: "Segoe UI", "Yu Gothic UI", Meiryo, sans-serif; max-width: 44em; '
           'margin: 1em auto; padding: 0 1em; line-height: 1.5; }',
           'section { margin-bottom: 2em; }',
           'footer { color: #555; border-top: 1px solid #ccc; }',
           '</style>',
           '</head>',
           '<body>']
    for number, topic in enumerate(topics):
        heading = 'h1' if number == 0 else 'h2'
        out.append('<section id="%s">' % topic.context)
        out.append('<%s>%s</%s>' % (heading, escape(topic.title), heading))
        in_list = False
        for kind, text, line in topic.paragraphs:
            if kind == 'item' and not in_list:
                out.append('<ul>')
            elif kind != 'item' and in_list:
                out.append('</ul>')
            in_list = kind == 'item'
            if in_list:
                out.append('<li>%s</li>' % html_paragraph(text[len('- '):], line, contexts))
            else:
                out.append('<p>%s</p>' % html_paragraph(text, line, contexts))
        if in_list:
            out.append('</ul>')
        out.append('</section>')
    if copyright is not None:
        out.append('<footer><p>%s</p></footer>' % escape(copyright))
    out += ['</body>', '</html>', '']
    return '\n'.join(out).encode('utf-8')


def define(text):
    name, equals, value = text.partition('=')
    if not equals or not re.fullmatch(DEFINE_NAME, name):
        raise argparse.ArgumentTypeError('expected NAME=VALUE, NAME in capitals, digits and "_"')
    return name, value


def main(argv):
    parser = argparse.ArgumentParser(prog=os.path.basename(argv[0]),
                                     description='Write a WinHelp file, or an HTML page (OUTPUT-FILE *.html).')
    parser.add_argument('-D', dest='defines', metavar='NAME=VALUE', type=define, action='append', default=[],
                        help='the value of @NAME@ in the source')
    parser.add_argument('source', metavar='SOURCE-FILE')
    parser.add_argument('output', metavar='OUTPUT-FILE')
    args = parser.parse_args(argv[1:])
    src, dst = args.source, args.output
    try:
        with open(src, encoding='utf-8') as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        sys.stderr.write('%s: error: cannot read: %s\n' % (src, e))
        return 1
    writer = build_html if dst.lower().endswith('.html') else build
    try:
        data = writer(*parse(text, dict(args.defines)))
    except SourceError as e:
        where = src if e.line is None else '%s:%d' % (src, e.line)
        sys.stderr.write('%s: error: %s\n' % (where, e))
        return 1
    # Write a temporary file and rename it, so that a failed or interrupted
    # run never leaves a half-written output for the build to pick up.
    tmp = dst + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, dst)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
