#!/usr/bin/env python3
"""The translation check against small real sources and real lupdate: a text without an entry
fails with its file and line, an unfinished entry and a vanished one fail, a complete file
passes, and a plural entry needs every form."""
import os
import subprocess
import sys
import tempfile

CHECKER, LUPDATE = sys.argv[1], sys.argv[2]
# The build's lupdate options, each given as --option=VALUE.
OPTIONS = [argument.split("=", 1)[1] for argument in sys.argv[3:]]

SOURCE = """#include <QObject>
class Window : public QObject {
    Q_OBJECT
    void show() {
        tr("Encrypt");
        tr("%n file(s)", nullptr, 3);
    }
};
const char* kCore = VELQUOR_TR_NOOP("core", "Login failed!");
"""

HEADER = '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE TS>\n' \
         '<TS version="2.1" language="zh_CN" sourcelanguage="en">\n'


def message(source, translation, numerus=False):
    if numerus:
        forms = "".join("<numerusform>%s</numerusform>" % form for form in translation)
        return '    <message numerus="yes">\n        <source>%s</source>\n' \
               '        <translation>%s</translation>\n    </message>\n' % (source, forms)
    kind = ' type="unfinished"' if translation is None else ""
    return "    <message>\n        <source>%s</source>\n        <translation%s>%s</translation>\n" \
           "    </message>\n" % (source, kind, translation or "")


def ts_text(window, core):
    text = HEADER
    text += "<context>\n    <name>Window</name>\n" + "".join(window) + "</context>\n"
    if core:
        text += "<context>\n    <name>core</name>\n" + "".join(core) + "</context>\n"
    return text + "</TS>\n"


failures = []


def run(folder, ts_content, expect_ok, expect_in_output, case):
    ts = os.path.join(folder, "velquor_zh_CN.ts")
    with open(ts, "w", encoding="utf-8") as out:
        out.write(ts_content)
    # The file as lupdate itself writes it, so that only the case's point can differ.
    if expect_ok:
        subprocess.run([LUPDATE, "-silent", *OPTIONS, "-locations", "none",
                        "@" + os.path.join(folder, "sources.txt"), "-ts", ts], check=True)
    done = subprocess.run([sys.executable, CHECKER, "--lupdate", LUPDATE, "--sources",
                           os.path.join(folder, "sources.txt"), "--base", folder,
                           *["--option=" + o for o in OPTIONS], ts],
                          capture_output=True, text=True)
    ok = done.returncode == 0
    if ok != expect_ok or any(text not in done.stderr for text in expect_in_output):
        failures.append("%s: exit %d, output:\n%s" % (case, done.returncode, done.stderr))


with tempfile.TemporaryDirectory() as folder:
    source = os.path.join(folder, "window.cpp")
    with open(source, "w") as out:
        out.write(SOURCE)
    with open(os.path.join(folder, "sources.txt"), "w") as out:
        out.write(source + "\n")
    complete_window = [message("Encrypt", "加密"),
                       message("%n file(s)", ["%n 个文件"], numerus=True)]
    complete_core = [message("Login failed!", "登录失败！")]

    run(folder, ts_text(complete_window, complete_core), True, [], "a complete file")
    run(folder, ts_text(complete_window[:1], complete_core), False,
        ["window.cpp:6:", "%n file(s)", "has no entry"], "a text without an entry")
    run(folder, ts_text(complete_window, [message("Login failed!", None)]), False,
        ["window.cpp:9:", "Login failed!", "is not translated"], "an unfinished core text")
    run(folder, ts_text(complete_window + [message("Decrypt", "解密")], complete_core), False,
        ["\"Decrypt\"", "no longer in the sources"], "a vanished entry")
    run(folder, ts_text([complete_window[0], message("%n file(s)", [""], numerus=True)],
                        complete_core), False, ["%n file(s)", "is not translated"],
        "a plural without its form")

for failure in failures:
    print(failure, file=sys.stderr)
sys.exit(1 if failures else 0)
