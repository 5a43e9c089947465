// Uses both public headers of an installed varnfile: writes three items to a
// memory file through the C++ API, reads them back both ways, and checks the
// C API's version. Exit status 0 when everything matches.
#include <cstdio>
#include <string>
#include <vector>

#include "varnfile.h"
#include "varnfile.hpp"

int main() {
  if (VARNFileVersion() != VARNFILE_VERSION) {
    std::fprintf(stderr, "unexpected library version %u\n", unsigned(VARNFileVersion()));
    return 1;
  }
  try {
    varn::File file = varn::File::Create("MEMORY$", varn::Method::ChainedPredictor);
    const std::vector<std::string> texts = {"alpha", "beta", "gamma"};
    for (std::size_t i = 0; i < texts.size(); ++i)
      file.Add(static_cast<uint16_t>(i + 1), 0, 0, texts[i]);
    std::string forward, backward;
    for (const varn::Item& item : file.Items()) forward += item.text() + " ";
    for (const varn::Item& item : file.ReverseItems()) backward += item.text() + " ";
    std::printf("forward:  %s\nbackward: %s\n", forward.c_str(), backward.c_str());
    if (forward != "alpha beta gamma " || backward != "gamma beta alpha ") return 1;
    file.Close();
  } catch (const varn::Error& error) {
    std::fprintf(stderr, "varnfile error %u: %s\n", unsigned(error.code()), error.what());
    return 1;
  }
  std::printf("consumer OK (library version %u)\n", unsigned(VARNFileVersion()));
  return 0;
}
