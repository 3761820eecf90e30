// The shared option parser: the forms a user types, and each malformed line refused as a
// usage error.
#include "support/arg_parser.h"

#include <gtest/gtest.h>

namespace velquor::support {
namespace {

ArgParser digestLikeParser() {
    return ArgParser({"--algorithm", "--text"}, {"--check"}, {{"-a", "--algorithm"}});
}

TEST(ArgParserTest, ReadsEveryFormOfOptionAndKeepsPositionalsInOrder) {
    ArgParser args = digestLikeParser();
    ASSERT_TRUE(args.parse(
        {"one", "-a", "sha1", "--text=a=b", "two", "--check", "-", "--", "--algorithm", "-a"}));
    EXPECT_EQ(args.value("--algorithm"), "sha1") << "options after -- are positionals";
    EXPECT_EQ(args.value("--text"), "a=b") << "only the first = splits";
    EXPECT_TRUE(args.has("--check"));
    EXPECT_FALSE(args.value("--check")) << "a flag has no value";
    EXPECT_EQ(args.positionals(),
              (std::vector<std::string>{"one", "two", "-", "--algorithm", "-a"}));
}

TEST(ArgParserTest, AValueMayLookLikeAnOptionAndTheLastOneWins) {
    ArgParser args = digestLikeParser();
    ASSERT_TRUE(args.parse({"--text", "--check", "--algorithm", "md5", "--algorithm=sha256"}));
    EXPECT_EQ(args.value("--text"), "--check");
    EXPECT_FALSE(args.has("--check"));
    EXPECT_EQ(args.value("--algorithm"), "sha256");
    EXPECT_TRUE(args.has("--text"));
    EXPECT_FALSE(args.has("--missing"));
}

TEST(ArgParserTest, MalformedLinesAreUsageErrorsNamingTheOption) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--bogus=1"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--text"}, "option --text needs a value"},
        {{"-a"}, "option --algorithm needs a value"},
        {{"--check=yes"}, "option --check takes no value"},
    };
    for (const auto& [line, message] : cases) {
        ArgParser args = digestLikeParser();
        const Status parsed = args.parse(line);
        ASSERT_FALSE(parsed) << message;
        EXPECT_EQ(parsed.error().code, ErrorCode::Usage);
        EXPECT_EQ(parsed.error().message, message);
    }
}

}  // namespace
}  // namespace velquor::support
