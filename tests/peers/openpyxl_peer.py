#!/usr/bin/python3
"""openpyxl as the independent workbook peer of the xlsx tests.

  openpyxl_peer.py make DIR   writes the peer workbooks into DIR and prints, as
                              JSON, what openpyxl reads back from each
  openpyxl_peer.py dump PATH  prints the first worksheet of PATH as openpyxl
                              reads it

A sheet dump is {"sheet": title, "rows": [[cell, ...], ...]} over the range
A1..(max_row, max_column); a cell is null, {"t": "n", "v": number},
{"t": "b", "v": bool}, {"t": "s", "v": text}, {"t": "d", "us": microseconds
since 1970-01-01 (naive)} or {"t": "time", "v": text}.
"""
import datetime as dt
import json
import os
import sys
import zipfile

import openpyxl
from openpyxl.utils.datetime import CALENDAR_MAC_1904

EPOCH = dt.datetime(1970, 1, 1)


def cell(v):
    if v is None:
        return None
    if isinstance(v, bool):
        return {"t": "b", "v": v}
    if isinstance(v, (int, float)):
        return {"t": "n", "v": v}
    if isinstance(v, dt.datetime):
        return {"t": "d", "us": (v - EPOCH) // dt.timedelta(microseconds=1)}
    if isinstance(v, dt.date):
        return {"t": "d", "us": (dt.datetime(v.year, v.month, v.day) - EPOCH) // dt.timedelta(microseconds=1)}
    if isinstance(v, (dt.time, dt.timedelta)):
        return {"t": "time", "v": str(v)}
    return {"t": "s", "v": str(v)}


def dump(path):
    wb = openpyxl.load_workbook(path, data_only=True)
    ws = wb.worksheets[0]
    rows = [[cell(v) for v in r]
            for r in ws.iter_rows(min_row=1, min_col=1, max_row=ws.max_row,
                                  max_col=ws.max_column, values_only=True)]
    return {"sheet": ws.title, "rows": rows}


def swap_sheet_parts(path):
    """Renames sheet1.xml <-> sheet2.xml inside the package (and in every
    part that names them), so the first sheet in workbook order is not
    stored as sheet1.xml."""
    with zipfile.ZipFile(path) as z:
        items = [(i.filename, z.read(i.filename)) for i in z.infolist()]

    def swap(b):
        return (b.replace(b"sheet1.xml", b"@@TMP@@").replace(b"sheet2.xml", b"sheet1.xml")
                .replace(b"@@TMP@@", b"sheet2.xml"))

    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in items:
            z.writestr(swap(name.encode()).decode(), swap(data) if name.endswith((".xml", ".rels")) else data)


def make(out):
    made = {}

    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Prices"
    ws.append(["name", "qty", "price", "flag", "when", "day", "partial"])
    ws.append(["alpha", 1, 1.5, True, dt.datetime(2024, 1, 2, 3, 4, 5), dt.date(2023, 12, 31), 7])
    ws.append(["b\u00e9ta \u6771\u4eac", 2, -0.25, False, dt.datetime(1999, 12, 31, 23, 59, 59, 250000),
               dt.date(1900, 3, 1), None])
    ws.append(["  spaced  ", 123456789012, 1e-300, True, dt.datetime(2262, 1, 1), dt.date(2000, 2, 29), 8])
    wb.save(os.path.join(out, "basic.xlsx"))
    made["basic"] = "basic.xlsx"

    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "a"
    ws["C1"] = "c"
    ws["B3"] = 2.5
    ws["C7"] = "seven"
    ws["E5"] = 5
    ws["A9"] = True
    wb.save(os.path.join(out, "sparse.xlsx"))
    made["sparse"] = "sparse.xlsx"

    wb = openpyxl.Workbook()
    other = wb.active
    other.title = "Other"
    other.append(["wrong", "sheet"])
    other.append([0, 0])
    data = wb.create_sheet("Data", 0)  # first in workbook order
    data.append(["k", "v"])
    data.append(["x", 10])
    data.append(["y", 20])
    wb.save(os.path.join(out, "order.xlsx"))
    swap_sheet_parts(os.path.join(out, "order.xlsx"))
    made["order"] = "order.xlsx"

    wb = openpyxl.Workbook()
    wb.epoch = CALENDAR_MAC_1904
    ws = wb.active
    ws.append(["d", "n"])
    ws.append([dt.datetime(2020, 6, 15, 12, 30), 1])
    ws.append([dt.datetime(1904, 1, 2), 2])
    wb.save(os.path.join(out, "mac1904.xlsx"))
    made["mac1904"] = "mac1904.xlsx"

    wb = openpyxl.Workbook()
    ws = wb.active
    ws.append(["custom", "percent", "literal", "mixed"])
    for i, (v, m) in enumerate([(45000.75, "x"), (45001.5, 2), (45002.25, True)]):
        ws.append([v, v / 100000, v, m])
        ws.cell(row=i + 2, column=1).number_format = "dd/mm/yyyy hh:mm"
        ws.cell(row=i + 2, column=2).number_format = "0.00%"
        ws.cell(row=i + 2, column=3).number_format = '"Day "0'
    wb.save(os.path.join(out, "formats.xlsx"))
    made["formats"] = "formats.xlsx"

    return {key: dump(os.path.join(out, name)) for key, name in made.items()}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("make", "dump"):
        sys.exit("usage: openpyxl_peer.py make DIR | dump PATH")
    result = make(sys.argv[2]) if sys.argv[1] == "make" else dump(sys.argv[2])
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
