#include "platform/appkit/StatusItem.h"

namespace platform {

std::optional<NSImage> NSImage::named(const std::string& name) {
  // The application's one bundled image.
  if (name == "sys_bar_icon") return NSImage{name, {40, 36}, false};
  return std::nullopt;
}

const NSMenuItem* NSMenu::itemWithTitle(const std::string& title) const {
  for (const auto& item : items)
    if (item.title == title) return &item;
  return nullptr;
}

NSStatusBar& NSStatusBar::systemStatusBar() {
  static NSStatusBar* bar = new NSStatusBar();
  return *bar;
}

std::shared_ptr<NSStatusItem> NSStatusBar::statusItemWithLength(double length) {
  auto item = std::make_shared<NSStatusItem>(length);
  items_.push_back(item);
  return item;
}

const NSMenu* NSStatusBar::firstMenu() const {
  for (const auto& item : items_)
    if (item->menu) return &*item->menu;
  return nullptr;
}

}  // namespace platform
