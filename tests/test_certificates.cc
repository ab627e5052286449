#include "tests/test_certificates.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
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
bool MakeCertificate(const std::string& dir, const std::string& base, const std::string& names,
                     const CertificateFiles* ca, CertificateFiles* out, std::string* error) {
  out->certificate = dir + "/" + base + ".pem";
  out->key = dir + "/" + base + ".key";
  const std::string subject = "/CN=" + base;
  const std::string alt = "subjectAltName=" + names;
  if (!ca) {
    return Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", subject,
                    "-addext", alt, "-keyout", out->key, "-out", out->certificate},
                   error);
  }
  const std::string request = dir + "/" + base + ".csr";
  const std::string extensions = dir + "/" + base + ".ext";
  std::ofstream(extensions) << alt << "\nextendedKeyUsage=serverAuth\n";
  return Openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", subject, "-keyout", out->key,
                  "-out", request},
                 error) &&
         Openssl(
             {"x509", "-req", "-in", request, "-CA", ca->certificate, "-CAkey", ca->key,
              "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", out->certificate},
             error);
}

// The files of every certificate in `dir`, made or not.
void Name(const std::string& dir, TestCertificates* made) {
  made->ca = dir + "/ca.pem";
  const auto name = [&dir](const std::string& base, CertificateFiles* files) {
    files->certificate = dir + "/" + base + ".pem";
    files->key = dir + "/" + base + ".key";
  };
  name("server", &made->server);
  name("other", &made->other_name);
  name("self", &made->self_signed);
}

bool MakeAll(const std::string& dir, TestCertificates* made, std::string* error) {
  CertificateFiles ca;
  ca.certificate = dir + "/ca.pem";
  ca.key = dir + "/ca.key";
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
  ::chmod(dir.c_str(), 0755);
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ::chmod(entry.path().c_str(), 0644);
  }
  return true;
}

// What the kept certificates were made by: this test program, as it was built.
std::string Maker() {
  std::error_code failed;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
  struct stat built {};
  if (failed || ::stat(program.c_str(), &built) != 0) return "";
  std::ostringstream maker;
  maker << program.string() << "\n"
        << built.st_size << "\n"
        << built.st_mtim.tv_sec << "." << built.st_mtim.tv_nsec << "\n";
  return maker.str();
}

// Each end-to-end case runs in a process of its own, and making the certificates takes much
// of a short TLS case: they are kept for the processes that follow in a directory of the
// temporary folder named after this test program (readable by the servers' users), and made
// again when the program was built anew or they are a day old (they are valid for two).
// False when there is no such directory of this user's; the caller makes its own.
bool KeptCertificates(TestCertificates* made, std::string* error) {
  const std::string maker = Maker();
  if (maker.empty()) return false;
  const std::string dir =
      (std::filesystem::temp_directory_path() /
       ("koru-test-certificates-" + std::to_string(::geteuid()) + "-" +
        std::to_string(std::hash<std::string>{}(maker.substr(0, maker.find('\n'))))))
          .string();
  ::mkdir(dir.c_str(), 0755);
  struct stat kept {};
  if (::lstat(dir.c_str(), &kept) != 0 || !S_ISDIR(kept.st_mode) || kept.st_uid != ::geteuid()) {
    return false;
  }
  const int lock = ::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (lock < 0) return false;
  ::flock(lock, LOCK_EX);  // one process makes them while the others wait
  const std::string stamp = dir + "/made-by";
  std::error_code failed;
  const auto stamped = std::filesystem::last_write_time(stamp, failed);
  const bool fresh =
      !failed && FileContent(stamp) == maker &&
      std::filesystem::file_time_type::clock::now() - stamped < std::chrono::hours(24);
  bool ok = true;
  if (fresh) {
    Name(dir, made);
  } else {
    std::filesystem::remove(stamp, failed);
    ok = MakeAll(dir, made, error);
    if (ok) WriteFile(stamp, maker);
  }
  ::close(lock);
  if (!ok) *error = "in " + dir + ": " + *error;
  return ok;
}

}  // namespace

const TestCertificates* MakeTestCertificates(std::string* error) {
  static std::unique_ptr<ScratchDir> own;
  static std::string failure;
  static const std::unique_ptr<TestCertificates> made = [] {
    auto certificates = std::make_unique<TestCertificates>();
    if (::access(kOpenssl, X_OK) != 0) {
      failure = "openssl is not installed (Debian package openssl)";
      return std::unique_ptr<TestCertificates>();
    }
    if (KeptCertificates(certificates.get(), &failure)) return certificates;
    if (!failure.empty()) return std::unique_ptr<TestCertificates>();
    own = std::make_unique<ScratchDir>();
    if (own->path().empty() || !MakeAll(own->path(), certificates.get(), &failure)) {
      certificates.reset();
    }
    return certificates;
  }();
  if (!made) *error = failure;
  return made.get();
}

}  // namespace koru::testing
