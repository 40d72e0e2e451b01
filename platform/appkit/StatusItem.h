#pragma once
// Headless status bar: the status items with their button image and menu,
// kept as a model that the control socket shows and clicks. Main queue only.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct NSSize {
  double width = 0;
  double height = 0;
  bool operator==(const NSSize&) const = default;
};

struct NSImage {
  std::string name;
  NSSize size;
  bool isTemplate = false;
  // A bundled image resource by name; none when there is no such resource.
  static std::optional<NSImage> named(const std::string& name);
};

struct NSMenuItem {
  std::string title;
  // Selector sent through the responder chain; empty: the item does nothing.
  std::string action;
  std::string keyEquivalent;
};

struct NSMenu {
  std::vector<NSMenuItem> items;
  void addItem(NSMenuItem item) { items.push_back(std::move(item)); }
  const NSMenuItem* itemWithTitle(const std::string& title) const;
};

struct NSStatusBarButton {
  std::optional<NSImage> image;
};

class NSStatusItem {
 public:
  explicit NSStatusItem(double length) : length_(length) {}
  double length() const { return length_; }
  NSStatusBarButton button;
  std::optional<NSMenu> menu;

 private:
  double length_;
};

inline constexpr double NSVariableStatusItemLength = -1;

class NSStatusBar {
 public:
  static NSStatusBar& systemStatusBar();
  std::shared_ptr<NSStatusItem> statusItemWithLength(double length);
  const std::vector<std::shared_ptr<NSStatusItem>>& items() const { return items_; }
  // The menu of the first item that has one.
  const NSMenu* firstMenu() const;

 private:
  std::vector<std::shared_ptr<NSStatusItem>> items_;
};

}  // namespace platform
