// KORU as it is installed: `cmake --install` of this build into a scratch prefix, the program
// and the C library found there, a C caller built with pkg-config against that tree, the manual
// page and the README it comes with, and the Debian package made from the same install rules.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/child_process.h"
#include "tests/fake_ftp_server.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ChildResult;
using testing::FakeFtpServer;
using testing::FileContent;
using testing::Reply;
using testing::RunProgram;
using testing::ScratchDir;
using testing::Session;

const std::string kLibDir = KORU_INSTALL_LIBDIR;  // lib/<multiarch> or lib
const std::string kVersion = KORU_PROJECT_VERSION;
const std::string kBanner = "Koru (KORU 20080313)\n";

// `script` run by the shell, with the environment of the test.
ChildResult Shell(const std::string& script) { return RunProgram("/bin/sh", {"-c", script}); }

// `text` quoted for the shell.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// Installs this build under `prefix` (with `destdir` as DESTDIR when it is not empty).
ChildResult Install(const std::string& prefix, const std::string& destdir = "") {
  return Shell((destdir.empty() ? "" : "DESTDIR=" + Quoted(destdir) + " ") +
               Quoted(KORU_CMAKE_COMMAND) + " --install " + Quoted(KORU_BUILD_DIR) +
               " --prefix " + Quoted(prefix));
}

// One installation into a scratch prefix, shared by the tests of this process.
class InstalledTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchDir;
    prefix_ = *scratch_ / "prefix";
    install_ = new ChildResult(Install(prefix_));
  }
  static void TearDownTestSuite() {
    delete install_;
    delete scratch_;
  }
  void SetUp() override {
    ASSERT_EQ(install_->exit_code, 0) << install_->output << install_->errors;
  }

  static std::string At(const std::string& relative) { return prefix_ + "/" + relative; }
  // The environment under which pkg-config and the dynamic linker find the installed tree.
  static std::string TreeEnvironment() {
    return "PKG_CONFIG_PATH=" + Quoted(At(kLibDir + "/pkgconfig")) +
           " LD_LIBRARY_PATH=" + Quoted(At(kLibDir));
  }

  static ScratchDir* scratch_;
  static std::string prefix_;
  static ChildResult* install_;
};

ScratchDir* InstalledTree::scratch_ = nullptr;
std::string InstalledTree::prefix_;
ChildResult* InstalledTree::install_ = nullptr;

// --- the files ---

struct InstalledFile {
  std::string path;         // under the prefix
  std::string link_target;  // for a symbolic link, what it points to; else empty
  bool executable;
  std::string same_as;  // a source file it is a copy of; empty when it is made by the build
};

std::vector<InstalledFile> ExpectedFiles() {
  const std::string source = KORU_SOURCE_DIR;
  return {
      {"bin/koru", "", true, ""},
      {kLibDir + "/libkoru.so." + kVersion, "", false, ""},
      {kLibDir + "/libkoru.so." + std::string(KORU_PROJECT_VERSION_MAJOR),
       "libkoru.so." + kVersion, false, ""},
      {kLibDir + "/libkoru.so", "libkoru.so." + std::string(KORU_PROJECT_VERSION_MAJOR), false,
       ""},
      {kLibDir + "/pkgconfig/koru.pc", "", false, ""},
      {"include/koru.h", "", false, source + "/app/c_api/koru.h"},
      {"share/man/man1/koru.1", "", false, ""},
      {"share/doc/koru/README.md", "", false, source + "/README.md"},
  };
}

TEST_F(InstalledTree, HoldsEveryFileAndNothingElse) {
  std::set<std::string> expected;
  for (const InstalledFile& file : ExpectedFiles()) {
    SCOPED_TRACE(file.path);
    expected.insert(file.path);
    const fs::path path = At(file.path);
    if (!file.link_target.empty()) {
      ASSERT_TRUE(fs::is_symlink(fs::symlink_status(path)));
      EXPECT_EQ(fs::read_symlink(path).string(), file.link_target);
      continue;
    }
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
    EXPECT_GT(fs::file_size(path), 0u);
    EXPECT_EQ(Executable(path), file.executable);
    if (!file.same_as.empty()) {
      EXPECT_EQ(FileContent(path), FileContent(file.same_as));
    }
  }
  std::set<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(prefix_)) {
    if (!entry.is_directory()) found.insert(entry.path().lexically_relative(prefix_).string());
  }
  EXPECT_EQ(found, expected);
}

TEST_F(InstalledTree, TheLibraryCarriesItsVersionedName) {
  const ChildResult elf = RunProgram("/usr/bin/readelf", {"-d", At(kLibDir + "/libkoru.so")});
  ASSERT_EQ(elf.exit_code, 0) << elf.errors;
  EXPECT_THAT(elf.output, HasSubstr("Library soname: [libkoru.so." +
                                    std::string(KORU_PROJECT_VERSION_MAJOR) + "]"));
  // Nothing points back into the build.
  EXPECT_THAT(elf.output, Not(HasSubstr(KORU_BUILD_DIR)));
}

TEST_F(InstalledTree, TheProgramPrintsItsBanner) {
  const ChildResult run = RunProgram(At("bin/koru"), {"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner);
}

// --- pkg-config and a C caller ---

TEST_F(InstalledTree, PkgConfigNamesTheInstallPrefix) {
  const ChildResult run =
      Shell(TreeEnvironment() + " pkg-config --variable=prefix koru && " + TreeEnvironment() +
            " pkg-config --modversion koru && " + TreeEnvironment() +
            " pkg-config --cflags --libs koru");
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  const std::vector<std::string> lines = Lines(run.output);
  ASSERT_EQ(lines.size(), 3u) << run.output;
  EXPECT_EQ(lines[0], prefix_);
  EXPECT_EQ(lines[1], kVersion);
  EXPECT_EQ(lines[2], "-I" + At("include") + " -L" + At(kLibDir) + " -lkoru ");
}

TEST(InstallTest, DestdirStagesTheFilesButKoruPcNamesThePrefix) {
  ScratchDir scratch;
  const std::string stage = scratch / "stage";
  const std::string prefix = "/opt/koru-staged-" + std::to_string(::getpid());

  const ChildResult run = Install(prefix, stage);

  ASSERT_EQ(run.exit_code, 0) << run.output << run.errors;
  EXPECT_TRUE(fs::exists(stage + prefix + "/bin/koru"));
  EXPECT_FALSE(fs::exists(prefix)) << "DESTDIR ignored";
  const std::string pc = FileContent(stage + prefix + "/" + kLibDir + "/pkgconfig/koru.pc");
  EXPECT_THAT(Lines(pc), ::testing::Contains("prefix=" + prefix));
  EXPECT_THAT(pc, Not(HasSubstr(stage)));
  EXPECT_THAT(pc, Not(HasSubstr(KORU_BUILD_DIR)));
}

TEST_F(InstalledTree, ACCallerBuiltWithPkgConfigRunsAgainstTheServer) {
  const std::string caller = *scratch_ / "caller";
  // Plain C99 with only the flags pkg-config gives (and the sanitizers of a sanitized build,
  // whose library needs their runtime first).
  const ChildResult build = Shell(
      TreeEnvironment() + " " + Quoted(KORU_C_COMPILER) + " -std=c99 -pedantic-errors " +
      KORU_C_SANITIZE_FLAGS + " " + Quoted(KORU_SOURCE_DIR "/tests/c_api/c_caller.c") +
      " $(" + TreeEnvironment() + " pkg-config --cflags --libs koru) -o " + Quoted(caller));
  ASSERT_EQ(build.exit_code, 0) << build.output << build.errors;

  const ChildResult ldd = Shell(TreeEnvironment() + " ldd " + Quoted(caller));
  EXPECT_THAT(ldd.output, HasSubstr("libkoru.so." + std::string(KORU_PROJECT_VERSION_MAJOR) +
                                    " => " + At(kLibDir) + "/libkoru.so."));

  FakeFtpServer server;
  server.AddSession(Session({Reply("220 Ready")},
                            {Reply("331 Password required"), Reply("230 Logged in")}));
  const ChildResult run = RunProgram(
      "/usr/bin/env", {"LD_LIBRARY_PATH=" + At(kLibDir), caller, server.address(), "anonymous",
                       "guest@"});
  EXPECT_EQ(run.exit_code, 0) << run.output << run.errors;
  EXPECT_THAT(Lines(run.output), ::testing::IsSupersetOf({"ftpConnect with a NUL byte -1",
                                                          "ftpConnect 1", "ftpQuit",
                                                          "counted texts ok", "failures 0"}));
  server.Stop();
  EXPECT_EQ(server.commands(),
            (std::vector<std::string>{"USER anonymous", "PASS guest@", "QUIT"}));
}

// --- the manual page and the README ---

const std::vector<std::string> kManSections = {
    "NAME",    "SYNOPSIS",    "DESCRIPTION", "LOCATION", "OPTIONS",
    "KEYS",    "EXIT STATUS", "ENVIRONMENT", "FILES",    "EXAMPLES", "SEE ALSO"};

// The switches of the usage text ("-D#", "-M", "+M", ...), in its order.
std::vector<std::string> UsageSwitches() {
  const std::regex row(R"(^\s+([-+][A-Z]#?)\s+= )");
  std::vector<std::string> switches;
  std::smatch match;
  for (const std::string& line : UsageText()) {
    if (std::regex_search(line, match, row)) switches.push_back(match[1]);
  }
  return switches;
}

// The keys a user can press, as the manual page's tags and the README's table name them.
struct Key {
  std::string man_tag;
  std::string readme_cell;
};
const std::vector<Key> kKeys = {
    {"+ or =", "`+` or `=`"}, {"- or _", "`-` or `_`"}, {"Tab", "`Tab`"}, {"Esc", "`Esc`"}};

// The text of section `name` of a rendered manual page, up to the next section heading.
std::string RenderedSection(const std::string& page, const std::string& name) {
  const size_t start = page.find("\n" + name + "\n");
  if (start == std::string::npos) return "";
  const size_t body = start + name.size() + 2;
  static const std::regex heading(R"(\n[A-Z][A-Z ]+\n)");
  std::smatch next;
  const std::string rest = page.substr(body);
  return std::regex_search(rest, next, heading) ? rest.substr(0, next.position(0)) : rest;
}

bool HasTag(const std::string& section, const std::string& tag) {
  // A tag stands at the start of its indented line, alone or before its paragraph.
  std::string escaped;
  for (char c : tag) {
    if (std::string_view(R"(\^$.|?*+()[]{})").find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  return std::regex_search(section, std::regex("(^|\\n) +" + escaped + "( |\\n)"));
}

class ManualPage : public InstalledTree {
 protected:
  static std::string Page() { return At("share/man/man1/koru.1"); }
  static ChildResult Rendered() {
    return Shell("MANWIDTH=80 LC_ALL=C MAN_KEEP_FORMATTING= man -l " + Quoted(Page()));
  }
};

TEST_F(ManualPage, GroffReportsNoWarning) {
  const ChildResult run = RunProgram("/usr/bin/groff", {"-man", "-ww", "-z", Page()});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.errors, "");
}

TEST_F(ManualPage, RendersEverySectionInOrderWithTheReleaseInTheFooter) {
  const ChildResult run = Rendered();
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  std::vector<std::string> headings;
  for (const std::string& line : Lines(run.output)) {
    if (std::find(kManSections.begin(), kManSections.end(), line) != kManSections.end()) {
      headings.push_back(line);
    }
  }
  EXPECT_THAT(headings, ElementsAreArray(kManSections)) << run.output;
  EXPECT_THAT(Lines(run.output).back(), HasSubstr("koru " + kVersion));
}

TEST_F(ManualPage, NamesEverySwitchAndKey) {
  const std::vector<std::string> switches = UsageSwitches();
  ASSERT_THAT(switches, ElementsAreArray({"-D#", "-M", "+M", "-O", "-R", "+R", "-S", "-T", "-V",
                                          "+V"}));
  const ChildResult run = Rendered();
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  const std::string options = RenderedSection(run.output, "OPTIONS");
  for (const std::string& name : switches) EXPECT_TRUE(HasTag(options, name)) << name;
  for (const char* name : {"--help", "--version"}) {
    EXPECT_THAT(options, HasSubstr(name));
  }
  const std::string keys = RenderedSection(run.output, "KEYS");
  for (const Key& key : kKeys) EXPECT_TRUE(HasTag(keys, key.man_tag)) << key.man_tag;
  EXPECT_THAT(keys, HasSubstr("Ctrl-C"));
  const std::string status = RenderedSection(run.output, "EXIT STATUS");
  for (const char* code : {"0", "1", "130"}) EXPECT_TRUE(HasTag(status, code)) << code;
  // The schemes the program speaks, and the variables that choose whom it trusts over TLS.
  for (const char* scheme : {"ftp://", "ftpes://", "ftps://"}) {
    EXPECT_THAT(run.output, HasSubstr(scheme));
  }
  EXPECT_THAT(run.output, Not(HasSubstr("sftp://")));
  const std::string environment = RenderedSection(run.output, "ENVIRONMENT");
  for (const char* name : {"SSL_CERT_FILE", "SSL_CERT_DIR", "NETRC"}) {
    EXPECT_TRUE(HasTag(environment, name)) << name;
  }
  EXPECT_TRUE(HasTag(RenderedSection(run.output, "FILES"), "~/.netrc"));
}

TEST(InstallTest, TheReadmeNamesEverySwitchAndKey) {
  const std::string readme = FileContent(KORU_SOURCE_DIR "/README.md");
  for (const std::string& name : UsageSwitches()) {
    EXPECT_THAT(readme, HasSubstr("| `" + name + "` |")) << name;
  }
  for (const Key& key : kKeys) EXPECT_THAT(readme, HasSubstr("| " + key.readme_cell + " |"));
  EXPECT_THAT(readme, HasSubstr("Ctrl-C"));
  for (const std::string code : {"0", "1", "130"}) {
    EXPECT_THAT(readme, HasSubstr("| " + code + " |")) << code;
  }
  EXPECT_THAT(readme, HasSubstr("cmake --install build"));
  EXPECT_THAT(readme, HasSubstr("apt install ./build/koru_*.deb"));
}

// --- the Debian package ---

TEST(DebianPackage, HoldsTheInstalledFilesAndRuns) {
  if (!Executable("/usr/bin/dpkg-deb")) GTEST_SKIP() << "no dpkg-deb here: no Debian package";
  ScratchDir scratch;
  const ChildResult pack = RunProgram(
      KORU_CPACK_COMMAND, {"-G", "DEB", "-B", scratch.path(), "--config",
                           KORU_BUILD_DIR "/CPackConfig.cmake"});
  ASSERT_EQ(pack.exit_code, 0) << pack.output << pack.errors;
  std::string deb;
  for (const auto& entry : fs::directory_iterator(scratch.path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("koru_" + kVersion + "_") && name.ends_with(".deb")) deb = entry.path();
  }
  ASSERT_FALSE(deb.empty()) << pack.output;

  const ChildResult info = RunProgram("/usr/bin/dpkg-deb", {"--info", deb});
  ASSERT_EQ(info.exit_code, 0) << info.errors;
  for (const std::string& field : std::vector<std::string>{"Package: koru", "Version: " + kVersion, "Depends: ", "libc6", "Description: ",
        "Maintainer: ", "Section: net"}) {
    EXPECT_THAT(info.output, HasSubstr(field));
  }
  // The dependencies come from what the program links.
  const ChildResult needed = RunProgram("/usr/bin/readelf", {"-d", KORU_BINARY});
  EXPECT_EQ(info.output.find("libssl") != std::string::npos,
            needed.output.find("libssl") != std::string::npos);

  const ChildResult contents = RunProgram("/usr/bin/dpkg-deb", {"--contents", deb});
  ASSERT_EQ(contents.exit_code, 0) << contents.errors;
  for (const InstalledFile& file : ExpectedFiles()) {
    EXPECT_THAT(contents.output, HasSubstr("./usr/" + file.path)) << file.path;
  }

  const std::string root = scratch / "root";
  const ChildResult unpack = RunProgram("/usr/bin/dpkg-deb", {"-x", deb, root});
  ASSERT_EQ(unpack.exit_code, 0) << unpack.errors;
  const ChildResult run = RunProgram(root + "/usr/bin/koru", {"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner);
  EXPECT_THAT(Lines(FileContent(root + "/usr/" + kLibDir + "/pkgconfig/koru.pc")),
              ::testing::Contains("prefix=/usr"));
}

}  // namespace
}  // namespace koru
