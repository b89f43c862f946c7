#pragma once
// Removal of the protection product (the tool run without an option).

struct CUnstallContext;

// 1 when the product's uninstaller was started, 0 otherwise.
int _DoRemoveProduct(CUnstallContext& context);
