#ifndef KORU_TESTS_SCREEN_MODEL_H_
#define KORU_TESTS_SCREEN_MODEL_H_

#include <string>
#include <string_view>
#include <vector>

namespace koru::testing {

// What a terminal shows after the bytes a program wrote to it, for the few sequences KORU
// writes: printable bytes (one column each), carriage return, line feed, erase to the end of
// the line (ESC [ K), the title (ESC ] 0 ; text BEL, which changes nothing on screen) and the
// title stack (ESC [ 22 ; 0 t pushes the title, ESC [ 23 ; 0 t pops it back). A byte
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
  // The window title as it is now, and how many titles are pushed on the stack.
  const std::string& title() const { return title_; }
  size_t saved_titles() const { return saved_titles_.size(); }

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
  std::string title_;
  std::vector<std::string> saved_titles_;
};

}  // namespace koru::testing

#endif  // KORU_TESTS_SCREEN_MODEL_H_
