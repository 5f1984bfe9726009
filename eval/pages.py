"""The evaluation's pages: what each one shows, and how it is made.

PAGES lists every page in report order: clean control pages first, then the
degraded ones. Each page is fully determined by its PageSpec (layout, defects
and seed), so building it twice gives the same pixels and the same ground
truth. Sizes are in pixels at 300 dpi; reflectances and gains are fractions.
"""

from dataclasses import dataclass, field

import numpy

import degrade
from render import A4, A5, Layout, render

# The text block of an A5 page with ordinary margins: left, top, right, bottom.
A5_BLOCK = (170, 190, 1578, 2290)


@dataclass
class PageSpec:
    """One page: a name, a one-line description of its defects, the text
    layout, the generator's seed and the defects themselves."""
    name: str
    what: str
    layout: Layout
    seed: int
    paper: float = 0.92
    ink: float = 0.05
    photo: tuple = None            # (left, top, right, bottom)
    stamp: tuple = None            # (x, y, radius, thickness)
    gains: list = field(default_factory=list)    # ("lighting"|"vignette"|"gutter"|"fold", args...)
    margins: list = field(default_factory=list)  # (edge, width, level, noise, wobble)
    blur: float = 0.0
    noise: float = 0.0


def a5(font, points, first, **options):
    """Returns the Layout of an A5 page in the standard text block, with
    Layout's other fields from options."""
    return Layout(size=A5, block=options.pop("block", A5_BLOCK), font=font, points=points,
                  first_paragraph=first, **options)


_GAIN_MAKERS = {
    "lighting": degrade.lighting_gain,
    "vignette": degrade.vignette_gain,
    "gutter": degrade.gutter_gain,
    "fold": degrade.fold_gain,
}


def build_page(plan, paragraphs):
    """Returns (uint8 pixels, ground truth text) of the page plan describes."""
    rng = numpy.random.default_rng(plan.seed)
    coverage, truth = render(plan.layout, paragraphs)
    refl = degrade.reflectance(coverage, plan.paper, plan.ink)
    if plan.photo:
        refl = degrade.add_photo(refl, rng, plan.photo)
    if plan.stamp:
        refl = degrade.add_stamp(refl, plan.stamp[:2], *plan.stamp[2:])
    gain = numpy.ones_like(refl)
    for kind, *args in plan.gains:
        gain *= _GAIN_MAKERS[kind](refl.shape, *args)
    gray = 255 * gain * refl
    for margin in plan.margins:
        gray = degrade.scanner_margin(gray, rng, *margin)
    if plan.blur:
        gray = degrade.gaussian_blur(gray, plan.blur)
    if plan.noise:
        gray = degrade.sensor_noise(gray, rng, plan.noise)
    return degrade.quantise(gray), truth


_PHOTO_BAND = (1000, 560)          # a band free of text for a photo or stamp
NEAR_LEFT = (96, 190, 1578, 2290)  # a text block that starts close to the left edge

PAGES = [
    PageSpec("clean-serif", "clean: DejaVu Serif 11 pt", a5("DejaVuSerif.ttf", 11, 0), 101),
    PageSpec("clean-sans", "clean: Liberation Sans 10 pt", a5("LiberationSans-Regular.ttf", 10, 3), 102),
    PageSpec("clean-mono", "clean: Liberation Mono 10 pt", a5("LiberationMono-Regular.ttf", 10, 8), 103),
    PageSpec("clean-a4", "clean A4: Liberation Serif 12 pt",
             Layout(A4, (240, 260, 2240, 3250), "LiberationSerif-Regular.ttf", 12, 5), 104),
    PageSpec("lighting", "uneven lighting, 95% to 40% across the diagonal",
             a5("LiberationSerif-Regular.ttf", 11, 1), 1, gains=[("lighting", 0.95, 0.40, 30)]),
    PageSpec("vignette", "strong vignette, corners at 45%",
             a5("DejaVuSans.ttf", 10, 2), 2, gains=[("vignette", 0.55)]),
    PageSpec("black-margins", "black scanner margin on the left and top edges",
             a5("DejaVuSerif.ttf", 10, 4), 3,
             margins=[("left", 110, 12, 5, 20), ("top", 120, 14, 5, 15)], noise=3),
    PageSpec("gray-margins", "noisy dark-gray margin (level 50) on the right and bottom",
             a5("LiberationSans-Regular.ttf", 11, 6), 4,
             margins=[("right", 120, 50, 14, 20), ("bottom", 110, 50, 14, 15)], noise=4),
    PageSpec("gutter", "binding gutter on the left, 85% deep, text running into it",
             a5("LiberationSerif-Regular.ttf", 11, 7), 5, gains=[("gutter", "left", 520, 0.85)]),
    PageSpec("fold", "fold shadow running down from the top edge",
             a5("DejaVuSans.ttf", 10, 9), 6, gains=[("fold", 880, 60, 1700, 0.7)], noise=3),
    PageSpec("low-contrast", "low contrast: paper 68%, ink 42%",
             a5("DejaVuSerif.ttf", 11, 10), 7, paper=0.68, ink=0.42, noise=3),
    PageSpec("low-contrast-lit", "low contrast and uneven lighting",
             a5("LiberationSans-Regular.ttf", 10, 11), 8, paper=0.75, ink=0.40,
             gains=[("lighting", 1.0, 0.55, 120)], noise=3),
    PageSpec("blur-noise", "blur (sigma 1.5 px) and sensor noise (sigma 12)",
             a5("LiberationSans-Regular.ttf", 10, 12), 9, blur=1.5, noise=12),
    PageSpec("photo", "enclosed dark photo, uneven lighting",
             a5("LiberationSerif-Regular.ttf", 11, 13, free_bands=[_PHOTO_BAND]), 10,
             photo=(360, 1040, 1390, 1520), gains=[("lighting", 1.0, 0.6, 0)], noise=3),
    PageSpec("stamp", "enclosed dark stamp, vignette",
             a5("DejaVuSerif.ttf", 10, 14, free_bands=[_PHOTO_BAND]), 11,
             stamp=(874, 1280, 230, 40), gains=[("vignette", 0.4)], noise=3),
    PageSpec("near-margin", "text 20 to 40 px from a black left margin",
             a5("DejaVuSans.ttf", 10, 15, block=NEAR_LEFT), 12,
             margins=[("left", 66, 18, 5, 10)], noise=3),
    PageSpec("touching-margin", "black left margin touching the first letters of lines",
             a5("LiberationSerif-Regular.ttf", 11, 16, block=NEAR_LEFT), 13,
             margins=[("left", 96, 18, 5, 12)], noise=3),
    PageSpec("book-spread", "gutter on the right, black top and bottom margins, lighting, noise",
             a5("LiberationSerif-Regular.ttf", 10, 0), 14,
             gains=[("gutter", "right", 480, 0.8), ("lighting", 1.0, 0.7, 90)],
             margins=[("top", 100, 10, 4, 12), ("bottom", 100, 10, 4, 12)], noise=5),
    PageSpec("four-margins", "dark margins on all four edges, vignette, noise",
             a5("DejaVuSans.ttf", 10, 2), 15, gains=[("vignette", 0.5)],
             margins=[("left", 100, 25, 8, 20), ("right", 100, 25, 8, 20),
                      ("top", 100, 25, 8, 20), ("bottom", 100, 25, 8, 20)], noise=6),
    PageSpec("gray-margin-gutter", "noisy gray margin on the left, gutter on the right, 9 pt",
             a5("DejaVuSansCondensed.ttf", 9, 5), 16,
             gains=[("gutter", "right", 420, 0.75)],
             margins=[("left", 110, 55, 16, 15)], noise=5),
    PageSpec("heavy-noise", "heavy sensor noise (sigma 22) and uneven lighting",
             a5("DejaVuSerif.ttf", 11, 8), 17, gains=[("lighting", 0.95, 0.5, 60)], noise=22),
    PageSpec("fold-blur", "fold shadow, low contrast and blur",
             a5("LiberationSans-Regular.ttf", 11, 9), 18, paper=0.82, ink=0.35,
             gains=[("fold", 700, 90, 2000, 0.6)], blur=1.2, noise=4),
    PageSpec("a4-book", "A4 book scan: gutter on the left, black margin top and right",
             Layout(A4, (260, 280, 2220, 3250), "DejaVuSerif.ttf", 11, 12), 19,
             gains=[("gutter", "left", 650, 0.85)],
             margins=[("top", 120, 15, 6, 20), ("right", 140, 15, 6, 25)], noise=4),
]

# The page and region (left, top, right, bottom) of the README's hard case.
HARD_CASE = ("fold-blur", (330, 170, 1130, 770))
