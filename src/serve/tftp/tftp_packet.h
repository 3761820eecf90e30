// The TFTP packets the phone server reads and writes, as pure functions over bytes: the
// request of RFC 1350 with the options of RFC 2347, the acknowledgement, the data block, the
// error and the option acknowledgement; the negotiation of blksize (RFC 2348), timeout and
// tsize (RFC 2349) and windowsize (RFC 7440) within the server's bounds; and netascii, the
// text form some clients ask for (a line end sent as CR LF, a lone CR as CR NUL).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velquor::serve::tftp {

enum class Opcode : std::uint16_t {
    ReadRequest = 1,
    WriteRequest = 2,
    Data = 3,
    Ack = 4,
    Error = 5,
    OptionAck = 6,
};

// The error codes of RFC 1350 and RFC 2347.
enum class ErrorCode : std::uint16_t {
    NotDefined = 0,
    FileNotFound = 1,
    AccessViolation = 2,
    IllegalOperation = 4,
    UnknownTransfer = 5,
    OptionRefused = 8,
};

enum class Mode { Octet, Netascii };

// The block size of a request without options, and the bounds RFC 2348 gives the option.
inline constexpr unsigned kDefaultBlockSize = 512;
inline constexpr unsigned kSmallestBlockSize = 8;
inline constexpr unsigned kLargestBlockSize = 65464;
// The largest block that fits an Ethernet frame unfragmented over IPv4 (1500 bytes less the IP,
// UDP and TFTP headers): the default cap of the blksize option.
inline constexpr unsigned kUnfragmentedBlockSize = 1468;
// How many blocks a window may hold: a client asking more gets this many (RFC 7440 lets the
// server lower it), so that one lost acknowledgement never sends more again than this.
inline constexpr unsigned kLargestWindow = 64;
// The header of a data packet: its opcode and block number.
inline constexpr std::size_t kDataHeaderBytes = 4;

struct Option {
    std::string name;  // lower case, as compared
    std::string value;
};

struct Request {
    Opcode opcode = Opcode::ReadRequest;  // a read or a write request
    std::string file;
    Mode mode = Mode::Octet;
    std::vector<Option> options;  // as asked, in order
};

// Why a packet is refused, and the error packet's code and text saying so.
struct Refusal {
    ErrorCode code = ErrorCode::NotDefined;
    std::string message;
};

// The first packet of a transfer (sent to the listening port): a read or write request with
// its file, mode and options, or the refusal of anything else (a truncated packet, another
// opcode, an unknown mode, an option without its value).
std::variant<Request, Refusal> parseRequest(std::string_view packet);

// The block number an acknowledgement carries, or nothing for any other packet.
std::optional<std::uint16_t> parseAck(std::string_view packet);
// Whether the packet is an error packet (a client ending the transfer).
bool isError(std::string_view packet);

// The bounds within which the server takes options.
struct OptionBounds {
    unsigned blockSizeMax = kUnfragmentedBlockSize;
    unsigned windowMax = kLargestWindow;
};

// What a transfer's options settled: its block size, window, the retransmission time a client
// asked for (0: the server's own) and the option acknowledgement to send (empty: none, the
// data goes out at once).
struct Negotiated {
    unsigned blockSize = kDefaultBlockSize;
    unsigned window = 1;
    unsigned timeoutSeconds = 0;
    std::vector<Option> acknowledged;
};

// The options of a read request taken within bounds: blksize lowered to the cap, windowsize to
// the largest window, tsize answered with the file's size (octet mode only: a netascii file's
// size on the wire is not known before it is sent), options the server does not know left
// out; a value that is no number or lies outside what its RFC allows is refused
// (OptionRefused), as is an option asked twice.
std::variant<Negotiated, Refusal> negotiate(const std::vector<Option>& options, Mode mode,
                                            std::uint64_t fileSize, const OptionBounds& bounds);

// The packets the server sends.
std::string errorPacket(ErrorCode code, std::string_view message);
std::string optionAckPacket(const std::vector<Option>& options);
// A data packet's header, written at out (kDataHeaderBytes), the block number taken modulo
// 65536: past block 65535 the numbers roll over to 0.
void writeDataHeader(char* out, std::uint64_t block);

// Appends text in netascii to out: LF becomes CR LF, CR becomes CR NUL, every other byte stays.
void appendNetascii(std::string_view text, std::string& out);

}  // namespace velquor::serve::tftp
