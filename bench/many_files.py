"""Many-files throughput of the wttable tool: one job against N jobs.

Writes a few hundred article-sized pages (deterministic, about 60 KB each)
into a temporary folder, then converts them all with `wttable -j 1`, with
`wttable -j N` and as N separate processes (the ceiling), to standard output
and into a new output folder, best of several runs each in turn, and prints
MB/s and the speed-up; and a few small files, where -j stays in one process.  A benchmark, not a test: nothing here fails on speed.

usage: python3 bench/many_files.py WTTABLE [--files 300] [--jobs 2] [--runs 5]
"""
import argparse
import os
import random
import shutil
import subprocess
import tempfile
import time

WORDS = ("lake river season table cell north south water depth area census town "
         "population record year total station line club match result team").split()


def words(rng, lo, hi):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi)))


def table(rng):
    rows = [f'{{| class="wikitable" style="width:{rng.randint(40, 100)}%"',
            f"|+ {words(rng, 2, 6)}",
            "! " + " !! ".join(words(rng, 1, 3) for _ in range(rng.randint(2, 6)))]
    for _ in range(rng.randint(3, 30)):
        rows.append("|-")
        cells = []
        for _ in range(rng.randint(2, 6)):
            text = words(rng, 1, 8)
            if rng.random() < 0.2:
                text = f'align="right" | {rng.randint(0, 99999)}'
            elif rng.random() < 0.2:
                text = f"[[{words(rng, 1, 2)}|{words(rng, 1, 2)}]]"
            cells.append(text)
        rows.append("| " + " || ".join(cells))
    rows.append("|}")
    return "\n".join(rows)


def article(rng, size):
    parts = []
    total = 0
    while total < size:
        if rng.random() < 0.3:
            block = table(rng)
        else:
            block = f"== {words(rng, 1, 3)} ==\n" + words(rng, 40, 200) + "."
        parts.append(block)
        total += len(block) + 1
    return "\n".join(parts) + "\n"


def best_times(variants, runs, work):
    """Best wall time of each variant, run in turn (A B C A B C ...) so that
    a drift of the machine's speed hits them alike.  A variant is a list of
    commands run side by side; "{out}" in an argument becomes a new, empty
    folder for each run (the same for the commands of one run: one tree is
    written): writing a new tree is the batch job's case, and replacing last
    run's files costs the file system more than making them."""
    best = [None] * len(variants)
    for r in range(runs):
        for v, cmds in enumerate(variants):
            fresh = []
            for k, cmd in enumerate(cmds):
                if any("{out}" in a for a in cmd):
                    folder = os.path.join(work, f"out-{r}-{v}")
                    os.makedirs(folder, exist_ok=True)
                    cmd = [a.replace("{out}", folder) for a in cmd]
                fresh.append(cmd)
            start = time.perf_counter()
            procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL) for c in fresh]
            for p in procs:
                if p.wait() != 0:
                    raise SystemExit(f"failed: {p.args[:4]}")
            elapsed = time.perf_counter() - start
            best[v] = elapsed if best[v] is None else min(best[v], elapsed)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("wttable")
    ap.add_argument("--files", type=int, default=300)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--size", type=int, default=60000)
    args = ap.parse_args()

    rng = random.Random(7)
    work = tempfile.mkdtemp(prefix="wttable-bench-")
    try:
        pages = []
        for i in range(args.files):
            path = os.path.join(work, f"page{i:04d}.wiki")
            with open(path, "w") as f:
                f.write(article(rng, args.size))
            pages.append(path)
        total = sum(os.path.getsize(p) for p in pages)
        print(f"{args.files} files, {total / 1e6:.1f} MB, document mode, best of {args.runs}")
        n = args.jobs
        for label, out in (("to standard output", []), ("--output-dir", ["--output-dir", "{out}"])):
            base = [args.wttable, "-q", *out]
            # The ceiling: n independent processes, each on its share of the files.
            shares = [[*base, *pages[k::n]] for k in range(n)]
            one, many, apart = best_times([[[*base, "-j", "1", *pages]],
                                           [[*base, "-j", str(n), *pages]], shares],
                                          args.runs, work)
            print(f"  {label}:")
            for name, seconds in ((f"-j 1", one), (f"-j {n}", many),
                                  (f"{n} separate processes", apart)):
                print(f"    {name:24s} {seconds * 1000:8.1f} ms  {total / seconds / 1e6:8.1f} MB/s"
                      f"  {one / seconds:5.2f}x")
        # A few small inputs: -j falls back to one process by itself.
        few = pages[:3]
        small = sum(os.path.getsize(p) for p in few)
        one, many = best_times([[[args.wttable, "-q", "-j", "1", *few]],
                                [[args.wttable, "-q", "-j", str(n), *few]]], args.runs, work)
        print(f"  3 files, {small / 1e3:.0f} KB: -j 1 {one * 1000:.1f} ms, -j {n} {many * 1000:.1f} ms"
              f" ({one / many:.2f}x)")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
