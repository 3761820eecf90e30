// The main window's file-dialog filters; see file_filters.h.
#include "app/main_window/file_filters.h"

#include "app/main_window/velquor_dlg.h"

namespace velquor::app {

QString configFileFilter() {
    return CVelquorDlg::tr("Configuration files|*.xml|All files|*|",
                           "file-dialog filter: translate the descriptions, keep the patterns");
}
QString templateFilter() {
    return CVelquorDlg::tr("XML templates|*.xml|",
                           "file-dialog filter: translate the descriptions, keep the patterns");
}
QString sheetFilter() {
    return CVelquorDlg::tr("Spreadsheets|*.xlsx;*.xlsm;*.csv|",
                           "file-dialog filter: translate the descriptions, keep the patterns");
}
QString anyFileFilter() {
    return CVelquorDlg::tr("All files|*|",
                           "file-dialog filter: translate the descriptions, keep the patterns");
}

}  // namespace velquor::app
