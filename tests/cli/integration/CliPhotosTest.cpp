// torvane-cli photos against the simulated demo phone: the listing agrees with the phone's files,
// and a backup with --remove leaves byte-identical copies and nothing of them on the phone.

#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

constexpr auto TOOL_BOUND = std::chrono::seconds(240);

std::string sha256Of(const fs::path& path)
{
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex().toStdString();
}

QJsonArray jsonArrayOf(const ProcessResult& result)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(result.out));
    EXPECT_TRUE(document.isArray()) << result.out;
    return document.array();
}

} // namespace

TEST(CliPhotos, ListsTheCameraRollAndBacksUpVerifiedCopies)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const fs::path media = sim.mediaRoot(SimulatorFixture::DEMO_UDID);

    const ProcessResult all = runCli({ "photos", "--json" }, TOOL_BOUND);
    ASSERT_EQ(all.exitCode, 0) << all.err;
    const QJsonArray files = jsonArrayOf(all);
    std::size_t onPhone = 0;
    for (const auto& entry : fs::recursive_directory_iterator(media / "DCIM")) {
        onPhone += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(std::size_t(files.size()), onPhone);
    int videos = 0;
    for (const auto& value : files) {
        const QJsonObject file = value.toObject();
        const std::string path = file.value(QStringLiteral("path")).toString().toStdString();
        SCOPED_TRACE(path);
        ASSERT_TRUE(fs::exists(media / path.substr(1)));
        EXPECT_EQ(file.value(QStringLiteral("size")).toInteger(), qint64(fs::file_size(media / path.substr(1))));
        if (file.value(QStringLiteral("kind")).toString() == QStringLiteral("video")) {
            ++videos;
            EXPECT_GT(file.value(QStringLiteral("duration")).toDouble(), 0.0);
        } else {
            EXPECT_EQ(file.value(QStringLiteral("duration")).toDouble(), 0.0);
        }
    }
    EXPECT_GT(videos, 0);

    // Old photos only: few enough to copy quickly.
    const std::vector<std::string> choice { "--older-than", "1200", "--photos" };
    std::vector<std::string> listing { "photos", "--json" };
    listing.insert(listing.end(), choice.begin(), choice.end());
    const ProcessResult old = runCli(listing, TOOL_BOUND);
    ASSERT_EQ(old.exitCode, 0) << old.err;
    const QDateTime cutOff = QDateTime::currentDateTimeUtc().addDays(-1200);
    std::map<std::string, std::string> originals;
    for (const auto& value : jsonArrayOf(old)) {
        const QJsonObject file = value.toObject();
        EXPECT_EQ(file.value(QStringLiteral("kind")).toString(), QStringLiteral("photo"));
        EXPECT_LT(QDateTime::fromString(file.value(QStringLiteral("creationDate")).toString(), Qt::ISODate), cutOff);
        const std::string path = file.value(QStringLiteral("path")).toString().toStdString();
        originals[path] = sha256Of(media / path.substr(1));
    }
    ASSERT_GT(originals.size(), 2u);
    ASSERT_LT(originals.size(), 100u);

    TemporaryDirectory destination;
    std::vector<std::string> backup { "photos", "backup", destination.path().string(), "--remove" };
    backup.insert(backup.end(), choice.begin(), choice.end());
    const ProcessResult done = runCli(backup, TOOL_BOUND);
    ASSERT_EQ(done.exitCode, 0) << done.err << done.out;
    const fs::path folder = destination.path() / "Torvane Backup";
    for (const auto& [path, sha] : originals) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(fs::exists(media / path.substr(1))) << "still on the phone";
        EXPECT_EQ(sha256Of(folder / fs::path(path).filename()), sha);
    }
    // Each file: "verified, removing" before it went, then its outcome.
    std::ifstream log(folder / "backup-log.csv");
    std::size_t removing = 0;
    std::size_t removed = 0;
    for (std::string line; std::getline(log, line);) {
        const auto cells = csvCells(line);
        ASSERT_EQ(cells.size(), 9u) << line;
        removing += cells[6] == "verified, removing" ? 1 : 0;
        removed += cells[6] == "removed from the phone" ? 1 : 0;
        if (cells[6] != "outcome") {
            // The generated roll's photos carry EXIF; its screenshots and side files have no date.
            EXPECT_EQ(cells[8], cells[2].ends_with(".JPG") ? "EXIF" : "phone file date") << line;
            const QDateTime taken = QDateTime::fromString(QString::fromStdString(cells[7]), Qt::ISODate);
            ASSERT_TRUE(taken.isValid()) << line;
            EXPECT_EQ(QFileInfo(QString::fromStdString(cells[3])).lastModified().toMSecsSinceEpoch(),
                taken.toMSecsSinceEpoch())
                << line;
        }
    }
    EXPECT_EQ(removing, originals.size());
    EXPECT_EQ(removed, originals.size());
}

TEST(CliPhotos, RefusesContradictoryChoicesBeforeTouchingAPhone)
{
    const struct
    {
        std::vector<std::string> arguments;
        const char* what;
    } cases[] = {
        { { "photos", "--videos", "--photos" }, "both kinds excluded" },
        { { "photos", "--remove" }, "removal without a backup" },
        { { "photos", "--older-than", "a year" }, "not a number of days" },
        { { "photos", "--older-than", "-3" }, "negative days" },
        { { "photos", "restore", "/tmp" }, "unknown action" },
        { { "photos", "backup" }, "no destination" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult result = runCli(c.arguments, TOOL_BOUND);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(result.err.find("photos"), std::string::npos) << result.err;
    }
}
