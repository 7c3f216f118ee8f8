"""The program on a display of 96 and of 144 DPI (100 % and 150 %): the pixel
sizes it sets itself (the status-bar parts, the About box's link font)
follow the DPI, and its text is drawn crisply at 144 DPI.

Wine 8 treats every program as aware of the DPI and never stretches a
window, so here "not blurred" can only show that the program itself draws
sharp text at 144 DPI; that Windows leaves it unstretched is the manifest's
part (test_manifest_declares_dpi_awareness)."""
import time
from collections import Counter

from harness import DESIGN_DPI, IDOK, QUILLMAR_EXE, R, display_dpi, read_png_rgb, wait_for
from resources import resources

HIGH_DPI = 144
RT_MANIFEST = 24
ABOUT, MAIL_LINK = R.IDM_ABOUT, R.IDC_ABOUT_MAIL
ABOUT_CAPTION = "Quillmar： About"
# The status-bar edges at 96 DPI, app/app.h's StatusBarPartEdges.
PART_EDGES = [300, 550]
# A window paints once it is shown.
PAINT_SECONDS = 0.5
# The sunken frame of the status text, left out of its picture.
FRAME = 3
# Within a colour step this small a pixel counts as the background or the
# text colour itself.
COLOUR_TOLERANCE = 24
# How much less soft the text drawn at 144 DPI must be than a stretch.
SHARPNESS_MARGIN = 0.2


def look_at(quillmar, automation, picture):
    """The status-bar edges, the pixels of the status text ("Idle", inside
    its sunken frame) and the width of the About box's mail link."""
    quillmar.start()
    edges = automation.status_parts(quillmar.window)
    time.sleep(PAINT_SECONDS)
    automation.screenshot(picture, quillmar.window)
    left, top = automation.info(quillmar.window)["rect"][:2]
    x0, y0, x1, y1 = automation.info(quillmar.window, R.IDC_STATUS_TEXT)["rect"]
    rows = read_png_rgb(picture)[y0 - top + FRAME: y1 - top - FRAME]
    text = [row[x0 - left + FRAME: x1 - left - FRAME] for row in rows]
    dialog = quillmar.open_dialog(ABOUT, ABOUT_CAPTION)
    link_left, _, link_right, _ = automation.info(dialog, MAIL_LINK)["rect"]
    automation.command(dialog, IDOK)
    wait_for("the About box to close", lambda: not automation.alive(dialog))
    quillmar.stop()
    return edges, text, link_right - link_left


def soft_share(pixels):
    """Of the pixels that are not the background (the commonest colour), the
    share that are not the text colour (the darkest) either. Text drawn at
    its size has solid strokes with at most a pixel of soft rim on each side
    (none where Wine draws a small size without smoothing, as at 96 DPI); a
    picture stretched from a smaller one has soft rims all round and hardly a
    pixel of the full text colour left."""
    flat = [pixel for row in pixels for pixel in row]
    background = Counter(flat).most_common(1)[0][0]
    ink = min(flat, key=sum)

    def near(pixel, colour):
        return max(abs(a - b) for a, b in zip(pixel, colour)) <= COLOUR_TOLERANCE

    marked = [pixel for pixel in flat if not near(pixel, background)]
    assert marked, "the status text shows nothing"
    return sum(not near(pixel, ink) for pixel in marked) / len(marked)


def _stretched_line(line, factor):
    size = len(line)
    out = []
    for index in range(int(size * factor)):
        position = min(max((index + 0.5) / factor - 0.5, 0), size - 1)
        first, weight = int(position), position - int(position)
        second = min(first + 1, size - 1)
        out.append(tuple(round(a * (1 - weight) + b * weight) for a, b in zip(line[first], line[second])))
    return out


def stretched(pixels, factor):
    """The picture scaled up by factor with bilinear filtering, as Windows
    shows a program that is not aware of the DPI."""
    rows = [_stretched_line(row, factor) for row in pixels]
    columns = [_stretched_line(column, factor) for column in zip(*rows)]
    return [list(row) for row in zip(*columns)]


def test_sizes_follow_the_dpi_and_text_stays_sharp(quillmar, automation, tmp_path):
    seen = {}
    for dpi in (DESIGN_DPI, HIGH_DPI):
        with display_dpi(dpi):
            seen[dpi] = look_at(quillmar, automation, tmp_path / f"main-{dpi}.png")
    (edges_96, text_96, link_96), (edges_144, text_144, link_144) = seen[DESIGN_DPI], seen[HIGH_DPI]
    assert edges_96 == PART_EDGES, "at 96 DPI the status bar is as it always was"
    assert edges_144 == [450, 825], "at 144 DPI the edges are half as far again"
    assert 1.4 <= link_144 / link_96 <= 1.6, f"the link font follows the DPI: {link_96} px, then {link_144} px wide"

    # Measured here: 0.00 at 96 DPI (drawn without smoothing), 0.58 at 144,
    # 0.96 for the 96-DPI text stretched.
    assert len(text_144) >= 1.4 * len(text_96), "the status text's control grew with the DPI"
    sharp, blurred = soft_share(text_144), soft_share(stretched(text_96, HIGH_DPI / DESIGN_DPI))
    assert sharp <= blurred - SHARPNESS_MARGIN, \
        f"soft share of the text at 144 DPI {sharp:.2f}, of the 96-DPI text stretched {blurred:.2f}"


def test_manifest_declares_dpi_awareness():
    manifest = resources(QUILLMAR_EXE, RT_MANIFEST)[1].decode("utf-8")
    assert '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>' in manifest
    assert "<activeCodePage" in manifest and "Microsoft.Windows.Common-Controls" in manifest
