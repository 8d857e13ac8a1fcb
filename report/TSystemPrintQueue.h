#pragma once

#include "report/TPrintJob.h"

// The machine's print queue: submits a spooled PDF as one job to a printer with the
// job's copies, collation and sides.
class TSystemPrintQueue
{
public:
    // Returns the queue's job id. Throws EReportError with the queue's reason on refusal.
    static int Submit(const TPrintJob &job);
};
