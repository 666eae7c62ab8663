#include "support/test_certificates.h"

#include <sys/stat.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "support/child_process.h"

namespace weft_test {

namespace {

void openssl(const std::vector<std::string>& args) {
  ChildProcess run("/usr/bin/openssl", args);
  if (run.wait_exit(std::chrono::seconds(30)) != 0) {
    throw std::runtime_error("openssl " + args.front() + " failed: " + run.err());
  }
}

}  // namespace

TestCertificates::TestCertificates() : dir_(temp_path("certs")) {
  ::mkdir(dir_.c_str(), 0700);
  make_ca("ca", "/CN=weft test CA");
  make_ca("other-ca", "/CN=weft other CA");
  make_signed("server", "/CN=localhost", "subjectAltName=DNS:localhost\n");
  make_signed("client", "/CN=weft-client", "extendedKeyUsage=clientAuth\n");
}

void TestCertificates::make_ca(const std::string& name, const std::string& subject) {
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-days", "2", "-subj", subject, "-keyout", dir_ + "/" + name + ".key", "-out",
           dir_ + "/" + name + ".crt"});
}

void TestCertificates::make_signed(const std::string& name, const std::string& subject,
                                   const std::string& extensions) {
  const std::string base = dir_ + "/" + name;
  write_file(base + ".ext", extensions);
  openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
           subject, "-keyout", base + ".key", "-out", base + ".csr"});
  openssl({"x509", "-req", "-in", base + ".csr", "-CA", ca_file(), "-CAkey", dir_ + "/ca.key",
           "-CAcreateserial", "-days", "2", "-extfile", base + ".ext", "-out", base + ".crt"});
}

}  // namespace weft_test
