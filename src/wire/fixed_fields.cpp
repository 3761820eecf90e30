// Writing and reading the fixed-width text fields of the Kesto records.
#include "wire/fixed_fields.h"

#include <algorithm>
#include <cstring>

#include "wire/wire_records.h"

namespace velquor::wire {

using support::ErrorCode;
using support::makeError;
using support::Result;
using support::Status;

Status writeField(char* field, std::size_t width, std::string_view text, std::string_view name) {
    if (text.size() > width) {
        return makeError(ErrorCode::InvalidInput, std::string(name) + " is " +
                                                      std::to_string(text.size()) +
                                                      " bytes long; its field holds at most " +
                                                      std::to_string(width) + " bytes");
    }
    if (text.find('\0') != std::string_view::npos) {
        return makeError(ErrorCode::InvalidInput,
                         std::string(name) + " contains a zero byte, which its " +
                             std::to_string(width) + "-byte field cannot carry");
    }
    std::memcpy(field, text.data(), text.size());
    return {};
}

Result<std::string> readField(std::string_view record, std::size_t offset, std::size_t width,
                              std::string_view name) {
    const std::string_view field = record.substr(offset, width);
    const std::string_view text = fieldText(field.data(), width);
    const std::string_view padding = field.substr(text.size());
    if (std::any_of(padding.begin(), padding.end(), [](char c) { return c != '\0'; })) {
        return makeError(ErrorCode::InvalidInput,
                         std::string(name) + " field (bytes " + std::to_string(offset) + " to " +
                             std::to_string(offset + width - 1) +
                             ") has non-zero bytes after its terminating zero");
    }
    return std::string(text);
}

}  // namespace velquor::wire
