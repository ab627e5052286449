#include "tests/screen_model.h"

#include <algorithm>

namespace koru::testing {
namespace {

std::string WithoutTrailingBlanks(std::string row) {
  row.erase(row.find_last_not_of(' ') + 1);
  return row;
}

}  // namespace

ScreenModel::ScreenModel(int columns, int rows)
    : columns_(columns), rows_(static_cast<size_t>(rows), std::string(columns, ' ')) {}

void ScreenModel::Feed(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const char c = bytes[i];
    if (c == '\x1b') {
      i = Escape(bytes, i);
      continue;
    }
    if (c == '\r') {
      column_ = 0;
    } else if (c == '\n') {
      LineFeed();
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      unknown_ += c;
    } else {
      Put(c);
    }
    ++i;
  }
}

size_t ScreenModel::Escape(std::string_view bytes, size_t at) {
  if (bytes.substr(at, 3) == "\x1b[K") {
    if (column_ < columns_) std::fill(rows_[row_].begin() + column_, rows_[row_].end(), ' ');
    return at + 3;
  }
  if (bytes.substr(at, 2) == "\x1b]") {
    const size_t bell = bytes.find('\a', at);
    if (bytes.substr(at, 4) == "\x1b]0;" && bell != std::string_view::npos) {
      title_ = bytes.substr(at + 4, bell - at - 4);
    }
    return bell == std::string_view::npos ? bytes.size() : bell + 1;
  }
  constexpr std::string_view kPush = "\x1b[22;0t";
  constexpr std::string_view kPop = "\x1b[23;0t";
  if (bytes.substr(at, kPush.size()) == kPush) {
    saved_titles_.push_back(title_);
    return at + kPush.size();
  }
  if (bytes.substr(at, kPop.size()) == kPop) {
    if (!saved_titles_.empty()) {
      title_ = saved_titles_.back();
      saved_titles_.pop_back();
    }
    return at + kPop.size();
  }
  unknown_ += bytes.substr(at, 3);
  return at + 1;
}

void ScreenModel::Put(char c) {
  if (column_ >= columns_) {
    ++wraps_;
    column_ = 0;
    LineFeed();
  }
  rows_[row_][column_++] = c;
}

void ScreenModel::LineFeed() {
  if (row_ + 1 < rows_.size()) {
    ++row_;
    return;
  }
  scrollback_.push_back(rows_.front());
  rows_.erase(rows_.begin());
  rows_.emplace_back(columns_, ' ');
}

void ScreenModel::Resize(int columns) {
  for (std::string& row : rows_) row.resize(columns, ' ');
  columns_ = columns;
  column_ = std::min(column_, columns_);
}

std::vector<std::string> ScreenModel::Lines() const {
  std::vector<std::string> lines;
  for (const std::string& row : scrollback_) lines.push_back(WithoutTrailingBlanks(row));
  size_t last = rows_.size();
  while (last > 0 && WithoutTrailingBlanks(rows_[last - 1]).empty()) --last;
  for (size_t i = 0; i < last; ++i) lines.push_back(WithoutTrailingBlanks(rows_[i]));
  return lines;
}

std::string ScreenModel::CursorRow() const { return WithoutTrailingBlanks(rows_[row_]); }

}  // namespace koru::testing
