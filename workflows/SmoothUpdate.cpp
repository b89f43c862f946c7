#include "workflows/SmoothUpdate.h"

#include "launcher/UnstallContext.h"

int _DoSmoothUpdate(CUnstallContext&) { return 0; }
