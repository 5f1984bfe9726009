"""Text normalisation and error rates for the OCR evaluation.

Both the ground truth and Tesseract's output pass through normalise() before
they are compared, so that typography (curly quotes, ligatures, dashes, line
breaks, spacing) is not counted as an OCR error while every letter, digit,
punctuation mark and letter case is. The edit distance is the Levenshtein
distance (insertions, deletions and substitutions each cost 1); the character
error rate is that distance over the characters of the normalised reference,
the word error rate the same over its words.
"""

import collections
import re
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


# Proxy scores, for pages without a full transcription. Neither needs the
# true text: the number of words Tesseract read that an English word list
# holds, and Tesseract's own mean confidence in its words. Both rise when
# more of the page is read as words; neither sees a word misread as another
# real word, so they are a proxy for the error rate, not a measure of it.

_TOKEN_EDGES = "\"'()[]{}<>.,;:!?-\u2014\u2013*_/\\|"


def read_word_list(path):
    """Returns the set of lower-case entries of a word list file (one word a
    line, as /usr/share/dict/words); raises OSError when it cannot be read."""
    with open(path, encoding="utf-8", errors="replace") as words:
        return {line.strip().lower() for line in words if line.strip()}


def dehyphenate(text):
    """Returns text with words split by a hyphen at a line end joined again."""
    return re.sub(r"(\w)-[ \t]*\n\s*(\w)", r"\1\2", text)


def plain_words(text):
    """Returns the tokens of the normalised text, dehyphenated, with
    surrounding punctuation stripped and in lower case; empty tokens are
    dropped."""
    tokens = normalise(dehyphenate(text)).split(" ")
    stripped = (token.strip(_TOKEN_EDGES).lower() for token in tokens)
    return [token for token in stripped if token]


def dictionary_words(text, word_list):
    """Returns how many tokens of text (plain_words) of two letters or more,
    letters and apostrophes only, are entries of word_list. Single letters
    are left out: noise read as text is mostly single letters."""
    return sum(1 for token in plain_words(text)
               if len(token) >= 2 and re.fullmatch(r"[a-z][a-z']*", token) and token in word_list)


def word_recall(reference, hypothesis):
    """Returns the share of the reference's words (plain_words, repeats
    counted) that the hypothesis holds, in any order: the measure for a
    transcription of part of the page, where the rest of the page's text
    must not count as errors. Raises ValueError on an empty reference."""
    expected = collections.Counter(plain_words(reference))
    if not expected:
        raise ValueError("empty reference text")
    found = collections.Counter(plain_words(hypothesis))
    return sum((expected & found).values()) / sum(expected.values())


def tesseract_words(tsv):
    """Returns [(word, confidence, line)] from Tesseract's TSV output: the
    rows of level 5 (words) with text, line being the (page, block,
    paragraph, line) numbers of the word's line; raises ValueError on a
    header without those columns."""
    lines = tsv.splitlines()
    if not lines:
        return []
    header = lines[0].split("\t")
    names = ("level", "page_num", "block_num", "par_num", "line_num", "conf", "text")
    try:
        level, *line_columns, conf, text = (header.index(name) for name in names)
    except ValueError:
        raise ValueError("not Tesseract TSV output: " + lines[0][:80]) from None
    words = []
    for row in lines[1:]:
        cells = row.split("\t")
        if len(cells) > text and cells[level] == "5" and cells[text].strip():
            words.append((cells[text], float(cells[conf]), tuple(cells[c] for c in line_columns)))
    return words


def words_as_text(words):
    """Returns the words of tesseract_words as text: a line's words joined
    by spaces, one line of text a line."""
    lines = []
    for word, _, line in words:
        if lines and lines[-1][0] == line:
            lines[-1][1].append(word)
        else:
            lines.append((line, [word]))
    return "\n".join(" ".join(line_words) for _, line_words in lines)


def mean_confidence(words):
    """Returns the mean confidence (0 to 100) of tesseract_words' words, or
    0 when there are none."""
    return sum(word[1] for word in words) / len(words) if words else 0.0
