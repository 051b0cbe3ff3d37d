// Forms: a window holding controls, built in code or from a description.
//
// `LoadFromDescription` creates the controls a description lists, in its
// order, and sets their properties; event properties name handlers that the
// form registered beforehand under those names (`RegisterHandler`), and a
// handler of the wrong kind or an unknown name is an error.  Components that
// are not controls (datasets, queries) are handed, in their turn, to a
// callback that creates them; the form does not know their classes.
//
// Enter pressed anywhere on the form presses the default button, except on a
// button, which presses that button.  The font stands in for the one the
// description names at the same pixel height.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/component.h"
#include "platform/gui/controls.h"
#include "platform/gui/form_description.h"
#include "platform/gui/list_view.h"

struct TFormImpl;
class TButton;

using TEventHandler = std::variant<TNotifyEvent, TLVCompareEvent, TLVColumnClickEvent>;
using TNonVisualComponentEvent = std::function<void(const TDescribedComponent& component)>;

class TForm : public TComponent {
public:
  explicit TForm(TComponent* owner);
  ~TForm() override;

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);

  // The window's place on the screen and the size of its client area.
  int Left() const { return left_; }
  int Top() const { return top_; }
  void SetPosition(int left, int top);
  int ClientWidth() const;
  int ClientHeight() const;
  void SetClientSize(int width, int height);

  // A font by name and height in pixels (a negative height, as stored in
  // descriptions, counts the same as a positive one).
  void SetFont(const std::string& name, int height);
  const std::string& FontName() const { return fontName_; }
  int FontHeight() const { return fontHeight_; }

  void Show();
  void Close();
  bool Visible() const;

  // The controls that take the focus, in tab order.
  std::vector<TControl*> TabOrderList() const;
  TControl* ActiveControl() const;
  // The button that Enter presses, or null.
  TButton* DefaultButton() const;

  void RegisterHandler(const std::string& name, TEventHandler handler);
  // Builds the form from a description (see form_description.h).
  void LoadFromDescription(std::string_view utf8, const std::string& source,
                           const TNonVisualComponentEvent& onComponent);
  void LoadFromDescription(const TDescribedComponent& description, const TNonVisualComponentEvent& onComponent);

  // Saves what the window shows as a PNG file; false when it could not.
  bool SaveImage(const std::string& pngFile) const;

  // The toolkit's window (a QWidget), for tests and the controls.
  void* Handle() const;

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  friend class TControl;
  friend struct TFormBridge;
  void ControlsChanged();
  void ClientResized();
  bool EnterPressed(TControl* from);
  void ApplyFormProperty(const TDescribedProperty& p);
  void CreateControl(const TDescribedComponent& d);
  template <class Event>
  Event Handler(const std::string& control, const TDescribedProperty& p) const;

  std::unique_ptr<TFormImpl> impl_;
  std::string caption_;
  std::string fontName_;
  int fontHeight_ = 0;
  int left_ = 0, top_ = 0;
  std::vector<TControl*> controls_;
  std::map<std::string, TEventHandler> handlers_;
};
