#pragma once

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

/// A small HTTP/1.0 server on 127.0.0.1 and a free port, on a thread of its own, for code that
/// talks to a web service. Each request's target ("/lookup?bundleId=...") goes to the handler,
/// whose answer is sent as the body of a 200 reply; an empty optional keeps the connection open
/// without answering until the server stops (a service that never replies).
class LocalHttpServer
{
public:
    struct Reply
    {
        bool answer { true };
        int status { 200 };
        std::string body;
    };
    using Handler = std::function<Reply(const std::string& target)>;

    explicit LocalHttpServer(Handler handler)
        : m_handler(std::move(handler))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof(address);
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
            || ::listen(m_listener, 64) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~LocalHttpServer()
    {
        m_stopping = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        for (const int fd : m_held) {
            ::close(fd);
        }
        if (m_listener >= 0) {
            ::close(m_listener);
        }
    }

    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    /// The app identifiers a store lookup target asks for: the comma-separated, percent-encoded
    /// list of its "bundleId" ("/lookup?bundleId=a,b%2Cc" gives "a" and "b,c").
    static std::vector<std::string> lookupIds(const std::string& target)
    {
        std::vector<std::string> ids;
        const auto start = target.find("bundleId=");
        if (start == std::string::npos) {
            return ids;
        }
        std::string id;
        const auto hex
            = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10; };
        for (std::size_t i = start + 9; i <= target.size(); ++i) {
            if (i == target.size() || target[i] == ',' || target[i] == '&') {
                ids.push_back(id);
                id.clear();
                if (i == target.size() || target[i] == '&') {
                    break;
                }
            } else if (target[i] == '%' && i + 2 < target.size()) {
                id.push_back(char(hex(target[i + 1]) * 16 + hex(target[i + 2])));
                i += 2;
            } else {
                id.push_back(target[i]);
            }
        }
        return ids;
    }

    /// A store lookup reply with a result, "bundleId" and "fileSizeBytes" (as a string), for
    /// each app of `target` that `size` knows.
    static std::string lookupReply(
        const std::string& target, const std::function<std::optional<long long>(const std::string& id)>& size)
    {
        std::string results;
        int count = 0;
        for (const std::string& id : lookupIds(target)) {
            const std::optional<long long> bytes = size(id);
            if (!bytes) {
                continue;
            }
            std::string quoted;
            for (const char c : id) {
                if (c == '"' || c == '\\') {
                    quoted.push_back('\\');
                }
                quoted.push_back(c);
            }
            results += std::string(count++ ? "," : "") + R"({"bundleId":")" + quoted + R"(","fileSizeBytes":")"
                + std::to_string(*bytes) + "\"}";
        }
        return R"({"resultCount":)" + std::to_string(count) + R"(,"results":[)" + results + "]}";
    }

    bool isListening() const { return m_port != 0; }
    /// "http://127.0.0.1:<port>/".
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    /// Requests received so far.
    int hits() const { return m_hits.load(); }
    std::vector<std::string> targets() const
    {
        std::lock_guard lock(m_mutex);
        return m_targets;
    }

private:
    void serve()
    {
        while (!m_stopping) {
            pollfd ready { m_listener, POLLIN, 0 };
            if (::poll(&ready, 1, 50) <= 0) {
                continue;
            }
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                pollfd readable { client, POLLIN, 0 };
                if (::poll(&readable, 1, 2000) <= 0) {
                    break;
                }
                const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    break;
                }
                request.append(buffer, std::size_t(n));
            }
            std::string target;
            if (const auto space = request.find(' '); space != std::string::npos) {
                target = request.substr(space + 1, request.find(' ', space + 1) - space - 1);
            }
            {
                std::lock_guard lock(m_mutex);
                m_targets.push_back(target);
            }
            ++m_hits;
            const Reply reply = m_handler(target);
            if (!reply.answer) {
                m_held.push_back(client);
                continue;
            }
            const std::string response = "HTTP/1.0 " + std::to_string(reply.status)
                + " Reply\r\nContent-Type: "
                  "application/json\r\nContent-Length: "
                + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body;
            std::size_t sent = 0;
            while (sent < response.size()) {
                const ssize_t n = ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += std::size_t(n);
            }
            ::close(client);
        }
    }

    Handler m_handler;
    int m_listener { -1 };
    unsigned short m_port { 0 };
    std::thread m_thread;
    std::atomic<bool> m_stopping { false };
    std::atomic<int> m_hits { 0 };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
    std::vector<int> m_held;
};
