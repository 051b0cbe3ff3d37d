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

template <class E, size_t N>
E EnumOf(const TDescribedProperty& p, const std::pair<const char*, E> (&values)[N]) {
  const std::string& given = p.AsName();
  for (const auto& [name, value] : values)
    if (given == name) return value;
  p.Fail(p.Name + " has no value \"" + given + "\"");
}

TAnchors AnchorsOf(const TDescribedProperty& p) {
  static const std::pair<const char*, TAnchors> kinds[] = {
      {"akLeft", akLeft}, {"akTop", akTop}, {"akRight", akRight}, {"akBottom", akBottom}};
  TAnchors a = 0;
  for (const auto& name : p.AsSet()) {
    TDescribedProperty one = p;
    one.Value = {TDescribedValue::vkName, 0, name, {}};
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
  if (operation == opRemove)
    controls_.erase(std::remove(controls_.begin(), controls_.end(), component), controls_.end());
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
  const auto it = handlers_.find(p.AsName());
  if (it == handlers_.end()) p.Fail(control + "." + p.Name + ": no handler named " + p.Value.Text + " is registered");
  const Event* e = std::get_if<Event>(&it->second);
  if (!e) p.Fail(control + "." + p.Name + ": handler " + p.Value.Text + " is of another kind");
  return *e;
}

void TForm::LoadFromDescription(std::string_view utf8, const std::string& source,
                                const TNonVisualComponentEvent& onComponent) {
  LoadFromDescription(ReadFormDescription(utf8, source), onComponent);
}

void TForm::ApplyFormProperty(const TDescribedProperty& p) {
  if (p.Name == "Caption") SetCaption(p.AsText());
  else if (p.Name == "Font.Name") SetFont(p.AsText(), fontHeight_);
  else if (p.Name == "Font.Height") SetFont(fontName_, p.AsInteger());
  else p.Fail("a form has no property " + p.Name);
}

void TForm::LoadFromDescription(const TDescribedComponent& d, const TNonVisualComponentEvent& onComponent) {
  SetName(d.Name);
  // Place and size first: the controls' anchors are taken against the
  // client area.  The client size, where given, wins over the outer size.
  int left = left_, top = top_, width = ClientWidth(), height = ClientHeight();
  const TDescribedProperty* clientW = d.Find("ClientWidth");
  const TDescribedProperty* clientH = d.Find("ClientHeight");
  for (const auto& p : d.Properties) {
    if (p.Name == "Left") left = p.AsInteger();
    else if (p.Name == "Top") top = p.AsInteger();
    else if (p.Name == "Width") width = clientW ? width : p.AsInteger();
    else if (p.Name == "Height") height = clientH ? height : p.AsInteger();
    else if (p.Name == "ClientWidth") width = p.AsInteger();
    else if (p.Name == "ClientHeight") height = p.AsInteger();
    else ApplyFormProperty(p);
  }
  SetPosition(left, top);
  SetClientSize(width, height);
  if (!d.Items.empty())
    DescriptionError(d.Source, d.Items.front().Line, "a form has no collection " + d.Items.front().Collection);

  for (const auto& child : d.Children) {
    if (IsVisualClass(child.ClassName)) {
      CreateControl(child);
    } else {
      if (!child.Children.empty())
        DescriptionError(child.Source, child.Children.front().Line, child.Name + " cannot hold components");
      if (onComponent) onComponent(child);
      else
        DescriptionError(child.Source, child.Line,
                         "nobody creates the component " + child.Name + " of class " + child.ClassName);
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
    DescriptionError(d.Source, d.Line, e.Message());
  }
  if (!d.Children.empty()) DescriptionError(d.Source, d.Children.front().Line, d.Name + " cannot hold components");

  int left = control->Left(), top = control->Top(), width = control->Width(), height = control->Height();
  if (edit) width = 121, height = 21;
  if (button) width = 75, height = 25;
  if (list) width = 250, height = 150;
  for (const auto& p : d.Properties) {
    const std::string& n = p.Name;
    if (n == "Left") left = p.AsInteger();
    else if (n == "Top") top = p.AsInteger();
    else if (n == "Width" && !label) width = p.AsInteger();
    else if (n == "Height" && !label) height = p.AsInteger();
  }
  control->SetBounds(left, top, width, height);

  for (const auto& p : d.Properties) {
    const std::string& n = p.Name;
    if (n == "Left" || n == "Top" || ((n == "Width" || n == "Height") && !label)) continue;
    if (n == "Anchors") control->SetAnchors(AnchorsOf(p));
    else if (n == "TabOrder") control->SetTabOrder(p.AsInteger());
    else if (n == "Hint") control->SetHint(p.AsText());
    else if (n == "ShowHint") control->SetShowHint(p.AsBoolean());
    else if (n == "Visible") control->SetVisible(p.AsBoolean());
    else if (n == "Enabled") control->SetEnabled(p.AsBoolean());
    else if (n == "Caption" && label) label->SetCaption(p.AsText());
    else if (n == "Caption" && button) button->SetCaption(p.AsText());
    else if (n == "Default" && button) button->SetDefault(p.AsBoolean());
    else if (n == "OnClick" && button) button->OnClick = Handler<TNotifyEvent>(d.Name, p);
    else if (n == "Text" && edit) edit->SetText(p.AsText());
    else if (n == "MaxLength" && edit) edit->SetMaxLength(p.AsInteger());
    else if (n == "OnChange" && edit) edit->OnChange = Handler<TNotifyEvent>(d.Name, p);
    else if (n == "CharCase" && edit) {
      static const std::pair<const char*, TEditCharCase> cases[] = {
          {"ecNormal", ecNormal}, {"ecUpperCase", ecUpperCase}, {"ecLowerCase", ecLowerCase}};
      edit->SetCharCase(EnumOf(p, cases));
    } else if (n == "ViewStyle" && list) {
      static const std::pair<const char*, int> styles[] = {{"vsReport", 0}};
      (void)EnumOf(p, styles);
    } else if (n == "ReadOnly" && list) list->SetReadOnly(p.AsBoolean());
    else if (n == "RowSelect" && list) list->SetRowSelect(p.AsBoolean());
    else if (n == "SortType" && list) {
      static const std::pair<const char*, TSortType> types[] = {
          {"stNone", stNone}, {"stData", stData}, {"stText", stText}, {"stBoth", stBoth}};
      list->SetSortType(EnumOf(p, types));
    } else if (n == "OnCompare" && list) list->OnCompare = Handler<TLVCompareEvent>(d.Name, p);
    else if (n == "OnColumnClick" && list) list->OnColumnClick = Handler<TLVColumnClickEvent>(d.Name, p);
    else p.Fail(d.ClassName + " has no property " + n);
  }

  for (const auto& item : d.Items) {
    if (!list || item.Collection != "Columns")
      DescriptionError(item.Source, item.Line, d.ClassName + " has no collection " + item.Collection);
    std::string caption;
    int width = 50;
    for (const auto& p : item.Properties) {
      if (p.Name == "Caption") caption = p.AsText();
      else if (p.Name == "Width") width = p.AsInteger();
      else p.Fail("a column has no property " + p.Name);
    }
    list->AddColumn(caption, width);
  }
}
