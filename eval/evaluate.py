#!/usr/bin/python3
"""Runs the OCR evaluation: does tessvane make Tesseract read scans better?

For every page in pages.PAGES it writes the page as a TIFF with its ground
truth, clears a copy with the tessvane under test, runs Tesseract on both in
each page-segmentation mode and scores the outputs against the ground truth.
For every real page in realpages.PAGES it runs Tesseract (automatic layout)
on the page as scanned and after each cleaner, and scores the output by the
proxies in scoring (dictionary words, mean confidence) and, where the page
has a transcription, by the share of its words found. For the bilevel
pages of bilevel (synthetic ones with a ground truth, and the real bilevel
pages as stored) it runs Tesseract as stored, after tessvane and after
unpaper, scored the same two ways. It writes the report
(Markdown, plot and a cropped before/after) into the docs folder and prints
both summary tables. Everything is seeded and Tesseract runs
single-threaded, so a rerun on the same machine and packages writes the same
bytes.

Usage: evaluate.py --tessvane BUILD/tessvane --work DIR --docs DIR
"""

import sys
sys.dont_write_bytecode = True  # keep the source tree free of __pycache__

import argparse
import os
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import bilevel
import pages
import realpages
import render
import report
import scoring

HERE = os.path.dirname(os.path.abspath(__file__))
MODES = (3, 6)
VARIANTS = ("before", "after")
REAL_MODE = 3
WORD_LIST = "/usr/share/dict/words"


def parse_arguments(argv):
    """Returns the parsed command line; argparse exits on a bad one."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tessvane", required=True, help="the tessvane executable under test")
    parser.add_argument("--work", required=True, help="folder for the pages and OCR outputs")
    parser.add_argument("--docs", required=True, help="folder the report is written to")
    parser.add_argument("--jobs", type=int, default=2, help="Tesseract runs at once (default 2)")
    return parser.parse_args(argv)


def make_pages(work, tessvane):
    """Writes each page (before/NAME.tif), its ground truth (truth/NAME.txt)
    and its cleared copy (after/NAME.tif) under work; returns {name: truth}.
    Raises RuntimeError when tessvane fails on a page."""
    paragraphs = render.read_corpus(os.path.join(HERE, "corpus.txt"))
    for folder in ("before", "after", "truth", "ocr"):
        os.makedirs(os.path.join(work, folder), exist_ok=True)
    truths = {}
    for plan in pages.PAGES:
        pixels, truths[plan.name] = pages.build_page(plan, paragraphs)
        before = os.path.join(work, "before", plan.name + ".tif")
        after = os.path.join(work, "after", plan.name + ".tif")
        render.write_tiff(before, pixels)
        with open(os.path.join(work, "truth", plan.name + ".txt"), "w", encoding="utf-8") as out:
            out.write(truths[plan.name])
        shutil.copyfile(before, after)
        run = subprocess.run([tessvane, after], stdin=subprocess.DEVNULL, capture_output=True)
        if run.returncode != 0:
            raise RuntimeError(f"tessvane failed on {after}: {run.stdout!r} {run.stderr!r}")
    return truths


def ocr(image, mode, output="txt"):
    """Returns Tesseract's English output for image in page-segmentation
    mode, as text or ("tsv") as a table of words with their confidences;
    raises subprocess.CalledProcessError when Tesseract fails."""
    environment = dict(os.environ, OMP_THREAD_LIMIT="1")
    configs = ["tsv"] if output == "tsv" else []
    run = subprocess.run(["tesseract", image, "stdout", "-l", "eng", "--psm", str(mode), *configs],
                         env=environment, capture_output=True, check=True)
    return run.stdout.decode("utf-8")


def score_all(work, truths, jobs):
    """Runs every OCR job, at most jobs at once, keeps each output under
    work/ocr, and returns {(page, mode, variant): (cer, wer)}."""
    keys = [(name, mode, variant) for name in truths for mode in MODES for variant in VARIANTS]

    def score(key):
        name, mode, variant = key
        text = ocr(os.path.join(work, variant, name + ".tif"), mode)
        with open(os.path.join(work, "ocr", f"{name}.psm{mode}.{variant}.txt"), "w", encoding="utf-8") as out:
            out.write(text)
        return key, scoring.error_rates(truths[name], text)

    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return dict(pool.map(score, keys))


def score_real_pages(work, tessvane, jobs):
    """Cleans every real page with each cleaner under work/real, runs
    Tesseract on each image, keeps its output beside the image, and returns
    {(page, cleaner): {"words": n, "confidence": c, "recall": r or None}}.
    Raises RuntimeError, OSError or subprocess.CalledProcessError when a
    cleaner or Tesseract fails."""
    word_list = scoring.read_word_list(WORD_LIST)
    images = {page.name: realpages.clean_all(page, tessvane, os.path.join(work, "real"))
              for page in realpages.PAGES}
    keys = [(page, cleaner) for page in realpages.PAGES for cleaner in realpages.CLEANERS]

    def score(key):
        page, cleaner = key
        return (page.name, cleaner), real_scores(images[page.name][cleaner], realpages.transcription(page),
                                                 word_list)

    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return dict(pool.map(score, keys))


def real_scores(image, truth, word_list):
    """Runs Tesseract (automatic layout) on image, keeps its table of words
    beside it, and returns the real pages' proxies for it; raises
    subprocess.CalledProcessError when Tesseract fails."""
    tsv = ocr(image, REAL_MODE, "tsv")
    with open(os.path.splitext(image)[0] + ".tsv", "w", encoding="utf-8") as out:
        out.write(tsv)
    words = scoring.tesseract_words(tsv)
    text = scoring.words_as_text(words)
    return {"words": scoring.dictionary_words(text, word_list),
            "confidence": scoring.mean_confidence(words),
            "recall": scoring.word_recall(truth, text) if truth else None}


def score_bilevel(work, tessvane, jobs):
    """Makes and cleans the bilevel pages and runs Tesseract on each image;
    returns ({(page, mode, cleaner): (cer, wer)} for the synthetic pages,
    {(page, cleaner): proxies} for the real ones).  Raises what the
    cleaners and Tesseract raise."""
    paragraphs = render.read_corpus(os.path.join(HERE, "corpus.txt"))
    synthetic = bilevel.make_synthetic(work, paragraphs, tessvane)
    real = bilevel.make_real(work, tessvane)
    word_list = scoring.read_word_list(WORD_LIST)
    keys = [(name, mode, cleaner) for name in synthetic for mode in MODES for cleaner in bilevel.CLEANERS]
    real_keys = [(page.name, cleaner) for page in bilevel.REAL for cleaner in bilevel.CLEANERS]

    def score(key):
        name, mode, cleaner = key
        truth, images = synthetic[name]
        text = ocr(images[cleaner], mode)
        with open(os.path.splitext(images[cleaner])[0] + f".psm{mode}.txt", "w", encoding="utf-8") as out:
            out.write(text)
        return key, scoring.error_rates(truth, text)

    def score_real(key):
        page = next(p for p in bilevel.REAL if p.name == key[0])
        return key, real_scores(real[key[0]][key[1]], realpages.transcription(page), word_list)

    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return dict(pool.map(score, keys)), dict(pool.map(score_real, real_keys))


def main(argv):
    """Runs the evaluation, writes the report and prints both summary
    tables; returns the exit code."""
    arguments = parse_arguments(argv)
    truths = make_pages(arguments.work, arguments.tessvane)
    print(f"{len(truths)} pages written under {arguments.work}; running Tesseract", flush=True)
    results = score_all(arguments.work, truths, arguments.jobs)
    print(f"{len(realpages.PAGES)} real pages: cleaning and running Tesseract", flush=True)
    real = score_real_pages(arguments.work, arguments.tessvane, arguments.jobs)
    print(f"{len(bilevel.SYNTHETIC)} synthetic and {len(bilevel.REAL)} real bilevel pages: "
          "cleaning and running Tesseract", flush=True)
    bilevel_results = score_bilevel(arguments.work, arguments.tessvane, arguments.jobs)
    written = report.write_all(arguments.docs, arguments.work, results, MODES, report.environment(), real,
                               bilevel_results)
    print(report.summary_table(results, MODES))
    print()
    print(report.real_summary_table(real))
    print()
    print(report.bilevel_summary_table(*bilevel_results, MODES))
    for path in written:
        print("wrote", path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
