#!/usr/bin/python3
"""The OCRmyPDF plugin under Debian's ocrmypdf, on a generated scanned PDF.

Three pages of known text at 300 dpi: a clean one, one whose left part lies
in a deep shadow running in from the page edge (what Tesseract's global
threshold turns into a black slab), and a landscape one. ocrmypdf runs twice,
without the plugin and with it (--tessvane-page-image, --force-ocr); the
tessvane it is given refuses landscape pages the way tessvane refuses a file
it cannot take (message on standard output, exit code 1) and hands every
other page to the real tessvane. Checked:
- the shadowed page's text layer finds clearly more of its words with the
  plugin, and most of them;
- the clean page is read as well with the plugin as without;
- the refused page passes through: a warning names it, its text layer and
  its image in the PDF are those of the run without the plugin;
- the shadowed page's image in the PDF is the cleaned one (the shadow gone);
- cleaning a page closes no file descriptor twice and leaves none open
  (OCRmyPDF cleans pages in threads of one process, where a second close
  can shut another page's file).

Exits 0 on success, 1 on a failure and 77 (a skip) when ocrmypdf or its
Python libraries are missing.

Usage: ocrmypdf_plugin_test.py SOURCE_DIR TESSVANE
"""

import sys
sys.dont_write_bytecode = True

import collections
import os
import re
import shutil
import subprocess
import tempfile

SKIP = 77
DPI = 300
FONT = "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf"
TEXT = ("The committee met on a grey morning to weigh the harbour accounts. "
        "Nobody could remember when the ledger had last been opened, and the "
        "clerk read each entry aloud while the members listened in silence. "
        "Timber, rope, lamp oil and wages for the watchmen filled the columns, "
        "with a note in the margin about a storm that had carried off a boat.")

# Refuses landscape pages as tessvane refuses a file it cannot take, and runs
# the real tessvane (its path in REAL_TESSVANE) on every other page.
REFUSING_TESSVANE = """#!/usr/bin/python3
import os, sys
from PIL import Image
with Image.open(sys.argv[1]) as image:
    landscape = image.width > image.height
if landscape:
    sys.stdout.write("image read error\\r\\n")
    sys.exit(1)
os.execv(os.environ["REAL_TESSVANE"], [os.environ["REAL_TESSVANE"]] + sys.argv[1:])
"""


def words(text):
    """Returns the lower-case words of text, punctuation dropped."""
    return re.findall(r"[a-z]+", text.lower())


def recall(truth, text):
    """Returns the share of truth's words (with repeats) found in text."""
    expected, found = collections.Counter(words(truth)), collections.Counter(words(text))
    return sum((expected & found).values()) / sum(expected.values())


def text_page(size, shadow):
    """Returns a white page of the given pixel size with TEXT set in 12 pt,
    as an 8-bit image; with shadow, its left 70% darkened by a shadow that
    runs in from the left edge (paper 35 at the edge, ink as dark relative
    to it as elsewhere)."""
    import numpy
    from PIL import Image, ImageDraw, ImageFont
    font = ImageFont.truetype(FONT, 50)
    canvas = Image.new("L", size, 255)
    draw = ImageDraw.Draw(canvas)
    line, y = "", 120
    for word in TEXT.split():
        if draw.textlength(line + " " + word, font=font) > size[0] - 240 and line:
            draw.text((120, y), line, font=font, fill=0)
            line, y = word, y + 70
        else:
            line = (line + " " + word).strip()
    draw.text((120, y), line, font=font, fill=0)
    ink = 1.0 - numpy.asarray(canvas, dtype=numpy.float64) / 255.0
    paper = numpy.full(ink.shape, 235.0)
    if shadow:
        columns = numpy.arange(size[0]) / (0.7 * size[0])
        paper *= 0.15 + 0.85 * numpy.clip(columns, 0.0, 1.0) ** 2
    pixels = paper * (1.0 - 0.8 * ink)
    return Image.fromarray(numpy.clip(pixels + 0.5, 0, 255).astype(numpy.uint8), mode="L")


def make_pdf(path, folder):
    """Writes the three-page scanned PDF, lossless, at DPI."""
    import img2pdf
    pages = [text_page((1240, 1400), False), text_page((1240, 1400), True),
             text_page((1700, 900), False)]
    files = []
    for number, page in enumerate(pages):
        files.append(os.path.join(folder, f"page{number}.png"))
        page.save(files[-1], dpi=(DPI, DPI))
    with open(path, "wb") as out:
        out.write(img2pdf.convert(files))


def run_ocrmypdf(pdf, output, sidecar, plugin_arguments, environment=None, folder=None):
    """Runs ocrmypdf, in environment (default: this process's) and folder
    (default: the current one); returns its standard error. Raises
    AssertionError when it fails."""
    command = ["ocrmypdf", "--force-ocr", "--output-type", "pdf", "--optimize", "0",
               "--jobs", "2", "--sidecar", sidecar, *plugin_arguments, pdf, output]
    environment = dict(environment or os.environ, OMP_THREAD_LIMIT="1")
    run = subprocess.run(command, env=environment, cwd=folder, capture_output=True, text=True,
                         timeout=300)
    if run.returncode != 0:
        raise AssertionError(f"{' '.join(command)} exited with {run.returncode}:\n{run.stderr}")
    return run.stderr


def page_texts(sidecar):
    """Returns the text of each page from an ocrmypdf sidecar file."""
    with open(sidecar, encoding="utf-8") as text:
        return text.read().split("\f")


def page_images(pdf):
    """Returns each page's image from the PDF as an 8-bit gray numpy array."""
    import numpy
    import pikepdf
    from pikepdf import PdfImage
    with pikepdf.open(pdf) as document:
        images = []
        for page in document.pages:
            (image,) = page.images.values()
            images.append(numpy.asarray(PdfImage(image).as_pil_image().convert("L")))
        return images


def descriptor_failures(plugin, tessvane, folder):
    """Cleans the shadowed page through the plugin with os.close watched;
    returns the failures: a descriptor closed when it was already closed,
    a descriptor left open, a page not cleaned."""
    import fcntl
    import importlib.util
    import numpy
    found = importlib.util.spec_from_file_location("tessvane_ocrmypdf", plugin)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    closed_twice, real_close = [], os.close

    def watched_close(descriptor):
        try:
            fcntl.fcntl(descriptor, fcntl.F_GETFD)
        except OSError:
            closed_twice.append(descriptor)
        real_close(descriptor)

    page = text_page((1240, 1400), True)
    open_before = len(os.listdir("/proc/self/fd"))
    os.close = watched_close
    try:
        cleaned = module.cleaned_image(page, tessvane, os.path.join(folder, "page.tif"), 0)
    finally:
        os.close = real_close
    failures = []
    check(not closed_twice, f"descriptors closed twice while a page was cleaned: {closed_twice}",
          failures)
    check(len(os.listdir("/proc/self/fd")) == open_before,
          "cleaning a page left descriptors open", failures)
    check(numpy.asarray(cleaned)[:, :40].mean() > 240, "the page cleaned directly kept its shadow",
          failures)
    return failures


def check(condition, message, failures):
    """Records message when condition is false."""
    if not condition:
        failures.append(message)


def main(source, tessvane):
    """Runs the two ocrmypdf runs and the checks; returns the exit code."""
    try:
        import img2pdf  # noqa: F401
        import numpy  # noqa: F401
        import pikepdf  # noqa: F401
    except ImportError as missing:
        print(f"skipped: {missing.name} is missing; install ocrmypdf")
        return SKIP
    if shutil.which("ocrmypdf") is None:
        print("skipped: ocrmypdf is missing; install ocrmypdf")
        return SKIP
    plugin = os.path.join(source, "integrations", "ocrmypdf", "tessvane_ocrmypdf.py")
    with tempfile.TemporaryDirectory() as work:
        scan = os.path.join(work, "scan.pdf")
        make_pdf(scan, work)
        stub = os.path.join(work, "refusing-tessvane")
        with open(stub, "w", encoding="utf-8") as out:
            out.write(REFUSING_TESSVANE)
        os.chmod(stub, 0o755)
        os.environ["REAL_TESSVANE"] = os.path.abspath(tessvane)
        plain = os.path.join(work, "plain.pdf")
        cleaned = os.path.join(work, "cleaned.pdf")
        failures = descriptor_failures(plugin, os.path.abspath(tessvane), work)
        run_ocrmypdf(scan, plain, plain + ".txt", [])
        warnings = run_ocrmypdf(scan, cleaned, cleaned + ".txt",
                                ["--plugin", plugin, "--tessvane", stub, "--tessvane-page-image"])
        return report(plain, cleaned, warnings, failures)


def report(plain, cleaned, warnings, failures):
    """Checks the two runs' outputs, adding to failures; prints the figures
    and every failure; returns the exit code."""
    import numpy
    before, after = page_texts(plain + ".txt"), page_texts(cleaned + ".txt")
    plain_images, cleaned_images = page_images(plain), page_images(cleaned)
    shadow_before, shadow_after = recall(TEXT, before[1]), recall(TEXT, after[1])
    clean_before, clean_after = recall(TEXT, before[0]), recall(TEXT, after[0])
    print(f"shadowed page: {shadow_before:.0%} of the words found without the plugin, "
          f"{shadow_after:.0%} with it; clean page: {clean_before:.0%}, {clean_after:.0%}")
    check(shadow_after >= 0.9 and shadow_after >= shadow_before + 0.2,
          "the shadowed page's text layer did not improve enough", failures)
    check(clean_after >= clean_before - 0.02, "the clean page is read worse with the plugin", failures)
    check(re.search(r"page 3: tessvane refused the page image \(image read error\)", warnings),
          f"no warning names the refused page:\n{warnings}", failures)
    check(not re.search(r"page [12]: tessvane refused", warnings), "a page was refused wrongly", failures)
    check(after[2] == before[2], "the refused page's text layer differs from the plain run's", failures)
    check(numpy.array_equal(cleaned_images[2], plain_images[2]),
          "the refused page's image differs from the plain run's", failures)
    edge_before, edge_after = plain_images[1][:, :40].mean(), cleaned_images[1][:, :40].mean()
    check(edge_before < 100 and edge_after > 240,
          f"the shadowed page's edge in the PDF: {edge_before:.0f} -> {edge_after:.0f}", failures)
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
