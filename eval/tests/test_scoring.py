"""Tests of the evaluation's scoring: the edit distance against a plain
recursive definition, the normalisation, and the error rates."""

import functools
import random
import unittest

import scoring


def reference_distance(a, b):
    """The Levenshtein distance straight from its recursive definition."""
    @functools.lru_cache(maxsize=None)
    def d(i, j):
        if i == 0 or j == 0:
            return i + j
        return min(d(i - 1, j) + 1, d(i, j - 1) + 1, d(i - 1, j - 1) + (a[i - 1] != b[j - 1]))
    return d(len(a), len(b))


class EditDistance(unittest.TestCase):
    def test_known_pairs(self):
        for a, b, expected in [("kitten", "sitting", 3), ("flaw", "lawn", 2), ("", "abc", 3),
                               ("abc", "", 3), ("same", "same", 0), ("ab", "ba", 2),
                               ("abcdef", "azced", 3)]:
            with self.subTest(a=a, b=b):
                self.assertEqual(scoring.edit_distance(a, b), expected)

    def test_agrees_with_the_recursive_definition(self):
        rng = random.Random(7)
        for _ in range(300):
            a = "".join(rng.choice("abc ") for _ in range(rng.randrange(0, 14)))
            b = "".join(rng.choice("abc ") for _ in range(rng.randrange(0, 14)))
            with self.subTest(a=a, b=b):
                self.assertEqual(scoring.edit_distance(a, b), reference_distance(a, b))

    def test_counts_whole_words_in_word_lists(self):
        ref = "the quick brown fox".split()
        self.assertEqual(scoring.edit_distance(ref, "the quick brown fox".split()), 0)
        self.assertEqual(scoring.edit_distance(ref, "the quack brown".split()), 2)
        self.assertEqual(scoring.edit_distance(ref, "quick the brown fox jumps".split()), 3)


class Normalise(unittest.TestCase):
    def test_maps_typography_to_ascii_and_keeps_case(self):
        self.assertEqual(scoring.normalise("\u201cIt\u2019s\u201d \ufb01ne \u2014 Done\u2026"),
                         "\"It's\" fine - Done...")

    def test_collapses_whitespace_and_line_breaks(self):
        self.assertEqual(scoring.normalise("  one\n\ntwo\t three \u00a0four \n"), "one two three four")

    def test_keeps_punctuation_and_digits(self):
        self.assertEqual(scoring.normalise("1,865; (a) b."), "1,865; (a) b.")


class ErrorRates(unittest.TestCase):
    def test_exact_match_scores_zero(self):
        self.assertEqual(scoring.error_rates("the cat\nsat", "the  cat sat\n"), (0.0, 0.0))

    def test_one_letter_wrong(self):
        cer, wer = scoring.error_rates("the cat sat", "the bat sat")
        self.assertAlmostEqual(cer, 1 / 11)
        self.assertAlmostEqual(wer, 1 / 3)

    def test_nothing_read_scores_one(self):
        self.assertEqual(scoring.error_rates("the cat sat", " \n"), (1.0, 1.0))

    def test_extra_output_can_exceed_one(self):
        cer, wer = scoring.error_rates("ab", "ab cd ef")
        self.assertAlmostEqual(cer, 3.0)
        self.assertAlmostEqual(wer, 2.0)

    def test_typography_alone_is_not_an_error(self):
        self.assertEqual(scoring.error_rates("don't - \"so\"", "don\u2019t \u2013 \u201cso\u201d"), (0.0, 0.0))

    def test_empty_reference_is_refused(self):
        with self.assertRaises(ValueError):
            scoring.error_rates(" \n", "text")


if __name__ == "__main__":
    unittest.main()
