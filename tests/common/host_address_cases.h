// The one table of server addresses that the client's settings, the client's connection and
// kestod's own --address are all held to: what each text is taken as, or that it is refused.
#pragma once

#include <string>
#include <vector>

namespace velquor::testing {

struct HostAddressCase {
    std::string text;
    std::string address;  // as connected to and bound; empty: refused
    bool ip = false;
    std::string certified;  // as the certificate names it (a name without its final dot)
};

inline std::string label(char letter, std::size_t length) {
    return std::string(length, letter);
}

inline const std::vector<HostAddressCase>& hostAddressCases() {
    // 63 + 1 + 63 + 1 + 63 + 1 + 61 = 253 characters, the most a name may have.
    static const std::string longest =
        label('a', 63) + "." + label('b', 63) + "." + label('c', 63) + "." + label('d', 61);
    static const std::vector<HostAddressCase> cases = {
        {"kesto.example.com", "kesto.example.com", false, "kesto.example.com"},
        {"localhost", "localhost", false, "localhost"},
        {"Kesto-1.Example", "Kesto-1.Example", false, "Kesto-1.Example"},
        {"xn--bcher-kva.example", "xn--bcher-kva.example", false, "xn--bcher-kva.example"},
        {"kesto.example.com.", "kesto.example.com.", false, "kesto.example.com"},
        {longest, longest, false, longest},
        {longest + ".", longest + ".", false, longest},
        {label('a', 63) + ".lan", label('a', 63) + ".lan", false, label('a', 63) + ".lan"},
        {"10.0.0.1", "10.0.0.1", true, "10.0.0.1"},
        {"::1", "::1", true, "::1"},
        {"[::1]", "::1", true, "::1"},
        {"[fd00::1]", "fd00::1", true, "fd00::1"},
        {"fe80::1:2", "fe80::1:2", true, "fe80::1:2"},
        {longest + "d", "", false, ""},  // 254 characters
        {label('a', 64) + ".lan", "", false, ""},
        {"", "", false, ""},
        {"a b", "", false, ""},
        {"-a.example", "", false, ""},
        {"a-.example", "", false, ""},
        {"a..b", "", false, ""},
        {".kesto", "", false, ""},
        {"kesto..", "", false, ""},
        {"1.2.3", "", false, ""},
        {"1.2.3.400", "", false, ""},
        {"x_y.example", "", false, ""},
        {"*.example.com", "", false, ""},
        {"http://a", "", false, ""},
        {"a:80", "", false, ""},
        {"[10.0.0.1]", "", false, ""},
        {"[kesto.lan]", "", false, ""},
        {"[::1", "", false, ""},
    };
    return cases;
}

}  // namespace velquor::testing
