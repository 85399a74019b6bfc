#include "tests/support/TestCa.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace vtest {

namespace {

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("EC key");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) throw std::runtime_error("extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* NewCert(const std::string& cn, EVP_PKEY* key, int serial, long from, long to) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), to);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                             0);
  return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  const bool ok = cert ? PEM_write_X509(f, cert) == 1
                       : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(f);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace

TestCa::TestCa(const std::string& dir) : m_dir(dir), m_caFile(dir + "/ca.pem") {
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert("Test CA", key, m_serial++, -86400, 365L * 86400);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert, cert, NID_subject_key_identifier, "hash");
  X509_sign(cert, key, EVP_sha256());
  WritePem(m_caFile, cert, nullptr);
  m_caKey = key;
  m_caCert = cert;
}

TestCa::~TestCa() {
  X509_free(static_cast<X509*>(m_caCert));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(m_caKey));
}

CertFiles TestCa::Issue(const std::string& name, const std::vector<std::string>& dnsNames,
                        const std::vector<std::string>& ips, long validFromSec, long validToSec, bool selfSigned) {
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert(name, key, m_serial++, validFromSec, validToSec);
  X509* issuer = selfSigned ? cert : static_cast<X509*>(m_caCert);
  EVP_PKEY* signer = selfSigned ? key : static_cast<EVP_PKEY*>(m_caKey);
  X509_set_issuer_name(cert, X509_get_subject_name(issuer));
  std::string san;
  for (const auto& d : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
  for (const auto& ip : ips) san += (san.empty() ? "IP:" : ",IP:") + ip;
  if (!san.empty()) AddExtension(cert, issuer, NID_subject_alt_name, san);
  AddExtension(cert, issuer, NID_basic_constraints, "CA:FALSE");
  AddExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
  if (!selfSigned) AddExtension(cert, issuer, NID_authority_key_identifier, "keyid:always");
  X509_sign(cert, signer, EVP_sha256());
  CertFiles files{m_dir + "/" + name + ".crt", m_dir + "/" + name + ".key"};
  WritePem(files.cert, cert, nullptr);
  WritePem(files.key, nullptr, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

}  // namespace vtest
