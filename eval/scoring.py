"""Text normalisation and error rates for the OCR evaluation.

Both the ground truth and Tesseract's output pass through normalise() before
they are compared, so that typography (curly quotes, ligatures, dashes, line
breaks, spacing) is not counted as an OCR error while every letter, digit,
punctuation mark and letter case is. The edit distance is the Levenshtein
distance (insertions, deletions and substitutions each cost 1); the character
error rate is that distance over the characters of the normalised reference,
the word error rate the same over its words.
"""

import unicodedata

import numpy

# Typographic characters Tesseract and the fonts may use in place of ASCII.
_TYPOGRAPHY = str.maketrans({
    "\u2018": "'", "\u2019": "'", "\u201a": "'", "\u201b": "'",
    "\u2032": "'", "\u00b4": "'", "`": "'",
    "\u201c": '"', "\u201d": '"', "\u201e": '"', "\u2033": '"',
    "\u2010": "-", "\u2011": "-", "\u2012": "-", "\u2013": "-",
    "\u2014": "-", "\u2015": "-", "\u2212": "-",
    "\u00a0": " ", "\u2026": "...",
})


def normalise(text):
    """Returns text in NFKC form, typography mapped to ASCII, whitespace runs
    collapsed to one space and no leading or trailing space."""
    text = unicodedata.normalize("NFKC", text).translate(_TYPOGRAPHY)
    return " ".join(text.split())


def edit_distance(reference, hypothesis):
    """Returns the Levenshtein distance between two sequences of hashable
    items (strings, lists of words)."""
    symbols = {}
    ref = numpy.array([symbols.setdefault(x, len(symbols)) for x in reference], dtype=numpy.int64)
    hyp = numpy.array([symbols.setdefault(x, len(symbols)) for x in hypothesis], dtype=numpy.int64)
    if len(ref) == 0 or len(hyp) == 0:
        return max(len(ref), len(hyp))
    columns = numpy.arange(len(hyp) + 1, dtype=numpy.int64)
    row = columns.copy()
    for i, symbol in enumerate(ref, start=1):
        row = _next_row(row, symbol, hyp, i, columns)
    return int(row[-1])


def _next_row(row, symbol, hyp, i, columns):
    """Returns the dynamic-programming row for reference prefix length i from
    the row for i - 1."""
    substitute = row[:-1] + (hyp != symbol)
    candidate = numpy.empty_like(row)
    candidate[0] = i
    candidate[1:] = numpy.minimum(row[1:] + 1, substitute)
    # An insertion chain adds 1 a column: new[j] = min over k <= j of
    # candidate[k] + (j - k), a running minimum of candidate - column.
    return numpy.minimum.accumulate(candidate - columns) + columns


def error_rates(reference, hypothesis):
    """Returns (character error rate, word error rate) of hypothesis against
    reference, both normalised first; raises ValueError on an empty
    reference."""
    ref = normalise(reference)
    hyp = normalise(hypothesis)
    if not ref:
        raise ValueError("empty reference text")
    cer = edit_distance(ref, hyp) / len(ref)
    wer = edit_distance(ref.split(" "), hyp.split(" ") if hyp else []) / len(ref.split(" "))
    return cer, wer
