// Fuzz target: any bytes as a template. Loading must fail cleanly or give a template whose
// saved form, with a row of awkward values spliced in, is exactly what serialising the
// edited tree gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "generator/template/config_template.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using velquor::generator::ConfigTemplate;
    using velquor::generator::DeviceRow;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto loaded = ConfigTemplate::loadTemplateFromMemory(bytes, "fuzz.xml");
    if (!loaded) return 0;
    static const DeviceRow rows[] = {
        {2, {"m", "R&D <x> \"q\" 'a'", "", "line\r\nbreak", "]]>", "张三", "5060"}},
        {3, {"m", "", "x", "", "", "", ""}},
    };
    for (const DeviceRow& row : rows) {
        if (!loaded->ApplyDeviceRow(row)) continue;
        auto saved = loaded->serializeDocument();
        auto tree = loaded->serializeTree();
        if (saved.ok() != tree.ok() || (saved.ok() && *saved != *tree)) {
            std::fprintf(stderr, "the spliced form differs from the tree's serialisation\n");
            std::abort();
        }
    }
    return 0;
}
