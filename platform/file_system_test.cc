// The file system seam: the in-memory fake the tests use must answer every call the way the
// system's does, so one table of calls runs on both; then the failures only the fake can make.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/local_file.h"
#include "tests/memory_file_system.h"
#include "tests/scratch_dir.h"

namespace koru {
namespace {

using testing::MemoryFileSystem;

// A place to run the calls in: a scratch directory on the system's file system, or a fake.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual FileSystem& files() = 0;
  virtual std::string root() const = 0;  // ends in "/"
  // Set-up, beside the seam, relative to root(): "x/" a directory, "x|" a FIFO, else a file.
  virtual void Add(const std::string& name, const std::string& content) = 0;
};

class PosixBackend : public Backend {
 public:
  FileSystem& files() override { return SystemFileSystem(); }
  std::string root() const override { return dir_.path() + "/"; }
  void Add(const std::string& name, const std::string& content) override {
    const std::string path = root() + name.substr(0, name.size() - 1);
    if (name.ends_with("/")) {
      ::mkdir(path.c_str(), 0777);
    } else if (name.ends_with("|")) {
      ::mkfifo(path.c_str(), 0666);
    } else {
      testing::WriteFile(root() + name, content);
    }
  }

 private:
  testing::ScratchDir dir_;
};

class MemoryBackend : public Backend {
 public:
  MemoryBackend() { fake_.AddDirectory("/scratch"); }
  FileSystem& files() override { return fake_; }
  std::string root() const override { return "/scratch/"; }
  void Add(const std::string& name, const std::string& content) override {
    const std::string path = root() + name.substr(0, name.size() - 1);
    if (name.ends_with("/")) {
      fake_.AddDirectory(path);
    } else if (name.ends_with("|")) {
      fake_.AddSpecial(path);
    } else {
      fake_.AddFile(root() + name, content);
    }
  }

 private:
  MemoryFileSystem fake_;
};

std::string Outcome(int error) { return error == 0 ? "ok" : SystemErrorText(error); }

// The calls of one case, on paths relative to the backend's root; each gives a text to compare.
class Probe {
 public:
  explicit Probe(Backend& backend) : files_(backend.files()), root_(backend.root()) {}

  std::string Stat(const std::string& name) {
    const LocalEntry entry = files_.Stat(root_ + name);
    switch (entry.kind) {
      case EntryKind::kMissing:
        return "missing";
      case EntryKind::kRegular:
        return "file " + std::to_string(entry.size);
      case EntryKind::kDirectory:
        return "directory";
      case EntryKind::kOther:
        return "other";
    }
    return "?";
  }
  // Opens, runs `use` on the handle, closes. The failure's text when it does not open.
  std::string WithOpen(const std::string& name, FileOpenMode mode,
                       const std::function<std::string(int)>& use = nullptr) {
    const OpenedFile opened = files_.Open(root_ + name, mode);
    if (opened.handle < 0) return opened.error ? Outcome(opened.error) : "not a regular file";
    const std::string result = use ? use(opened.handle) : "opened";
    files_.Close(opened.handle);
    return result;
  }
  std::string Content(const std::string& name) {
    return WithOpen(name, FileOpenMode::kRead, [&](int handle) { return ReadRest(handle); });
  }
  std::string ReadRest(int handle) {
    std::string content;
    char buffer[4];  // small, so that reading takes several calls
    int error = 0;
    for (int64_t got; (got = files_.Read(handle, buffer, sizeof buffer, &error)) > 0;) {
      content.append(buffer, static_cast<size_t>(got));
    }
    return error ? Outcome(error) : "'" + content + "'";
  }
  std::string Write(int handle, const std::string& data) {
    return Outcome(files_.Write(handle, data.data(), data.size()));
  }
  std::string Modified(const std::string& name) {
    return std::to_string(files_.Stat(root_ + name).modified_seconds);
  }
  FileSystem& files() { return files_; }
  std::string Path(const std::string& name) const { return root_ + name; }

 private:
  FileSystem& files_;
  std::string root_;
};

struct CallCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> before;  // what Backend::Add makes
  std::function<std::string(Probe&)> calls;
  std::string expected;
};

constexpr FileOpenMode kRead = FileOpenMode::kRead;
constexpr FileOpenMode kReadWrite = FileOpenMode::kReadWrite;
constexpr FileOpenMode kEmpty = FileOpenMode::kReadWriteEmpty;

const std::vector<std::pair<std::string, std::string>> kHello = {{"f", "hello"}};
const std::vector<std::pair<std::string, std::string>> kTree = {
    {"f", "hello"}, {"d/", ""}, {"d/g", "inner"}, {"p|", ""}};

// The texts of `parts`, joined with ", ". The parts of a braced list are worked out in order.
std::string Join(std::initializer_list<std::string> parts) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : ", ") + part;
  return joined;
}

const CallCase kCalls[] = {
    // Looking at entries.
    {"StatOfEachKind", kTree,
     [](Probe& p) {
       return Join(
           {p.Stat("f"), p.Stat("d"), p.Stat("p"), p.Stat("none"), p.Stat("f/x"), p.Stat("f/")});
     },
     "file 5, directory, other, missing, missing, missing"},
    {"StatOfAnEmptyPath",
     {},
     [](Probe& p) {
       return std::string(p.files().Stat("").kind == EntryKind::kMissing ? "missing" : "found");
     },
     "missing"},
    {"PathsWithDotsAndDoubledSlashes", kTree,
     [](Probe& p) {
       return Join({p.Stat("d//g"), p.Stat("./d/./g"), p.Stat("d/../f")});
     },
     "file 5, file 5, file 5"},
    // Opening.
    {"OpenForReadingWhatIsNotThere",
     {},
     [](Probe& p) { return p.WithOpen("none", kRead); },
     "No such file or directory"},
    {"OpenADirectoryInEveryMode", kTree,
     [](Probe& p) {
       return Join({p.WithOpen("d", kRead), p.WithOpen("d", kReadWrite), p.WithOpen("d", kEmpty)});
     },
     "Is a directory, Is a directory, Is a directory"},
    {"OpenAFifoInEveryMode", kTree,
     [](Probe& p) {
       return Join({p.WithOpen("p", kRead), p.WithOpen("p", kReadWrite)});
     },
     "not a regular file, not a regular file"},
    {"CreateInAMissingDirectory",
     {},
     [](Probe& p) { return p.WithOpen("none/f", kReadWrite); },
     "No such file or directory"},
    {"CreateBelowAFile", kHello, [](Probe& p) { return p.WithOpen("f/g", kEmpty); },
     "Not a directory"},
    {"CreateADirectoryName",
     {},
     [](Probe& p) { return p.WithOpen("new/", kReadWrite); },
     "Is a directory"},
    {"CreateMakesAnEmptyFile",
     {},
     [](Probe& p) {
       return Join({p.WithOpen("new", kReadWrite), p.Stat("new")});
     },
     "opened, file 0"},
    {"ReadWriteKeepsTheContent", kHello,
     [](Probe& p) {
       return Join({p.WithOpen("f", kReadWrite), p.Content("f")});
     },
     "opened, 'hello'"},
    {"CreateEmptyEmptiesAFile", kHello,
     [](Probe& p) {
       return Join({p.WithOpen("f", kEmpty), p.Content("f")});
     },
     "opened, ''"},
    // Reading and writing.
    {"WritingStartsAtTheBeginning", kHello,
     [](Probe& p) {
       return Join(
           {p.WithOpen("f", kReadWrite, [&](int h) { return p.Write(h, "J"); }), p.Content("f")});
     },
     "ok, 'Jello'"},
    {"SeekToEndAppendsAndSizeCounts", kHello,
     [](Probe& p) {
       return Join({p.WithOpen("f", kReadWrite,
                               [&](int h) {
                                 return Join({Outcome(p.files().SeekToEnd(h)), p.Write(h, " world"),
                                              std::to_string(p.files().Size(h)), p.ReadRest(h)});
                               }),
                    p.Content("f")});
     },
     "ok, ok, 11, '', 'hello world'"},
    {"WritingToAFileOpenForReading", kHello,
     [](Probe& p) { return p.WithOpen("f", kRead, [&](int h) { return p.Write(h, "x"); }); },
     "Bad file descriptor"},
    {"TruncateShortensAndRefusesAReadOnlyFile", kHello,
     [](Probe& p) {
       auto truncate = [&](int64_t size) {
         return [&p, size](int h) { return Outcome(p.files().Truncate(h, size)); };
       };
       return Join({p.WithOpen("f", kRead, truncate(1)), p.WithOpen("f", kReadWrite, truncate(2)),
                    p.Content("f")});
     },
     "Invalid argument, ok, 'he'"},
    // Removing and making.
    {"UnlinkEachKind", kTree,
     [](Probe& p) {
       auto unlink = [&](const std::string& name) {
         return Outcome(p.files().Unlink(p.Path(name)));
       };
       return Join({unlink("f"), p.Stat("f"), unlink("d"), unlink("none"), unlink("none/x"),
                    unlink("d/g/x")});
     },
     "ok, missing, Is a directory, No such file or directory, No such file or directory, "
     "Not a directory"},
    {"MakeDirectory", kTree,
     [](Probe& p) {
       auto mkdir = [&](const std::string& name) {
         return Outcome(p.files().MakeDirectory(p.Path(name)));
       };
       return Join(
           {mkdir("new"), p.Stat("new"), mkdir("d"), mkdir("f"), mkdir("none/x"), mkdir("f/x")});
     },
     "ok, directory, File exists, File exists, No such file or directory, Not a directory"},
    {"RenameAFileOverAnother", kTree,
     [](Probe& p) {
       return Join(
           {Outcome(p.files().Rename(p.Path("f"), p.Path("d/g"))), p.Stat("f"), p.Content("d/g")});
     },
     "ok, missing, 'hello'"},
    {"RenameADirectoryWithWhatItHolds", kTree,
     [](Probe& p) {
       return Join(
           {Outcome(p.files().Rename(p.Path("d"), p.Path("e"))), p.Stat("d"), p.Content("e/g")});
     },
     "ok, missing, 'inner'"},
    {"RenameRefusals", kTree,
     [](Probe& p) {
       auto rename = [&](const std::string& from, const std::string& to) {
         return Outcome(p.files().Rename(p.Path(from), p.Path(to)));
       };
       return Join(
           {rename("none", "x"), rename("f", "d"), rename("d", "f"), rename("f", "none/x")});
     },
     "No such file or directory, Is a directory, Not a directory, No such file or directory"},
    // Times.
    {"SetTimesOfTheLastWriteOnlyWhenAsked", kTree,
     [](Probe& p) {
       FileSystem& files = p.files();
       return Join({Outcome(files.SetTimes(p.Path("f"), false, true, 1000000000)),
                    Outcome(files.SetTimes(p.Path("f"), true, false, 7)),
                    Outcome(files.SetTimes(p.Path("d"), true, true, 999999960)), p.Modified("f"),
                    p.Modified("d"), Outcome(files.SetTimes(p.Path("none"), true, true, 0))});
     },
     "ok, ok, ok, 1000000000, 999999960, No such file or directory"},
};

struct BackendCase {
  const char* name;
  std::function<std::unique_ptr<Backend>()> make;
};

void PrintTo(const BackendCase& c, std::ostream* os) { *os << c.name; }

class FileSystemCallsTest : public ::testing::TestWithParam<BackendCase> {};

TEST_P(FileSystemCallsTest, AnswerEveryCallAsTheSystemDoes) {
  for (const CallCase& c : kCalls) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<Backend> backend = GetParam().make();
    for (const auto& [name, content] : c.before) backend->Add(name, content);
    Probe probe(*backend);
    EXPECT_EQ(c.calls(probe), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    FileSystem, FileSystemCallsTest,
    ::testing::Values(BackendCase{"Posix", [] { return std::make_unique<PosixBackend>(); }},
                      BackendCase{"Memory", [] { return std::make_unique<MemoryBackend>(); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace koru
