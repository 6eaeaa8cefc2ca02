"""Every table of a multistream wiki dump as data records, on a Dask cluster.

    python3 examples/dump_on_dask.py DUMP.xml.bz2 INDEX.txt.bz2 OUT_FOLDER
        [--workers 2 | --scheduler tcp://HOST:8786] [--shard-mb 64]

The wiki's pages-articles-multistream file is a series of bzip2 streams of
about 100 pages each; its index says where each begins.  The streams, cut
into shards of about --shard-mb compressed megabytes, become a Dask bag; each
task decompresses its shard's streams, reads their pages (namespace 0) and
converts each revision's tables through the Python package, writing one
JSON Lines file, OUT_FOLDER/shard-NNNNN.jsonl.  The shards concatenated in
order are, byte for byte, what `wttable-dump --format data DUMP` writes.

Without --scheduler a local cluster of --workers processes runs it; with it
the same tasks go to a running cluster (every worker must see DUMP and
OUT_FOLDER at the same paths, on a shared file system, and have the package
installed).  The library keeps one result buffer per process: a worker runs
one task at a time (threads_per_worker=1).
"""
import argparse
import bz2
import dataclasses
import json
import os
import re
import sys
import xml.etree.ElementTree as ET

import trivanex_wikitext_table as wt


def stream_offsets(index_path):
    """The distinct stream starts of an index ("offset:page id:title" lines)."""
    offsets = []
    with bz2.open(index_path, "rt", encoding="utf-8") as f:
        for line in f:
            offset = int(line.split(":", 1)[0])
            if not offsets or offset != offsets[-1]:
                offsets.append(offset)
    return offsets


def plan_shards(dump_path, index_path, shard_bytes):
    """(start, end) byte ranges of whole streams, about shard_bytes each, and
    the header: the XML of the first stream up to its first page."""
    offsets = stream_offsets(index_path)
    size = os.path.getsize(dump_path)
    with open(dump_path, "rb") as f:
        head = f.read(offsets[0])
    header = bz2.decompress(head).decode("utf-8")
    header = header[:header.find("<page>")] if "<page>" in header else header
    shards, start = [], offsets[0]
    for offset in offsets[1:] + [size]:
        if offset - start >= shard_bytes or offset == size:
            shards.append((start, offset))
            start = offset
    return shards, header


def json_line(value):
    # The tool's JSON: ", " and ": " between items, UTF-8 as it is.
    return json.dumps(value, ensure_ascii=False)


def number_or_none(text):
    return int(text) if text is not None and re.fullmatch(r"[0-9]+", text) else None


def namespace_names(header):
    root = ET.fromstring(header + "</mediawiki>")
    names = {}
    for el in root.iter():
        if el.tag.endswith("}namespace") or el.tag == "namespace":
            if el.text and el.get("key", "").lstrip("-").isdigit():
                names[el.text] = int(el.get("key"))
    return names


class PageReader:
    """The pages of XML fed piece by piece: the record line of each
    namespace-0 revision with tables, as the tool writes it."""

    def __init__(self, names, out):
        self.names, self.out = names, out
        self.parser = ET.XMLPullParser(events=("end",))
        self.pages = self.tables = 0

    def feed(self, xml_text):
        self.parser.feed(xml_text)
        for _, el in self.parser.read_events():
            if local(el.tag) == "page":
                self.page(el)
                el.clear()

    def close(self):
        self.parser.close()
        for _, el in self.parser.read_events():
            if local(el.tag) == "page":
                self.page(el)

    def page(self, el):
        fields = {local(child.tag): child for child in el}
        title = (fields["title"].text or "") if "title" in fields else ""
        if "ns" in fields:
            ns = int(fields["ns"].text)
        else:
            ns = self.names.get(title.split(":", 1)[0], 0) if ":" in title else 0
        if ns != 0:
            return
        self.pages += 1
        page_id = number_or_none(fields["id"].text) if "id" in fields else None
        for rev in el:
            if local(rev.tag) == "revision":
                self.revision(rev, page_id, ns, title)

    def revision(self, rev, page_id, ns, title):
        r = {local(child.tag): child for child in rev}
        line = {"id": page_id, "ns": ns, "title": title,
                "revision": number_or_none(r["id"].text) if "id" in r else None,
                "timestamp": r["timestamp"].text if "timestamp" in r else None,
                "tables": []}
        try:
            found = wt.tables((r["text"].text or "") if "text" in r else "")
        except wt.WikitextTableError:
            # As the tool says it: the page's line, with the converter's error.
            line["error"] = "Failed to parse table markup"
            self.out.write(json_line(line) + "\n")
            return
        for table in found:
            record = table_record(table)
            line["tables"].append({"line": record.pop("line"), **record})
        if line["tables"]:
            self.tables += len(line["tables"])
            self.out.write(json_line(line) + "\n")


def local(tag):
    return tag.rsplit("}", 1)[-1]


def table_record(table):
    record = dataclasses.asdict(table)
    for cell in record["cells"]:
        if cell.get("wikitext") is None:
            cell.pop("wikitext", None)
    return record


def convert_shard(task, dump_path, header, names, out_dir):
    """One task: its streams, each decompressed whole (its CRC checked)
    before a byte of it is read; returns (shard, pages, tables, bytes)."""
    number, (start, end) = task
    with open(dump_path, "rb") as f:
        f.seek(start)
        data = f.read(end - start)
    path = os.path.join(out_dir, f"shard-{number:05d}.jsonl")
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        reader = PageReader(names, out)
        reader.feed(header)
        closed = False
        while data:
            d = bz2.BZ2Decompressor()
            xml_text = d.decompress(data).decode("utf-8")
            data = d.unused_data
            closed = closed or "</mediawiki>" in xml_text
            reader.feed(xml_text)
        if not closed:
            reader.feed("</mediawiki>\n")
        reader.close()
    return number, reader.pages, reader.tables, end - start


def run(dump_path, index_path, out_dir, client, shard_mb=64.0):
    """The shards' summaries, in order, from a dask.distributed client."""
    import dask.bag as db

    shards, header = plan_shards(dump_path, index_path, int(shard_mb * 1e6))
    names = namespace_names(header)
    bag = db.from_sequence(list(enumerate(shards)), npartitions=max(1, len(shards)))
    done = bag.map(convert_shard, dump_path, header, names, out_dir)
    return sorted(client.compute(done).result())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dump")
    ap.add_argument("index")
    ap.add_argument("out_folder")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--scheduler", help="address of a running Dask scheduler")
    ap.add_argument("--shard-mb", type=float, default=64.0)
    args = ap.parse_args()
    from dask.distributed import Client, LocalCluster

    os.makedirs(args.out_folder, exist_ok=True)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                     processes=True))
    with client:
        summaries = run(os.path.abspath(args.dump), os.path.abspath(args.index),
                        os.path.abspath(args.out_folder), client, args.shard_mb)
    pages = sum(s[1] for s in summaries)
    tables = sum(s[2] for s in summaries)
    print(f"{len(summaries)} shards, {pages} pages, {tables} tables", file=sys.stderr)


if __name__ == "__main__":
    main()
