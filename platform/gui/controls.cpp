#include "platform/gui/controls.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QValidator>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/gui/application.h"
#include "platform/gui/form.h"
#include "platform/gui/gui_internal.h"
#include "platform/text.h"

namespace {

TForm* FormOf(TComponent* owner) {
  auto* form = dynamic_cast<TForm*>(owner);
  if (!form) throw EGuiError("A control must be owned by a form");
  return form;
}

QWidget* WindowOf(TComponent* owner) { return static_cast<QWidget*>(FormOf(owner)->Handle()); }

std::unique_ptr<TControlImpl> ImplFor(QWidget* widget) {
  auto impl = std::make_unique<TControlImpl>();
  impl->widget = widget;
  return impl;
}

// Keeps an edit's text in code page 1251 and in the edit's case.  Refusing
// happens here, while the toolkit can still undo the keystroke or paste; the
// message follows once the key has been handled.
class EditValidator : public QValidator {
public:
  EditValidator(QObject* parent, const TEdit* edit) : QValidator(parent), edit_(edit) {}

  State validate(QString& input, int& pos) const override {
    std::string bytes;
    char32_t refused = 0;
    if (!FromQString(input, bytes, &refused)) {
      Refuse(refused);
      return Invalid;
    }
    std::string cased = bytes;
    if (edit_->CharCase() == ecUpperCase) cased = AnsiUpperCase(bytes);
    else if (edit_->CharCase() == ecLowerCase) cased = AnsiLowerCase(bytes);
    if (cased != bytes) {
      input = ToQString(cased);  // same length: the cursor stays where it was
      (void)pos;
    }
    return Acceptable;
  }

private:
  void Refuse(char32_t u) const {
    if (messagePending_) return;
    messagePending_ = true;
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(u));
    const std::string text = Cp1251Literal("Символ ") + code +
                             Cp1251Literal(
                                 " нельзя ввести: в кодовой странице Windows-1251 его нет. "
                                 "Текст остался прежним.");
    QTimer::singleShot(0, const_cast<EditValidator*>(this), [this, text] {
      messagePending_ = false;
      InvokeEventHandler([&] { ShowMessage(text); });
    });
  }

  const TEdit* edit_;
  mutable bool messagePending_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// TControl

TControl::TControl(TComponent* owner, std::unique_ptr<TControlImpl> impl)
    : TComponent(owner), impl_(std::move(impl)), form_(FormOf(owner)) {
  TrackWidget(impl_->widget, &impl_->widget);
  form_->controls_.push_back(this);
  form_->ControlsChanged();
  RecordMargins();
}

TControl::~TControl() {
  Destroying();
  delete impl_->widget;  // null once the form's window took it along
}

void* TControl::Handle() const { return impl_->widget; }

void TControl::SetBounds(int left, int top, int width, int height) {
  left_ = left, top_ = top, width_ = width, height_ = height;
  if (impl_->widget) impl_->widget->setGeometry(left, top, width, height);
  RecordMargins();
}

void TControl::RecordMargins() {
  designWidth_ = form_->ClientWidth();
  designHeight_ = form_->ClientHeight();
  rightMargin_ = designWidth_ - (left_ + width_);
  bottomMargin_ = designHeight_ - (top_ + height_);
}

void TControl::SetAnchors(TAnchors anchors) {
  anchors_ = anchors;
  RecordMargins();
}

void TControl::ApplyAnchors(int clientWidth, int clientHeight) {
  int l = left_, t = top_, w = width_, h = height_;
  const bool left = anchors_ & akLeft, right = anchors_ & akRight;
  if (left && right) w = clientWidth - rightMargin_ - l;
  else if (right) l = clientWidth - rightMargin_ - w;
  else if (!left && designWidth_ > 0) l = (left_ + width_ / 2) * clientWidth / designWidth_ - w / 2;
  const bool top = anchors_ & akTop, bottom = anchors_ & akBottom;
  if (top && bottom) h = clientHeight - bottomMargin_ - t;
  else if (bottom) t = clientHeight - bottomMargin_ - h;
  else if (!top && designHeight_ > 0) t = (top_ + height_ / 2) * clientHeight / designHeight_ - h / 2;
  w = std::max(w, 0), h = std::max(h, 0);
  left_ = l, top_ = t, width_ = w, height_ = h;
  if (impl_->widget) impl_->widget->setGeometry(l, t, w, h);
}

void TControl::SetTabOrder(int order) {
  tabOrder_ = order;
  form_->ControlsChanged();
}

void TControl::SetHint(const std::string& hint) {
  hint_ = hint;
  UpdateToolTip();
}

void TControl::SetShowHint(bool show) {
  showHint_ = show;
  UpdateToolTip();
}

void TControl::UpdateToolTip() {
  if (impl_->widget) impl_->widget->setToolTip(showHint_ ? ToQString(hint_) : QString());
}

bool TControl::Visible() const { return impl_->widget && !impl_->widget->isHidden(); }
void TControl::SetVisible(bool visible) {
  if (impl_->widget) impl_->widget->setVisible(visible);
}
bool TControl::Enabled() const { return impl_->widget && impl_->widget->isEnabled(); }
void TControl::SetEnabled(bool enabled) {
  if (impl_->widget) impl_->widget->setEnabled(enabled);
}
bool TControl::Focused() const { return impl_->widget && impl_->widget->hasFocus(); }
void TControl::SetFocus() {
  if (impl_->widget) impl_->widget->setFocus(Qt::OtherFocusReason);
}

// ---------------------------------------------------------------------------
// TLabel

TLabel::TLabel(TComponent* owner) : TControl(owner, ImplFor(new QLabel(WindowOf(owner)))) {
  impl_->widget->setFocusPolicy(Qt::NoFocus);
}

void TLabel::SetCaption(const std::string& caption) {
  caption_ = caption;
  auto* label = static_cast<QLabel*>(impl_->widget);
  if (!label) return;
  label->setText(ToQString(caption));
  // A label is as large as its text.
  label->adjustSize();
  SetBounds(Left(), Top(), label->width(), label->height());
}

// ---------------------------------------------------------------------------
// TEdit

TEdit::TEdit(TComponent* owner) : TControl(owner, ImplFor(new QLineEdit(WindowOf(owner)))) {
  auto* edit = static_cast<QLineEdit*>(impl_->widget);
  edit->setValidator(new EditValidator(edit, this));
  edit->setFocusPolicy(Qt::StrongFocus);
  SetMaxLength(0);
  QObject::connect(edit, &QLineEdit::textChanged, edit, [this] {
    if (OnChange) InvokeEventHandler([this] { OnChange(this); });
  });
}

std::string TEdit::Text() const {
  auto* edit = static_cast<QLineEdit*>(impl_->widget);
  std::string out;
  if (edit) FromQString(edit->text(), out);  // the validator let in nothing else
  return out;
}

void TEdit::SetText(const std::string& text) {
  auto* edit = static_cast<QLineEdit*>(impl_->widget);
  if (!edit) return;
  std::string cased = text;
  if (charCase_ == ecUpperCase) cased = AnsiUpperCase(text);
  else if (charCase_ == ecLowerCase) cased = AnsiLowerCase(text);
  edit->setText(ToQString(cased));
}

void TEdit::SetCharCase(TEditCharCase c) {
  charCase_ = c;
  if (c != ecNormal) SetText(Text());
}

void TEdit::SetMaxLength(int length) {
  maxLength_ = length > 0 ? length : 0;
  auto* edit = static_cast<QLineEdit*>(impl_->widget);
  // The toolkit's default limit would cut long texts: no limit is the
  // largest length it takes.
  if (edit) edit->setMaxLength(maxLength_ > 0 ? maxLength_ : std::numeric_limits<int>::max());
}

// ---------------------------------------------------------------------------
// TButton

TButton::TButton(TComponent* owner) : TControl(owner, ImplFor(new QPushButton(WindowOf(owner)))) {
  auto* button = static_cast<QPushButton*>(impl_->widget);
  button->setFocusPolicy(Qt::StrongFocus);
  button->setAutoDefault(false);
  QObject::connect(button, &QPushButton::clicked, button, [this] { Click(); });
}

void TButton::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (impl_->widget) static_cast<QPushButton*>(impl_->widget)->setText(ToQString(caption));
}

void TButton::SetDefault(bool on) {
  default_ = on;
  if (impl_->widget) static_cast<QPushButton*>(impl_->widget)->setDefault(on);
}

void TButton::Click() {
  if (OnClick) InvokeEventHandler([this] { OnClick(this); });
}
