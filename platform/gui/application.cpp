#include "platform/gui/application.h"

#include <QApplication>
#include <QCursor>
#include <QFont>
#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <cstdio>
#include <filesystem>

#include "platform/code_page.h"
#include "platform/gui/form.h"
#include "platform/gui/gui_internal.h"

TApplication* Application = nullptr;

namespace {

// The busy cursors as the toolkit draws them: the hour-glass blocks the
// window, the SQL-wait one is the arrow with the busy sign of work going on.
void ShowScreenCursor(TCursor from, TCursor to) {
  if (!QGuiApplication::instance()) return;
  if (from != crDefault) QGuiApplication::restoreOverrideCursor();
  if (to != crDefault) QGuiApplication::setOverrideCursor(to == crSQLWait ? Qt::BusyCursor : Qt::WaitCursor);
}

}  // namespace

struct TApplicationImpl {
  std::unique_ptr<QApplication> app;
};

QString ToQString(std::string_view cp1251) {
  QString s;
  s.reserve(static_cast<qsizetype>(cp1251.size()));
  for (const char c : cp1251) s.append(QChar(static_cast<char16_t>(Cp1251ToUnicode(static_cast<unsigned char>(c)))));
  return s;
}

bool FromQString(const QString& text, std::string& out, char32_t* refused) {
  out.clear();
  out.reserve(static_cast<size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    char32_t u = text[i].unicode();
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      u = QChar::surrogateToUcs4(text[i], text[i + 1]);
      ++i;
    }
    const int c = UnicodeToCp1251(u);
    if (c < 0) {
      if (refused) *refused = u;
      return false;
    }
    out += static_cast<char>(c);
  }
  return true;
}

std::string Cp1251Literal(std::string_view utf8) {
  std::string out;
  Utf8ToCp1251(utf8, out);
  return out;
}

void TrackWidget(QWidget* widget, QWidget** slot) {
  QObject::connect(widget, &QObject::destroyed, [slot] { *slot = nullptr; });
}

TApplication::TApplication(int& argc, char** argv) : impl_(std::make_unique<TApplicationImpl>()) {
  if (Application) throw EGuiError("The application object exists already");
  impl_->app = std::make_unique<QApplication>(argc, argv);
  // Windows' classic dialog font is not on this machine: any plain sans
  // serif font of the same pixel height stands in for it.
  QFont::insertSubstitutions("MS Sans Serif", {"DejaVu Sans", "Liberation Sans", "Arial", "Helvetica"});
  if (argc > 0 && argv && argv[0]) title_ = std::filesystem::path(argv[0]).stem().string();
  Application = this;
  Screen->SetCursorDisplay(ShowScreenCursor);
}

TApplication::~TApplication() {
  Destroying();
  // Forms go before the toolkit's application.
  while (ComponentCount() > 0) {
    TComponent* c = Components(ComponentCount() - 1);
    if (!DestroyOwned(c)) break;
  }
  mainForm_ = nullptr;
  // The override cursor goes with the toolkit's application; the screen
  // keeps its state for a later one.
  if (Screen->Cursor() != crDefault) ShowScreenCursor(Screen->Cursor(), crDefault);
  Screen->SetCursorDisplay(nullptr);
  Application = nullptr;
}

void TApplication::Run() {
  if (!mainForm_) return;
  mainForm_->Show();
  QApplication::exec();
}

void TApplication::ProcessMessages() { QApplication::processEvents(); }

void TApplication::Terminate() { QApplication::quit(); }

int TApplication::MessageBox(const std::string& text, const std::string& caption, int flags) {
  if (hook_) return hook_(TMessageBoxRequest{text, caption, flags});
  QMessageBox box;
  box.setWindowTitle(ToQString(caption));
  box.setText(ToQString(text));
  switch (flags & 0xF0) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  switch (flags & 0x0F) {
    case MB_OKCANCEL: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MB_YESNO: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
  }
  if (mainForm_ && mainForm_->Visible()) box.setParent(static_cast<QWidget*>(mainForm_->Handle()), Qt::Dialog);
  switch (box.exec()) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDCANCEL;
  }
}

std::string TApplication::ExceptionText(const std::string& message) {
  if (!message.empty() && message.back() == '.') return message;
  return message + '.';
}

void TApplication::ShowException(const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  MessageBox(ExceptionText(e.what()), title_, MB_OK | MB_ICONERROR);
}

void TApplication::HandleException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    MessageBox(Cp1251Literal("Неизвестная ошибка."), title_, MB_OK | MB_ICONERROR);
  }
}

void ShowMessage(const std::string& text) {
  if (Application) Application->MessageBox(text, Application->Title(), MB_OK);
}

void InvokeEventHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    try {
      if (Application) Application->HandleException(std::current_exception());
      else std::rethrow_exception(std::current_exception());
    } catch (const std::exception& e) {
      // Without an application there is no box to show it in.
      std::fprintf(stderr, "%s\n", TApplication::ExceptionText(e.what()).c_str());
    } catch (...) {
      // A failing error display must not take the message loop down.
    }
  }
}
