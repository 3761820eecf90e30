#!/usr/bin/python3
"""The peer of the fields benchmark: lxml parses the template once, finds once the elements
each column of the sheet fills (the account elements of Ext1 for columns B to G, the elements
on an element path, the elements whose text is a {{placeholder}}), then per row sets their
texts and writes the file through a temporary name and a rename, syncing once at the end, as
the C++ job does.

usage: peer_fields.py TEMPLATE SHEET.csv OUT_DIR
"""
import csv
import os
import sys

from lxml import etree

SEED = {
    1: "Ext1/SubscriberInformation/DisplayName",
    2: "Ext1/SubscriberInformation/UserID",
    3: "Ext1/SubscriberInformation/AuthID",
    4: "Ext1/SubscriberInformation/Password",
    5: "Ext1/ProxyandRegistration/Proxy",
    6: "Ext1/SIPSettings/SIPPort",
}


def targets(root, header):
    by_text = {}
    for element in root.iter():
        if isinstance(element.tag, str) and element.text and element.text.startswith("{{"):
            by_text.setdefault(element.text, []).append(element)
    plan = []
    for column, name in enumerate(header):
        if column in SEED:
            elements = root.findall(SEED[column])
        elif "/" in name:
            elements = root.findall(name)
        else:
            elements = by_text.get("{{" + name + "}}", [])
        for element in elements:
            plan.append((element, column))
    return plan


def main():
    template_path, sheet_path, out_dir = sys.argv[1:4]
    with open(sheet_path, newline="", encoding="utf-8") as sheet:
        rows = list(csv.reader(sheet))
    parser = etree.XMLParser(remove_blank_text=True, resolve_entities=False, no_network=True)
    tree = etree.parse(template_path, parser)
    root = tree.getroot()
    plan = targets(root, rows[0])
    ext1s = root.findall("Ext1")
    encoding = tree.docinfo.encoding or "UTF-8"
    os.makedirs(out_dir, exist_ok=True)

    for row in rows[1:]:
        for ext1 in ext1s:
            ext1.set("Enable", "Enable")
        for element, column in plan:
            element.text = row[column] if row[column] else None
        data = etree.tostring(tree, pretty_print=True, xml_declaration=True, encoding=encoding)
        target = os.path.join(out_dir, row[0] + ".xml")
        temporary = target + ".tmp"
        with open(temporary, "wb") as out:
            out.write(data)
        os.replace(temporary, target)
    os.sync()


if __name__ == "__main__":
    main()
