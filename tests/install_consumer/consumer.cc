// Uses both public headers of an installed varnfile: writes three items to a
// memory file through the C++ API, reads them back both ways, and checks the
// C API's version. Exit status 0 when everything matches.
#include <cstdio>
#include <string>

#include "varnfile.h"
#include "varnfile.hpp"

int main() {
  varn::File file = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
  for (const char* text : {"alpha", "beta", "gamma"}) file.Add(1, 0, 0, text);
  std::string both;
  for (const varn::Item& item : file.Items()) both += item.text() + " ";
  for (const varn::Item& item : file.ReverseItems()) both += item.text() + " ";
  bool ok = both == "alpha beta gamma gamma beta alpha " && VARNFileVersion() == VARNFILE_VERSION;
  std::printf("read %s\nconsumer %s (library version %u)\n", both.c_str(), ok ? "OK" : "FAILED",
              unsigned(VARNFileVersion()));
  return ok ? 0 : 1;
}
