"""A user's script that uses every public name; mypy --strict checks it
together with the package (the types of str and bytes calls must hold)."""
import trivanex_wikitext_table as wt


def main() -> None:
    html: str = wt.to_html("{|\n| a\n|}")
    doc: str = wt.parse_document("x\n{|\n| a\n|}")
    raw: bytes = wt.to_html(b"{|\n| a\n|}")
    raw_doc: bytes = wt.parse_document(bytearray(b"{|\n|}"))
    view: bytes = wt.to_html(memoryview(b"{|"))
    found: bool = wt.has_tables("{|")
    library: str = wt.version()
    package: str = wt.__version__
    try:
        wt.to_html("{|\n" * 65)
    except wt.WikitextTableError as error:
        message: str = str(error)
        print(message)
    found_tables: list[wt.Table] = wt.tables("{|\n! A\n|-\n| [[b|c]]\n|}", spans="blank")
    first: wt.Cell = found_tables[0].cells[0]
    links: list[wt.Link] = first.links
    records: list[dict[str, str | None]] = found_tables[0].to_records()
    print(html, doc, raw, raw_doc, view, found, library, package, wt.__all__, links, records)


if __name__ == "__main__":
    main()
