"""Tables as data against the HTML path and against pandas.read_html, on the
real articles (../shared/corpus/real, when present, else the example) and the
dump sample (../shared/corpus/dumps, when present).  A benchmark, not a test:

    python3 bench/tables_bench.py build

Prints, best of 5 runs each: wttable --format json against wttable -t on the
same files; wttable-dump --format data against wttable-dump; and, where
pandas and lxml are installed (Debian's /usr/bin/python3), tables() against
pandas.read_html over our own HTML of the same tables.
"""
import io
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
SHARED = os.path.join(ROOT, "..", "shared", "corpus")


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def articles(repeat):
    real = os.path.join(SHARED, "real")
    names = sorted(os.path.join(real, n) for n in os.listdir(real)) if os.path.isdir(real) else [
        os.path.join(ROOT, "examples", "article.wiki")]
    text = ""
    for name in names:
        with open(name, encoding="utf-8", errors="replace") as f:
            text += f.read() + "\n"
    return text * repeat


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    wttable = os.path.join(build, "cli", "wttable")
    dump = os.path.join(build, "cli", "wttable-dump")
    with tempfile.TemporaryDirectory() as tmp:
        text = articles(32)
        path = os.path.join(tmp, "articles.wiki")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        mb = os.path.getsize(path) / 1e6
        html = best_of(5, lambda: run(wttable, "-t", "-q", "-o", os.devnull, path))
        data = best_of(5, lambda: run(wttable, "--format", "json", "-q", "-o", os.devnull, path))
        print(f"real articles, {mb:.1f} MB: wttable -t {mb / html:.0f} MB/s, "
              f"--format json {mb / data:.0f} MB/s: {html / data:.2f} of -t")

    dumps = os.path.join(SHARED, "dumps")
    sample = os.path.join(dumps, "enwiki-excerpt-206-pages.xml.bz2")
    if os.path.exists(sample) and os.path.exists(dump):
        html = best_of(5, lambda: run(dump, "-q", "--no-progress", sample))
        data = best_of(5, lambda: run(dump, "-q", "--no-progress", "--format", "data", sample))
        print(f"dump sample: wttable-dump {html:.3f} s, --format data {data:.3f} s: "
              f"{html / data:.2f} of it")

    try:
        import pandas
        import lxml  # noqa: F401
    except ImportError:
        print("(no pandas and lxml here: Debian's /usr/bin/python3 has them)")
        return
    sys.path.insert(0, os.path.join(ROOT, "python"))
    os.environ.setdefault("TRIVANEX_WIKITEXT_TABLE_LIBRARY",
                          os.path.join(build, "libtrivanex-wikitext-table.so.1"))
    import trivanex_wikitext_table as wt
    text = articles(1)
    ours = best_of(5, lambda: wt.tables(text, raw_wikitext=False))
    page_html = wt.to_html(text)
    theirs = best_of(3, lambda: pandas.read_html(io.StringIO(page_html), flavor="lxml"))
    print(f"tables() {ours * 1e3:.1f} ms, pandas.read_html of our HTML {theirs * 1e3:.1f} ms: "
          f"{theirs / ours:.0f} times faster")


if __name__ == "__main__":
    main()
