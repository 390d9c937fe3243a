// Pairing with real certificates and TLS on lockdown: through libimobiledevice, and through a raw
// tunnel with OpenSSL as the host for what the library never does (other TLS versions, foreign
// certificates, plain text where TLS is due).
#include "base/PlistValue.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TestSupport.h"

#include <fstream>
#include <memory>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbmuxd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string DEMO = SimulatorFixture::DEMO_UDID; // 9.3.5: TLS 1.0 only
const std::string MODERN = SimulatorFixture::MODERN_UDID; // 17.5: up to TLS 1.3

struct Free
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

Key newKey()
{
    // Small keys keep the test quick; the phone checks signatures and key identity, not sizes.
    return Key(EVP_RSA_gen(1024));
}

Key readKey(const std::string& pem)
{
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    Key key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return key;
}

/// A certificate for `subject`'s public key signed with `issuer`, shaped like the host library's
/// (empty names) unless names are given.
Certificate certify(
    EVP_PKEY* subject, EVP_PKEY* issuer, bool ca, const char* subjectName = nullptr, const char* issuerName = nullptr)
{
    Certificate certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    const auto name = [](X509_NAME* into, const char* commonName) {
        X509_NAME_add_entry_by_txt(
            into, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    };
    if (subjectName) {
        name(X509_get_subject_name(certificate.get()), subjectName);
    }
    if (issuerName) {
        name(X509_get_issuer_name(certificate.get()), issuerName);
    }
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 60L * 60 * 24 * 365);
    X509_set_pubkey(certificate.get(), subject);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    X509_EXTENSION* constraints
        = X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    X509_add_ext(certificate.get(), constraints, -1);
    X509_EXTENSION_free(constraints);
    X509_sign(certificate.get(), issuer, EVP_sha1());
    return certificate;
}

std::string pem(X509* certificate)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(bio, &bytes);
    std::string text(bytes, std::size_t(size));
    BIO_free(bio);
    return text;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/// The pair record libimobiledevice saved through the simulator's usbmuxd side.
PlistValue pairRecord(const std::string& udid)
{
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) != 0 || !data) {
        return PlistValue();
    }
    std::optional<PlistValue> record = PlistCodec::fromAny(std::string(data, size));
    free(data);
    return record.value_or(PlistValue());
}

std::string dataString(const PlistValue& record, const char* key)
{
    const PlistValue* value = record.find(key);
    const PlistData* data = value ? value->asData() : nullptr;
    return data ? std::string(data->begin(), data->end()) : std::string();
}

/// Lockdown frames over a raw usbmux tunnel, in plain text or through `ssl`.
class RawLockdown
{
public:
    explicit RawLockdown(const std::string& udid)
    {
        usbmuxd_device_info_t info {};
        if (usbmuxd_get_device_by_udid(udid.c_str(), &info) == 1) {
            m_fd = usbmuxd_connect(info.handle, 62078);
        }
        if (m_fd >= 0) { // libusbmuxd hands out a non-blocking socket
            ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        }
    }
    ~RawLockdown()
    {
        ssl.reset();
        if (m_fd >= 0) {
            usbmuxd_disconnect(m_fd);
        }
    }
    int fd() const { return m_fd; }

    bool send(const PlistDictionary& message)
    {
        const std::string body = PlistCodec::toXml(PlistValue(message)).value_or("");
        const auto length = std::uint32_t(body.size());
        std::string frame { char(length >> 24), char(length >> 16), char(length >> 8), char(length) };
        frame += body;
        return ssl ? SSL_write(ssl.get(), frame.data(), int(frame.size())) == int(frame.size())
                   : ::send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size());
    }

    /// The next reply, or nothing when the phone closed the connection (or 10 s passed).
    std::optional<PlistValue> receive()
    {
        unsigned char header[4];
        if (!readExact(header, 4)) {
            return std::nullopt;
        }
        std::string body((std::size_t(header[0]) << 24) | (header[1] << 16) | (header[2] << 8) | header[3], '\0');
        if (body.size() > 1024 * 1024 || !readExact(body.data(), body.size())) {
            return std::nullopt;
        }
        return PlistCodec::fromAny(body);
    }

    std::optional<PlistValue> request(const PlistDictionary& message)
    {
        return send(message) ? receive() : std::nullopt;
    }

    /// The host side of the TLS handshake, presenting `certificate`.
    bool startTls(int lowestVersion, int highestVersion, X509* certificate, EVP_PKEY* key)
    {
        std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_set_security_level(context.get(), 0);
        SSL_CTX_set_min_proto_version(context.get(), lowestVersion);
        SSL_CTX_set_max_proto_version(context.get(), highestVersion);
        SSL_CTX_set_cipher_list(context.get(), "DEFAULT:@SECLEVEL=0");
        if (certificate) {
            SSL_CTX_use_certificate(context.get(), certificate);
            SSL_CTX_use_PrivateKey(context.get(), key);
        }
        ssl.reset(SSL_new(context.get()));
        SSL_set_fd(ssl.get(), m_fd);
        const bool done = SSL_connect(ssl.get()) == 1;
        ERR_clear_error();
        return done;
    }

    /// True once the phone has closed the connection (bounded wait).
    bool closedByPhone()
    {
        char byte = 0;
        return !readExact(&byte, 1);
    }

    std::unique_ptr<SSL, Free> ssl;

private:
    bool readExact(void* buffer, std::size_t size)
    {
        auto* bytes = static_cast<char*>(buffer);
        while (size > 0) {
            if (!ssl || SSL_pending(ssl.get()) == 0) {
                pollfd ready { m_fd, POLLIN, 0 };
                if (::poll(&ready, 1, 10000) != 1) {
                    return false;
                }
            }
            const int got = ssl ? SSL_read(ssl.get(), bytes, int(size)) : int(::recv(m_fd, bytes, size, 0));
            if (got <= 0) {
                ERR_clear_error();
                return false;
            }
            bytes += got;
            size -= std::size_t(got);
        }
        return true;
    }

    int m_fd { -1 };
};

PlistDictionary startSession(const std::string& hostId)
{
    return { { "Label", PlistValue("sim_tests") }, { "Request", PlistValue("StartSession") },
        { "HostID", PlistValue(hostId) } };
}

const PlistDictionary GET_NAME { { "Request", PlistValue("GetValue") }, { "Key", PlistValue("DeviceName") } };

/// One daemon for the suite: starting one costs more than the tests themselves.
class LockdownTls : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_sim = new SimulatorFixture({ "demo", "modern" });
        ASSERT_TRUE(s_sim->start()) << s_sim->lastError();
    }
    static void TearDownTestSuite()
    {
        delete s_sim;
        s_sim = nullptr;
    }
    static SimulatorFixture* s_sim;
};

SimulatorFixture* LockdownTls::s_sim = nullptr;

} // namespace

TEST_F(LockdownTls, PairAcceptsOnlyCertificatesForThePhonesOwnKey)
{
    idevice_t device = nullptr;
    ASSERT_EQ(idevice_new_with_options(&device, DEMO.c_str(), IDEVICE_LOOKUP_USBMUX), IDEVICE_E_SUCCESS);
    lockdownd_client_t client = nullptr;
    ASSERT_EQ(lockdownd_client_new(device, &client, "sim_tests"), LOCKDOWN_E_SUCCESS);
    plist_t publicKey = nullptr; // served first, so the phone's key exists from here on
    ASSERT_EQ(lockdownd_get_value(client, nullptr, "DevicePublicKey", &publicKey), LOCKDOWN_E_SUCCESS);
    plist_free(publicKey);
    const Key phoneKey = readKey(readFile(s_sim->statePath() / "devices" / DEMO / "device-private-key.pem"));
    ASSERT_TRUE(phoneKey);

    const Key rootKey = newKey();
    const Key hostKey = newKey();
    const Key strangerKey = newKey();
    const Certificate root = certify(rootKey.get(), rootKey.get(), true);
    const struct
    {
        const char* what;
        Certificate deviceCertificate;
        Certificate hostCertificate;
        lockdownd_error_t expected;
    } rows[] = {
        { "a device certificate for another key", certify(strangerKey.get(), rootKey.get(), false),
            certify(hostKey.get(), rootKey.get(), false), LOCKDOWN_E_INVALID_PAIR_RECORD },
        { "a device certificate from another root", certify(phoneKey.get(), strangerKey.get(), false),
            certify(hostKey.get(), rootKey.get(), false), LOCKDOWN_E_INVALID_PAIR_RECORD },
        { "a host certificate from another root", certify(phoneKey.get(), rootKey.get(), false),
            certify(hostKey.get(), strangerKey.get(), false), LOCKDOWN_E_INVALID_PAIR_RECORD },
        { "certificates as the host library makes them", certify(phoneKey.get(), rootKey.get(), false),
            certify(hostKey.get(), rootKey.get(), false), LOCKDOWN_E_SUCCESS },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string devicePem = pem(row.deviceCertificate.get());
        std::string hostPem = pem(row.hostCertificate.get());
        std::string rootPem = pem(root.get());
        std::string hostId = "5EED0000-0000-0000-0000-00000000000" + std::to_string(&row - rows);
        std::string buid = "SIMTESTS";
        lockdownd_pair_record record { devicePem.data(), hostPem.data(), rootPem.data(), hostId.data(), buid.data() };
        EXPECT_EQ(lockdownd_pair(client, &record), row.expected);
        // Only a host whose pairing was accepted gets a session.
        RawLockdown raw(DEMO);
        const std::optional<PlistValue> session = raw.request(startSession(hostId));
        ASSERT_TRUE(session);
        EXPECT_EQ(session->stringForKey("Error"), row.expected == LOCKDOWN_E_SUCCESS ? "" : "InvalidHostID");
    }
    lockdownd_client_free(client);
    idevice_free(device);
}

TEST_F(LockdownTls, SessionsRunOverTlsOfThePhonesVersionAndRefuseStrangers)
{
    const struct
    {
        std::string udid;
        int version; // what the phone negotiates with a host that allows up to TLS 1.3
    } rows[] = { { DEMO, TLS1_VERSION }, { MODERN, TLS1_3_VERSION } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.udid);
        {
            LibClient paired(row.udid); // pairs as the Debian tools do, then runs its session in TLS
            ASSERT_EQ(paired.status(), LOCKDOWN_E_SUCCESS);
            lockdownd_service_descriptor_t service = nullptr;
            ASSERT_EQ(lockdownd_start_service(paired.lockdown(), "com.apple.mobile.installation_proxy", &service),
                LOCKDOWN_E_SUCCESS);
            EXPECT_EQ(service->ssl_enabled, 1);
            lockdownd_service_descriptor_free(service);
            EXPECT_NE(paired.startAfc(), nullptr) << "AFC stays plain, as on real phones";
        }
        const PlistValue record = pairRecord(row.udid);
        const std::string hostId = record.stringForKey("HostID");
        ASSERT_FALSE(hostId.empty());

        // The library's client: TLS after StartSession, plain text again after StopSession.
        idevice_t device = nullptr;
        ASSERT_EQ(idevice_new_with_options(&device, row.udid.c_str(), IDEVICE_LOOKUP_USBMUX), IDEVICE_E_SUCCESS);
        lockdownd_client_t client = nullptr;
        ASSERT_EQ(lockdownd_client_new(device, &client, "sim_tests"), LOCKDOWN_E_SUCCESS);
        for (int round = 0; round < 2; ++round) {
            char* sessionId = nullptr;
            int ssl = 0;
            ASSERT_EQ(lockdownd_start_session(client, hostId.c_str(), &sessionId, &ssl), LOCKDOWN_E_SUCCESS);
            EXPECT_EQ(ssl, 1);
            char* name = nullptr;
            EXPECT_EQ(lockdownd_get_device_name(client, &name), LOCKDOWN_E_SUCCESS);
            free(name);
            EXPECT_EQ(lockdownd_stop_session(client, sessionId), LOCKDOWN_E_SUCCESS);
            free(sessionId);
            name = nullptr;
            EXPECT_EQ(lockdownd_get_device_name(client, &name), LOCKDOWN_E_SUCCESS) << "plain text after StopSession";
            free(name);
        }
        lockdownd_client_free(client);
        idevice_free(device);

        // Other host libraries: the version the phone allows, and the client certificate checked
        // as a phone checks it: the root, or anything the root's key signed, whatever its names.
        const Key rootKey = readKey(dataString(record, "RootPrivateKey"));
        const std::string rootPem = dataString(record, "RootCertificate");
        BIO* bio = BIO_new_mem_buf(rootPem.data(), int(rootPem.size()));
        const Certificate root(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        ASSERT_TRUE(rootKey && root);
        const Key hostKey = newKey();
        const Key strangerKey = newKey();
        const struct
        {
            const char* what;
            Certificate certificate;
            EVP_PKEY* key;
            bool accepted;
        } hosts[] = {
            { "the pairing's root certificate", Certificate(X509_dup(root.get())), rootKey.get(), true },
            { "a host certificate with empty names", certify(hostKey.get(), rootKey.get(), false), hostKey.get(),
                true },
            { "a host certificate with names", certify(hostKey.get(), rootKey.get(), false, "Host", "Root"),
                hostKey.get(), true },
            { "a certificate from another root", certify(hostKey.get(), strangerKey.get(), false), hostKey.get(),
                false },
            { "no certificate", nullptr, nullptr, false },
        };
        for (const auto& host : hosts) {
            SCOPED_TRACE(host.what);
            RawLockdown raw(row.udid);
            const std::optional<PlistValue> started = raw.request(startSession(hostId));
            ASSERT_TRUE(started);
            const PlistValue* enabled = started->find("EnableSessionSSL");
            ASSERT_TRUE(enabled && enabled->toBool() == true);
            // TLS 1.3 reports a refused client certificate on first use, not in the handshake.
            const bool connected = raw.startTls(TLS1_VERSION, TLS1_3_VERSION, host.certificate.get(), host.key);
            const std::optional<PlistValue> name = connected ? raw.request(GET_NAME) : std::nullopt;
            EXPECT_EQ(name && !name->stringForKey("Value").empty(), host.accepted);
            if (host.accepted) {
                EXPECT_EQ(SSL_version(raw.ssl.get()), row.version);
            }
        }
        {
            RawLockdown raw(row.udid);
            ASSERT_TRUE(raw.request(startSession(hostId)));
            ASSERT_TRUE(raw.send(GET_NAME));
            EXPECT_TRUE(raw.closedByPhone());
        }
        if (row.version == TLS1_VERSION) {
            RawLockdown raw(row.udid);
            ASSERT_TRUE(raw.request(startSession(hostId)));
            EXPECT_FALSE(raw.startTls(TLS1_2_VERSION, TLS1_3_VERSION, root.get(), rootKey.get()));
        }
    }
    // The phones are still there for everyone else.
    EXPECT_EQ(runProcess({ "ideviceinfo", "-u", DEMO, "-k", "ProductVersion" }, 20s).out, "9.3.5\n");
    EXPECT_EQ(runProcess({ "ideviceinfo", "-u", MODERN, "-k", "ProductVersion" }, 20s).out, "17.5\n");
}
