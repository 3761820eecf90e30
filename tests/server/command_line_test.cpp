// kestod's command lines: what each option sets, and every malformed line refused as a usage
// error before anything is touched.
#include "server/command_line.h"

#include <gtest/gtest.h>

#include "wire/wire_records.h"

namespace velquor::server {
namespace {

using Args = std::vector<std::string>;

void expectUsageError(const support::Result<ServeSettings>& result, const std::string& mention) {
    ASSERT_FALSE(result) << mention;
    EXPECT_EQ(result.error().code, support::ErrorCode::Usage) << mention;
    EXPECT_NE(result.error().message.find(mention), std::string::npos) << result.error().message;
}

TEST(ServeCommandLine, DefaultsAreTheProtocolsPortsAndTheFoldersAddress) {
    auto settings = parseServeSettings({"--dir", "/srv/kesto"});
    ASSERT_TRUE(settings) << settings.error().message;
    EXPECT_EQ(settings->folder, "/srv/kesto");
    EXPECT_EQ(settings->address, "") << "empty: the address 'kestod init' certified";
    EXPECT_EQ(settings->ports, (std::array<std::uint16_t, 3>{wire::kLoginPort, wire::kAccountPort,
                                                             wire::kDevicePort}));
    const ServeSettings defaults;
    EXPECT_EQ(settings->workers, defaults.workers);
    EXPECT_EQ(settings->connectionDeadline, defaults.connectionDeadline);
    EXPECT_EQ(settings->loginLimits.failuresPerName, defaults.loginLimits.failuresPerName);
}

TEST(ServeCommandLine, EveryOptionReachesItsSetting) {
    auto settings = parseServeSettings({"--dir=/d",
                                        "--address",
                                        "10.1.2.3",
                                        "--ports",
                                        "0,4001,65535",
                                        "--deadline-ms",
                                        "250",
                                        "--grant-ms",
                                        "900",
                                        "--workers",
                                        "3",
                                        "--max-connections",
                                        "40",
                                        "--max-per-peer",
                                        "5",
                                        "--max-failed-logins-per-name",
                                        "6",
                                        "--max-failed-logins-per-address",
                                        "7",
                                        "--failed-login-window-ms",
                                        "8000"});
    ASSERT_TRUE(settings) << settings.error().message;
    EXPECT_EQ(settings->folder, "/d");
    EXPECT_EQ(settings->address, "10.1.2.3");
    EXPECT_EQ(settings->ports, (std::array<std::uint16_t, 3>{0, 4001, 65535}));
    EXPECT_EQ(settings->connectionDeadline, std::chrono::milliseconds(250));
    EXPECT_EQ(settings->grantLifetime, std::chrono::milliseconds(900));
    EXPECT_EQ(settings->workers, 3u);
    EXPECT_EQ(settings->maxConnections, 40u);
    EXPECT_EQ(settings->maxConnectionsPerPeer, 5u);
    EXPECT_EQ(settings->loginLimits.failuresPerName, 6);
    EXPECT_EQ(settings->loginLimits.failuresPerAddress, 7);
    EXPECT_EQ(settings->loginLimits.window, std::chrono::milliseconds(8000));
}

TEST(ServeCommandLine, MalformedLinesAreUsageErrors) {
    expectUsageError(parseServeSettings({}), "--dir");
    expectUsageError(parseServeSettings({"--dir", ""}), "--dir");
    expectUsageError(parseServeSettings({"--dir", "d", "extra"}), "'extra'");
    expectUsageError(parseServeSettings({"--dir", "d", "--bogus"}), "--bogus");
    expectUsageError(parseServeSettings({"--dir", "d", "--workers"}), "--workers");
    for (const char* ports :
         {"1,2", "1,2,3,4", "1,,3", "1,2,", ",1,2", "1,2,65536", "a,b,c", "1,2,-3", "1 ,2,3"}) {
        expectUsageError(parseServeSettings({"--dir", "d", "--ports", ports}), "--ports");
    }
    // A zero or negative limit or time would refuse every client; a typo must not do that.
    for (const char* option : {"--workers", "--max-connections", "--max-per-peer",
                               "--max-failed-logins-per-name", "--max-failed-logins-per-address",
                               "--deadline-ms", "--grant-ms", "--failed-login-window-ms"}) {
        for (const char* value : {"0", "-5", "12x", "", "99999999999999999999999"}) {
            expectUsageError(parseServeSettings({"--dir", "d", option, value}), option);
        }
    }
}

TEST(InitCommandLine, DefaultsAndOptions) {
    auto plain = parseInitOptions({"--dir", "new"});
    ASSERT_TRUE(plain) << plain.error().message;
    EXPECT_EQ(plain->address, wire::kDefaultServerAddress);
    EXPECT_FALSE(plain->force);
    EXPECT_FALSE(plain->adminPasswordFile);

    auto full = parseInitOptions({"--dir", "new", "--address", "192.0.2.7", "--force",
                                  "--admin-password-file", "pw.txt", "--pbkdf2-iterations", "99"});
    ASSERT_TRUE(full) << full.error().message;
    EXPECT_EQ(full->address, "192.0.2.7");
    EXPECT_TRUE(full->force);
    EXPECT_EQ(full->adminPasswordFile, std::filesystem::path("pw.txt"));
    EXPECT_EQ(full->iterations, 99u);

    for (const Args& wrong :
         {Args{}, Args{"--force"}, Args{"--dir", "d", "--pbkdf2-iterations", "0"},
          Args{"--dir", "d", "--force=yes"}, Args{"--dir", "d", "more"}}) {
        auto refused = parseInitOptions(wrong);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, support::ErrorCode::Usage) << refused.error().message;
    }
}

TEST(ListingCommandLine, NeedsExactlyTheFolder) {
    EXPECT_EQ(parseStoreLocation({"--dir", "f"}).value().folder, "f");
    for (const Args& wrong : {Args{}, Args{"f"}, Args{"--dir", "f", "--all"}}) {
        auto refused = parseStoreLocation(wrong);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, support::ErrorCode::Usage);
    }
}

TEST(PasswdCommandLine, NeedsTheFolderOneNameAndAPasswordSource) {
    auto options = parsePasswdOptions({"chief", "--dir", "d", "--password-file", "-"});
    ASSERT_TRUE(options) << options.error().message;
    EXPECT_EQ(options->store.folder, "d");
    EXPECT_EQ(options->name, "chief");
    EXPECT_EQ(options->passwordFile, "-");
    for (const Args& wrong :
         {Args{"--dir", "d", "--password-file", "f"}, Args{"chief", "--password-file", "f"},
          Args{"chief", "--dir", "d"}, Args{"chief", "bob", "--dir", "d", "--password-file", "f"},
          Args{"chief", "--dir", "d", "--password-file", "f", "--force"}}) {
        auto refused = parsePasswdOptions(wrong);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, support::ErrorCode::Usage) << refused.error().message;
    }
}

TEST(StoreCommandLine, DatabaseUrlsReachEveryCommandThatOpensTheStore) {
    const std::string url = "postgresql:///kesto?host=/run/postgresql";
    EXPECT_EQ(parseServeSettings({"--dir", "d", "--database", url}).value().databaseUrl, url);
    EXPECT_EQ(parseInitOptions({"--dir", "d", "--database", url}).value().databaseUrl, url);
    EXPECT_EQ(parseStoreLocation({"--database", url}).value().databaseUrl, url);
    EXPECT_EQ(parsePasswdOptions({"chief", "--database", url, "--password-file", "-"})
                  .value()
                  .store.databaseUrl,
              url);
    const auto migrate = parseMigrateOptions({"--dir", "d", "--to", url});
    ASSERT_TRUE(migrate) << migrate.error().message;
    EXPECT_EQ(migrate->folder, "d");
    EXPECT_EQ(migrate->databaseUrl, url);

    for (const auto& refused :
         {parseServeSettings({"--dir", "d", "--database", ""}).error(),
          parseStoreLocation({"--database", ""}).error(), parseStoreLocation({}).error(),
          parseMigrateOptions({"--dir", "d"}).error(), parseMigrateOptions({"--to", url}).error(),
          parseMigrateOptions({"--dir", "d", "--to", url, "--database", url}).error()}) {
        EXPECT_EQ(refused.code, support::ErrorCode::Usage) << refused.message;
    }
}

}  // namespace
}  // namespace velquor::server
