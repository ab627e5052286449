#include "app/netrc.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"

namespace koru {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The words of a netrc text, one after the other.
class NetrcWords {
 public:
  explicit NetrcWords(std::string_view text) : text_(text) {}

  // The next word, without its quotes; nothing at the end of the text.
  std::optional<std::string> Next() {
    SkipBlanksAndComments();
    if (pos_ >= text_.size()) return std::nullopt;
    return text_[pos_] == '"' ? Quoted() : Plain();
  }

  // Skips the body of a macro: the rest of the line of its name, then every line up to and
  // including the next empty one.
  void SkipMacroBody() {
    const size_t line_end = text_.find('\n', pos_);
    const size_t empty_line = line_end == std::string_view::npos
                                  ? std::string_view::npos
                                  : text_.find("\n\n", line_end);
    pos_ = empty_line == std::string_view::npos ? text_.size() : empty_line + 2;
  }

 private:
  void SkipBlanksAndComments() {
    bool line_start = pos_ == 0 || text_[pos_ - 1] == '\n';
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '#' && line_start) {
        pos_ = std::min(text_.find('\n', pos_), text_.size());
      } else if (IsBlank(c)) {
        if (c == '\n') line_start = true;
        ++pos_;
      } else {
        return;
      }
    }
  }

  std::string Plain() {
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  // A word in double quotes; a quote left open runs to the end of the text.
  std::string Quoted() {
    std::string word;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        break;
      }
      if (c == '\\' && pos_ + 1 < text_.size()) ++pos_;
      word += text_[pos_];
    }
    return word;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

struct NetrcEntry {
  bool is_default = false;
  std::string machine;
  NetrcLogin login;
};

std::vector<NetrcEntry> ReadEntries(std::string_view text) {
  std::vector<NetrcEntry> entries;
  NetrcWords words(text);
  while (const std::optional<std::string> word = words.Next()) {
    if (*word == "machine") {
      entries.push_back({false, words.Next().value_or(""), {}});
    } else if (*word == "default") {
      entries.push_back({true, "", {}});
    } else if (*word == "macdef") {
      words.Next();
      words.SkipMacroBody();
    } else if (*word == "login" || *word == "password" || *word == "account") {
      std::optional<std::string> value = words.Next();
      if (entries.empty() || *word == "account") continue;
      (*word == "login" ? entries.back().login.login : entries.back().login.password) =
          std::move(value);
    }
    // Any other word is one this reader does not know: it is passed over.
  }
  return entries;
}

bool Fits(const NetrcEntry& entry, std::optional<std::string_view> login) {
  return !login || entry.login.login == *login;
}

}  // namespace

std::optional<NetrcLogin> FindNetrcLogin(std::string_view text, std::string_view host,
                                         std::optional<std::string_view> login) {
  const std::vector<NetrcEntry> entries = ReadEntries(text);
  const std::string wanted_host = UpperCase(host);
  for (const NetrcEntry& entry : entries) {
    if (!entry.is_default && UpperCase(entry.machine) == wanted_host && Fits(entry, login)) {
      return entry.login;
    }
  }
  for (const NetrcEntry& entry : entries) {
    if (entry.is_default && Fits(entry, login)) return entry.login;
  }
  return std::nullopt;
}

}  // namespace koru
