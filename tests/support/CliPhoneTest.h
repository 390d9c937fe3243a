#pragma once

#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QJsonDocument>

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

/// torvane-cli's --json output read back with Qt's parser, an independent reader.
inline QJsonDocument parseJson(const std::string& text)
{
    QJsonParseError error {};
    QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return document;
}

/// Each test against its own simulated phone, made from `profile` (see smallPhoneProfile()).
class CliPhoneTest : public ::testing::Test
{
protected:
    CliPhoneTest(std::string phone, std::string profile)
        : udid(std::move(phone))
        , m_profile(std::move(profile))
    {
    }

    void SetUp() override
    {
        const std::filesystem::path profile = folder.path() / "phone.json";
        writeHostFile(profile, m_profile);
        sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { profile.string() });
        ASSERT_TRUE(sim->start()) << sim->lastError();
        media = sim->mediaRoot(udid);
    }

    static ProcessResult cli(
        std::vector<std::string> arguments, std::chrono::milliseconds bound = std::chrono::seconds(90))
    {
        return runCli(std::move(arguments), bound);
    }

    const std::string udid;
    TemporaryDirectory folder;
    std::unique_ptr<SimulatorFixture> sim;
    std::filesystem::path media;

private:
    std::string m_profile;
};
