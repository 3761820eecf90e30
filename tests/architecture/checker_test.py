#!/usr/bin/env python3
"""The module-rule check against a copy of src/ and the map: each kind of bad include or link,
planted alone in the copy, is reported at its own file and line; the forms the rules allow are
not; a map that leaves out a folder, names an unknown dependency or lacks a module's line is
refused with status 2.

usage: checker_test.py CHECKER ARCHITECTURE.md SRC_FOLDER
"""
import os
import shutil
import subprocess
import sys
import tempfile

CHECKER, MAP, SRC = sys.argv[1], sys.argv[2], sys.argv[3]

# (file under src/, the line planted at its end, a word the report must hold)
BAD_INCLUDES = [
    ("cli/command.cpp", '#include "server/serving/kesto_server.h"', "depend on server"),
    ("cli/command.cpp", "#include <server/serving/kesto_server.h>", "depend on server"),
    ("server/serving/workers.cpp", '#include "cli/command.h"', "depend on cli"),
    ("server/store/stored_macs.cpp", "#include <provisioning/mac_file.h>",
     "depend on provisioning"),
    ("server/guard/login_rate.cpp", '#include "settings/kesto_settings.h"',
     "depend on settings"),
    ("wire/wire_records.cpp", '#include "../sheet/sheet_reader.h"', "depend on sheet"),
    ("generator/run/generation_job.cpp", '#include "../../provisioning/mac_file.h"',
     "depend on provisioning"),
    ("sheet/cell_name.cpp", '#include "sheet/../serve/log/fetch_record.h"', "depend on serve"),
    ("wire/fixed_fields.cpp", "#include <../src/sheet/sheet_reader.h>", "depend on sheet"),
    ("mac/mac_address.cpp", '#include "../../tests/common/temp_dir.h"', "outside src/"),
    ("crypto/aes.cpp", "#include <QString>", "depend on Qt"),
    ("generator/template/xml_prolog.cpp", "#include <qstring.h>", "depend on Qt"),
    ("sheet/cell_name.cpp", "#include <QtCore/QString>", "depend on Qt"),
    ("mac/file_name.cpp", "#include_next <QStringList>", "depend on Qt"),
    ("digest/md5.cpp", "#include <openssl/evp.h>", "depend on OpenSSL"),
    ("serve/folder/phone_folder.cpp", "#include <curl/curl.h>", "depend on libcurl"),
    ("support/hex.cpp", "#include <gtest/gtest.h>", "depend on GoogleTest"),
    ("sheet/sheet_reader.cpp", '#include "serve/log/fetch_record.h"', "depend on serve"),
    ("phonecheck/phone_check.cpp", '#include "generator/run/generation_job.h"',
     "depend on generator"),
    ("provisioning/mac_file.cpp", '#include "crypto/config_file.h"', "depend on crypto"),
    ("app/main.cpp", '#include "cli/command.h"', "depend on cli"),
    ("serve/log/fetch_record.cpp", '#  include"app/main_window/velquor_dlg.h"',
     "depend on app"),
    ("report/csv_writer.cpp", "#include VELQUOR_HEADER", "cannot read"),
    ("generator/fields/template_fields.h", '#include "generator/template/xml_prolog.h"',
     "a room above it"),
    ("generator/devices/device_macs.cpp", '#include "../template/xml_prolog.h"',
     "a room above it"),
    ("generator/outputs/check_sums.cpp", "#include <generator/run/device_writers.h>",
     "a room above it"),
    ("serve/log/fetch_record.cpp", '#include "serve/server/server_state.h"', "a room above it"),
    ("server/guard/login_rate.cpp", '#include "server/serving/workers.h"', "a room above it"),
]

BAD_LINKS = [
    ("wire/CMakeLists.txt", "target_link_libraries(velquor_wire PUBLIC velquor_sheet)",
     "depend on sheet"),
    ("server/CMakeLists.txt", "target_link_libraries(kestod PRIVATE velquor_provisioning)",
     "depend on provisioning"),
    ("crypto/CMakeLists.txt", "target_link_libraries(velquor_crypto PRIVATE\n    Qt6::Core)",
     "depend on Qt"),
    ("mac/CMakeLists.txt", "target_link_libraries(velquor_mac PRIVATE boost_regex)",
     "no module's target nor a library"),
]

# Forms the rules allow, planted together: none may be reported.
GOOD_INCLUDES = [
    ("serve/folder/phone_folder.cpp", "#include <net/if.h>"),
    ("serve/folder/phone_folder.cpp", "#include <net/host_address.h>"),
    ("generator/template/xml_prolog.cpp", '#include "config_template.h"'),
    ("generator/fields/template_fields.cpp", '#include "../devices/device_table.h"'),
    ("generator/run/generation_job.cpp", '#include "generator/outputs/check_sums.h"'),
    ("crypto/aes.cpp", "// #include <QString>"),
    ("crypto/aes.cpp", "#include <support/result.h>"),
    ("app/main.cpp", "#include <qstring.h>"),
    ("server/serving/workers.cpp", "#include <sqlite3.h>"),
]


class Tree:
    """A copy of src/ and the map; after each case, every file back as it was and no folder
    added."""

    def __init__(self):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="module-rules-"))
        self.src = os.path.join(self.root, "src")
        self.map = os.path.join(self.root, "MAP.md")
        shutil.copytree(SRC, self.src)
        shutil.copy(MAP, self.map)
        self.saved, self.added = {}, []

    def write(self, path, text, mode="w"):
        if path not in self.saved:
            with open(path, encoding="utf-8") as source:
                self.saved[path] = source.read()
        with open(path, mode, encoding="utf-8") as out:
            out.write(text)

    def plant(self, relative, line):
        """Appends a line to a file under src/; returns the file and the line's number."""
        path = os.path.join(self.src, relative)
        with open(path, encoding="utf-8") as source:
            count = source.read().count("\n")
        self.write(path, line + "\n", "a")
        return path, count + 1

    def edit_map(self, old, new):
        with open(self.map, encoding="utf-8") as source:
            text = source.read()
        if old not in text:
            raise SystemExit("the map has no '%s' to change" % old)
        self.write(self.map, text.replace(old, new, 1))

    def new_folder(self, relative):
        folder = os.path.join(self.src, relative)
        os.makedirs(folder)
        self.added.append(folder)
        with open(os.path.join(folder, "new.h"), "w", encoding="utf-8") as header:
            header.write("#pragma once\n")

    def check(self):
        done = subprocess.run([sys.executable, CHECKER, self.map, self.src],
                              capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr

    def restore(self):
        for path, text in self.saved.items():
            with open(path, "w", encoding="utf-8") as out:
                out.write(text)
        for folder in self.added:
            shutil.rmtree(folder)
        self.saved, self.added = {}, []


def reports_of(output, path, number):
    """The lines of the checker's output about one line of one file."""
    return [l for l in output.splitlines() if l.startswith("%s:%d: " % (path, number))]


def expect_reported(tree, relative, line, word):
    path, number = tree.plant(relative, line)
    status, output = tree.check()
    if status != 1 or not any(word in l for l in reports_of(output, path, number)):
        return ["%s planted in %s was not reported as '%s' (status %d):\n%s"
                % (line, relative, word, status, output)]
    return []


def expect_allowed(tree):
    planted = [tree.plant(relative, line) for relative, line in GOOD_INCLUDES]
    _, output = tree.check()
    return ["%s in %s was reported:\n%s" % (line, relative, output)
            for (path, number), (relative, line) in zip(planted, GOOD_INCLUDES)
            if reports_of(output, path, number)]


def expect_unlisted_room_reported(tree):
    tree.new_folder("generator/attic")
    status, output = tree.check()
    if status != 1 or "room attic of generator is not in the map" not in output:
        return ["a room the map does not list was not reported:\n" + output]
    return []


def expect_unlinked_include_reported(tree):
    """The map may let a module depend on another that it includes without linking it."""
    with open(tree.map, encoding="utf-8") as source:
        text = source.read()
    start = text.index("**May depend on:** ", text.index("`src/crypto`"))
    line = text[start:text.index("\n", start)]
    tree.edit_map(line, line.replace(":** ", ":** mac, "))
    path, number = tree.plant("crypto/aes.cpp", '#include "mac/mac_address.h"')
    status, output = tree.check()
    if status != 1 or not any("crypto includes mac but does not link it" in l
                              for l in reports_of(output, path, number)):
        return ["an include of a module not linked was not reported:\n" + output]
    return []


def expect_map_refused(tree, change, word):
    change(tree)
    status, output = tree.check()
    if status != 2 or word not in output:
        return ["a map that %s was not refused (status %d):\n%s" % (word, status, output)]
    return []


CASES = [lambda tree, case=case: expect_reported(tree, *case) for case in BAD_INCLUDES + BAD_LINKS]
CASES += [expect_allowed, expect_unlisted_room_reported, expect_unlinked_include_reported,
          lambda tree: expect_map_refused(tree, lambda t: t.new_folder("gadget"),
                                          "are not src/'s folders"),
          lambda tree: expect_map_refused(
              tree, lambda t: t.edit_map("**May depend on:** support.",
                                         "**May depend on:** support, sprockets."),
              "no module or library"),
          lambda tree: expect_map_refused(
              tree, lambda t: t.edit_map("**May depend on:**", "May use:"),
              "no **May depend on:** line")]

tree = Tree()
failures = []
try:
    for case in CASES:
        failures += case(tree)
        tree.restore()
finally:
    shutil.rmtree(tree.root)
for failure in failures:
    print(failure, file=sys.stderr)
print("%d cases, %d failed" % (len(CASES), len(failures)))
sys.exit(1 if failures else 0)
