#!/usr/bin/python3
"""The peer of the generator benchmark: the same per-device generation in Python with
openpyxl (sheet) and lxml (template), writing each file through a temporary name and a
rename and syncing once at the end, as the C++ job does.

usage: peer_generate.py TEMPLATE SHEET.xlsx OUT_DIR
"""
import os
import sys

import openpyxl
from lxml import etree

# Column of the row (0 = A) that feeds each account element, per section below Ext1.
SECTIONS = {
    "SIPSettings": {"SIPPort": 6},
    "ProxyandRegistration": {"Proxy": 5},
    "SubscriberInformation": {"DisplayName": 1, "UserID": 2, "AuthID": 3, "Password": 4},
}


def element_children(node):
    for child in node:
        if not isinstance(child.tag, str):
            break
        yield child


def plan_edits(root):
    ext1s, edits = [], []
    for ext1 in element_children(root):
        if ext1.tag != "Ext1":
            continue
        ext1s.append(ext1)
        for section in element_children(ext1):
            wanted = SECTIONS.get(section.tag, {})
            for leaf in element_children(section):
                if leaf.tag in wanted:
                    edits.append((leaf, wanted[leaf.tag]))
    return ext1s, edits


def main():
    template_path, sheet_path, out_dir = sys.argv[1:4]
    book = openpyxl.load_workbook(sheet_path, read_only=True)
    rows = [["" if v is None else str(v) for v in row] for row in book.active.iter_rows(values_only=True)]
    book.close()

    parser = etree.XMLParser(remove_blank_text=True, resolve_entities=False, no_network=True)
    tree = etree.parse(template_path, parser)
    root = tree.getroot()
    ext1s, edits = plan_edits(root)
    encoding = tree.docinfo.encoding or "UTF-8"
    os.makedirs(out_dir, exist_ok=True)

    for row in rows[1:]:
        for ext1 in ext1s:
            ext1.set("Enable", "Enable")
        for leaf, column in edits:
            for child in list(leaf):
                leaf.remove(child)
            leaf.text = row[column] if row[column] else None
        data = etree.tostring(tree, pretty_print=True, xml_declaration=True, encoding=encoding)
        target = os.path.join(out_dir, row[0] + ".xml")
        temporary = target + ".tmp"
        with open(temporary, "wb") as out:
            out.write(data)
        os.replace(temporary, target)
    os.sync()


if __name__ == "__main__":
    main()
