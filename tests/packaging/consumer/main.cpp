// A consumer of the installed (or embedded) library: includes the umbrella
// header and calls into the shared library.
#include <kelcache.h>

#include <cstdio>

int main() {
  TString text = TFormatString(u"%1|%2").arg(u"Region").arg(u"EU");
  if (text.toStdString() != "Region|EU") {
    std::fprintf(stderr, "unexpected text: %s\n", text.toStdString().c_str());
    return 1;
  }
  std::printf("kelcache consumer: %s\n", text.toStdString().c_str());
  return 0;
}
