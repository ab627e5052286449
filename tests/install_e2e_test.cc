// KORU as it is installed: `cmake --install` of this build into a scratch prefix, the program
// and the C library found there, a C caller built with pkg-config against that tree, the manual
// page and the README it comes with, and the Debian packages made from the same install rules
// (their files, control files and lintian's verdict, and the program unpacked from them).
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
// What --version prints: the banner and the release.
const std::string kBanner = "Koru (KORU 20080313)\nkoru " + kVersion + "\n";

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

// The Debian packages and what each holds.
struct DebianPackage {
  std::string name;
  std::string section;
  std::vector<std::string> files;  // under /usr: regular files and links
};

std::vector<DebianPackage> ExpectedPackages() {
  const std::string so = kLibDir + "/libkoru.so";
  const std::string major = KORU_PROJECT_VERSION_MAJOR;
  auto with_docs = [](const std::string& name, const std::string& section,
                      std::vector<std::string> files) {
    files.push_back("share/doc/" + name + "/copyright");
    files.push_back("share/doc/" + name + "/changelog.Debian.gz");
    return DebianPackage{name, section, files};
  };
  return {
      with_docs("koru", "net",
                {"bin/koru", "share/man/man1/koru.1.gz", "share/doc/koru/README.md"}),
      with_docs("libkoru" + major, "libs", {so + "." + kVersion, so + "." + major}),
      with_docs("libkoru-dev", "libdevel",
                {so, kLibDir + "/pkgconfig/koru.pc", "include/koru.h"}),
  };
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

// The switches --help adds below "Switches the usage text does not show:" ("-N", "-P#", ...).
std::vector<std::string> HelpSwitches() {
  const std::regex row(R"(^   ([-+][A-Z]#?) )");
  std::vector<std::string> switches;
  std::smatch match;
  for (const std::string& line : HelpText()) {
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
  const std::vector<std::string> more = HelpSwitches();
  EXPECT_THAT(more, ::testing::IsSupersetOf({"-N", "-P#", "-Q"}));
  for (const std::string& name : more) EXPECT_TRUE(HasTag(options, name)) << name;
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
  for (const std::string& name : HelpSwitches()) {
    EXPECT_THAT(readme, HasSubstr("| `" + name + "` |")) << name;
  }
  for (const Key& key : kKeys) EXPECT_THAT(readme, HasSubstr("| " + key.readme_cell + " |"));
  EXPECT_THAT(readme, HasSubstr("Ctrl-C"));
  for (const std::string code : {"0", "1", "130"}) {
    EXPECT_THAT(readme, HasSubstr("| " + code + " |")) << code;
  }
  EXPECT_THAT(readme, HasSubstr("cmake --install build"));
  EXPECT_THAT(readme, HasSubstr("apt install ./build/koru_*.deb"));
  for (const DebianPackage& package : ExpectedPackages()) {
    EXPECT_THAT(readme, HasSubstr("`" + package.name + "_<version>_<arch>.deb`"));
  }
}

// --- the Debian packages ---

// One line of `dpkg-deb --contents`.
struct ArchiveEntry {
  std::string mode;   // "-rw-r--r--", "drwxr-xr-x", "lrwxrwxrwx"
  std::string owner;  // "root/root"
  std::string path;   // "./usr/bin/koru"
};

std::vector<ArchiveEntry> Contents(const std::string& deb) {
  const ChildResult run = RunProgram("/usr/bin/dpkg-deb", {"--contents", deb});
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  std::vector<ArchiveEntry> entries;
  for (const std::string& line : Lines(run.output)) {
    std::istringstream fields(line);
    ArchiveEntry entry;
    std::string size, date, time;
    fields >> entry.mode >> entry.owner >> size >> date >> time >> entry.path;
    entries.push_back(entry);
  }
  return entries;
}

// The packages `cpack -G DEB` makes of this build, made once for the tests of this process.
class DebianPackages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Executable("/usr/bin/dpkg-deb")) return;
    scratch_ = new ScratchDir;
    pack_ = new ChildResult(RunProgram(
        KORU_CPACK_COMMAND, {"-G", "DEB", "-B", scratch_->path(), "--config",
                             KORU_BUILD_DIR "/CPackConfig.cmake"}));
    const ChildResult arch = RunProgram("/usr/bin/dpkg", {"--print-architecture"});
    architecture_ = Lines(arch.output).empty() ? "" : Lines(arch.output)[0];
  }
  static void TearDownTestSuite() {
    delete pack_;
    delete scratch_;
    pack_ = nullptr;
    scratch_ = nullptr;
  }
  void SetUp() override {
    if (!scratch_) GTEST_SKIP() << "no dpkg-deb here: no Debian package";
    ASSERT_EQ(pack_->exit_code, 0) << pack_->output << pack_->errors;
  }

  static std::string FileName(const std::string& package) {
    return package + "_" + kVersion + "_" + architecture_ + ".deb";
  }
  static std::string Deb(const std::string& package) { return *scratch_ / FileName(package); }
  static std::string Field(const std::string& package, const std::string& field) {
    const ChildResult run = RunProgram("/usr/bin/dpkg-deb", {"--field", Deb(package), field});
    EXPECT_EQ(run.exit_code, 0) << run.errors;
    return Lines(run.output).empty() ? "" : Lines(run.output)[0];
  }
  static std::string ControlFile(const std::string& package, const std::string& name) {
    return RunProgram("/usr/bin/dpkg-deb", {"--info", Deb(package), name}).output;
  }

  static ScratchDir* scratch_;
  static ChildResult* pack_;
  static std::string architecture_;
};

ScratchDir* DebianPackages::scratch_ = nullptr;
ChildResult* DebianPackages::pack_ = nullptr;
std::string DebianPackages::architecture_;

TEST_F(DebianPackages, ThreePackagesHoldTheirFilesOwnedByRootWithPlainPermissions) {
  std::set<std::string> debs;
  for (const auto& entry : fs::directory_iterator(scratch_->path())) {
    if (entry.path().extension() == ".deb") debs.insert(entry.path().filename().string());
  }
  std::set<std::string> expected_debs;
  for (const DebianPackage& package : ExpectedPackages()) {
    SCOPED_TRACE(package.name);
    expected_debs.insert(FileName(package.name));
    std::set<std::string> found;
    for (const ArchiveEntry& entry : Contents(Deb(package.name))) {
      SCOPED_TRACE(entry.path);
      EXPECT_EQ(entry.owner, "root/root");
      if (entry.mode[0] == 'd') {
        EXPECT_EQ(entry.mode, "drwxr-xr-x");
        continue;
      }
      found.insert(entry.path);
      if (entry.mode[0] == 'l') continue;
      EXPECT_EQ(entry.mode, entry.path == "./usr/bin/koru" ? "-rwxr-xr-x" : "-rw-r--r--");
    }
    std::set<std::string> expected;
    for (const std::string& file : package.files) expected.insert("./usr/" + file);
    EXPECT_EQ(found, expected);
  }
  EXPECT_EQ(debs, expected_debs) << pack_->output;
}

TEST_F(DebianPackages, ControlFilesNameDependenciesShlibsAndTheLdconfigTrigger) {
  const std::string library = "libkoru" + std::string(KORU_PROJECT_VERSION_MAJOR);
  for (const DebianPackage& package : ExpectedPackages()) {
    SCOPED_TRACE(package.name);
    EXPECT_EQ(Field(package.name, "Package"), package.name);
    EXPECT_EQ(Field(package.name, "Version"), kVersion);
    EXPECT_EQ(Field(package.name, "Section"), package.section);
    EXPECT_EQ(Field(package.name, "Architecture"), architecture_);
    EXPECT_THAT(Field(package.name, "Maintainer"), HasSubstr("@"));
    EXPECT_THAT(Field(package.name, "Description"), Not(::testing::IsEmpty()));
  }
  // The program's dependencies come from what it links: libkoru1 only if it links the library.
  const std::string depends = Field("koru", "Depends");
  const ChildResult needed = RunProgram("/usr/bin/readelf", {"-d", KORU_BINARY});
  EXPECT_THAT(depends, HasSubstr("libc6"));
  for (const std::string linked : {"libssl", "libkoru"}) {
    EXPECT_EQ(depends.find(linked) != std::string::npos,
              needed.output.find(linked + ".so") != std::string::npos)
        << linked << " in " << depends;
  }
  EXPECT_THAT(Field(library, "Depends"), HasSubstr("libc6"));
  EXPECT_EQ(Field("libkoru-dev", "Depends"), library + " (= " + kVersion + ")");

  EXPECT_EQ(ControlFile(library, "shlibs"),
            "libkoru " + std::string(KORU_PROJECT_VERSION_MAJOR) + " " + library + " (>= " +
                kVersion + ")\n");
  EXPECT_THAT(Lines(ControlFile(library, "triggers")),
              ::testing::Contains("activate-noawait ldconfig"));
}

TEST_F(DebianPackages, LintianReportsNoError) {
  if (!Executable("/usr/bin/lintian")) {
    GTEST_SKIP() << "no lintian here (scripts/test.sh installs it)";
  }
  std::vector<std::string> debs;
  for (const DebianPackage& package : ExpectedPackages()) debs.push_back(Deb(package.name));
  const ChildResult run = RunProgram("/usr/bin/lintian", debs);
  std::vector<std::string> errors;
  for (const std::string& line : Lines(run.output)) {
    if (line.starts_with("E: ")) errors.push_back(line);
  }
  EXPECT_THAT(errors, ::testing::IsEmpty()) << run.output << run.errors;
  EXPECT_THAT(run.output + run.errors, Not(HasSubstr("not a Debian package")));
}

// A gzip file made with -9n: the best compression flag, no file name and no date in its header.
void ExpectReproducibleGzip(const std::string& path) {
  const std::string bytes = FileContent(path);
  ASSERT_GE(bytes.size(), 10u) << path;
  EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b") << path;
  constexpr char kFileName = 0x08;
  EXPECT_EQ(bytes[3] & kFileName, 0) << "a name in " << path;
  EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << "a date in " << path;
  EXPECT_EQ(bytes[8], 2) << "not -9: " << path;
}

TEST_F(DebianPackages, UnpackedTheStrippedProgramRunsWithItsManualPage) {
  const std::string root = *scratch_ / "root";
  for (const DebianPackage& package : ExpectedPackages()) {
    const ChildResult unpack = RunProgram("/usr/bin/dpkg-deb", {"-x", Deb(package.name), root});
    ASSERT_EQ(unpack.exit_code, 0) << unpack.errors;
    for (const std::string& file : package.files) {
      if (file.ends_with(".gz")) ExpectReproducibleGzip(root + "/usr/" + file);
    }
    EXPECT_EQ(FileContent(root + "/usr/share/doc/" + package.name + "/copyright"),
              FileContent(KORU_SOURCE_DIR "/cmake/debian/copyright"));
  }
  const ChildResult run = RunProgram(root + "/usr/bin/koru", {"--version"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner);
  for (const std::string& binary :
       std::vector<std::string>{"bin/koru", kLibDir + "/libkoru.so." + kVersion}) {
    const ChildResult sections = RunProgram("/usr/bin/readelf", {"-S", root + "/usr/" + binary});
    ASSERT_EQ(sections.exit_code, 0) << sections.errors;
    EXPECT_THAT(sections.output, Not(HasSubstr(".symtab"))) << binary << " is not stripped";
  }
  const ChildResult page = Shell("MANWIDTH=80 LC_ALL=C man -l " +
                                 Quoted(root + "/usr/share/man/man1/koru.1.gz"));
  ASSERT_EQ(page.exit_code, 0) << page.errors;
  EXPECT_THAT(Lines(page.output).back(), HasSubstr("koru " + kVersion));
  const ChildResult changelog = Shell(
      "zcat " + Quoted(root + "/usr/share/doc/koru/changelog.Debian.gz") + " | head -n 1");
  EXPECT_EQ(changelog.output, "koru (" + kVersion + ") unstable; urgency=medium\n");
  EXPECT_THAT(Lines(FileContent(root + "/usr/" + kLibDir + "/pkgconfig/koru.pc")),
              ::testing::Contains("prefix=/usr"));
}

}  // namespace
}  // namespace koru
