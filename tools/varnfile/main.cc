// varnfile: look into, check, convert and recover transaction files.
#include <CLI/CLI.hpp>

#include <cstdio>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif
#include <string>

#include "commands.h"
#include "tool_util.h"

int main(int argc, char** argv) {
#if defined(_WIN32)
  // Item data and JSON lines pass through unchanged, as on every system.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  CLI::App app{"varnfile: look into, check, convert and recover transaction files"};
  app.set_version_flag("--version", "varnfile tool, library version " +
                                        std::to_string(VARNFileVersion()));
  app.require_subcommand(1, 1);
  // Options start with '-' on every system; on Windows "/name" is a path.
  app.allow_windows_style_options(false);
  int status = 0;
  varntool::AddEditCommands(app, &status);
  varntool::AddInspectCommands(app, &status);
  varntool::AddTransferCommands(app, &status);
  varntool::AddRecoverCommand(app, &status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const varn::Error& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "varnfile: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "varnfile: %s\n", e.what());
    return 1;
  }
  return status;
}
