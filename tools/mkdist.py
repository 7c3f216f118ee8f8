#!/usr/bin/python3
"""mkdist.py: write the zip that Windows users download.

Usage: python3 tools/mkdist.py BUILD-DIR ZIP-FILE

`make dist` runs it as build/dist/Quillmar-<version>.zip. The zip holds one
folder, Quillmar-<version>/, with the program, its help in both forms, a
readme and the licence (see CONTENTS). The version is read from
res/version.h, the one place that states it.

The same input files give the same bytes, whenever and wherever the script
runs: the entries go in a fixed order, each with the same date and time and
the same permissions, none taken from the files; the text files get CRLF line
ends, so that Notepad shows their lines whatever a checkout did to them.
Standard library only. A missing input stops the script with
"mkdist.py: error: ..." on stderr and exit status 1, and no zip is written.
"""

import os
import re
import sys
import zipfile
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
VERSION_HEADER = SOURCE_DIR / 'res' / 'version.h'

# (name in the zip, where it comes from: 'build' or 'source', path there).
CONTENTS = [
    ('LICENSE.txt', 'source', 'LICENSE'),
    ('Quillmar.exe', 'build', 'Quillmar.exe'),
    ('Quillmar.hlp', 'build', 'Quillmar.hlp'),
    ('Quillmar.html', 'build', 'Quillmar.html'),
    ('README.txt', 'source', 'docs/readme-windows.txt'),
]
TEXT_SUFFIX = '.txt'

# The earliest time a zip can state; no entry's time says anything.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
MADE_ON_UNIX = 3            # so that the permissions below are read as Unix ones
FILE_MODE = 0o100644
FOLDER_MODE = 0o040755
MSDOS_DIRECTORY = 0x10
COMPRESS_LEVEL = 9


def version(header=VERSION_HEADER):
    """The version text, "1.10", from the header's two numbers."""
    text = Path(header).read_text(encoding='utf-8')
    numbers = [re.search(r'^#define QUILLMAR_VERSION_%s (\d+)$' % part, text, re.MULTILINE)
               for part in ('MAJOR', 'MINOR')]
    if not all(numbers):
        raise ValueError('%s names no QUILLMAR_VERSION_MAJOR and QUILLMAR_VERSION_MINOR' % header)
    return '.'.join(number.group(1) for number in numbers)


def entry(name, mode, attributes=0):
    info = zipfile.ZipInfo(name, ENTRY_TIME)
    info.create_system = MADE_ON_UNIX
    info.external_attr = (mode << 16) | attributes
    return info


def crlf(data):
    return data.replace(b'\r\n', b'\n').replace(b'\n', b'\r\n')


def write_zip(build_dir, zip_path):
    folder = 'Quillmar-%s/' % version()
    roots = {'build': Path(build_dir), 'source': SOURCE_DIR}
    files = []
    for name, root, path in CONTENTS:
        data = (roots[root] / path).read_bytes()
        files.append((name, crlf(data) if name.endswith(TEXT_SUFFIX) else data))
    # Written beside the zip and renamed, so that a failed run never leaves
    # half a zip for the build to take as done.
    zip_path = Path(zip_path)
    zip_path.parent.mkdir(parents=True, exist_ok=True)
    partial = zip_path.with_name(zip_path.name + '.tmp')
    try:
        with zipfile.ZipFile(partial, 'w') as archive:
            archive.writestr(entry(folder, FOLDER_MODE, MSDOS_DIRECTORY), b'')
            for name, data in sorted(files):
                archive.writestr(entry(folder + name, FILE_MODE), data, zipfile.ZIP_DEFLATED, COMPRESS_LEVEL)
        os.replace(partial, zip_path)
    finally:
        partial.unlink(missing_ok=True)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write('usage: %s BUILD-DIR ZIP-FILE\n' % os.path.basename(argv[0]))
        return 2
    try:
        write_zip(argv[1], argv[2])
    except (OSError, ValueError) as e:
        sys.stderr.write('mkdist.py: error: %s\n' % e)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
