"""tables(): the cell text case table, the grid on spans, the record's
fields and the errors."""
import copy
import dataclasses
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from trivanex_wikitext_table import Cell, Link, Table, WikitextTableError, tables  # noqa: E402

CASES = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "cases", "cell_text.jsonl")


def one_cell(wikitext):
    return tables("{|\n| " + wikitext + "\n|}")[0].cells[0]


class Objects(unittest.TestCase):
    def test_records_fill_the_dataclasses_field_for_field(self):
        # The objects are filled from the records without __init__: the
        # records' keys must be the fields, and the objects must behave as
        # constructed ones do.
        names = lambda cls: sorted(f.name for f in dataclasses.fields(cls))  # noqa: E731
        for options in ({}, {"wikitext": True}):
            t = tables("{|\n|+ Cap\n! A !! B\n|-\n| [[X|y]] || 2\n|}", **options)[0]
            self.assertEqual(sorted(vars(t)), names(Table))
            for cell in t.cells:
                expected = names(Cell) if options else sorted(set(names(Cell)) - {"wikitext"})
                self.assertEqual(sorted(vars(cell)), expected, options)
            link = t.cells[2].links[0]
            self.assertEqual((sorted(vars(link)), link, hash(link)),
                             (names(Link), Link("X", "y"), hash(Link("X", "y"))))
            as_dict = dataclasses.asdict(t)
            rebuilt = Table(**{**as_dict, "cells": [
                Cell(**{**c, "links": [Link(**k) for k in c["links"]]}) for c in as_dict["cells"]]})
            self.assertEqual((rebuilt, copy.deepcopy(t)), (t, t))
            self.assertIsNone(t.cells[0].wikitext if not options else None)


class CellText(unittest.TestCase):
    def test_the_case_table(self):
        with open(CASES, encoding="utf-8") as f:
            cases = [json.loads(line) for line in f if line.strip()]
        self.assertGreater(len(cases), 40)
        for case in cases:
            with self.subTest(case["name"]):
                cell = one_cell(case["wikitext"])
                self.assertEqual(cell.text, case["text"])
                self.assertEqual(cell.links, [Link(t, x) for t, x in case.get("links", [])])
                self.assertEqual(cell.refs, case.get("refs", []))
                self.assertEqual(cell.sort, case.get("sort"))
                self.assertEqual(cell.templates, case.get("templates", []))

    def test_data_sort_value_is_the_sort_key(self):
        self.assertEqual(one_cell('data-sort-value="0042" | 42').sort, "0042")

    def test_br_space_and_wikitext_options(self):
        text = "{|\n| a<br>b\n|}"
        self.assertEqual(tables(text, br="space")[0].rows, [["a b"]])
        self.assertEqual(tables(text, wikitext=True)[0].cells[0].wikitext, "a<br>b")
        self.assertIsNone(tables(text)[0].cells[0].wikitext)


def grid(markup, **options):
    t = tables("{|\n" + markup + "\n|}", **options)[0]
    return t.header + t.rows


class Grid(unittest.TestCase):
    def test_spans_fill_or_blank(self):
        markup = '| rowspan="2" | a || b\n|-\n| c\n|-\n| colspan="2" | d'
        self.assertEqual(grid(markup), [["a", "b"], ["a", "c"], ["d", "d"]])
        self.assertEqual(grid(markup, spans="blank"), [["a", "b"], ["", "c"], ["d", ""]])

    def test_rowspan_zero_reaches_the_last_row(self):
        self.assertEqual(grid('| rowspan="0" | a || b\n|-\n| c\n|-\n| d'),
                         [["a", "b"], ["a", "c"], ["a", "d"]])

    def test_spans_past_the_edge_are_cut_at_the_last_row(self):
        t = tables('{|\n| rowspan="9" | a || b\n|-\n| c\n|}')[0]
        self.assertEqual(t.rows, [["a", "b"], ["a", "c"]])
        self.assertEqual(t.cells[0].rowspan, 2)

    def test_overlapping_spans_leave_a_slot_to_the_first_cell(self):
        self.assertEqual(grid('| a || rowspan="2" | b\n|-\n| colspan="2" | c'),
                         [["a", "b"], ["c", "b"]])
        self.assertEqual(grid('| rowspan="2" | a || b\n|-\n| c || d'),
                         [["a", "b", None], ["a", "c", "d"]])

    def test_ragged_rows_leave_null_slots_and_a_flag(self):
        t = tables("{|\n| a || b || c\n|-\n| d\n|}")[0]
        self.assertEqual(t.rows, [["a", "b", "c"], ["d", None, None]])
        self.assertIn("ragged", t.flags)

    def test_bad_span_values_count_as_one(self):
        self.assertEqual(grid('| colspan="x" | a || colspan="1001" | b || colspan=" 2" | c'),
                         [["a", "b", "c", "c"]])


class Records(unittest.TestCase):
    def test_headers_columns_and_labels(self):
        t = tables('{|\n! rowspan="2" | Team !! colspan="2" | Goals\n|-\n! For !! Against\n'
                   '|-\n! Bruins\n| 1 || 2\n|-\n| x || || \n|}')[0]
        self.assertEqual(t.columns, ["Team", "Goals / For", "Goals / Against"])
        self.assertEqual(len(t.header), 2)
        self.assertEqual(t.rows[0], ["Bruins", "1", "2"])
        self.assertTrue(t.cells[4].header)  # a header cell at the start of a body row
        self.assertEqual(t.to_records()[0], {"Team": "Bruins", "Goals / For": "1",
                                             "Goals / Against": "2"})

    def test_empty_and_repeated_labels(self):
        t = tables("{|\n! A !! !! A !! A\n|-\n| 1 || 2 || 3 || 4\n|}")[0]
        self.assertEqual(t.columns, ["A", "col 2", "A.1", "A.2"])
        t = tables("{|\n| 1 || 2\n|}")[0]
        self.assertEqual(t.columns, ["col 1", "col 2"])

    def test_nesting_sections_captions_and_lines(self):
        text = ("intro\n== Results ==\n=== 2020 ===\n<!-- a\ncomment -->\n"
                "{| class=\"wikitable\"\n|+ ''Cap''\n| outer\n{|\n| inner\n|}\n| after\n|}\n")
        outer, inner = tables(text)
        self.assertEqual((outer.table, outer.parent, inner.table, inner.parent), (0, None, 1, 0))
        self.assertEqual(outer.section, ["Results", "2020"])
        self.assertEqual(outer.caption, "Cap")
        self.assertEqual(outer.attrs, 'class="wikitable"')
        self.assertEqual(outer.line, 6)  # as given, the comment's lines counted
        self.assertEqual(outer.cells[0].tables, [1])
        self.assertEqual(outer.cells[0].text, "outer")
        self.assertIn("nested", outer.flags)
        self.assertEqual(inner.rows, [["inner"]])

    def test_unknown_templates_and_cuts_are_flagged(self):
        self.assertIn("unknown_templates", tables("{|\n| {{Infobox}}\n|}")[0].flags)
        self.assertIn("cut", tables("{|\n|- " + "x" * 2000 + "\n| a\n|}")[0].flags)
        self.assertEqual(tables("{|\n| a\n|}")[0].flags, [])

    def test_to_pandas(self):
        t = tables("{|\n! A !! B\n|-\n| 1 || 2\n|}")[0]
        try:
            import pandas  # noqa: F401
        except ImportError:
            with self.assertRaisesRegex(ImportError, "needs pandas"):
                t.to_pandas()
        else:
            frame = t.to_pandas()
            self.assertEqual(list(frame.columns), ["A", "B"])
            self.assertEqual(frame.values.tolist(), [["1", "2"]])


class Errors(unittest.TestCase):
    def test_bad_input_and_options(self):
        with self.assertRaises(ValueError):
            tables("a\0b")
        with self.assertRaises(ValueError):
            tables("\ud800")
        with self.assertRaises(ValueError):
            tables("x", spans="none")
        with self.assertRaises(ValueError):
            tables("x", br="tab")

    def test_too_deep_nesting_fails_like_the_converter(self):
        with self.assertRaisesRegex(WikitextTableError, "line 65"):
            tables("{|\n" * 65)

    def test_a_text_without_tables(self):
        self.assertEqual(tables("just prose\n"), [])


if __name__ == "__main__":
    unittest.main()
