// The settings files as an operator and an attacker meet them: values as long as a path may
// be, every field saved and read back with long and odd values (and nothing saved that would
// not read back), a broken line the command line makes moot, and files that are FIFOs or that
// another user could have planted, which are never waited on nor trusted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "settings/kesto_settings.h"
#include "settings_fixture.h"
#include "temp_dir.h"

namespace velquor::settings {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using velquor::testing::readFile;
using velquor::testing::writeFile;

// An absolute path of exactly the given length.
std::string pathOfLength(std::size_t length) {
    std::string path = "/";
    while (path.size() + 51 + 5 <= length) path += std::string(50, 'd') + "/";
    path += std::string(length - path.size() - 4, 'f') + ".pem";
    return path;
}

// A host name of 253 bytes: four labels of 63, the longest DNS has.
std::string longestHostName() {
    const std::string label(63, 'h');
    return label + "." + label + "." + label + "." + std::string(61, 'x');
}

TEST_F(SettingsTest, PathsOf4096BytesAndNamesOf253ReadFromAFileTypedByHand) {
    const std::string longPath = pathOfLength(4096);
    ASSERT_EQ(longPath.size(), 4096u);
    ASSERT_EQ(longestHostName().size(), 253u);
    user("; " + std::string(500, '-') + "\n[kesto]\naddress = " + longestHostName() +
         "\nca-file = " + longPath + "   ; the site's CA\n");
    const LoadedSettings loaded = load();
    EXPECT_EQ(loaded.effective.address.value, longestHostName());
    EXPECT_EQ(loaded.effective.caFile.value, longPath) << "the inline comment is not the path";
    EXPECT_EQ(loaded.effective.caFile.from.where, paths.userFile().string() + ":4");

    user("[kesto]\nca-file = " + pathOfLength(4097) + "\n");
    const std::string tooLong = loadError();
    EXPECT_NE(tooLong.find(":2: [kesto] ca-file: the file name is 4097 bytes long"),
              std::string::npos)
        << tooLong;
}

// Every field through saving and reading again, with the longest and oddest values a person
// may type; a value the reader would change or refuse is not saved, and the file stays.
TEST_F(SettingsTest, WhatIsSavedReadsBackOnEveryFieldAndNothingElseIsSaved) {
    std::vector<KestoValues> cases;
    const auto with = [&](auto field, auto value) {
        KestoValues values;
        values.*field = value;
        cases.push_back(values);
    };
    with(&KestoValues::address, std::optional<std::string>(longestHostName()));
    with(&KestoValues::address, std::optional<std::string>("fe80::1"));
    with(&KestoValues::address, std::optional<std::string>("192.0.2.7"));
    with(&KestoValues::ports, std::optional<KestoPorts>(KestoPorts{1, 65535, 443}));
    for (const std::string& path :
         {pathOfLength(206), pathOfLength(300), pathOfLength(4096),
          std::string("/srv/a b/c;d#e=f:g.pem"), std::string("relative/ca.pem")}) {
        with(&KestoValues::caFile, std::optional<std::string>(path));
    }
    with(&KestoValues::connectTimeout, std::optional<std::chrono::milliseconds>(100ms));
    with(&KestoValues::connectTimeout, std::optional<std::chrono::milliseconds>(1234ms));
    with(&KestoValues::exchangeTimeout, std::optional<std::chrono::milliseconds>(3600s));
    with(&KestoValues::jobs, std::optional<std::size_t>(64));
    for (const KestoValues& values : cases) {
        const auto saved = saveUserSettings(values, paths);
        ASSERT_TRUE(saved.ok()) << saved.error().message;
        auto loaded = loadSettings({}, paths);
        ASSERT_TRUE(loaded.ok()) << loaded.error().message;
        KestoValues back = loaded->user;
        if (values.caFile && fs::path(*values.caFile).is_relative()) {
            EXPECT_EQ(back.caFile, (paths.userFolder / *values.caFile).lexically_normal());
            back.caFile = values.caFile;
        }
        EXPECT_EQ(back, values) << readFile(paths.userFile());
    }

    const std::string before = readFile(paths.userFile());
    for (const std::string& path : {std::string("/srv/ca.pem ;note"), std::string(" /lead.pem"),
                                    std::string("/trail.pem "), std::string("/two\nlines.pem")}) {
        KestoValues values;
        values.caFile = path;
        const auto saved = saveUserSettings(values, paths);
        ASSERT_FALSE(saved.ok()) << path;
        EXPECT_NE(saved.error().message.find("ca-file"), std::string::npos);
        EXPECT_NE(saved.error().message.find("nothing was saved"), std::string::npos);
        EXPECT_EQ(readFile(paths.userFile()), before);
    }
}

// A mistake on a line whose value the command line gives does not stop the command: it is a
// warning, and the file's other values still apply. Any other mistake still stops it.
TEST_F(SettingsTest, AMistakeTheCommandLineMakesMootIsOnlyAWarning) {
    user("[kesto]\nca-file = " + std::string(300, 'c') + " ;\nca-file = again\njobs = 5\n");
    KestoValues cli;
    cli.caFile = "/cli/ca.pem";
    const LoadedSettings loaded = load(cli);
    EXPECT_EQ(loaded.effective.caFile.value, "/cli/ca.pem");
    EXPECT_EQ(loaded.effective.jobs.value, 5u);
    ASSERT_EQ(loaded.warnings.size(), 1u);
    EXPECT_NE(loaded.warnings[0].find(":3: [kesto] ca-file is given again"), std::string::npos)
        << loaded.warnings[0];
    EXPECT_NE(loadError().find(":3:"), std::string::npos) << "without --cafile it stops";

    user("[kesto]\njust words\n");
    auto stopped = loadSettings(cli, paths);
    EXPECT_FALSE(stopped.ok()) << "a line of no key is no key's to override";
}

TEST_F(SettingsTest, AFifoIsNeverWaitedOnAndNamedForWhatItIs) {
    ASSERT_EQ(::mkfifo(paths.userFile().c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(paths.systemFile().c_str(), 0600), 0);
    LoadedSettings loaded = load();
    ASSERT_EQ(loaded.warnings.size(), 2u);
    for (const auto& file : {paths.systemFile(), paths.userFile()}) {
        const std::string expected = file.string() + " is a FIFO, not a file";
        EXPECT_TRUE(loaded.warnings[0].starts_with(expected) ||
                    loaded.warnings[1].starts_with(expected))
            << loaded.warnings[0] << "\n"
            << loaded.warnings[1];
    }
    EXPECT_EQ(loaded.effective.address.from.origin, Origin::BuildDefault);

    fs::remove(paths.userFile());
    fs::remove(paths.systemFile());
    ASSERT_EQ(::mkfifo((dir / "ca.pem").c_str(), 0600), 0);
    KestoValues cli;
    cli.caFile = (dir / "ca.pem").string();
    const CaFileLookup lookup = findCaFile(load(cli).effective, paths);
    EXPECT_FALSE(lookup.found);
    EXPECT_NE(lookup.problem.find((dir / "ca.pem").string() + " is a FIFO, not a file"),
              std::string::npos)
        << lookup.problem;
}

// As ssh does with its files: a settings file or a CA bundle that another user could have
// written is not used, and the warning says which and why.
TEST_F(SettingsTest, FilesOthersCouldHavePlantedAreIgnoredWithAWarning) {
    user("[kesto]\naddress = planted.example\n");
    ASSERT_EQ(::chmod(paths.userFile().c_str(), 0666), 0);
    LoadedSettings loaded = load();
    EXPECT_EQ(loaded.effective.address.from.origin, Origin::BuildDefault);
    ASSERT_EQ(loaded.warnings.size(), 1u);
    EXPECT_NE(loaded.warnings[0].find(paths.userFile().string() + " is writable by every user"),
              std::string::npos)
        << loaded.warnings[0];

    // Saving replaces it with this user's own file, keeping nothing of what was planted.
    KestoValues values;
    values.jobs = 2;
    ASSERT_TRUE(saveUserSettings(values, paths).ok());
    EXPECT_EQ(readFile(paths.userFile()), "[kesto]\njobs = 2\n");
    EXPECT_TRUE(load().warnings.empty());

    if (::geteuid() == 0) {  // only root can give a file away
        system("[kesto]\naddress = other.example\n");
        ASSERT_EQ(::chown(paths.systemFile().c_str(), 65534, 65534), 0);
        loaded = load();
        EXPECT_EQ(loaded.effective.address.from.origin, Origin::BuildDefault);
        ASSERT_EQ(loaded.warnings.size(), 1u);
        EXPECT_NE(loaded.warnings[0].find("belongs to another user (uid 65534)"), std::string::npos)
            << loaded.warnings[0];
    }
}

class CaInWorkingFolder : public SettingsTest {
protected:
    CaInWorkingFolder() : m_saved(fs::current_path()) {
        fs::create_directories(dir / "work");
        fs::current_path(dir / "work");
    }
    ~CaInWorkingFolder() override { fs::current_path(m_saved); }

private:
    fs::path m_saved;
};

TEST_F(CaInWorkingFolder, APlantedBundleIsPassedOverForTheNextPlace) {
    writeFile("cacert.pem", "planted");
    ASSERT_EQ(::chmod("cacert.pem", 0666), 0);
    writeFile(paths.userFolder / "cacert.pem", "mine");
    const CaFileLookup lookup = findCaFile(load().effective, paths);
    EXPECT_EQ(lookup.found, paths.userFolder / "cacert.pem");
    ASSERT_EQ(lookup.rejected.size(), 1u);
    EXPECT_EQ(lookup.rejected[0], "cacert.pem is writable by every user");

    fs::remove(paths.userFolder / "cacert.pem");
    const CaFileLookup none = findCaFile(load().effective, paths);
    EXPECT_FALSE(none.found);
    EXPECT_NE(none.problem.find("not used: cacert.pem is writable by every user"),
              std::string::npos)
        << none.problem;
}

}  // namespace
}  // namespace velquor::settings
