// One table of server addresses through the four places that take one: velquor-cli's
// settings, the client's connection (which looks up only what is an address), kestod init,
// whose certificate names each accepted address as a client will ask for it, and velquor-cli
// serve --address; and one table of address ranges through velquor-cli serve --allow and
// kestod users trust.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "host_address_cases.h"
#include "kestod_fixture.h"
#include "provisioning/channel_parts.h"
#include "provisioning/provisioning_channel.h"
#include "temp_dir.h"
#include "wire/wire_records.h"

#ifndef VELQUOR_CLI_BINARY
#error "VELQUOR_CLI_BINARY must name the velquor-cli program"
#endif

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;

// What velquor-cli settings --address takes the text as; empty when it refuses it (status 2).
std::string settingsAddress(const TempDir& dir, const std::string& text) {
    int status = -1;
    const std::string out =
        runCommand("XDG_CONFIG_HOME=" + shellQuote((dir / "xdg").string()) +
                       " VELQUOR_SYSTEM_CONFIG_DIR=" + shellQuote((dir / "etc").string()) + " " +
                       shellQuote(VELQUOR_CLI_BINARY) + " settings --address " + shellQuote(text) +
                       " 2>/dev/null",
                   &status);
    if (status != 0) {
        EXPECT_EQ(status, 2) << text;
        return {};
    }
    const std::string key = "\naddress = ";
    const auto at = out.find(key);
    if (at == std::string::npos) return "(no address line)";
    const auto end = out.find_first_of(" \n", at + key.size());
    return out.substr(at + key.size(), end - at - key.size());
}

// The name the client looks up for the text, through a resolver of the test's that finds
// nothing; empty when the client refuses the text before looking anything up.
std::string clientLookup(const std::string& text, const std::filesystem::path& caFile) {
    std::mutex mutex;
    std::vector<std::string> asked;
    provisioning::channel::setResolverForTests(
        [&](const std::string& name, std::uint16_t, std::string* error) {
            std::lock_guard lock(mutex);
            asked.push_back(name);
            *error = "the test's resolver knows no name";
            return std::vector<provisioning::channel::ResolvedAddress>{};
        });
    provisioning::KestoEndpoint endpoint;
    endpoint.address = text;
    endpoint.caFile = caFile.string();
    provisioning::ProvisioningChannel channel(endpoint, {2s, 2s});
    ::testing::internal::CaptureStdout();
    const int result = channel.SendLoginRequest(*wire::buildLoginRequest({"a", "b"}));
    ::testing::internal::GetCapturedStdout();
    provisioning::channel::setResolverForTests(nullptr);
    EXPECT_NE(result, 0);
    if (asked.empty()) {
        EXPECT_NE(channel.lastError().find("is not a host name"), std::string::npos)
            << channel.lastError();
        return {};
    }
    return asked.front();
}

// Whether kestod init takes the text; when it does, its certificate must pass openssl's check
// for the address as the case says a client asks for it.
bool kestodTakes(const TempDir& dir, const HostAddressCase& c, int index) {
    const auto folder = dir / ("srv" + std::to_string(index));
    int status = -1;
    const std::string init =
        runCommand(shellQuote(KestodFixture::binary().string()) + " init --dir " +
                       shellQuote(folder.string()) + " --address " + shellQuote(c.text) +
                       " --admin-password-file " + shellQuote((dir / "pw").string()) +
                       " --pbkdf2-iterations 1000 2>&1",
                   &status);
    if (status != 0) {
        EXPECT_EQ(status, 2) << init;
        return false;
    }
    const std::string verify =
        runCommand("openssl verify -CAfile " + shellQuote((folder / "cacert.pem").string()) +
                       (c.ip ? " -verify_ip " : " -verify_hostname ") + shellQuote(c.certified) +
                       " " + shellQuote((folder / "server.pem").string()) + " 2>&1",
                   &status);
    EXPECT_EQ(status, 0) << c.text << ": " << verify;
    return true;
}

// velquor-cli serve with the option given the text, on a folder that is not there: 2 when the
// option is refused (its message naming the text), else 1 for the missing folder.
int serveStatus(const TempDir& dir, const std::string& option, const std::string& text) {
    int status = -1;
    const std::string out = runCommand(
        "XDG_CONFIG_HOME=" + shellQuote((dir / "xdg").string()) +
            " VELQUOR_SYSTEM_CONFIG_DIR=" + shellQuote((dir / "etc").string()) + " " +
            shellQuote(VELQUOR_CLI_BINARY) + " serve " + shellQuote((dir / "no-folder").string()) +
            " " + option + " " + shellQuote(text) + " 2>&1",
        &status);
    const std::string expected = status == 2 ? option + " '" + text + "'" : "no-folder";
    EXPECT_NE(out.find(expected), std::string::npos) << out;
    return status;
}

TEST(HostAddress, TheSettingsTheClientKestodAndServeTakeTheSameAddresses) {
    TempDir dir;
    std::filesystem::create_directories(dir / "xdg");
    std::filesystem::create_directories(dir / "etc");
    writeFile(dir / "pw", "chief-pw\n");
    // Any CA will do: the client never gets as far as a certificate.
    int made = -1;
    runCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
        "-subj /CN=test -keyout " +
            shellQuote((dir / "ca.key").string()) + " -out " +
            shellQuote((dir / "ca.pem").string()) + " 2>&1",
        &made);
    ASSERT_EQ(made, 0);
    int index = 0;
    for (const HostAddressCase& c : hostAddressCases()) {
        SCOPED_TRACE("'" + c.text + "'");
        const bool accepted = !c.address.empty();
        EXPECT_EQ(settingsAddress(dir, c.text), c.address);
        EXPECT_EQ(clientLookup(c.text, dir / "ca.pem"), c.address);
        EXPECT_EQ(kestodTakes(dir, c, index++), accepted);
        EXPECT_EQ(serveStatus(dir, "--address", c.text), accepted ? 1 : 2);
    }
}

// The range kestod users trust takes the text as, from what it says it trusted; empty when it
// refuses the text (status 2).
// Every address is trusted only when said in so many words: such a range is asked for again
// with --everywhere.
std::string trustedRange(const std::filesystem::path& folder, const std::string& text) {
    int status = -1;
    const std::string trust = shellQuote(KestodFixture::binary().string()) + " users --dir " +
                              shellQuote(folder.string()) + " trust chief " + shellQuote(text);
    std::string out = runCommand(trust + " 2>&1", &status);
    if (status == 2 && out.find("give --everywhere") != std::string::npos) {
        out = runCommand(trust + " --everywhere 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
    }
    if (status != 0) {
        EXPECT_EQ(status, 2) << out;
        EXPECT_NE(out.find("'" + text + "'"), std::string::npos) << out;
        return {};
    }
    const std::string key = "trusted ";
    const auto at = out.find(key);
    if (at == std::string::npos) return "(no trusted line)";
    return out.substr(at + key.size(), out.find(' ', at + key.size()) - at - key.size());
}

TEST(AddressRanges, ServeAllowAndKestodTrustTakeTheSameRanges) {
    TempDir dir;
    std::filesystem::create_directories(dir / "xdg");
    std::filesystem::create_directories(dir / "etc");
    writeFile(dir / "pw", "chief-pw\n");
    int status = -1;
    const std::string init =
        runCommand(shellQuote(KestodFixture::binary().string()) + " init --dir " +
                       shellQuote((dir / "srv").string()) + " --admin-password-file " +
                       shellQuote((dir / "pw").string()) + " --pbkdf2-iterations 1000 2>&1",
                   &status);
    ASSERT_EQ(status, 0) << init;
    for (const AddressRangeCase& c : addressRangeCases()) {
        SCOPED_TRACE("'" + c.text + "'");
        EXPECT_EQ(serveStatus(dir, "--allow", c.text), c.range.empty() ? 2 : 1);
        EXPECT_EQ(trustedRange(dir / "srv", c.text), c.range);
    }
}

}  // namespace
}  // namespace velquor::testing
