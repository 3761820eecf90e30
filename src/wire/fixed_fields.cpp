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
        //: %1 names the field ("the user name"), %2 and %3 are byte counts
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core", "%1 is %2 bytes long; its field holds at most %3 bytes"),
                {std::string(name), std::to_string(text.size()), std::to_string(width)},
                support::markedArgument(1)});
    }
    if (text.find('\0') != std::string_view::npos) {
        //: %1 names the field ("the user name"), %2 is its width in bytes
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core",
                                "%1 contains a zero byte, which its %2-byte field cannot "
                                "carry"),
                {std::string(name), std::to_string(width)},
                support::markedArgument(1)});
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
        //: %1 names the field ("state"), %2 and %3 are byte offsets
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{
                VELQUOR_TR_NOOP("core",
                                "%1 field (bytes %2 to %3) has non-zero bytes after "
                                "its terminating zero"),
                {std::string(name), std::to_string(offset), std::to_string(offset + width - 1)},
                support::markedArgument(1)});
    }
    return std::string(text);
}

}  // namespace velquor::wire
