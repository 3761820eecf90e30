#!/usr/bin/python3
"""Prints what a spreadsheet program sees in an .xlsx report, read with python3-openpyxl.

One line per non-empty cell of the first sheet: "cell ROW COLUMN TYPE HEX", TYPE openpyxl's
data type (s: text, n: number, f: formula) and HEX the UTF-8 bytes of its value; then
"bold ROW COLUMN" for each bold cell, "freeze CELL" and "filter RANGE".

A workbook writes some characters by their code ("_x000D_" for a carriage return, "_x005F_"
for an underscore that would otherwise start such a code). Spreadsheet programs decode every
such code once; openpyxl 3.0 decodes only "_x005F_" in the shared strings, so its string
table reader is replaced here by the same one decoding them all, with openpyxl's own unescape.
"""
import sys

import openpyxl
import openpyxl.reader.excel
from openpyxl.cell.text import Text
from openpyxl.utils.escape import unescape
from openpyxl.xml.constants import SHEET_MAIN_NS
from openpyxl.xml.functions import iterparse


def read_string_table(xml_source):
    strings = []
    for _, node in iterparse(xml_source):
        if node.tag == "{%s}si" % SHEET_MAIN_NS:
            strings.append(unescape(Text.from_tree(node).content))
            node.clear()
    return strings


openpyxl.reader.excel.read_string_table = read_string_table

book = openpyxl.load_workbook(sys.argv[1])
sheet = book.worksheets[0]
for row in sheet.iter_rows():
    for cell in row:
        if cell.value is None:
            continue
        text = cell.value if isinstance(cell.value, str) else repr(cell.value)
        print("cell", cell.row, cell.column, cell.data_type, text.encode("utf-8").hex())
for row in sheet.iter_rows():
    for cell in row:
        if cell.font is not None and cell.font.b:
            print("bold", cell.row, cell.column)
print("freeze", sheet.freeze_panes)
print("filter", sheet.auto_filter.ref)
