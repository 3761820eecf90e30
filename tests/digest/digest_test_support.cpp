// The restartable unit drivers and helpers of digest_test_support.h.
#include "digest_test_support.h"

#include "digest/crc32.h"
#include "digest/gost94.h"
#include "digest/md2.h"
#include "digest/md4.h"
#include "digest/md5.h"
#include "digest/sha1.h"
#include "digest/sha2.h"

namespace velquor::digest::testing {

namespace {

std::string bytesOf(const std::uint8_t* data, std::size_t count) {
    return std::string(reinterpret_cast<const char*>(data), count);
}

class Crc32Driver final : public UnitDriver {
public:
    void start() override { m_register = CCrc32Static::kCrc32Preset; }
    void add(const void* data, std::uint32_t count) override {
        m_register = CCrc32Static::Update(m_register, data, count);
    }
    std::string finish() override {
        const std::uint32_t value = CCrc32Static::Finish(m_register);
        const std::uint8_t out[4] = {
            static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        return bytesOf(out, 4);
    }

private:
    std::uint32_t m_register = 0;
};

class GostDriver final : public UnitDriver {
public:
    explicit GostDriver(GostParameterSet set) : m_set(set) {}
    void start() override { m_state.start(m_set); }
    void add(const void* data, std::uint32_t count) override { m_state.add(data, count); }
    std::string finish() override {
        std::uint8_t out[32];
        m_state.finish(out);
        return bytesOf(out, 32);
    }

private:
    GostParameterSet m_set;
    GostHashState m_state{};
};

class Md2Driver final : public UnitDriver {
public:
    void start() override { m_state.Init(); }
    void add(const void* data, std::uint32_t count) override { m_state.Update(data, count); }
    std::string finish() override {
        std::uint8_t out[16];
        m_state.Final(out, 16);
        return bytesOf(out, 16);
    }

private:
    CMD2 m_state;
};

class Md4Driver final : public UnitDriver {
public:
    void start() override { m_state.start(); }
    void add(const void* data, std::uint32_t count) override { m_state.add(data, count); }
    std::string finish() override {
        std::uint8_t out[16];
        m_state.finish(out);
        return bytesOf(out, 16);
    }

private:
    Md4State m_state{};
};

class Md5Driver final : public UnitDriver {
public:
    void start() override { m_state.start(); }
    void add(const void* data, std::uint32_t count) override { m_state.add(data, count); }
    std::string finish() override {
        m_state.finish();
        return bytesOf(m_state.digest, 16);
    }

private:
    Md5State m_state{};
};

class Sha1Driver final : public UnitDriver {
public:
    void start() override { m_state.start(); }
    void add(const void* data, std::uint32_t count) override { m_state.add(data, count); }
    std::string finish() override {
        std::uint8_t out[20];
        m_state.finish(out);
        return bytesOf(out, 20);
    }

private:
    Sha1State m_state{};
};

class Sha2Driver final : public UnitDriver {
public:
    explicit Sha2Driver(int bits) : m_bits(bits) {}
    void start() override { (void)m_state.start(m_bits); }
    void add(const void* data, std::uint32_t count) override { m_state.add(data, count); }
    std::string finish() override {
        std::uint8_t out[64];
        m_state.finish(out);
        return bytesOf(out, m_state.digestLength);
    }

private:
    int m_bits;
    Sha2State m_state{};
};

}  // namespace

std::unique_ptr<UnitDriver> makeDriver(std::string_view algorithm) {
    if (algorithm == "crc32") return std::make_unique<Crc32Driver>();
    if (algorithm == "gost94") return std::make_unique<GostDriver>(GostParameterSet::Test);
    if (algorithm == "gost94-cryptopro") {
        return std::make_unique<GostDriver>(GostParameterSet::CryptoPro);
    }
    if (algorithm == "md2") return std::make_unique<Md2Driver>();
    if (algorithm == "md4") return std::make_unique<Md4Driver>();
    if (algorithm == "md5") return std::make_unique<Md5Driver>();
    if (algorithm == "sha1") return std::make_unique<Sha1Driver>();
    if (algorithm == "sha256") return std::make_unique<Sha2Driver>(256);
    if (algorithm == "sha384") return std::make_unique<Sha2Driver>(384);
    if (algorithm == "sha512") return std::make_unique<Sha2Driver>(512);
    return nullptr;
}

std::vector<std::string> allAlgorithms() {
    return {"crc32", "gost94", "gost94-cryptopro", "md2",    "md4",
            "md5",   "sha1",   "sha256",           "sha384", "sha512"};
}

std::string toHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

std::vector<AccelerationMode> accelerationModes() {
    std::vector<AccelerationMode> modes{{"portable", false}};
    const Acceleration available = availableAcceleration();
    if (available.sha || available.crc32 || available.sha512)
        modes.push_back({"accelerated", true});
    return modes;
}

}  // namespace velquor::digest::testing
