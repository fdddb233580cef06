// Certificates for TLS tests, made at test time with the openssl command: a CA, a server
// certificate for 127.0.0.1 and localhost, a client certificate from that CA, and a client
// certificate from another, unrelated CA. Made once per process in a temporary directory.
#ifndef KORVO_TESTING_TEST_PKI_H
#define KORVO_TESTING_TEST_PKI_H

#include <string>

namespace korvo::testing {

struct TestPki {
    std::string dir;
    std::string ca_cert, ca_key;           // the trusted CA
    std::string server_cert, server_key;   // signed by the CA; SAN 127.0.0.1, localhost
    std::string client_cert, client_key;   // signed by the CA
    std::string other_ca_cert;             // an unrelated CA
    std::string other_client_cert, other_client_key; // signed by the unrelated CA
    std::string unrelated_key;             // a key that matches no certificate
    // PEM bundles: client cert, key, CA (in that order) ...
    std::string client_bundle;
    // ... the same with the CA first ...
    std::string client_bundle_ca_first;
    // ... and the unrelated CA's client with its CA.
    std::string other_client_bundle;

    // Text of a file of this PKI.
    static std::string read(const std::string &path);
};

// The process-wide PKI, created on first use; aborts the test binary when openssl fails.
const TestPki &test_pki();

} // namespace korvo::testing

#endif
