#include "ui/qt/launcher_accessible.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <algorithm>
#include <array>

#include "ui/qt/launcher_window.h"
#include "ui/qt/status_painter.h"

namespace launcher {
namespace {

// The four items in reading order: what the launcher does, the item in
// hand, then the bars.
constexpr std::array<StatusState::Item, 4> kChildren = {
    StatusState::kStatusLine, StatusState::kDetailLine, StatusState::kTotalBar,
    StatusState::kFileBar};

QString FromUtf16(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

bool IsBar(StatusState::Item item) {
  return item == StatusState::kTotalBar || item == StatusState::kFileBar;
}

class ItemAccessible final : public QAccessibleInterface, public QAccessibleValueInterface {
 public:
  ItemAccessible(LauncherWindow& window, QAccessibleInterface& parent, StatusState::Item item)
      : window_(window), parent_(parent), item_(item) {}

  bool isValid() const override { return true; }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return parent_.window(); }
  QAccessibleInterface* parent() const override { return &parent_; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QString text(QAccessible::Text t) const override {
    const StatusState::Values values = window_.CurrentValues();
    switch (item_) {
      case StatusState::kStatusLine:
        return t == QAccessible::Name ? SpokenText(FromUtf16(values.statusText)) : QString();
      case StatusState::kDetailLine:
        return t == QAccessible::Name ? SpokenText(FromUtf16(values.detailText)) : QString();
      case StatusState::kTotalBar:
      case StatusState::kFileBar:
        break;
    }
    // Bars: no name, since every text the launcher shows is the
    // installation's and its table has none for them (a reader says
    // "progress bar" and the value); the value as readers speak it.
    if (t == QAccessible::Value) return QStringLiteral("%1%").arg(Percent(values));
    return {};
  }
  void setText(QAccessible::Text, const QString&) override {}

  QRect rect() const override {
    const QRect r = ItemRect(item_);
    return QRect(window_.mapToGlobal(r.topLeft()), r.size());
  }
  QAccessible::Role role() const override {
    return IsBar(item_) ? QAccessible::ProgressBar : QAccessible::StaticText;
  }
  QAccessible::State state() const override {
    QAccessible::State s;
    s.readOnly = true;
    s.invisible = !window_.isVisible();
    return s;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface && IsBar(item_))
      return static_cast<QAccessibleValueInterface*>(this);
    return nullptr;
  }

  QVariant currentValue() const override { return Percent(window_.CurrentValues()); }
  void setCurrentValue(const QVariant&) override {}  // read-only
  QVariant maximumValue() const override { return 100; }
  QVariant minimumValue() const override { return 0; }
  QVariant minimumStepSize() const override { return 1; }

  int Percent(const StatusState::Values& values) const {
    const int p = item_ == StatusState::kTotalBar ? values.totalPercent : values.filePercent;
    return std::clamp(p, 0, 100);
  }

 private:
  LauncherWindow& window_;
  QAccessibleInterface& parent_;
  const StatusState::Item item_;
};

class WindowAccessible final : public QAccessibleWidget {
 public:
  explicit WindowAccessible(LauncherWindow& window)
      : QAccessibleWidget(&window, QAccessible::Window, window.windowTitle()) {
    for (std::size_t i = 0; i < kChildren.size(); ++i) {
      children_[i] = new ItemAccessible(window, *this, kChildren[i]);
      // Qt's cache owns registered interfaces; these go with the window's.
      ids_[i] = QAccessible::registerAccessibleInterface(children_[i]);
    }
  }
  ~WindowAccessible() override {
    for (QAccessible::Id id : ids_) QAccessible::deleteAccessibleInterface(id);
  }

  int childCount() const override { return static_cast<int>(kChildren.size()); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    return children_[static_cast<std::size_t>(index)];
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    for (std::size_t i = 0; i < children_.size(); ++i)
      if (children_[i] == child) return static_cast<int>(i);
    return -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    for (ItemAccessible* item : children_)
      if (item->rect().contains(x, y)) return item;
    return nullptr;
  }
  QAccessibleInterface* ChildFor(StatusState::Item item) const {
    for (std::size_t i = 0; i < kChildren.size(); ++i)
      if (kChildren[i] == item) return children_[i];
    return nullptr;
  }

 private:
  std::array<ItemAccessible*, 4> children_{};
  std::array<QAccessible::Id, 4> ids_{};
};

QAccessibleInterface* Factory(const QString&, QObject* object) {
  // LauncherWindow has no meta-object of its own: look at the C++ type.
  auto* window = dynamic_cast<LauncherWindow*>(object);
  return window != nullptr ? new WindowAccessible(*window) : nullptr;
}

}  // namespace

void InstallLauncherAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

void NotifyAccessibleChanges(LauncherWindow& window, unsigned changed) {
  if (!QAccessible::isActive() || changed == 0) return;
  auto* root = dynamic_cast<WindowAccessible*>(QAccessible::queryAccessibleInterface(&window));
  if (root == nullptr) return;
  const StatusState::Values values = window.CurrentValues();
  for (StatusState::Item item : kChildren) {
    if ((changed & item) == 0) continue;
    QAccessibleInterface* child = root->ChildFor(item);
    if (IsBar(item)) {
      QAccessibleValueChangeEvent event(child,
                                        static_cast<ItemAccessible*>(child)->Percent(values));
      QAccessible::updateAccessibility(&event);
    } else {
      QAccessibleEvent event(child, QAccessible::NameChanged);
      QAccessible::updateAccessibility(&event);
    }
  }
}

QString SpokenText(const QString& shown) {
  QString out;
  out.reserve(shown.size());
  for (qsizetype i = 0; i < shown.size(); ++i) {
    if (shown[i] == QLatin1Char('&')) {
      if (i + 1 < shown.size() && shown[i + 1] == QLatin1Char('&')) {
        out.append(QLatin1Char('&'));
        ++i;
      }
      continue;
    }
    out.append(shown[i]);
  }
  return out;
}

}  // namespace launcher
