// The five operations of dvreg; each returns the exit status.
#pragma once

#include "arguments.h"

namespace dvregtool {

int RunQuery(const Arguments& arguments);
int RunAdd(const Arguments& arguments);
int RunDelete(const Arguments& arguments);
int RunExport(const Arguments& arguments);
int RunImport(const Arguments& arguments);

}  // namespace dvregtool
