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
#include <functional>
#include <set>

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
    PlistDictionary fileEntries() const { return fileEntries(cachePath()); }
    static PlistDictionary fileEntries(const QString& path)
    {
        QFile file(path);
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

TEST_F(ECAppSizeFetcherTest, ManyAppsAreLookedUpInFewRequestsAndAFailingServiceIsAskedOnce)
{
    enum class Service {
        Answers,
        Refuses, // nothing listens on the port
        Fails, // HTTP 503
        Silent, // accepts and never answers
    };
    struct Row
    {
        const char* name;
        int apps;
        std::size_t idLength; // the identifiers are padded to this length
        Service service;
        int cachedApps; // the first apps already in the cache
        std::function<bool(const std::string&)> known; // the apps the service knows
        int expectedRequests;
    };
    const auto all = [](const std::string&) { return true; };
    const std::vector<Row> rows {
        { "200 apps, all known", 200, 24, Service::Answers, 0, all, 3 },
        { "some known, some not", 50, 24, Service::Answers, 0, [](const std::string& id) { return id.back() % 3 != 0; },
            1 },
        { "cached apps are not asked about", 50, 24, Service::Answers, 20, all, 1 },
        { "identifiers too long for one URL", 30, 300, Service::Answers, 0, all, 5 },
        { "a service refusing connections", 200, 24, Service::Refuses, 10, all, 0 },
        { "a failing service", 200, 24, Service::Fails, 10, all, 1 },
        { "a service that never answers", 200, 24, Service::Silent, 10, all, 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir cacheFolder;
        const QString cacheFile = cacheFolder.path() + QStringLiteral("/AppSizes.plist");
        QStringList ids;
        PlistDictionary cached;
        for (int index = 0; index < row.apps; ++index) {
            // Odd characters too: a comma inside an identifier must not split it.
            std::string id = "com.example,app+" + std::to_string(index) + ".";
            id.resize(row.idLength, 'x');
            id.back() = char('0' + index % 10);
            ids.append(QString::fromStdString(id));
            if (index < row.cachedApps) {
                cached.emplace(id, PlistValue(std::int64_t(77)));
            }
        }
        if (!cached.empty()) {
            writeText(cacheFile, QByteArray::fromStdString(*PlistCodec::toXml(PlistValue(cached))));
        }
        std::string closedUrl;
        {
            LocalHttpServer gone([](const std::string&) { return LocalHttpServer::Reply {}; });
            closedUrl = gone.baseUrl();
        }
        LocalHttpServer server([&](const std::string& target) {
            switch (row.service) {
            case Service::Silent:
                return LocalHttpServer::Reply { false, 200, "" };
            case Service::Fails:
                return LocalHttpServer::Reply { true, 503, "{}" };
            default:
                return LocalHttpServer::Reply { true, 200,
                    LocalHttpServer::lookupReply(target, [&](const std::string& id) -> std::optional<long long> {
                        return row.known(id) ? std::optional<long long>(1000 + id.size()) : std::nullopt;
                    }) };
            }
        });
        ECAppSizeFetcher fetcher(cacheFile,
            QUrl(QString::fromStdString(row.service == Service::Refuses ? closedUrl : server.baseUrl())),
            std::chrono::milliseconds(row.service == Service::Silent ? 300 : 10'000));
        LogCapture log;
        const QHash<QString, std::int64_t> sizes = fetcher.downloadSizesForApps(ids);

        EXPECT_EQ(server.hits(), row.expectedRequests);
        std::set<std::string> asked;
        for (const std::string& target : server.targets()) {
            EXPECT_LE(target.size() + server.baseUrl().size() - 1, std::size_t(ECAppSizeFetcher::MAX_URL_LENGTH));
            for (const std::string& id : LocalHttpServer::lookupIds(target)) {
                EXPECT_TRUE(asked.insert(id).second) << id << " asked twice";
            }
        }
        const bool answers = row.service == Service::Answers;
        int connectionErrors = 0;
        for (const auto& line : log.lines()) {
            connectionErrors += line.rfind("Error connecting to iTunes store page: ", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(connectionErrors, answers ? 0 : 1);
        for (int index = 0; index < row.apps; ++index) {
            const QString& id = ids[index];
            const std::string text = id.toStdString();
            const bool isCached = index < row.cachedApps;
            if (answers || isCached) {
                // (A failing service was asked about the first request's apps only, once.)
                EXPECT_EQ(asked.count(text), isCached ? 0u : 1u) << text;
            }
            std::optional<std::int64_t> expected;
            if (isCached) {
                expected = 77;
            } else if (answers && row.known(text)) {
                expected = std::int64_t(1000 + text.size());
            }
            EXPECT_EQ(sizes.contains(id) ? std::optional(sizes.value(id)) : std::nullopt, expected) << text;
            // What was found is cached and written; what was not is asked again next time.
            EXPECT_EQ(fetcher.sizes().contains(id), expected.has_value()) << text;
            EXPECT_EQ(fileEntries(cacheFile).count(text), expected ? 1u : 0u) << text;
        }
    }
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
