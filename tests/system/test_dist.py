"""What Windows users download: the zip of tools/mkdist.py (`make dist`),
with exactly its files and the same bytes from the same files, and the
version record of the built Quillmar.exe, which must say what res/version.h
says, as must the About box, the manifest and the help. Needs no Wine."""
import io
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

from harness import BUILD, HELP_FILE, QUILLMAR_EXE
from resources import RT_MANIFEST, dialogs, read_defines, read_version, resources, version_info

MKDIST = Path(__file__).resolve().parents[2] / "tools" / "mkdist.py"
HELP_PAGE = BUILD / "Quillmar.html"
BUILT_FILES = (QUILLMAR_EXE, HELP_FILE, HELP_PAGE)
TIMEOUT = 60

MAJOR, MINOR = read_version()
VERSION = f"{MAJOR}.{MINOR}"


def make_zip(build_dir, zip_path):
    done = subprocess.run([sys.executable, str(MKDIST), str(build_dir), str(zip_path)], capture_output=True,
                          text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    return zip_path.read_bytes()


def copy_built_files(folder, mode, time):
    """The build's files in a folder of their own, with their own times and
    permissions, none of which may reach the zip."""
    folder.mkdir()
    for path in BUILT_FILES:
        shutil.copyfile(path, folder / path.name)
        os.chmod(folder / path.name, mode)
        os.utime(folder / path.name, (time, time))
    return folder


def test_the_zip_holds_its_files_and_the_same_files_give_the_same_bytes(tmp_path):
    first = make_zip(copy_built_files(tmp_path / "one", 0o600, 1_000_000_000), tmp_path / "one.zip")
    second = make_zip(copy_built_files(tmp_path / "two", 0o755, 2_000_000_000), tmp_path / "two.zip")
    assert first == second, "the zip depends on the files' times or permissions"

    top = f"Quillmar-{VERSION}/"
    with zipfile.ZipFile(io.BytesIO(first)) as archive:
        assert archive.namelist() == [top] + [top + name for name in (
            "LICENSE.txt", "Quillmar.exe", "Quillmar.hlp", "Quillmar.html", "README.txt")]
        assert archive.testzip() is None
        assert archive.read(top + "Quillmar.exe") == QUILLMAR_EXE.read_bytes()
        for text in ("README.txt", "LICENSE.txt"):
            data = archive.read(top + text)
            assert data.count(b"\n") == data.count(b"\r\n") > 0, f"{text}: CRLF line ends only"
            data.decode("utf-8")


def test_every_statement_of_the_version_agrees_with_version_h():
    info = version_info(QUILLMAR_EXE)
    assert info.file_version == info.product_version == (MAJOR, MINOR, 0, 0)
    assert info.strings == {
        "FileDescription": "Quillmar RS-232C to TCP bridge",
        "FileVersion": VERSION,
        "ProductName": "Quillmar",
        "ProductVersion": VERSION,
        "OriginalFilename": "Quillmar.exe",
        "InternalName": "Quillmar",
        "CompanyName": "the Quillmar developers",
        "LegalCopyright": "Copyright (c) 2026 the Quillmar developers",
    }
    # What the About box shows, the manifest's identity and the help's copyright line.
    about = dialogs(QUILLMAR_EXE)[read_defines()["IDD_DIALOG_ABOUT"]]
    assert f"Quillmar Ver {VERSION}" in [control.text for control in about.controls]
    (manifest,) = resources(QUILLMAR_EXE, RT_MANIFEST).values()
    assert f'name="Quillmar" version="{MAJOR}.{MINOR}.0.0"'.encode() in manifest
    assert f"Quillmar Ver {VERSION}\0".encode() in HELP_FILE.read_bytes()
    assert f"<p>Quillmar Ver {VERSION}</p>" in HELP_PAGE.read_text(encoding="utf-8")
