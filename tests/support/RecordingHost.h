#pragma once

#include "modules/ECModuleHost.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

/// A tool's host for tests: keeps every alert and answers it with `button` at once (or, with no
/// button, keeps the answer for the test to give), declines every folder choice, keeps the pages
/// asked for.
class RecordingHost : public ECModuleHost
{
public:
    void presentAlert(const ECModuleAlert& alert, std::function<void(int)> answer) override
    {
        alerts.push_back(alert);
        if (button) {
            answer(*button);
        } else {
            answers.push_back(std::move(answer));
        }
    }
    void chooseFolder(const QString&, const QString&, std::function<void(std::optional<QString>)> answer) override
    {
        answer(std::nullopt);
    }
    void openUrl(const QUrl& url) override { opened.push_back(url); }

    bool saw(const QString& message) const
    {
        return std::any_of(alerts.begin(), alerts.end(), [&](const auto& alert) { return alert.message == message; });
    }

    std::optional<int> button { 0 };
    std::vector<ECModuleAlert> alerts;
    std::vector<std::function<void(int)>> answers;
    std::vector<QUrl> opened;
};
