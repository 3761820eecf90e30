// A site's folder for the phone-server benchmarks: one configuration file per phone (named by
// its MAC, as Generate names them), a common file every phone fetches and a firmware-sized
// file; and the phones that fetch them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "phone_fetches.h"

namespace velquor::bench {

struct SiteFiles {
    std::size_t phones = 10000;
    std::size_t configBytes = 4096;
    std::size_t commonBytes = 8192;
    std::size_t firmwareBytes = 256 * 1024;
};

inline constexpr char kCommonFile[] = "common.cfg";
inline constexpr char kFirmwareFile[] = "firmware.bin";

// The configuration file name of the INDEX-th phone.
std::string configName(std::size_t index);

void writeSite(const std::filesystem::path& folder, const SiteFiles& site);

// Phones FIRST to FIRST + COUNT - 1 of SITE, from ADDRESSES addresses of loopback block
// BLOCK (phone i from address i % ADDRESSES), each fetching its configuration file and, with
// ALL_THREE, the common file and the firmware after it.
std::vector<Phone> sitePhones(const SiteFiles& site, std::size_t first, std::size_t count,
                              unsigned block, unsigned addresses, bool allThree);

}  // namespace velquor::bench
