#include "platform/image_capture/ICBackupLog.h"
#include "platform/image_capture/ICFileNames.h"
#include "platform/image_capture/ICMovieHeader.h"
#include "platform/image_capture/ICVerifiedFileWriter.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QTimeZone>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

void putBe32(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += char((value >> shift) & 0xFF);
    }
}

void putBe64(std::string& out, std::uint64_t value)
{
    putBe32(out, std::uint32_t(value >> 32));
    putBe32(out, std::uint32_t(value));
}

std::string box(const std::string& type, const std::string& payload)
{
    std::string out;
    putBe32(out, std::uint32_t(8 + payload.size()));
    return out + type + payload;
}

std::string movieHeader(int version, std::uint32_t timescale, std::uint64_t duration)
{
    std::string payload;
    payload += char(version);
    payload += std::string(3, '\0');
    if (version == 1) {
        putBe64(payload, 0);
        putBe64(payload, 0);
        putBe32(payload, timescale);
        putBe64(payload, duration);
    } else {
        putBe32(payload, 0);
        putBe32(payload, 0);
        putBe32(payload, timescale);
        putBe32(payload, std::uint32_t(duration));
    }
    payload += std::string(80, '\0');
    return box("mvhd", payload);
}

/// A file in memory read through the parser's reader, counting reads.
struct MemoryFile
{
    std::string bytes;
    int reads = 0;
    std::optional<double> duration()
    {
        return ICMovieHeader::movieDurationSeconds(bytes.size(), [&](std::uint64_t offset, std::uint32_t length) {
            ++reads;
            if (offset > bytes.size()) {
                return std::optional<std::string>();
            }
            return std::optional<std::string>(bytes.substr(std::size_t(offset), length));
        });
    }
};

std::string sha256(const std::string& bytes)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256).toHex().toStdString();
}

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(ICMovieHeaderTest, ReadsDurationsWhereverTheMovieBoxSits)
{
    const std::string media(5000, 'm');
    std::string bigMdat;
    putBe32(bigMdat, 1);
    bigMdat += "mdat";
    putBe64(bigMdat, 16 + media.size());
    bigMdat += media;
    struct Case
    {
        const char* what;
        std::string file;
        std::optional<double> seconds;
    };
    const std::vector<Case> cases {
        { "QuickTime, movie after the media",
            box("ftyp", "qt  ") + box("wide", "") + box("mdat", media) + box("moov", movieHeader(0, 600, 1860)), 3.1 },
        { "MP4, version 1 header first",
            box("ftyp", "mp42") + box("moov", movieHeader(1, 1000, 12'500)) + box("mdat", media), 12.5 },
        { "64-bit media size", box("ftyp", "qt  ") + bigMdat + box("moov", movieHeader(0, 600, 600)), 1.0 },
        { "header not first in the movie box",
            box("ftyp", "qt  ") + box("moov", box("udta", std::string(40, 'u')) + movieHeader(0, 90'000, 45'000)),
            0.5 },
        { "unknown duration", box("moov", movieHeader(0, 600, 0xFFFFFFFFu)), std::nullopt },
        { "zero timescale", box("moov", movieHeader(0, 0, 600)), std::nullopt },
        { "no movie box: a photo", box("ftyp", "heic") + box("mdat", media), std::nullopt },
        { "JPEG bytes", "\xFF\xD8\xFF\xE0" + std::string(100, 'j'), std::nullopt },
        { "box larger than the file", box("ftyp", "qt  ").substr(0, 4) + "ftyp", std::nullopt },
        { "truncated header", box("moov", movieHeader(0, 600, 600)).substr(0, 30), std::nullopt },
        { "empty file", "", std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryFile file { c.file };
        const auto seconds = file.duration();
        ASSERT_EQ(seconds.has_value(), c.seconds.has_value());
        if (seconds) {
            EXPECT_DOUBLE_EQ(*seconds, *c.seconds);
        }
        // One read per top-level box and one for the movie box: the media is never read.
        EXPECT_LE(file.reads, 5);
    }
}

TEST(ICMovieHeaderTest, StopsOnAFileOfEndlessTinyBoxes)
{
    std::string boxes;
    for (int i = 0; i < 10'000; ++i) {
        boxes += box("free", "");
    }
    MemoryFile file { boxes + box("moov", movieHeader(0, 600, 600)) };
    EXPECT_FALSE(file.duration());
    EXPECT_LE(file.reads, ICMovieHeader::MAX_TOP_LEVEL_BOXES);
}

TEST(ICFileNamesTest, DeviceNamesBecomeSingleSafeComponents)
{
    const std::vector<std::pair<std::string, std::string>> cases {
        { "IMG_0001.JPG", "IMG_0001.JPG" },
        { "Fotó 日本.HEIC", "Fotó 日本.HEIC" },
        { "..", "_." },
        { ".", "_" },
        { "../../etc/passwd", "_._.._etc_passwd" },
        { ".hidden.JPG", "_hidden.JPG" },
        { "a/b.JPG", "a_b.JPG" },
        { "a\\b.JPG", "a_b.JPG" },
        { std::string("nul\0byte.JPG", 12), "nul_byte.JPG" },
        { "line\nbreak\r.JPG", "line_break_.JPG" },
        { "", "unnamed" },
        { "   ", "unnamed" },
        { "bad\xFFutf8.JPG", "bad\xEF\xBF\xBDutf8.JPG" },
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ICFileNames::sanitizedFileName(name), expected);
        EXPECT_EQ(ICFileNames::sanitizedFileName(expected), expected) << "sanitising is stable";
    }
    const std::string longName = std::string(300, 'x') + ".MOV";
    const std::string cut = ICFileNames::sanitizedFileName(longName);
    EXPECT_EQ(cut.size(), 255u);
    EXPECT_TRUE(cut.ends_with(".MOV"));

    EXPECT_EQ(ICFileNames::numberedFileName("IMG_0001.JPG", 0), "IMG_0001.JPG");
    EXPECT_EQ(ICFileNames::numberedFileName("IMG_0001.JPG", 2), "IMG_0001 (2).JPG");
    EXPECT_EQ(ICFileNames::numberedFileName("README", 1), "README (1)");
    EXPECT_EQ(ICFileNames::numberedFileName(cut, 12).size(), 255u);

    EXPECT_TRUE(ICFileNames::isMovieName("IMG_0001.MOV"));
    EXPECT_TRUE(ICFileNames::isMovieName("clip.mp4"));
    EXPECT_FALSE(ICFileNames::isMovieName("IMG_0001.AAE"));
    EXPECT_FALSE(ICFileNames::isMovieName("MOV"));
}

class ICVerifiedFileWriterTest : public testing::Test
{
protected:
    std::optional<ICPlacedFile> receive(const std::string& name,
        const std::string& bytes,
        std::uint64_t expected,
        std::optional<std::int64_t> modified = std::nullopt)
    {
        ICVerifiedFileWriter writer;
        if (!writer.begin(folder.string())) {
            lastError = writer.error();
            return std::nullopt;
        }
        for (std::size_t at = 0; at < bytes.size(); at += 7000) {
            if (!writer.append(std::string_view(bytes).substr(at, 7000))) {
                lastError = writer.error();
                return std::nullopt;
            }
        }
        std::string written;
        EXPECT_TRUE(writer.readWritten([&](std::string_view all) { written = all; }));
        EXPECT_EQ(written, bytes);
        writer.setModificationTime(modified);
        auto placed = writer.finish(name, expected);
        lastError = writer.error();
        return placed;
    }

    TemporaryDirectory root;
    fs::path folder { root.path() / "Torvane Backup" };
    std::string lastError;

    void SetUp() override { fs::create_directories(folder); }
};

TEST_F(ICVerifiedFileWriterTest, PlacesVerifiedFilesWithoutEverReplacingOne)
{
    const std::string first(50'000, 'a');
    const std::string other(50'000, 'b');
    // Dated when it was taken, to the millisecond, before 1970 too.
    const std::int64_t taken = -1'500;
    const auto placed = receive("IMG_0001.JPG", first, first.size(), taken);
    ASSERT_TRUE(placed) << lastError;
    EXPECT_EQ(placed->path, (folder / "IMG_0001.JPG").string());
    EXPECT_EQ(placed->sha256, sha256(first));
    EXPECT_FALSE(placed->alreadyPresent);
    const auto modifiedMsecs = [](const fs::path& path) {
        struct stat info
        {
        };
        EXPECT_EQ(::stat(path.c_str(), &info), 0);
        return std::int64_t(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1'000'000;
    };
    EXPECT_EQ(modifiedMsecs(folder / "IMG_0001.JPG"), taken);

    // Another file under the same name goes beside it; the first is untouched.
    const auto second = receive("IMG_0001.JPG", other, other.size());
    ASSERT_TRUE(second) << lastError;
    EXPECT_EQ(second->path, (folder / "IMG_0001 (1).JPG").string());
    EXPECT_EQ(readAll(folder / "IMG_0001.JPG"), first);
    EXPECT_EQ(readAll(folder / "IMG_0001 (1).JPG"), other);

    // The same bytes again (a re-run after an interrupted removal) are recognised, not duplicated.
    // A file found already there keeps its own time.
    const std::int64_t secondTime = modifiedMsecs(folder / "IMG_0001 (1).JPG");
    const auto again = receive("IMG_0001.JPG", other, other.size(), 1'000'000'000'000);
    ASSERT_TRUE(again) << lastError;
    EXPECT_TRUE(again->alreadyPresent);
    EXPECT_EQ(modifiedMsecs(folder / "IMG_0001 (1).JPG"), secondTime);
    EXPECT_EQ(modifiedMsecs(folder / "IMG_0001.JPG"), taken);
    EXPECT_EQ(again->path, (folder / "IMG_0001 (1).JPG").string());
    EXPECT_EQ(namesIn(folder), (std::vector<std::string> { "IMG_0001 (1).JPG", "IMG_0001.JPG" }));
}

TEST_F(ICVerifiedFileWriterTest, LeavesNothingBehindWhenAStepFails)
{
    const std::string bytes(10'000, 'z');
    struct Case
    {
        const char* what;
        std::string name;
        std::uint64_t expected;
    };
    const std::vector<Case> cases {
        { "fewer bytes than the phone announced", "short.JPG", bytes.size() + 1 },
        { "more bytes than announced", "long.JPG", bytes.size() - 1 },
        { "a name with a path in it", "../escape.JPG", bytes.size() },
        { "a hidden name", ".profile", bytes.size() },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(receive(c.name, bytes, c.expected));
        EXPECT_FALSE(lastError.empty());
        EXPECT_TRUE(namesIn(folder).empty());
        EXPECT_FALSE(fs::exists(root.path() / "escape.JPG"));
    }
}

TEST_F(ICVerifiedFileWriterTest, AFullDiskFailsTheFileAndLeavesNoPartialCopy)
{
    // The file-size limit makes the kernel refuse writes past it, as a full disk does.
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string big(200'000, 'q');
    const auto placed = receive("IMG_0002.MOV", big, big.size());
    const std::string error = lastError;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(placed);
    EXPECT_NE(error.find("Cannot write"), std::string::npos) << error;
    EXPECT_TRUE(namesIn(folder).empty());
}

TEST(ICBackupLogTest, RefusesABackupFolderThatIsALinkElsewhere)
{
    TemporaryDirectory root;
    fs::create_directories(root.path() / "elsewhere");
    fs::create_directory_symlink(root.path() / "elsewhere", root.path() / "Torvane Backup");
    const std::string folder = (root.path() / "Torvane Backup").string();
    ICBackupLog log(folder);
    EXPECT_FALSE(log.isOpen());
    ICVerifiedFileWriter writer;
    EXPECT_FALSE(writer.begin(folder));
    EXPECT_TRUE(namesIn(root.path() / "elsewhere").empty());
}

TEST(ICBackupLogTest, AppendsQuotedLinesUnderOneHeaderAndKeepsAnOlderLogsColumns)
{
    TemporaryDirectory root;
    ICBackupLogEntry entry;
    entry.time = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    entry.device = "=HYPERLINK(\"x\"),\nPhone";
    entry.devicePath = "/DCIM/100APPLE/IMG_0001.JPG";
    entry.localPath = "/home/u/Pictures/Torvane Backup/IMG_0001.JPG";
    entry.size = 1234;
    entry.sha256 = std::string(64, 'a');
    entry.outcome = "removed from the phone";
    entry.captureTime = QDateTime(QDate(2015, 3, 7), QTime(14, 22, 5), QTimeZone(-3 * 3600));
    entry.captureTimeSource = "EXIF";
    {
        ICBackupLog log(root.path().string());
        ASSERT_TRUE(log.isOpen()) << log.error();
        EXPECT_FALSE(log.sevenColumns());
        EXPECT_TRUE(log.append(entry));
    }
    ICBackupLogEntry failed = entry;
    failed.outcome = "error: Reading failed, still on the phone";
    failed.captureTime = QDateTime();
    {
        ICBackupLog reopened(root.path().string());
        EXPECT_FALSE(reopened.sevenColumns());
        EXPECT_TRUE(reopened.append(failed));
        entry.captureTime = QDateTime(QDate(2016, 6, 9), QTime(8, 30, 0), Qt::UTC);
        entry.captureTimeSource = "movie header";
        EXPECT_TRUE(reopened.append(entry));
    }
    const std::string text = readAll(root.path() / ICBackupLog::FILE_NAME);
    const std::string line = "2023-11-14T22:13:20Z,\"'=HYPERLINK(\"\"x\"\"),\nPhone\",/DCIM/100APPLE/IMG_0001.JPG,"
                             "/home/u/Pictures/Torvane Backup/IMG_0001.JPG,1234,"
        + std::string(64, 'a');
    EXPECT_EQ(text,
        std::string(ICBackupLog::HEADER) + "\n" + line + ",removed from the phone,2015-03-07T14:22:05-03:00,EXIF\n"
            + line + ",\"error: Reading failed, still on the phone\",,\n" + line
            + ",removed from the phone,2016-06-09T08:30:00Z,movie header\n");

    // A log begun before the capture-time columns goes on with the seven its header names.
    TemporaryDirectory older;
    std::ofstream(older.path() / ICBackupLog::FILE_NAME) << ICBackupLog::SEVEN_COLUMN_HEADER << "\n"
                                                         << line << ",removed from the phone\n";
    {
        ICBackupLog log(older.path().string());
        EXPECT_TRUE(log.sevenColumns());
        EXPECT_TRUE(log.append(entry));
    }
    EXPECT_EQ(readAll(older.path() / ICBackupLog::FILE_NAME),
        std::string(ICBackupLog::SEVEN_COLUMN_HEADER) + "\n" + line + ",removed from the phone\n" + line
            + ",removed from the phone\n");
}
