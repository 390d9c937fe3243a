// torvane-cli apps --sizes against ideviceinstaller's usage figures, on the same simulated phone,
// with Qt's JSON parser reading the output and a local server playing the app store.

#include "base/PlistValue.h"
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

namespace {

ProcessResult torvaneCli(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), SimulatorFixture::cliPath());
    return runProcess(arguments, std::chrono::seconds(120));
}

struct Usage
{
    std::int64_t staticBytes { 0 };
    std::int64_t dynamicBytes { 0 };
};

std::map<std::string, Usage> usageFigures()
{
    const ProcessResult listed = runProcess({ "ideviceinstaller", "-l", "-o", "xml" });
    std::map<std::string, Usage> apps;
    const auto document = PlistCodec::fromXml(listed.out);
    if (!document || !document->asArray()) {
        ADD_FAILURE() << "ideviceinstaller: " << listed.err;
        return apps;
    }
    for (const PlistValue& app : *document->asArray()) {
        Usage usage;
        if (const PlistValue* value = app.find("StaticDiskUsage")) {
            usage.staticBytes = value->toInt64().value_or(0);
        }
        if (const PlistValue* value = app.find("DynamicDiskUsage")) {
            usage.dynamicBytes = value->toInt64().value_or(0);
        }
        apps.emplace(app.stringForKey("CFBundleIdentifier"), usage);
    }
    return apps;
}

/// Sets an environment variable for the tools this test starts, and puts it back.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const char* name, const std::string& value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (m_old) {
            setenv(m_name, m_old->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

} // namespace

TEST(CliAppSizes, SizesAgreeWithThePhonesUsageFiguresAndRankBestFirst)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const std::map<std::string, Usage> usage = usageFigures();
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

    const ProcessResult json = torvaneCli({ "apps", "--sizes", "--json" });
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
    const ProcessResult text = torvaneCli({ "apps", "--sizes" });
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(std::size_t(std::count(text.out.begin(), text.out.end(), '\n')), usage.size());
    EXPECT_NE(text.out.find("—"), std::string::npos);
    EXPECT_NE(text.out.find("(" + known + ")"), std::string::npos);
    const ProcessResult plain = torvaneCli({ "apps" });
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.out.find("—"), std::string::npos);
}
