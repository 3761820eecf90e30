// Device file names: the patterns refused and why, names made in each form, and the way back
// from a file's name to its phone in every spelling a folder may hold.
#include "mac/file_name.h"

#include <gtest/gtest.h>

#include <string>

namespace velquor::mac {
namespace {

TEST(FileNameTest, TheDefaultIsTodaysName) {
    const FileNamePattern pattern;
    EXPECT_EQ(pattern.text(), "{mac}.xml");
    EXPECT_EQ(pattern.name("001A2B3C4D5E"), "001A2B3C4D5E.xml");
    auto parsed = FileNamePattern::parse(" {mac}.xml\t");
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_EQ(*parsed, pattern);
}

TEST(FileNameTest, PhonesShapesTakeTheMacInTheRunsForm) {
    auto cfg = FileNamePattern::parse("cfg{mac}.cfg");
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->prefix(), "cfg");
    EXPECT_EQ(cfg->suffix(), ".cfg");
    EXPECT_EQ(cfg->name("001a2b3c4d5e"), "cfg001a2b3c4d5e.cfg");
    EXPECT_EQ(cfg->nameFor("001a2b3c4d5e", Form::Upper), "cfg001A2B3C4D5E.cfg");
    EXPECT_EQ(cfg->nameFor("001a2b3c4d5e", Form::Lower), "cfg001a2b3c4d5e.cfg");
    auto bare = FileNamePattern::parse("{mac}");
    ASSERT_TRUE(bare) << "a phone may ask for the MAC alone";
    EXPECT_EQ(bare->name("001a2b3c4d5e"), "001a2b3c4d5e");
}

TEST(FileNameTest, PatternsThatCannotNameOneFilePerPhoneAreRefusedWithTheReason) {
    const std::pair<const char*, const char*> refusedPatterns[] = {
        {"", "has no {mac}"},
        {"config.xml", "has no {mac}"},
        {"{MAC}.xml", "has no {mac}"},
        {"{mac}-{mac}.xml", "more than once"},
        {"phones/{mac}.xml", "path separator"},
        {"phones\\{mac}.xml", "path separator"},
        {"{mac}..xml", "\"..\""},
        {"{mac}\n.xml", "control character"},
        {".{mac}", "starts with a dot"},
        {"{mac}.xml", nullptr},
    };
    for (const auto& [text, why] : refusedPatterns) {
        auto parsed = FileNamePattern::parse(text);
        if (why == nullptr) {
            EXPECT_TRUE(parsed) << text;
            continue;
        }
        ASSERT_FALSE(parsed) << text;
        EXPECT_NE(parsed.error().message.find(why), std::string::npos)
            << text << ": " << parsed.error().message;
        EXPECT_FALSE(parsed.error().phrase.empty()) << "the window words it";
    }
    EXPECT_FALSE(FileNamePattern::parse(std::string(250, 'x') + "{mac}"))
        << "no room left for the MAC within a file name";
}

TEST(FileNameTest, AFileBelongsToItsPhoneInAnySpellingOrCase) {
    auto cfg = FileNamePattern::parse("cfg{mac}.xml");
    ASSERT_TRUE(cfg);
    const std::string phone = "001a2b3c4d5e";
    for (const char* name :
         {"cfg001a2b3c4d5e.xml", "cfg001A2B3C4D5E.xml", "CFG001A2B3C4D5E.XML",
          "cfg00:1a:2b:3c:4d:5e.xml", "cfg00-1A-2B-3C-4D-5E.xml", "cfg001a.2b3c.4d5e.xml"}) {
        EXPECT_TRUE(cfg->belongsTo(name, phone)) << name;
        EXPECT_EQ(cfg->deviceOf(name), phone) << name;
    }
    for (const char* name : {"001a2b3c4d5e.xml", "cfg001a2b3c4d5f.xml", "cfg001a2b3c4d5e.xml.bak",
                             "cfg 001a2b3c4d5e.xml", "cfgffffffffffff.xml", "cfg.xml", "MD5SUMS",
                             "cfg001a2b3c4d5e0.xml"}) {
        EXPECT_FALSE(cfg->belongsTo(name, phone)) << name;
    }
    EXPECT_FALSE(cfg->deviceOf("cfg001a2b3c4d5f.xml") == phone);
}

}  // namespace
}  // namespace velquor::mac
