// The TFTP packets as bytes; see tftp_packet.h.
#include "serve/tftp/tftp_packet.h"

#include <algorithm>
#include <charconv>

namespace velquor::serve::tftp {

namespace {

std::uint16_t readNumber16(std::string_view packet, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(packet[at]) << 8) |
                                      static_cast<unsigned char>(packet[at + 1]));
}

void appendNumber16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>((value >> 8) & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return lower;
}

// The NUL-terminated strings of a request after its opcode; nothing when the last is not
// terminated.
std::optional<std::vector<std::string_view>> terminatedStrings(std::string_view body) {
    std::vector<std::string_view> strings;
    while (!body.empty()) {
        const std::size_t end = body.find('\0');
        if (end == std::string_view::npos) return std::nullopt;
        strings.push_back(body.substr(0, end));
        body.remove_prefix(end + 1);
    }
    return strings;
}

Refusal malformed(std::string message) {
    return Refusal{ErrorCode::IllegalOperation, std::move(message)};
}

Refusal refusedOption(const Option& option, std::string_view why) {
    return Refusal{ErrorCode::OptionRefused,
                   "option " + option.name + " " + option.value + ": " + std::string(why)};
}

// A decimal number of at most 10 digits, nothing else.
std::optional<std::uint64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// One option's value within [least, most] (else refused), lowered to cap.
std::variant<unsigned, Refusal> boundedValue(const Option& option, std::uint64_t least,
                                             std::uint64_t most, unsigned cap) {
    const std::optional<std::uint64_t> value = decimal(option.value);
    if (!value) return refusedOption(option, "not a number");
    if (*value < least || *value > most)
        return refusedOption(option,
                             "outside " + std::to_string(least) + " to " + std::to_string(most));
    return static_cast<unsigned>(std::min<std::uint64_t>(*value, cap));
}

}  // namespace

std::variant<Request, Refusal> parseRequest(std::string_view packet) {
    if (packet.size() < 2) return malformed("truncated packet");
    const std::uint16_t opcode = readNumber16(packet, 0);
    if (opcode != static_cast<std::uint16_t>(Opcode::ReadRequest) &&
        opcode != static_cast<std::uint16_t>(Opcode::WriteRequest))
        return malformed("expected a read request, got opcode " + std::to_string(opcode));
    const auto strings = terminatedStrings(packet.substr(2));
    if (!strings || strings->size() < 2) return malformed("truncated request");
    if (strings->size() % 2 != 0) return malformed("an option without its value");
    Request request;
    request.opcode = static_cast<Opcode>(opcode);
    request.file = std::string((*strings)[0]);
    if (request.file.empty()) return malformed("no file name");
    const std::string mode = lowerCase((*strings)[1]);
    if (mode == "netascii") {
        request.mode = Mode::Netascii;
    } else if (mode != "octet") {
        return malformed("mode " + std::string((*strings)[1]).substr(0, 32) +
                         " is not served (octet, netascii)");
    }
    for (std::size_t at = 2; at < strings->size(); at += 2)
        request.options.push_back(
            Option{lowerCase((*strings)[at]), std::string((*strings)[at + 1])});
    return request;
}

std::optional<std::uint16_t> parseAck(std::string_view packet) {
    if (packet.size() != 4 || readNumber16(packet, 0) != static_cast<std::uint16_t>(Opcode::Ack))
        return std::nullopt;
    return readNumber16(packet, 2);
}

bool isError(std::string_view packet) {
    return packet.size() >= 4 &&
           readNumber16(packet, 0) == static_cast<std::uint16_t>(Opcode::Error);
}

std::variant<Negotiated, Refusal> negotiate(const std::vector<Option>& options, Mode mode,
                                            std::uint64_t fileSize, const OptionBounds& bounds) {
    Negotiated settled;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const Option& option = options[i];
        for (std::size_t j = 0; j < i; ++j)
            if (options[j].name == option.name) return refusedOption(option, "asked twice");
        std::variant<unsigned, Refusal> value = 0u;
        if (option.name == "blksize") {
            value = boundedValue(
                option, kSmallestBlockSize, kLargestBlockSize,
                std::clamp(bounds.blockSizeMax, kSmallestBlockSize, kLargestBlockSize));
            if (const unsigned* size = std::get_if<unsigned>(&value)) settled.blockSize = *size;
        } else if (option.name == "windowsize") {
            value = boundedValue(option, 1, 65535, std::max(1u, bounds.windowMax));
            if (const unsigned* window = std::get_if<unsigned>(&value)) settled.window = *window;
        } else if (option.name == "timeout") {
            value = boundedValue(option, 1, 255, 255);
            if (const unsigned* seconds = std::get_if<unsigned>(&value))
                settled.timeoutSeconds = *seconds;
        } else if (option.name == "tsize") {
            if (!decimal(option.value)) return refusedOption(option, "not a number");
            if (mode != Mode::Octet) continue;
            settled.acknowledged.push_back(Option{option.name, std::to_string(fileSize)});
            continue;
        } else {
            continue;  // an option the server does not know is left out of its answer
        }
        if (Refusal* refusal = std::get_if<Refusal>(&value)) return std::move(*refusal);
        settled.acknowledged.push_back(
            Option{option.name, std::to_string(std::get<unsigned>(value))});
    }
    return settled;
}

std::string errorPacket(ErrorCode code, std::string_view message) {
    std::string packet;
    packet.reserve(5 + message.size());
    appendNumber16(packet, static_cast<unsigned>(Opcode::Error));
    appendNumber16(packet, static_cast<unsigned>(code));
    // The text is NUL-terminated: a NUL inside it would end it early.
    packet.append(message.substr(0, std::min(message.find('\0'), std::size_t{200})));
    packet.push_back('\0');
    return packet;
}

std::string optionAckPacket(const std::vector<Option>& options) {
    std::string packet;
    appendNumber16(packet, static_cast<unsigned>(Opcode::OptionAck));
    for (const Option& option : options) {
        packet.append(option.name);
        packet.push_back('\0');
        packet.append(option.value);
        packet.push_back('\0');
    }
    return packet;
}

void writeDataHeader(char* out, std::uint64_t block) {
    out[0] = 0;
    out[1] = static_cast<char>(Opcode::Data);
    out[2] = static_cast<char>((block >> 8) & 0xff);
    out[3] = static_cast<char>(block & 0xff);
}

void appendNetascii(std::string_view text, std::string& out) {
    for (const char c : text) {
        if (c == '\n') {
            out.push_back('\r');
            out.push_back('\n');
        } else if (c == '\r') {
            out.push_back('\r');
            out.push_back('\0');
        } else {
            out.push_back(c);
        }
    }
}

}  // namespace velquor::serve::tftp
