#include "workflows/RemoveProduct.h"

#include "launcher/UnstallContext.h"

int _DoRemoveProduct(CUnstallContext&) { return 0; }
