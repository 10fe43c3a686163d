// kelcache tour: runs every chapter (or the ones named with --chapter) and
// explains each step. It needs no server.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "examples/tour/Tour.h"
#include "host/AppConfig.h"

int main(int argc, char** argv) {
  CLI::App app{"kelcache tour: what the library can do, step by step"};
  std::vector<std::string> selected;
  bool list = false;
  app.add_option("-c,--chapter", selected, "Run only these chapters (by short name)");
  app.add_flag("-l,--list", list, "List the chapters and exit");
  CLI11_PARSE(app, argc, argv);

  const auto& chapters = tour::Chapters();
  if (list) {
    for (const auto& chapter : chapters)
      std::printf("%-12s %s\n", chapter.name.c_str(), chapter.title.c_str());
    return 0;
  }
  for (const auto& name : selected) {
    bool known = false;
    for (const auto& chapter : chapters) known = known || chapter.name == name;
    if (!known) {
      std::fprintf(stderr, "unknown chapter '%s' (try --list)\n", name.c_str());
      return 2;
    }
  }

  int number = 0;
  for (const auto& chapter : chapters) {
    ++number;
    if (!selected.empty() && std::find(selected.begin(), selected.end(), chapter.name) == selected.end())
      continue;
    std::printf("\n== %d. %s ==\n", number, chapter.title.c_str());
    try {
      chapter.run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "chapter '%s' failed: %s\n", chapter.name.c_str(), e.what());
      return 1;
    }
  }
  std::printf("\nThe tour is over.\n");
  return 0;
}
