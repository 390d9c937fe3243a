#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/TorvaneCli.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

CliOptions parsed(const std::vector<std::string>& arguments)
{
    auto result = parseCliArguments(arguments);
    if (auto* problem = std::get_if<std::string>(&result)) {
        ADD_FAILURE() << *problem;
        return {};
    }
    return std::get<CliOptions>(result);
}

} // namespace

TEST(CliArguments, AcceptsOptionsAnywhere)
{
    const CliOptions options = parsed({ "rm", "--udid", "abc", "-r", "/a", "--json", "/b" });
    EXPECT_EQ(options.command, "rm");
    EXPECT_EQ(options.arguments, (std::vector<std::string> { "/a", "/b" }));
    EXPECT_EQ(options.udid, "abc");
    EXPECT_TRUE(options.recursive);
    EXPECT_TRUE(options.json);

    const CliOptions info = parsed({ "info", "--udid", "U1", "ProductVersion", "--domain=com.apple.disk_usage" });
    EXPECT_EQ(info.arguments, (std::vector<std::string> { "ProductVersion" }));
    EXPECT_EQ(info.udid, "U1");
    EXPECT_EQ(info.domain, "com.apple.disk_usage");
    EXPECT_EQ(info.timeoutSeconds, 30u);
    EXPECT_EQ(parsed({ "-u", "U2", "ls" }).udid, "U2");
    EXPECT_EQ(parsed({ "ls", "--timeout=5" }).timeoutSeconds, 5u);
    EXPECT_EQ(parsed({ "ls", "--timeout", "0" }).timeoutSeconds, 0u);
    EXPECT_TRUE(parsed({ "mv", "-f", "/a", "/b" }).overwrite);
    EXPECT_TRUE(parsed({ "--version" }).version);

    // After "--", a path that starts with a dash is a path.
    EXPECT_EQ(parsed({ "mkdir", "--", "-odd" }).arguments, (std::vector<std::string> { "-odd" }));
    EXPECT_TRUE(parsed({ "--help" }).help);
}

TEST(CliArguments, RefusesBadCommandLines)
{
    struct Row
    {
        std::vector<std::string> arguments;
        const char* expected;
    };
    const Row rows[] = {
        { {}, "no command given" },
        { { "format" }, "unknown command format" },
        { { "ls", "--colour" }, "unknown option --colour" },
        { { "stat" }, "stat: wrong number of arguments" },
        { { "mv", "/a" }, "mv: wrong number of arguments" },
        { { "df", "/x" }, "df: wrong number of arguments" },
        { { "ls", "--udid" }, "--udid needs a UDID" },
        { { "ls", "-u" }, "--udid needs a UDID" },
        { { "ls", "--wait" }, "--wait goes with devices" },
        { { "mkdir", "-r", "/a" }, "-r goes with rm" },
        { { "df", "--domain", "x" }, "--domain goes with info" },
        { { "info", "U1", "ProductVersion" }, "info: wrong number of arguments" },
        { { "rm", "-f", "/a" }, "-f goes with push and mv" },
        { { "ls", "--timeout", "soon" }, "--timeout needs a number of seconds (0 to 86400)" },
        { { "ls", "--timeout=-1" }, "--timeout needs a number of seconds (0 to 86400)" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        const auto result = parseCliArguments(row.arguments);
        ASSERT_TRUE(std::holds_alternative<std::string>(result));
        EXPECT_EQ(std::get<std::string>(result), row.expected);
    }
}

TEST(CliArguments, ParsesCleaningToolCommandsAndTheirOptions)
{
    const std::vector<ToolCommandShape> tools {
        { "music", 0, 64, { { "--older-than", true } } },
        { "photos", 0, 2, { { "--older-than", true }, { "--videos", false } } },
        { "apps", 0, 0, { { "--sizes", false } } },
    };
    const auto accepted = [&tools](const std::vector<std::string>& arguments) {
        auto result = parseCliArguments(arguments, tools);
        if (auto* problem = std::get_if<std::string>(&result)) {
            ADD_FAILURE() << *problem;
            return CliOptions {};
        }
        return std::get<CliOptions>(result);
    };

    const CliOptions music = accepted({ "--older-than", "365", "music", "rm", "7", "--json" });
    EXPECT_EQ(music.command, "music");
    EXPECT_EQ(music.arguments, (std::vector<std::string> { "rm", "7" }));
    EXPECT_EQ(music.toolOptions, (std::map<std::string, std::string> { { "--older-than", "365" } }));
    EXPECT_TRUE(music.json);

    const CliOptions photos = accepted({ "photos", "--videos", "--older-than=30" });
    EXPECT_EQ(
        photos.toolOptions, (std::map<std::string, std::string> { { "--older-than", "30" }, { "--videos", "" } }));
    // A tool command may share a built-in command's name; plain "apps" still parses.
    EXPECT_EQ(accepted({ "apps", "--sizes" }).toolOptions.count("--sizes"), 1U);
    EXPECT_TRUE(accepted({ "apps" }).toolOptions.empty());

    struct Row
    {
        std::vector<std::string> arguments;
        const char* expected;
    };
    const Row rows[] = {
        { { "ls", "--older-than", "3" }, "--older-than goes with music, photos" },
        { { "apps", "--videos" }, "--videos goes with photos" },
        { { "music", "--older-than" }, "--older-than needs a value" },
        { { "photos", "a", "b", "c" }, "photos: wrong number of arguments" },
        { { "music", "--sizes" }, "unknown option --sizes" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        const auto result = parseCliArguments(
            row.arguments, row.arguments[0] == "music" ? std::vector<ToolCommandShape> { tools[0] } : tools);
        ASSERT_TRUE(std::holds_alternative<std::string>(result));
        EXPECT_EQ(std::get<std::string>(result), row.expected);
    }
}

TEST(CliJson, WritesJsonThatParses)
{
    const PlistValue value(PlistDictionary {
        { "text", PlistValue("quote \" backslash \\ newline \n tab \t bell \x07 caf\xC3\xA9") },
        { "broken", PlistValue(std::string("bad \xFF\xC3 end")) },
        { "big", PlistValue(std::int64_t { 5'000'000'000 }) },
        { "negative", PlistValue(-3) },
        { "real", PlistValue(1.5) },
        { "flag", PlistValue(true) },
        { "date", PlistValue(PlistDate { 1'494'244'521'000'000 }) },
        { "data", PlistValue(PlistData { 'M', 'a', 'n' }) },
        { "list", PlistValue(PlistArray { PlistValue(1), PlistValue(PlistArray {}) }) },
        { "empty", PlistValue(PlistDictionary {}) },
    });
    for (int indent : { 0, 2 }) {
        SCOPED_TRACE(indent);
        const std::string json = plistToJson(value, indent);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << json;
        const QJsonObject object = document.object();
        EXPECT_EQ(object.value("text").toString().toStdString(),
            "quote \" backslash \\ newline \n tab \t bell \x07 caf\xC3\xA9");
        EXPECT_EQ(object.value("broken").toString(), QString::fromUtf8("bad \xEF\xBF\xBD\xEF\xBF\xBD end"));
        EXPECT_EQ(object.value("big").toInteger(), 5'000'000'000);
        EXPECT_EQ(object.value("negative").toInt(), -3);
        EXPECT_EQ(object.value("real").toDouble(), 1.5);
        EXPECT_TRUE(object.value("flag").toBool());
        EXPECT_EQ(object.value("date").toString(), "2017-05-08T11:55:21Z");
        EXPECT_EQ(object.value("data").toString(), "TWFu");
        EXPECT_EQ(object.value("list").toArray().size(), 2);
        EXPECT_TRUE(object.value("empty").toObject().isEmpty());
    }
}

TEST(CliJson, FormatsDatesInUtc)
{
    EXPECT_EQ(isoDate(PlistDate { 0 }), "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoDate(PlistDate { 1'999'999 }), "1970-01-01T00:00:01Z");
    EXPECT_EQ(isoDate(PlistDate { -1 }), "1969-12-31T23:59:59Z");
}

TEST(CliText, EscapesWhatATerminalWouldObeyAndReadsItBack)
{
    struct Row
    {
        std::string raw;
        std::string shown;
    };
    const Row rows[] = {
        { "plain name.txt", "plain name.txt" },
        { "caf\xC3\xA9 \xF0\x9F\x93\xB7", "caf\xC3\xA9 \xF0\x9F\x93\xB7" }, // valid UTF-8 stays
        { "two\nlines", "two\\nlines" },
        { "tab\there\r", "tab\\there\\r" },
        { "\x1b[31mred", "\\x1B[31mred" },
        { "bell\x07"
          "del\x7f",
            "bell\\x07del\\x7F" },
        { "c1\xC2\x9B"
          "csi",
            "c1\\xC2\\x9Bcsi" }, // U+009B steers terminals like ESC [
        { "bad\xff\xfe", "bad\\xFF\\xFE" },
        { "overlong\xC0\xAF", "overlong\\xC0\\xAF" },
        { "cut\xE2\x82", "cut\\xE2\\x82" },
        { "back\\slash", "back\\\\slash" },
        { "looks\\x41escaped", "looks\\\\x41escaped" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shown);
        EXPECT_EQ(escapeCliText(row.raw), row.shown);
        EXPECT_EQ(unescapeCliArgument(row.shown), row.raw);
    }
    // A backslash that starts no escape is kept as typed.
    EXPECT_EQ(unescapeCliArgument("a\\qb\\x4"), "a\\qb\\x4");
}

TEST(CliText, NamesFailuresInWords)
{
    EXPECT_EQ(afcFailureWords(AFCStatus::ObjectNotFound, "AFCFileInfoOpen failed: Return code = 0x0008"),
        "no such file or folder");
    EXPECT_EQ(afcFailureWords(AFCStatus::ConnectionError, "AFCRemovePath failed: Return code = 0x001E"),
        "the connection to the device was lost");
    EXPECT_EQ(afcFailureWords(AFCStatus::OpTimeout, "AFCFileRefRead failed: 12"), "the device did not answer in time");
    EXPECT_EQ(
        afcFailureWords(AFCStatus::Success, "Won't overwrite existing file"), "already exists (use -f to replace it)");
    EXPECT_EQ(deviceFailureWords("AMDeviceSecureStartService failed: e8000013", "x"), "invalid response");
    EXPECT_EQ(deviceFailureWords(std::nullopt, "the lookup failed"), "the lookup failed");
}
