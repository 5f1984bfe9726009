"""OCRmyPDF plugin: cleans each page image with tessvane before OCR.

    ocrmypdf --plugin tessvane_ocrmypdf scan.pdf out.pdf

OCRmyPDF imports the plugin by that module name from Python's path, where
make install and the Debian package put it; from a source tree, name the
file instead: --plugin integrations/ocrmypdf/tessvane_ocrmypdf.py.

Tesseract then reads the page with the dark regions joined to its border
whitened and its background evened out; the page shown in the PDF is left as
it was. With --tessvane-page-image the cleaned page also goes into the PDF,
where OCRmyPDF rebuilds the page from an image (with --force-ocr or one of
its preprocessing options; otherwise it keeps the page as it is).

Each page image is converted to an 8-bit grayscale TIFF in strips in
OCRmyPDF's work folder for the page, cleaned in place by tessvane and read back; its size
and resolution do not change, so the text layer lines up with the page. A
page tessvane refuses (tessvane exits non-zero) is handed on unchanged and
named in a warning; the other pages are cleaned all the same.

The hooks run in OCRmyPDF's workers, several pages at once in threads of
one process; they keep no state. The scratch TIFF is written and read
through memory, so Pillow never hands libtiff a file descriptor: Pillow
before 10 closes such a descriptor again after libtiff has closed it, and in
a threaded worker that second close can shut a file another page's thread
has just opened under the same number.
"""

import io
import logging
import shutil
import subprocess
from pathlib import Path

from PIL import Image

from ocrmypdf import hookimpl
from ocrmypdf.exceptions import MissingDependencyError

log = logging.getLogger(__name__)


@hookimpl
def add_options(parser):
    """Adds --tessvane and --tessvane-page-image to OCRmyPDF's options."""
    group = parser.add_argument_group("tessvane", "Clean page images with tessvane")
    group.add_argument("--tessvane", metavar="PATH", default="tessvane",
                       help="the tessvane executable (default: tessvane on PATH)")
    group.add_argument("--tessvane-page-image", action="store_true",
                       help="also put the cleaned page image into the PDF (takes effect "
                            "where OCRmyPDF rebuilds the page from an image, e.g. with --force-ocr)")


@hookimpl
def check_options(options):
    """Resolves --tessvane to a full path; raises MissingDependencyError when
    no such executable exists."""
    found = shutil.which(options.tessvane)
    if found is None:
        raise MissingDependencyError(f"tessvane executable not found: {options.tessvane}")
    options.tessvane = str(Path(found).resolve())


def clean_tiff(tessvane, tiff):
    """Runs tessvane on the TIFF file in place; returns None on success or
    tessvane's message when it refused the file (the file is then as it
    was). Raises OSError when tessvane cannot be started."""
    run = subprocess.run([tessvane, str(tiff)], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    if run.returncode == 0:
        return None
    output = (run.stdout + run.stderr).decode("utf-8", "replace")
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    return "; ".join(lines) or f"exit code {run.returncode}"


def cleaned_image(image, tessvane, tiff, pageno):
    """Returns image cleaned by tessvane as an 8-bit grayscale image with the
    same size and resolution, or image itself when tessvane refuses it (with
    a warning naming the page). tiff is the scratch file to use. Raises
    OSError when the scratch file cannot be written or read."""
    gray = image.convert("L")
    # PackBits goes through libtiff, which writes strips of about 64 KiB;
    # Pillow's own uncompressed writer puts the page in a single strip.
    encoded = io.BytesIO()
    gray.save(encoded, format="TIFF", compression="packbits",
              dpi=image.info.get("dpi", (300, 300)))
    Path(tiff).write_bytes(encoded.getvalue())
    refusal = clean_tiff(tessvane, tiff)
    if refusal is not None:
        log.warning("page %d: tessvane refused the page image (%s); it is used as it was",
                    pageno + 1, refusal)
        return image
    with Image.open(io.BytesIO(Path(tiff).read_bytes())) as cleaned:
        cleaned.load()
        result = cleaned.copy()
    result.info = dict(image.info)
    return result


@hookimpl
def filter_ocr_image(page, image):
    """Returns the image Tesseract reads: the page image cleaned by tessvane,
    or the page image itself when tessvane refuses it."""
    tiff = page.get_path("tessvane-ocr.tif")
    return cleaned_image(image, page.options.tessvane, tiff, page.pageno)


@hookimpl
def filter_page_image(page, image_filename):
    """With --tessvane-page-image, returns the path of the page image cleaned
    by tessvane as a grayscale PNG beside image_filename; otherwise, or when
    tessvane refuses the page, returns image_filename."""
    if not page.options.tessvane_page_image:
        return image_filename
    with Image.open(image_filename) as image:
        image.load()
        result = cleaned_image(image, page.options.tessvane, page.get_path("tessvane-page.tif"),
                               page.pageno)
        if result is image:
            return image_filename
    output = Path(image_filename).with_name(Path(image_filename).stem + ".tessvane.png")
    result.save(output, format="PNG", dpi=image.info.get("dpi", (300, 300)))
    return output
