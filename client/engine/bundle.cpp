// The PEM client bundle: reading it from a file or a callback source through an OpenSSL BIO,
// classifying its certificates, finding the matching key, and installing it into each
// transfer's TLS context.
#include "korvoc_engine.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace korvo::engine {
namespace {

constexpr int kCurlSslCertProblem = 58;  // CURLE_SSL_CERTPROBLEM
constexpr int kCurlOutOfMemory = 27;     // CURLE_OUT_OF_MEMORY

struct BioDeleter {
    void operator()(BIO *bio) const { BIO_free_all(bio); }
};
struct BioMethodDeleter {
    void operator()(BIO_METHOD *method) const { BIO_meth_free(method); }
};
struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

// One PEM object of the bundle: a certificate or a key (the other member NULL).
struct PemObject {
    X509 *cert;
    EVP_PKEY *key;
};

// The objects of one bundle in file order; frees what it still holds.
struct PemObjects {
    PemObject *items = nullptr;
    size_t count = 0;
    ~PemObjects() {
        for (size_t i = 0; i < count; i++) {
            X509_free(items[i].cert);
            EVP_PKEY_free(items[i].key);
        }
        std::free(items);
    }
    bool push(X509 *cert, EVP_PKEY *key) {
        auto *grown = static_cast<PemObject *>(std::realloc(items, (count + 1) * sizeof(PemObject)));
        if (!grown) return false;
        items = grown;
        items[count++] = PemObject{cert, key};
        return true;
    }
};

// Appends an owned reference to a list grown one slot at a time.
bool append_cert(X509 ***list, size_t *count, X509 *cert) {
    auto *grown = static_cast<X509 **>(std::realloc(*list, (*count + 1) * sizeof(X509 *)));
    if (!grown) return false;
    *list = grown;
    if (X509_up_ref(cert) != 1) return false;
    grown[(*count)++] = cert;
    return true;
}

bool is_key_label(const char *name) {
    return std::strcmp(name, "PRIVATE KEY") == 0 || std::strcmp(name, "RSA PRIVATE KEY") == 0 ||
           std::strcmp(name, "EC PRIVATE KEY") == 0;
}

bool is_cert_label(const char *name) {
    return std::strcmp(name, "CERTIFICATE") == 0 || std::strcmp(name, "TRUSTED CERTIFICATE") == 0 ||
           std::strcmp(name, "X509 CERTIFICATE") == 0;
}

// Reads every certificate and key PEM object of bio; false only when memory runs out.
bool read_objects(BIO *bio, PemObjects &objects) {
    for (;;) {
        char *name = nullptr;
        char *header = nullptr;
        unsigned char *data = nullptr;
        long length = 0;
        if (PEM_read_bio(bio, &name, &header, &data, &length) != 1) break;
        X509 *cert = nullptr;
        EVP_PKEY *key = nullptr;
        const unsigned char *cursor = data;
        if (is_cert_label(name)) {
            cert = std::strcmp(name, "TRUSTED CERTIFICATE") == 0 ? d2i_X509_AUX(nullptr, &cursor, length)
                                                                   : d2i_X509(nullptr, &cursor, length);
        } else if (is_key_label(name)) {
            key = d2i_AutoPrivateKey(nullptr, &cursor, length);
        }
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
        if ((cert || key) && !objects.push(cert, key)) {
            X509_free(cert);
            EVP_PKEY_free(key);
            ERR_clear_error();
            return false;
        }
    }
    ERR_clear_error(); // the end of input shows up as a "no start line" error
    return true;
}

// State of the source-backed BIO.
struct SourceBio {
    kc_engine_bundle_source *source;
    kc_engine_error error;
    bool failed;
};

int source_bio_create(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int source_bio_destroy(BIO *bio) {
    if (!bio) return 0;
    BIO_set_data(bio, nullptr);
    BIO_set_init(bio, 0);
    return 1;
}

int source_bio_read(BIO *bio, char *buffer, int capacity) {
    auto *state = static_cast<SourceBio *>(BIO_get_data(bio));
    if (capacity <= 0 || !state || !state->source || !state->source->read) return 0;
    BIO_clear_retry_flags(bio);
    size_t n = state->source->read(state->source, buffer, static_cast<size_t>(capacity), &state->error);
    if (n == 0 && state->error.code != KC_OK) {
        state->failed = true;
        return -1;
    }
    if (n > static_cast<size_t>(capacity)) n = static_cast<size_t>(capacity);
    return static_cast<int>(n);
}

long source_bio_ctrl(BIO *, int cmd, long, void *) {
    // The buffering BIO in front asks for flush and pending counts; nothing is held here.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int load_from_source(kc_engine_client *client, kc_engine_bundle_source *source, kc_engine_error *error) {
    std::unique_ptr<BIO_METHOD, BioMethodDeleter> method(BIO_meth_new(BIO_TYPE_SOURCE_SINK, "libkorvoc source"));
    if (!method || BIO_meth_set_create(method.get(), source_bio_create) != 1 ||
        BIO_meth_set_destroy(method.get(), source_bio_destroy) != 1 ||
        BIO_meth_set_read(method.get(), source_bio_read) != 1 ||
        BIO_meth_set_ctrl(method.get(), source_bio_ctrl) != 1)
        return kc_engine_set_transport_error(error, "failed to allocate client bundle source BIO method");
    SourceBio state{source, {}, false};
    BIO *raw = BIO_new(method.get());
    if (!raw) return kc_engine_set_transport_error(error, "failed to allocate client bundle BIO");
    BIO_set_data(raw, &state);
    BioPtr chain(raw);
    BIO *buffered = BIO_new(BIO_f_buffer());
    if (!buffered) return kc_engine_set_transport_error(error, "failed to allocate buffered client bundle BIO");
    chain.release();
    chain.reset(BIO_push(buffered, raw));
    int code = kc_engine_load_bundle_from_bio(client, chain.get(), error);
    chain.reset();
    if (state.failed) {
        kc_engine_free_bundle(&client->bundle);
        code = kc_engine_set_transport_error(error, state.error.message ? state.error.message
                                                                        : "failed to read client bundle source");
    }
    kc_engine_error_reset(&state.error);
    return code;
}

} // namespace
} // namespace korvo::engine

extern "C" {

KC_API void kc_engine_free_bundle(kc_engine_bundle *bundle) {
    if (!bundle) return;
    X509_free(bundle->client_cert);
    EVP_PKEY_free(bundle->private_key);
    for (size_t i = 0; i < bundle->ca_count; i++) X509_free(bundle->ca_certs[i]);
    std::free(bundle->ca_certs);
    for (size_t i = 0; i < bundle->chain_count; i++) X509_free(bundle->chain_certs[i]);
    std::free(bundle->chain_certs);
    std::memset(bundle, 0, sizeof(*bundle));
}

KC_API int kc_engine_load_bundle_from_bio(kc_engine_client *client, struct bio_st *bio, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !bio)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "client and bundle source or path are required");
    kc_engine_free_bundle(&client->bundle);
    PemObjects objects;
    if (!read_objects(bio, objects))
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to retain parsed client bundle");
    if (objects.count == 0) return kc_engine_set_protocol_error(error, "failed to parse client bundle PEM");

    kc_engine_bundle &bundle = client->bundle;
    for (size_t i = 0; i < objects.count; i++) {
        X509 *cert = objects.items[i].cert;
        if (!cert) continue;
        bool ok;
        if (X509_check_ca(cert) != 0) {
            ok = append_cert(&bundle.ca_certs, &bundle.ca_count, cert);
        } else if (!bundle.client_cert) {
            ok = X509_up_ref(cert) == 1;
            if (ok) bundle.client_cert = cert;
        } else {
            ok = append_cert(&bundle.chain_certs, &bundle.chain_count, cert);
        }
        if (!ok) {
            kc_engine_free_bundle(&bundle);
            return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to retain parsed client bundle");
        }
    }
    if (bundle.client_cert) {
        EVP_PKEY *public_key = X509_get0_pubkey(bundle.client_cert);
        for (size_t i = 0; i < objects.count && public_key; i++) {
            EVP_PKEY *key = objects.items[i].key;
            if (key && EVP_PKEY_eq(public_key, key) == 1 && EVP_PKEY_up_ref(key) == 1) {
                bundle.private_key = key;
                break;
            }
        }
    }
    ERR_clear_error();
    const char *problem = nullptr;
    if (!bundle.client_cert) problem = "client bundle does not contain a client certificate";
    else if (!bundle.private_key) problem = "client bundle does not contain a matching private key";
    else if (bundle.ca_count == 0) problem = "client bundle does not contain a CA certificate";
    if (problem) {
        kc_engine_free_bundle(&bundle);
        return kc_engine_set_protocol_error(error, problem);
    }
    return KC_OK;
}

KC_API int kc_engine_load_bundle(kc_engine_client *client, kc_engine_bundle_source *source, const char *path,
                                 kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || (!source && !(path && path[0] != '\0')))
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "client and bundle source or path are required");
    if (source) return load_from_source(client, source, error);
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) return kc_engine_set_transport_error(error, "failed to open client bundle");
    BioPtr bio(BIO_new_fp(file.get(), BIO_NOCLOSE));
    if (!bio) return kc_engine_set_transport_error(error, "failed to allocate client bundle BIO");
    return kc_engine_load_bundle_from_bio(client, bio.get(), error);
}

KC_API int kc_engine_ssl_ctx_callback(void *, void *ssl_ctx, void *user) {
    using namespace korvo::engine;
    auto *client = static_cast<kc_engine_client *>(user);
    auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
    if (!client || !ctx) return kCurlSslCertProblem;
    const kc_engine_bundle &bundle = client->bundle;
    if (!bundle.client_cert || !bundle.private_key || SSL_CTX_use_certificate(ctx, bundle.client_cert) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, bundle.private_key) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        return kCurlSslCertProblem;
    }
    for (size_t i = 0; i < bundle.chain_count; i++) {
        X509 *copy = X509_dup(bundle.chain_certs[i]);
        if (!copy) return kCurlOutOfMemory;
        if (SSL_CTX_add_extra_chain_cert(ctx, copy) != 1) {
            X509_free(copy);
            ERR_clear_error();
            return kCurlSslCertProblem;
        }
    }
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    for (size_t i = 0; store && i < bundle.ca_count; i++) X509_STORE_add_cert(store, bundle.ca_certs[i]);
    ERR_clear_error(); // duplicates in the store are expected and harmless
    return 0;
}

} // extern "C"
