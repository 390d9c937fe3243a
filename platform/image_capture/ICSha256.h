#pragma once

#include <memory>
#include <string>
#include <string_view>

/// SHA-256 through OpenSSL, which uses the processor's hashing instructions where they exist:
/// every byte of a backup is hashed twice, so this runs at disk speed where a portable
/// implementation would not.
class ICSha256
{
public:
    ICSha256();
    ~ICSha256();
    ICSha256(const ICSha256&) = delete;
    ICSha256& operator=(const ICSha256&) = delete;

    void reset();
    void addData(std::string_view bytes);
    /// The digest in lower-case hex; the hash must be reset() before it is used again.
    std::string hexResult();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
