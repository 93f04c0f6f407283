#include "testing/test_pki.h"

#include <cstdio>
#include <filesystem>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdexcept>
#include <sys/stat.h>

namespace brix::testing {

namespace {

void AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for key; issuer null means self-signed (a CA).
X509* MakeCert(EVP_PKEY* key, const std::string& cn, X509* issuer, EVP_PKEY* issuerKey, int serial,
               long fromDays, long toDays, const std::string& dns) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(x), toDays * 86400);
    X509_set_pubkey(x, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(issuer ? issuer : x));
    X509* signer = issuer ? issuer : x;
    AddExt(x, signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        AddExt(x, signer, NID_basic_constraints, "CA:FALSE");
        AddExt(x, signer, NID_authority_key_identifier, "keyid");
        AddExt(x, signer, NID_ext_key_usage, "serverAuth");
        AddExt(x, signer, NID_subject_alt_name, "DNS:" + dns);
    } else {
        AddExt(x, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExt(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256());
    return x;
}

template <class F> void WritePem(const std::string& path, F write) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path);
    write(f);
    std::fclose(f);
    ::chmod(path.c_str(), 0644);
}

struct Ca {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

Ca MakeCa(const std::string& cn) {
    Ca ca;
    ca.key = EVP_EC_gen("P-256");
    ca.cert = MakeCert(ca.key, cn, nullptr, nullptr, 1, -1, 3650, "");
    return ca;
}

// Both CAs are made once per test program: key generation is the slow part.
Ca& TrustedCa() {
    static Ca ca = MakeCa("Brix Test CA");
    return ca;
}
Ca& UntrustedCa() {
    static Ca ca = MakeCa("Unknown CA");
    return ca;
}

} // namespace

TestPki::TestPki() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "brix-pki-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755); // the servers read their keys as their own users
    WritePem(CaFile(), [](FILE* f) { PEM_write_X509(f, TrustedCa().cert); });
    localhost_ = Issue("localhost");
}

TestPki::~TestPki() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

TestPki::Pair TestPki::Issue(const std::string& dns, long fromDays, long toDays, bool trusted) {
    Ca& ca = trusted ? TrustedCa() : UntrustedCa();
    EVP_PKEY* key = EVP_EC_gen("P-256");
    int serial = ++serial_;
    X509* cert = MakeCert(key, dns, ca.cert, ca.key, serial, fromDays, toDays, dns);
    Pair p{dir_ + "/cert" + std::to_string(serial) + ".pem",
           dir_ + "/key" + std::to_string(serial) + ".pem"};
    WritePem(p.cert, [&](FILE* f) {
        PEM_write_X509(f, cert);
        PEM_write_X509(f, ca.cert); // the chain, as servers send it
    });
    WritePem(p.key,
             [&](FILE* f) { PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr); });
    X509_free(cert);
    EVP_PKEY_free(key);
    return p;
}

} // namespace brix::testing
