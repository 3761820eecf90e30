// The one table of server addresses that the client's settings, the client's connection,
// kestod's own --address and velquor-cli serve --address are all held to: what each text is
// taken as, or that it is refused; and the one table of address ranges that --allow and
// 'kestod users trust' are held to.
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

struct AddressRangeCase {
    std::string text;
    std::string range;    // in its usual form; empty: refused
    std::string inside;   // an address the range holds
    std::string outside;  // one it does not hold; empty for a range that holds every address
};

inline const std::vector<AddressRangeCase>& addressRangeCases() {
    static const std::vector<AddressRangeCase> cases = {
        {"192.0.2.77/24", "192.0.2.0/24", "192.0.2.1", "192.0.3.1"},
        {"192.0.2.7", "192.0.2.7/32", "::ffff:192.0.2.7", "192.0.2.8"},
        {"10.0.0.0/8", "10.0.0.0/8", "10.255.255.255", "11.0.0.0"},
        {"0.0.0.0/0", "0.0.0.0/0", "203.0.113.9", "2001:db8::1"},
        {"192.0.2.128/25", "192.0.2.128/25", "192.0.2.255", "192.0.2.127"},
        {"::ffff:192.0.2.0/120", "192.0.2.0/24", "192.0.2.200", "192.0.3.1"},
        {"2001:db8:1::/48", "2001:db8:1::/48", "2001:db8:1:ffff::1", "2001:db8:2::1"},
        {"2001:db8:1:2::/64", "2001:db8:1:2::/64", "2001:db8:1:2:ffff:ffff:ffff:ffff",
         "2001:db8:1:3::"},
        {"fd00::/8", "fd00::/8", "fdff::1", "fe00::1"},
        {"[fd00::1]", "fd00::1/128", "fd00::1", "fd00::2"},
        {"[2001:db8::]/32", "2001:db8::/32", "2001:db8:ffff::1", "2001:db9::1"},
        {"::1", "::1/128", "::1", "127.0.0.1"},
        {"::/0", "::/0", "2001:db8::1", ""},
        {"", "", "", ""},
        {"192.0.2.7/33", "", "", ""},
        {"192.0.2.7/", "", "", ""},
        {"192.0.2.7/x", "", "", ""},
        {"192.0.2.7/-1", "", "", ""},
        {"192.0.2.7/+8", "", "", ""},
        {"10.0.0.0/8x", "", "", ""},
        {"192.0.2.0/24/8", "", "", ""},
        {"192.0.2/24", "", "", ""},
        {"2001:db8::/129", "", "", ""},
        {"::ffff:192.0.2.0/129", "", "", ""},
        {"[10.0.0.0]/8", "", "", ""},
        {"[fd00::/8]", "", "", ""},
        {"host.example", "", "", ""},
        {"localhost/8", "", "", ""},
        {"fe80::1%lo", "", "", ""},
        {"192.0.2.0 /24", "", "", ""},
    };
    return cases;
}

}  // namespace velquor::testing
