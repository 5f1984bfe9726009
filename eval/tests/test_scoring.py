"""Tests of the evaluation's scoring: the edit distance against a plain
recursive definition, the normalisation, the error rates, and the proxies
for pages without a transcription."""

import functools
import random
import tempfile
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


# Tesseract 5.3's TSV for two lines of one paragraph, with a word of no text
# (a blank box) that must not count; confidences as Tesseract writes them.
TSV = "\n".join("\t".join(row) for row in [
    "level page_num block_num par_num line_num word_num left top width height conf text".split(),
    "1 1 0 0 0 0 0 0 900 400 -1".split() + [""],
    "4 1 1 1 1 0 10 10 300 30 -1".split() + [""],
    "5 1 1 1 1 1 10 10 100 30 96.5 Hello".split(),
    "5 1 1 1 1 2 120 10 100 30 90 world,".split(),
    "5 1 1 1 1 3 230 10 20 30 95".split() + [" "],
    "4 1 1 1 2 0 10 50 300 30 -1".split() + [""],
    "5 1 1 1 2 1 10 50 100 30 30.5 ex-".split(),
    "5 1 1 2 1 1 10 90 100 30 41 plain".split(),
]) + "\n"


class Proxies(unittest.TestCase):
    WORDS = {"the", "cat", "sat", "on", "don't", "explain", "well-known", "a"}

    def test_dictionary_words_count_listed_words_of_two_letters_or_more(self):
        for text, expected in [
                ("The cat, sat (on) the mat.", 5),        # "mat" is not listed
                ("a I x 9 on", 1),                        # single letters never count
                ("DON\u2019T \"Cat\"", 2),                # case and typography do not matter
                ("ex-\nplain ex- plain", 1),               # only a line-end hyphen joins
                ("well-known c4t th3 sat-", 1),           # only "sat": compounds and digits never count
                ("", 0)]:
            with self.subTest(text=text):
                self.assertEqual(scoring.dictionary_words(text, self.WORDS), expected)

    def test_word_recall_counts_repeats_in_any_order(self):
        for reference, hypothesis, expected in [
                ("the cat the dog", "dog the cat", 3 / 4),
                ("the cat the dog", "the the cat dog dog extra words", 1.0),
                ("How could she ex-\nplain it?", "how could she explain", 4 / 5),
                ("Some words", "", 0.0)]:
            with self.subTest(reference=reference, hypothesis=hypothesis):
                self.assertAlmostEqual(scoring.word_recall(reference, hypothesis), expected)
        with self.assertRaises(ValueError):
            scoring.word_recall(" -- ", "text")

    def test_tesseract_words_keep_the_lines_and_confidences_of_real_words(self):
        words = scoring.tesseract_words(TSV)
        self.assertEqual([(w, c) for w, c, _ in words],
                         [("Hello", 96.5), ("world,", 90.0), ("ex-", 30.5), ("plain", 41.0)])
        self.assertEqual(scoring.words_as_text(words), "Hello world,\nex-\nplain")
        self.assertAlmostEqual(scoring.mean_confidence(words), (96.5 + 90 + 30.5 + 41) / 4)
        self.assertEqual(scoring.dictionary_words(scoring.words_as_text(words), self.WORDS), 1)
        self.assertEqual(scoring.mean_confidence([]), 0.0)
        with self.assertRaises(ValueError):
            scoring.tesseract_words("Hello world\n")

    def test_word_list_entries_are_read_in_lower_case(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", encoding="utf-8") as words:
            words.write("Aaron\napple\n\nO'Brien's\n")
            words.flush()
            self.assertEqual(scoring.read_word_list(words.name), {"aaron", "apple", "o'brien's"})


if __name__ == "__main__":
    unittest.main()
