// Sending an answer; see file_answer.h.
#include "serve/server/file_answer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velquor::serve {

namespace {

// Files up to this size are sent from memory together with their header. It is small enough
// for the socket's send buffer to take the whole answer at once, so a client that stops
// reading holds no copy of its file in this process; a larger file is sent from the file.
constexpr std::uint64_t kSentWithHeaderBytes = 16 * 1024;

void freeBody(void* body) {
    std::free(body);
}

}  // namespace

MHD_Result queueText(MHD_Connection* connection, unsigned status, const char* text,
                     std::uint64_t& bodyBytes, bool closeAfter) {
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    if (closeAfter) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    bodyBytes = std::strlen(text);
    return queued;
}

MHD_Response* fileResponse(const OpenedFile& file) {
    if (sentWithItsHeader(file.size)) {
        char* body = static_cast<char*>(std::malloc(std::max<std::size_t>(file.size, 1)));
        std::size_t got = 0;
        while (body != nullptr && got < file.size) {
            const ssize_t n =
                ::pread(file.fd, body + got, file.size - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        ::close(file.fd);
        if (body == nullptr || got != file.size) {
            std::free(body);
            return nullptr;
        }
        MHD_Response* response =
            MHD_create_response_from_buffer_with_free_callback(got, body, &freeBody);
        if (response == nullptr) std::free(body);
        return response;
    }
    MHD_Response* response = MHD_create_response_from_fd64(file.size, file.fd);
    if (response == nullptr) ::close(file.fd);
    return response;
}

bool sentWithItsHeader(std::uint64_t size) {
    return size <= kSentWithHeaderBytes;
}

const char* contentType(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    std::string extension(dot == std::string_view::npos ? "" : name.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "xml") return "application/xml";
    if (extension == "cfg" || extension == "txt" || extension == "conf" || extension == "ini")
        return "text/plain";
    return "application/octet-stream";
}

}  // namespace velquor::serve
