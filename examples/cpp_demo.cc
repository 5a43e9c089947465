// A first look at varnfile from C++: write a few items, read them back both
// ways, and see how a failure comes back as varn::Error.
#include <cstdio>
#include <string>

#include "varnfile.hpp"

int main() {
  try {
    // A memory file; a path would make a disk file instead.
    varn::File file = varn::File::Create("MEMORY$", varn::Method::ChainedDeflate);
    file.SetDescription("cpp demo");
    file.Add(1, 0, 100, "open account");
    file.Add(2, 7, 250, "deposit 250");
    file.Add(3, 7, 40, "withdraw 40");

    std::printf("forwards:\n");
    for (const varn::Item& item : file.Items())
      std::printf("  at %u: command %u, value %u, %s\n", unsigned(item.position),
                  unsigned(item.command), unsigned(item.value), item.text().c_str());
    std::printf("backwards:\n");
    for (const varn::Item& item : file.ReverseItems())
      std::printf("  at %u: %s\n", unsigned(item.position), item.text().c_str());

    // Compressed items cannot be replaced in place: the library says so.
    file.Rewind();
    uint16_t rc = VARNFileUpdateItem(file.handle(), 1, 0, 100, 4, reinterpret_cast<const uint8_t*>("open"));
    std::printf("replacing data in a compressed file: %s\n", varn::DescribeResult(rc).c_str());
    file.Close();

    varn::File::Open("no-such-file.trn", varn::Access::Read);
  } catch (const varn::Error& error) {
    std::printf("caught varn::Error %u: %s\n", unsigned(error.code()), error.what());
  }
  return 0;
}
