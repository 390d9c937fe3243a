// torvane-cli apps --sizes against ideviceinstaller's usage figures, on the same simulated phone,
// with Qt's JSON parser reading the output and a local server playing the app store.

#include "base/PlistValue.h"
#include "tests/support/InstalledApps.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <map>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(CliAppSizes, SizesAgreeWithThePhonesUsageFiguresAndRankBestFirst)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const std::map<std::string, InstalledApp> usage = installedApps();
    ASSERT_GE(usage.size(), 10u);
    // The store knows one app; the answer lands in the data folder given to the tool.
    const std::string known = usage.begin()->first;
    LocalHttpServer store([&](const std::string& target) {
        return LocalHttpServer::Reply { true, 200,
            LocalHttpServer::lookupReply(target, [&](const std::string& id) -> std::optional<long long> {
                return id == known ? std::optional<long long>(77'000'000) : std::nullopt;
            }) };
    });
    TemporaryDirectory data;
    ScopedEnvironment lookup("TORVANE_LOOKUP_URL", store.baseUrl());
    ScopedEnvironment folder("XDG_DATA_HOME", data.path().string());

    const ProcessResult json = runCli({ "apps", "--sizes", "--json" }, 120s);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
    const QJsonArray apps = document.array();
    ASSERT_EQ(std::size_t(apps.size()), usage.size());
    qint64 previousRank = 18;
    int refused = 0;
    for (const QJsonValue value : apps) {
        const QJsonObject app = value.toObject();
        const std::string id = app.value("bundleId").toString().toStdString();
        SCOPED_TRACE(id);
        ASSERT_EQ(usage.count(id), 1u);
        EXPECT_FALSE(app.value("name").toString().isEmpty());
        const qint64 size = app.value("size").toInteger();
        EXPECT_GT(size, 0);
        const qint64 rank = app.value("rank").toInteger();
        EXPECT_GE(rank, 1);
        EXPECT_LE(rank, previousRank);
        previousRank = rank;
        if (app.value("lastChanged").isNull()) {
            // A container the phone would not open: its usage figures, the store's size first.
            ++refused;
            const std::int64_t package = id == known ? 77'000'000 : usage.at(id).staticBytes;
            EXPECT_EQ(size, usage.at(id).dynamicBytes + package);
        } else {
            EXPECT_FALSE(QDateTime::fromString(app.value("lastChanged").toString(), Qt::ISODate).isNull());
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_TRUE(QFile::exists(QString::fromStdString((data.path() / "Torvane" / "AppSizes.plist").string())));

    // The text form: one line per app, an unknown date as a dash; plain `apps` is still the listing.
    const ProcessResult text = runCli({ "apps", "--sizes" }, 120s);
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(std::size_t(std::count(text.out.begin(), text.out.end(), '\n')), usage.size());
    EXPECT_NE(text.out.find("—"), std::string::npos);
    EXPECT_NE(text.out.find("(" + known + ")"), std::string::npos);
    const ProcessResult plain = runCli({ "apps" }, 120s);
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.out.find("—"), std::string::npos);
}
