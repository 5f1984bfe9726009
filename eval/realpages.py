"""Real pages: scanned and photographed pages from public sources, prepared
as 8-bit grayscale TIFFs and cleaned by tessvane and by the alternatives a
user would weigh.

The page files, their sources and licences are in eval/realpages/ (its
README). Each page is turned upright (EXIF orientation), converted to 8-bit
grayscale and written as an uncompressed TIFF in strips, with its resolution
where the file gives one. The cleaners, each on its own copy:
- tessvane, the executable under test;
- Leptonica's pixBackgroundNormSimple (background normalization with its
  default parameters), called through ctypes;
- unpaper with its default options (deskew, masks, borders, noise filters).
Every step is deterministic, so a rerun gives the same files.
"""

import ctypes
import ctypes.util
import os
import shutil
import subprocess
from dataclasses import dataclass

from PIL import Image, ImageOps

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.join(HERE, "realpages")
CLEANERS = ("scanned", "tessvane", "leptonica", "unpaper")


@dataclass
class RealPage:
    """One real page: its name, the source file in SOURCE_DIR, what it shows,
    whether its resolution field is to be ignored (a camera's placeholder),
    and the transcription file of its text zones, if any."""
    name: str
    source: str
    what: str
    ignore_dpi: bool = False
    transcription: str = None


PAGES = [
    RealPage("lucasta", "leptonica-lucasta.047.jpg", "clean book scan"),
    RealPage("huck-finn", "ocrmypdf-c02-22.jpg", "book page, 150 dpi, illustrations, old type"),
    RealPage("unlv-8087", "unlv-8087_054.3B.tif", "bilevel 300 dpi page",
             transcription="unlv-8087_054.3B.txt"),
    RealPage("unlv-8071", "unlv-8071_093.3B.tif", "bilevel 300 dpi spread, black photo joined to the border",
             transcription="unlv-8071_093.3B.txt"),
    RealPage("scots-frag", "leptonica-scots-frag.tif", "bilevel 300 dpi, blackletter"),
    RealPage("lighttext", "leptonica-lighttext.jpg", "faint print"),
    RealPage("w91frag", "leptonica-w91frag.jpg", "shaded paper, letters cut by the edge"),
    RealPage("cat-035", "leptonica-cat.035.jpg", "book page, uneven light (not English)"),
    RealPage("brothers", "leptonica-brothers.150.jpg", "very dark paper (not English)"),
    RealPage("boston-cooking", "dewarp-boston_cooking_a.jpg",
             "phone photo of an open book: gutter shadow, page stack, dark surroundings",
             ignore_dpi=True),
]


def prepare(page, path):
    """Writes the page upright as an 8-bit grayscale uncompressed TIFF in
    strips; raises OSError when the source cannot be read or the file
    written."""
    with Image.open(os.path.join(SOURCE_DIR, page.source)) as source:
        dpi = None if page.ignore_dpi else source.info.get("dpi")
        gray = ImageOps.exif_transpose(source).convert("L")
    options = {"dpi": tuple(round(d) for d in dpi)} if dpi else {}
    # Pillow writes strips of about 64 KiB through libtiff.
    gray.save(path, format="TIFF", compression="tiff_adobe_deflate", **options)


def run_tessvane(tessvane, before, after):
    """Writes after as before cleaned by tessvane; raises RuntimeError when
    tessvane fails."""
    shutil.copyfile(before, after)
    run = subprocess.run([tessvane, after], stdin=subprocess.DEVNULL, capture_output=True)
    if run.returncode != 0:
        raise RuntimeError(f"tessvane failed on {after}: {run.stdout!r} {run.stderr!r}")


def _leptonica():
    """Returns Leptonica's library with the argument and result types of the
    calls used here; raises OSError when it is not installed."""
    library = ctypes.CDLL(ctypes.util.find_library("lept") or "liblept.so.5")
    pointer = ctypes.c_void_p
    library.pixRead.argtypes, library.pixRead.restype = [ctypes.c_char_p], pointer
    library.pixConvertTo8.argtypes, library.pixConvertTo8.restype = [pointer, ctypes.c_int], pointer
    library.pixBackgroundNormSimple.argtypes = [pointer, pointer, pointer]
    library.pixBackgroundNormSimple.restype = pointer
    library.pixWrite.argtypes = [ctypes.c_char_p, pointer, ctypes.c_int]
    library.pixWrite.restype = ctypes.c_int
    library.pixDestroy.argtypes, library.pixDestroy.restype = [ctypes.POINTER(pointer)], None
    return library


IFF_PNG = 3  # Leptonica's file format code for PNG (imageio.h)


def run_leptonica(before, after_png):
    """Writes after_png as before normalized by pixBackgroundNormSimple;
    raises RuntimeError when a Leptonica call fails, OSError when the
    library is missing."""
    library = _leptonica()
    owned = []
    try:
        for step in (lambda: library.pixRead(before.encode()),
                     lambda: library.pixConvertTo8(owned[-1], 0),
                     lambda: library.pixBackgroundNormSimple(owned[-1], None, None)):
            result = step()
            if not result:
                raise RuntimeError(f"Leptonica failed on {before}")
            owned.append(result)
        if library.pixWrite(after_png.encode(), owned[-1], IFF_PNG) != 0:
            raise RuntimeError(f"Leptonica could not write {after_png}")
    finally:
        for pix in owned:
            library.pixDestroy(ctypes.byref(ctypes.c_void_p(pix)))


def run_unpaper(before, after_pgm, work):
    """Writes after_pgm as before cleaned by unpaper with its default
    options; raises subprocess.CalledProcessError when unpaper fails."""
    pgm = os.path.join(work, os.path.basename(after_pgm) + ".in.pgm")
    with Image.open(before) as image:
        image.save(pgm)
    try:
        subprocess.run(["unpaper", "--overwrite", pgm, after_pgm],
                       check=True, capture_output=True)
    finally:
        os.remove(pgm)


def clean_all(page, tessvane, work):
    """Prepares the page and writes its cleaned copies under work; returns
    {cleaner: image path}."""
    folder = os.path.join(work, page.name)
    os.makedirs(folder, exist_ok=True)
    paths = {"scanned": os.path.join(folder, "scanned.tif"),
             "tessvane": os.path.join(folder, "tessvane.tif"),
             "leptonica": os.path.join(folder, "leptonica.png"),
             "unpaper": os.path.join(folder, "unpaper.pgm")}
    prepare(page, paths["scanned"])
    run_tessvane(tessvane, paths["scanned"], paths["tessvane"])
    run_leptonica(paths["scanned"], paths["leptonica"])
    run_unpaper(paths["scanned"], paths["unpaper"], folder)
    return paths


def transcription(page):
    """Returns the page's transcription text, or None when it has none."""
    if page.transcription is None:
        return None
    with open(os.path.join(SOURCE_DIR, page.transcription), encoding="utf-8", errors="replace") as text:
        return text.read()
