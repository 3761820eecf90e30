// The phones' port: a phone fresh out of its box asks "GET /phone/{mac}" over HTTPS with the
// certificate its maker put in it, and is sent to the Server text its technician registered.
// Here: where a request's head ends, what it asks, the answer (302 to the Server text; 404
// alike for a MAC unknown, released or without a Server text; 403 for a certificate that
// does not name the MAC, or none), what the store remembers of it, and the HTTP text sent.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/store/account_store.h"
#include "server/store/ask_recorder.h"
#include "server/tls/phone_cas.h"

namespace velquor::server {

// The most a request's head may take; past it the request is refused (431).
inline constexpr std::size_t kMostPhoneRequestHead = 8192;

// The length of the request's head, up to and with its blank line; 0 while it has not come.
std::size_t phoneRequestHeadLength(std::string_view received);

struct PhoneRequest {
    std::string method;
    std::string path;  // as sent, for the log
    std::string mac;   // canonical, when the path is /phone/{mac} in any usual spelling
    bool wellFormed = false;
};

// The request line of a head; the headers are not needed.
PhoneRequest parsePhoneRequest(std::string_view head);

struct PhoneOutcome {
    int status = 404;
    std::string location;  // 302: the Server text
    std::string mac;
    std::string detail;   // for the log; a Server text in it without its password
    std::string tallied;  // a refusal a flood makes by the thousand: its reason
};

// The answer to a request whose client proved what proof says, over the store; a phone that
// proved its MAC has what it was told, from peer, handed to asks to be remembered.
PhoneOutcome answerPhone(const PhoneRequest& request, const PhoneProof& proof, AccountStore& store,
                         AskRecorder& asks, std::string_view peer);

// The whole HTTP response for an outcome: a small text body (the Server text for a 302, for
// phones that read the body), none for HEAD; the connection closes after it.
std::string phoneResponse(const PhoneOutcome& outcome, bool head);

}  // namespace velquor::server
