// A first look at varnfile from C++: write a few items, read them back both
// ways and from a saved position, change items inside a loop, and see how a
// failure comes back as varn::Error.
#include <cstdio>
#include <string>

#include "varnfile.hpp"

int main() {
  try {
    // A memory file; a path would make a disk file instead.
    varn::File file = varn::File::Create("MEMORY$", varn::Method::ChainedDeflate);
    file.SetDescription("cpp demo");
    file.Add(1, 0, 100, "open account");
    uint32_t deposit = file.Add(2, 7, 250, "deposit 250");
    file.Add(3, 7, 40, "withdraw 40");
    file.Add(3, 7, 999, "withdraw 999");

    // Changes in a loop body act on the item the loop is at.
    for (const varn::Item& item : file.Items())
      if (item.command == 3 && item.value > 500) file.Delete();

    std::printf("forwards:\n");
    for (const varn::Item& item : file.Items())
      std::printf("  at %u: command %u, value %u, %s\n", unsigned(item.position),
                  unsigned(item.command), unsigned(item.value), item.text().c_str());
    std::printf("backwards from the deposit at %u:\n", unsigned(deposit));
    for (const varn::Item& item : file.ItemsReversed(deposit))
      std::printf("  at %u: %s\n", unsigned(item.position), item.text().c_str());

    // Compressed items cannot be replaced in place: the library says so.
    file.Seek(deposit);
    uint16_t rc = file.TryUpdate(2, 7, 250, "DEPOSIT 250", 11);
    std::printf("replacing data in a compressed file: %s\n", varn::DescribeResult(rc).c_str());
    file.Close();  // throws if the file cannot be finished

    varn::File::Open("no-such-file.trn", varn::Access::Read);
  } catch (const varn::Error& error) {
    std::printf("caught varn::Error %u: %s\n", unsigned(error.code()), error.what());
  }
  return 0;
}
