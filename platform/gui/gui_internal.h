// Private to the GUI layer: the toolkit side of its objects and the text
// crossing between code page 1251 and the toolkit's Unicode strings.  Only
// forward declarations of toolkit classes appear here.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class QString;
class QWidget;

struct TControlImpl {
  QWidget* widget = nullptr;  // owned by the form's window; null once gone
};

struct TFormImpl {
  QWidget* window = nullptr;
  class FormEvents* events = nullptr;
};

// Every byte of code page 1251 has a character, so this never fails.
QString ToQString(std::string_view cp1251);
// False when `text` holds a character the page lacks; `refused` then gets
// the first such character.
bool FromQString(const QString& text, std::string& out, char32_t* refused = nullptr);

// Sets `*slot` to null when `widget` is destroyed.
void TrackWidget(QWidget* widget, QWidget** slot);

// Texts of this layer are written in the source as UTF-8.
std::string Cp1251Literal(std::string_view utf8);
