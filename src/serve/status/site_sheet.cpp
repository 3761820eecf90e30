// Reading the site's MACs from a sheet; see site_sheet.h.
#include "serve/status/site_sheet.h"

#include <unordered_set>

#include "mac/mac_address.h"
#include "sheet/sheet_reader.h"

namespace velquor::serve {

support::Result<std::vector<std::string>> readSite(const std::string& path,
                                                   const std::stop_token& stop) {
    sheet::SheetReader reader;
    if (auto opened = reader.Open(path, stop); !opened) {
        return support::makeError(opened.error().code,
                                  "cannot read the sheet " + path + ": " + opened.error().message);
    }
    std::vector<std::string> columnA;
    std::vector<std::string> everywhere;
    auto walked = reader.forEachCell(
        [&](int, int column, std::string_view text) -> support::Status {
            if (auto mac = mac::canonicalMac(text)) {
                if (column == 1) columnA.push_back(*mac);
                everywhere.push_back(std::move(*mac));
            }
            return {};
        },
        stop);
    if (!walked) {
        return support::makeError(walked.error().code,
                                  "cannot read the sheet " + path + ": " + walked.error().message);
    }
    std::vector<std::string>& found = columnA.empty() ? everywhere : columnA;
    std::vector<std::string> site;
    std::unordered_set<std::string> seen;
    for (std::string& mac : found) {
        if (seen.insert(mac).second) site.push_back(std::move(mac));
    }
    if (site.empty()) {
        return support::makeError(support::ErrorCode::InvalidInput,
                                  "the sheet " + path + " holds no MAC address");
    }
    return site;
}

}  // namespace velquor::serve
