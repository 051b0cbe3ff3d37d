// The application object, the display of the screen cursor and message
// boxes of the GUI layer.
//
// The window code sees only these classes; Qt stays behind them.  Every text
// that crosses this layer is code page 1251, like all text of the engines.
// The application object owns the forms created through it, runs the message
// loop until the main form closes, and shows exceptions: an exception that
// escapes an event handler ends that handler in an error box titled with the
// application's title (the executable's name), and the program goes on.
//
// Message boxes normally wait for the user.  A hook can take their place
// (tests, headless runs): it receives the request and returns the answer.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/component.h"
#include "platform/screen.h"

class TForm;
struct TApplicationImpl;

// Message box buttons and icons (combined with |), and the answers.
constexpr int MB_OK = 0x00;
constexpr int MB_OKCANCEL = 0x01;
constexpr int MB_YESNO = 0x04;
constexpr int MB_ICONERROR = 0x10;
constexpr int MB_ICONQUESTION = 0x20;
constexpr int MB_ICONWARNING = 0x30;
constexpr int MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

struct TMessageBoxRequest {
  std::string Text;     // code page 1251
  std::string Caption;  // code page 1251
  int Flags = MB_OK;
};
using TMessageBoxHook = std::function<int(const TMessageBoxRequest& request)>;

class TApplication : public TComponent {
public:
  // One per process; creates the toolkit's application.  `argc` must outlive
  // the object, as the toolkit keeps a reference to it.
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  void Initialize() {}
  // The caption of message boxes and error boxes; by default the
  // executable's name without directory and extension.
  const std::string& Title() const { return title_; }
  void SetTitle(std::string title) { title_ = std::move(title); }

  // Creates a form owned by the application; the first one becomes the main
  // form, shown by `Run`.
  template <class T, class... Args>
  T* CreateForm(Args&&... args) {
    T* form = CreateOwned<T>(std::forward<Args>(args)...);
    if (!mainForm_) mainForm_ = form;
    return form;
  }
  TForm* MainForm() const { return mainForm_; }

  // Shows the main form and runs the message loop until it is closed.
  void Run();
  // Handles the events waiting in the queue, then returns.
  void ProcessMessages();
  // Ends the message loop.
  void Terminate();

  // Shows a message box and returns the answer (IDOK, IDCANCEL, ...).
  int MessageBox(const std::string& text, const std::string& caption, int flags);
  // The error box of an exception; an `EAbort` is silent.
  void ShowException(const std::exception& e);
  // The same for whatever `error` holds, also when it is not a
  // std::exception.
  void HandleException(std::exception_ptr error);
  // The text the error box shows: the exception's message with a full stop
  // added when it does not end in one.
  static std::string ExceptionText(const std::string& message);

  void SetMessageBoxHook(TMessageBoxHook hook) { hook_ = std::move(hook); }

private:
  std::unique_ptr<TApplicationImpl> impl_;
  std::string title_;
  TForm* mainForm_ = nullptr;
  TMessageBoxHook hook_;
};

// The application object of the process, or null before one exists.
extern TApplication* Application;

// A message box with an OK button captioned with the application's title.
void ShowMessage(const std::string& text);

// Runs `handler` as an event handler: an exception that escapes it goes to
// the application's exception display instead of the message loop.
void InvokeEventHandler(const std::function<void()>& handler);
