#pragma once

#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;

/// The certificates a host hands over in Pair (PEM), kept by the device for its TLS sessions.
struct SimPairing
{
    std::string rootCertificate;
    std::string hostCertificate;
    std::string deviceCertificate;
};

/// The phone's side of lockdown TLS, on OpenSSL (the device layer keeps libimobiledevice's own).
namespace SimTls {

/// Empty when `pairing` is what a phone accepts in Pair: the device certificate carries the public
/// half of the device key (served as DevicePublicKey), and it and the host certificate are signed
/// by the self-signed root certificate. Otherwise why not.
std::string checkPairing(const SimPairing& pairing, const std::string& devicePrivateKeyPem);

using Context = std::shared_ptr<ssl_ctx_st>;

/// A TLS server context presenting the device certificate with the device key. The client must
/// present a certificate, as every host library does: the pairing's root itself (the 1.3.0
/// client) or any certificate signed by the root's key (other libraries send the host
/// certificate), whatever its names. `tls10Only` for phones below 10.0, whose host library insists
/// on TLS 1.0. Null with `error` set on bad input.
Context serverContext(
    const SimPairing& pairing, const std::string& devicePrivateKeyPem, bool tls10Only, std::string* error);

} // namespace SimTls
