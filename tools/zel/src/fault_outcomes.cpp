#include "zel/fault_catalog.hpp"

namespace zel {
namespace {

// Every switch has at least one row; the fault matrix checks that too.
constexpr FaultOutcome OUTCOMES[] = {
    {"device-absent", 1,
     "Error: Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, message: "
     "\"No such file or directory\" } }\n",
     false},
    {"map-fails", 1,
     "Error: Io { operation: \"map configuration BAR\", source: Os { code: 12, kind: OutOfMemory, "
     "message: \"Cannot allocate memory\" } }\n",
     false},
    {"transport-map-fails", 1,
     "Error: Io { operation: \"allocate pinned host buffer\", source: Os { code: 12, kind: "
     "OutOfMemory, message: \"Cannot allocate memory\" } }\n",
     false},
    {"ioctl-fails=attach", 1,
     "Error: Io { operation: \"attach ZEL\", source: Os { code: 5, kind: Uncategorized, message: "
     "\"Input/output error\" } }\n",
     false},
    {"ioctl-fails=set-id:1", 1,
     "Error: Io { operation: \"set ZEL ID\", source: Os { code: 1, kind: PermissionDenied, "
     "message: \"Operation not permitted\" } }\n",
     false},
    {"ioctl-fails=stop-monitoring", 1,
     "Error: Io { operation: \"stop monitoring\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=mailbox:110", 1,
     "Error: Io { operation: \"ICU mailbox transaction\", source: Os { code: 110, kind: TimedOut, "
     "message: \"Connection timed out\" } }\n",
     false},
    {"ioctl-fails=start-monitoring", 1,
     "Error: Io { operation: \"start monitoring\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=accumulate-errors", 1,
     "Error: Io { operation: \"accumulate errors\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=notify-reset", 1,
     "Error: Io { operation: \"notify reset\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=set-secondary-id", 1,
     "Error: Io { operation: \"set secondary ZEL ID\", source: Os { code: 5, kind: "
     "Uncategorized, message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=attach-buffer:16", 1,
     "Error: Io { operation: \"attach host buffer\", source: Os { code: 16, kind: ResourceBusy, "
     "message: \"Device or resource busy\" } }\n",
     false},
    // A refused detach is not reported: the load had already succeeded.
    {"ioctl-fails=detach-buffer", 0, "", true},
    {"mailbox-answer", 1, "Error: Invalid(\"unexpected ICU reset response\")\n", false},
    {"mailbox-untouched", 1, "Error: Invalid(\"unexpected ICU reset response\")\n", false},
    {"sync-register-stuck", 1,
     "Error: Invalid(\"HSP register 0x302c did not clear: observed 1\")\n", false},
    {"sync-register-stuck=0x3030:2", 1,
     "Error: Invalid(\"HSP register 0x3030 did not clear: observed 2\")\n", false},
    {"marks-kept-from=2", 1,
     "Error: Timeout(\"bootloader batch 1: device timeout: HSP register 0x302c: expected 0, "
     "observed 1\")\n",
     false},
    {"batch-unacknowledged=3", 1,
     "Error: Timeout(\"bootloader batch 3: device timeout: HSP register 0x302c: expected 0, "
     "observed 1\")\n",
     false},
    {"sentinel-unacknowledged", 1,
     "Error: Timeout(\"execute sentinel: device timeout: HSP register 0x302c: expected 0, "
     "observed 1\")\n",
     false},
    {"final-mark-unacknowledged", 1,
     "Error: Timeout(\"application initial sync: device timeout: HSP register 0x302c: expected "
     "0, observed 23\")\n",
     false},
    {"autoloader-stuck", 1, "Error: Timeout(\"hardware autoloader\")\n", false},
    {"tdi-fails", 1, "Error: Invalid(\"TDI instruction failed with status 0x4\")\n", false},
    {"tdi-stuck", 1, "Error: Timeout(\"TDI instruction\")\n", false},
    // Slow instructions and contexts that would not stop do not matter to an inactive worker.
    {"tdi-slow", 0, "", true},
    {"contexts-never-stop", 0, "", true},
    {"context-state", 1, "Error: Timeout(\"stopping tile context\")\n", false},
    {"poison-does-not-stick", 101,
     "poison check failed: tile 0 address 0x4c000 did not hold the poison value after it was "
     "written\nassertion `left == right` failed\n  left: [2113961473]\n right: [2113961472]\n",
     false},
    {"word-survives-reset", 101,
     "readback check failed: 1 of 25 poisoned words not zero after the reset: tile 735 address "
     "0x80000 reads 0x7e007e00\nassertion `left == right` failed\n  left: 1\n right: 0\n",
     true},
};

}  // namespace

std::span<const FaultOutcome> fault_outcomes() { return OUTCOMES; }

}  // namespace zel
