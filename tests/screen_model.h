#ifndef KORU_TESTS_SCREEN_MODEL_H_
#define KORU_TESTS_SCREEN_MODEL_H_

#include <string>
#include <string_view>
#include <vector>

namespace koru::testing {

// What a terminal shows after the bytes a program wrote to it, for the few sequences KORU
// writes: printable bytes (one column each), carriage return, line feed, erase to the end of
// the line (ESC [ K) and the title (ESC ] ... BEL, which changes nothing on screen). A byte
// written past the last column wraps to the next row, as terminals do, and is counted; rows
// that scroll off the top go to the scrollback. Any other control byte or sequence is kept in
// unknown(). A narrower width cuts the rows (no reflow).
class ScreenModel {
 public:
  ScreenModel(int columns, int rows);

  void Feed(std::string_view bytes);
  void Resize(int columns);

  // The scrollback and then the screen, each row without trailing blanks, the empty rows at the
  // end of the screen left out.
  std::vector<std::string> Lines() const;
  // The row the cursor is on, without trailing blanks.
  std::string CursorRow() const;
  int wraps() const { return wraps_; }
  const std::string& unknown() const { return unknown_; }

 private:
  void Put(char c);
  void LineFeed();
  // Handles the sequence at `at` (which holds ESC); returns the index after it.
  size_t Escape(std::string_view bytes, size_t at);

  int columns_;
  std::vector<std::string> rows_;
  std::vector<std::string> scrollback_;
  size_t row_ = 0;
  int column_ = 0;
  int wraps_ = 0;
  std::string unknown_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_SCREEN_MODEL_H_
