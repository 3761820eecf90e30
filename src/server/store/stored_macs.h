// The server's side of MAC addresses: a device is kept under its canonical form (12 lower-case
// digits) whatever spelling a record carries, a record whose MAC field is no MAC address is
// refused with a reason that quotes nothing of it, and the registrations stored before that
// rule are brought under it on upgrade, or listed when they cannot be.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/account_store.h"

namespace velquor::server {

// Why a MAC field is no MAC address, fit for the log: the reason and the field's length only,
// since the text may be a password from the wrong sheet. Empty for a MAC address.
std::string macFieldRefusal(std::string_view field);

struct MacRename {
    std::size_t index;      // into the stored MACs given
    std::string canonical;  // what it becomes
};

// The stored MACs that can take their canonical form: MAC addresses not yet in it whose
// canonical form no other stored row has (in any spelling). The others stay as they are.
std::vector<MacRename> canonicalRenames(const std::vector<std::string>& stored);

struct SpelledMac {
    std::string stored;     // the row's text
    std::string canonical;  // the MAC it spells, which stays taken while the row is there
};

// The stored MACs kept in a spelling other than the canonical one (those canonicalRenames left,
// since another row spells the same MAC): each keeps its canonical form taken, whoever asks,
// until the administrator releases or assigns it.
std::vector<SpelledMac> spelledMacs(const std::vector<std::string>& stored);

struct UnmatchedDevice {
    DeviceRow row;
    std::string why;  // "not a MAC address (9 bytes)", "another spelling of 001a2b3c4d5e"
};

// The registrations no device record can match: stored under a text that is not a canonical
// MAC, because it is not a MAC address or another row already has its canonical form.
std::vector<UnmatchedDevice> unmatchedDevices(const std::vector<DeviceRow>& rows);

// The one line kestod logs at start about them; empty when there are none.
std::string unmatchedDevicesNotice(const std::vector<UnmatchedDevice>& devices);

}  // namespace velquor::server
