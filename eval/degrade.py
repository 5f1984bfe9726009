"""Scan defects applied to a rendered page, each driven by a seeded generator.

A page goes through three stages, as light does in a scanner:
  reflectance (paper, ink, a printed photo or a stamp) ->
  illumination (a gain field: uneven lighting, vignette, gutter or fold
  shadow) times reflectance, plus the dark scanner bed outside the paper ->
  optics and sensor (blur, then noise), quantised to 0..255.
Every function takes and returns float32 arrays of the page's shape; values
are gray levels 0..255 after illumination and reflectances 0..1 before.
"""

import numpy
from PIL import Image


def reflectance(coverage, paper=0.92, ink=0.05):
    """Returns the page's reflectance: paper where coverage is 0, ink where it
    is 1, mixed linearly between (antialiased edges)."""
    return paper + (ink - paper) * coverage


def smooth_field(rng, shape, cells):
    """Returns a smooth random field in [0, 1] of the given shape: uniform
    noise on a grid of about cells x cells, bicubically enlarged."""
    rows = max(2, round(cells * shape[0] / max(shape)))
    cols = max(2, round(cells * shape[1] / max(shape)))
    coarse = Image.fromarray(rng.random((rows, cols)).astype(numpy.float32), mode="F")
    field = numpy.asarray(coarse.resize((shape[1], shape[0]), Image.BICUBIC), dtype=numpy.float32)
    span = field.max() - field.min()
    return (field - field.min()) / (span if span > 0 else 1.0)


def add_photo(refl, rng, box, level=0.25, spread=0.2):
    """Prints a dark, textured photo into box (left, top, right, bottom),
    its reflectance level +- spread."""
    left, top, right, bottom = box
    texture = smooth_field(rng, (bottom - top, right - left), 12)
    refl[top:bottom, left:right] = level + spread * (2 * texture - 1)
    return refl


def add_stamp(refl, centre, radius, thickness, ink=0.3):
    """Inks a ring stamp with a bar across it at centre (x, y): a dark mark
    enclosed by paper."""
    ys, xs = numpy.ogrid[:refl.shape[0], :refl.shape[1]]
    distance = numpy.hypot(xs - centre[0], ys - centre[1])
    ring = numpy.abs(distance - radius) < thickness / 2
    bar = (numpy.abs(ys - centre[1]) < thickness / 2) & (distance < radius)
    refl[ring | bar] = numpy.minimum(refl[ring | bar], ink)
    return refl


def lighting_gain(shape, start, end, angle_degrees):
    """Returns a gain falling linearly from start to end across the page in
    the direction angle_degrees (0 = left to right, 90 = top to bottom)."""
    ys, xs = numpy.mgrid[:shape[0], :shape[1]].astype(numpy.float32)
    angle = numpy.radians(angle_degrees)
    t = xs * numpy.cos(angle) + ys * numpy.sin(angle)
    t = (t - t.min()) / (t.max() - t.min())
    return start + (end - start) * t


def vignette_gain(shape, strength):
    """Returns a gain of 1 at the centre falling by strength at the corners,
    quadratically in the distance."""
    ys, xs = numpy.mgrid[:shape[0], :shape[1]].astype(numpy.float32)
    dy = (ys - shape[0] / 2) / (shape[0] / 2)
    dx = (xs - shape[1] / 2) / (shape[1] / 2)
    return 1 - strength * (dx * dx + dy * dy) / 2


def _distance_from_edge(shape, edge):
    """Returns each pixel's distance in pixels from the named page edge."""
    ys, xs = numpy.mgrid[:shape[0], :shape[1]].astype(numpy.float32)
    return {"left": xs, "right": shape[1] - 1 - xs, "top": ys, "bottom": shape[0] - 1 - ys}[edge]


def gutter_gain(shape, edge, width, depth):
    """Returns the gain of a binding gutter along edge: 1 - depth at the edge,
    rising smoothly to 1 at width pixels in."""
    t = numpy.clip(1 - _distance_from_edge(shape, edge) / width, 0, 1)
    return 1 - depth * t * t


def fold_gain(shape, x, width, length, depth):
    """Returns the gain of a fold's shadow: a vertical dark line at column x
    running in from the top edge, depth deep, fading out over length rows."""
    ys, xs = numpy.mgrid[:shape[0], :shape[1]].astype(numpy.float32)
    across = numpy.exp(-((xs - x) / width) ** 2)
    along = numpy.clip(1 - ys / length, 0, 1)
    return 1 - depth * across * along


def scanner_margin(gray, rng, edge, width, level, noise, wobble):
    """Replaces the strip beyond the paper's edge along the named page edge
    by the dark scanner bed (level +- noise); the paper's edge lies width
    pixels in, bent by up to wobble pixels."""
    along = gray.shape[0] if edge in ("left", "right") else gray.shape[1]
    bend = width + wobble * (2 * smooth_field(rng, (1, along), 6)[0] - 1)
    depth = _distance_from_edge(gray.shape, edge)
    beyond = depth < (bend[:, None] if edge in ("left", "right") else bend[None, :])
    bed = level + noise * rng.standard_normal(gray.shape).astype(numpy.float32)
    gray[beyond] = bed[beyond]
    return gray


def gaussian_blur(gray, sigma):
    """Returns gray blurred by a Gaussian of sigma pixels (separable, edges
    repeated)."""
    radius = max(1, int(3 * sigma + 0.5))
    offsets = numpy.arange(-radius, radius + 1)
    weights = numpy.exp(-0.5 * (offsets / sigma) ** 2)
    weights /= weights.sum()
    for axis in (0, 1):
        padded = numpy.pad(gray, [(radius, radius) if a == axis else (0, 0) for a in (0, 1)], mode="edge")
        length = gray.shape[axis]
        gray = sum(w * numpy.take(padded, numpy.arange(k, k + length), axis=axis)
                   for k, w in enumerate(weights)).astype(numpy.float32)
    return gray


def sensor_noise(gray, rng, sigma):
    """Returns gray with Gaussian noise of sigma gray levels added."""
    return gray + sigma * rng.standard_normal(gray.shape).astype(numpy.float32)


def quantise(gray):
    """Returns gray rounded and clipped to uint8."""
    return numpy.clip(numpy.rint(gray), 0, 255).astype(numpy.uint8)
