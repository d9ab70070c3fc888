#pragma once
// The parse result of one command level: every value that was given or defaulted, keyed by its
// argument id, and the chosen subcommand with its own result. Values are taken out (moved) by
// id and type; asking for a type other than the one the grammar stored is a broken invariant.
// A plain value owned by one thread.

#include <fmt/format.h>

#include <any>
#include <map>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "base/panic.hpp"

namespace kro::cli {

class ArgMatches {
  public:
    void insert(std::string id, std::any value) { values_.insert_or_assign(std::move(id), std::move(value)); }
    bool contains(std::string_view id) const { return values_.find(id) != values_.end(); }

    // The value stored under `id`, moved out; nothing when absent.
    template <typename T>
    std::optional<T> take(std::string_view id, std::source_location where = std::source_location::current()) {
        const auto it = values_.find(id);
        if (it == values_.end()) return std::nullopt;
        T* value = std::any_cast<T>(&it->second);
        if (value == nullptr)
            base::panic(fmt::format("mismatch between definition and access of `{}`", id), where);
        std::optional<T> out(std::move(*value));
        values_.erase(it);
        return out;
    }

    void set_subcommand(std::string name, ArgMatches matches) {
        subcommand_ =
            std::make_unique<std::pair<std::string, ArgMatches>>(std::move(name), std::move(matches));
    }
    // The chosen subcommand's name and result, moved out; nothing when none was chosen.
    std::optional<std::pair<std::string, ArgMatches>> take_subcommand() {
        if (!subcommand_) return std::nullopt;
        auto out = std::move(*subcommand_);
        subcommand_.reset();
        return out;
    }

  private:
    std::map<std::string, std::any, std::less<>> values_;
    std::unique_ptr<std::pair<std::string, ArgMatches>> subcommand_;
};

}  // namespace kro::cli
