// The one question asked before a Generate, Add or Delete run some of whose rows cannot be
// used or are worth a look: how many and why, with Show rows (the findings in a results view,
// nothing done yet), Continue and Cancel (nothing written, nothing sent); a Generate that
// would be refused whole is told so, with nothing to continue. And the warning about a Server
// text that will not lead the phones anywhere.
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <string>

#include "app/results/results_model.h"
#include "mac/file_name.h"

namespace velquor::app {

class ControlWindow;

struct MacFindings {
    std::size_t rows = 0;        // every row (or cell) checked
    std::size_t notMac = 0;      // refused: not MAC addresses
    std::size_t repeated = 0;    // replaced by, or repeating, another row of the same MAC
    std::size_t failed = 0;      // rows whose template cannot be read
    std::size_t emptyCells = 0;  // rows with empty cells in fields their template uses
    std::size_t differing = 0;   // replaced rows whose values differ from the row used
    // Generate's: why the run would be refused whole (nothing may be written), and the
    // findings said one per line (the columns worth a look, the first rows that differ).
    QString refusal;
    QStringList notes;
    bool generate = false;
    RunResults view;  // every row, the unusable ones marked as failures

    bool any() const {
        return notMac + repeated + failed + emptyCells > 0 || !refusal.isEmpty() ||
               !notes.isEmpty();
    }
};

// The check alone of a Generate run (generator::checkDeviceSheet).
MacFindings generationFindings(const generator::GenerationReport& check, const QString& folder);
// The check alone of a MAC file, or of the cells typed in the MAC addresses box
// (provisioning::checkMacFile).
MacFindings deviceFindings(const provisioning::DeviceBatchSummary& check, const QString& macFile,
                           bool typedCells = false);

// True to go on: nothing to ask, or Continue. Show rows opens the findings and asks again
// once they are closed. False, after saying why, for a run refused whole.
bool confirmMacFindings(ControlWindow& window, MacFindings findings);

// The mac-form of the settings files, plain when they cannot be read (the Kesto commands
// report a broken file themselves).
mac::Form configuredMacForm();
// The device files' name pattern of the settings files, {mac}.xml when they cannot be read.
mac::FileNamePattern configuredFileName();

// True to go on: a Server text that looks like a URL, or Continue on the warning.
bool confirmServerText(ControlWindow& window, const std::string& server);

}  // namespace velquor::app
