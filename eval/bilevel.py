"""Bilevel pages: black-and-white scans as archives keep them, read by
Tesseract as stored, after tessvane and after unpaper with its defaults.

Two sets:
- SYNTHETIC: pages of English prose rendered at 300 dpi, spoilt the way a
  photocopy or a scan with the lid open spoils them (a black margin or a
  binding gutter joined to the edge, the text touching neither but on one page), then
  turned black and white at level 128 and stored 1-bit in CCITT Group 4;
  they have a ground truth, so they are scored by error rates.
- REAL: the bilevel pages of eval/realpages/ (Group 4 TIFFs), used exactly
  as stored; scored by the proxies of the real pages (dictionary words,
  mean confidence, transcription words found).

tessvane rewrites its copy in place and keeps it 1-bit Group 4; unpaper
reads and writes PBM (each page is handed to it as one). Every step is
deterministic, so a rerun writes the same files.
"""

import os
import shutil
import subprocess

import numpy
from PIL import Image

import pages
import realpages
from pages import PageSpec, a5
from render import A4, Layout

CLEANERS = ("scanned", "tessvane", "unpaper")
THRESHOLD = 128  # levels below it turn black
DPI = 300

SYNTHETIC = [
    PageSpec("bl-clean", "clean control: DejaVu Serif 11 pt", a5("DejaVuSerif.ttf", 11, 0), 201),
    PageSpec("bl-left-top", "black margin on the left and top edges",
             a5("LiberationSerif-Regular.ttf", 11, 4), 202,
             margins=[("left", 120, 10, 4, 20), ("top", 110, 10, 4, 15)]),
    PageSpec("bl-gutter", "binding gutter on the left, black at the edge",
             a5("DejaVuSans.ttf", 10, 7), 203, gains=[("gutter", "left", 300, 0.97)]),
    PageSpec("bl-spread", "gutter on the right, black top and bottom margins",
             a5("LiberationSans-Regular.ttf", 10, 1), 204,
             gains=[("gutter", "right", 320, 0.97)],
             margins=[("top", 100, 10, 4, 12), ("bottom", 100, 10, 4, 12)]),
    PageSpec("bl-four-margins", "black margins on all four edges",
             a5("DejaVuSerif.ttf", 10, 2), 205,
             margins=[("left", 100, 12, 4, 20), ("right", 100, 12, 4, 20),
                      ("top", 100, 12, 4, 20), ("bottom", 100, 12, 4, 20)]),
    PageSpec("bl-near-margin", "text 20 to 40 px from a black left margin",
             a5("DejaVuSans.ttf", 10, 15, block=pages.NEAR_LEFT), 207,
             margins=[("left", 66, 10, 4, 10)]),
    PageSpec("bl-touching-margin", "black left margin touching the first letters of lines",
             a5("LiberationSerif-Regular.ttf", 11, 16, block=pages.NEAR_LEFT), 208,
             margins=[("left", 96, 10, 4, 12)]),
    PageSpec("bl-a4-book", "A4 photocopy of a book: gutter left, black margin top and right",
             Layout(A4, (300, 300, 2200, 3250), "LiberationSerif-Regular.ttf", 11, 12), 206,
             gains=[("gutter", "left", 360, 0.97)],
             margins=[("top", 120, 10, 4, 20), ("right", 140, 10, 4, 25)]),
]

# The synthetic pages whose margin reaches the first letters of lines.
TEXT_TOUCHES_MARGIN = {"bl-touching-margin"}

REAL = [page for page in realpages.PAGES if page.source.endswith(".tif")]


def to_bilevel(pixels):
    """Returns the uint8 pixels turned black (0) and white (255) at THRESHOLD."""
    return numpy.where(pixels < THRESHOLD, 0, 255).astype(numpy.uint8)


def write_group4(path, bilevel):
    """Writes black-and-white pixels as a 1-bit CCITT Group 4 TIFF at DPI;
    raises OSError when it cannot be written."""
    Image.fromarray(bilevel, mode="L").convert("1", dither=Image.Dither.NONE).save(
        path, compression="group4", dpi=(DPI, DPI))


def run_tessvane(tessvane, before, after):
    """Writes after as before cleaned by tessvane in place of a copy;
    raises RuntimeError when tessvane fails or the copy is no longer 1-bit."""
    shutil.copyfile(before, after)
    run = subprocess.run([tessvane, after], stdin=subprocess.DEVNULL, capture_output=True)
    if run.returncode != 0:
        raise RuntimeError(f"tessvane failed on {after}: {run.stdout!r} {run.stderr!r}")
    with Image.open(after) as image:
        if image.mode != "1":
            raise RuntimeError(f"tessvane did not keep {after} bilevel: mode {image.mode}")


def run_unpaper(before, after_pbm, work):
    """Writes after_pbm as before cleaned by unpaper with its default options,
    handed to it as PBM; raises subprocess.CalledProcessError when unpaper
    fails."""
    pbm = os.path.join(work, os.path.basename(after_pbm) + ".in.pbm")
    with Image.open(before) as image:
        image.convert("1").save(pbm)
    try:
        subprocess.run(["unpaper", "--overwrite", pbm, after_pbm], check=True, capture_output=True)
    finally:
        os.remove(pbm)


def clean_all(before, tessvane, folder):
    """Writes the cleaned copies of the bilevel page before into folder;
    returns {cleaner: image path}."""
    os.makedirs(folder, exist_ok=True)
    paths = {"scanned": before,
             "tessvane": os.path.join(folder, "tessvane.tif"),
             "unpaper": os.path.join(folder, "unpaper.pbm")}
    run_tessvane(tessvane, before, paths["tessvane"])
    run_unpaper(before, paths["unpaper"], folder)
    return paths


def make_synthetic(work, paragraphs, tessvane):
    """Writes every synthetic page (work/bilevel/NAME/scanned.tif) and its
    cleaned copies; returns {name: (truth, {cleaner: path})}."""
    made = {}
    for plan in SYNTHETIC:
        folder = os.path.join(work, "bilevel", plan.name)
        os.makedirs(folder, exist_ok=True)
        pixels, truth = pages.build_page(plan, paragraphs)
        scanned = os.path.join(folder, "scanned.tif")
        write_group4(scanned, to_bilevel(pixels))
        made[plan.name] = (truth, clean_all(scanned, tessvane, folder))
    return made


def make_real(work, tessvane):
    """Copies every real bilevel page as stored (work/bilevel-real/NAME/
    scanned.tif) and cleans it; returns {name: {cleaner: path}}."""
    made = {}
    for page in REAL:
        folder = os.path.join(work, "bilevel-real", page.name)
        os.makedirs(folder, exist_ok=True)
        scanned = os.path.join(folder, "scanned.tif")
        shutil.copyfile(os.path.join(realpages.SOURCE_DIR, page.source), scanned)
        made[page.name] = clean_all(scanned, tessvane, folder)
    return made
