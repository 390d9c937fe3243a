#pragma once

#include "base/OperationQueue.h"

#include <QString>
#include <QUrl>

class QNetworkReply;

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class UserDefaults;

/// Sends the address saved on the mailing-list sign-up sheet to the product's server: one GET
/// request to "/register/?email=…&contact=0|1" under the sign-up base URL, made and answered on
/// a background queue of its own, so the caller never waits. Only a 2xx reply with a body counts
/// as registered ("successfullySubmittedEmail" := true); anything else leaves the submission
/// pending for the next launch.
///
/// The address is personal data: it travels only over https (plain http is accepted for a
/// loopback server, which is what tests run), and it is percent-encoded in full so that "+"
/// and "%" arrive as typed.
class ECEmailSignup
{
public:
    enum class Outcome {
        Registered,
        EmptyReply,
        ConnectionError,
    };

    /// Whether the whole of `text` is an e-mail address: letters, digits and ._%+- before an "@",
    /// then dot-separated domain labels (letters, digits and inner hyphens) ending in a top-level
    /// domain of two or more letters, any of them ("example.photography" too); 254 characters at
    /// most.
    static bool isValidEmailAddress(const QString& text);

    /// The server's base URL: the environment variable TORVANE_SIGNUP_URL when set, else the one
    /// the build was configured with (CMake's TORVANE_SIGNUP_URL).
    static QUrl defaultBaseUrl();

    /// The request for `email` and `contact` under `base`; nothing, with the reason in `error`,
    /// when `base` is not an https URL (or http to a loopback address).
    static std::optional<QUrl> requestUrl(const QUrl& base, const QString& email, std::int64_t contact, QString* error);

    /// What a finished reply means: an error (a network failure or a status outside 2xx) is a
    /// connection error, a 2xx reply without a body an empty reply.
    static Outcome classifyReply(bool failed, int httpStatus, std::int64_t bodySize);

    explicit ECEmailSignup(UserDefaults& defaults);
    /// Abandons a request under way (it stays pending for the next launch) and waits for it.
    ~ECEmailSignup();
    ECEmailSignup(const ECEmailSignup&) = delete;
    ECEmailSignup& operator=(const ECEmailSignup&) = delete;

    const QUrl& baseUrl() const { return m_baseUrl; }
    void setBaseUrl(const QUrl& url) { m_baseUrl = url; }

    /// Sends the stored "usersEmail" and "canContactUser" and returns at once; the reply is
    /// handled on the background queue: "Registered email", "Empty reply." or
    /// "Connection Error: %s" in the log, and the defaults written on success.
    /// `finished`, when given, hears the outcome on the request's queue (or at once when the
    /// request cannot be formed).
    void submitEmailFromDefaults(std::function<void(Outcome)> finished = {});

    /// Requests queued or under way (tests wait for zero while their server answers).
    std::size_t pendingRequests() const { return m_queue.operationCount(); }

private:
    /// The request under way, so that destruction can abort it at once rather than wait for
    /// its time-out.
    struct Running
    {
        std::mutex mutex;
        bool cancelled { false };
        QNetworkReply* reply { nullptr };
    };

    UserDefaults& m_defaults;
    QUrl m_baseUrl;
    std::shared_ptr<Running> m_running { std::make_shared<Running>() };
    // Declared last so it is destroyed first: no request outlives the members above.
    OperationQueue m_queue { 1 };
};
