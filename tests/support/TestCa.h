#pragma once
// A certificate authority made at test time, so TLS tests need nothing
// installed: a CA, and server certificates it signs for chosen names and
// addresses, valid when asked to be (or expired, or for another name).
#include <string>
#include <vector>

namespace vtest {

struct CertFiles {
  std::string cert;  // PEM, the server's certificate
  std::string key;   // PEM, its private key
};

class TestCa {
 public:
  // Writes ca.pem (and the keys) into dir.
  explicit TestCa(const std::string& dir);
  ~TestCa();
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  const std::string& caFile() const { return m_caFile; }
  // A server certificate for DNS names and IP addresses, valid from
  // validFromSec to validToSec seconds off now. selfSigned: signed by its
  // own key instead of the CA's (so nobody trusts it).
  CertFiles Issue(const std::string& name, const std::vector<std::string>& dnsNames,
                  const std::vector<std::string>& ips, long validFromSec = -3600,
                  long validToSec = 30L * 86400, bool selfSigned = false);

 private:
  std::string m_dir;
  std::string m_caFile;
  void* m_caKey = nullptr;   // EVP_PKEY
  void* m_caCert = nullptr;  // X509
  int m_serial = 1;
};

}  // namespace vtest
