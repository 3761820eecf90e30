// The phones' port's requests and answers; see phone_request.h.
#include "server/requests/phone_request.h"

#include <algorithm>

#include "mac/mac_address.h"
#include "wire/server_text.h"

namespace velquor::server {

namespace {

constexpr std::string_view kPhonePath = "/phone/";
// One body for every 404, whatever the reason: a stranger learns nothing from it.
constexpr std::string_view kNotFoundBody = "no configuration for this phone\n";

// A Server text a Location header can carry: printable ASCII, no space.
bool fitsLocation(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 405:
            return "Method Not Allowed";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Not Found";
    }
}

std::string bodyOf(const PhoneOutcome& outcome) {
    switch (outcome.status) {
        case 302:
            return outcome.location + "\n";
        case 404:
            return std::string(kNotFoundBody);
        case 503:
            return "try again later\n";
        default:
            return std::string(reasonPhrase(outcome.status)) + "\n";
    }
}

PhoneOutcome refused(int status, std::string why, std::string mac = {}) {
    PhoneOutcome outcome;
    outcome.status = status;
    outcome.mac = std::move(mac);
    outcome.detail = why;
    outcome.tallied = std::move(why);
    return outcome;
}

// Whether the proof lets its client ask about mac; the refusal's reason when not.
std::string certificateRefusal(const PhoneProof& proof, const std::string& mac) {
    if (!proof.certificate) return "no certificate";
    if (!proof.valid) return "certificate refused: " + proof.problem;
    if (std::find(proof.macs.begin(), proof.macs.end(), mac) != proof.macs.end()) return {};
    if (proof.macs.empty()) return "certificate names no MAC";
    return "certificate names another MAC";
}

}  // namespace

std::size_t phoneRequestHeadLength(std::string_view received) {
    const std::size_t end = received.find("\r\n\r\n");
    if (end != std::string_view::npos) return end + 4;
    const std::size_t bare = received.find("\n\n");
    return bare == std::string_view::npos ? 0 : bare + 2;
}

PhoneRequest parsePhoneRequest(std::string_view head) {
    PhoneRequest request;
    const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
    const std::size_t space = line.find(' ');
    const std::size_t secondSpace =
        space == std::string_view::npos ? space : line.find(' ', space + 1);
    if (secondSpace == std::string_view::npos || line.find(' ', secondSpace + 1) != line.npos ||
        line.substr(secondSpace + 1).rfind("HTTP/1.", 0) != 0) {
        return request;
    }
    request.wellFormed = true;
    request.method = std::string(line.substr(0, space));
    request.path = std::string(line.substr(space + 1, secondSpace - space - 1));
    std::string_view path = request.path;
    path = path.substr(0, path.find_first_of("?#"));
    if (path.rfind(kPhonePath, 0) == 0) {
        std::string_view written = path.substr(kPhonePath.size());
        if (!written.empty() && written.back() == '/') written.remove_suffix(1);
        if (written.find('/') == std::string_view::npos) {
            request.mac = mac::canonicalMac(written).value_or("");
        }
    }
    return request;
}

PhoneOutcome answerPhone(const PhoneRequest& request, const PhoneProof& proof, AccountStore& store,
                         AskRecorder& asks, std::string_view peer) {
    if (!request.wellFormed) return refused(400, "malformed request");
    if (request.mac.empty()) return refused(404, "no such path");
    if (request.method != "GET" && request.method != "HEAD") {
        return refused(405, "method not allowed", request.mac);
    }
    if (auto refusal = certificateRefusal(proof, request.mac); !refusal.empty()) {
        return refused(403, std::move(refusal), request.mac);
    }
    PhoneOutcome outcome;
    outcome.mac = request.mac;
    auto device = store.findDevice(request.mac);
    if (!device) {
        outcome.status = 503;
        outcome.detail = "cannot read the registration: " + device.error().message;
        return outcome;
    }
    if (!*device) {
        outcome.detail = "not registered";
    } else if ((*device)->server.empty()) {
        outcome.detail = "registered without a Server text";
    } else if (!fitsLocation((*device)->server)) {
        outcome.detail =
            "the Server text cannot be a Location: " + wire::maskedServerText((*device)->server);
    } else {
        outcome.status = 302;
        outcome.location = (*device)->server;
        outcome.detail = "to " + wire::maskedServerText(outcome.location);
    }
    const auto answer = outcome.status == 302 ? kAnswerRedirected : kAnswerNotFound;
    asks.record(MacAsk{request.mac, PhoneAsk{askTime(std::chrono::system_clock::now()),
                                             std::string(peer), std::string(answer)}});
    return outcome;
}

std::string phoneResponse(const PhoneOutcome& outcome, bool head) {
    const std::string body = bodyOf(outcome);
    std::string response = "HTTP/1.1 " + std::to_string(outcome.status) + " " +
                           std::string(reasonPhrase(outcome.status)) + "\r\n";
    if (outcome.status == 302) response += "Location: " + outcome.location + "\r\n";
    response += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                std::to_string(body.size()) +
                "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (!head) response += body;
    return response;
}

}  // namespace velquor::server
