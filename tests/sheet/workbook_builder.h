// Test helpers that write workbooks part by part, so that hostile and broken variants of a
// sound workbook can be made in a few lines.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace velquor::sheet::testing {

using Parts = std::map<std::string, std::string>;

// A sound one-sheet workbook: the given sheetData content, shared strings and number formats.
Parts minimalWorkbook(const std::string& sheetData, const std::string& sharedStrings = "",
                      const std::string& styles = "");

// Writes the parts as a deflated zip.
void writeZip(const std::filesystem::path& path, const Parts& parts);

// Writes a zip and then rewrites bytes in it (the same length), to forge headers.
void patchFile(const std::filesystem::path& path, const std::string& from, const std::string& to);

// Rewrites the uncompressed size a member declares, in its local and central headers.
void forgeDeclaredSize(const std::filesystem::path& path, const std::string& member,
                       std::uint32_t size);

}  // namespace velquor::sheet::testing
