// Declaring one subcommand of the kelcache tool: its options live in an
// object the parser keeps alive, and naming the subcommand on the command
// line stores its work in the tool's Action (Commands.h).
//
// Thread rules: the tool's main thread.
#pragma once

#include <charconv>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <CLI/CLI.hpp>

#include "tools/kelcache/Commands.h"

namespace kelcache_cli {

// Adds subcommand `name` to `parent` with a new Options object; when the
// command line names the subcommand, `action` becomes run(options). Returns
// the subcommand and its options, for the declarations of its flags.
template <class Options, class Run>
std::pair<CLI::App*, Options*> AddSubcommand(CLI::App& parent, const std::string& name,
                                             const std::string& description, Action& action, Run run) {
  auto options = std::make_shared<Options>();
  CLI::App* command = parent.add_subcommand(name, description);
  command->callback([options, run, &action] { action = [options, run] { return run(*options); }; });
  return {command, options.get()};
}

// A check for options that name a file or folder: an empty text (an unset
// shell variable, say) is refused, so that it can neither send a command to
// a default place nor stand for "not given".
inline CLI::Validator NamesAPath(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) { return text.empty() ? "must name " + what + ", not be empty" : std::string(); },
      "PATH");
}

// A transform for numeric options of type T: the text must be a whole number
// written in decimal, with an optional leading '-' (the option's own checks
// judge the sign), that T can hold. CLI11 alone reads "010" as 8 and "0x10"
// as 16, which no user of a count of seconds or messages means, and takes a
// number too large for T as T's largest; leading zeros are dropped here so
// that the number reaches CLI11 in a form it can only read as decimal. A
// number above `largest` is refused, with `largest` named.
template <class T>
CLI::Validator DecimalNumber(T largest = std::numeric_limits<T>::max()) {
  return CLI::Validator(
      [largest](std::string& text) -> std::string {
        const size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
        size_t first = sign;
        if (first == text.size()) return "must be a whole number, not '" + text + "'";
        for (size_t i = first; i < text.size(); ++i) {
          if (text[i] < '0' || text[i] > '9') return "must be a whole number in decimal, not '" + text + "'";
        }
        while (first + 1 < text.size() && text[first] == '0') ++first;
        text = text.substr(0, sign) + text.substr(first);
        T value{};
        const auto [end, error] = std::from_chars(text.data() + sign, text.data() + text.size(), value);
        if (error == std::errc::result_out_of_range || end != text.data() + text.size() ||
            (sign == 0 && value > largest)) {
          return "must be at most " + std::to_string(largest) + ", not '" + text + "'";
        }
        return std::string();
      },
      "DECIMAL");
}

}  // namespace kelcache_cli
