// The tour's chapters and the small helpers they print with.
//
// Each chapter is one function in its own file (Chapter<Name>.cpp) that shows
// one family of services at work, with a one-line explanation per step. The
// chapters are listed, in order, in Tour.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/TString.h"

namespace tour {

struct Chapter {
  std::string name;   // short name for --chapter
  std::string title;  // printed as the chapter's heading
  std::function<void()> run;
};

// Every chapter, in the order the tour shows them.
const std::vector<Chapter>& Chapters();

// One step: what happens and why, as one line.
void Step(const std::string& explanation);
// A result or value shown under the current step.
void Show(const std::string& text);
inline void Show(const TString& text) {
  Show(text.toStdString());
}

// Chapter functions (one per file).
void ChapterHost();
void ChapterMemory();
void ChapterSync();
void ChapterExternal();
void ChapterRedis();
void ChapterCoherence();

}  // namespace tour
