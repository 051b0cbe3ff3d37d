#include "platform/gui/form.h"

#include <QEvent>
#include <QFont>
#include <QKeyEvent>
#include <QObject>
#include <QPixmap>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "platform/gui/application.h"
#include "platform/gui/gui_internal.h"

struct TFormBridge {
  static void Resized(TForm* form) { form->ClientResized(); }
  static bool Enter(TForm* form, QObject* watched) {
    for (TControl* c : form->controls_)
      if (c->Handle() == watched) return form->EnterPressed(c);
    return false;
  }
};

// The form's eye on the toolkit: resizes of the window and Enter pressed on
// any of its controls.
class FormEvents : public QObject {
public:
  explicit FormEvents(TForm* form, QObject* parent) : QObject(parent), form_(form) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize && watched == form_->Handle()) {
      InvokeEventHandler([this] { TFormBridge::Resized(form_); });
      return false;
    }
    if (event->type() == QEvent::KeyPress) {
      auto* key = static_cast<QKeyEvent*>(event);
      const auto mods = key->modifiers() & ~Qt::KeypadModifier;
      if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && mods == Qt::NoModifier)
        return TFormBridge::Enter(form_, watched);
    }
    return false;
  }

private:
  TForm* form_;
};

namespace {

const char* const kVisualClasses[] = {"TLabel", "TEdit", "TButton", "TListView"};

bool IsVisualClass(const std::string& cls) {
  return std::find(std::begin(kVisualClasses), std::end(kVisualClasses), cls) != std::end(kVisualClasses);
}

// Errors in a description name its source and line.
struct Context {
  const std::string* source = nullptr;
  [[noreturn]] void Fail(int line, const std::string& what) const {
    throw EFormDescriptionError("%s, line %d: %s", {source ? *source : std::string("form"), line, what});
  }
};
thread_local Context context;

int64_t IntegerOf(const TDescribedProperty& p) {
  if (p.Value.kind != TDescribedValue::vkInteger) context.Fail(p.Line, p.Name + " needs a number");
  if (p.Value.Integer < INT_MIN || p.Value.Integer > INT_MAX) context.Fail(p.Line, p.Name + " is out of range");
  return p.Value.Integer;
}

const std::string& TextOf(const TDescribedProperty& p) {
  if (p.Value.kind != TDescribedValue::vkText) context.Fail(p.Line, p.Name + " needs a text in double quotes");
  return p.Value.Text;
}

bool BooleanOf(const TDescribedProperty& p) {
  if (p.Value.kind == TDescribedValue::vkName && p.Value.Text == "true") return true;
  if (p.Value.kind == TDescribedValue::vkName && p.Value.Text == "false") return false;
  context.Fail(p.Line, p.Name + " needs true or false");
}

template <class E, size_t N>
E EnumOf(const TDescribedProperty& p, const std::pair<const char*, E> (&values)[N]) {
  if (p.Value.kind == TDescribedValue::vkName)
    for (const auto& [name, value] : values)
      if (p.Value.Text == name) return value;
  context.Fail(p.Line, p.Name + " has no value \"" + p.Value.Text + "\"");
}

TAnchors AnchorsOf(const TDescribedProperty& p) {
  static const std::pair<const char*, TAnchors> kinds[] = {
      {"akLeft", akLeft}, {"akTop", akTop}, {"akRight", akRight}, {"akBottom", akBottom}};
  if (p.Value.kind != TDescribedValue::vkSet) context.Fail(p.Line, "Anchors needs a set such as [akLeft, akTop]");
  TAnchors a = 0;
  for (const auto& name : p.Value.Names) {
    TDescribedProperty one{p.Name, {TDescribedValue::vkName, 0, name, {}}, p.Line};
    a |= EnumOf(one, kinds);
  }
  return a;
}

}  // namespace

TForm::TForm(TComponent* owner) : TComponent(owner), impl_(std::make_unique<TFormImpl>()) {
  impl_->window = new QWidget(nullptr);
  TrackWidget(impl_->window, &impl_->window);
  impl_->events = new FormEvents(this, impl_->window);
  impl_->window->installEventFilter(impl_->events);
}

TForm::~TForm() {
  Destroying();
  // The window takes the controls' widgets along; the controls themselves
  // go with the component list.
  delete impl_->window;
}

void* TForm::Handle() const { return impl_->window; }

void TForm::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove) controls_.erase(std::remove(controls_.begin(), controls_.end(), component), controls_.end());
  TComponent::Notification(component, operation);
}

void TForm::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (impl_->window) impl_->window->setWindowTitle(ToQString(caption));
}

void TForm::SetPosition(int left, int top) {
  left_ = left, top_ = top;
  if (impl_->window) impl_->window->move(left, top);
}

int TForm::ClientWidth() const { return impl_->window ? impl_->window->width() : 0; }
int TForm::ClientHeight() const { return impl_->window ? impl_->window->height() : 0; }

void TForm::SetClientSize(int width, int height) {
  if (!impl_->window) return;
  impl_->window->resize(width, height);
  // A hidden window hears of its size only when shown; the controls follow
  // at once.
  ClientResized();
}

void TForm::ClientResized() {
  if (!impl_->window) return;
  const int w = impl_->window->width(), h = impl_->window->height();
  for (TControl* c : controls_) c->ApplyAnchors(w, h);
}

void TForm::SetFont(const std::string& name, int height) {
  fontName_ = name;
  fontHeight_ = height;
  if (!impl_->window) return;
  QFont font(ToQString(name));
  font.setStyleHint(QFont::SansSerif);
  if (height != 0) font.setPixelSize(std::abs(height));
  impl_->window->setFont(font);
}

void TForm::Show() {
  if (!impl_->window) return;
  impl_->window->show();
  // The focus starts on the first control in the tab order.
  const std::vector<TControl*> order = TabOrderList();
  if (!ActiveControl() && !order.empty()) order.front()->SetFocus();
}

void TForm::Close() {
  if (impl_->window) impl_->window->close();
}

bool TForm::SaveImage(const std::string& pngFile) const {
  return impl_->window && impl_->window->grab().save(QString::fromStdString(pngFile), "PNG");
}

bool TForm::Visible() const { return impl_->window && impl_->window->isVisible(); }

std::vector<TControl*> TForm::TabOrderList() const {
  std::vector<TControl*> list;
  for (TControl* c : controls_)
    if (c->CanFocus()) list.push_back(c);
  // Controls without a place in the order follow the others in creation order.
  std::stable_sort(list.begin(), list.end(), [](TControl* a, TControl* b) {
    const int x = a->TabOrder() < 0 ? INT_MAX : a->TabOrder();
    const int y = b->TabOrder() < 0 ? INT_MAX : b->TabOrder();
    return x < y;
  });
  return list;
}

TControl* TForm::ActiveControl() const {
  for (TControl* c : controls_)
    if (c->Focused()) return c;
  return nullptr;
}

TButton* TForm::DefaultButton() const {
  for (TControl* c : controls_)
    if (auto* b = dynamic_cast<TButton*>(c); b && b->Default()) return b;
  return nullptr;
}

void TForm::ControlsChanged() {
  const std::vector<TControl*> order = TabOrderList();
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    auto* a = static_cast<QWidget*>(order[i]->Handle());
    auto* b = static_cast<QWidget*>(order[i + 1]->Handle());
    if (a && b) QWidget::setTabOrder(a, b);
  }
  for (TControl* c : controls_)
    if (auto* w = static_cast<QWidget*>(c->Handle())) w->installEventFilter(impl_->events);
}

bool TForm::EnterPressed(TControl* from) {
  TButton* target = dynamic_cast<TButton*>(from);
  if (!target) target = DefaultButton();
  if (!target || !target->Visible() || !target->Enabled()) return false;
  target->Click();
  return true;
}

void TForm::RegisterHandler(const std::string& name, TEventHandler handler) { handlers_[name] = std::move(handler); }

template <class Event>
Event TForm::Handler(const std::string& control, const TDescribedProperty& p) const {
  if (p.Value.kind != TDescribedValue::vkName) context.Fail(p.Line, p.Name + " needs a handler name");
  const auto it = handlers_.find(p.Value.Text);
  if (it == handlers_.end())
    context.Fail(p.Line, control + "." + p.Name + ": no handler named " + p.Value.Text + " is registered");
  const Event* e = std::get_if<Event>(&it->second);
  if (!e) context.Fail(p.Line, control + "." + p.Name + ": handler " + p.Value.Text + " is of another kind");
  return *e;
}

void TForm::LoadFromDescription(std::string_view utf8, const std::string& source,
                                const TNonVisualComponentEvent& onComponent) {
  const TDescribedComponent d = ReadFormDescription(utf8, source);
  const Context saved = context;
  context.source = &source;
  try {
    LoadFromDescription(d, onComponent);
  } catch (...) {
    context = saved;
    throw;
  }
  context = saved;
}

void TForm::ApplyFormProperty(const TDescribedProperty& p) {
  if (p.Name == "Caption") SetCaption(TextOf(p));
  else if (p.Name == "Font.Name") SetFont(TextOf(p), fontHeight_);
  else if (p.Name == "Font.Height") SetFont(fontName_, static_cast<int>(IntegerOf(p)));
  else context.Fail(p.Line, "a form has no property " + p.Name);
}

void TForm::LoadFromDescription(const TDescribedComponent& d, const TNonVisualComponentEvent& onComponent) {
  SetName(d.Name);
  // Place and size first: the controls' anchors are taken against the
  // client area.  The client size, where given, wins over the outer size.
  int left = left_, top = top_, width = ClientWidth(), height = ClientHeight();
  const TDescribedProperty* clientW = d.Find("ClientWidth");
  const TDescribedProperty* clientH = d.Find("ClientHeight");
  for (const auto& p : d.Properties) {
    if (p.Name == "Left") left = static_cast<int>(IntegerOf(p));
    else if (p.Name == "Top") top = static_cast<int>(IntegerOf(p));
    else if (p.Name == "Width") width = clientW ? width : static_cast<int>(IntegerOf(p));
    else if (p.Name == "Height") height = clientH ? height : static_cast<int>(IntegerOf(p));
    else if (p.Name == "ClientWidth") width = static_cast<int>(IntegerOf(p));
    else if (p.Name == "ClientHeight") height = static_cast<int>(IntegerOf(p));
    else ApplyFormProperty(p);
  }
  SetPosition(left, top);
  SetClientSize(width, height);
  if (!d.Items.empty()) context.Fail(d.Items.front().Line, "a form has no collection " + d.Items.front().Collection);

  for (const auto& child : d.Children) {
    if (IsVisualClass(child.ClassName)) {
      CreateControl(child);
    } else {
      if (!child.Children.empty()) context.Fail(child.Children.front().Line, child.Name + " cannot hold components");
      if (onComponent) onComponent(child);
      else context.Fail(child.Line, "nobody creates the component " + child.Name + " of class " + child.ClassName);
    }
  }
}

void TForm::CreateControl(const TDescribedComponent& d) {
  TControl* control = nullptr;
  TLabel* label = nullptr;
  TEdit* edit = nullptr;
  TButton* button = nullptr;
  TListView* list = nullptr;
  if (d.ClassName == "TLabel") control = label = CreateOwned<TLabel>();
  else if (d.ClassName == "TEdit") control = edit = CreateOwned<TEdit>();
  else if (d.ClassName == "TButton") control = button = CreateOwned<TButton>();
  else control = list = CreateOwned<TListView>();
  try {
    control->SetName(d.Name);
  } catch (const Exception& e) {
    context.Fail(d.Line, e.Message());
  }
  if (!d.Children.empty()) context.Fail(d.Children.front().Line, d.Name + " cannot hold components");

  int left = control->Left(), top = control->Top(), width = control->Width(), height = control->Height();
  if (edit) width = 121, height = 21;
  if (button) width = 75, height = 25;
  if (list) width = 250, height = 150;
  for (const auto& p : d.Properties) {
    const std::string& n = p.Name;
    if (n == "Left") left = static_cast<int>(IntegerOf(p));
    else if (n == "Top") top = static_cast<int>(IntegerOf(p));
    else if (n == "Width" && !label) width = static_cast<int>(IntegerOf(p));
    else if (n == "Height" && !label) height = static_cast<int>(IntegerOf(p));
  }
  control->SetBounds(left, top, width, height);

  for (const auto& p : d.Properties) {
    const std::string& n = p.Name;
    if (n == "Left" || n == "Top" || ((n == "Width" || n == "Height") && !label)) continue;
    if (n == "Anchors") control->SetAnchors(AnchorsOf(p));
    else if (n == "TabOrder") control->SetTabOrder(static_cast<int>(IntegerOf(p)));
    else if (n == "Hint") control->SetHint(TextOf(p));
    else if (n == "ShowHint") control->SetShowHint(BooleanOf(p));
    else if (n == "Visible") control->SetVisible(BooleanOf(p));
    else if (n == "Enabled") control->SetEnabled(BooleanOf(p));
    else if (n == "Caption" && label) label->SetCaption(TextOf(p));
    else if (n == "Caption" && button) button->SetCaption(TextOf(p));
    else if (n == "Default" && button) button->SetDefault(BooleanOf(p));
    else if (n == "OnClick" && button) button->OnClick = Handler<TNotifyEvent>(d.Name, p);
    else if (n == "Text" && edit) edit->SetText(TextOf(p));
    else if (n == "MaxLength" && edit) edit->SetMaxLength(static_cast<int>(IntegerOf(p)));
    else if (n == "OnChange" && edit) edit->OnChange = Handler<TNotifyEvent>(d.Name, p);
    else if (n == "CharCase" && edit) {
      static const std::pair<const char*, TEditCharCase> cases[] = {
          {"ecNormal", ecNormal}, {"ecUpperCase", ecUpperCase}, {"ecLowerCase", ecLowerCase}};
      edit->SetCharCase(EnumOf(p, cases));
    } else if (n == "ViewStyle" && list) {
      static const std::pair<const char*, int> styles[] = {{"vsReport", 0}};
      (void)EnumOf(p, styles);
    } else if (n == "ReadOnly" && list) list->SetReadOnly(BooleanOf(p));
    else if (n == "RowSelect" && list) list->SetRowSelect(BooleanOf(p));
    else if (n == "SortType" && list) {
      static const std::pair<const char*, TSortType> types[] = {
          {"stNone", stNone}, {"stData", stData}, {"stText", stText}, {"stBoth", stBoth}};
      list->SetSortType(EnumOf(p, types));
    } else if (n == "OnCompare" && list) list->OnCompare = Handler<TLVCompareEvent>(d.Name, p);
    else if (n == "OnColumnClick" && list) list->OnColumnClick = Handler<TLVColumnClickEvent>(d.Name, p);
    else context.Fail(p.Line, d.ClassName + " has no property " + n);
  }

  for (const auto& item : d.Items) {
    if (!list || item.Collection != "Columns") context.Fail(item.Line, d.ClassName + " has no collection " + item.Collection);
    std::string caption;
    int width = 50;
    for (const auto& p : item.Properties) {
      if (p.Name == "Caption") caption = TextOf(p);
      else if (p.Name == "Width") width = static_cast<int>(IntegerOf(p));
      else context.Fail(p.Line, "a column has no property " + p.Name);
    }
    list->AddColumn(caption, width);
  }
}
