"""Tests of the page generator: the layout and its ground truth, the TIFF
files, the defects and the determinism the evaluation's reruns rely on."""

import os
import re
import tempfile
import unittest

import numpy
from PIL import Image, ImageFont

import degrade
import pages
import render

CORPUS = render.read_corpus(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                         "corpus.txt"))
# Small enough to be quick, tall enough to cross a paragraph's end.
SMALL = render.Layout(size=(900, 1400), block=(40, 30, 860, 1370), font="DejaVuSerif.ttf", points=8,
                      first_paragraph=2, free_bands=[(200, 80)])


def ink_rows(coverage):
    """Returns the (first, last) rows of each run of rows holding ink."""
    inked = coverage.max(axis=1) > 0.5
    edges = numpy.flatnonzero(numpy.diff(numpy.concatenate([[0], inked.astype(int), [0]])))
    return list(zip(edges[::2], edges[1::2] - 1))


class Layout(unittest.TestCase):
    def test_wrapped_lines_fit_and_keep_every_word(self):
        font = ImageFont.truetype(render.font_path("LiberationSans-Regular.ttf"), 40)
        words = CORPUS[0].split()
        lines = render.wrap(words, font, 900)
        self.assertGreater(len(lines), 3)
        self.assertEqual(" ".join(lines).split(), words)
        for line in lines:
            self.assertLessEqual(font.getlength(line), 900)

    def test_truth_is_the_corpus_text_in_order_from_the_first_paragraph(self):
        truth = render.lay_out(SMALL, CORPUS)
        words = " ".join(text for _, text in truth).split()
        stream = " ".join(CORPUS[2:] + CORPUS[:2]).split()
        self.assertGreater(len(words), len(CORPUS[2].split()) + len(CORPUS[3].split()))
        self.assertEqual(words, stream[:len(words)])

    def test_lines_stay_in_the_block_and_out_of_free_bands(self):
        line_height = round(round(8 * 300 / 72) * SMALL.line_spacing)
        for y, _ in render.lay_out(SMALL, CORPUS):
            self.assertGreaterEqual(y, SMALL.block[1])
            self.assertLessEqual(y + line_height, SMALL.block[3])
            self.assertFalse(y + line_height > 200 and y < 280, f"line at {y} in the free band")

    def test_every_truth_line_is_drawn_inside_the_block(self):
        coverage, truth = render.render(SMALL, CORPUS)
        self.assertEqual(len(ink_rows(coverage)), len(truth.splitlines()))
        columns = numpy.flatnonzero(coverage.max(axis=0) > 0)
        self.assertGreaterEqual(columns.min(), SMALL.block[0] - 2)
        self.assertLessEqual(columns.max(), SMALL.block[2] + 2)


class TiffFiles(unittest.TestCase):
    def test_written_page_reads_back_as_8_bit_min_is_black_in_strips(self):
        pixels = numpy.random.default_rng(1).integers(0, 256, (400, 300), dtype=numpy.uint8)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "page.tif")
            render.write_tiff(path, pixels)
            numpy.testing.assert_array_equal(render.read_tiff(path), pixels)
            with Image.open(path) as image:
                tags = image.tag_v2
                self.assertIn(tags[258], (8, (8,)))   # bits per sample
                self.assertEqual(tags[262], 1)         # min-is-black
                self.assertEqual(tags[259], 5)         # LZW
                self.assertGreaterEqual(len(tags[273]), 2)  # strip offsets


class Defects(unittest.TestCase):
    def test_scanner_margin_darkens_only_beyond_the_paper_edge(self):
        for edge in ("left", "right", "top", "bottom"):
            gray = numpy.full((300, 200), 230.0, dtype=numpy.float32)
            gray = degrade.scanner_margin(gray, numpy.random.default_rng(3), edge, 30, 20, 0, 5)
            # Seen from the named edge: the first 25 pixels are bed, beyond 35 paper.
            view = {"left": gray, "right": gray[:, ::-1], "top": gray.T, "bottom": gray[::-1].T}[edge]
            with self.subTest(edge=edge):
                self.assertTrue(numpy.all(view[:, :25] == 20))
                self.assertTrue(numpy.all(view[:, 36:] == 230))

    def test_gains_reach_their_depth_at_the_edge_and_one_inside(self):
        gutter = degrade.gutter_gain((100, 400), "left", 200, 0.8)
        self.assertAlmostEqual(float(gutter[50, 0]), 0.2, places=5)
        self.assertAlmostEqual(float(gutter[50, 100]), 0.8, places=2)  # smooth: 1 - 0.8 / 4
        self.assertTrue(numpy.all(gutter[:, 200:] == 1))
        fold = degrade.fold_gain((400, 300), 150, 10, 200, 0.5)
        self.assertAlmostEqual(float(fold[0, 150]), 0.5, places=5)
        self.assertTrue(numpy.all(fold[200:, :] == 1))
        light = degrade.lighting_gain((50, 80), 1.0, 0.4, 0)
        self.assertAlmostEqual(float(light[10, 0]), 1.0, places=5)
        self.assertAlmostEqual(float(light[10, -1]), 0.4, places=5)

    def test_photo_and_stamp_are_enclosed_by_paper(self):
        for name in ("photo", "stamp"):
            plan = next(s for s in pages.PAGES if s.name == name)
            pixels, _ = pages.build_page(plan, CORPUS)
            dark = pixels < 100
            self.assertTrue(dark.any(), name)
            rows, cols = numpy.flatnonzero(dark.any(axis=1)), numpy.flatnonzero(dark.any(axis=0))
            self.assertGreater(rows.min(), 0, name)
            self.assertGreater(cols.min(), 0, name)
            self.assertLess(rows.max(), pixels.shape[0] - 1, name)
            self.assertLess(cols.max(), pixels.shape[1] - 1, name)


class Catalogue(unittest.TestCase):
    def test_enough_clean_and_degraded_pages_with_distinct_names_and_seeds(self):
        clean = [s for s in pages.PAGES if s.what.startswith("clean")]
        self.assertGreaterEqual(len(clean), 3)
        self.assertGreaterEqual(len(pages.PAGES) - len(clean), 15)
        self.assertEqual(len({s.name for s in pages.PAGES}), len(pages.PAGES))
        self.assertEqual(len({s.seed for s in pages.PAGES}), len(pages.PAGES))

    def test_a_page_is_built_the_same_twice_and_differs_with_its_seed(self):
        plan = next(s for s in pages.PAGES if s.name == "gray-margins")
        first, truth = pages.build_page(plan, CORPUS)
        again, truth_again = pages.build_page(plan, CORPUS)
        numpy.testing.assert_array_equal(first, again)
        self.assertEqual(truth, truth_again)
        plan.seed += 1000
        try:
            other, _ = pages.build_page(plan, CORPUS)
        finally:
            plan.seed -= 1000
        self.assertFalse(numpy.array_equal(first, other))

    def test_every_font_the_pages_use_is_a_requirement_of_make_evaluate(self):
        source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        with open(os.path.join(source, "tools", "install-deps.sh"), encoding="utf-8") as script:
            required = set(re.findall(r"/([\w.-]+\.ttf):[a-z]", script.read()))
        used = {plan.layout.font for plan in pages.PAGES} | {SMALL.font}
        self.assertLessEqual(used, required)


if __name__ == "__main__":
    unittest.main()
