#include "sim/services/SyslogFormat.h"

#include <cstdlib>

#include <gtest/gtest.h>

TEST(SyslogFormat, EscapesNonAsciiLikeVis)
{
    struct Row
    {
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        { "plain text [42] <Notice>:", "plain text [42] <Notice>:" },
        { "Anna\xE2\x80\x99s iPhone", "Anna\\M-b\\M^@\\M^Ys iPhone" }, // U+2019
        { "caf\xC3\xA9", "caf\\M-C\\M-)" },
        { "\xFF", "\\M^?" },
        { "", "" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(SyslogFormat::visEscape(row.in), row.out);
    }
}

TEST(SyslogFormat, RecordHasFixedColumnsAndEndsInNewlineAndNul)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // 2024-06-05 09:07:03 UTC: a one-digit day is padded with a space.
    const std::string line = SyslogFormat::record(1717578423, "Demo iPhone", "installd[58] <Notice>: hi");
    EXPECT_EQ(line, std::string("Jun  5 09:07:03 Demo iPhone installd[58] <Notice>: hi\n\0", 55));
    EXPECT_EQ(line[3], ' ');
    EXPECT_EQ(line[6], ' ');
    EXPECT_EQ(line[15], ' ');
}
