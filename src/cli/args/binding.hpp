#pragma once
// An argument bound to the record field that its value lands in. The binding runs the
// argument's value parser on the text as typed and stores the value in the field; the parser's
// error message is what the user is shown. The field must have the parser's value type, or be
// an optional of it: a parser bound to a field of any other type does not compile.

#include <concepts>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace kro::cli {

// Parses the text into the bound field, or returns the message of the parser's error.
using Binding = std::function<std::expected<void, std::string>(const std::string& text)>;

// What a value parser (text -> std::expected<T, E>) yields: T.
template <typename Parse>
using ParsedValue = typename std::invoke_result_t<const Parse&, const std::string&>::value_type;

template <typename Field, typename Value>
concept HoldsValue = std::same_as<Field, Value> || std::same_as<Field, std::optional<Value>>;

// The field must outlive the binding.
template <typename Field, typename Parse>
requires HoldsValue<Field, ParsedValue<Parse>> Binding bind_value(Field& field, Parse parse) {
    return [&field, parse = std::move(parse)](const std::string& text) -> std::expected<void, std::string> {
        auto value = parse(text);
        if (!value) return std::unexpected(value.error().message());
        field = std::move(*value);
        return {};
    };
}

// A flag takes no text: being given sets the field.
inline Binding bind_flag(bool& field) {
    return [&field](const std::string&) -> std::expected<void, std::string> {
        field = true;
        return {};
    };
}

}  // namespace kro::cli
