"""Converts a folder of wiki pages to HTML files on several processes, then
with the same function on a Dask cluster: the package runs unchanged
wherever Python runs.

    python3 examples/scale_out.py PAGES_FOLDER OUTPUT_FOLDER [--workers 2] [--dask]

The library keeps one result buffer per process, so parallel work uses
processes (each with its own copy of the library), never threads.  Each task
writes its own HTML file and returns only a summary, so the pages are not
shipped back and forth between processes.
"""
import argparse
import concurrent.futures
import os
import time

import trivanex_wikitext_table as wt


def convert_page(path, out_dir):
    """Writes OUT_DIR/NAME.html for PATH; returns (name, bytes in, bytes out, has tables)."""
    with open(path, "rb") as f:
        text = f.read()
    html = wt.parse_document(text)
    name = os.path.splitext(os.path.basename(path))[0]
    with open(os.path.join(out_dir, name + ".html"), "wb") as f:
        f.write(html)
    return name, len(text), len(html), wt.has_tables(text)


def pages_in(folder):
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if name.endswith(".wiki"))


def convert_with_processes(pool, paths, out_dir, workers):
    """The summaries in page order, from a concurrent.futures executor."""
    # Few, large chunks: each round trip between processes costs more than a page.
    chunk = max(1, len(paths) // (4 * workers))
    return list(pool.map(convert_page, paths, [out_dir] * len(paths), chunksize=chunk))


def convert_with_dask(client, paths, out_dir):
    """The same function on a Dask cluster (dask.distributed): one task a page."""
    return client.gather(client.map(convert_page, paths, out_dir=out_dir))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("folder")
    ap.add_argument("out_dir")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--dask", action="store_true", help="also run on a local Dask cluster")
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    paths = pages_in(args.folder)
    total = sum(os.path.getsize(p) for p in paths)

    def best(run):
        times = []
        for _ in range(args.runs):
            start = time.perf_counter()
            result = run()
            times.append(time.perf_counter() - start)
        return min(times), result

    alone, one = best(lambda: [convert_page(p, args.out_dir) for p in paths])
    print(f"{len(paths)} pages, {total / 1e6:.1f} MB, best of {args.runs}: "
          f"one process {alone:.3f} s ({total / alone / 1e6:.0f} MB/s)")

    # The pool is started once, as a long-running program would keep it.
    with concurrent.futures.ProcessPoolExecutor(max_workers=args.workers) as pool:
        convert_with_processes(pool, paths[:args.workers], args.out_dir, args.workers)
        seconds, pooled = best(lambda: convert_with_processes(pool, paths, args.out_dir,
                                                              args.workers))
    assert pooled == one
    print(f"  ProcessPoolExecutor, {args.workers} workers: {seconds:.3f} s "
          f"({alone / seconds:.2f}x one process)")

    if args.dask:
        from dask.distributed import Client, LocalCluster
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            convert_with_dask(client, paths[:args.workers], args.out_dir)
            seconds, distributed = best(lambda: convert_with_dask(client, paths, args.out_dir))
        assert distributed == one
        print(f"  Dask LocalCluster, {args.workers} worker processes: {seconds:.3f} s "
              f"({alone / seconds:.2f}x one process)")


if __name__ == "__main__":
    main()
