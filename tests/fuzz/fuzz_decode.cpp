#include "link/positionreport.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any input length: missing bytes read as 0 and bytes past the frame are ignored.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PositionReport report;
    decodePositionReport(reinterpret_cast<const char *>(data), qsizetype(size), report);

    PositionReport whole;
    char frame[ReportFrame::Size] = {};
    for (size_t i = 0; i < size && i < sizeof frame; ++i)
        frame[i] = char(data[i]);
    decodePositionReport(frame, ReportFrame::Size, whole);
    if (report.tagId != whole.tagId || report.tagX != whole.tagX
        || report.range[3] != whole.range[3] || report.anchorZ[3] != whole.anchorZ[3]
        || report.heightDiff[3] != whole.heightDiff[3])
        abort();
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        if (report.range[k] < 0 || report.range[k] > 0xFFFF || report.anchorId[k] > 0xFF)
            abort();
    }
    return 0;
}
