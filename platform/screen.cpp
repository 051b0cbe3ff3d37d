#include "platform/screen.h"

#include <utility>

namespace {
TScreen theScreen;
}
TScreen* Screen = &theScreen;

void TScreen::SetCursor(TCursor cursor) {
  if (cursor == cursor_) return;
  const TCursor from = cursor_;
  cursor_ = cursor;
  if (display_) display_(from, cursor);
}

void TScreen::SetCursorDisplay(TCursorDisplay display) {
  display_ = std::move(display);
  if (display_ && cursor_ != crDefault) display_(crDefault, cursor_);
}
