// Fuzz target for the server's decoding of request records: whatever arrives on a port,
// decoding must not crash, must yield texts that fit their fields, and a record it accepts
// must be exactly what the client's builder makes of the decoded texts (nothing the server
// acts on can differ from what a well-behaved client would have sent).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/wire_records.h"

namespace {

namespace wire = velquor::wire;

void require(bool condition) {
    if (!condition) std::abort();
}

bool fits(const std::string& text, std::size_t width) {
    return text.size() <= width && text.find('\0') == std::string::npos;
}

void checkLogin(std::string_view record) {
    auto fields = wire::decodeLoginRequest(record);
    if (!fields) return;
    require(fits(fields->userName, wire::kTextFieldWidth));
    require(fits(fields->password, wire::kTextFieldWidth));
    auto rebuilt = wire::buildLoginRequest(*fields);
    require(rebuilt.ok() && wire::recordBytes(rebuilt.value()) == record);
}

void checkAccount(std::string_view record) {
    auto fields = wire::decodeAccountRequest(record);
    if (!fields) return;
    require(fits(fields->operation, wire::kTextFieldWidth));
    require(fits(fields->userName, wire::kTextFieldWidth));
    require(fits(fields->password, wire::kTextFieldWidth));
    auto rebuilt = wire::buildAccountRequest(*fields);
    require(rebuilt.ok() && wire::recordBytes(rebuilt.value()) == record);
}

void checkDevice(std::string_view record) {
    auto fields = wire::decodeDeviceRequest(record);
    if (!fields) return;
    require(fits(fields->operation, wire::kTextFieldWidth));
    require(fits(fields->macAddress, wire::kTextFieldWidth));
    require(fits(fields->server, wire::kServerFieldWidth));
    require(fits(fields->userName, wire::kTextFieldWidth));
    auto rebuilt = wire::buildDeviceRequest(*fields);
    require(rebuilt.ok() && wire::recordBytes(rebuilt.value()) == record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view record(reinterpret_cast<const char*>(data), size);
    checkLogin(record);
    checkAccount(record);
    checkDevice(record);
    return 0;
}
