// Helpers shared by the digest tests: every unit behind one restartable interface, the
// acceleration modes to run them in, and hex conversion.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "digest/acceleration.h"

namespace velquor::digest::testing {

// A digest unit driven through its own start/add/finish, the same object reused.
class UnitDriver {
public:
    virtual ~UnitDriver() = default;
    virtual void start() = 0;
    virtual void add(const void* data, std::uint32_t count) = 0;
    virtual std::string finish() = 0;  // digest bytes
};

// Algorithm names as in the vectors file: crc32 gost94 gost94-cryptopro md2 md4 md5 sha1
// sha256 sha384 sha512. nullptr for an unknown name.
std::unique_ptr<UnitDriver> makeDriver(std::string_view algorithm);
std::vector<std::string> allAlgorithms();

std::string toHex(std::string_view bytes);

// The acceleration modes worth running on this machine: portable always, accelerated when the
// processor offers something. Restores "all allowed" when destroyed.
struct AccelerationMode {
    const char* name;
    bool allowed;
};
std::vector<AccelerationMode> accelerationModes();

class ScopedAcceleration {
public:
    explicit ScopedAcceleration(bool allowed) { setAccelerationAllowed(allowed); }
    ~ScopedAcceleration() { setAccelerationAllowed(true); }
    ScopedAcceleration(const ScopedAcceleration&) = delete;
    ScopedAcceleration& operator=(const ScopedAcceleration&) = delete;
};

}  // namespace velquor::digest::testing
