// The restartable unit drivers (over the units' own DigestUnit) and helpers of
// digest_test_support.h.
#include "digest_test_support.h"

#include "digest/digest_unit.h"

namespace velquor::digest::testing {

namespace {

// A unit driven through its own verbs; start() is the unit's, so a refused parameter shows
// as a wrong digest rather than being hidden here.
template <typename Verbs>
class Driver final : public UnitDriver {
public:
    explicit Driver(typename Verbs::Parameter parameter = {}) : m_unit(parameter) {}
    void start() override { (void)m_unit.start(); }
    void add(const void* data, std::uint32_t count) override { m_unit.add(data, count); }
    std::string finish() override { return m_unit.finish(); }

private:
    DigestUnit<Verbs> m_unit;
};

}  // namespace

std::unique_ptr<UnitDriver> makeDriver(std::string_view algorithm) {
    if (algorithm == "crc32") return std::make_unique<Driver<Crc32Verbs>>();
    if (algorithm == "gost94") return std::make_unique<Driver<GostVerbs>>(GostParameterSet::Test);
    if (algorithm == "gost94-cryptopro") {
        return std::make_unique<Driver<GostVerbs>>(GostParameterSet::CryptoPro);
    }
    if (algorithm == "md2") return std::make_unique<Driver<Md2Verbs>>();
    if (algorithm == "md4") return std::make_unique<Driver<Md4Verbs>>();
    if (algorithm == "md5") return std::make_unique<Driver<Md5Verbs>>();
    if (algorithm == "sha1") return std::make_unique<Driver<Sha1Verbs>>();
    if (algorithm == "sha256") return std::make_unique<Driver<Sha2Verbs>>(256);
    if (algorithm == "sha384") return std::make_unique<Driver<Sha2Verbs>>(384);
    if (algorithm == "sha512") return std::make_unique<Driver<Sha2Verbs>>(512);
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
    if (available.sha || available.crc32 || available.sha512 || available.md5Lanes8 ||
        available.md5Lanes16)
        modes.push_back({"accelerated", true});
    return modes;
}

}  // namespace velquor::digest::testing
