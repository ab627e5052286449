#include "tests/test_certificates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "tests/child_process.h"
#include "tests/scratch_dir.h"

namespace koru::testing {
namespace {

constexpr char kOpenssl[] = "/usr/bin/openssl";

// Runs openssl; false with its output in `*error` when it fails.
bool Openssl(const std::vector<std::string>& args, std::string* error) {
  const ChildResult run = RunProgram(kOpenssl, args);
  if (run.exit_code == 0) return true;
  *error = "openssl " + args[0] + " failed: " + run.output + run.errors;
  return false;
}

// A certificate request and key for `names` (subjectAltName entries) in `dir`, then the
// certificate: signed by the CA, or by itself when `ca` is null.
bool MakeCertificate(const ScratchDir& dir, const std::string& base, const std::string& names,
                     const CertificateFiles* ca, CertificateFiles* out, std::string* error) {
  out->certificate = dir / (base + ".pem");
  out->key = dir / (base + ".key");
  const std::string subject = "/CN=" + base;
  const std::string alt = "subjectAltName=" + names;
  if (!ca) {
    return Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", subject,
                    "-addext", alt, "-keyout", out->key, "-out", out->certificate},
                   error);
  }
  const std::string request = dir / (base + ".csr");
  const std::string extensions = dir / (base + ".ext");
  std::ofstream(extensions) << alt << "\nextendedKeyUsage=serverAuth\n";
  return Openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", subject, "-keyout", out->key,
                  "-out", request},
                 error) &&
         Openssl(
             {"x509", "-req", "-in", request, "-CA", ca->certificate, "-CAkey", ca->key,
              "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", out->certificate},
             error);
}

bool MakeAll(const ScratchDir& dir, TestCertificates* made, std::string* error) {
  CertificateFiles ca;
  ca.certificate = dir / "ca.pem";
  ca.key = dir / "ca.key";
  if (!Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=KORU test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                "keyUsage=critical,keyCertSign", "-keyout", ca.key, "-out", ca.certificate},
               error)) {
    return false;
  }
  made->ca = ca.certificate;
  const std::string here = "DNS:localhost,IP:127.0.0.1,IP:::1";
  if (!MakeCertificate(dir, "server", here, &ca, &made->server, error) ||
      !MakeCertificate(dir, "other", "DNS:elsewhere.invalid", &ca, &made->other_name, error) ||
      !MakeCertificate(dir, "self", here, nullptr, &made->self_signed, error)) {
    return false;
  }
  // The servers read them as their unprivileged users.
  ::chmod(dir.path().c_str(), 0755);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ::chmod(entry.path().c_str(), 0644);
  }
  return true;
}

}  // namespace

const TestCertificates* MakeTestCertificates(std::string* error) {
  static const ScratchDir dir;
  static std::string failure;
  static const std::unique_ptr<TestCertificates> made = [] {
    auto certificates = std::make_unique<TestCertificates>();
    if (::access(kOpenssl, X_OK) != 0) {
      failure = "openssl is not installed (Debian package openssl)";
      return std::unique_ptr<TestCertificates>();
    }
    if (dir.path().empty() || !MakeAll(dir, certificates.get(), &failure)) certificates.reset();
    return certificates;
  }();
  if (!made) *error = failure;
  return made.get();
}

}  // namespace koru::testing
