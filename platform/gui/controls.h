// The controls a form is made of: label, edit and button, and what they
// share (place, anchors, tab order, hint).
//
// A control's owner is the form it sits on.  Places are pixels in the form's
// client area.  Anchors keep a control's distance to the named sides of the
// form when the form is resized: anchored left and right it stretches,
// anchored right only it moves, the same vertically.  The tab order runs
// through the controls that can take the focus, lowest `TabOrder` first.
//
// Texts are code page 1251.  An edit refuses a typed or pasted character
// that the page cannot hold, with a message box saying so, rather than
// storing something else in its place; an upper-case edit converts typed
// letters (Cyrillic included) as they arrive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/component.h"

class TForm;
struct TControlImpl;

using TAnchors = uint8_t;
constexpr TAnchors akLeft = 1;
constexpr TAnchors akTop = 2;
constexpr TAnchors akRight = 4;
constexpr TAnchors akBottom = 8;

enum TEditCharCase { ecNormal, ecUpperCase, ecLowerCase };

DIRLOOK_EXCEPTION(EGuiError, Exception)

class TControl : public TComponent {
public:
  ~TControl() override;

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);
  void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
  void SetTop(int v) { SetBounds(left_, v, width_, height_); }
  void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
  void SetHeight(int v) { SetBounds(left_, top_, width_, v); }

  TAnchors Anchors() const { return anchors_; }
  void SetAnchors(TAnchors anchors);

  // Place in the tab order; controls that cannot take the focus have none.
  int TabOrder() const { return tabOrder_; }
  void SetTabOrder(int order);
  virtual bool CanFocus() const { return true; }

  // The hint appears as a tool tip only while `ShowHint` is on.
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool show);

  bool Visible() const;
  void SetVisible(bool visible);
  bool Enabled() const;
  void SetEnabled(bool enabled);
  bool Focused() const;
  void SetFocus();

  TForm* Form() const { return form_; }
  // The toolkit's widget (a QWidget), for tests and the form's own use.
  void* Handle() const;

protected:
  // `owner` must be a form.
  TControl(TComponent* owner, std::unique_ptr<TControlImpl> impl);
  void UpdateToolTip();
  // Called by the form when its client area changes size.
  void ApplyAnchors(int clientWidth, int clientHeight);

  std::unique_ptr<TControlImpl> impl_;

private:
  friend class TForm;
  void RecordMargins();

  TForm* form_;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  int rightMargin_ = 0, bottomMargin_ = 0;  // distances to the form's sides
  int designWidth_ = 0, designHeight_ = 0;  // client size they were taken at
  TAnchors anchors_ = akLeft | akTop;
  int tabOrder_ = -1;
  std::string hint_;
  bool showHint_ = false;
};

class TLabel : public TControl {
public:
  explicit TLabel(TComponent* owner);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  bool CanFocus() const override { return false; }

private:
  std::string caption_;
};

class TEdit : public TControl {
public:
  explicit TEdit(TComponent* owner);
  std::string Text() const;
  // Sets the text; an upper-case edit shows it in upper case.
  void SetText(const std::string& text);
  TEditCharCase CharCase() const { return charCase_; }
  void SetCharCase(TEditCharCase c);
  // 0: no limit.
  int MaxLength() const { return maxLength_; }
  void SetMaxLength(int length);

  TNotifyEvent OnChange;

private:
  friend struct TEditBridge;
  TEditCharCase charCase_ = ecNormal;
  int maxLength_ = 0;
};

class TButton : public TControl {
public:
  explicit TButton(TComponent* owner);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  // The default button is pressed by Enter wherever the focus is on the
  // form, unless the focus is on another button.
  bool Default() const { return default_; }
  void SetDefault(bool on);
  // Presses the button: runs `OnClick` as an event handler.
  void Click();

  TNotifyEvent OnClick;

private:
  std::string caption_;
  bool default_ = false;
};
