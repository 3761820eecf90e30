// The main window's file-dialog filters, as description|pattern| pairs: the descriptions are
// translated (in the main window's context), the patterns stay.
#pragma once

#include <QString>

namespace velquor::app {

// Encrypted configurations: any file may be chosen as well, since one need not end in .xml.
QString configFileFilter();
QString templateFilter();
QString sheetFilter();
QString anyFileFilter();

}  // namespace velquor::app
