#include "site_files.h"

#include <cstdio>
#include <fstream>

#include "loopback.h"

namespace velquor::bench {
namespace fs = std::filesystem;

std::string configName(std::size_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "0015%08X.xml", 0x65000000u + static_cast<unsigned>(index));
    return name;
}

void writeSite(const fs::path& folder, const SiteFiles& site) {
    fs::create_directories(folder);
    std::string body(site.configBytes, 'x');
    for (std::size_t i = 0; i < site.phones; ++i) {
        std::snprintf(body.data(), std::min<std::size_t>(64, body.size()), "<config phone=\"%zu\">",
                      i);
        std::ofstream(folder / configName(i), std::ios::binary) << body;
    }
    std::ofstream(folder / kCommonFile, std::ios::binary) << std::string(site.commonBytes, 'c');
    std::ofstream(folder / kFirmwareFile, std::ios::binary) << std::string(site.firmwareBytes, 'f');
}

std::vector<Phone> sitePhones(const SiteFiles& site, std::size_t first, std::size_t count,
                              unsigned block, unsigned addresses, bool allThree) {
    std::vector<Phone> phones;
    phones.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
        Phone phone{loopbackSource(block, static_cast<unsigned>(i % addresses)),
                    {{"/prov/" + configName(i % site.phones), site.configBytes}}};
        if (allThree) {
            phone.fetches.push_back({std::string("/prov/") + kCommonFile, site.commonBytes});
            phone.fetches.push_back({std::string("/prov/") + kFirmwareFile, site.firmwareBytes});
        }
        phones.push_back(std::move(phone));
    }
    return phones;
}

}  // namespace velquor::bench
