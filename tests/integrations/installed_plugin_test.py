#!/usr/bin/python3
"""The OCRmyPDF plugin as the Debian package installs it, under Debian's ocrmypdf.

The package is built from the build directory with cpack and unpacked with
dpkg-deb -x into a temporary directory. ocrmypdf then runs in another,
empty directory as a user would call it, `ocrmypdf --plugin
tessvane_ocrmypdf scan.pdf out.pdf`, with the unpacked usr/bin first on
PATH and the unpacked dist-packages alone on PYTHONPATH: the plugin is
found by its module name and finds tessvane on PATH, both from the unpacked
files (neither the source tree nor the build directory is on either path).
The page is a generated scan with a black scanner margin along its left
edge, whose shadow runs in from it over most of the text. Checked:
- the module and the tessvane found that way are the unpacked ones;
- without the plugin Tesseract misses most of the page's words, so the
  page needs cleaning;
- with the plugin it finds nearly all of them.

Exits 0 on success, 1 on a failure and 77 (a skip) when ocrmypdf, its
Python libraries, cpack or dpkg-deb are missing.

Usage: installed_plugin_test.py BUILD_DIR
"""

import sys
sys.dont_write_bytecode = True

import glob
import os
import shutil
import subprocess
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ocrmypdf_plugin_test as plugin_test  # noqa: E402  the page and the word count

SKIP = 77
MARGIN = 60  # the black margin's width in pixels
MODULE_DIR = os.path.join("usr", "lib", "python3", "dist-packages")


def unpacked_package(build, folder):
    """Builds the Debian package from build and unpacks it into folder/root;
    returns that root. Raises AssertionError when either step fails."""
    out = os.path.join(folder, "out")
    packing = subprocess.run(["cpack", "-G", "DEB", "--config",
                              os.path.join(build, "CPackConfig.cmake"), "-B", out],
                             capture_output=True, text=True, timeout=600)
    packages = glob.glob(os.path.join(out, "*.deb"))
    if packing.returncode != 0 or len(packages) != 1:
        raise AssertionError(f"cpack made {packages}:\n{packing.stdout}{packing.stderr}")
    root = os.path.join(folder, "root")
    subprocess.run(["dpkg-deb", "-x", packages[0], root], check=True)
    return root


def margin_scan(path, folder):
    """Writes a one-page scanned PDF: the plugin test's shadowed page with a
    black margin (level 12) along its left edge, where the shadow starts."""
    import img2pdf
    import numpy
    from PIL import Image
    pixels = numpy.array(plugin_test.text_page((1240, 1400), True))
    pixels[:, :MARGIN] = 12
    image = os.path.join(folder, "page.png")
    Image.fromarray(pixels, mode="L").save(image, dpi=(plugin_test.DPI, plugin_test.DPI))
    with open(path, "wb") as out:
        out.write(img2pdf.convert([image]))


def found_as_installed(root, environment):
    """Returns what the environment finds, through the paths alone, as the
    plugin module and as tessvane."""
    spec = subprocess.run(
        ["/usr/bin/python3", "-c",
         "import importlib.util; print(importlib.util.find_spec('tessvane_ocrmypdf').origin)"],
        env=environment, capture_output=True, text=True, check=False)
    return spec.stdout.strip(), shutil.which("tessvane", path=environment["PATH"])


def main(build):
    """Builds and unpacks the package, runs ocrmypdf without and with the
    plugin and checks the words found; returns the exit code."""
    try:
        import img2pdf  # noqa: F401
        import numpy  # noqa: F401
    except ImportError as missing:
        print(f"skipped: {missing.name} is missing; install ocrmypdf")
        return SKIP
    for tool in ("ocrmypdf", "cpack", "dpkg-deb"):
        if shutil.which(tool) is None:
            print(f"skipped: {tool} is missing")
            return SKIP
    with tempfile.TemporaryDirectory() as work:
        root = unpacked_package(build, work)
        environment = dict(os.environ,
                           PATH=os.pathsep.join([os.path.join(root, "usr", "bin"), "/usr/bin", "/bin"]),
                           PYTHONPATH=os.path.join(root, MODULE_DIR))
        failures = []
        module, tessvane = found_as_installed(root, environment)
        plugin_test.check(module == os.path.join(root, MODULE_DIR, "tessvane_ocrmypdf.py"),
                          f"the module found is {module!r}, not the unpacked one", failures)
        plugin_test.check(tessvane == os.path.join(root, "usr", "bin", "tessvane"),
                          f"the tessvane found is {tessvane!r}, not the unpacked one", failures)
        folder = os.path.join(work, "anywhere")
        os.mkdir(folder)
        margin_scan(os.path.join(folder, "scan.pdf"), work)
        plugin_test.run_ocrmypdf("scan.pdf", "plain.pdf", "plain.txt", [], environment, folder)
        plugin_test.run_ocrmypdf("scan.pdf", "out.pdf", "out.txt", ["--plugin", "tessvane_ocrmypdf"],
                                 environment, folder)
        before = plugin_test.page_texts(os.path.join(folder, "plain.txt"))[0]
        after = plugin_test.page_texts(os.path.join(folder, "out.txt"))[0]
    found_before = plugin_test.recall(plugin_test.TEXT, before)
    found_after = plugin_test.recall(plugin_test.TEXT, after)
    print(f"words behind the margin's shadow: {found_before:.0%} found without the plugin, "
          f"{found_after:.0%} with the installed one")
    plugin_test.check(found_before < 0.5, "the page needs no cleaning: the test shows nothing",
                      failures)
    plugin_test.check(found_after >= 0.9, "the installed plugin did not bring the words out",
                      failures)
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
