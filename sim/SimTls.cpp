#include "sim/SimTls.h"

#include "base/Log.h"

#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

struct Free
{
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Certificate = std::unique_ptr<X509, Free>;
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Bio = std::unique_ptr<BIO, Free>;

Bio memoryBio(const std::string& pem)
{
    // A pair record is about 10 KB; the lockdown message size already bounds it.
    return Bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
}

Certificate readCertificate(const std::string& pem)
{
    Bio bio = memoryBio(pem);
    return Certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Key readPrivateKey(const std::string& pem)
{
    Bio bio = memoryBio(pem);
    return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool signedBy(X509* certificate, EVP_PKEY* issuerKey)
{
    // A plain signature check: the host library signs with SHA-1, which the verifier's security
    // levels would refuse although a phone accepts it.
    return X509_verify(certificate, issuerKey) == 1;
}

/// What a phone accepts as the host's TLS certificate: the pairing's root itself, or any
/// certificate the root's key signed. Names are not looked at: the host library makes its
/// certificates with empty subjects and issuers, so a chain check would take a host certificate
/// for a self-signed one. The handshake itself proves the client holds the certificate's key.
int verifyHostCertificate(X509_STORE_CTX* store, void* rootCertificate)
{
    auto* root = static_cast<X509*>(rootCertificate);
    X509* presented = X509_STORE_CTX_get0_cert(store);
    EVP_PKEY* rootKey = X509_get0_pubkey(root);
    const bool accepted = presented && rootKey && (X509_cmp(presented, root) == 0 || signedBy(presented, rootKey));
    ERR_clear_error();
    if (!accepted) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_SIGNATURE_FAILURE);
        logLine(LOG_SIM, "Host certificate refused: not the pairing's root nor signed by it");
    }
    return accepted ? 1 : 0;
}

} // namespace

std::string SimTls::checkPairing(const SimPairing& pairing, const std::string& devicePrivateKeyPem)
{
    const Certificate root = readCertificate(pairing.rootCertificate);
    const Certificate host = readCertificate(pairing.hostCertificate);
    const Certificate device = readCertificate(pairing.deviceCertificate);
    ERR_clear_error();
    if (!root || !host || !device) {
        return "a certificate is not PEM X.509";
    }
    const Key deviceKey = readPrivateKey(devicePrivateKeyPem);
    if (!deviceKey) {
        return "the device has no key";
    }
    EVP_PKEY* rootKey = X509_get0_pubkey(root.get());
    if (!rootKey || !signedBy(root.get(), rootKey)) {
        return "the root certificate is not self-signed";
    }
    EVP_PKEY* certifiedKey = X509_get0_pubkey(device.get());
    if (!certifiedKey || EVP_PKEY_eq(certifiedKey, deviceKey.get()) != 1) {
        return "the device certificate is for another key";
    }
    if (!signedBy(device.get(), rootKey) || !signedBy(host.get(), rootKey)) {
        return "a certificate is not signed by the root certificate";
    }
    return {};
}

SimTls::Context SimTls::serverContext(
    const SimPairing& pairing, const std::string& devicePrivateKeyPem, bool tls10Only, std::string* error)
{
    const auto fail = [error](const char* reason) {
        if (error) {
            *error = reason;
        }
        ERR_clear_error();
        return Context();
    };
    const Certificate deviceCertificate = readCertificate(pairing.deviceCertificate);
    const Certificate root = readCertificate(pairing.rootCertificate);
    const Key key = readPrivateKey(devicePrivateKeyPem);
    if (!deviceCertificate || !root || !key) {
        return fail("the pairing's certificates or the device key cannot be read");
    }
    // The context keeps the root for its verify callback and frees it with itself.
    X509* rootForCheck = root.get();
    X509_up_ref(rootForCheck);
    Context context(SSL_CTX_new(TLS_server_method()), [rootForCheck](SSL_CTX* ctx) {
        SSL_CTX_free(ctx);
        X509_free(rootForCheck);
    });
    if (!context) {
        return fail("no TLS context");
    }
    SSL_CTX* ctx = context.get();
    // Level 0: TLS 1.0 for the old phones, and the pairing certificates are SHA-1 signed.
    SSL_CTX_set_security_level(ctx, 0);
    const int highest = tls10Only ? TLS1_VERSION : TLS1_3_VERSION;
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) != 1 || SSL_CTX_set_max_proto_version(ctx, highest) != 1
        || SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0") != 1) {
        return fail("the TLS versions cannot be set");
    }
    // Nothing may follow the handshake uninvited: after StopSession the client reads plain text.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_use_certificate(ctx, deviceCertificate.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1
        || SSL_CTX_check_private_key(ctx) != 1) {
        return fail("the device certificate does not match the device key");
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyHostCertificate, rootForCheck);
    return context;
}
