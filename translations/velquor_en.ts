<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="en">
<context>
    <name>velquor::app::CDevice</name>
    <message numerus="yes">
        <source>Deregister the %n device(s) of %1 from %2?</source>
        <translation>
            <numerusform>Deregister the %n devices of %1 from %2?</numerusform>
            <numerusform>Deregister the %n devices of %1 from %2?</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Deregister %n device(s) from %1?</source>
        <translation>
            <numerusform>Deregister %n device from %1?</numerusform>
            <numerusform>Deregister %n devices from %1?</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1 is not a MAC file, but its column A holds %n MAC address(es) after the header row, as a device sheet does. Use column A?</source>
        <translation>
            <numerusform>%1 is not a MAC file, but its column A holds %n MAC address after the header row, as a device sheet does. Use column A?</numerusform>
            <numerusform>%1 is not a MAC file, but its column A holds %n MAC addresses after the header row, as a device sheet does. Use column A?</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Column %1 of %2 is headed server and gives %n phone(s) their own Server text; the others get the Server box&apos;s. Send each phone its own?</source>
        <translation>
            <numerusform>Column %1 of %2 is headed server and gives %n phone its own Server text; the others get the Server box&apos;s. Send each phone its own?</numerusform>
            <numerusform>Column %1 of %2 is headed server and gives %n phones their own Server text; the others get the Server box&apos;s. Send each phone its own?</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::CUser</name>
    <message numerus="yes">
        <source>%1 has %n registered device(s).</source>
        <translation>
            <numerusform>%1 has %n registered device.</numerusform>
            <numerusform>%1 has %n registered devices.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Free the %n device(s) of %1 too?</source>
        <translation>
            <numerusform>Free the %n device of %1 too?</numerusform>
            <numerusform>Free the %n devices of %1 too?</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::CVelquorDlg</name>
    <message numerus="yes">
        <source>%n file(s) will be replaced.</source>
        <translation>
            <numerusform>%n file will be replaced.</numerusform>
            <numerusform>%n files will be replaced.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n encrypted copy(ies) in %1 from an earlier run stay(s) as it is and will not match the new files (no key is used this time).</source>
        <translation>
            <numerusform>%n encrypted copy in %1 from an earlier run stays as it is and will not match the new files (no key is used this time).</numerusform>
            <numerusform>%n encrypted copies in %1 from an earlier run stay as they are and will not match the new files (no key is used this time).</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) of these phones under another name removed.</source>
        <translation>
            <numerusform>%n file of these phones under another name removed.</numerusform>
            <numerusform>%n files of these phones under another name removed.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) of these phones are under another name, such as %1: remove them?</source>
        <translation>
            <numerusform>%n file of these phones is under another name, such as %1: remove it?</numerusform>
            <numerusform>%n files of these phones are under another name, such as %1: remove them?</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) of these phones under another name could not be removed: %1</source>
        <extracomment>%1 is the first file and the system&apos;s reason</extracomment>
        <translation>
            <numerusform>%n file of these phones under another name could not be removed: %1</numerusform>
            <numerusform>%n files of these phones under another name could not be removed: %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n line(s) of MD5SUMS named files no longer there and were dropped.</source>
        <translation>
            <numerusform>%n line of MD5SUMS named a file no longer there and was dropped.</numerusform>
            <numerusform>%n lines of MD5SUMS named files no longer there and were dropped.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ControlWindow</name>
    <message numerus="yes">
        <source>%1 of the %n failures had no box of their own: every row, with its reason, is in the results view.</source>
        <translation>
            <numerusform>%1 of the %n failures had no box of their own: every row, with its reason, is in the results view.</numerusform>
            <numerusform>%1 of the %n failures had no box of their own: every row, with its reason, is in the results view.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::DeviceTableView</name>
    <message numerus="yes">
        <source>%n device(s) registered to this account on %1.</source>
        <translation>
            <numerusform>%n device registered to this account on %1.</numerusform>
            <numerusform>%n devices registered to this account on %1.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n device(s) registered to %1 on %2.</source>
        <translation>
            <numerusform>%n device registered to %1 on %2.</numerusform>
            <numerusform>%n devices registered to %1 on %2.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Delete selected (%n)</source>
        <translation>
            <numerusform>Delete selected (%n)</numerusform>
            <numerusform>Delete selected (%n)</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::MacFindings</name>
    <message numerus="yes">
        <source>%1 of %n rows cannot be used (not MAC addresses: %2, repeated MACs: %3).</source>
        <translation>
            <numerusform>%1 of %n row cannot be used (not MAC addresses: %2, repeated MACs: %3).</numerusform>
            <numerusform>%1 of %n rows cannot be used (not MAC addresses: %2, repeated MACs: %3).</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1 of %n rows cannot be used (not MAC addresses).</source>
        <translation>
            <numerusform>%1 of %n row cannot be used (not MAC addresses).</numerusform>
            <numerusform>%1 of %n rows cannot be used (not MAC addresses).</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1 of %n rows cannot be used (repeated MACs).</source>
        <translation>
            <numerusform>%1 of %n row cannot be used (repeated MACs).</numerusform>
            <numerusform>%1 of %n rows cannot be used (repeated MACs).</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) name a template that cannot be read.</source>
        <translation>
            <numerusform>%n row names a template that cannot be read.</numerusform>
            <numerusform>%n rows name a template that cannot be read.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) have empty cells in fields the template fills (Password, Proxy, ...).</source>
        <translation>
            <numerusform>%n row has empty cells in fields the template fills (Password, Proxy, ...).</numerusform>
            <numerusform>%n rows have empty cells in fields the template fills (Password, Proxy, ...).</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>… and %n more phone(s) whose rows differ.</source>
        <translation>
            <numerusform>… and %n more phone whose rows differ.</numerusform>
            <numerusform>… and %n more phones whose rows differ.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ResultsTableModel</name>
    <message numerus="yes">
        <source>%n device row(s)</source>
        <translation>
            <numerusform>%n device row</numerusform>
            <numerusform>%n device rows</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n of %1 written (each with its encrypted copy in &quot;en&quot;).</source>
        <translation>
            <numerusform>%n of %1 written (with its encrypted copy in &quot;en&quot;).</numerusform>
            <numerusform>%n of %1 written (each with its encrypted copy in &quot;en&quot;).</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n empty row(s) skipped: they hold no device.</source>
        <translation>
            <numerusform>%n empty row was skipped: they hold no device.</numerusform>
            <numerusform>%n empty rows were skipped: they hold no device.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Cancelled: %n row(s) not processed.</source>
        <translation>
            <numerusform>Cancelled: %n row was not processed.</numerusform>
            <numerusform>Cancelled: %n rows were not processed.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) failed:</source>
        <translation>
            <numerusform>%n row failed:</numerusform>
            <numerusform>%n rows failed:</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) replaced by a later row with the same MAC:</source>
        <translation>
            <numerusform>%n row was replaced by a later row with the same MAC:</numerusform>
            <numerusform>%n rows were replaced by a later row with the same MAC:</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) written with empty values:</source>
        <translation>
            <numerusform>%n row was written with empty values:</numerusform>
            <numerusform>%n rows were written with empty values:</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n empty row(s) skipped</source>
        <translation>
            <numerusform>%n empty row skipped</numerusform>
            <numerusform>%n empty rows skipped</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n MAC address(es) in %1</source>
        <translation>
            <numerusform>%n MAC address in %1</numerusform>
            <numerusform>%n MAC addresses in %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more failed rows</source>
        <translation>
            <numerusform>... and %n more failed rows</numerusform>
            <numerusform>... and %n more failed rows</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more replaced rows</source>
        <translation>
            <numerusform>... and %n more replaced rows</numerusform>
            <numerusform>... and %n more replaced rows</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more row(s)</source>
        <translation>
            <numerusform>... and %n more row</numerusform>
            <numerusform>... and %n more rows</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1 and %n more</source>
        <translation>
            <numerusform>%1 and %n more</numerusform>
            <numerusform>%1 and %n more</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n written with empty cells</source>
        <translation>
            <numerusform>%n written with empty cells</numerusform>
            <numerusform>%n written with empty cells</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) refused: column A is not a MAC address:</source>
        <translation>
            <numerusform>%n row was refused: column A is not a MAC address:</numerusform>
            <numerusform>%n rows were refused: column A is not a MAC address:</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more refused rows</source>
        <translation>
            <numerusform>... and %n more refused rows</numerusform>
            <numerusform>... and %n more refused rows</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n empty cell(s), nothing to send</source>
        <translation>
            <numerusform>%n empty cell, nothing to send</numerusform>
            <numerusform>%n empty cells, nothing to send</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ResultsView</name>
    <message numerus="yes">
        <source>Copy selected (%n)</source>
        <translation>
            <numerusform>Copy selected (%n)</numerusform>
            <numerusform>Copy selected (%n)</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Save selected (%n)…</source>
        <translation>
            <numerusform>Save selected (%n)…</numerusform>
            <numerusform>Save selected (%n)…</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Copy shown (%n)</source>
        <translation>
            <numerusform>Copy shown (%n)</numerusform>
            <numerusform>Copy shown (%n)</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Save shown (%n)…</source>
        <translation>
            <numerusform>Save shown (%n)…</numerusform>
            <numerusform>Save shown (%n)…</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Retry failed rows (%n)</source>
        <translation>
            <numerusform>Retry failed rows (%n)</numerusform>
            <numerusform>Retry failed rows (%n)</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ServeDialog</name>
    <message numerus="yes">
        <source>%n request(s) could not be written to the fetch log.</source>
        <translation>
            <numerusform>%n request could not be written to the fetch log.</numerusform>
            <numerusform>%n requests could not be written to the fetch log.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n request line(s) were left out of the display: they came faster than they could be shown. Serving went on.</source>
        <translation>
            <numerusform>%n request line was left out of the display: it came faster than it could be shown. Serving went on.</numerusform>
            <numerusform>%n request lines were left out of the display: they came faster than they could be shown. Serving went on.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::SettingsDialog</name>
    <message numerus="yes">
        <source>%1 does not answer on %n of its three ports.</source>
        <translation>
            <numerusform>%1 does not answer on %n of its three ports.</numerusform>
            <numerusform>%1 does not answer on %n of its three ports.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::SiteTableView</name>
    <message numerus="yes">
        <source>%n phone(s): %1 ready, %2 with a problem</source>
        <translation>
            <numerusform>%n phone: %1 ready, %2 with a problem</numerusform>
            <numerusform>%n phones: %1 ready, %2 with a problem</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1 phones: %2 ready, %3 with a problem, %n row(s) of the sheet refused</source>
        <extracomment>%1 phones (every row of the sheet), %2 ready, %3 with a problem, %n rows of the sheet that hold no MAC address (among the problems)</extracomment>
        <translation>
            <numerusform>%1 phones: %2 ready, %3 with a problem, %n row of the sheet refused</numerusform>
            <numerusform>%1 phones: %2 ready, %3 with a problem, %n rows of the sheet refused</numerusform>
        </translation>
    </message>
</context>
</TS>
