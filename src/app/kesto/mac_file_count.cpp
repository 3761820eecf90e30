// countMacAddresses: the MAC file read as the batch reads it, only counted.
#include "app/kesto/mac_file_count.h"

#include "sheet/sheet_reader.h"

namespace velquor::app {

std::optional<std::size_t> countMacAddresses(const std::string& path) {
    if (path.empty()) return std::nullopt;
    sheet::SheetReader reader;
    if (!reader.Open(path)) return std::nullopt;
    std::size_t count = 0;
    const support::Status walked = reader.forEachCell([&count](int, int, std::string_view) {
        ++count;
        return support::Status{};
    });
    reader.Close();
    if (!walked) return std::nullopt;
    return count;
}

}  // namespace velquor::app
