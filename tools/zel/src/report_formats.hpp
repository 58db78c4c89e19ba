#pragma once

#include <ostream>

#include "report_reading.hpp"
#include "report_summary.hpp"

// The formats `zel report` writes besides its table: each from the same summary.
namespace zel {

// One object: the totals, every device with its counts and reset times, the failure groups
// and the reports that could not be read.
void write_json(const Summary& summary, const ReadReports& read, std::ostream& out);

// JUnit XML as CI systems read it: a test suite per device (host and identity), a test case per
// run, a failure (check failed) or an error (an error, a refusal) with the error line and the
// check report.
void write_junit(const Summary& summary, std::ostream& out);

// The Prometheus text format for a node exporter's textfile collector: runs by device and
// result, a summary of reset times, and when each device last ran.
void write_prometheus(const Summary& summary, std::ostream& out);

// One self-contained HTML page that loads nothing: the table, and per device one SVG drawn
// here with a histogram of reset times and a pass/fail strip of its runs in time order.
void write_html(const Summary& summary, const ReadReports& read, std::ostream& out);

}  // namespace zel
