// MAC addresses as the server keeps them; see stored_macs.h.
#include "server/store/stored_macs.h"

#include <unordered_map>

#include "mac/mac_address.h"

namespace velquor::server {
namespace {

// The reason without the one letter a NotHexDigit quotes.
std::string reasonWithoutText(const mac::Refusal& refusal) {
    if (refusal.kind == mac::RefusalKind::NotHexDigit) return "a letter that is no hex digit";
    return mac::describe(refusal);
}

std::string lengthOf(std::string_view field) {
    return std::to_string(field.size()) + (field.size() == 1 ? " byte" : " bytes");
}

// How many stored rows share each canonical form.
std::unordered_map<std::string, std::size_t> canonicalCounts(
    const std::vector<std::string>& stored) {
    std::unordered_map<std::string, std::size_t> counts;
    for (const std::string& mac : stored) {
        if (auto canonical = mac::canonicalMac(mac)) ++counts[*canonical];
    }
    return counts;
}

}  // namespace

std::string macFieldRefusal(std::string_view field) {
    const mac::Reading reading(field);
    if (reading.ok()) return {};
    return "not a MAC address: " + reasonWithoutText(reading.refusal()) + " (" + lengthOf(field) +
           ")";
}

std::vector<MacRename> canonicalRenames(const std::vector<std::string>& stored) {
    const auto counts = canonicalCounts(stored);
    std::vector<MacRename> renames;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        auto canonical = mac::canonicalMac(stored[i]);
        if (!canonical || *canonical == stored[i] || counts.at(*canonical) > 1) continue;
        renames.push_back(MacRename{i, std::move(*canonical)});
    }
    return renames;
}

std::vector<SpelledMac> spelledMacs(const std::vector<std::string>& stored) {
    std::vector<SpelledMac> spelled;
    for (const std::string& mac : stored) {
        auto canonical = mac::canonicalMac(mac);
        if (canonical && *canonical != mac)
            spelled.push_back(SpelledMac{mac, std::move(*canonical)});
    }
    return spelled;
}

std::vector<UnmatchedDevice> unmatchedDevices(const std::vector<DeviceRow>& rows) {
    std::vector<std::string> stored;
    stored.reserve(rows.size());
    for (const DeviceRow& row : rows) stored.push_back(row.mac);
    const auto counts = canonicalCounts(stored);
    std::vector<UnmatchedDevice> unmatched;
    for (const DeviceRow& row : rows) {
        const mac::Reading reading(row.mac);
        if (!reading.ok()) {
            unmatched.push_back(
                UnmatchedDevice{row, "not a MAC address: " + reasonWithoutText(reading.refusal()) +
                                         " (" + lengthOf(row.mac) + ")"});
            continue;
        }
        const std::string canonical = reading.address().canonical();
        if (canonical == row.mac) continue;
        unmatched.push_back(UnmatchedDevice{
            row, counts.at(canonical) > 1 ? "another spelling of " + canonical
                                          : "not yet in its canonical form " + canonical});
    }
    return unmatched;
}

std::string unmatchedDevicesNotice(const std::vector<UnmatchedDevice>& devices) {
    if (devices.empty()) return {};
    return std::to_string(devices.size()) +
           (devices.size() == 1 ? " registration is" : " registrations are") +
           " kept under a text no device record can match (not a MAC address, or another "
           "spelling of a registered device); 'kestod devices --invalid' lists them";
}

}  // namespace velquor::server
