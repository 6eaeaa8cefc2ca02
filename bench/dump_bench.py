"""Throughput and memory of wttable-dump on a dump of about 100 MB.

The pages come from ../shared/corpus/dumps when that folder exists, else
from a deterministic generator of article-like pages; they are repeated to
about 100 MB of XML.  Prints MB/s of XML for one plain file and for one
bzip2 file in the wiki's multistream layout, one job against two, bzip2 -dc
and lbzip2 -dc on the same data in the same run, the data format against the
HTML, and the peak resident size on a 5 MB and a 100 MB dump.  A benchmark,
not a test.

usage: python3 bench/dump_bench.py WTTABLE-DUMP [--mb 100] [--runs 3]
"""
import argparse
import bz2
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import many_files  # noqa: E402

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                       "corpus", "dumps")
HEAD = ('<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.10/" version="0.10">\n'
        '  <siteinfo><namespaces><namespace key="0" /></namespaces></siteinfo>\n')


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def page_bodies():
    """The <page> elements of the sample dump, or generated ones."""
    sample = os.path.join(SAMPLES, "enwiki-excerpt-206-pages.xml.bz2")
    if os.path.exists(sample):
        xml = bz2.open(sample).read().decode("utf-8")
        return xml[xml.index("<page>"):xml.rindex("</mediawiki>")], "the shared sample's pages"
    rng = random.Random(3)
    pages = []
    for i in range(200):
        text = many_files.article(rng, rng.randint(5000, 60000))
        pages.append(f"  <page>\n    <title>Page {i}</title>\n    <ns>0</ns>\n    <id>{i}</id>\n"
                     f"    <revision>\n      <id>{1000 + i}</id>\n"
                     f"      <timestamp>2020-01-01T00:00:00Z</timestamp>\n"
                     f"      <text xml:space=\"preserve\">{esc(text)}</text>\n"
                     f"    </revision>\n  </page>\n")
    return "".join(pages), "generated article-like pages"


def write_dump(path, body, mb):
    reps = max(1, int(mb * 1e6 // len(body.encode())))
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEAD)
        for _ in range(reps):
            f.write(body)
        f.write("</mediawiki>\n")


def best(cmd, runs, shell=False):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(cmd, shell=shell, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times)


def peak_rss_kb(cmd):
    """The process's own high-water mark (VmHWM), read while it runs: the
    rusage of a child forked from this interpreter would count its memory."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except (FileNotFoundError, ProcessLookupError, ValueError):
            pass
        time.sleep(0.005)
    return peak


def write_multistream(xml_path, out_path, per_stream=100):
    """The wiki's multistream layout of a dump: a bzip2 stream for the
    header, one for each run of `per_stream` pages, the closing tag in the
    last; and its index ("offset:page id:title" lines, bzip2)."""
    with open(xml_path, encoding="utf-8") as f:
        xml = f.read()
    first, end = xml.index("<page>"), xml.rindex("</mediawiki>")
    starts = []
    at = first
    while at != -1 and at < end:
        starts.append(at)
        at = xml.find("<page>", at + 1)
    starts.append(end)
    index = []
    with open(out_path, "wb") as out:
        out.write(bz2.compress(xml[:first].encode()))
        for k in range(0, len(starts) - 1, per_stream):
            offset = out.tell()
            stop = starts[min(k + per_stream, len(starts) - 1)]
            chunk = xml[starts[k]:stop] + (xml[end:] if stop == end else "")
            index.extend(f"{offset}:{k + i}:Page {k + i}\n"
                         for i in range(min(per_stream, len(starts) - 1 - k)))
            out.write(bz2.compress(chunk.encode()))
    with open(out_path + "-index.txt.bz2", "wb") as f:
        f.write(bz2.compress("".join(index).encode()))


def best_of_each(cmds, runs):
    """Best wall time of each command, run in turn so that a drift of the
    machine's speed hits them alike."""
    best = [None] * len(cmds)
    for _ in range(runs):
        for k, cmd in enumerate(cmds):
            start = time.perf_counter()
            subprocess.run(cmd, shell=isinstance(cmd, str), check=True,
                           stdout=subprocess.DEVNULL)
            took = time.perf_counter() - start
            best[k] = took if best[k] is None else min(best[k], took)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dump_tool")
    ap.add_argument("--mb", type=float, default=100)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    tool = os.path.abspath(args.dump_tool)
    work = tempfile.mkdtemp(prefix="wttable-dump-bench-")
    try:
        body, source = page_bodies()
        big = os.path.join(work, "dump.xml")
        small = os.path.join(work, "small.xml")
        write_dump(big, body, args.mb)
        write_dump(small, body, 5)
        subprocess.run(["bzip2", "-k", "-f", big], check=True)
        single = big + ".bz2"
        multi = os.path.join(work, "dump-multistream.xml.bz2")
        write_multistream(big, multi)
        index = multi + "-index.txt.bz2"
        mb = os.path.getsize(big) / 1e6
        print(f"{source}, repeated to {mb:.1f} MB of XML; best of {args.runs}, variants in turn")

        def row(label, seconds, base=None, against=""):
            ratio = f"  {base / seconds:5.2f}x{against}" if base else ""
            print(f"  {label:46s} {seconds:7.2f} s  {mb / seconds:7.1f} MB/s{ratio}")

        run = [tool, "--no-progress"]
        plain1, plain2, data1 = best_of_each([[*run, "-j", "1", big], [*run, "-j", "2", big],
                                              [*run, "--format", "data", big]], args.runs)
        row("plain XML, -j 1", plain1)
        row("plain XML, -j 2", plain2, plain1)
        row("plain XML, --format data, -j 1", data1, plain1, " (of html)")
        times = best_of_each([["bzip2", "-dc", single], [*run, single], [*run, "-j", "1", multi],
                              [*run, "-j", "2", multi], [*run, "-j", "2", "--index", index, multi]],
                             args.runs)
        bunzip, one_stream, multi1, multi2, multi2_index = times
        row("bzip2 -dc > /dev/null", bunzip)
        row("single-stream bzip2, -j 1", one_stream, bunzip, " of bzip2 -dc")
        row("multistream bzip2, -j 1", multi1, bunzip, " of bzip2 -dc")
        row("multistream bzip2, -j 2", multi2, multi1, f" of -j 1, {bunzip / multi2:.2f}x bzip2 -dc")
        row("multistream bzip2, -j 2 --index", multi2_index, multi1, " of -j 1")
        if shutil.which("lbzip2"):
            (piped,) = best_of_each([f"lbzip2 -dc {single} | {tool} --no-progress -"], args.runs)
            row("lbzip2 -dc | wttable-dump -", piped, bunzip, " of bzip2 -dc")
        else:
            print("  (lbzip2 not installed: apt-get install lbzip2)")
        rss_small = peak_rss_kb([*run, small])
        rss_big = peak_rss_kb([*run, big])
        rss_multi = peak_rss_kb([*run, "-j", "2", multi])
        print(f"  peak resident size: {rss_small / 1024:.1f} MB on 5 MB, "
              f"{rss_big / 1024:.1f} MB on {mb:.0f} MB; multistream -j 2, the parent: "
              f"{rss_multi / 1024:.1f} MB")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
