// libFuzzer target for the project reader: any bytes at all must come back as records the
// efektor list can build without further checks (see ProjectChecks.h), without a crash, a
// hang or a sanitizer report.

#include "ProjectChecks.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString fault = projectReaderFault(bytes);
    if (!fault.isEmpty()) {
        std::fprintf(stderr, "project reader: %s\n", qPrintable(fault));
        std::abort();
    }
    return 0;
}
