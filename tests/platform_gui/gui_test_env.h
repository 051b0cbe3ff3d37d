// One application object for the whole test program, and the message boxes
// it would show, captured instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/gui/application.h"

namespace guitest {

// Message boxes shown since the last `Take`.
inline std::vector<TMessageBoxRequest>& Shown() {
  static std::vector<TMessageBoxRequest> shown;
  return shown;
}

class Environment : public testing::Environment {
public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "dirlook_tests";
    static char* argv[] = {name, nullptr};
    app_ = new TApplication(argc, argv);
    app_->SetMessageBoxHook([](const TMessageBoxRequest& r) {
      Shown().push_back(r);
      return IDOK;
    });
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

private:
  TApplication* app_ = nullptr;
};

// Types `text` into `widget` one key at a time, as a keyboard with these
// characters would (QTest's own typing knows only ASCII).
inline void TypeText(QWidget* widget, const QString& text) {
  for (const QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(widget, &release);
  }
}
inline void Type(void* widget, const char* utf8) { TypeText(static_cast<QWidget*>(widget), QString::fromUtf8(utf8)); }

// Code page 1251 text from UTF-8 written in a test.
inline std::string W(const char* utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToCp1251(utf8, out)) << utf8;
  return out;
}

}  // namespace guitest
