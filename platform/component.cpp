#include "platform/component.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <typeinfo>

#include "platform/exceptions.h"

namespace {

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

// ---- TPersistent ------------------------------------------------------------

std::string TPersistent::ClassName() const {
  // Global classes only: the mangled name is the length followed by the name.
  std::string n = typeid(*this).name();
  size_t i = 0;
  while (i < n.size() && n[i] >= '0' && n[i] <= '9') ++i;
  return n.substr(i);
}

void TPersistent::Assign(const TPersistent* source) {
  if (source != nullptr) {
    source->AssignTo(this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* dest) const { dest->AssignError(this); }

void TPersistent::AssignError(const TPersistent* source) const {
  throw EConvertError("Cannot assign a %s to a %s", {source ? source->ClassName() : std::string("nil"), ClassName()});
}

// ---- TComponent -------------------------------------------------------------

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell whoever asked, then forget them (both directions).
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    auto& theirs = other->freeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    try {
      other->Notification(this, opRemove);
    } catch (...) {
      // A destructor never throws; the other side has already been detached.
    }
  }
  // Owned components go first, last created first.
  while (!owned_.empty()) {
    std::unique_ptr<TComponent> c = std::move(owned_.back());
    owned_.pop_back();
    c.reset();
  }
  for (TComponent* c : components_) c->owner_ = nullptr;
  components_.clear();
  hearers_.clear();
  if (owner_ != nullptr) {
    BestEffort([&] { owner_->RemoveComponent(this); });
  }
}

TComponent* TComponent::Components(int i) const {
  if (i < 0 || i >= ComponentCount()) throw EListError("List index out of bounds (%d)", {i});
  return components_[static_cast<size_t>(i)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameTextAscii(c->name_, name)) return c;
  return nullptr;
}

void TComponent::SetName(const std::string& name) {
  if (name == name_) return;
  if (owner_ != nullptr && !name.empty()) {
    TComponent* other = owner_->FindComponent(name);
    if (other != nullptr && other != this) throw EComponentError("A component named %s already exists", {name});
  }
  name_ = name;
}

void TComponent::SetDesigning(bool on) {
  if (on) state_ |= csDesigning;
  else state_ &= ~csDesigning;
  for (TComponent* c : components_) c->SetDesigning(on);
}

void TComponent::TakeOwnership(std::unique_ptr<TComponent> component) {
  if (!component) return;
  TComponent* c = component.get();
  if (c->owner_ != this) {
    if (c->owner_ != nullptr) c->owner_->RemoveComponent(c);
    InsertComponent(c);
  }
  owned_.push_back(std::move(component));
}

namespace {

// Takes `c` out of `list`, searching from the end: components mostly go in
// the reverse order of their coming, so that is where they are found.
template <class List, class Item>
bool EraseFromBack(List& list, const Item* c) {
  for (auto it = list.end(); it != list.begin();) {
    --it;
    if (&**it == c) {
      list.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace

bool TComponent::DestroyOwned(TComponent* component) {
  for (auto it = owned_.end(); it != owned_.begin();) {
    --it;
    if (it->get() == component) {
      std::unique_ptr<TComponent> doomed = std::move(*it);
      owned_.erase(it);
      doomed.reset();
      return true;
    }
  }
  return false;
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component->name_.empty() && FindComponent(component->name_) != nullptr)
    throw EComponentError("A component named %s already exists", {component->name_});
  components_.push_back(component);
  if (component->hearsSiblings_) hearers_.push_back(component);
  component->owner_ = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  Notification(component, opRemove);
  EraseFromBack(components_, component);
  EraseFromBack(hearers_, component);
  component->owner_ = nullptr;
}

void TComponent::HearNoSiblings() {
  if (!hearsSiblings_) return;
  hearsSiblings_ = false;
  if (owner_ != nullptr) EraseFromBack(owner_->hearers_, this);
}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
    freeNotifies_.push_back(component);
  auto& theirs = component->freeNotifies_;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), component), freeNotifies_.end());
  auto& theirs = component->freeNotifies_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component != nullptr) {
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), component), freeNotifies_.end());
  }
  // Only the listed components that hear their siblings' news are told
  // (fields do not).  Copy: a notified component may remove itself or
  // others.  One still listed stands where it stood unless something before
  // it went, so the search for it runs only then.
  std::vector<TComponent*> listed = hearers_;
  for (size_t i = 0; i < listed.size(); ++i) {
    TComponent* c = listed[i];
    if (c == component) continue;
    const bool still = (i < hearers_.size() && hearers_[i] == c) ||
                       std::find(hearers_.begin(), hearers_.end(), c) != hearers_.end();
    if (still) c->Notification(component, operation);
  }
}

void TComponent::BeginLoad() { state_ |= csLoading | csReading; }

void TComponent::EndLoad() {
  state_ &= ~csReading;
  if (state_ & csLoading) Loaded();
}

void TComponent::Loaded() { state_ &= ~csLoading; }

void TComponent::Destroying() {
  if (state_ & csDestroying) return;
  state_ |= csDestroying;
  for (TComponent* c : components_) c->Destroying();
}

void BeginLoading(const std::vector<TComponent*>& components) {
  for (TComponent* c : components)
    if (c) c->BeginLoad();
}

void EndLoading(const std::vector<TComponent*>& components) {
  std::exception_ptr first;
  for (TComponent* c : components) {
    if (!c) continue;
    try {
      c->EndLoad();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}
