#include "test_pki.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace korvo::testing {
namespace {

void run(const std::string &command) {
    std::string quiet = command + " >/dev/null 2>&1";
    if (std::system(quiet.c_str()) != 0) {
        std::fprintf(stderr, "test PKI command failed: %s\n", command.c_str());
        std::abort();
    }
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// An EC P-256 key and a certificate signed by ca (self-signed when ca is empty).
void make_cert(const std::string &dir, const std::string &name, const std::string &subject, const std::string &ca,
               const std::string &extensions) {
    const std::string key = dir + "/" + name + ".key";
    const std::string cert = dir + "/" + name + ".pem";
    const std::string ext = dir + "/" + name + ".ext";
    write_file(ext, extensions);
    run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + key);
    if (ca.empty()) {
        run("openssl req -x509 -new -key " + key + " -subj '" + subject + "' -days 2 -out " + cert +
            " -extensions v3 -config " + ext);
    } else {
        const std::string csr = dir + "/" + name + ".csr";
        run("openssl req -new -key " + key + " -subj '" + subject + "' -out " + csr);
        run("openssl x509 -req -in " + csr + " -CA " + dir + "/" + ca + ".pem -CAkey " + dir + "/" + ca +
            ".key -CAcreateserial -days 2 -out " + cert + " -extfile " + ext + " -extensions v3");
    }
}

TestPki build() {
    char pattern[] = "/tmp/korvo-pki-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    TestPki pki;
    pki.dir = pattern;
    const std::string ca_ext = "[req]\ndistinguished_name=dn\n[dn]\n[v3]\nbasicConstraints=critical,CA:TRUE\n"
                               "keyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n";
    const std::string leaf = "[v3]\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n";
    make_cert(pki.dir, "ca", "/CN=korvo test CA", "", ca_ext);
    make_cert(pki.dir, "other-ca", "/CN=unrelated test CA", "", ca_ext);
    make_cert(pki.dir, "server", "/CN=localhost", "ca",
              leaf + "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n");
    make_cert(pki.dir, "client", "/CN=korvo test client", "ca", leaf + "extendedKeyUsage=clientAuth\n");
    make_cert(pki.dir, "other-client", "/CN=unrelated client", "other-ca", leaf + "extendedKeyUsage=clientAuth\n");
    run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + pki.dir + "/unrelated.key");
    pki.ca_cert = pki.dir + "/ca.pem";
    pki.ca_key = pki.dir + "/ca.key";
    pki.server_cert = pki.dir + "/server.pem";
    pki.server_key = pki.dir + "/server.key";
    pki.client_cert = pki.dir + "/client.pem";
    pki.client_key = pki.dir + "/client.key";
    pki.other_ca_cert = pki.dir + "/other-ca.pem";
    pki.other_client_cert = pki.dir + "/other-client.pem";
    pki.other_client_key = pki.dir + "/other-client.key";
    pki.unrelated_key = pki.dir + "/unrelated.key";
    pki.client_bundle = pki.dir + "/client-bundle.pem";
    write_file(pki.client_bundle, TestPki::read(pki.client_cert) + TestPki::read(pki.client_key) + TestPki::read(pki.ca_cert));
    pki.client_bundle_ca_first = pki.dir + "/client-bundle-ca-first.pem";
    write_file(pki.client_bundle_ca_first,
               TestPki::read(pki.ca_cert) + TestPki::read(pki.client_key) + TestPki::read(pki.client_cert));
    pki.other_client_bundle = pki.dir + "/other-client-bundle.pem";
    write_file(pki.other_client_bundle, TestPki::read(pki.other_client_cert) + TestPki::read(pki.other_client_key) +
                                            TestPki::read(pki.other_ca_cert));
    return pki;
}

} // namespace

std::string TestPki::read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

const TestPki &test_pki() {
    static const TestPki pki = build();
    static const bool cleanup_registered = [] {
        std::atexit([] { std::system(("rm -rf '" + pki.dir + "'").c_str()); });
        return true;
    }();
    (void)cleanup_registered;
    return pki;
}

} // namespace korvo::testing
