// Stale twins: which files of an output folder belong to a phone of the run under another
// name, found in a real folder holding the kinds of files a provisioning folder gathers.
#include "generator/outputs/stale_twins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "generator/outputs/existing_outputs.h"
#include "generator/run/generation_job.h"
#include "generator_fixtures.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using velquor::testing::writeFile;

// The encrypted copy of text under key, as a run writes it.
std::string encrypted(const std::string& text, const std::string& key) {
    crypto::CAes aes;
    aes.Init(static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
    const auto blocks =
        crypto::encryptToBlocks(aes, std::as_bytes(std::span(text.data(), text.size())));
    return std::string(blocks.begin(), blocks.end());
}

TEST(ConfigNamePhone, TakesTheShapesPatternsGiveAndNothingAround) {
    const std::string phone = "0015650a33fb";
    for (const char* name :
         {"0015650a33fb.xml", "0015650A33FB.cfg", "cfg0015650a33fb.cfg", "SEP0015650A33FB.cnf.xml",
          "00:15:65:0a:33:fb.xml", "00-15-65-0A-33-FB.CONF", "Cfg0015650a33Fb.XML",
          "mac2x0015650a33fb.cnf"}) {
        EXPECT_EQ(configNamePhone(name), phone) << name;
    }
    for (const char* name : {"0015650a33fb-contacts.xml",  // a phone's own upload
                             "0015650a33fb-boot.log",      // its log
                             "0015650a33fb.xml.bak",       // a backup
                             "0015650a33fb.xml~",          // an editor's
                             ".0015650a33fb.xml.swp",      // hidden
                             "old_0015650a33fb.xml",       // more than letters and digits before it
                             "0015650a33fb",               // no extension
                             "0015650a33fb.txt",           // not a configuration
                             "0015650a33fb .xml",          // a space after it
                             "abc0015650a33fb.xml",        // 15 hex digits: a longer number
                             "10015650a33fb.xml",          // 13
                             "0015650a33fc0015650a33fb.xml",   // two phones run together
                             "0015650a33fcx0015650a33fb.xml",  // two phones
                             "00:15:65:0a:33-fb.xml",          // the joiner changes
                             "01:00:15:65:0a:33:fb.xml",       // seven pairs
                             "0015.650a.33fb.xml",             // dots are an extension's
                             "0015650a33f.xml",
                             "MD5SUMS",
                             "model-b.xml",
                             ""}) {
        EXPECT_EQ(configNamePhone(name), std::nullopt) << name;
    }
}

// A folder as an earlier run with `--file-name cfg{mac}.cfg --key` left it, plus what phones,
// technicians and other tools put beside it.
class StaleTwins : public ::testing::Test {
protected:
    StaleTwins() {
        writeFile(m_dir / "t.xml", test::kTemplate);
        writeFile(m_dir / "s.csv",
                  "MAC,Name,User,Auth,Password,Proxy,Port\n"
                  "0015650a33fb,A,1,1,p,s,5060\n"
                  "00:15:65:0A:33:FC,B,2,2,p,s,5060\n");
        m_request.templatePath = (m_dir / "t.xml").string();
        m_request.sheetPath = (m_dir / "s.csv").string();
        m_request.outputFolder = out().string();
        fs::create_directories(out() / "en");
    }

    fs::path out() const { return m_dir / "out"; }

    // The twins as paths below the output folder, in the order found.
    std::vector<std::string> twins() {
        auto existing = findExistingOutputs(m_request);
        if (!existing) throw std::runtime_error(existing.error().message);
        std::vector<std::string> relative;
        for (const std::string& twin : existing->staleTwins) {
            relative.push_back(fs::relative(twin, out()).string());
        }
        return relative;
    }

    velquor::testing::TempDir m_dir;
    GenerationRequest m_request;
};

TEST_F(StaleTwins, FindsAnotherPatternsFilesMadeFromTheTemplatesAndNothingElse) {
    const std::string made = test::kTemplate;
    for (const char* name : {"cfg0015650a33fb.cfg", "cfg0015650a33fc.cfg", "0015650a33fc.xml"}) {
        writeFile(out() / name, made);
        writeFile(out() / "en" / name, encrypted(made, "an earlier key"));
    }
    writeFile(out() / "0015650a33fb.xml", made);  // this run's own name: replaced, no twin
    writeFile(out() / "00-15-65-0a-33-fb.xml", made);
    // The run's pattern in another case, but not made from the templates.
    writeFile(out() / "0015650A33FB.XML", "a phone's own upload");
    writeFile(out() / "en" / "0015650A33FB.XML", encrypted("a phone's own upload", "k"));
    // Beside a twin, but text, or not the length its encryption would have.
    writeFile(out() / "en" / "00-15-65-0a-33-fb.xml", made);
    // Named like a configuration, but of another kind, phone or two phones.
    writeFile(out() / "0015650a33fb.cfg", "<?xml version=\"1.0\"?><contacts/>");
    writeFile(out() / "SEP0015650a33fb.cnf.xml", "#!version:1.0\nnot XML at all\n");
    writeFile(out() / "cfg0015650a33fd.cfg", made);
    writeFile(out() / "0015650a33fb-contacts.xml", made);
    writeFile(out() / "0015650a33fb.xml.bak", made);
    writeFile(out() / "0015650a33fb.cfg.xml", "");
    writeFile(out() / "en" / "cfg0015650a33fd.cfg", "16 bytes ciphers");
    writeFile(out() / "en" / "SEP0015650a33fb.cnf.xml", "an encrypted copy with no plain file");
    // A link, a folder and the run's inputs under a phone's name.
    fs::create_symlink("cfg0015650a33fb.cfg", out() / "SEP0015650A33FB.cnf");
    fs::create_symlink("cfg0015650a33fb.cfg", out() / "0015650A33FB.Xml");
    fs::create_directory(out() / "0015650A33FC.XML");
    writeFile(out() / "model0015650a33fc.xml", made);
    writeFile(out() / "template.csv",
              "MAC,Name,User,Auth,Password,Proxy,Port,template\n"
              "0015650a33fb,A,1,1,p,s,5060,\n"
              "00:15:65:0A:33:FC,B,2,2,p,s,5060,out/model0015650a33fc.xml\n");
    m_request.sheetPath = (out() / "template.csv").string();

    EXPECT_EQ(twins(), (std::vector<std::string>{"00-15-65-0a-33-fb.xml", "0015650a33fc.xml",
                                                 "cfg0015650a33fb.cfg", "cfg0015650a33fc.cfg",
                                                 "en/0015650a33fc.xml", "en/cfg0015650a33fb.cfg",
                                                 "en/cfg0015650a33fc.cfg"}));

    // Written in upper case, the run's own name in lower case is a twin too.
    m_request.macForm = mac::Form::Upper;
    const auto upper = twins();
    EXPECT_NE(std::find(upper.begin(), upper.end(), "0015650a33fb.xml"), upper.end());
}

// A template in another encoding gives files in it: their document element is still read.
TEST_F(StaleTwins, ReadsTheDocumentElementInTheTemplatesEncoding) {
    const std::string latin1 =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<!-- caf\xE9 -->\n<Config><Ext1/></Config>\n";
    writeFile(m_dir / "t.xml", latin1);
    writeFile(out() / "cfg0015650a33fb.cfg", latin1);
    // UTF-16 with its byte order mark: "<Config/>" two bytes a character.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("<Config/>")) utf16 += std::string{c, '\0'};
    writeFile(out() / "cfg0015650a33fc.cfg", utf16);
    writeFile(out() / "cfgX0015650a33fb.cfg", "<?xml version=\"1.0\"?><Configuration/>");
    EXPECT_EQ(twins(), (std::vector<std::string>{"cfg0015650a33fb.cfg", "cfg0015650a33fc.cfg"}));

    // Without a template nothing but the run's own pattern can be told.
    m_request.templatePath.clear();
    EXPECT_TRUE(twins().empty());
}

// The run removes twins only when asked and only of the phones whose new files it wrote.
TEST_F(StaleTwins, TheRunRemovesTwinsOfThePhonesItWroteOnlyWhenAsked) {
    writeFile(out() / "cfg0015650a33fb.cfg", test::kTemplate);
    writeFile(out() / "cfg0015650a33fc.cfg", test::kTemplate);
    writeFile(m_dir / "s.csv",
              "MAC,Name,User,Auth,Password,Proxy,Port\n"
              "0015650a33fb,A,1,1,p,s,5060\n"
              "00:15:65:0A:33:FC,B\x01,2,2,p,s,5060\n");  // XML cannot carry it
    support::NullProgress progress;
    auto kept = runGeneration(m_request, progress);
    ASSERT_TRUE(kept) << kept.error().message;
    EXPECT_EQ(kept->staleTwinsLeft, 1u);
    EXPECT_TRUE(fs::exists(out() / "cfg0015650a33fb.cfg"));

    m_request.removeStaleTwins = true;
    auto removed = runGeneration(m_request, progress);
    ASSERT_TRUE(removed) << removed.error().message;
    EXPECT_EQ(removed->staleTwinsRemoved, 1u);
    EXPECT_EQ(removed->staleTwinsLeft, 0u);
    EXPECT_TRUE(removed->staleTwinError.empty());
    EXPECT_EQ(test::filesBelow(out()),
              (std::vector<std::string>{"0015650a33fb.xml", "cfg0015650a33fc.cfg"}))
        << "the phone whose row failed keeps its only file";
}

// "en" as a link to a folder elsewhere is not followed: a run with --stale remove removes
// nothing there, even a copy that decrypts with its key to a file of the templates. In an
// "en" of its own, such a copy is told by the key with no plain file beside it, and a file
// with only a phone's name stays whatever its name.
TEST_F(StaleTwins, ALinkForEnIsNotFollowedAndACopyIsToldByItsContent) {
    const std::string key = "0123456789abcdef";
    const fs::path elsewhere = m_dir / "elsewhere";
    fs::create_directories(elsewhere);
    writeFile(elsewhere / "0015650A33FB.XML", "only a phone's name");
    writeFile(elsewhere / "cfg0015650a33fb.cfg", encrypted(test::kTemplate, key));
    writeFile(out() / "cfg0015650a33fb.cfg", test::kTemplate);
    fs::remove_all(out() / "en");
    fs::create_symlink(elsewhere, out() / "en");
    m_request.encrypt = true;
    m_request.keyText = key;
    m_request.removeStaleTwins = true;
    auto existing = findExistingOutputs(m_request);
    ASSERT_TRUE(existing);
    EXPECT_EQ(twins(), std::vector<std::string>{"cfg0015650a33fb.cfg"});
    EXPECT_EQ(existing->encryptedFolderLink, elsewhere.string());
    EXPECT_NE(existingOutputsText(*existing).find("is a link to " + elsewhere.string()),
              std::string::npos)
        << existingOutputsText(*existing);

    m_request.encrypt = false;  // a run without a key, as the link was found removing
    support::NullProgress progress;
    auto run = runGeneration(m_request, progress);
    ASSERT_TRUE(run) << run.error().message;
    EXPECT_EQ(run->staleTwinsRemoved, 1u);
    EXPECT_EQ(test::filesBelow(elsewhere),
              (std::vector<std::string>{"0015650A33FB.XML", "cfg0015650a33fb.cfg"}));
    EXPECT_FALSE(fs::exists(out() / "cfg0015650a33fb.cfg"));

    // An "en" of the folder's own: the copy decrypts with the run's key to a file of the
    // templates though its plain file is gone; a copy under another key is not told.
    fs::remove(out() / "en");
    fs::create_directories(out() / "en");
    writeFile(out() / "en" / "cfg0015650a33fb.cfg", encrypted(test::kTemplate, key));
    writeFile(out() / "en" / "cfg0015650a33fc.cfg", encrypted(test::kTemplate, "another key"));
    writeFile(out() / "en" / "0015650A33FB.XML", "only a phone's name");
    m_request.encrypt = true;
    EXPECT_EQ(twins(), std::vector<std::string>{"en/cfg0015650a33fb.cfg"});
    m_request.encrypt = false;
    EXPECT_TRUE(twins().empty()) << "without the key nor a plain file, nothing tells it";
}

}  // namespace
}  // namespace velquor::generator
