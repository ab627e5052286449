#ifndef KORU_TESTS_TEST_CERTIFICATES_H_
#define KORU_TESTS_TEST_CERTIFICATES_H_

#include <string>

// Certificates for the TLS tests, made with `openssl req` in a directory readable by the servers'
// unprivileged users: kept under the temporary folder for the test processes of the same test
// program that follow, or else made once per test process in a scratch directory.
namespace koru::testing {

struct CertificateFiles {
  std::string certificate;  // PEM
  std::string key;
};

struct TestCertificates {
  std::string ca;                // the test CA's certificate: what SSL_CERT_FILE names
  CertificateFiles server;       // for localhost and 127.0.0.1, issued by the CA
  CertificateFiles other_name;   // for elsewhere.invalid only, issued by the CA
  CertificateFiles self_signed;  // for localhost and 127.0.0.1, signed by itself
};

// The certificates; null with `*error` set when openssl failed.
const TestCertificates* MakeTestCertificates(std::string* error);

}  // namespace koru::testing

#endif  // KORU_TESTS_TEST_CERTIFICATES_H_
