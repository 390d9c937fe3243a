#include "platform/ECAppSizeFetcher.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "tests/support/LocalHttpServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <chrono>

#include <gtest/gtest.h>

namespace {

class ECAppSizeFetcherTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "platform_tests";
            static char* argv[] = { name, nullptr };
            s_app = new QCoreApplication(argc, argv);
        }
    }

    QString cachePath() const { return folder.path() + QStringLiteral("/Torvane/AppSizes.plist"); }

    static void writeText(const QString& path, const QByteArray& text)
    {
        QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    /// The cache file's entries as the next run would read them.
    PlistDictionary fileEntries() const
    {
        QFile file(cachePath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        const QByteArray bytes = file.readAll();
        const auto value = PlistCodec::fromAny(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        return value && value->asDictionary() ? *value->asDictionary() : PlistDictionary {};
    }

    /// A lookup reply with one result whose size is `size` as written (a JSON number or string).
    static std::string replyWithSize(const std::string& size)
    {
        return R"({"resultCount":1,"results":[{"trackName":"Some App","fileSizeBytes":)" + size + "}]}";
    }

    static inline QCoreApplication* s_app = nullptr;
    QTemporaryDir folder;
};

TEST_F(ECAppSizeFetcherTest, CachedSizesNeedNoRequestInThisRunOrTheNext)
{
    LocalHttpServer server([](const std::string&) { return LocalHttpServer::Reply { true, 200, replyWithSize("1") }; });
    ASSERT_TRUE(server.isListening());
    writeText(cachePath(), QByteArray(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>com.example.cached</key><integer>123456789</integer></dict></plist>)"));
    {
        ECAppSizeFetcher fetcher(cachePath(), QUrl(QString::fromStdString(server.baseUrl())));
        EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.cached")), 123'456'789);
        // A new one is fetched and written at once: the first write of a run.
        EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.fresh")), 1);
        EXPECT_EQ(server.hits(), 1);
        EXPECT_TRUE(fetcher.lastWrite().isValid());
    }
    ECAppSizeFetcher nextRun(cachePath(), QUrl(QString::fromStdString(server.baseUrl())));
    EXPECT_EQ(nextRun.downloadSizeForApp(QStringLiteral("com.example.cached")), 123'456'789);
    EXPECT_EQ(nextRun.downloadSizeForApp(QStringLiteral("com.example.fresh")), 1);
    EXPECT_EQ(server.hits(), 1);
    EXPECT_FALSE(nextRun.lastWrite().isValid());
}

TEST_F(ECAppSizeFetcherTest, RepliesWithoutASizeGiveZeroAndAreNotCached)
{
    struct Row
    {
        const char* bundleId;
        std::string body;
        std::int64_t expected;
        bool cached;
        bool parseErrorLogged;
    };
    const std::vector<Row> rows {
        { "com.example.string", replyWithSize(R"("52428800")"), 52'428'800, true, false },
        { "com.example.number", replyWithSize("7340032"), 7'340'032, true, false },
        // Bigger than 4 GiB: sizes are 64-bit all the way.
        { "com.example.huge", replyWithSize(R"("5000000000")"), 5'000'000'000, true, false },
        { "com.example.zero", replyWithSize("0"), 0, true, false },
        { "com.example.unknown", R"({"resultCount":0,"results":[]})", 0, false, false },
        { "com.example.noresults", R"({"resultCount":0})", 0, false, false },
        { "com.example.nosize", R"({"results":[{"trackName":"x"}]})", 0, false, false },
        { "com.example.negative", replyWithSize("-5"), 0, false, false },
        { "com.example.words", replyWithSize(R"("big")"), 0, false, false },
        { "com.example.html", "<html>busy</html>", 0, false, true },
        { "com.example.array", "[1,2]", 0, false, true },
    };
    LocalHttpServer server([&](const std::string& target) {
        for (const Row& row : rows) {
            if (target.find(row.bundleId) != std::string::npos) {
                return LocalHttpServer::Reply { true, 200, row.body };
            }
        }
        return LocalHttpServer::Reply { true, 404, "" };
    });
    ECAppSizeFetcher fetcher(cachePath(), QUrl(QString::fromStdString(server.baseUrl())));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bundleId);
        LogCapture log;
        EXPECT_EQ(fetcher.downloadSizeForApp(QString::fromLatin1(row.bundleId)), row.expected);
        EXPECT_EQ(fetcher.sizes().contains(QString::fromLatin1(row.bundleId)), row.cached);
        EXPECT_EQ(log.contains("Error parsing JSON: " + row.body), row.parseErrorLogged);
    }
    // Nothing failed is cached, so the next scan asks again.
    const int before = server.hits();
    EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.unknown")), 0);
    EXPECT_EQ(server.hits(), before + 1);
}

TEST_F(ECAppSizeFetcherTest, NoNetworkGivesZeroLogsAndCachesNothing)
{
    // A port that was free a moment ago: connections are refused.
    std::string closedUrl;
    {
        LocalHttpServer gone([](const std::string&) { return LocalHttpServer::Reply {}; });
        closedUrl = gone.baseUrl();
    }
    ECAppSizeFetcher fetcher(cachePath(), QUrl(QString::fromStdString(closedUrl)));
    LogCapture log;
    EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.offline")), 0);
    EXPECT_TRUE(log.contains("Error connecting to iTunes store page: com.example.offline"));
    EXPECT_TRUE(fetcher.sizes().isEmpty());
    EXPECT_FALSE(QFile::exists(cachePath()));

    // An HTTP error is no answer either.
    LocalHttpServer failing([](const std::string&) { return LocalHttpServer::Reply { true, 503, "{}" }; });
    ECAppSizeFetcher second(cachePath(), QUrl(QString::fromStdString(failing.baseUrl())));
    EXPECT_EQ(second.downloadSizeForApp(QStringLiteral("com.example.busy")), 0);
    EXPECT_TRUE(second.sizes().isEmpty());
}

TEST_F(ECAppSizeFetcherTest, AServerThatNeverAnswersTimesOut)
{
    LocalHttpServer silent([](const std::string&) { return LocalHttpServer::Reply { false, 200, "" }; });
    ECAppSizeFetcher fetcher(
        cachePath(), QUrl(QString::fromStdString(silent.baseUrl())), std::chrono::milliseconds(300));
    LogCapture log;
    EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.silent")), 0);
    EXPECT_EQ(silent.hits(), 1);
    EXPECT_TRUE(log.contains("Error connecting to iTunes store page: com.example.silent"));
    EXPECT_TRUE(fetcher.sizes().isEmpty());
}

TEST_F(ECAppSizeFetcherTest, SecondSizeWithinTheIntervalWaitsForTheNextWrite)
{
    LocalHttpServer server([](const std::string& target) {
        return LocalHttpServer::Reply { true, 200,
            replyWithSize(target.find("first") != std::string::npos ? "1000" : "2000") };
    });
    // The folder does not exist yet: the first write makes it.
    ASSERT_FALSE(QDir(folder.path() + QStringLiteral("/Torvane")).exists());
    ECAppSizeFetcher fetcher(cachePath(), QUrl(QString::fromStdString(server.baseUrl())));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.first")), 1000);
    EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.second")), 2000);
    if (std::chrono::steady_clock::now() - start >= ECAppSizeFetcher::WRITE_INTERVAL) {
        GTEST_SKIP() << "the two lookups took longer than the write interval";
    }
    EXPECT_EQ(fileEntries(), (PlistDictionary { { "com.example.first", PlistValue(std::int64_t(1000)) } }));
    ASSERT_TRUE(fetcher.writeToFile());
    EXPECT_EQ(fileEntries(),
        (PlistDictionary {
            { "com.example.first", PlistValue(std::int64_t(1000)) },
            { "com.example.second", PlistValue(std::int64_t(2000)) },
        }));
    // Replaced through a temporary file: nothing but the cache is left in its folder.
    EXPECT_EQ(QDir(folder.path() + QStringLiteral("/Torvane")).entryList(QDir::Files),
        QStringList { QStringLiteral("AppSizes.plist") });
}

TEST_F(ECAppSizeFetcherTest, BundleIdentifiersArePercentEncoded)
{
    LocalHttpServer server([](const std::string&) {
        return LocalHttpServer::Reply { true, 200, replyWithSize("42") };
    });
    ECAppSizeFetcher fetcher(cachePath(), QUrl(QString::fromStdString(server.baseUrl())));
    const QString odd = QStringLiteral(u"com.odd&country=us+x y#frag/é");
    EXPECT_EQ(fetcher.downloadSizeForApp(odd), 42);
    ASSERT_EQ(server.targets().size(), 1u);
    const QString target = QString::fromStdString(server.targets().front());
    ASSERT_TRUE(target.startsWith(QStringLiteral("/lookup?bundleId="))) << target.toStdString();
    // One key only, and it decodes back to the identifier ("+" stays a plus, not a space).
    const QUrlQuery query(target.mid(target.indexOf(QLatin1Char('?')) + 1));
    EXPECT_EQ(query.queryItems().size(), 1);
    EXPECT_EQ(
        QUrl::fromPercentEncoding(query.queryItemValue(QStringLiteral("bundleId"), QUrl::FullyEncoded).toUtf8()), odd);
    // A base with a path keeps it.
    EXPECT_EQ(ECAppSizeFetcher::lookupUrl(QUrl(QStringLiteral("http://127.0.0.1:9/store/")), QStringLiteral("a.b"))
                  .toString(),
        QStringLiteral("http://127.0.0.1:9/store/lookup?bundleId=a.b"));
}

TEST_F(ECAppSizeFetcherTest, AnUnreadableCacheIsSetAsideNotOverwritten)
{
    const QByteArray whole = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>com.example.kept</key><integer>99</integer><key>com.example.cut</key><integer>12)";
    writeText(cachePath(), whole);
    LocalHttpServer server([](const std::string&) { return LocalHttpServer::Reply { true, 200, replyWithSize("5") }; });
    LogCapture log;
    ECAppSizeFetcher fetcher(cachePath(), QUrl(QString::fromStdString(server.baseUrl())));
    EXPECT_TRUE(fetcher.sizes().isEmpty());
    bool logged = false;
    for (const auto& line : log.lines()) {
        logged = logged || line.find("unreadable") != std::string::npos;
    }
    EXPECT_TRUE(logged);
    // The next write makes a new cache and leaves the old bytes where someone can look at them.
    EXPECT_EQ(fetcher.downloadSizeForApp(QStringLiteral("com.example.new")), 5);
    QFile aside(cachePath() + QStringLiteral(".corrupt"));
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), whole);
    EXPECT_EQ(fileEntries(), (PlistDictionary { { "com.example.new", PlistValue(std::int64_t(5)) } }));
}

TEST_F(ECAppSizeFetcherTest, LookupHostComesFromTheEnvironment)
{
    const QByteArray before = qgetenv("TORVANE_LOOKUP_URL");
    qputenv("TORVANE_LOOKUP_URL", "http://127.0.0.1:8080/");
    EXPECT_EQ(ECAppSizeFetcher::lookupBaseUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/")));
    // Without it, the host chosen when building.
    qunsetenv("TORVANE_LOOKUP_URL");
    EXPECT_EQ(ECAppSizeFetcher::lookupBaseUrl().scheme(), QStringLiteral("https"));
    qputenv("TORVANE_LOOKUP_URL", before);
}

}
