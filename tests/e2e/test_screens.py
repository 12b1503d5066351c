"""Every box on screen, read back: the x64 launcher under Wine on a virtual display shows each box
of screens.BOXES (the run tools/screenshots makes the gallery with), and each captured box must
show its message, the error icon exactly when it is an error, and one OK button.

The closeness rule, since OCR reads pixels, not strings: the OCR text of the box's text area and
the message are compared with all whitespace removed (the box wraps lines where it likes), and
each character of the message also matches what OCR commonly reads for it in this font, from the
short fixed list CONFUSIONS. Nothing else may differ. The icon is found by colour: the error icon
is a red disc left of the text; a report has nothing there. E2E_BUILD_DIR is a windows-x64
build."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import screens

BUILD = os.environ["E2E_BUILD_DIR"]
# What OCR reads for a character of the message, besides the character itself.
CONFUSIONS = {
    '"': "“”",
    "'": "‘’",
    "I": "il|1",  # I, l and i look alike in the box's sans-serif font
    "l": "Ii|1",
    "ë": "&@é",   # tesseract's English model has no ë
}
BUTTON_ROW = 40  # the OK button stands in the bottom 40 pixels of every box
ICON_WIDTH = 50  # the error icon stands left of this


def pixels(png, box):
    """The RGB triples of the region (x, y, width, height) of the PNG."""
    x, y, w, h = box
    raw = subprocess.run(["convert", png, "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8",
                          "rgb:-"], capture_output=True, check=True).stdout
    return [raw[i:i + 3] for i in range(0, len(raw), 3)]


def size(png):
    out = subprocess.run(["identify", "-format", "%w %h", png], capture_output=True, text=True,
                         check=True).stdout
    return tuple(int(n) for n in out.split())


def ocr(png, box, psm=6):
    """What tesseract reads in the region (x, y, width, height), enlarged three times; psm 6
    reads a block of lines, 8 a single word."""
    x, y, w, h = box
    with tempfile.NamedTemporaryFile(suffix=".png") as big:
        subprocess.run(["convert", png, "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-colorspace",
                        "Gray", "-resize", "300%", big.name], check=True)
        return subprocess.run(["tesseract", big.name, "-", "--psm", str(psm), "-l", "eng"],
                              capture_output=True, text=True, check=True).stdout


def buttons(png):
    """The push buttons of the box's bottom row, as regions (x, y, width, height) of their faces:
    each button is found by its dark shadow, a vertical line on its right joined to a horizontal
    one along its bottom."""
    width, height = size(png)
    top = height - BUTTON_ROW
    px = pixels(png, (0, top, width, BUTTON_ROW))
    dark = [[sum(px[y * width + x]) < 330 for x in range(width)] for y in range(BUTTON_ROW)]
    found = []
    for x in range(width):
        column = [y for y in range(BUTTON_ROW) if dark[y][x]]
        if len(column) < 16 or (found and found[-1][0] + found[-1][2] >= x):
            continue
        bottom, left = column[-1], x
        while left > 0 and dark[bottom][left - 1]:
            left -= 1
        found.append((left, top + column[0], x - left + 1, len(column)))
    return found


def reads_as(text, message):
    """The closeness rule: equal without whitespace, each character or one of its confusions."""
    pattern = "".join(f"[{re.escape(c + CONFUSIONS.get(c, ''))}]" for c in message if
                      not c.isspace())
    return re.fullmatch(pattern, re.sub(r"\s+", "", text)) is not None


class Screens(unittest.TestCase):
    def test_every_box_shows_its_message_its_icon_and_one_ok_button(self):
        folder = tempfile.mkdtemp(prefix="reinstall-screens-", dir=BUILD)
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        shots = screens.capture(BUILD, folder)
        self.assertEqual([s.box.name for s in shots], [b.name for b in screens.BOXES])
        for shot in shots:
            with self.subTest(shot.box.name):
                width, height = size(shot.client)
                red = sum(1 for r, g, b in pixels(shot.client, (0, 0, ICON_WIDTH, height))
                          if r > 150 and g < 90 and b < 90)
                if shot.box.icon:
                    self.assertGreater(red, 100, "the error icon")
                else:
                    self.assertEqual(red, 0, "no icon")
                left = ICON_WIDTH if shot.box.icon else 0
                text = ocr(shot.client, (left, 0, width - left, height - BUTTON_ROW))
                self.assertTrue(reads_as(text, shot.box.text), f"read {text!r}")
                found = buttons(shot.client)
                self.assertEqual(len(found), 1, f"one button: {found}")
                x, y, w, h = found[0]
                face = ocr(shot.client, (x + 4, y + 4, w - 8, h - 8), psm=8)  # inside the focus
                self.assertEqual(face.strip(), "OK")


if __name__ == "__main__":
    unittest.main()
