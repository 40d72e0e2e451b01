#pragma once
// A lazily evaluated message: a text, or a callable run at most once, only when
// some destination admits the level. Non-owning: valid for the logging call only.
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace qmlogger {

// The textual description of a yielded value.
inline std::string describeValue(std::string value) { return value; }
inline std::string describeValue(std::string_view value) { return std::string(value); }
inline std::string describeValue(const char* value) { return value ? value : ""; }
inline std::string describeValue(bool value) { return value ? "true" : "false"; }
std::string describeValue(double value);
template <class T>
  requires std::is_integral_v<T>
std::string describeValue(T value) {
  return std::to_string(value);
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

class LogMessage {
 public:
  LogMessage(const char* text) : text_(text ? text : "") {}
  LogMessage(std::string_view text) : text_(text) {}
  LogMessage(const std::string& text) : text_(text) {}

  template <class F>
    requires(std::invocable<F&> && !std::is_convertible_v<F, std::string_view>)
  LogMessage(F&& callable) : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))) {
    using Fn = std::remove_reference_t<F>;
    thunk_ = [](void* object) -> std::optional<std::string> {
      using Result = std::invoke_result_t<Fn&>;
      Fn& fn = *static_cast<Fn*>(object);
      if constexpr (IsOptional<std::decay_t<Result>>::value) {
        auto value = fn();
        if (!value) return std::nullopt;
        return describeValue(*value);
      } else {
        return describeValue(fn());
      }
    };
  }

  // Evaluates the message; nothing means nothing is logged.
  std::optional<std::string> operator()() const {
    if (thunk_) return thunk_(object_);
    return std::string(text_);
  }

 private:
  std::string_view text_;
  void* object_ = nullptr;
  std::optional<std::string> (*thunk_)(void*) = nullptr;
};

}  // namespace qmlogger
