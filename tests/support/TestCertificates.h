#pragma once

#include <string>

// A certificate authority made at test time with the openssl command, and
// server certificates: signed by it for the names given, or self-signed.
// Test programs trust this authority alone: TrustInThisProcess() points
// SSL_CERT_FILE at its certificate, before any thread starts; the files are
// made at first use, in a folder removed when the program ends.
namespace TestCertificates {

struct Pair {
    std::string certificate; // PEM file, the chain of the authority's if signed
    std::string key;
};

void TrustInThisProcess();
// The authority's certificate.
const std::string& AuthorityFile();
// `altNames` as subjectAltName writes them, "DNS:localhost,IP:127.0.0.1".
Pair Signed(const std::string& commonName, const std::string& altNames);
Pair SelfSigned(const std::string& commonName, const std::string& altNames);

} // namespace TestCertificates
