// The screen cursor: the shape the mouse pointer takes over every window of
// the program while a long operation runs.
//
// The state lives here, without the toolkit, so that the engines can show
// that they are busy without depending on the GUI.  The GUI layer attaches a
// display that turns each change into the toolkit's override cursor; without
// one (engine tests, headless runs) the state is kept and nothing is drawn.
#pragma once

#include <functional>

enum TCursor { crDefault = 0, crHourGlass = -11, crSQLWait = -17 };

class TScreen {
public:
  // Told of every change: the cursor left and the one set.
  using TCursorDisplay = std::function<void(TCursor from, TCursor to)>;

  TCursor Cursor() const { return cursor_; }
  void SetCursor(TCursor cursor);
  // Attaches the display (an empty one detaches it).  A display attached
  // while a busy cursor is set shows that cursor at once.
  void SetCursorDisplay(TCursorDisplay display);

private:
  TCursor cursor_ = crDefault;
  TCursorDisplay display_;
};

// The screen of the process; always there.
extern TScreen* Screen;

// Sets the screen cursor and puts back the one it found however the scope
// ends.  Scopes nest: each restores what was there before it.
class TCursorScope {
public:
  explicit TCursorScope(TCursor cursor) : saved_(Screen->Cursor()) { Screen->SetCursor(cursor); }
  ~TCursorScope() {
    try {
      Screen->SetCursor(saved_);
    } catch (...) {
      // A failing display must not turn a clean-up into a second error.
    }
  }
  TCursorScope(const TCursorScope&) = delete;
  TCursorScope& operator=(const TCursorScope&) = delete;

private:
  TCursor saved_;
};
