// Components: named objects with an owner, a state and free notification.
//
// A `TComponent` may have an owner.  The owner lists every component that
// names it as owner, forwards remove notifications to them, and destroys the
// ones it was handed (`CreateOwned`, `TakeOwnership`) when it goes itself.
// Components created on the stack or held elsewhere may still name an owner;
// the owner then only lists them and lets them go when it is destroyed.
//
// Free notification: `FreeNotification(other)` asks that `other` be told
// (`Notification(this, opRemove)`) when this component is destroyed, and the
// other way round.  This is how a data source forgets a dataset that is
// destroyed under it, and how a query drops a source dataset from its list.
//
// Loading from a stored form is emulated: `BeginLoad` sets the loading and
// reading states, the caller assigns properties, and `EndLoad` clears the
// reading state and calls `Loaded`, which clears the loading state.  A
// dataset uses this to open itself only after all its properties are set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/exceptions.h"

DIRLOOK_EXCEPTION(EComponentError, Exception)

enum TOperation { opInsert, opRemove };

class TComponent;
// The plain event: the component that fires it is the sender.
using TNotifyEvent = std::function<void(TComponent* Sender)>;

// Component state flags (a set of them).
using TComponentState = uint32_t;
constexpr TComponentState csLoading = 1u << 0;
constexpr TComponentState csReading = 1u << 1;
constexpr TComponentState csWriting = 1u << 2;
constexpr TComponentState csDestroying = 1u << 3;
constexpr TComponentState csDesigning = 1u << 4;
constexpr TComponentState csUpdating = 1u << 5;

// Root of everything that can be assigned from another of its kind.
class TPersistent {
public:
  virtual ~TPersistent() = default;
  // Copies `source` into this object; the base refuses with
  // "Cannot assign a <source class> to a <this class>".
  virtual void Assign(const TPersistent* source);
  // The class name without decoration, for messages.
  std::string ClassName() const;

protected:
  // Lets the source do the work when the destination does not know it.
  virtual void AssignTo(TPersistent* dest) const;
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

class TComponent : public TPersistent {
public:
  explicit TComponent(TComponent* owner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  // Refuses a name that another component of the same owner has
  // (compared ignoring ASCII case).
  virtual void SetName(const std::string& name);

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int i) const;
  TComponent* FindComponent(const std::string& name) const;

  TComponentState ComponentState() const { return state_; }
  bool InState(TComponentState s) const { return (state_ & s) != 0; }
  // Design-time mode, for tests of the design-time branches.
  void SetDesigning(bool on);

  intptr_t Tag = 0;

  // Creates a component of type T owned (and destroyed) by this one; the
  // first constructor argument is the owner.
  template <class T, class... Args>
  T* CreateOwned(Args&&... args) {
    auto p = std::make_unique<T>(this, std::forward<Args>(args)...);
    T* raw = p.get();
    TakeOwnership(std::move(p));
    return raw;
  }
  // Hands a component to this owner for destruction; it is inserted into
  // the owner's list when it is not there yet.
  void TakeOwnership(std::unique_ptr<TComponent> component);
  // Destroys a component that this one owns; false when it does not own it.
  bool DestroyOwned(TComponent* component);

  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  // Emulated form streaming; see the header comment.
  void BeginLoad();
  void EndLoad();

  // Sets the destroying state here and in the listed components.  Derived
  // destructors call it first, so that nothing they trigger is mistaken for
  // ordinary work.
  void Destroying();

protected:
  virtual void Loaded();
  // Told of components inserted into or removed from this owner and of
  // components on the free-notification list that are destroyed.  The base
  // forwards the news to the listed components.
  virtual void Notification(TComponent* component, TOperation operation);
  void SetComponentState(TComponentState s) { state_ = s; }
  // For a component that owns none and has no Notification of its own (a
  // field): its owner no longer forwards it the news of the other
  // components it lists, which would be nothing to it.  An owner of
  // thousands of fields then tells its listeners of each new or removed one
  // without walking all the others.
  void HearNoSiblings();

private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  std::string name_;
  TComponent* owner_ = nullptr;
  TComponentState state_ = 0;
  std::vector<TComponent*> components_;             // listed (may be owned)
  std::vector<TComponent*> hearers_;                // those of them told the news
  bool hearsSiblings_ = true;
  std::vector<std::unique_ptr<TComponent>> owned_;  // destroyed with this one
  std::vector<TComponent*> freeNotifies_;
};

// Emulates loading a stored form: begins loading on every component, then
// (EndLoading) clears the reading state of all and calls each `Loaded` in
// order.  An exception from one `Loaded` still leaves the others loaded and
// is raised afterwards.
void BeginLoading(const std::vector<TComponent*>& components);
void EndLoading(const std::vector<TComponent*>& components);
