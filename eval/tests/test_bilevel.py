"""Tests of the bilevel pages: the Group 4 files they are stored as, and the
synthetic pages' defects, joined to the edge and touching no text."""

import os
import tempfile
import unittest

import numpy
from PIL import Image

import bilevel
import pages
import render

CORPUS = render.read_corpus(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                         "corpus.txt"))
EDGES = ("left", "right", "top", "bottom")


def edges_spoilt(plan):
    """Returns the edges a page's margins and gutters lie along."""
    spoilt = {margin[0] for margin in plan.margins}
    spoilt |= {gain[1] for gain in plan.gains if gain[0] == "gutter"}
    return spoilt


CORNER = 32  # pixels along an edge left out next to the text block's corners


def strip_between(black, edge, block):
    """Returns the band of black between edge and the text block, over the
    block's extent along the edge, turned so that its columns run from the
    edge inwards."""
    left, top, right, bottom = block
    band = {"left": black[top:bottom, :left], "right": black[top:bottom, right:][:, ::-1],
            "top": black[:top, left:right].T, "bottom": black[bottom:, left:right][::-1].T}
    return band[edge]


class Files(unittest.TestCase):
    def test_a_page_is_stored_one_bit_group_4_as_thresholded(self):
        rng = numpy.random.default_rng(5)
        pixels = rng.integers(0, 256, size=(37, 53), dtype=numpy.uint8)
        black_and_white = bilevel.to_bilevel(pixels)
        self.assertEqual(set(numpy.unique(black_and_white)), {0, 255})
        self.assertTrue(((pixels < bilevel.THRESHOLD) == (black_and_white == 0)).all())
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "page.tif")
            bilevel.write_group4(path, black_and_white)
            with Image.open(path) as image:
                self.assertEqual(image.mode, "1")
                self.assertEqual(image.info["compression"], "group4")
                self.assertTrue((numpy.asarray(image.convert("L")) == black_and_white).all())


class SyntheticPages(unittest.TestCase):
    def test_defects_are_black_at_the_edge_and_touch_text_only_where_meant(self):
        for plan in bilevel.SYNTHETIC:
            with self.subTest(page=plan.name):
                pixels, _ = pages.build_page(plan, CORPUS)
                black = bilevel.to_bilevel(pixels) == 0
                for edge in EDGES:
                    band = strip_between(black, edge, plan.layout.block)
                    if edge in edges_spoilt(plan):
                        # Black joined to the edge all along it...
                        self.assertTrue(band[:, 0].all(), edge)
                        # ...with a white gap before the text, but where
                        # the margin is meant to reach the letters.
                        gap = (~band.any(axis=0)).any()
                        self.assertEqual(gap, plan.name not in bilevel.TEXT_TOUCHES_MARGIN, edge)
                    else:
                        # A margin on the next edge that reaches into the
                        # text may pass the block's corner: the band's ends
                        # are left out.
                        self.assertFalse(band[CORNER:-CORNER, 0].any(), edge)

    def test_the_real_bilevel_pages_are_the_group_4_ones(self):
        names = [page.name for page in bilevel.REAL]
        self.assertEqual(names, ["unlv-8087", "unlv-8071", "scots-frag"])


if __name__ == "__main__":
    unittest.main()
