#!/usr/bin/python3
"""mkicons.py: turn a pixel-art text file into a Windows .ico or .cur file.

Usage: python3 tools/mkicons.py ART-FILE OUTPUT-FILE

Standard library only; the build runs it to make the icons and the cursor
from the files in res/art/.

Art file format (plain text, UTF-8, one statement a line; the notes on
the right are not part of the file):

    # Quillmar's hand cursor.                      comment line
    kind cursor                                    or: kind icon
    hotspot 12 1                                   x y: cursors only
    colour K 000000   # outline                    palette entry
    colour W ffffff   # fill
    image 32x32                                    WIDTHxHEIGHT, then
    ...........KKK..................               HEIGHT rows of WIDTH
    ..........KWWWK.................               characters each
    (30 more rows)

- A line whose first non-blank character is '#' is a comment; blank lines
  are ignored except inside an image. A statement may end in a comment.
- "kind" says whether the output is an icon (.ico) or a cursor (.cur).
- "hotspot X Y" is the cursor's hot spot, in pixels from the top-left
  pixel (0 0). A cursor must have one; an icon must not.
- "colour C RRGGBB" maps the character C to an RGB colour in hex. C is any
  printable ASCII character except space, '#' and '.': '.' always means
  transparent. Colours must be given before the images that use them.
- "image WxH" (1 to 256 each way) is followed directly by its H rows, top
  row first, each exactly W characters long starting at the first column;
  trailing blanks are ignored. Comment lines may sit between rows.

An icon has one or more images of different sizes (1 to 256 each way); a
cursor has exactly one, 32x32. Every image must get by with 16 colours,
counting black when it has transparent pixels, since each one is also
written as a 4-bit (16-colour) bitmap.

Output: for an icon, every image twice: first all sizes in 32-bit BGRA
(largest first), then all sizes in 4 bits with a 16-colour palette, for old
shells. For a cursor, the one 4-bit image with its hot spot. Each image is a
BITMAPINFOHEADER DIB of twice its height: the colour (XOR) bitmap, then the
1-bit AND mask; both bottom-up, rows padded to 32 bits. A transparent pixel
is mask 1, colour black (and alpha 0 in 32 bits), so that the screen shows
through unchanged.

Any mistake in the art file stops the script with "FILE:LINE: error: ..."
on stderr and exit status 1, and no output file is written.
"""

import os
import re
import struct
import sys

TRANSPARENT = '.'
BLACK = (0, 0, 0)


class ArtError(Exception):
    def __init__(self, line, message):
        super().__init__(message)
        self.line = line


class Image:
    def __init__(self, line, width, height):
        self.line = line            # line of its "image" statement
        self.width = width
        self.height = height
        self.rows = []              # each a list of (r, g, b) or None


def parse(text):
    """Read an art file; return (kind, hotspot, images)."""
    kind = None
    kind_line = hotspot_line = None
    hotspot = None
    palette = {}
    images = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        num, raw = i + 1, lines[i]
        i += 1
        line = raw.split('#', 1)[0].strip()
        if not line:
            continue
        word, rest = (line.split(None, 1) + [''])[:2]
        args = rest.split()
        if word == 'kind':
            if kind is not None:
                raise ArtError(num, 'kind given twice (first on line %d)' % kind_line)
            if args not in (['icon'], ['cursor']):
                raise ArtError(num, 'expected "kind icon" or "kind cursor"')
            kind, kind_line = args[0], num
        elif word == 'hotspot':
            if hotspot is not None:
                raise ArtError(num, 'hotspot given twice')
            if len(args) != 2 or not all(re.fullmatch(r'[0-9]+', a) for a in args):
                raise ArtError(num, 'expected "hotspot X Y" with two whole numbers')
            hotspot, hotspot_line = (int(args[0]), int(args[1])), num
        elif word == 'colour':
            if len(args) != 2 or len(args[0]) != 1:
                raise ArtError(num, 'expected "colour C RRGGBB" with one character C')
            char, hexrgb = args
            if char == TRANSPARENT:
                raise ArtError(num, "'.' is reserved for transparent pixels")
            if not (char.isascii() and char.isprintable()):
                raise ArtError(num, 'palette character %r is not printable ASCII' % char)
            if char in palette:
                raise ArtError(num, 'colour %r defined twice' % char)
            if not re.fullmatch(r'[0-9A-Fa-f]{6}', hexrgb):
                raise ArtError(num, 'bad colour %r: expected six hex digits, e.g. ff8000' % hexrgb)
            palette[char] = tuple(bytes.fromhex(hexrgb))
        elif word == 'image':
            m = re.fullmatch(r'([0-9]+)x([0-9]+)', rest.strip())
            if not m:
                raise ArtError(num, 'expected "image WIDTHxHEIGHT", e.g. "image 32x32"')
            w, h = int(m.group(1)), int(m.group(2))
            if not (1 <= w <= 256 and 1 <= h <= 256):
                raise ArtError(num, 'image size %dx%d is outside 1..256' % (w, h))
            for other in images:
                if (other.width, other.height) == (w, h):
                    raise ArtError(num, 'a %dx%d image was already given on line %d'
                                   % (w, h, other.line))
            img = Image(num, w, h)
            # The rows follow directly; the palette must be complete by now,
            # so an unknown character is reported on its own line.
            while len(img.rows) < h:
                if i >= len(lines):
                    raise ArtError(num, 'image %dx%d has %d rows, expected %d (end of file)'
                                   % (w, h, len(img.rows), h))
                rnum, row = i + 1, lines[i].rstrip()
                i += 1
                if row.lstrip().startswith('#'):
                    continue
                if len(row) != w:
                    raise ArtError(rnum, 'row %d of image %dx%d is %d characters wide, expected %d'
                                   % (len(img.rows) + 1, w, h, len(row), w))
                pixels = []
                for col, char in enumerate(row):
                    if char == TRANSPARENT:
                        pixels.append(None)
                    elif char in palette:
                        pixels.append(palette[char])
                    else:
                        raise ArtError(rnum, 'column %d: character %r is not in the palette'
                                       % (col + 1, char))
                img.rows.append(pixels)
            images.append(img)
        else:
            raise ArtError(num, 'unknown statement %r (expected kind, hotspot, colour or image)'
                           % word)

    end = len(lines) + 1 if lines else 1
    if kind is None:
        raise ArtError(end, 'no "kind icon" or "kind cursor" statement')
    if not images:
        raise ArtError(end, 'no image')
    for img in images:
        if len(colours_4bit(img)) > 16:
            raise ArtError(img.line, 'image %dx%d uses %d colours (counting black if it has '
                           'transparent pixels); a 4-bit image holds at most 16'
                           % (img.width, img.height, len(colours_4bit(img))))
    if kind == 'cursor':
        if len(images) != 1 or (images[0].width, images[0].height) != (32, 32):
            raise ArtError(images[-1].line, 'a cursor has exactly one image, 32x32')
        if hotspot is None:
            raise ArtError(kind_line, 'a cursor needs a "hotspot X Y" statement')
        if hotspot[0] >= 32 or hotspot[1] >= 32:
            raise ArtError(hotspot_line, 'hotspot %d %d is outside the 32x32 image' % hotspot)
    elif hotspot is not None:
        raise ArtError(hotspot_line, 'an icon has no hotspot')
    return kind, hotspot, images


def colours_4bit(img):
    """The 4-bit palette of an image: black first if the image has
    transparent pixels, since their colour must be black for the AND mask
    to leave the screen unchanged, then the colours in order of use."""
    pal = [BLACK] if any(px is None for row in img.rows for px in row) else []
    for row in img.rows:
        for px in row:
            if px is not None and px not in pal:
                pal.append(px)
    return pal


def and_mask(img):
    """The 1-bit AND mask, bottom-up; 1 where transparent."""
    stride = (img.width + 31) // 32 * 4
    out = bytearray()
    for row in reversed(img.rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def dib(img, bpp):
    """One image as stored in an .ico/.cur: header, palette, XOR, AND."""
    if bpp == 32:
        palette = b''
        xor = bytearray()
        for row in reversed(img.rows):
            for px in row:
                xor += bytes((0, 0, 0, 0)) if px is None else bytes((px[2], px[1], px[0], 255))
    else:
        pal = colours_4bit(img)
        pal += [BLACK] * (16 - len(pal))
        palette = b''.join(bytes((b, g, r, 0)) for r, g, b in pal)
        stride = (img.width * 4 + 31) // 32 * 4
        xor = bytearray()
        for row in reversed(img.rows):
            line = bytearray(stride)
            for x, px in enumerate(row):
                index = pal.index(BLACK if px is None else px)
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            xor += line
    mask = and_mask(img)
    header = struct.pack('<IiiHHIIiiII',
                         40,                    # biSize: BITMAPINFOHEADER
                         img.width,
                         img.height * 2,        # XOR and AND bitmaps together
                         1,                     # biPlanes
                         bpp,
                         0,                     # BI_RGB
                         len(xor) + len(mask),  # biSizeImage
                         0, 0,                  # no resolution
                         0, 0)                  # whole palette used
    return header + palette + bytes(xor) + mask


def build(kind, hotspot, images):
    if kind == 'cursor':
        entries = [(images[0], 4)]
    else:
        by_size = sorted(images, key=lambda im: (-im.width * im.height, -im.width))
        entries = [(im, 32) for im in by_size] + [(im, 4) for im in by_size]
    blobs = [dib(im, bpp) for im, bpp in entries]
    out = struct.pack('<HHH', 0, 2 if kind == 'cursor' else 1, len(entries))
    offset = 6 + 16 * len(entries)
    for (im, bpp), blob in zip(entries, blobs):
        if kind == 'cursor':
            planes, bitcount = hotspot      # a cursor keeps its hot spot here
        else:
            planes, bitcount = 1, bpp
        out += struct.pack('<BBBBHHII',
                           im.width % 256, im.height % 256,  # 0 means 256
                           16 if bpp == 4 else 0,            # colours in palette
                           0, planes, bitcount, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write('usage: %s ART-FILE OUTPUT-FILE\n' % os.path.basename(argv[0]))
        return 2
    src, dst = argv[1], argv[2]
    try:
        with open(src, encoding='utf-8') as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        sys.stderr.write('%s: error: cannot read: %s\n' % (src, e))
        return 1
    try:
        kind, hotspot, images = parse(text)
        # Catch a .cur named .ico in the build files (and the reverse) early.
        ext = os.path.splitext(dst)[1].lower()
        if (kind, ext) in (('icon', '.cur'), ('cursor', '.ico')):
            raise ArtError(None, 'the art is %s but the output is named %s'
                           % ('an icon' if kind == 'icon' else 'a cursor', dst))
    except ArtError as e:
        where = src if e.line is None else '%s:%d' % (src, e.line)
        sys.stderr.write('%s: error: %s\n' % (where, e))
        return 1
    data = build(kind, hotspot, images)
    # Write a temporary file and rename it, so that a failed or interrupted
    # run never leaves a half-written output for the build to pick up.
    tmp = dst + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, dst)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
