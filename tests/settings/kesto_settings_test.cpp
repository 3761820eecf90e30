// The settings as the client sees them: which source wins for each key, what a broken file
// says, what writing the per-user file keeps, and where the CA certificate is looked for.
#include "settings/kesto_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>

#include "settings_fixture.h"
#include "temp_dir.h"
#include "wire/kesto_address.h"

namespace velquor::settings {
namespace {

using namespace std::chrono_literals;
using velquor::testing::readFile;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

TEST_F(SettingsTest, EachSourceAloneAndAllTogether) {
    const std::string systemFile = paths.systemFile().string();
    const std::string userFile = paths.userFile().string();
    KestoValues cli;
    cli.address = "cli.example";
    cli.jobs = 3;
    struct Row {
        const char* what;
        std::string system, user;
        KestoValues commandLine;
        std::string address;
        Origin addressFrom;
        std::string addressWhere;
        KestoPorts ports;
        Origin portsFrom;
        std::size_t jobs;
        Origin jobsFrom;
    };
    const KestoPorts builtIn{44388, 44389, 44391};
    const Row rows[] = {
        {"nothing",
         "",
         "",
         {},
         std::string(wire::kDefaultServerAddress),
         Origin::BuildDefault,
         "",
         builtIn,
         Origin::BuildDefault,
         16,
         Origin::BuildDefault},
        {"system only",
         "[kesto]\naddress = sys.example\nports = 1,2,3\n",
         "",
         {},
         "sys.example",
         Origin::SystemFile,
         systemFile + ":2",
         {1, 2, 3},
         Origin::SystemFile,
         16,
         Origin::BuildDefault},
        {"user only",
         "",
         "# mine\n[kesto]\njobs=4\naddress=10.0.0.9\n",
         {},
         "10.0.0.9",
         Origin::UserFile,
         userFile + ":4",
         builtIn,
         Origin::BuildDefault,
         4,
         Origin::UserFile},
        {"command line only", "", "", cli, "cli.example", Origin::CommandLine, "command line",
         builtIn, Origin::BuildDefault, 3, Origin::CommandLine},
        {"all together",
         "[kesto]\naddress = sys.example\nports = 1,2,3\njobs = 9\n",
         "[kesto]\naddress = ::1\njobs = 4\n",
         cli,
         "cli.example",
         Origin::CommandLine,
         "command line",
         {1, 2, 3},
         Origin::SystemFile,
         3,
         Origin::CommandLine},
        {"user over system",
         "[kesto]\naddress = sys.example\n",
         "[KESTO]\nAddress = [fd00::5]\n",
         {},
         "fd00::5",
         Origin::UserFile,
         userFile + ":2",
         builtIn,
         Origin::BuildDefault,
         16,
         Origin::BuildDefault},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        system(row.system);
        user(row.user);
        const KestoSettings got = load(row.commandLine).effective;
        EXPECT_EQ(got.address.value, row.address);
        EXPECT_EQ(got.address.from.origin, row.addressFrom);
        EXPECT_EQ(got.address.from.where, row.addressWhere);
        EXPECT_EQ(got.ports.value, row.ports);
        EXPECT_EQ(got.ports.from.origin, row.portsFrom);
        EXPECT_EQ(got.jobs.value, row.jobs);
        EXPECT_EQ(got.jobs.from.origin, row.jobsFrom);
        EXPECT_EQ(got.connectTimeout.value, 5s) << "a dead server is found in seconds";
    }
}

TEST_F(SettingsTest, EveryKeyIsReadWithItsUnits) {
    user(
        "[kesto]\n"
        "address = kesto.example.com\n"
        "ports = 1000, 1001,1002\n"
        "ca-file = /srv/ca.pem\n"
        "connect-timeout = 2.5\n"
        "exchange-timeout = 40\n"
        "jobs = 64 ; the most\n");
    const LoadedSettings loaded = load();
    const KestoSettings& got = loaded.effective;
    EXPECT_EQ(got.address.value, "kesto.example.com");
    EXPECT_EQ(got.ports.value, (KestoPorts{1000, 1001, 1002}));
    EXPECT_EQ(got.caFile.value, "/srv/ca.pem");
    EXPECT_EQ(got.connectTimeout.value, 2500ms);
    EXPECT_EQ(got.exchangeTimeout.value, 40s);
    EXPECT_EQ(got.jobs.value, 64u);
    EXPECT_TRUE(loaded.warnings.empty());
    EXPECT_EQ(loaded.user.jobs, 64u);
    EXPECT_FALSE(loaded.system.address.has_value());
    // A relative ca-file names a file beside the settings file, wherever the program started.
    system("[kesto]\nca-file = site-ca.pem\n");
    EXPECT_EQ(load().effective.caFile.value, "/srv/ca.pem");
    user("");
    EXPECT_EQ(load().effective.caFile.value, (paths.systemFolder / "site-ca.pem").string());
}

TEST_F(SettingsTest, BadValuesAndMalformedLinesNameFileLineAndKey) {
    const std::string file = paths.userFile().string();
    struct Row {
        std::string text;
        std::string expected;  // the whole message starts with this
    };
    const Row rows[] = {
        {"[kesto]\n\nports = 1,2\n", file + ":3: [kesto] ports: three ports are needed"},
        {"[kesto]\nports = 1,2,70000\n", file + ":2: [kesto] ports: '70000' is not a port"},
        {"[kesto]\naddress = not a name!\n", file + ":2: [kesto] address: 'not a name!'"},
        {"[kesto]\naddress = 300.1.2.3\n", file + ":2: [kesto] address:"},
        {"[kesto]\nconnect-timeout = -1\n", file + ":2: [kesto] connect-timeout: '-1'"},
        {"[kesto]\nexchange-timeout = 5s\n", file + ":2: [kesto] exchange-timeout: '5s'"},
        {"[kesto]\njobs = 0\n", file + ":2: [kesto] jobs: '0' is not a number from 1 to 64"},
        {"[kesto]\nca-file =\n", file + ":2: [kesto] ca-file: a file name is needed"},
        {"[devices]\nmac-form = Lower\n",
         file + ":2: [devices] mac-form: 'Lower' is not one of plain, lower, upper, as-written"},
        {"[devices]\nmac-form = lower\n[devices]\nmac-form = upper\n",
         file + ":4: [devices] mac-form is given again (first on line 2)"},
        {"[kesto]\njobs = 2\njobs = 3\n",
         file + ":3: [kesto] jobs is given again (first on line 2)"},
        {"[kesto]\naddress = a.example\n  b.example\n",
         file + ":3: [kesto] address is given again"},
        {"address = x.example\n[kesto]\n", file + ":1: 'address' comes before any section"},
        {"[kesto]\njust some words\n", file + ":2: not a 'key = value' line"},
        {"[kesto\naddress = x.example\n", file + ":1: not a 'key = value' line"},
        {"[kesto]\naddress = " + std::string(300, 'a') + "\n", file + ":2: [kesto] address: 'aaa"},
        {"[" + std::string(300, 'k') + "]\n", file + ":1: the line is too long"},
        {"[kesto]\njobs = 2" + std::string("\0"
                                           "3\n",
                                           3),
         file + ":2: the line holds a NUL"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        user(row.text);
        const std::string message = loadError();
        EXPECT_EQ(message.substr(0, row.expected.size()), row.expected) << message;
    }
    // The system file's mistakes are found the same way, even when the user file is fine.
    user("[kesto]\njobs = 2\n");
    system("[kesto]\njobs = many\n");
    EXPECT_EQ(loadError().substr(0, paths.systemFile().string().size() + 3),
              paths.systemFile().string() + ":2:");
}

TEST_F(SettingsTest, UnknownKeysAndSectionsAreWarnedOnceAndTheRestApplies) {
    user(
        "[kesto]\naddres = typo.example\njobs = 2\n[display]\nsize = 3\nfont = x\n"
        "[window]\nlanguag = zh_CN\n");
    const LoadedSettings loaded = load();
    EXPECT_EQ(loaded.effective.jobs.value, 2u);
    ASSERT_EQ(loaded.warnings.size(), 3u);
    const std::string file = paths.userFile().string();
    EXPECT_EQ(loaded.warnings[0], file + ":2: unknown key 'addres' in [kesto], ignored");
    EXPECT_EQ(loaded.warnings[1], file + ":5: unknown section [display], ignored");
    EXPECT_EQ(loaded.warnings[2], file + ":8: unknown key 'languag' in [window], ignored");
    EXPECT_EQ(unseenWarnings(loaded.warnings), loaded.warnings);
    EXPECT_TRUE(unseenWarnings(load().warnings).empty()) << "a reload warns again";
}

// The file the package installs in /etc: as shipped it changes nothing, and a site that
// uncomments its example lines gets a file this program reads without a warning.
TEST_F(SettingsTest, TheShippedExampleIsInertAndItsExamplesAreValid) {
    const std::string shipped = readFile(VELQUOR_SHIPPED_SETTINGS);
    ASSERT_FALSE(shipped.empty());
    system(shipped);
    const LoadedSettings asShipped = load();
    EXPECT_EQ(asShipped.system, KestoValues{});
    EXPECT_TRUE(asShipped.warnings.empty());

    std::istringstream lines(shipped);
    std::string uncommented;
    for (std::string line; std::getline(lines, line);) {
        const bool example = line.starts_with('#') && line.size() > 1 && line[1] != ' ';
        uncommented += (example ? line.substr(1) : line) + "\n";
    }
    system(uncommented);
    const LoadedSettings examples = load();
    EXPECT_TRUE(examples.warnings.empty()) << examples.warnings.front();
    const KestoValues& values = examples.system;
    EXPECT_TRUE(values.address && values.ports && values.caFile && values.connectTimeout &&
                values.exchangeTimeout && values.jobs && values.macForm && values.fileName &&
                values.language)
        << "every key has an example:\n"
        << uncommented;
}

TEST_F(SettingsTest, MissingFilesAreSilentAndUnreadableOnesAWarning) {
    std::filesystem::remove(paths.systemFile());
    std::filesystem::remove_all(paths.userFolder);
    LoadedSettings loaded = load();
    EXPECT_TRUE(loaded.warnings.empty());
    EXPECT_EQ(loaded.effective.address.from.origin, Origin::BuildDefault);

    // A folder where the file should be cannot be read, even by root.
    std::filesystem::create_directories(paths.systemFile());
    std::filesystem::create_directories(paths.userFolder);
    user("[kesto]\njobs = 7\n");
    loaded = load();
    EXPECT_EQ(loaded.effective.jobs.value, 7u);
    ASSERT_EQ(loaded.warnings.size(), 1u);
    EXPECT_NE(loaded.warnings[0].find(paths.systemFile().string()), std::string::npos);
    EXPECT_NE(loaded.warnings[0].find("not used"), std::string::npos) << loaded.warnings[0];
}

TEST_F(SettingsTest, DefaultPathsFollowTheEnvironment) {
    const auto withEnvironment = [](const char* name, const char* value,
                                    const std::function<void()>& body) {
        const char* old = std::getenv(name);
        const std::string saved = old ? old : "";
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        body();
        old ? ::setenv(name, saved.c_str(), 1) : ::unsetenv(name);
    };
    withEnvironment("VELQUOR_SYSTEM_CONFIG_DIR", nullptr, [] {
        EXPECT_EQ(defaultSettingsPaths().systemFile(), "/etc/velquor/velquor.conf");
    });
    withEnvironment("VELQUOR_SYSTEM_CONFIG_DIR", "/opt/site", [] {
        EXPECT_EQ(defaultSettingsPaths().systemFile(), "/opt/site/velquor.conf");
    });
    withEnvironment("HOME", "/home/tech", [&] {
        withEnvironment("XDG_CONFIG_HOME", "/cfg", [] {
            EXPECT_EQ(defaultSettingsPaths().userFile(), "/cfg/velquor/velquor.conf");
        });
        withEnvironment("XDG_CONFIG_HOME", "relative/ignored", [] {
            EXPECT_EQ(defaultSettingsPaths().userFile(), "/home/tech/.config/velquor/velquor.conf");
        });
    });
    withEnvironment("XDG_CONFIG_HOME", nullptr, [&] {
        withEnvironment("HOME", nullptr, [] {
            EXPECT_TRUE(defaultSettingsPaths().userFile().is_absolute())
                << "never a file relative to wherever the program was started";
        });
    });
}

TEST_F(SettingsTest, SavingKeepsWhatItDoesNotManage) {
    user(
        "# the site's proxy is flaky\n"
        "[kesto]\n"
        "address = old.example   ; remember\n"
        "colour = blue\n"
        "jobs = 4\n"
        "\n"
        "[display]\n"
        "size = 3\n");
    KestoValues values;
    values.address = "new.example";
    values.ports = KestoPorts{1, 2, 3};
    values.connectTimeout = 1500ms;
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()),
              "# the site's proxy is flaky\n"
              "[kesto]\n"
              "address = new.example\n"
              "colour = blue\n"
              "ports = 1,2,3\n"
              "connect-timeout = 1.5\n"
              "\n"
              "[display]\n"
              "size = 3\n");
    const LoadedSettings loaded = load();
    EXPECT_EQ(loaded.user, values) << "what was saved reads back the same";
    EXPECT_EQ(loaded.effective.jobs.from.origin, Origin::BuildDefault) << "jobs was removed";
}

TEST_F(SettingsTest, TheMacFormLivesInDevicesAndIsSavedThere) {
    user("[devices]\nmac-form = as-written\n");
    LoadedSettings loaded = load();
    EXPECT_EQ(loaded.effective.macForm.value, mac::Form::AsWritten);
    EXPECT_EQ(loaded.effective.macForm.from.where, paths.userFile().string() + ":2");
    EXPECT_EQ(load().effective.address.from.origin, Origin::BuildDefault);

    user("[kesto]\nmac-form = lower\n");
    loaded = load();
    EXPECT_EQ(loaded.effective.macForm.value, mac::Form::Plain) << "only [devices] has it";
    ASSERT_EQ(loaded.warnings.size(), 1u);
    EXPECT_NE(loaded.warnings[0].find("unknown key 'mac-form' in [kesto]"), std::string::npos);

    user("[kesto]\njobs = 4\n\n[colours]\nsize = 3\n");
    KestoValues values;
    values.jobs = 4;
    values.macForm = mac::Form::Upper;
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()),
              "[kesto]\njobs = 4\n\n[colours]\nsize = 3\n\n[devices]\nmac-form = upper\n");
    EXPECT_EQ(load().user, values);
    values.macForm = mac::Form::Lower;
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()),
              "[kesto]\njobs = 4\n\n[colours]\nsize = 3\n\n[devices]\nmac-form = lower\n")
        << "rewritten in place";
    values.macForm.reset();
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(load().effective.macForm.from.origin, Origin::BuildDefault);
}

TEST_F(SettingsTest, TheFileNamePatternLivesInDevicesAndAnUnfitOneIsNamed) {
    EXPECT_EQ(load().effective.fileName.value.text(), "{mac}.xml");
    user("[devices]\nfile-name = cfg{mac}.cfg\n");
    EXPECT_EQ(load().effective.fileName.value.text(), "cfg{mac}.cfg");
    EXPECT_EQ(load().effective.fileName.from.where, paths.userFile().string() + ":2");

    user("[devices]\nfile-name = phones/{mac}.xml\n");
    auto refused = loadSettings({}, paths);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("file-name"), std::string::npos)
        << refused.error().message;
    EXPECT_NE(refused.error().message.find("path separator"), std::string::npos)
        << refused.error().message;

    KestoValues values;
    values.fileName = *mac::FileNamePattern::parse("{mac}.cfg");
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()), "[devices]\nfile-name = {mac}.cfg\n");
    EXPECT_EQ(load().user, values);
}

// The window's language lives in its own section, written and read beside [kesto] and kept
// with whatever else that section holds.
TEST_F(SettingsTest, TheWindowLanguageHasItsOwnSection) {
    EXPECT_EQ(load().effective.language.value, "auto");
    EXPECT_EQ(load().effective.language.from.origin, Origin::BuildDefault);
    system("[window]\nlanguage = zh_CN\n");
    EXPECT_EQ(load().effective.language.value, "zh_CN");
    EXPECT_EQ(load().effective.language.from.where, paths.systemFile().string() + ":2");

    user("[window]\ntheme = dark\nlanguage = zh-CN\n[kesto]\njobs = 3\n");
    EXPECT_EQ(load().effective.language.value, "zh-CN");
    KestoValues values = load().user;
    values.language = "en";
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()),
              "[window]\ntheme = dark\nlanguage = en\n[kesto]\njobs = 3\n");
    values.language.reset();
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()), "[window]\ntheme = dark\n[kesto]\njobs = 3\n");
    EXPECT_EQ(load().effective.language.value, "zh_CN") << "the system file applies again";

    // A file without the section gets it at its end.
    user("[kesto]\njobs = 3\n");
    values = load().user;
    values.language = "auto";
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()), "[kesto]\njobs = 3\n\n[window]\nlanguage = auto\n");
    EXPECT_EQ(load().user, values);

    // A value that is no language is an error naming the file, line, section and key.
    user("[kesto]\njobs = 3\n[window]\nlanguage = Chinese please\n");
    const auto broken = loadSettings({}, paths);
    ASSERT_FALSE(broken.ok());
    const std::string where = paths.userFile().string() + ":4: [window] language: '";
    EXPECT_EQ(broken.error().message.substr(0, where.size()), where);
}

TEST(SettingValues, LanguageCodes) {
    for (const char* good : {"auto", "zh_CN", "zh-CN", "en", "zh_Hans_CN", " de "}) {
        EXPECT_TRUE(parseLanguage(good).ok()) << good;
    }
    EXPECT_EQ(*parseLanguage(" de "), "de");
    for (const char* bad : {"", "z", "chinese", "zh_", "zh__CN", "zh_CN!", "_CN", "1a"}) {
        EXPECT_FALSE(parseLanguage(bad).ok()) << bad;
    }
}

TEST_F(SettingsTest, SavingCreatesTheFolderAndFile) {
    std::filesystem::remove_all(paths.userFolder);
    KestoValues values;
    values.address = "kesto.example.com";
    values.caFile = "/srv/ca.pem";
    values.exchangeTimeout = 20s;
    values.jobs = 8;
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()),
              "[kesto]\naddress = kesto.example.com\nca-file = /srv/ca.pem\n"
              "exchange-timeout = 20\njobs = 8\n");
    EXPECT_EQ(load().user, values);
    // Everything unset again: the section stays, empty, and the defaults apply.
    ASSERT_TRUE(saveUserSettings({}, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()), "[kesto]\n");
    // A file that cannot be read is not replaced.
    std::filesystem::remove(paths.userFile());
    std::filesystem::create_directories(paths.userFile());
    EXPECT_FALSE(saveUserSettings(values, paths).ok());
}

TEST(SettingValues, AddressesPortsSecondsAndJobs) {
    for (const char* good : {"kesto.example.com", "localhost", "10.0.0.1", "::1", "fe80::1:2",
                             "a-b.c", "kesto.example.com."}) {
        EXPECT_TRUE(parseAddress(good).ok()) << good;
    }
    EXPECT_EQ(*parseAddress("[::1]"), "::1");
    for (const char* bad :
         {"", "a b", "-a.example", "a..b", "1.2.3", "1.2.3.400", "x_y", "http://a", "a:80"}) {
        EXPECT_FALSE(parseAddress(bad).ok()) << bad;
    }
    EXPECT_EQ(hostAndPort("::1", 44388), "[::1]:44388");
    EXPECT_EQ(hostAndPort("kesto.example", 1), "kesto.example:1");

    EXPECT_EQ(*parsePorts("1,2,3"), (KestoPorts{1, 2, 3}));
    for (const char* bad : {"1,2", "1,2,3,4", "1,2,", "0,1,2", "a,b,c", ""}) {
        EXPECT_FALSE(parsePorts(bad).ok()) << bad;
    }
    EXPECT_EQ(*parseSeconds("0.25"), 250ms);
    EXPECT_EQ(*parseSeconds("3600"), 3600s);
    for (const char* bad : {"0", "0.05", "3601", "1.2345", ".", "1.", "1e3", ""}) {
        EXPECT_FALSE(parseSeconds(bad).ok()) << bad;
    }
    EXPECT_EQ(formatSeconds(2500ms), "2.5");
    EXPECT_EQ(formatSeconds(250ms), "0.25");
    EXPECT_EQ(formatSeconds(5s), "5");
    EXPECT_EQ(*parseJobs("1"), 1u);
    EXPECT_FALSE(parseJobs("65").ok());
}

class CaLookupTest : public SettingsTest {
protected:
    CaLookupTest() : m_saved(std::filesystem::current_path()) {
        std::filesystem::create_directories(dir / "work");
        std::filesystem::current_path(dir / "work");
    }
    ~CaLookupTest() override { std::filesystem::current_path(m_saved); }

private:
    std::filesystem::path m_saved;
};

TEST_F(CaLookupTest, WorkingDirectoryThenUserThenSystemFolder) {
    const KestoSettings unset = load().effective;
    CaFileLookup lookup = findCaFile(unset, paths);
    EXPECT_FALSE(lookup.found);
    ASSERT_EQ(lookup.searched.size(), 3u);
    for (const auto& place : {std::string("cacert.pem"), (paths.userFolder / "cacert.pem").string(),
                              (paths.systemFolder / "cacert.pem").string()}) {
        EXPECT_NE(lookup.problem.find(place), std::string::npos) << lookup.problem;
    }
    EXPECT_NE(lookup.problem.find("ca-file"), std::string::npos) << lookup.problem;

    writeFile(paths.systemFolder / "cacert.pem", "s");
    EXPECT_EQ(findCaFile(unset, paths).found, paths.systemFolder / "cacert.pem");
    writeFile(paths.userFolder / "cacert.pem", "u");
    EXPECT_EQ(findCaFile(unset, paths).found, paths.userFolder / "cacert.pem");
    writeFile("cacert.pem", "w");
    EXPECT_EQ(findCaFile(unset, paths).found, "cacert.pem");

    // A ca-file setting is the only place looked at.
    user("[kesto]\nca-file = missing.pem\n");
    lookup = findCaFile(load().effective, paths);
    EXPECT_FALSE(lookup.found);
    EXPECT_NE(lookup.problem.find(paths.userFile().string() + ":2"), std::string::npos)
        << lookup.problem;
    writeFile(paths.userFolder / "missing.pem", "now here");
    EXPECT_EQ(findCaFile(load().effective, paths).found, paths.userFolder / "missing.pem");
}

TEST(SettingsDescription, EveryKeyWithItsOrigin) {
    KestoSettings settings;
    settings.address = {"a.example", {Origin::UserFile, "/u:3"}};
    settings.ports = {{1, 2, 3}, {}};
    settings.connectTimeout = {1500ms, {}};
    settings.exchangeTimeout = {10s, {}};
    settings.jobs = {16, {Origin::CommandLine, "command line"}};
    const auto lines = describeSettings(settings);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].key, "address");
    EXPECT_EQ(lines[0].from.where, "/u:3");
    EXPECT_EQ(lines[1].value, "1,2,3");
    EXPECT_EQ(lines[3].value, "1.5");
    EXPECT_EQ(originName(lines[5].from.origin), "command line");
    EXPECT_EQ(lines[6].key, "mac-form");
    EXPECT_EQ(lines[6].value, "plain");
    EXPECT_EQ(lines[7].key, "file-name");
    EXPECT_EQ(lines[7].value, "{mac}.xml");
}

}  // namespace
}  // namespace velquor::settings

namespace velquor::settings {
namespace {

TEST(SettingOptions, OptionsOverTheSameKeysWithTheSameSyntax) {
    std::map<std::string, std::string> given{
        {"--host", "kesto.example"}, {"--ports", "1,2,3"}, {"--connect-timeout", "0.5"}};
    const auto lookup = [&given](const std::string& option) -> std::optional<std::string> {
        auto it = given.find(option);
        return it == given.end() ? std::nullopt : std::optional(it->second);
    };
    auto values = valuesFromOptions(lookup);
    ASSERT_TRUE(values.ok()) << values.error().message;
    EXPECT_EQ(values->address, "kesto.example");
    EXPECT_EQ(values->ports, (KestoPorts{1, 2, 3}));
    EXPECT_EQ(values->connectTimeout, std::chrono::milliseconds(500));
    EXPECT_FALSE(values->jobs.has_value());

    given["--address"] = "other.example";
    auto both = valuesFromOptions(lookup);
    ASSERT_FALSE(both.ok());
    EXPECT_EQ(both.error().code, support::ErrorCode::Usage);
    EXPECT_EQ(both.error().message, "give --address or --host, not both");

    given.erase("--host");
    given["--jobs"] = "65";
    auto bad = valuesFromOptions(lookup);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "--jobs: '65' is not a number from 1 to 64");
}

// Each option, spelled as a user types it, wins over the files and says it came from the
// command line: an option the table misspells would leave the file's value in place.
TEST_F(SettingsTest, EveryOptionOverridesTheFilesFromTheCommandLine) {
    user(
        "[kesto]\naddress = file.example\nports = 1,2,3\nca-file = /file/ca.pem\n"
        "connect-timeout = 9\nexchange-timeout = 90\njobs = 12\n");
    const std::map<std::string, std::string> given{
        {"--address", "cli.example"}, {"--ports", "4,5,6"},        {"--cafile", "/cli/ca.pem"},
        {"--connect-timeout", "1.5"}, {"--exchange-timeout", "7"}, {"--jobs", "3"},
        {"--mac-form", "lower"},
    };
    const auto optionsFrom = [](const std::map<std::string, std::string>& options) {
        return valuesFromOptions([&options](const std::string& option) {
            auto it = options.find(option);
            return it == options.end() ? std::nullopt : std::optional(it->second);
        });
    };
    const auto values = optionsFrom(given);
    ASSERT_TRUE(values.ok()) << values.error().message;
    const KestoSettings got = load(*values).effective;
    EXPECT_EQ(got.address.value, "cli.example");
    EXPECT_EQ(got.ports.value, (KestoPorts{4, 5, 6}));
    EXPECT_EQ(got.caFile.value, "/cli/ca.pem");
    EXPECT_EQ(got.connectTimeout.value, 1500ms);
    EXPECT_EQ(got.exchangeTimeout.value, 7s);
    EXPECT_EQ(got.jobs.value, 3u);
    EXPECT_EQ(got.macForm.value, mac::Form::Lower);
    for (const Origin from :
         {got.address.from.origin, got.ports.from.origin, got.caFile.from.origin,
          got.connectTimeout.from.origin, got.exchangeTimeout.from.origin, got.jobs.from.origin,
          got.macForm.from.origin}) {
        EXPECT_EQ(originName(from), "command line");
    }

    const auto older = optionsFrom({{"--host", "old.example"}});
    ASSERT_TRUE(older.ok()) << older.error().message;
    const KestoSettings oldSpelling = load(*older).effective;
    EXPECT_EQ(oldSpelling.address.value, "old.example");
    EXPECT_EQ(originName(oldSpelling.address.from.origin), "command line");
    EXPECT_EQ(oldSpelling.jobs.value, 12u) << "an option not given leaves the file's value";
}

}  // namespace
}  // namespace velquor::settings
