#!/usr/bin/python3
"""Reads a CSV report as RFC 4180 with Python's csv module: one line per field,
"ROW COLUMN HEX" (1-based, HEX the field's UTF-8 bytes), then "rows N"."""
import csv
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as file:
    rows = list(csv.reader(file, strict=True))
for r, row in enumerate(rows, 1):
    for c, field in enumerate(row, 1):
        print(r, c, field.encode("utf-8").hex())
print("rows", len(rows))
