// kelcache config: every option with the value this process would use, and
// where that value came from (host/AppOptions.h): its built-in default, the
// environment variable KELCACHE_<Option>, or an override (--set here, as a
// host's SetOption would be).
#include <CLI/CLI.hpp>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include "host/AppOptions.h"
#include "tools/kelcache/Commands.h"
#include "tools/kelcache/Subcommand.h"
#include "tools/kelcache/Console.h"
#include "tools/kelcache/Json.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

namespace {

namespace appoptions = kelvra::appoptions;

struct ConfigOptions {
  bool json = false;
  std::vector<std::string> overrides;  // "Name=value"
};

std::string Padded(const std::string& text, size_t width) {
  return text + std::string(text.size() < width ? width - text.size() : 0, ' ');
}

int RunConfig(const ConfigOptions& options) {
  std::set<std::string> setHere;
  for (const std::string& item : options.overrides) {
    const size_t equals = item.find('=');
    if (equals == std::string::npos) throw UsageError("--set '" + item + "' is not Name=value");
    try {
      appoptions::SetOption(std::string_view(item).substr(0, equals), std::string_view(item).substr(equals + 1));
    } catch (const std::invalid_argument& error) {
      std::string message = error.what();
      if (message.rfind("kelcache: ", 0) == 0) message.erase(0, 10);
      throw UsageError("--set: " + message);
    }
    setHere.insert(item.substr(0, equals));
  }
  std::vector<appoptions::OptionInfo> list = appoptions::ListOptions();
  // The library names a value "override" only when it differs from the one
  // the process started with; an option given with --set is an override
  // here even when it sets that same value.
  for (appoptions::OptionInfo& option : list) {
    if (setHere.count(option.name) != 0) option.source = appoptions::OptionSource::Override;
  }
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("options").BeginArray();
    for (const appoptions::OptionInfo& option : list) {
      json.BeginObject();
      json.Key("name").String(option.name);
      json.Key("type").String(option.type == appoptions::OptionType::Bool ? "bool" : "int");
      json.Key("value").String(option.currentText);
      json.Key("default").String(option.defaultText);
      json.Key("source").String(appoptions::OptionSourceName(option.source));
      json.Key("environment_variable").String("KELCACHE_" + option.name);
      json.Key("description").String(option.description);
      json.EndObject();
    }
    json.EndArray().EndObject();
    PrintLine(json.Text());
    return kExitOk;
  }
  size_t nameWidth = 6;
  size_t valueWidth = 5;
  for (const appoptions::OptionInfo& option : list) {
    nameWidth = std::max(nameWidth, option.name.size());
    valueWidth = std::max(valueWidth, option.currentText.size());
  }
  PrintLine(Padded("OPTION", nameWidth) + "  " + Padded("VALUE", valueWidth) + "  SOURCE");
  for (const appoptions::OptionInfo& option : list) {
    const appoptions::OptionSource source = option.source;
    std::string line = Padded(option.name, nameWidth) + "  " + Padded(option.currentText, valueWidth) + "  " +
                       appoptions::OptionSourceName(source);
    if (source != appoptions::OptionSource::Default) line += " (default " + option.defaultText + ")";
    PrintLine(line);
  }
  return kExitOk;
}

}  // namespace

void AddConfigCommand(CLI::App& app, Action& action) {
  auto [command, config] = AddSubcommand<ConfigOptions>(
      app, "config", "Print every option with its value and where it came from: default, environment or override",
      action, RunConfig);
  command->add_flag("--json", config->json, "Print JSON for scripts (with each option's description)");
  command->add_option("--set", config->overrides,
                      "Override an option as a host would (Name=value; may be repeated); shows whether it parses");
}

}  // namespace kelcache_cli
