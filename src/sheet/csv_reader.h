// Reading delimited text (.csv/.txt) into SheetData: UTF-8 (or UTF-16 with a byte-order
// mark), quoted fields, and the separator detected among comma, semicolon and tab.
#pragma once

#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "sheet/sheet_data.h"
#include "support/input_file.h"
#include "support/result.h"

namespace velquor::sheet {

// Picks the separator that splits the first lines most consistently (quotes respected).
char detectSeparator(std::string_view text);

// Fills data with every non-empty field. Errors say what is wrong and where, without the path;
// a quote that opens a field and never closes is one of them, since it would swallow every
// line after it. A stop request ends the reading with a Cancelled error.
support::Status readDelimitedText(std::string_view bytes, SheetData& data,
                                  std::stop_token stop = {});

// The same from a file read a piece at a time, each piece's whole records handed on before the
// next is read: with data streaming its rows, a file of any length costs a piece of it.
support::Status readDelimitedFile(support::InputFile& file, SheetData& data,
                                  std::stop_token stop = {});

// readDelimitedText side by side: the text is cut at record ends into at most data.size()
// parts of about equal length, the k-th read into *data[k] on a thread of its own (the first
// on the caller's). Each data streams its rows (SheetData::streamRows): every row of a part
// comes after those of the part before, and each part's last row is handed on at its end.
// Returns each part's outcome, in order; one error alone when the text cannot be decoded.
std::vector<support::Status> readDelimitedTextInParts(std::string_view bytes,
                                                      std::span<SheetData* const> data,
                                                      std::stop_token stop = {});

}  // namespace velquor::sheet
