"""The OCR evaluation's report: the Markdown page, the plot and the crop.

Results arrive as {(page, mode, variant): (cer, wer)} with variant "before"
(the page as scanned) or "after" (the page cleared by tessvane). A page is
counted as helped or hurt in a mode when its character error rate moves by
at least CHANGE; smaller moves count as unchanged. Every figure printed comes
from the results, so a rerun on the same machine writes the same bytes.
"""

import os
import platform
import re
import subprocess

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as pyplot  # noqa: E402  (the backend must be chosen first)
import numpy  # noqa: E402
from PIL import Image  # noqa: E402

import bilevel  # noqa: E402
import pages  # noqa: E402
import realpages  # noqa: E402
import render  # noqa: E402

CHANGE = 0.001          # a CER move of 0.1 percentage point
REAL_CHANGE = 0.05      # a real page's dictionary words move by 5%...
REAL_MIN_WORDS = 3      # ...and by 3 words at least
LOST = 0.5              # a cleaner that leaves half the words or fewer lost the page
CLEANER_NAMES = {"scanned": "as scanned", "tessvane": "tessvane",
                 "leptonica": "Leptonica pixBackgroundNormSimple", "unpaper": "unpaper (defaults)"}
SHORT_NAMES = {"scanned": "scanned", "tessvane": "tessvane", "leptonica": "Leptonica", "unpaper": "unpaper"}
MARKDOWN = "ocr-evaluation.md"
PLOT = "ocr-evaluation.png"
CROP = "ocr-hard-case.png"


def _command_output(command):
    """Returns the command's standard output and error, or "" when it cannot
    be run or fails."""
    try:
        run = subprocess.run(command, capture_output=True, check=True, text=True)
    except (OSError, subprocess.CalledProcessError):
        return ""
    return run.stdout + run.stderr


def _cpu_model():
    """Returns the first processor's model name from /proc/cpuinfo, else the
    platform's processor string."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def environment():
    """Returns the machine and the tool versions as {label: text}: what the
    figures depend on, and nothing that changes from one run to the next
    (no date, no commit), so a rerun writes the same bytes."""
    versions = _command_output(["tesseract", "--version"])
    tesseract = re.search(r"tesseract (\S+)", versions)
    leptonica = re.search(r"leptonica-(\S+)", versions)
    libtiff = _command_output(["dpkg-query", "-W", "-f=${Version}", "libtiff6"]).strip()
    unpaper = _command_output(["unpaper", "--version"]).strip()
    word_list = _command_output(["dpkg-query", "-W", "-f=${Version}", "wamerican"]).strip()
    return {
        "machine": f"{_cpu_model()}, {os.cpu_count()} cores, {platform.system()} {platform.machine()}",
        "tesseract": (tesseract.group(1) if tesseract else "unknown")
                     + (f" (Leptonica {leptonica.group(1)})" if leptonica else "") + ", English model",
        "libtiff": libtiff or "unknown",
        "unpaper": unpaper or "unknown",
        "word list": f"/usr/share/dict/words (wamerican {word_list or 'unknown'})",
    }


def verdict(before, after):
    """Returns "helped", "hurt" or "same" for a move of CER before -> after."""
    if after <= before - CHANGE:
        return "helped"
    if after >= before + CHANGE:
        return "hurt"
    return "same"


def summarise(results, mode):
    """Returns the mode's mean CER and WER before and after, and the number
    of pages helped, hurt and unchanged, as a dict."""
    names = [plan.name for plan in pages.PAGES]
    before = numpy.array([results[(n, mode, "before")] for n in names])
    after = numpy.array([results[(n, mode, "after")] for n in names])
    verdicts = [verdict(b[0], a[0]) for b, a in zip(before, after)]
    return {"cer_before": before[:, 0].mean(), "cer_after": after[:, 0].mean(),
            "wer_before": before[:, 1].mean(), "wer_after": after[:, 1].mean(),
            **{v: verdicts.count(v) for v in ("helped", "hurt", "same")}}


def _percent(rate):
    """Returns a rate as a percentage with two decimals."""
    return f"{100 * rate:.2f}%"


def summary_table(results, modes):
    """Returns the Markdown table of averages, one row a mode."""
    rows = ["| mode | CER before | CER after | WER before | WER after | pages helped / hurt / same |",
            "|---|---:|---:|---:|---:|---|"]
    for mode in modes:
        s = summarise(results, mode)
        rows.append(f"| `--psm {mode}` | {_percent(s['cer_before'])} | {_percent(s['cer_after'])} | "
                    f"{_percent(s['wer_before'])} | {_percent(s['wer_after'])} | "
                    f"{s['helped']} / {s['hurt']} / {s['same']} |")
    return "\n".join(rows)


def page_table(results, modes):
    """Returns the Markdown table of every page's CER and WER, before and
    after, in each mode."""
    header = "| page | defects | " + " | ".join(
        f"psm {m} CER before | after | psm {m} WER before | after" for m in modes) + " |"
    rows = [header, "|---|---|" + "---:|" * (4 * len(modes))]
    for plan in pages.PAGES:
        cells = []
        for mode in modes:
            (cb, wb), (ca, wa) = results[(plan.name, mode, "before")], results[(plan.name, mode, "after")]
            mark = {"helped": "", "hurt": " ▲", "same": ""}[verdict(cb, ca)]
            cells += [_percent(cb), _percent(ca) + mark, _percent(wb), _percent(wa)]
        rows.append(f"| {plan.name} | {plan.what} | " + " | ".join(cells) + " |")
    return "\n".join(rows)


def hurt_list(results, modes):
    """Returns a Markdown list of the pages whose CER rose, with the figures,
    or a line saying there were none."""
    items = []
    for plan in pages.PAGES:
        for mode in modes:
            (cb, _), (ca, _) = results[(plan.name, mode, "before")], results[(plan.name, mode, "after")]
            if verdict(cb, ca) == "hurt":
                items.append(f"- **{plan.name}** (`--psm {mode}`, {plan.what}): "
                             f"CER {_percent(cb)} → {_percent(ca)}")
    return "\n".join(items) if items else "- none: no page's CER rose by 0.1 point or more."


def plot(results, modes, path):
    """Draws each page's CER before and after, one panel a mode, into a PNG."""
    names = [plan.name for plan in pages.PAGES]
    x = numpy.arange(len(names))
    figure, axes = pyplot.subplots(len(modes), 1, figsize=(12, 3.6 * len(modes)), sharex=True)
    for axis, mode in zip(numpy.atleast_1d(axes), modes):
        for offset, variant, colour in ((-0.2, "before", "#c44e52"), (0.2, "after", "#4c72b0")):
            cer = [100 * results[(n, mode, variant)][0] for n in names]
            label = "as scanned" if variant == "before" else "after tessvane"
            axis.bar(x + offset, cer, width=0.4, color=colour, label=label)
        axis.set_yscale("symlog", linthresh=1.0)
        axis.set_ylabel("character error rate (%)")
        axis.set_title(f"Tesseract --psm {mode}")
        axis.grid(axis="y", alpha=0.3)
        axis.legend(loc="upper left")
    axis.set_xticks(x, names, rotation=55, ha="right")
    figure.tight_layout()
    figure.savefig(path, dpi=80, metadata={"Software": None})
    pyplot.close(figure)


def crop(work, name, box, path):
    """Writes the box of the page's before and after images side by side,
    split by a gray bar, as a PNG."""
    before = render.read_tiff(os.path.join(work, "before", name + ".tif"))
    after = render.read_tiff(os.path.join(work, "after", name + ".tif"))
    left, top, right, bottom = box
    bar = numpy.full((bottom - top, 16), 128, dtype=numpy.uint8)
    joined = numpy.hstack([before[top:bottom, left:right], bar, after[top:bottom, left:right]])
    image = Image.fromarray(joined, mode="L")
    image.resize((image.width // 2, image.height // 2), Image.LANCZOS).save(path, optimize=True)


def real_verdict(before, after):
    """Returns "lost", "helped", "hurt" or "same" for a real page's
    dictionary words as scanned (before) and after a cleaner."""
    if after <= LOST * before and before >= 20:
        return "lost"
    if after - before >= max(REAL_MIN_WORDS, REAL_CHANGE * before):
        return "helped"
    if before - after >= max(REAL_MIN_WORDS, REAL_CHANGE * before):
        return "hurt"
    return "same"


def real_summarise(real, cleaner):
    """Returns a cleaner's totals over the real pages as a dict: dictionary
    words, mean confidence, mean share of transcription words found, and
    the number of pages of each verdict."""
    names = [page.name for page in realpages.PAGES]
    transcribed = [page.name for page in realpages.PAGES if page.transcription]
    verdicts = [real_verdict(real[(n, "scanned")]["words"], real[(n, cleaner)]["words"]) for n in names]
    return {"words": sum(real[(n, cleaner)]["words"] for n in names),
            "confidence": numpy.mean([real[(n, cleaner)]["confidence"] for n in names]),
            "recall": numpy.mean([real[(n, cleaner)]["recall"] for n in transcribed]),
            **{v: verdicts.count(v) for v in ("helped", "same", "hurt", "lost")}}


def real_summary_table(real):
    """Returns the Markdown table of the real pages' totals, one row a
    cleaner."""
    rows = ["| Tesseract `--psm 3` on | dictionary words | mean word confidence | "
            "transcription words found | pages helped / same / hurt / lost |",
            "|---|---:|---:|---:|---|"]
    for cleaner in realpages.CLEANERS:
        s = real_summarise(real, cleaner)
        verdicts = "" if cleaner == "scanned" else f"{s['helped']} / {s['same']} / {s['hurt']} / {s['lost']}"
        rows.append(f"| {CLEANER_NAMES[cleaner]} | {s['words']} | {s['confidence']:.1f} | "
                    f"{_percent(s['recall'])} | {verdicts} |")
    return "\n".join(rows)


def real_page_table(real):
    """Returns the Markdown table of every real page's dictionary words and
    mean confidence after each cleaner, marking each verdict."""
    marks = {"helped": " +", "same": "", "hurt": " −", "lost": " ✗"}
    names = " | ".join(SHORT_NAMES[c] for c in realpages.CLEANERS)
    rows = [f"| page | what | words: {names} | confidence: {names} |",
            "|---|---|" + "---:|" * (2 * len(realpages.CLEANERS))]
    for page in realpages.PAGES:
        scanned = real[(page.name, "scanned")]["words"]
        words = [f"{real[(page.name, c)]['words']}"
                 + ("" if c == "scanned" else marks[real_verdict(scanned, real[(page.name, c)]["words"])])
                 for c in realpages.CLEANERS]
        confidence = [f"{real[(page.name, c)]['confidence']:.1f}" for c in realpages.CLEANERS]
        rows.append(f"| {page.name} | {page.what} | " + " | ".join(words + confidence) + " |")
    return "\n".join(rows)


def real_recall_table(real):
    """Returns the Markdown table of the share of transcription words found
    on each transcribed real page after each cleaner."""
    names = " | ".join(CLEANER_NAMES[c] for c in realpages.CLEANERS)
    rows = [f"| page | {names} |", "|---|" + "---:|" * len(realpages.CLEANERS)]
    for page in realpages.PAGES:
        if page.transcription:
            rows.append(f"| {page.name} | "
                        + " | ".join(_percent(real[(page.name, c)]["recall"]) for c in realpages.CLEANERS)
                        + " |")
    return "\n".join(rows)


def real_section(real, findings):
    """Returns the Markdown section on the real pages."""
    return f"""## Real pages

{len(realpages.PAGES)} real pages from public sources (`eval/realpages/`, with
their sources and licences): book and magazine scans, UNLV test pages, a
faint and a shaded page, dark paper and a phone photograph of an open book.
Each is converted to 8-bit grayscale and read by Tesseract (`--psm 3`) as
scanned, after tessvane, after Leptonica's `pixBackgroundNormSimple` (its
default background normalization) and after unpaper with its default
options.

Most of these pages have no transcription, so they are scored by proxies:
**dictionary words**, the words of two letters or more that Tesseract read
and the English word list holds, and Tesseract's **mean word confidence**.
Both rise as more of the page is read as words; neither sees a word misread
as another real word, nor text that is not English, so they rank the
cleaners on a page rather than measure an error rate. The two UNLV pages
come with a transcription of their text zones, scored as the share of its
words found anywhere in the output. A cleaner helped (+) or hurt (−) a page
when its dictionary words moved by 5% and 3 words or more; it lost the page
(✗) when half the words or more were gone.

{real_summary_table(real)}

{real_page_table(real)}

Transcription words found:

{real_recall_table(real)}

{findings.strip()}
"""


def bilevel_summary_table(synthetic, real, modes):
    """Returns the Markdown table of the bilevel pages' totals, one row a
    cleaner: the synthetic pages' mean error rates in each mode and their
    verdicts against the page as stored, then the real pages' proxies."""
    names = [plan.name for plan in bilevel.SYNTHETIC]
    head = " | ".join(f"`--psm {m}` CER | `--psm {m}` WER" for m in modes)
    rows = [f"| Tesseract on | {head} | synthetic pages helped / hurt / same (`--psm 3`) | "
            "real pages: dictionary words | mean word confidence | transcription words found |",
            "|---|" + "---:|" * (2 * len(modes)) + "---|---:|---:|---:|"]
    for cleaner in bilevel.CLEANERS:
        rates = []
        for mode in modes:
            rates.append(_percent(numpy.mean([synthetic[(n, mode, cleaner)][0] for n in names])))
            rates.append(_percent(numpy.mean([synthetic[(n, mode, cleaner)][1] for n in names])))
        verdicts = [verdict(synthetic[(n, modes[0], "scanned")][0], synthetic[(n, modes[0], cleaner)][0])
                    for n in names]
        counts = "" if cleaner == "scanned" else " / ".join(
            str(verdicts.count(v)) for v in ("helped", "hurt", "same"))
        words = sum(real[(p.name, cleaner)]["words"] for p in bilevel.REAL)
        confidence = numpy.mean([real[(p.name, cleaner)]["confidence"] for p in bilevel.REAL])
        recall = numpy.mean([real[(p.name, cleaner)]["recall"] for p in bilevel.REAL if p.transcription])
        rows.append(f"| {CLEANER_NAMES[cleaner]} | " + " | ".join(rates) +
                    f" | {counts} | {words} | {confidence:.1f} | {_percent(recall)} |")
    return "\n".join(rows)


def bilevel_page_table(synthetic, real, modes):
    """Returns the Markdown table of every bilevel page: the synthetic
    pages' CER in each mode, the real pages' dictionary words (and
    transcription words found, where there is a transcription)."""
    short = " / ".join(SHORT_NAMES[c] for c in bilevel.CLEANERS)
    rows = [f"| page | what | {' | '.join(f'`--psm {m}` CER: {short}' for m in modes)} |",
            "|---|---|" + "---|" * len(modes)]
    for plan in bilevel.SYNTHETIC:
        cells = [" / ".join(_percent(synthetic[(plan.name, m, c)][0]) for c in bilevel.CLEANERS)
                 for m in modes]
        rows.append(f"| {plan.name} | {plan.what} | " + " | ".join(cells) + " |")
    rows += ["", f"| real page | what | dictionary words: {short} | transcription words found: {short} |",
             "|---|---|---|---|"]
    for page in bilevel.REAL:
        words = " / ".join(str(real[(page.name, c)]["words"]) for c in bilevel.CLEANERS)
        recall = (" / ".join(_percent(real[(page.name, c)]["recall"]) for c in bilevel.CLEANERS)
                  if page.transcription else "")
        rows.append(f"| {page.name} | {page.what} | {words} | {recall} |")
    return "\n".join(rows)


def bilevel_section(synthetic, real, modes, findings):
    """Returns the Markdown section on the bilevel pages."""
    return f"""## Bilevel pages

Black-and-white scans as archives keep them, never converted to gray:
{len(bilevel.SYNTHETIC)} synthetic pages rendered as above, spoilt as a
photocopy or a scan with the lid open spoils them (a black margin or a
binding gutter joined to the edge, the text touching neither but on one page), turned black
and white at level {bilevel.THRESHOLD} and stored 1-bit in CCITT Group 4, and
the {len(bilevel.REAL)} real bilevel pages of `eval/realpages/` as stored
(Group 4). Tesseract reads each page as stored, after tessvane (which keeps
it 1-bit Group 4) and after unpaper with its default options (handed the
page as PBM). The synthetic pages are scored by error rates, the real ones
by the proxies of the section above.

{bilevel_summary_table(synthetic, real, modes)}

{bilevel_page_table(synthetic, real, modes)}

{findings.strip()}
"""


def markdown(results, modes, env, findings, real, real_findings, bilevel_results, bilevel_findings):
    """Returns the whole Markdown page: how it was made, the summary, the
    plot, the per-page table, the pages hurt, the written findings and the
    real pages' section."""
    run = "\n".join(f"- {label}: {text}" for label, text in env.items())
    hard_name = pages.HARD_CASE[0]
    return f"""# Does tessvane help OCR?

Made by `make evaluate` (the script is `eval/evaluate.py`); do not edit by
hand. {len(pages.PAGES)} pages of English prose are rendered at 300 dpi with
DejaVu and Liberation fonts, {sum(1 for s in pages.PAGES if s.what.startswith("clean"))}
of them clean controls and the rest spoilt the ways scans go wrong, and
written as 8-bit grayscale LZW TIFFs. Tesseract reads each page as scanned
and a copy cleared by tessvane. The error rates are edit distances over the
normalised text (Unicode NFKC, typographic quotes and dashes as ASCII,
whitespace collapsed; case and punctuation count), divided by the length of
the ground truth in characters (CER) or words (WER). A page counts as helped
or hurt when its CER moves by at least 0.1 point.

Run:

{run}

## Summary

{summary_table(results, modes)}

![CER per page before and after tessvane](ocr-evaluation.png)

## Every page

▲ marks a page whose CER rose.

{page_table(results, modes)}

## Where tessvane does not help, or hurts

Pages whose CER rose:

{hurt_list(results, modes)}

{findings.strip()}

![The {hard_name} page as scanned (left) and after tessvane (right), a crop](ocr-hard-case.png)

{real_section(real, real_findings)}
{bilevel_section(*bilevel_results, modes, bilevel_findings)}"""


def _read_findings(name):
    """Returns the text of a findings file beside this script."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), encoding="utf-8") as source:
        return source.read()


def write_all(docs, work, results, modes, env, real, bilevel_results):
    """Writes the Markdown page, the plot and the crop into docs; returns
    their paths."""
    os.makedirs(docs, exist_ok=True)
    paths = [os.path.join(docs, name) for name in (MARKDOWN, PLOT, CROP)]
    page = markdown(results, modes, env, _read_findings("findings.md"), real,
                    _read_findings("findings-real.md"), bilevel_results, _read_findings("findings-bilevel.md"))
    with open(paths[0], "w", encoding="utf-8") as out:
        out.write(page)
    plot(results, modes, paths[1])
    crop(work, *pages.HARD_CASE, paths[2])
    return paths
