// FTP over TLS end to end: the real program against vsftpd (session reuse required; explicit
// TLS with TLS 1.3 and TLS 1.2, implicit TLS) and pyftpdlib (explicit and implicit TLS), the
// test CA trusted through SSL_CERT_FILE; and every way the secure connection can be refused,
// each ending the run before anything but the allowed commands went out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/end_to_end.h"
#include "tests/fake_ftp_server.h"
#include "tests/real_ftp_server.h"
#include "tests/scratch_dir.h"
#include "tests/test_certificates.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using testing::ChildResult;
using ::testing::ElementsAre;
using testing::FtpServerKind;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::RealFtpServer;
using testing::RealFtpServerOptions;
using testing::TestCertificates;
using testing::TlsServerOptions;

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Every file below `root` by its relative name, with its content.
std::map<std::string, std::string> Files(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    files[fs::relative(entry.path(), root).string()] = testing::FileContent(entry.path());
  }
  return files;
}

// The TLS tests trust the test CA, as a user trusts a private one.
class TlsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    certificates_ = testing::MakeTestCertificates(&error);
    ASSERT_TRUE(certificates_) << error;
    ::setenv("SSL_CERT_FILE", certificates_->ca.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }

  // Starts `kind` serving TLS with the certificate `files` (the trusted one by default).
  void StartServer(FtpServerKind kind, TlsServerOptions tls = {},
                   const testing::CertificateFiles* files = nullptr, bool ipv6 = false) {
    if (!files) files = &certificates_->server;
    tls.certificate = files->certificate;
    tls.key = files->key;
    RealFtpServerOptions options;
    options.tls = tls;
    options.ipv6 = ipv6;
    testing::StartOrSkip(kind, &server_, options);
  }

  // Runs the program with `scheme` on `host` (the server's port) and /pub/.
  ChildResult Run(const std::string& scheme, std::vector<std::string> switches,
                  const std::string& host = "localhost") {
    switches.insert(switches.begin(),
                    scheme + "://" + host + ":" + std::to_string(server_->port()) + "/pub/");
    ChildResult run = testing::RunProgram(KORU_BINARY, switches, local_.path());
    run.output = testing::Normalised(run.output, host + ":" + std::to_string(server_->port()),
                                     local_.path());
    return run;
  }

  const TestCertificates* certificates_ = nullptr;
  std::unique_ptr<RealFtpServer> server_;
  testing::ScratchDir local_;
};

struct TlsServer {
  const char* name;
  FtpServerKind kind;
  const char* scheme;
  TlsServerOptions tls;
  const char* protocol;  // as the verbose line names it
  bool ipv6 = false;     // the server listens on ::1 only, reached as [::1]
};

void PrintTo(const TlsServer& server, std::ostream* out) { *out << server.name; }

class TlsServerTest : public TlsFixture, public ::testing::WithParamInterface<TlsServer> {
 protected:
  void SetUp() override {
    TlsFixture::SetUp();
    if (HasFatalFailure()) return;
    StartServer(GetParam().kind, GetParam().tls, nullptr, GetParam().ipv6);
  }
  ChildResult Run(std::vector<std::string> switches) {
    return TlsFixture::Run(GetParam().scheme, std::move(switches),
                           GetParam().ipv6 ? "[::1]" : "localhost");
  }
  std::string Pub(const std::string& name) const { return server_->root() + "/pub/" + name; }

  // `directories` directories of 5 files each, and a big file beside them.
  void MakeTree(int directories, size_t big_size) {
    for (int d = 0; d < directories; ++d) {
      for (int f = 0; f < 5; ++f) {
        WriteFile(Pub("d" + std::to_string(d) + "/f" + std::to_string(f) + ".bin"),
                  testing::FileBytes(static_cast<size_t>(1 + d * 997 + f * 7919)));
      }
    }
    WriteFile(Pub("big.bin"), testing::FileBytes(big_size));
    server_->HandOver(server_->root() + "/pub");
  }
};

// 40 directories and 200 files: every data connection must resume the session, or vsftpd
// refuses it. The second run lists every directory again and transfers nothing.
TEST_P(TlsServerTest, MirrorsATreeOfManyDirectoriesTwice) {
  MakeTree(40, 3 << 20);

  const ChildResult first = Run({"-S", "-V"});

  EXPECT_EQ(first.exit_code, 0) << first.output << server_->Log();
  EXPECT_THAT(first.output,
              HasSubstr(std::string(" ") + GetParam().scheme + "://anonymous@SERVER\n"));
  EXPECT_THAT(first.output, HasSubstr(std::string("TIME * TLS ") + GetParam().protocol));
  EXPECT_THAT(first.output, HasSubstr("TIME 201 files transferred.\nTIME 40 subdirectories"));
  EXPECT_EQ(Files(local_.path()), Files(server_->root() + "/pub"));

  const ChildResult second = Run({"-S"});

  EXPECT_EQ(second.exit_code, 0) << second.output;
  EXPECT_THAT(second.output, HasSubstr("TIME * No more files to transfer.\n"));
  EXPECT_THAT(second.output, Not(HasSubstr("transferred")));
}

// Four control connections, each with its own TLS session that its data connections resume.
TEST_P(TlsServerTest, MirrorsATreeOverFourConnections) {
  MakeTree(8, 2 << 20);

  const ChildResult run = Run({"-S", "-P4"});

  EXPECT_EQ(run.exit_code, 0) << run.output << server_->Log();
  EXPECT_THAT(run.output, HasSubstr("TIME 41 files transferred.\nTIME 8 subdirectories"));
  EXPECT_EQ(Files(local_.path()), Files(server_->root() + "/pub"));
}

// -R completes a shorter local file through REST; -M removes what arrived whole.
TEST_P(TlsServerTest, ResumeAndMoveWorkOverProtectedData) {
  const std::string remote = testing::FileBytes(200000);
  WriteFile(Pub("part.bin"), remote);
  WriteFile(Pub("gone.txt"), "moved away");
  server_->HandOver(server_->root() + "/pub");
  WriteFile(local_ / "part.bin", remote.substr(0, 50000));

  const ChildResult resumed = Run({"+R", "+V"});

  EXPECT_EQ(resumed.exit_code, 0) << resumed.output;
  EXPECT_THAT(resumed.output, HasSubstr("REST 50000"));
  // Over IPv6 the protected data connections are opened with EPSV, never PASV.
  EXPECT_THAT(resumed.output, HasSubstr(GetParam().ipv6 ? "\nEPSV\n" : "\nPASV\n"));
  EXPECT_THAT(resumed.output, Not(HasSubstr(GetParam().ipv6 ? "\nPASV\n" : "\nEPSV\n")));
  EXPECT_EQ(testing::FileContent(local_ / "part.bin"), remote);

  fs::remove(local_ / "part.bin");
  fs::remove(local_ / "gone.txt");
  const ChildResult moved = Run({"-M"});

  EXPECT_EQ(moved.exit_code, 0) << moved.output;
  EXPECT_EQ(testing::FileContent(local_ / "gone.txt"), "moved away");
  EXPECT_FALSE(fs::exists(Pub("gone.txt")));
  EXPECT_FALSE(fs::exists(Pub("part.bin")));
}

INSTANTIATE_TEST_SUITE_P(
    Real, TlsServerTest,
    ::testing::Values(
        TlsServer{"VsftpdTls13", FtpServerKind::kVsftpd, "ftpes", {}, "TLSv1.3"},
        TlsServer{"VsftpdTls12", FtpServerKind::kVsftpd, "ftpes", {.tls12_only = true}, "TLSv1.2"},
        TlsServer{"VsftpdImplicit", FtpServerKind::kVsftpd, "ftps", {.implicit = true}, "TLSv1.3"},
        TlsServer{"VsftpdIpv6", FtpServerKind::kVsftpd, "ftpes", {}, "TLSv1.3", true},
        TlsServer{"PyftpdlibExplicit", FtpServerKind::kPyftpdlib, "ftpes", {}, "TLSv1."},
        TlsServer{
            "PyftpdlibImplicit", FtpServerKind::kPyftpdlib, "ftps", {.implicit = true}, "TLSv1."}),
    [](const ::testing::TestParamInfo<TlsServer>& info) { return info.param.name; });

// The commands a debug run sent (the lines it echoed that are the dialogue's commands).
std::vector<std::string> SentCommands(const std::string& output) {
  static const char* const kVerbs[] = {"AUTH", "USER", "PASS", "PBSZ", "PROT", "QUIT",
                                       "CWD",  "PASV", "LIST", "RETR", "TYPE"};
  std::vector<std::string> sent;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    for (const char* verb : kVerbs) {
      if (line.rfind(std::string(verb) + " ", 0) != 0 && line != verb) continue;
      // The password of an anonymous login changes with the time of day.
      sent.push_back(line.rfind("PASS ", 0) == 0 ? "PASS" : line);
    }
  }
  return sent;
}

struct Refusal {
  const char* name;
  FtpServerKind kind;
  const char* scheme;
  const char* host;
  int certificate;  // 0 trusted, 1 for another name, 2 self-signed, -1 no TLS at all
  TlsServerOptions tls;
  const char* error;  // the line after TIME
  std::vector<std::string> sent;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class TlsRefusalTest : public TlsFixture, public ::testing::WithParamInterface<Refusal> {};

// Each refusal ends the run with exit code 1 and the totals, nothing sent after it but QUIT
// (where the connection still carries one), and never a password before the TLS is in place.
TEST_P(TlsRefusalTest, EndsTheRunBeforeTheLogin) {
  const Refusal& c = GetParam();
  if (c.certificate < 0) {
    testing::StartOrSkip(c.kind, &server_);
  } else {
    const testing::CertificateFiles* files[] = {&certificates_->server, &certificates_->other_name,
                                                &certificates_->self_signed};
    StartServer(c.kind, c.tls, files[c.certificate]);
  }
  if (IsSkipped() || HasFatalFailure()) return;

  const ChildResult run = Run(c.scheme, {"+V"}, c.host);

  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.output, HasSubstr(std::string("\nTIME ") + c.error + "\n"));
  EXPECT_THAT(run.output, HasSubstr("TIME ERROR: Unable to open connection to server.\n"));
  EXPECT_THAT(run.output, EndsWith("TIME * No more files to transfer.\n"));
  EXPECT_EQ(SentCommands(run.output), c.sent);
  if (c.kind == FtpServerKind::kVsftpd && c.certificate >= 0) {
    EXPECT_THAT(server_->Log(), Not(HasSubstr("USER"))) << server_->Log();
  }
}

const std::vector<std::string> kAuthOnly = {"AUTH TLS"};

INSTANTIATE_TEST_SUITE_P(
    Real, TlsRefusalTest,
    ::testing::Values(Refusal{"CertificateForAnotherName",
                              FtpServerKind::kVsftpd,
                              "ftpes",
                              "localhost",
                              1,
                              {},
                              "ERROR: TLS certificate rejected: hostname mismatch",
                              kAuthOnly},
                      Refusal{"AddressNotInTheCertificate",
                              FtpServerKind::kVsftpd,
                              "ftpes",
                              "127.0.0.1",
                              1,
                              {},
                              "ERROR: TLS certificate rejected: IP address mismatch",
                              kAuthOnly},
                      Refusal{"UntrustedSelfSigned",
                              FtpServerKind::kVsftpd,
                              "ftpes",
                              "127.0.0.1",
                              2,
                              {},
                              "ERROR: TLS certificate rejected: self-signed certificate",
                              kAuthOnly},
                      Refusal{"ImplicitUntrusted",
                              FtpServerKind::kPyftpdlib,
                              "ftps",
                              "localhost",
                              2,
                              {.implicit = true},
                              "ERROR: TLS certificate rejected: self-signed certificate",
                              {}},
                      Refusal{"ServerWithoutTls",
                              FtpServerKind::kVsftpd,
                              "ftpes",
                              "127.0.0.1",
                              -1,
                              {},
                              "ERROR: Server refused TLS: 530 Please login with USER and PASS.",
                              {"AUTH TLS", "QUIT"}},
                      Refusal{"PyftpdlibCertificateForAnotherName",
                              FtpServerKind::kPyftpdlib,
                              "ftpes",
                              "localhost",
                              1,
                              {},
                              "ERROR: TLS certificate rejected: hostname mismatch",
                              kAuthOnly},
                      Refusal{"PyftpdlibWithoutTls",
                              FtpServerKind::kPyftpdlib,
                              "ftpes",
                              "127.0.0.1",
                              -1,
                              {},
                              "ERROR: Server refused TLS: 500 Command \"AUTH\" not understood.",
                              {"AUTH TLS", "QUIT"}},
                      Refusal{"ProtectionRefused",
                              FtpServerKind::kPyftpdlib,
                              "ftpes",
                              "localhost",
                              0,
                              {.refuse_prot = true},
                              "ERROR: Server refused TLS: 534 PROT refused by policy.",
                              {"AUTH TLS", "USER anonymous", "PASS", "PBSZ 0", "PROT P", "QUIT"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// ftpes:// at a port where the server waits for a TLS handshake first (ftps://): no greeting
// comes, and the reason names the likely mix-up. Run in this process for a time-out of 1 s.
TEST_F(TlsFixture, ExplicitTlsAtAnImplicitPortNamesTheMixUp) {
  for (const FtpServerKind kind : {FtpServerKind::kVsftpd, FtpServerKind::kPyftpdlib}) {
    SCOPED_TRACE(testing::KindName(kind));
    StartServer(kind, {.implicit = true});
    if (IsSkipped() || HasFatalFailure()) return;

    const ChildResult run = testing::RunKoruInThisProcess(
        {"ftpes://localhost:" + std::to_string(server_->port()) + "/pub/"}, local_.path(), 1000);

    EXPECT_EQ(run.exit_code, 1);
    EXPECT_THAT(run.output, HasSubstr(" ERROR: Unable to open connection to server.\n"));
    EXPECT_THAT(run.output, HasSubstr("  No reply from the server in 1 s (an implicit TLS port? "
                                      "try ftps://)\n"))
        << run.output;
  }
}

// SSL_CERT_FILE naming a file that is not there leaves every certificate untrusted: the
// rejection names the missing file.
TEST_F(TlsFixture, CertificateRejectedForAMissingTrustFileNamesIt) {
  StartServer(FtpServerKind::kVsftpd);
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string missing = local_.path() + "/no-such-ca.pem";
  ::setenv("SSL_CERT_FILE", missing.c_str(), 1);

  const ChildResult run = Run("ftpes", {});

  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.output, ::testing::ContainsRegex("\nTIME ERROR: TLS certificate rejected: [^\n]+ "
                                                   "\\(SSL_CERT_FILE names no file: DIR/"
                                                   "no-such-ca\\.pem\\)\n"))
      << run.output;
}

// A server whose data connections end without close_notify has still sent the data: the
// size check decides, and every file arrives.
TEST_F(TlsFixture, DataEndingWithoutCloseNotifyIsJudgedByItsSize) {
  StartServer(FtpServerKind::kPyftpdlib, {.no_close_notify = true});
  if (IsSkipped() || HasFatalFailure()) return;
  WriteFile(server_->root() + "/pub/a.bin", testing::FileBytes(300000));
  WriteFile(server_->root() + "/pub/b.txt", "b");
  server_->HandOver(server_->root() + "/pub");

  const ChildResult run = Run("ftpes", {});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("TIME 2 files transferred.\n"));
  EXPECT_EQ(Files(local_.path()), Files(server_->root() + "/pub"));
}

// A TLS error in the middle of the data breaks the transfer: the file is short, the run says so
// and fails.
TEST_F(TlsFixture, TlsErrorInTheMiddleOfTheDataIsABrokenTransfer) {
  StartServer(FtpServerKind::kPyftpdlib, {.corrupt_data = true});
  if (IsSkipped() || HasFatalFailure()) return;
  WriteFile(server_->root() + "/pub/a.bin", testing::FileBytes(3000000));
  server_->HandOver(server_->root() + "/pub");

  const ChildResult run = Run("ftpes", {});

  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_THAT(run.output, HasSubstr("TIME * Warning: Local file size does not match remote ("));
  EXPECT_THAT(run.output, HasSubstr("TIME 1 file failed.\n"));
  EXPECT_LT(fs::file_size(local_ / "a.bin"), 3000000u);
}

// A server that answers AUTH TLS with anything but 234 gets QUIT next, never USER or PASS,
// and a plain location never sends AUTH at all.
TEST(TlsFakeServerTest, RefusedAuthIsFollowedByQuitOnly) {
  testing::FakeFtpServer server;
  server.AddSession(testing::Session({testing::Reply("220 Fake server ready.")},
                                     {testing::Reply("502 Command not implemented.")}));
  server.AddSession(testing::Session({testing::Reply("220 Fake server ready.")},
                                     {testing::Reply("230 Logged in.")}));
  const testing::ScratchDir local;

  const ChildResult refused =
      testing::RunKoruInThisProcess({"ftpes://" + server.address() + "/pub/"}, local.path(), 2000);
  const ChildResult plain = testing::RunKoruInThisProcess(
      {"nobody@" + server.address() + "/pub/", "-T"}, local.path(), 2000);
  server.Stop();

  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_THAT(testing::Normalised(refused.output, server.address(), local.path()),
              HasSubstr(" ftpes://anonymous@SERVER\n R Path: /pub/\n L Path: DIR\n"
                        "TIME ERROR: Server refused TLS: 502 Command not implemented.\n"
                        "TIME ERROR: Unable to open connection to server.\n"
                        "TIME  502 Command not implemented.\n"
                        "TIME * No more files to transfer.\n"));
  const std::vector<std::string> commands = server.commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
            (std::vector<std::string>{"AUTH TLS", "QUIT", "USER nobody"}));
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AUTH TLS"), 1);
  EXPECT_THAT(plain.output, HasSubstr(" ftp://nobody@"));
}

}  // namespace
}  // namespace koru
