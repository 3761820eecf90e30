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

// A value in A1 and one in XFD1048576, the last cell a sheet has: a file of about a kilobyte
// whose used range is the whole sheet. first and last are the two texts.
Parts sparseWorkbook(const std::string& first = "first", const std::string& last = "last");

// rows x columns numbers, all shown through one number format (General when empty): a file
// that takes the reader a while, for stopping it part-way. Row 1 holds texts (a header).
Parts largeWorkbook(int rows, int columns, const std::string& formatCode = "");
// Rows of largeWorkbook(rows, 20) that keep the reader busy for most of a second even on a
// fast machine, so that a Ctrl-C sent after a moment lands while the sheet is being read.
inline constexpr int kRowsSlowToRead = 150000;

// Writes the parts as a deflated zip.
void writeZip(const std::filesystem::path& path, const Parts& parts);

// Writes a zip and then rewrites bytes in it (the same length), to forge headers.
void patchFile(const std::filesystem::path& path, const std::string& from, const std::string& to);

// Rewrites the uncompressed size a member declares, in its local and central headers.
void forgeDeclaredSize(const std::filesystem::path& path, const std::string& member,
                       std::uint32_t size);

}  // namespace velquor::sheet::testing
