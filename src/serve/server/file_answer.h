// Sending an answer: a short text (404, 403, 405) or a phone's file, with its content type.
#pragma once

#include <microhttpd.h>

#include <cstdint>
#include <string_view>

#include "serve/folder/phone_folder.h"

namespace velquor::serve {

// Queues a short text answer; bodyBytes is set to its length. With closeAfter, the connection
// ends after it.
MHD_Result queueText(MHD_Connection* connection, unsigned status, const char* text,
                     std::uint64_t& bodyBytes, bool closeAfter = false);

// A phone's file, which the response then owns. One the size of a configuration is read
// whole and sent with its header in one write, as one segment; a larger one is sent from the
// file. Nothing when the file could not be read (it is closed then).
MHD_Response* fileResponse(const OpenedFile& file);

// Whether a file of this size goes out from memory with its header in one write (a phone's
// configuration): such an answer reaches the client whole or not at all.
bool sentWithItsHeader(std::uint64_t size);

// The Content-Type of a file by its name's extension.
const char* contentType(std::string_view name);

}  // namespace velquor::serve
