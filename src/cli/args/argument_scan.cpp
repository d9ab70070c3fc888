#include "cli/args/argument_scan.hpp"

#include <fmt/format.h>

#include <optional>
#include <set>

#include "base/path_display.hpp"
#include "cli/args/suggestion.hpp"

namespace kro::cli {
namespace {

class Scanner {
  public:
    Scanner(const Command& root, std::span<const std::string> args) : args_(args) { path_.push_back(&root); }

    ScanResult run() {
        if (args_.empty() && path_.back()->help_on_empty) return help(HelpMode::Short, true);
        for (; next_ < args_.size(); ++next_) {
            const std::string& word = args_[next_];
            // A long option's value is checked once the option is known: a path may hold any bytes.
            const bool long_option_word = !positional_only_ && word.starts_with("--") && word != "--";
            if (!long_option_word && !base::is_valid_utf8(word)) return UsageError::invalid_utf8(names());
            if (!positional_only_) {
                if (word == "--") {
                    positional_only_ = true;
                    continue;
                }
                if (word.starts_with("--")) {
                    if (auto stop = long_option(word)) return std::move(*stop);
                    continue;
                }
                if (word.size() > 1 && word.front() == '-') {
                    if (word == "-h") return help(HelpMode::Short, false);
                    return UsageError::unknown_argument(word, names(), value_tip(word));
                }
                if (!command().subcommands.empty()) {
                    if (auto stop = subcommand(word)) return std::move(*stop);
                    continue;
                }
            }
            if (open_positional() == nullptr)
                return UsageError::unknown_argument(word, names(), std::nullopt);
            positionals_.push_back(word);
        }
        return finish();
    }

  private:
    const Command& command() const { return *path_.back(); }

    UsageError::CommandPath names() const {
        UsageError::CommandPath out;
        for (size_t i = 1; i < path_.size(); ++i) out.push_back(path_[i]->name);
        return out;
    }

    HelpRequest help(HelpMode mode, bool empty) const {
        return HelpRequest{names(), mode, empty, static_cast<uint8_t>(empty ? 2 : 0)};
    }

    // The positional argument the next positional word fills, if any is left.
    const ArgSpec* open_positional() const {
        size_t filled = positionals_.size();
        for (const ArgSpec& spec : command().args) {
            if (!spec.positional()) continue;
            if (spec.multiple || filled == 0) return &spec;
            --filled;
        }
        return nullptr;
    }

    bool takes_any_bytes(const std::string& long_name) const {
        const ArgSpec* spec = command().find_long(long_name);
        return spec != nullptr && spec->any_bytes;
    }

    std::optional<std::string> value_tip(const std::string& word) const {
        if (open_positional() == nullptr) return std::nullopt;
        const std::string shown = base::display_text(word);
        return fmt::format("to pass '{}' as a value, use '-- {}'", shown, shown);
    }

    std::optional<ScanResult> long_option(const std::string& word) {
        const size_t equals = word.find('=');
        const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        std::optional<std::string> attached;
        if (equals != std::string::npos) attached = word.substr(equals + 1);
        if (!base::is_valid_utf8(name)) return UsageError::invalid_utf8(names());
        if (attached && !takes_any_bytes(name) && !base::is_valid_utf8(*attached))
            return UsageError::invalid_utf8(names());
        if (name == "help") {
            if (attached) return UsageError::unexpected_value(*attached, "--help", names());
            return help(HelpMode::Long, false);
        }
        const ArgSpec* spec = command().find_long(name);
        if (spec == nullptr) return unknown_option(name);
        if (!seen_.insert(spec->id).second) return UsageError::duplicate(spec->display(), names());
        words_.push_back("--" + name);
        if (spec->flag()) {
            if (attached) return UsageError::unexpected_value(*attached, spec->display(), names());
            return std::nullopt;
        }
        if (attached) {
            words_.push_back(*attached);
            return std::nullopt;
        }
        if (next_ + 1 >= args_.size())
            return UsageError::missing_value(spec->display(), names(), std::nullopt);
        const std::string& value = args_[next_ + 1];
        if (!spec->allow_hyphen_values && value.size() > 1 && value.front() == '-') {
            return UsageError::missing_value(
                spec->display(), names(),
                fmt::format("to pass '{}' as a value, use '--{}={}'", base::display_text(value), name,
                            base::display_text(value)));
        }
        if (!spec->any_bytes && !base::is_valid_utf8(value)) return UsageError::invalid_utf8(names());
        words_.push_back(value);
        ++next_;
        return std::nullopt;
    }

    UsageError unknown_option(const std::string& name) const {
        std::vector<std::string> candidates;
        for (const ArgSpec& spec : command().args) {
            if (!spec.positional()) candidates.push_back(spec.long_name);
        }
        candidates.push_back("help");
        std::optional<std::string> tip;
        if (auto near = closest_name(name, candidates))
            tip = fmt::format("a similar argument exists: '--{}'", *near);
        return UsageError::unknown_argument("--" + name, names(), std::move(tip));
    }

    static UsageError unknown_command(const Command& parent, const std::string& word,
                                      UsageError::CommandPath path) {
        std::vector<std::string> candidates;
        for (const Command& sub : parent.subcommands) candidates.push_back(sub.name);
        if (!parent.subcommands.empty()) candidates.push_back(help_command().name);
        std::optional<std::string> tip;
        if (auto near = closest_name(word, candidates))
            tip = fmt::format("a similar subcommand exists: '{}'", *near);
        return UsageError::invalid_subcommand(word, std::move(path), std::move(tip));
    }

    std::optional<ScanResult> subcommand(const std::string& word) {
        if (word == help_command().name) return help_target();
        const Command* sub = command().find_subcommand(word);
        if (sub == nullptr) return unknown_command(command(), word, names());
        words_.push_back(word);
        path_.push_back(sub);
        seen_.clear();
        if (next_ + 1 == args_.size() && sub->help_on_empty) return help(HelpMode::Short, true);
        return std::nullopt;
    }

    // `help NAME...`: the long help of the command the names lead to.
    ScanResult help_target() {
        UsageError::CommandPath target = names();
        const Command* level = &command();
        for (size_t i = next_ + 1; i < args_.size(); ++i) {
            const std::string& word = args_[i];
            if (!base::is_valid_utf8(word)) return UsageError::invalid_utf8(target);
            if (word == "-h" || word == "--help") {
                UsageError::CommandPath help = names();
                help.push_back(help_command().name);
                return HelpRequest{std::move(help), word == "-h" ? HelpMode::Short : HelpMode::Long, false,
                                   0};
            }
            const Command* sub = level->find_subcommand(word);
            if (sub == nullptr && word == help_command().name && !level->subcommands.empty())
                sub = &help_command();
            if (sub == nullptr) return unknown_command(*level, word, target);
            target.push_back(word);
            level = sub;
        }
        return HelpRequest{std::move(target), HelpMode::Long, false, 0};
    }

    ScanResult finish() {
        std::vector<std::string> missing;
        size_t filled = positionals_.size();
        for (const ArgSpec& spec : command().args) {
            if (!spec.positional()) continue;
            if (filled > 0) {
                --filled;
            } else if (spec.required) {
                missing.push_back(spec.display());
            }
        }
        if (!missing.empty()) return UsageError::missing_required(missing, names());
        if (command().subcommand_required) return UsageError::missing_subcommand(names());
        if (!positionals_.empty()) {
            words_.push_back("--");
            words_.insert(words_.end(), positionals_.begin(), positionals_.end());
        }
        return ScannedLine{std::move(words_), std::move(path_)};
    }

    std::span<const std::string> args_;
    size_t next_ = 0;
    std::vector<const Command*> path_;
    std::vector<std::string> words_;
    std::vector<std::string> positionals_;
    std::set<std::string> seen_;
    bool positional_only_ = false;
};

}  // namespace

ScanResult scan_arguments(const Command& root, std::span<const std::string> args) {
    return Scanner(root, args).run();
}

}  // namespace kro::cli
