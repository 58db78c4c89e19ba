#include <fmt/format.h>

#include "output_file.hpp"
#include "report_formats.hpp"
#include "report_reading.hpp"
#include "report_schema.hpp"
#include "report_summary.hpp"
#include "zel/commands.hpp"
#include "zel_base/error.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

// Writes one format to `path` whole, or says why it could not.
template <class Write>
bool write_output(const std::string& path, const char* what, std::ostream& out, std::ostream& err,
                  Write write) {
  auto file = OutputFile::open(path, out, std::size_t{1} << 20);
  std::expected<void, zel_base::OsError> written;
  if (file) {
    write(file->stream());
    written = file->commit();
  } else {
    written = std::unexpected(file.error());
  }
  if (written) return true;
  err << fmt::format("zel report: cannot write {} {}: {}\n", what, debug_quote(path),
                     written.error().reason());
  return false;
}

}  // namespace

int report_command(const ReportOptions& options, std::ostream& out, std::ostream& err) {
  if (options.schema) {
    out << run_report_schema();
    return 0;
  }
  if (options.paths.empty()) {
    err << "zel report: give the reports, files or folders (zel report --help)\n";
    return EXIT_USAGE;
  }
  const ReadReports read = read_reports(options.paths);
  const Summary summary = summarize(read.runs);

  bool written = true;
  if (options.junit) {
    written &= write_output(*options.junit, "JUnit file", out, err,
                            [&](std::ostream& file) { write_junit(summary, file); });
  }
  if (options.prometheus) {
    written &= write_output(*options.prometheus, "Prometheus file", out, err,
                            [&](std::ostream& file) { write_prometheus(summary, file); });
  }
  if (options.html) {
    written &= write_output(*options.html, "HTML page", out, err,
                            [&](std::ostream& file) { write_html(summary, read, file); });
  }
  // A format written to standard output is all it carries.
  const bool out_taken = options.junit == "-" || options.prometheus == "-" || options.html == "-";
  if (options.json && !out_taken) {
    write_json(summary, read, out);
  } else if (!out_taken) {
    print_summary(summary, out);
  }
  for (const UnreadableReport& report : read.unreadable) {
    err << fmt::format("zel report: cannot read {}: {}\n", debug_quote(report.path), report.reason);
  }
  // A gate that found nothing to read has passed nothing: a fetch that brought no report back
  // must not read as a fleet that passed.
  if (read.runs.empty() && read.unreadable.empty()) {
    err << "zel report: no run report in the paths given\n";
    return 1;
  }
  const bool all_passed = summary.passes == summary.runs;
  return written && read.unreadable.empty() && all_passed ? 0 : 1;
}

}  // namespace zel
