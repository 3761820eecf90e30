// The report of a generation run; see generation_report.h.
#include "generator/run/generation_report.h"

namespace velquor::generator {

report::ReportTable generationReportTable(const GenerationReport& report) {
    report::ReportTable table;
    table.header = {"row", "mac", "plain_file", "encrypted_file", "outcome", "reason"};
    table.rows.reserve(report.devices.size());
    for (const DeviceResult& device : report.devices) {
        table.rows.push_back({std::to_string(device.row), device.mac, device.plainFile,
                              device.encryptedFile, outcomeName(device.outcome), device.reason});
    }
    return table;
}

}  // namespace velquor::generator
