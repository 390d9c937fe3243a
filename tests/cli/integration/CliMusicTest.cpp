// torvane-cli music: listing and removing songs on the simulated phone, its --json output read
// with Qt's JSON parser.

#include "tests/platform/MediaLibrarySnapshot.h"
#include "tests/support/SimulatorFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

QJsonArray songsOf(const ProcessResult& run)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).array();
}

} // namespace

TEST(CliMusic, ListsAndRemovesSongsByPersistentId)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    // Backups go to the data folder: a temporary one here, never the user's.
    TemporaryDirectory data;
    ScopedEnvironment dataHome("XDG_DATA_HOME", data.path().string());

    const ProcessResult all = runCli({ "music", "--json" }, 60s);
    ASSERT_EQ(all.exitCode, 0) << all.err;
    const QJsonArray songs = songsOf(all);
    ASSERT_EQ(songs.size(), 200);
    int podcasts = 0;
    for (const auto& value : songs) {
        const QJsonObject song = value.toObject();
        EXPECT_FALSE(song.value(QStringLiteral("name")).toString().isEmpty());
        EXPECT_GT(song.value(QStringLiteral("size")).toDouble(), 0);
        podcasts += song.value(QStringLiteral("type")).toString() == QStringLiteral("podcast") ? 1 : 0;
    }
    EXPECT_EQ(podcasts, 30);

    const ProcessResult old = runCli({ "music", "--older-than", "365", "--json" }, 60s);
    ASSERT_EQ(old.exitCode, 0) << old.err;
    const QJsonArray oldSongs = songsOf(old);
    EXPECT_GT(oldSongs.size(), 0);
    EXPECT_LT(oldSongs.size(), songs.size());
    const QDateTime cutOff = QDateTime::currentDateTimeUtc().addDays(-365).addSecs(60);
    for (const auto& value : oldSongs) {
        const QJsonValue played = value.toObject().value(QStringLiteral("played"));
        EXPECT_TRUE(played.isNull() || QDateTime::fromString(played.toString(), Qt::ISODate) <= cutOff);
    }

    const ProcessResult text = runCli({ "music" }, 60s);
    ASSERT_EQ(text.exitCode, 0) << text.err;

    // Persistent ids come as text, every digit of their 64 bits kept; the text listing has them too.
    std::vector<std::string> doomed;
    for (int i = 0; i < 2; ++i) {
        doomed.push_back(oldSongs[i].toObject().value(QStringLiteral("pid")).toString().toStdString());
        EXPECT_NE(text.out.find(doomed.back() + "  "), std::string::npos);
    }
    ASSERT_EQ(doomed.size(), 2u);
    const fs::path library = sim.mediaRoot(SimulatorFixture::DEMO_UDID) / "iTunes_Control/iTunes/MediaLibrary.sqlitedb";
    const auto before = MediaLibrarySnapshot::read(library);

    const ProcessResult removed = runCli({ "music", "rm", doomed[0], doomed[1], "--json" }, 60s);
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    const QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(removed.out)).object();
    EXPECT_EQ(report.value(QStringLiteral("removed")).toInt(), 2);
    EXPECT_GT(report.value(QStringLiteral("bytes")).toDouble(), 0);
    const QString backup = report.value(QStringLiteral("backup")).toString();
    EXPECT_TRUE(backup.startsWith(QString::fromStdString(data.path().string()))) << backup.toStdString();
    EXPECT_TRUE(fs::exists(backup.toStdString() + "/MediaLibrary.sqlitedb"));

    const auto after = MediaLibrarySnapshot::read(library);
    EXPECT_EQ(after.integrity, "ok");
    EXPECT_EQ(after.rows,
        before.without({ std::int64_t(std::stoull(doomed[0])), std::int64_t(std::stoull(doomed[1])) }).rows);
    const ProcessResult again = runCli({ "music", "--json" }, 60s);
    EXPECT_EQ(songsOf(again).size(), 198);

    struct Row
    {
        std::vector<std::string> arguments;
        int exitCode;
        const char* message;
    };
    const Row rows[] = {
        { { "music", "rm" }, 2, "needs the persistent ids" },
        { { "music", "rm", "12x" }, 2, "not a persistent id: 12x" },
        { { "music", "--older-than", "-3" }, 2, "--older-than needs a number of days" },
        { { "music", "play" }, 2, "unknown subcommand play" },
        { { "music", "rm", doomed[0] }, 1, "none of those songs" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        const ProcessResult run = runCli(row.arguments, 60s);
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
}
