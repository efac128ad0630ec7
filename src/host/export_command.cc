#include "host/export_command.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <memory>

#include "base/output_stream.h"
#include "base/str.h"
#include "cgi/list/list_export.h"
#include "store/form_name.h"

namespace tallypad {

namespace {

constexpr const char* kExportUsage =
    "Usage: tallypad export [--format csv|jsonl] [--query Q] SERVER_ROOT FORM\n"
    "Writes the stored responses of the form FORM of the server root SERVER_ROOT to\n"
    "the standard output: the live records of its data file (superseded ones left\n"
    "out), as the list viewer's downloads give them.\n"
    "\n"
    "  --format F   csv (the default: comma-separated, with a header row) or\n"
    "               jsonl (one JSON object per record)\n"
    "  --query Q    only the records that satisfy the list query Q, e.g. RATING=='5'\n"
    "  --help       show this text\n";

int ExportUsageError(const std::string& message) {
  std::fprintf(stderr, "tallypad export: %s\n%s", message.c_str(), kExportUsage);
  return 2;
}

// Reads the value of option `name` from "--name=value" or "--name value";
// nullopt when `arg` is not that option. `*missing` is set when the value
// is not there.
std::optional<std::string> OptionValue(std::string_view name, int argc, char** argv, int* i,
                                       bool* missing) {
  const std::string_view arg = argv[*i];
  const std::string flag = "--" + std::string(name);
  if (arg == flag) {
    if (*i + 1 >= argc) {
      *missing = true;
      return std::string();
    }
    return std::string(argv[++*i]);
  }
  if (arg.starts_with(flag + "=")) return std::string(arg.substr(flag.size() + 1));
  return std::nullopt;
}

}  // namespace

int ExportCommand(int argc, char** argv) {
  ExportFormat format = ExportFormat::kCsv;
  std::string query;
  std::vector<std::string> operands;
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    bool missing = false;
    if (!options_done && arg == "--help") {
      std::fputs(kExportUsage, stdout);
      return 0;
    }
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (std::optional<std::string> value =
                   options_done ? std::nullopt : OptionValue("format", argc, argv, &i, &missing)) {
      if (missing) return ExportUsageError("--format needs csv or jsonl");
      std::optional<ExportFormat> named = ExportFormatNamed(*value);
      if (!named) return ExportUsageError("unknown format " + *value);
      format = *named;
    } else if (std::optional<std::string> q =
                   options_done ? std::nullopt : OptionValue("query", argc, argv, &i, &missing)) {
      if (missing) return ExportUsageError("--query needs a query");
      query = *q;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return ExportUsageError("unknown option " + std::string(arg));
    } else {
      operands.emplace_back(arg);
    }
  }
  if (operands.size() != 2) return ExportUsageError("give the server root and the form's name");
  std::string root = operands[0];
  if (root.empty() || root.back() != '/') root += '/';
  const std::string& form = operands[1];
  if (form.empty() || NameHasForbiddenCharacter(form))
    return ExportUsageError("not a form's name: " + form);

  std::string path;
  ResultCode code = ResultCode::kOk;
  std::unique_ptr<DataFile> data = ListOpenForExport(root, form, &path, &code);
  if (code == ResultCode::kNoConfiguration) {
    std::fprintf(stderr, "tallypad export: the form %s has no settings (%s%s.ini)\n",
                 form.c_str(), root.c_str(), form.c_str());
    return 1;
  }
  if (!data) {
    std::fprintf(stderr, "tallypad export: cannot read the data file %s\n", path.c_str());
    return 1;
  }
  OutputStream out{.file = stdout};
  ListExportRecords(data.get(), query, format, &out);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tallypad export: the records could not be written\n");
    return 1;
  }
  return 0;
}

}  // namespace tallypad
