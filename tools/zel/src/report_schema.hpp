#pragma once

#include <string_view>

namespace zel {

// The JSON Schema of a run report (doc/zel-run-report.schema.json), built into zel.
std::string_view run_report_schema();

}  // namespace zel
