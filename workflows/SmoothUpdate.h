#pragma once
// In-place update of the protection product ("-smoothupdate").

struct CUnstallContext;

// 1 when every step succeeded, 0 otherwise.
int _DoSmoothUpdate(CUnstallContext& context);
