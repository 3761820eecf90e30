// CSV text of a generation report; see report_csv.h.
#include "generator/report_csv.h"

namespace velquor::generator {

std::string csvField(std::string_view text) {
    const bool needsQuotes = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                             (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!needsQuotes) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string generationReportCsv(const GenerationReport& report) {
    std::string csv = "row,mac,plain_file,encrypted_file,outcome,reason\r\n";
    for (const DeviceResult& device : report.devices) {
        csv += std::to_string(device.row) + ',' + csvField(device.mac) + ',' +
               csvField(device.plainFile) + ',' + csvField(device.encryptedFile) + ',' +
               outcomeName(device.outcome) + ',' + csvField(device.reason) + "\r\n";
    }
    return csv;
}

}  // namespace velquor::generator
