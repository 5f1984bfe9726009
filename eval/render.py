"""Lays out and renders text pages at 300 dpi, and writes them as TIFF files.

A page is laid out from a paragraph list, a TrueType font and a text block;
lines are filled word by word and never run past the block's right edge or
bottom. The text laid out is the page's ground truth: exactly the words drawn,
in reading order, one line of text a line. The renderer returns ink coverage
(0 = paper, 1 = full ink) as floats, so that the degradations can light and
spoil the page before it is quantised to 8 bits.
"""

import os
from dataclasses import dataclass, field

import numpy
from PIL import Image, ImageDraw, ImageFont

DPI = 300
A5 = (1748, 2480)
A4 = (2480, 3508)
FONT_DIRS = ("/usr/share/fonts/truetype/dejavu", "/usr/share/fonts/truetype/liberation")


@dataclass
class Layout:
    """Where and how the text goes: page size in pixels, the text block
    (left, top, right, bottom), the font file name and size in points, the
    first paragraph, and vertical bands (top, height) left free of text."""
    size: tuple
    block: tuple
    font: str
    points: float
    first_paragraph: int = 0
    free_bands: list = field(default_factory=list)
    line_spacing: float = 1.35


def read_corpus(path):
    """Returns the paragraphs of the corpus file: one a line, '#' lines and
    blank lines skipped."""
    with open(path, encoding="utf-8") as corpus:
        return [line.strip() for line in corpus if line.strip() and not line.startswith("#")]


def font_path(name):
    """Returns the path of the named font file; raises FileNotFoundError when
    no font directory holds it."""
    for directory in FONT_DIRS:
        candidate = os.path.join(directory, name)
        if os.path.exists(candidate):
            return candidate
    raise FileNotFoundError(f"font {name} not found in {', '.join(FONT_DIRS)}")


def wrap(words, font, width):
    """Returns words split into lines, greedily, each no wider than width
    pixels in font (a single longer word gets a line of its own)."""
    lines, current = [], []
    for word in words:
        trial = " ".join(current + [word])
        if current and font.getlength(trial) > width:
            lines.append(" ".join(current))
            current = [word]
        else:
            current.append(word)
    if current:
        lines.append(" ".join(current))
    return lines


def _line_positions(layout, line_height):
    """Yields the top of each text line in the block, skipping free bands."""
    top, bottom = layout.block[1], layout.block[3]
    y = top
    while y + line_height <= bottom:
        band = next((b for b in layout.free_bands if y + line_height > b[0] and y < b[0] + b[1]), None)
        if band:
            y = band[0] + band[1]
            continue
        yield y
        y += line_height


def lay_out(layout, paragraphs):
    """Returns [(y, line text)] filling the block from layout.first_paragraph
    on, wrapping round the corpus; a paragraph starts on a new line."""
    font = ImageFont.truetype(font_path(layout.font), round(layout.points * DPI / 72))
    line_height = round(font.size * layout.line_spacing)
    width = layout.block[2] - layout.block[0]
    pending, placed, index = [], [], layout.first_paragraph
    for y in _line_positions(layout, line_height):
        if not pending:
            pending = wrap(paragraphs[index % len(paragraphs)].split(), font, width)
            index += 1
        placed.append((y, pending.pop(0)))
    return placed


def render(layout, paragraphs):
    """Returns (ink coverage as a float32 array of the page's size, ground
    truth text with one line of text a line)."""
    font = ImageFont.truetype(font_path(layout.font), round(layout.points * DPI / 72))
    canvas = Image.new("L", layout.size, 0)
    draw = ImageDraw.Draw(canvas)
    lines = lay_out(layout, paragraphs)
    for y, text in lines:
        draw.text((layout.block[0], y), text, font=font, fill=255)
    coverage = numpy.asarray(canvas, dtype=numpy.float32) / 255.0
    return coverage, "\n".join(text for _, text in lines) + "\n"


def write_tiff(path, pixels):
    """Writes a uint8 array as an 8-bit min-is-black LZW TIFF at 300 dpi, in
    strips of about 64 KiB (so always more than one for a page)."""
    Image.fromarray(pixels, mode="L").save(path, compression="tiff_lzw", dpi=(DPI, DPI))


def read_tiff(path):
    """Returns the pixels of an 8-bit grayscale TIFF as a uint8 array."""
    with Image.open(path) as image:
        return numpy.asarray(image.convert("L"))
