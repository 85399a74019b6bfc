#pragma once
// A certificate authority made at test time and server certificates signed
// by it, with openssl: nothing is installed, a test trusts the authority
// through SSL_CERT_FILE or MP3.ini's CAFile. Header only.
#include <sys/stat.h>

#include <string>

#include "tests/support/TempHome.h"
#include "tests/task/ServerProcess.h"

namespace vtest {

class TestCertificates {
 public:
  // Makes dir/ca.pem and dir/ca.key. False when openssl is missing or fails.
  bool Make(const std::string& dir) {
    m_dir = dir;
    mkdir(dir.c_str(), 0755);
    return RunQuietly("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                      " -subj '/CN=VireloMP3 test authority' -keyout '" + dir + "/ca.key' -out '" + dir + "/ca.pem'");
  }

  // dir/<name>.pem and dir/<name>.key for the subject alternative names
  // given (e.g. "DNS:localhost,IP:127.0.0.1"), signed by the authority.
  bool Server(const std::string& name, const std::string& altNames) {
    const std::string base = m_dir + "/" + name;
    if (!WriteFile(base + ".ext", "basicConstraints=CA:FALSE\nsubjectAltName=" + altNames + "\n")) return false;
    return RunQuietly("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + name +
                      "' -keyout '" + base + ".key' -out '" + base + ".csr'") &&
           RunQuietly("openssl x509 -req -days 2 -in '" + base + ".csr' -CA '" + m_dir + "/ca.pem' -CAkey '" +
                      m_dir + "/ca.key' -CAcreateserial -extfile '" + base + ".ext' -out '" + base + ".pem'") &&
           chmod((base + ".key").c_str(), 0644) == 0;
  }

  std::string Ca() const { return m_dir + "/ca.pem"; }
  std::string Cert(const std::string& name) const { return m_dir + "/" + name + ".pem"; }
  std::string Key(const std::string& name) const { return m_dir + "/" + name + ".key"; }

 private:
  std::string m_dir;
};

}  // namespace vtest
