#include "base/PlistValue.h"
#include "tests/base/CommaLocale.h"
#include "tests/base/PlistPrinting.h"

#include <clocale>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t SECOND = 1000000;

PlistValue date(std::int64_t micros)
{
    return PlistValue(PlistDate { micros });
}

PlistData allBytes()
{
    PlistData data;
    for (int i = 0; i < 256; ++i) {
        data.push_back(std::uint8_t(i));
    }
    return data;
}

struct Sample
{
    const char* name;
    PlistValue value;
};

std::vector<Sample> samples()
{
    return {
        { "true", true },
        { "false", false },
        { "zero", 0 },
        { "minus one", -1 },
        { "int64 min", static_cast<long long>(std::numeric_limits<std::int64_t>::min()) },
        { "int64 max", static_cast<long long>(std::numeric_limits<std::int64_t>::max()) },
        { "2^63", 9223372036854775808ull },
        { "uint64 max", 18446744073709551615ull },
        { "over 4 GiB", 5000000000ll },
        { "real", 0.1 },
        { "negative real", -1.5e300 },
        { "infinity", std::numeric_limits<double>::infinity() },
        { "smallest denormal", std::numeric_limits<double>::denorm_min() },
        { "empty string", "" },
        { "non-ASCII string", "Fotos – Ünïcödé ✓ 日本語 😀" },
        { "markup in string", "<date>2001-01-01T00:00:00Z</date> & \"quotes\" 'x'" },
        { "empty data", PlistData {} },
        { "every byte", allBytes() },
        { "Unix epoch", date(0) },
        { "one microsecond", date(1) },
        { "sub-second after 2001", date(1700000000 * SECOND + 123456) },
        { "sub-second before 2001", date(631152000 * SECOND + 999999) },
        { "half second before 1970", date(-SECOND / 2) },
        { "plist epoch", date(978307200 * SECOND) },
        { "just before plist epoch", date(978307200 * SECOND - 1) },
        { "uid zero", PlistUid { 0 } },
        { "uid", PlistUid { 123456 } },
        { "largest uid", PlistUid { 0xFFFFFFFF } },
        { "empty array", PlistArray {} },
        { "empty dictionary", PlistDictionary {} },
        { "nested",
            PlistDictionary {
                { "", "empty key" },
                { "ключ", PlistArray { PlistArray {}, PlistDictionary {}, date(1234567) } },
                { "numbers", PlistArray { -7, 18446744073709551615ull, 2.5, true } },
                { "deeper", PlistDictionary { { "a", PlistDictionary { { "b", PlistArray { "c" } } } } } },
            } },
    };
}

// Builds a binary document from raw objects (references inside them are 4 bytes wide).
std::string binaryDocument(const std::vector<std::string>& objects, std::uint64_t root = 0)
{
    std::string document = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(document.size());
        document += object;
    }
    auto bigEndian = [](std::uint64_t value, int size) {
        std::string bytes;
        for (int i = size - 1; i >= 0; --i) {
            bytes += char((value >> (8 * i)) & 0xFF);
        }
        return bytes;
    };
    const std::uint64_t tableOffset = document.size();
    for (std::uint64_t offset : offsets) {
        document += bigEndian(offset, 8);
    }
    document += std::string(6, '\0');
    document += char(8); // offset size
    document += char(4); // reference size
    document += bigEndian(objects.size(), 8);
    document += bigEndian(root, 8);
    document += bigEndian(tableOffset, 8);
    return document;
}

std::string arrayObject(const std::vector<std::uint32_t>& references)
{
    std::string object(1, char(0xA0 | references.size()));
    for (std::uint32_t reference : references) {
        for (int i = 3; i >= 0; --i) {
            object += char((reference >> (8 * i)) & 0xFF);
        }
    }
    return object;
}

} // namespace

TEST(PlistCodec, RoundTripsEveryTypeInBothFormats)
{
    for (const Sample& sample : samples()) {
        SCOPED_TRACE(sample.name);
        const std::optional<std::string> xml = PlistCodec::toXml(sample.value);
        ASSERT_TRUE(xml);
        std::string error;
        const std::optional<PlistValue> fromXml = PlistCodec::fromXml(*xml, &error);
        ASSERT_TRUE(fromXml) << error << "\n" << *xml;
        EXPECT_EQ(*fromXml, sample.value) << *xml;
        const bool aboveInt64 = sample.value.isUnsignedInteger()
            && *sample.value.toUInt64() > std::uint64_t(std::numeric_limits<std::int64_t>::max());
        EXPECT_EQ(fromXml->isUnsignedInteger(), aboveInt64);

        const std::optional<std::string> binary = PlistCodec::toBinary(sample.value);
        ASSERT_TRUE(binary);
        const std::optional<PlistValue> fromBinary = PlistCodec::fromBinary(*binary, &error);
        ASSERT_TRUE(fromBinary) << error;
        EXPECT_EQ(*fromBinary, sample.value);
        EXPECT_EQ(fromBinary->isUnsignedInteger(), fromXml->isUnsignedInteger());

        EXPECT_EQ(PlistCodec::fromAny(*xml), sample.value);
        EXPECT_EQ(PlistCodec::fromAny(*binary), sample.value);
    }
}

TEST(PlistCodec, WritesAndReadsExactDateTexts)
{
    const std::optional<std::string> xml = PlistCodec::toXml(
        PlistArray { date(978307200 * SECOND + SECOND / 2), date(-1), date(253402300799 * SECOND + 999999) });
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<date>2001-01-01T00:00:00.5Z</date>"), std::string::npos) << *xml;
    EXPECT_NE(xml->find("<date>1969-12-31T23:59:59.999999Z</date>"), std::string::npos) << *xml;
    EXPECT_NE(xml->find("<date>9999-12-31T23:59:59.999999Z</date>"), std::string::npos) << *xml;

    struct Row
    {
        const char* text;
        std::int64_t micros;
    } rows[] = {
        { "2021-03-04T05:06:07Z", 1614834367 * SECOND },
        { "2021-03-04T05:06:07.123456Z", 1614834367 * SECOND + 123456 },
        { "2021-03-04T05:06:07.1234567Z", 1614834367 * SECOND + 123456 },
        { "2021-03-04T05:06:07.5Z", 1614834367 * SECOND + 500000 },
        { "1900-02-28T00:00:00.25Z", -2203977600 * SECOND + 250000 },
        { "2100-01-01T00:00:00Z", 4102444800 * SECOND },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string document = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                                                 "<dict><key>when</key><date>")
            + row.text + "</date></dict>\n</plist>\n";
        std::string error;
        const std::optional<PlistValue> value = PlistCodec::fromXml(document, &error);
        ASSERT_TRUE(value) << error;
        ASSERT_TRUE(value->find("when"));
        EXPECT_EQ(value->find("when")->toDate(), PlistDate { row.micros });
    }
}

TEST(PlistCodec, DuplicateKeysNeverShiftDatesOntoOtherKeys)
{
    // libplist keeps one value of a repeated key, so the exact date texts no longer line up with
    // the dates it kept. Rather than give "b" the time of a dropped "a", the document is refused.
    const std::string document = "<plist version=\"1.0\"><dict>"
                                 "<key>a</key><date>2001-01-01T00:00:01.5Z</date>"
                                 "<key>a</key><date>2001-01-01T00:00:02.25Z</date>"
                                 "<key>b</key><date>2001-01-01T00:00:03.75Z</date>"
                                 "</dict></plist>";
    std::string error;
    EXPECT_FALSE(PlistCodec::fromXml(document, &error));
    EXPECT_NE(error.find("date elements"), std::string::npos) << error;

    // Repeated keys without dates are read; one of the values is kept.
    const std::optional<PlistValue> plain
        = PlistCodec::fromXml("<plist version=\"1.0\"><dict><key>a</key><integer>1</integer>"
                              "<key>a</key><integer>2</integer></dict></plist>");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->asDictionary()->size(), 1u);
}

TEST(PlistCodec, WritesIntegersWithTheirSign)
{
    const std::optional<std::string> xml
        = PlistCodec::toXml(PlistArray { -5, 18446744073709551615ull, 9223372036854775807ll });
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<integer>-5</integer>"), std::string::npos);
    EXPECT_NE(xml->find("<integer>18446744073709551615</integer>"), std::string::npos);
    EXPECT_NE(xml->find("<integer>9223372036854775807</integer>"), std::string::npos);
}

TEST(PlistCodec, RealsDoNotDependOnTheLocale)
{
    // Qt applications take LC_NUMERIC from the environment; a decimal comma must not truncate reals.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const char* chosen = switchToCommaLocale();
    if (!chosen) {
        GTEST_SKIP() << "no locale with a decimal comma is installed, and localedef could not make one";
    }
    const std::optional<PlistValue> read = PlistCodec::fromXml("<plist version=\"1.0\"><real>2.5</real></plist>");
    const std::optional<std::string> written = PlistCodec::toXml(PlistValue(0.25));
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->toDouble(), 2.5) << chosen;
    ASSERT_TRUE(written);
    EXPECT_NE(written->find("<real>0.25</real>"), std::string::npos) << *written;
}

TEST(PlistCodec, ReadsXmlUidDictionariesOnlyWhenTheyFitAUid)
{
    const std::string head = "<plist version=\"1.0\"><dict><key>CF$UID</key><integer>";
    const std::string tail = "</integer></dict></plist>";
    EXPECT_EQ(PlistCodec::fromXml(head + "7" + tail), PlistValue(PlistUid { 7 }));
    EXPECT_EQ(PlistCodec::fromXml(head + "-3" + tail), PlistValue(PlistDictionary { { "CF$UID", -3 } }));
    EXPECT_EQ(
        PlistCodec::fromXml(head + "4294967296" + tail), PlistValue(PlistDictionary { { "CF$UID", 4294967296ll } }));
}

TEST(PlistCodec, DatesOutsideAFormatsRangeAreRefused)
{
    // libplist 2.2 keeps binary dates as 32-bit seconds from 2001: 1932-12-13T20:45:52Z to 2069-01-19T03:14:07Z.
    const std::int64_t lastBinarySecond = (978307200ll + 2147483647ll) * SECOND;
    EXPECT_TRUE(PlistCodec::toBinary(date(lastBinarySecond + 999999)));
    EXPECT_FALSE(PlistCodec::toBinary(date(lastBinarySecond + SECOND)));
    const std::int64_t firstBinarySecond = (978307200ll - 2147483648ll) * SECOND;
    EXPECT_TRUE(PlistCodec::toBinary(date(firstBinarySecond)));
    EXPECT_FALSE(PlistCodec::toBinary(date(firstBinarySecond - 1)));

    // XML has no such limit, only four-digit years.
    const PlistValue far = date(4102444800 * SECOND + 7);
    EXPECT_EQ(PlistCodec::fromXml(*PlistCodec::toXml(far)), far);
    EXPECT_FALSE(PlistCodec::toXml(date(253402300800 * SECOND)));
    EXPECT_FALSE(PlistCodec::toXml(date(std::numeric_limits<std::int64_t>::min())));
}

TEST(PlistCodec, EncodersRefuseUnencodableValues)
{
    const PlistValue rows[] = {
        PlistValue(), PlistArray { 1, PlistValue() },
        PlistDictionary { { "a", PlistDictionary { { "b", PlistValue() } } } }, PlistValue(std::string("a\0b", 3)),
        PlistDictionary { { std::string("k\0", 2), 1 } }, PlistUid { 0x100000000 },
        // Bytes that are not UTF-8, as a phone may send them in a binary ASCII string (found by
        // fuzzing): written back they gave documents that no reader accepts.
        PlistValue(std::string("\xf1omain")), PlistDictionary { { std::string("\xc0\xaf"), 1 } }, // overlong "/"
        PlistValue(std::string("\xed\xa0\x80")), // a lone surrogate
        PlistValue(std::string("\xf4\x90\x80\x80")), // above U+10FFFF
        PlistValue(std::string("\xe2\x82")), // cut short
    };
    for (const PlistValue& value : rows) {
        EXPECT_FALSE(PlistCodec::toXml(value));
        EXPECT_FALSE(PlistCodec::toBinary(value));
    }
    const PlistValue text(PlistDictionary { { "\xc3\xa9", PlistValue("\xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf") } });
    EXPECT_EQ(PlistCodec::fromXml(PlistCodec::toXml(text).value()), text);
    EXPECT_EQ(PlistCodec::fromBinary(PlistCodec::toBinary(text).value()), text);
}

TEST(PlistCodec, NestingIsLimitedBothWays)
{
    PlistValue value = PlistArray {};
    for (int i = 0; i < PlistCodec::MAX_NESTING_DEPTH; ++i) {
        value = PlistArray { std::move(value) };
    }
    // MAX_NESTING_DEPTH + 1 arrays: one too many.
    EXPECT_FALSE(PlistCodec::toXml(value));
    EXPECT_FALSE(PlistCodec::toBinary(value));
    PlistValue allowed = std::move((*value.asArray())[0]);
    const std::optional<std::string> xml = PlistCodec::toXml(allowed);
    const std::optional<std::string> binary = PlistCodec::toBinary(allowed);
    ASSERT_TRUE(xml);
    ASSERT_TRUE(binary);
    EXPECT_EQ(PlistCodec::fromXml(*xml), allowed);
    EXPECT_EQ(PlistCodec::fromBinary(*binary), allowed);

    // Far deeper hostile documents fail cleanly instead of overflowing the stack.
    const int hostileDepth = 100000;
    std::string deepXml = "<plist version=\"1.0\">";
    for (int i = 0; i < hostileDepth; ++i) {
        deepXml += "<array>";
    }
    for (int i = 0; i < hostileDepth; ++i) {
        deepXml += "</array>";
    }
    deepXml += "</plist>";
    std::string error;
    EXPECT_FALSE(PlistCodec::fromXml(deepXml, &error));
    EXPECT_NE(error.find("nesting"), std::string::npos) << error;

    // Stray closing tags cannot hide the nesting from the check.
    std::string disguised = "<plist version=\"1.0\">";
    for (int i = 0; i < hostileDepth; ++i) {
        disguised += "<array></string>";
    }
    error.clear();
    EXPECT_FALSE(PlistCodec::fromXml(disguised, &error));
    EXPECT_FALSE(error.empty());

    std::vector<std::string> objects;
    objects.reserve(hostileDepth);
    for (int i = 0; i < hostileDepth; ++i) {
        objects.push_back(arrayObject({ std::uint32_t(i + 1) }));
    }
    objects.push_back(arrayObject({}));
    error.clear();
    EXPECT_FALSE(PlistCodec::fromBinary(binaryDocument(objects), &error));
    EXPECT_NE(error.find("nesting"), std::string::npos) << error;
}

TEST(PlistCodec, RefusesBinaryReferenceBombsAndCycles)
{
    // Each array refers twice to the next: 60 small objects expand to 2^60 nodes.
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < 60; ++i) {
        objects.push_back(arrayObject({ i + 1, i + 1 }));
    }
    objects.push_back(std::string("\x5F\x10\x40", 3) + std::string(64, 'x'));
    std::string error;
    EXPECT_FALSE(PlistCodec::fromBinary(binaryDocument(objects), &error));
    EXPECT_NE(error.find("expands"), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(PlistCodec::fromBinary(binaryDocument({ arrayObject({ 0 }) }), &error));
    EXPECT_FALSE(error.empty());

    // Sharing on a legitimate scale is fine: writers unique repeated strings.
    std::vector<std::uint32_t> references(14, 1);
    const std::optional<PlistValue> shared = PlistCodec::fromBinary(binaryDocument({ arrayObject(references),
        "\x53"
        "abc" }));
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->asArray()->size(), 14u);
    EXPECT_EQ(*(*shared->asArray())[13].asString(), "abc");
}

TEST(PlistCodec, GarbageGivesAnError)
{
    const std::string rows[] = {
        "",
        "garbage",
        "<plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><integer>12</string></plist>",
        "<plist version=\"1.0\"><date>yesterday</dat></plist>",
        "bplist00",
        "bplist00" + std::string(40, '\xFF'),
        "bplist00" + std::string(40, '\0'),
        binaryDocument({ arrayObject({ 7 }) }),
        binaryDocument({ "\x5F\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF" }),
        binaryDocument({ "\x6F\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF" }),
        binaryDocument({ std::string("\xAF\x13\x40\x00\x00\x00\x00\x00\x00\x00", 10) }),
        binaryDocument({ std::string("\x33\x00", 2) }),
        binaryDocument({ "\x70" }),
        // Keys libplist would abort on, or that are no strings at all.
        binaryDocument({ std::string("\xD1\0\0\0\x01\0\0\0\x02", 9),
            std::string("\x52"
                        "a\0",
                3),
            "\x09" }),
        binaryDocument({ std::string("\xD1\0\0\0\x01\0\0\0\x02", 9), std::string("\x61\0\0", 3), "\x09" }),
        binaryDocument({ std::string("\xD1\0\0\0\x01\0\0\0\x01", 9), "\x10\x05" }),
        std::string("<plist version=\"1.0\"><dict><key>a\0</key><true/></dict></plist>", 62),
        "<plist version=\"1.0\"><dict><key>a&#0;</key><true/></dict></plist>",
        "<plist version=\"1.0\"><dict><key>a&#x00;</key><true/></dict></plist>",
    };
    for (const std::string& document : rows) {
        SCOPED_TRACE(testing::PrintToString(document));
        std::string error;
        EXPECT_FALSE(PlistCodec::fromAny(document, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(PlistCodec, EveryPrefixAndByteFlipFailsCleanlyOrParses)
{
    const PlistValue value = PlistDictionary {
        { "name", "Ünïcödé" },
        { "list", PlistArray { 1, -2, 18446744073709551615ull, 2.5, true, PlistData { 1, 2, 3 } } },
        { "when", date(1700000000 * SECOND + 5) },
        { "uid", PlistUid { 7 } },
    };
    const std::string xml = *PlistCodec::toXml(value);
    const std::string binary = *PlistCodec::toBinary(value);
    for (const std::string* document : { &xml, &binary }) {
        for (std::size_t length = 0; length < document->size(); ++length) {
            // A heap copy of exactly `length` bytes, so a reader running past the end is caught by ASan.
            const std::vector<char> prefix(document->begin(), document->begin() + std::ptrdiff_t(length));
            std::string error;
            const std::optional<PlistValue> parsed
                = PlistCodec::fromAny(std::string_view(prefix.data(), length), &error);
            EXPECT_TRUE(parsed || !error.empty()) << "prefix " << length;
        }
    }
    EXPECT_FALSE(PlistCodec::fromBinary(binary.substr(0, binary.size() - 1)));
    for (std::size_t i = 0; i < binary.size(); ++i) {
        for (unsigned char flip : { 0x01, 0x80, 0xFF }) {
            std::string mutated = binary;
            mutated[i] = char(mutated[i] ^ flip);
            std::string error;
            const std::optional<PlistValue> parsed = PlistCodec::fromBinary(mutated, &error);
            EXPECT_TRUE(parsed || !error.empty()) << "byte " << i;
        }
    }
}

TEST(PlistCodec, OversizedInputIsRefusedBeforeParsing)
{
    const std::string huge(PlistCodec::MAX_DOCUMENT_SIZE + 1, ' ');
    std::string error;
    EXPECT_FALSE(PlistCodec::fromXml(huge, &error));
    EXPECT_NE(error.find("exceeds"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(PlistCodec::fromBinary(huge, &error));
    EXPECT_NE(error.find("exceeds"), std::string::npos) << error;
}
